# updater.exe starts and exits 0 when there are no data files, and touches nothing.
source "$(dirname "$0")/wine_harness.sh"

reset_user_folders
rm -rf "$BRACKMOOR_UNIX"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
run_updater "$out" -restart
output=$(cat "$out")
check "exit code 0 (was $updater_code)" test "$updater_code" -eq 0
check "nothing on standard output" test -z "$output"
check "no Brackmoor Games folder created" test ! -e "$BRACKMOOR_UNIX"
finish
