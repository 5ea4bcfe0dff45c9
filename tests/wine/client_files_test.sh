# The client library's Windows file services under Wine: the writer check against other
# programs' handles, folders made below a trusted one but never through a link, and a detached
# start in a given folder that outlives its caller.
source "$(dirname "$0")/wine_harness.sh"
CHECK="$WINE_TEST_BIN/client_files_check.exe"
flags=$(mktemp -d)
trap 'rm -rf "$flags"' EXIT
win() { winepath -w "$1" 2>/dev/null; }
answer_is() { # answer_is EXPECTED PROGRAM [ARGUMENT...]
  local expected=$1; shift
  [ "$(run_wine "$@" | tr -d '\r')" = "$expected" ]
}
wait_for() { for _ in $(seq 1 3000); do [ -e "$1" ] && return 0; sleep 0.02; done; return 1; }
reset_user_folders

echo "== writers"
echo "data" >"$GAME_UNIX/Data.pak"
check "a file no program holds has no writers" answer_is "no writers" "$CHECK" writers "$GAME_WIN\\Data.pak"
for row in "writer:writers present" "reader:no writers"; do
  rm -f "$flags/ready" "$flags/release"
  run_wine "$WINE_TEST_BIN/hold_file.exe" "$GAME_WIN\\Data.pak" "$(win "$flags/ready")" "$(win "$flags/release")" \
    "${row%%:*}" &
  holder=$!
  check "hold_file ${row%%:*} holds it" wait_for "$flags/ready"
  check "... seen by another program as: ${row#*:}" answer_is "${row#*:}" "$CHECK" writers "$GAME_WIN\\Data.pak"
  touch "$flags/release"
  wait "$holder" || true
done
check "a folder cannot be told" answer_is "unknown" "$CHECK" writers "$GAME_WIN"

echo "== folders below the trusted one"
trusted=${#GAME_WIN}
check "missing folders are made" answer_is "created" "$CHECK" folders "$GAME_WIN\\New\\Deeper\\File.dat" "$trusted"
check "... each of them, not the file" test -d "$GAME_UNIX/New/Deeper" -a ! -e "$GAME_UNIX/New/Deeper/File.dat"
echo "file" >"$GAME_UNIX/Plain"
check "a file where a folder should be is refused" \
  answer_is "refused file" "$CHECK" folders "$GAME_WIN\\Plain\\Below\\File.dat" "$trusted"
# Wine 8.0 makes no junction (mklink /j fails), but shows a Unix link to a folder as a reparse point.
rm -rf "$WINEPREFIX/drive_c/Outside" && mkdir "$WINEPREFIX/drive_c/Outside"
ln -s "$WINEPREFIX/drive_c/Outside" "$GAME_UNIX/Linked"
check "a link on the way is refused" \
  answer_is "refused link" "$CHECK" folders "$GAME_WIN\\Linked\\Below\\File.dat" "$trusted"
check "... and nothing is made where it leads" test -z "$(ls -A "$WINEPREFIX/drive_c/Outside")"
check "a path leaving the trusted folder is refused" \
  answer_is "refused system 161" "$CHECK" folders "$GAME_WIN\\..\\Other\\File.dat" "$trusted"
check "... and nothing is made there" test ! -e "$WINEPREFIX/drive_c/Games/Other"

echo "== a detached start"
# The program's folder is not in the ANSI code page: its path reaches the call only in UTF-8.
standin="$GAME_UNIX/Ωmega/Standin.exe"
mkdir -p "$(dirname "$standin")"
cp "$CHECK" "$standin"
for row in "-restart" "two words \"quoted\" end\\"; do
  rm -f "$GAME_UNIX/Ωmega/go" "$GAME_UNIX/Ωmega/seen.txt"
  check "started with [$row]" answer_is "started" "$CHECK" start "$GAME_WIN\\Ωmega\\Standin.exe" "$row" "$GAME_WIN"
  # It waits for "go": what it records is done after its caller has ended.
  check "... its caller ended first" test ! -e "$GAME_UNIX/Ωmega/seen.txt"
  touch "$GAME_UNIX/Ωmega/go"
  check "... it runs on" wait_for "$GAME_UNIX/Ωmega/seen.txt"
  check "... in the folder given, with one argument, unchanged" \
    content_is "$GAME_UNIX/Ωmega/seen.txt" "$(printf 'cwd %s\narguments 1\n[%s]' "$GAME_WIN" "$row")"
done
check "a missing program is not started" \
  answer_is "not started: system 2" "$CHECK" start "$GAME_WIN\\Missing.exe" "-restart" "$GAME_WIN"
finish
