# The example client updates a game through the client library under Wine, end to end: running
# from the game folder as Orvo.exe, it stages a realistic update (its own executable, which it
# holds while it runs, a 50 MB archive, new nested folders, 600 changed files), installs the data
# files itself and hands its executable over to the real updater.exe while its browser window is
# still closing. The updater must start only once the window is gone (so that no box waits for a
# click), the restarted client must read "applied", and the game folder must be the new version
# byte for byte.
source "$(dirname "$0")/wine_harness.sh"
: "${EXAMPLE_CLIENT_EXE:?EXAMPLE_CLIENT_EXE must name example_client.exe}"
work=$(mktemp -d)
trap 'touch "$work/stop"; rm -rf "$work" "$WINEPREFIX/drive_c/server"' EXIT
winpath() { winepath -w "$1" 2>/dev/null; }
has_line() { tr -d '\r' <"$1" | grep -q -x -F -- "$2"; }

reset_user_folders
server=$WINEPREFIX/drive_c/server
mkdir -p "$GAME_UNIX/Data" "$server/Data" "$server/Maps/North/Caves"
cp "$EXAMPLE_CLIENT_EXE" "$GAME_UNIX/Orvo.exe"
cp "$UPDATER_EXE" "$GAME_UNIX/updater.exe"
for i in $(seq 1 600); do
  echo "data $i version 1" >"$GAME_UNIX/Data/file$i.dat"
  echo "data $i version 2 $(printf '%*s' $((i % 50)) '')" >"$server/Data/file$i.dat"
done
head -c 52428800 /dev/urandom >"$server/Big.pak"
head -c 1000 /dev/urandom >"$GAME_UNIX/Big.pak"
echo "a new map" >"$server/Maps/North/Caves/Deep.map"
{ cat "$EXAMPLE_CLIENT_EXE"; echo "version 2"; } >"$server/Orvo.exe"
# No file is marked as the client's own: the client's running executable must come back from its
# install as in use, and be handed over, never set aside under the running client.
(cd "$server" && find . -type f | sed 's|^\./||' | sort | while read -r name; do
  echo "$(stat -c %s "$name") 0 $name"
done) >"$work/manifest.txt"
mv "$work/manifest.txt" "$server/manifest.txt"

# The browser is still open when the client hands over, and closes a moment later: 3 s after the
# client's file list is there, long after an updater started at once would have looked for it
# (500 ms) and shown its box. Until it closes it watches the staged executable, which only the
# updater moves. The hand-over's own bound (10 s) is far off.
run_wine "$WINE_TEST_BIN/browser_window.exe" 600000 "$(winpath "$work/ready")" \
  "$(winpath "$STAGING_UNIX/Orvo.exe.new")" "$(winpath "$work/browser-result")" "$(winpath "$work/close")" &
browser=$!
for _ in $(seq 1 1000); do [ -e "$work/ready" ] && break; sleep 0.01; done
check "browser window opened" test -e "$work/ready"
run_wine "$WINE_TEST_BIN/dismiss_boxes.exe" "$(winpath "$work/stop")" "$(winpath "$work/boxes")" &
dismisser=$!
(for _ in $(seq 1 6000); do [ -e "$STAGING_UNIX/FileList.kdx" ] && break; sleep 0.05; done
  sleep 3
  touch "$work/close") &
closer=$!
(cd "$GAME_UNIX" && run_program "$work/client-out" "$GAME_UNIX/Orvo.exe" update "$GAME_WIN" 'C:\server' \
  updater.exe)
tr -d '\r' <"$work/client-out"
check "the client handed over" has_line "$work/client-out" "installed now: 602; handed over: 1"
wait "$browser" "$closer" || true
# The restarted client writes its outcome: waited for by its appearance, with a generous bound.
for _ in $(seq 1 1200); do [ -s "$GAME_UNIX/client-outcome.txt" ] && break; sleep 0.1; done
touch "$work/stop"
wait "$dismisser" || true
check "the staged executable stayed while the browser was open" content_is "$work/browser-result" "present"
check "no box waited for a click" has_line "$work/boxes" "boxes 0"
check "the restarted client read: applied" has_line "$GAME_UNIX/client-outcome.txt" "applied 0"
rm -f "$GAME_UNIX/client-outcome.txt" "$GAME_UNIX/updater.exe" "$server/manifest.txt"
# The old executable may be set aside while it still ran; the next run removes it.
check "the game folder is the new version, byte for byte" diff -r -x '.~upd-*' "$server" "$GAME_UNIX"
check "nothing is left in the staging folder" test -z "$(find "$STAGING_UNIX" -type f)"

echo "== a game folder the code page cannot spell, reached through its short form"
# Wine's code page here is 1252: Cyrillic has no form in it. The library writes the folder's short
# 8.3 form, and the data file, the restart and the outcome all go through it.
cyrillic_unix="$WINEPREFIX/drive_c/Games/Игры Orvo"
mkdir -p "$cyrillic_unix" "$server-2"
cp "$EXAMPLE_CLIENT_EXE" "$cyrillic_unix/Orvo.exe"
cp "$UPDATER_EXE" "$cyrillic_unix/updater.exe"
echo "old" >"$cyrillic_unix/Data.pak"
echo "data for the Cyrillic folder" >"$server-2/Data.pak"
echo "$(stat -c %s "$server-2/Data.pak") 0 Data.pak" >"$server-2/manifest.txt"
printf '%s' 'C:\Games\Игры Orvo' >"$work/game-folder.txt"
(cd "$cyrillic_unix" && run_program "$work/client-out-2" "$cyrillic_unix/Orvo.exe" update "@$(winpath "$work/game-folder.txt")" \
  'C:\server-2' updater.exe)
tr -d '\r' <"$work/client-out-2"
check "the settings file names the short form" grep -q "its short form" "$work/client-out-2"
for _ in $(seq 1 600); do [ -s "$cyrillic_unix/client-outcome.txt" ] && break; sleep 0.1; done
check "installed into the Cyrillic folder" content_is "$cyrillic_unix/Data.pak" "data for the Cyrillic folder"
check "the client restarted there read: applied" has_line "$cyrillic_unix/client-outcome.txt" "applied 0"
rm -rf "$server-2"
finish
