# The run's lock under Wine: a run that another process holds off for good waits a bounded
# time, then touches nothing; a run gives the lock up before it returns, so a client it starts
# can start an updater that does not wait.
source "$(dirname "$0")/wine_harness.sh"
flags=$(mktemp -d)
trap 'touch "$flags/release"; rm -rf "$flags"' EXIT
wait_program="$WINE_TEST_BIN/run_lock_wait.exe"

reset_user_folders
echo "old" >"$GAME_UNIX/Data.pak"
echo "new" >"$STAGING_UNIX/Data.paknew1"
write_settings "$GAME_WIN"
write_file_list "Data.paknew1"
run_wine "$wait_program" hold "$(winepath -w "$flags/ready" 2>/dev/null)" "$(winepath -w "$flags/release" 2>/dev/null)" &
holder=$!
for _ in $(seq 1 1000); do [ -e "$flags/ready" ] && break; sleep 0.02; done
check "another process holds the lock" test -e "$flags/ready"

result=$(run_wine "$wait_program" pass 2000 | tr -d '\r')
waited=$(echo "$result" | awk '{print $2}')
check "a held lock is waited for 2 s, not for ever (waited ${waited:-?} ms)" \
  test "${waited:-0}" -ge 1990 -a "${waited:-99999}" -lt 10000
check "... then the installed file is untouched" content_is "$GAME_UNIX/Data.pak" "old"
check "... the staged file stays" content_is "$STAGING_UNIX/Data.paknew1" "new"
check "... and so does the file list" test -e "$STAGING_UNIX/FileList.kdx"

touch "$flags/release"
wait "$holder" || true
result=$(run_wine "$wait_program" pass 2000 | tr -d '\r')
check "once free, the pass installs" content_is "$GAME_UNIX/Data.pak" "new"
check "... and gives the lock up before it returns ($result)" test "$(echo "$result" | awk '{print $4}')" = 1
finish
