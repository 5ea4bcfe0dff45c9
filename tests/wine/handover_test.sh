# updater.exe waiting for the browser window under Wine, with its message box answered by a
# test program, and starting the client once the update is installed.
source "$(dirname "$0")/wine_harness.sh"
work=$(mktemp -d)
trap 'touch "$work/stop"; rm -rf "$work"' EXIT
winpath() { winepath -w "$1" 2>/dev/null; }
# Our Windows test programs write text files with CRLF line ends.
has_line() { tr -d '\r' <"$1" | grep -q -x -F -- "$2"; }

reset_user_folders
echo "old data" >"$GAME_UNIX/Data.pak"
echo "new data" >"$STAGING_UNIX/Data.paknew1"
cp "$WINE_TEST_BIN/client_standin.exe" "$GAME_UNIX/Orvo.exe"
write_settings "$GAME_WIN"
write_file_list "Data.paknew1"

echo "== the browser is open for 3 s when the updater starts"
run_wine "$WINE_TEST_BIN/browser_window.exe" 3000 "$(winpath "$work/ready")" \
  "$(winpath "$STAGING_UNIX/Data.paknew1")" "$(winpath "$work/browser-result")" &
browser=$!
for _ in $(seq 1 1000); do [ -e "$work/ready" ] && break; sleep 0.01; done
check "browser window opened" test -e "$work/ready"
run_wine "$WINE_TEST_BIN/dismiss_boxes.exe" "$(winpath "$work/stop")" "$(winpath "$work/boxes")" &
dismisser=$!
run_updater "$work/out" -restart
updater_done=$(date +%s%N)
touch "$work/stop"
wait "$browser" || true
wait "$dismisser" || true

check "exit code 0" test "$updater_code" -eq 0
check "staged file untouched while the browser was open" content_is "$work/browser-result" "present"
check "updater finished only after the browser closed" \
  test "$updater_done" -gt "$(date -r "$work/browser-result" +%s%N)"
boxes=$(tr -d '\r' <"$work/boxes" | sed -n 's/^boxes //p')
echo "message boxes answered: $boxes"
check "at least one message box" test "${boxes:-0}" -ge 1
check "every box had the exact text" has_line "$work/boxes" "bad_text 0"
check "no box had an owner window" has_line "$work/boxes" "owned 0"
check "update installed" content_is "$GAME_UNIX/Data.pak" "new data"
for _ in $(seq 1 500); do [ -e "$GAME_UNIX/started.txt" ] && break; sleep 0.01; done
check "client started" test -e "$GAME_UNIX/started.txt"
check "client started in the updater's current folder" has_line "$GAME_UNIX/started.txt" "cwd $(winpath "$PWD")"
check "client started after the installation" has_line "$GAME_UNIX/started.txt" "data new data"
# Wine gives the updater an elevated token with a limited one behind it, and no shell window:
# the client is started with that limited token.
check "client started with the limited token, not elevated" has_line "$GAME_UNIX/started.txt" "elevated no"

echo "== the desktop shell's way, as an elevated updater takes it while a shell runs"
# Wine gives no shell window: -restart above took the limited token's way. Inside a Wine desktop
# the shell's own ShellExecute can be shown (Wine's shell runs elevated too, so the client's
# rights there show nothing).
rm -f "$GAME_UNIX/started.txt"
wineserver -k || true # the desktop's shell is the first of a fresh Wine session
wineserver -w
run_wine explorer /desktop=updater-test,640x480 "$WINE_TEST_BIN/shell_start.exe" "$GAME_WIN\\Orvo.exe" >"$work/shell" || true
for _ in $(seq 1 500); do [ -e "$GAME_UNIX/started.txt" ] && break; sleep 0.01; done
check "the shell started the client" has_line "$work/shell" "started through the desktop shell: yes"
check "... and it ran" test -e "$GAME_UNIX/started.txt"
check "... in the starter's current folder" has_line "$GAME_UNIX/started.txt" "cwd $(winpath "$PWD")"
wineserver -k || true

echo "== no browser, no -restart: no box, no client"
rm -f "$GAME_UNIX/started.txt" "$work/stop" "$work/boxes"
write_file_list
run_wine "$WINE_TEST_BIN/dismiss_boxes.exe" "$(winpath "$work/stop")" "$(winpath "$work/boxes")" &
dismisser=$!
started=$(date +%s%N)
run_updater "$work/out"
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
touch "$work/stop"
wait "$dismisser" || true
echo "run took ${elapsed_ms} ms"
check "the run paused at least 500 ms" test "$elapsed_ms" -ge 500
check "no message box" has_line "$work/boxes" "boxes 0"
sleep 0.5
check "client not started" test ! -e "$GAME_UNIX/started.txt"
finish
