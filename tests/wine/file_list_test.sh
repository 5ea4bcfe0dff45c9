# updater.exe installing staged files under Wine: a whole update, a move across volumes, the
# missing game folder message, and a target another program holds open.
source "$(dirname "$0")/wine_harness.sh"
out=$(mktemp)
trap 'rm -f "$out"; rm -rf "${other_volume:-}"; rm -f "$WINEPREFIX/dosdevices/q:"' EXIT

echo "== a whole update"
reset_user_folders
mkdir -p "$GAME_UNIX/Maps" "$STAGING_UNIX/Maps"
echo "old data" >"$GAME_UNIX/Data.pak"
echo "old map" >"$GAME_UNIX/Maps/one.map"
echo "new data" >"$STAGING_UNIX/Data.paknew1"
echo "new map" >"$STAGING_UNIX/Maps/one.mapnew1"
echo "fresh" >"$STAGING_UNIX/Fresh.dllnew1"
write_settings "$GAME_WIN"
write_file_list "Data.paknew1" 'Maps\one.mapnew1' "Fresh.dllnew1"
# kdx plan finds the same data folder as the updater (%APPDATA%) and changes nothing.
set +e
run_wine "$KDX_EXE" plan | tr -d '\r' >"$out.plan"
plan_code=${PIPESTATUS[0]}
set -e
check "kdx plan: exit code 0" test "$plan_code" -eq 0
check "kdx plan: the game folder" grep -q -x -F "game folder: $GAME_WIN" "$out.plan"
check "kdx plan: an entry that would replace" grep -q -F 'Temp/Data.paknew1 -> C:\Games\Orvo/Data.pak: would replace (old 9 bytes, new 9 bytes)' "$out.plan"
check "kdx plan: the counts" grep -q -x -F "plan: 1 would install, 2 would replace, 0 replaced by a later entry, 0 would not install" "$out.plan"
check "kdx plan: nothing moved" test -e "$STAGING_UNIX/Data.paknew1" -a -e "$STAGING_UNIX/FileList.kdx"
check "kdx plan: no link on the way to the list" bash -c '! grep -q -F "link or junction" "$0"' "$out.plan"
# The same data files reached through a link, as a user's junction would lead there.
moved=$(mktemp -d "$WINEPREFIX/drive_c/moved-XXXXXX")
mv "$BRACKMOOR_UNIX" "$moved/" && ln -s "$moved/Brackmoor Games" "$BRACKMOOR_UNIX"
run_wine "$KDX_EXE" plan | tr -d '\r' >"$out.plan" || true
check "kdx plan: a link on the way to the list, which an elevated run may not follow" grep -q -x -F "(the way to the file list goes through a link or junction: an elevated run on Windows follows only one that an elevated process made, and otherwise keeps the list unread)" "$out.plan"
rm "$BRACKMOOR_UNIX" && mv "$moved/Brackmoor Games" "$BRACKMOOR_UNIX" && rmdir "$moved"
rm -f "$out.plan"
run_updater "$out"
check "exit code 0" test "$updater_code" -eq 0
check "nothing on standard output" test ! -s "$out"
check "installed file replaced" content_is "$GAME_UNIX/Data.pak" "new data"
check "file in a sub-folder replaced" content_is "$GAME_UNIX/Maps/one.map" "new map"
check "new file installed" content_is "$GAME_UNIX/Fresh.dll" "fresh"
check "staged copies gone" test -z "$(find "$STAGING_UNIX" -type f)"
check "file list deleted" test ! -e "$STAGING_UNIX/FileList.kdx"
check "nothing else in the game folder" test "$(find "$GAME_UNIX" -type f | wc -l)" -eq 3

echo "== a staging sub-folder that is a link to a folder outside"
reset_user_folders
outside=$(mktemp -d)
echo "the user's song" >"$outside/song.mp3new1"
ln -s "$outside" "$STAGING_UNIX/Music"
mkdir -p "$GAME_UNIX/Music"
write_settings "$GAME_WIN"
write_file_list 'Music\song.mp3new1'
run_updater "$out"
check "the user's file stays where it was" content_is "$outside/song.mp3new1" "the user's song"
check "... and is not installed" test ! -e "$GAME_UNIX/Music/song.mp3"
rm -rf "$outside"

echo "== a name that Windows reads as a data stream of the game's executable"
reset_user_folders
echo "installed" >"$GAME_UNIX/Orvo.exe"
echo "the stream's file" >"$STAGING_UNIX/Orvo.exe"
echo "staged" >"$STAGING_UNIX/Orvo.exe:Zone.Identifierabcd" # Wine reads the name as it is
write_settings "$GAME_WIN"
write_file_list 'Orvo.exe:Zone.Identifierabcd'
run_wine "$KDX_EXE" plan | tr -d '\r' >"$out.plan" || true
check "kdx plan: the name is refused" grep -q -F 'refused: the name has a character Windows does not read' "$out.plan"
rm -f "$out.plan"
run_updater "$out"
check "the installed file is untouched" content_is "$GAME_UNIX/Orvo.exe" "installed"
check "... and nothing else is in the game folder" test "$(find "$GAME_UNIX" -type f | wc -l)" -eq 1
check "the staged file stays" content_is "$STAGING_UNIX/Orvo.exe:Zone.Identifierabcd" "staged"
check "... and so does the file it is a stream of" content_is "$STAGING_UNIX/Orvo.exe" "the stream's file"

echo "== a game folder inside the staging folder: entries whose staged path is their installed path"
reset_user_folders
mkdir -p "$STAGING_UNIX/abc"
echo "in place" >"$STAGING_UNIX/abc/abc"
write_settings "$(winepath -w "$STAGING_UNIX/abc" 2>/dev/null)"
write_file_list 'abc\abc' 'abc\ABC' # the second as Windows compares names
run_updater "$out"
check "the file that is its own target stays" content_is "$STAGING_UNIX/abc/abc" "in place"

echo "== a staged file of two names: installed as a file of its own, whose permissions are not the other name's"
reset_user_folders
echo "linked" >"$STAGING_UNIX/Linked.datnew1"
ln "$STAGING_UNIX/Linked.datnew1" "$BRACKMOOR_UNIX/other-name"
write_settings "$GAME_WIN"
write_file_list "Linked.datnew1"
run_updater "$out"
check "it is installed" content_is "$GAME_UNIX/Linked.dat" "linked"
check "... as a new file, not the other name's" \
  test "$(stat -c %i "$GAME_UNIX/Linked.dat")" != "$(stat -c %i "$BRACKMOOR_UNIX/other-name")"
check "... the other name kept, the staged one gone" \
  test "$(cat "$BRACKMOOR_UNIX/other-name")" = linked -a ! -e "$STAGING_UNIX/Linked.datnew1"

echo "== a move across volumes (game folder on a tmpfs drive)"
reset_user_folders
other_volume=$(mktemp -d /dev/shm/updater-wine-XXXXXX)
ln -sfn "$other_volume" "$WINEPREFIX/dosdevices/q:"
mkdir -p "$other_volume/Game"
echo "old" >"$other_volume/Game/Big.pak"
head -c 5000000 /dev/urandom >"$STAGING_UNIX/Big.paknew1"
cp "$STAGING_UNIX/Big.paknew1" "$out.expected"
mkdir -p "$STAGING_UNIX/Nowhere"
echo "kept" >"$STAGING_UNIX/Nowhere/x.datnew1"
write_settings 'Q:\Game'
write_file_list "Big.paknew1" 'Nowhere\x.datnew1'
run_updater "$out"
check "content intact across volumes" cmp -s "$other_volume/Game/Big.pak" "$out.expected"
check "staged copy removed after the copy" test ! -e "$STAGING_UNIX/Big.paknew1"
check "entry for a missing sub-folder keeps its staged file" content_is "$STAGING_UNIX/Nowhere/x.datnew1" "kept"
check "no temporary file left on the game volume" test "$(find "$other_volume" -type f | wc -l)" -eq 1
rm -f "$out.expected"

echo "== across volumes: a read-only staged file, a 259-character target, game files named like temporaries"
reset_user_folders
rm -rf "${other_volume:?}/Game"
long_folder=$(printf 'L%.0s' $(seq 1 195))
long_name="$(printf 'n%.0s' $(seq 1 51)).dat"
long_game="Q:\\Game\\$long_folder" # the game folder; a target in it has 259 characters
long_unix="$other_volume/Game/$long_folder"
mkdir -p "$long_unix"
echo "a game file" >"$long_unix/Clash.dat.UPDATING"
chmod 444 "$long_unix/Clash.dat.UPDATING"
echo "another game file" >"$long_unix/Clash.dat.updating"
echo "left by a killed run" >"$long_unix/.~upd-77-0.tmp"
echo "clash" >"$STAGING_UNIX/Clash.datnew1"
echo "read-only" >"$STAGING_UNIX/ReadOnly.datnew1"
chmod 444 "$STAGING_UNIX/ReadOnly.datnew1"
echo "long" >"$STAGING_UNIX/${long_name}new1"
write_settings "$long_game"
write_file_list "Clash.datnew1" "ReadOnly.datnew1" "${long_name}new1"
check "the long target has 259 characters" test "$((${#long_game} + 1 + ${#long_name}))" -eq 259
run_updater "$out"
check "read-only staged file installed" content_is "$long_unix/ReadOnly.dat" "read-only"
check "... and no staged copy left" test ! -e "$STAGING_UNIX/ReadOnly.datnew1"
check "259-character target installed" content_is "$long_unix/$long_name" "long"
check "... and its staged copy gone" test ! -e "$STAGING_UNIX/${long_name}new1"
check "clash target installed" content_is "$long_unix/Clash.dat" "clash"
check "game file X.UPDATING kept" content_is "$long_unix/Clash.dat.UPDATING" "a game file"
check "game file X.updating kept" content_is "$long_unix/Clash.dat.updating" "another game file"
check "a killed run's temporary removed" test ! -e "$long_unix/.~upd-77-0.tmp"
check "no temporary left" test -z "$(find "$other_volume" -name '.~upd-*')"

echo "== no game folder set"
reset_user_folders
echo "staged" >"$STAGING_UNIX/a.txtnew1"
write_file_list "a.txtnew1"
chmod 444 "$STAGING_UNIX/FileList.kdx" # read-only, as Wine reads it: deleted all the same
run_updater "$out"
check "message on standard output, exact bytes" bash -c "printf 'Error: No Dunmark Path Set.\r\n' | cmp -s - '$out'"
check "staged file kept" content_is "$STAGING_UNIX/a.txtnew1" "staged"
check "file list deleted" test ! -e "$STAGING_UNIX/FileList.kdx"
check "exit code 0" test "$updater_code" -eq 0

# hold PATH FLAGS [shared]: holds PATH open (hold_file.exe) until FLAGS/release appears.
hold() {
  local path=$1 flags=$2
  run_wine "$WINE_TEST_BIN/hold_file.exe" "$(winepath -w "$path" 2>/dev/null)" \
    "$(winepath -w "$flags/ready" 2>/dev/null)" "$(winepath -w "$flags/release" 2>/dev/null)" ${3:+"$3"} &
  holder=$!
  for _ in $(seq 1 3000); do [ -e "$flags/ready" ] && break; sleep 0.02; done
  check "holder has the file open" test -e "$flags/ready"
}

echo "== a file list that is a link to a file elsewhere; a settings file the client keeps open"
reset_user_folders
echo "elsewhere" >"$out.elsewhere"
ln -s "$out.elsewhere" "$STAGING_UNIX/FileList.kdx"
write_settings "$GAME_WIN"
run_updater "$out"
check "the file a linked list leads to is not deleted" content_is "$out.elsewhere" "elsewhere"
rm -f "$STAGING_UNIX/FileList.kdx" "$out.elsewhere"
echo "new" >"$STAGING_UNIX/Kept.datnew1"
write_file_list "Kept.datnew1"
flags=$(mktemp -d)
hold "$BRACKMOOR_UNIX/Settings.kdx" "$flags" shared
run_updater "$out"
touch "$flags/release"
wait "$holder" || true
rm -rf "$flags"
check "a settings file open for writing elsewhere is still read" content_is "$GAME_UNIX/Kept.dat" "new"

echo "== a target let go about two seconds after the pass begins"
reset_user_folders
echo "running" >"$GAME_UNIX/Locked.dll"
echo "new lock" >"$STAGING_UNIX/Locked.dllnew1"
echo "first" >"$STAGING_UNIX/First.datnew1"
write_settings "$GAME_WIN"
write_file_list "First.datnew1" "Locked.dllnew1"
flags=$(mktemp -d)
hold "$GAME_UNIX/Locked.dll" "$flags"
run_updater "$out" &
updater=$!
# The pass has begun once the first entry is installed; let go two seconds later.
for _ in $(seq 1 1500); do [ -e "$GAME_UNIX/First.dat" ] && break; sleep 0.02; done
sleep 2
touch "$flags/release"
wait "$holder" || true
wait "$updater"
rm -rf "$flags"
check "the target let go is installed" content_is "$GAME_UNIX/Locked.dll" "new lock"
check "its staged file is gone" test ! -e "$STAGING_UNIX/Locked.dllnew1"

echo "== two updaters at once: the second waits, touching nothing, until the first ends"
reset_user_folders
echo "running" >"$GAME_UNIX/Locked.dll"
echo "new lock" >"$STAGING_UNIX/Locked.dllnew1"
write_settings "$GAME_WIN"
write_file_list "Locked.dllnew1"
flags=$(mktemp -d)
hold "$GAME_UNIX/Locked.dll" "$flags"
# list_readers: the updaters that have the file list open (the first does all through its pass)
list_readers() {
  for pid in $(pgrep -f 'updater\.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -q -x -F "WINEPREFIX=$WINEPREFIX" || continue
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q FileList.kdx && echo "$pid"
  done
  true # a last process that is no reader (one of another prefix, one just ended) is no failure
}
run_wine "$UPDATER_EXE" >"$out" &
first=$!
for _ in $(seq 1 3000); do [ -n "$(list_readers)" ] && break; sleep 0.02; done
first_pid=$(list_readers)
check "the first updater is in its pass" test -n "$first_pid"
run_wine "$UPDATER_EXE" >"$out.second" &
second=$!
second_read=no
# Two seconds by the clock while the first retries the held target (well within its budget of
# pauses, however slowly each look goes on a busy machine).
watch_until=$(($(date +%s%N) + 2000000000))
while [ "$(date +%s%N)" -lt "$watch_until" ]; do
  for pid in $(list_readers); do [ "$pid" != "$first_pid" ] && second_read=yes; done
  sleep 0.05
done
touch "$flags/release"
wait "$holder" || true
wait "$first" || true
set +e
wait "$second"
second_code=$?
set -e
rm -rf "$flags" "$out.second"
check "the second never read the list while the first ran" test "$second_read" = no
check "the first installed the held file once let go" content_is "$GAME_UNIX/Locked.dll" "new lock"
check "the second ended after it with exit code 0" test "$second_code" -eq 0

echo "== a read-only target on another volume held open throughout: copied once, however often retried"
# Windows refuses to replace a read-only file and Wine does not, so the clearing of the
# attribute cannot be seen here; what can be seen is that a failed move puts it back.
reset_user_folders
rm -rf "${other_volume:?}/Game"
mkdir -p "$other_volume/Game"
echo "running" >"$other_volume/Game/Locked.dll"
head -c 20000000 /dev/urandom >"$STAGING_UNIX/Locked.dllnew1"
cp "$STAGING_UNIX/Locked.dllnew1" "$out.expected"
echo "other" >"$STAGING_UNIX/Other.datnew1"
write_settings 'Q:\Game'
write_file_list "Locked.dllnew1" "Other.datnew1"
flags=$(mktemp -d)
hold "$other_volume/Game/Locked.dll" "$flags"
chmod 444 "$other_volume/Game/Locked.dll"
started=$(date +%s%N)
run_wine "$UPDATER_EXE" >"$out" &
updater=$!
# What the updater has written so far, read while it runs: a copy per try would be many times
# the file's size.
most_written=0
while kill -0 "$updater" 2>/dev/null; do
  for pid in $(pgrep -f 'updater\.exe'); do
    written=$(awk '/^wchar:/ { print $2 }' "/proc/$pid/io" 2>/dev/null || true)
    [ "${written:-0}" -gt "$most_written" ] && most_written=$written
  done
  sleep 0.1
done
set +e
wait "$updater"
updater_code=$?
set -e
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
touch "$flags/release"
wait "$holder" || true
rm -rf "$flags"
echo "run took $elapsed_ms ms and wrote $most_written bytes"
check "the held entry was retried for the whole budget (10 s)" test "$elapsed_ms" -ge 10000
check "... and the run ended soon after it" test "$elapsed_ms" -lt 30000
check "the 20 MB file was copied once for all its tries" test "$most_written" -ge 20000000 -a "$most_written" -lt 40000000
check "held target keeps its content" content_is "$other_volume/Game/Locked.dll" "running"
check "held target is read-only again" test "$(stat -c %a "$other_volume/Game/Locked.dll")" = 444
check "its staged file stays" cmp -s "$STAGING_UNIX/Locked.dllnew1" "$out.expected"
check "the later entry is installed" content_is "$other_volume/Game/Other.dat" "other"
check "no temporary file left" test "$(find "$other_volume/Game" -type f | wc -l)" -eq 2
check "exit code 0" test "$updater_code" -eq 0
rm -f "$out.expected"

echo "== kdx tells why a data file does not open: the failed call's reason or its own, never a success"
reset_user_folders
mkdir -p "$GAME_UNIX/Folder.kdx"
long="C:\\Games\\$(printf 'x%.0s' $(seq 1 1100)).kdx"
while IFS='|' read -r what expected; do
  read -r -a words <<<"$what"
  run_wine "$KDX_EXE" "${words[@]}" >/dev/null 2>"$out" || true
  check "kdx ${what:0:60}: $expected" grep -q -i -E "$expected" "$out"
  check "... and no success" bash -c '! grep -q -i success "$0"' "$out"
done <<EOF
dump --as filelist $GAME_WIN\\Folder.kdx|Folder.kdx as a regular file: not a regular file
settings x -o $GAME_WIN\\Folder.kdx|Folder.kdx: not a regular file
dump --as filelist NUL|NUL as a regular file: .*path is invalid
dump --as filelist $long|as a regular file: the path is too long
EOF

echo "== a file list of 4 GiB + n bytes"
reset_user_folders
echo "staged" >"$STAGING_UNIX/Big.datnew1"
write_settings "$GAME_WIN"
write_file_list "Big.datnew1"
# Its first n bytes are a valid list: a length told in 32 bits would see only those.
n=$(stat -c %s "$STAGING_UNIX/FileList.kdx")
truncate -s $((4 * 1024 * 1024 * 1024 + n)) "$STAGING_UNIX/FileList.kdx"
run_updater "$out"
check "nothing installed" test ! -e "$GAME_UNIX/Big.dat"
check "the staged file stays" content_is "$STAGING_UNIX/Big.datnew1" "staged"
check "the file list is deleted" test ! -e "$STAGING_UNIX/FileList.kdx"

echo "== a game folder written in its extended forms: what the plan says, the run does"
for game in '\\?\C:\Games\Orvo' '\\.\C:\Games\Orvo'; do
  reset_user_folders
  mkdir -p "$GAME_UNIX/Maps" "$STAGING_UNIX/Maps"
  echo "old" >"$GAME_UNIX/Maps/one.map"
  echo "new" >"$STAGING_UNIX/Maps/one.mapnew1"
  write_settings "$game"
  write_file_list 'Maps\one.mapnew1'
  run_wine "$KDX_EXE" plan | tr -d '\r' >"$out.plan" || true
  check "$game: the plan would replace" grep -q "one.map: would replace" "$out.plan"
  run_updater "$out"
  check "$game: the run replaces" content_is "$GAME_UNIX/Maps/one.map" "new"
done
rm -f "$out.plan"
finish
