# Every file call of one pass made to fail, one at a time, under Wine: the test build of the
# updater fails its Nth call with a Windows error (a sharing violation, access denied as for a
# running image or a file that cannot be deleted, a full disk), or ends the process there as a
# kill would. The pass has a running target, a read-only target and an entry on another volume.
# After each such run, and again after the next, normal run: every target is wholly its old or
# its new content, no content is lost, nothing is left behind but the running program's own
# file, and a killed pass is completed by the next run. FAULT_TEST_CALLS="3 17" tries only those.
# A rename is also made and then reported failed, as a network share does when its answer is lost.
source "$(dirname "$0")/wine_harness.sh"
: "${UPDATER_FAULTS_EXE:?UPDATER_FAULTS_EXE must name the fault build of updater.exe}"
work=$(mktemp -d)
other_volume=$(mktemp -d /dev/shm/updater-wine-XXXXXX)
trap 'touch "$work/release"; wait 2>/dev/null; rm -rf "$work" "$other_volume"' EXIT

reset_user_folders
ln -s "$other_volume" "$GAME_UNIX/Maps"
mkdir -p "$work/staged/Maps" "$work/old"
cp "$WINE_TEST_BIN/hold_file.exe" "$work/old/Running.exe"
echo "old read-only" >"$work/old/ReadOnly.dat"
echo "old map" >"$work/old/x.map"
echo "new build" >"$work/staged/Running.exenew1"
echo "new read-only" >"$work/staged/ReadOnly.datnew1"
head -c 600000 /dev/urandom >"$work/staged/Maps/x.mapnew1" # more than one chunk of the copy
write_settings "$GAME_WIN"
write_file_list "Running.exenew1" "ReadOnly.datnew1" 'Maps\x.mapnew1'
cp "$STAGING_UNIX/FileList.kdx" "$work/staged/"

# The game's entries: target (game-relative), old content, new content.
entries="Running.exe:$work/old/Running.exe:$work/staged/Running.exenew1
ReadOnly.dat:$work/old/ReadOnly.dat:$work/staged/ReadOnly.datnew1
Maps/x.map:$work/old/x.map:$work/staged/Maps/x.mapnew1"

# Running.exe stays a running program's image for the whole test: its file (inode) is given its
# name back before each pass, and the program is started again whenever it has ended.
running_inode=
start_running() {
  rm -f "$work/ready" "$work/release"
  echo "held" >"$work/held"
  run_wine "$GAME_WIN\\Running.exe" "$(winepath -w "$work/held" 2>/dev/null)" \
    "$(winepath -w "$work/ready" 2>/dev/null)" "$(winepath -w "$work/release" 2>/dev/null)" &
  running=$!
  for _ in $(seq 1 3000); do [ -e "$work/ready" ] && break; sleep 0.02; done
  running_inode=$(stat -c %i "$GAME_UNIX/Running.exe")
}
running_file() { [ -z "$running_inode" ] || find "$GAME_UNIX" -maxdepth 1 -inum "$running_inode" | head -n 1; }

prepare_pass() {
  local image
  image=$(running_file)
  if [ -z "$image" ] || ! kill -0 "$running" 2>/dev/null; then
    find "$GAME_UNIX" -maxdepth 1 -type f -delete
    cp "$work/old/Running.exe" "$GAME_UNIX/Running.exe"
    start_running
  elif [ "$image" != "$GAME_UNIX/Running.exe" ]; then
    mv -f "$image" "$GAME_UNIX/Running.exe"
  fi
  find "$GAME_UNIX" "$other_volume" -maxdepth 1 -type f ! -inum "$running_inode" -delete
  cp "$work/old/ReadOnly.dat" "$GAME_UNIX/" && chmod 444 "$GAME_UNIX/ReadOnly.dat"
  cp "$work/old/x.map" "$other_volume/"
  rm -rf "$STAGING_UNIX" && cp -r "$work/staged" "$STAGING_UNIX"
}

# Fails the test, saying which run and which check, and what the folders hold.
problem() {
  echo "FAILED: $run_name: $*"
  ls -la "$GAME_UNIX" "$other_volume" "$STAGING_UNIX" "$STAGING_UNIX/Maps" 2>&1 | sed 's/^/    /'
  failures=$((failures + 1))
}

# Every target is wholly old or new; a target not new has its new content still staged and its
# old content at its name or set aside beside it; no temporary is left when `settled` is set.
check_folders() { # check_folders settled
  local target old new path folder leaf
  while IFS=: read -r target old new; do
    path="$GAME_UNIX/$target"
    folder=$(dirname "$path") leaf=$(basename "$path")
    if [ -e "$path" ] && ! cmp -s "$path" "$old" && ! cmp -s "$path" "$new"; then
      problem "$target is neither its old nor its new content"
    elif ! cmp -s "$path" "$new"; then
      cmp -s "$STAGING_UNIX/${new#"$work/staged/"}" "$new" || problem "$target not installed, and its new content is gone"
      local kept=no
      for candidate in "$path" "$folder"/.~upd-*~"$leaf"; do
        [ -f "$candidate" ] && cmp -s "$candidate" "$old" && kept=yes
      done
      [ "$kept" = yes ] || problem "$target not installed, and its old content is gone"
    fi
  done <<<"$entries"
  if [ "$1" = settled ]; then
    local left
    left=$(find "$GAME_UNIX" "$other_volume" -maxdepth 1 -type f -name '.~upd-*' ! -inum "$running_inode")
    [ -z "$left" ] || problem "left behind: $left"
  fi
}

# The entries that count: every call of a clean pass, traced.
prepare_pass
UPDATER_FAULT_TRACE=1 run_wine "$UPDATER_FAULTS_EXE" 2>&1 >/dev/null | tr -d '\r' >"$work/trace"
calls=$(grep -c '^file call ' "$work/trace" || true)
run_name="the clean pass"
check "a clean pass makes file calls ($calls)" test "$calls" -gt 20
check_folders settled
check "... $(grep -c ' changes$' "$work/trace") of which may change a file" test "$(grep -c ' changes$' "$work/trace")" -gt 10
check "... in which the running program's file is set aside" test "$(running_file)" != "$GAME_UNIX/Running.exe"
# An elevated run (Wine's every run) makes Administrators the owner of a renamed file before the
# file inherits its folder's DACL, whose CREATOR OWNER entries would otherwise name the player.
security_order=$(grep -o 'SetSecurityInfo/[a-z]*' "$work/trace" | sed 's/.*\///' | tr '\n' ' ')
check "each renamed file gets its owner, then its inherited DACL: $security_order" \
  test -n "$security_order" -a -z "$(echo "$security_order" | sed -E 's/owner dacl (dacl )?//g' | tr -d ' ')"

# How many targets do not hold their new content.
entries_not_new() {
  local target new count=0
  while IFS=: read -r target _ new; do
    cmp -s "$GAME_UNIX/$target" "$new" || count=$((count + 1))
  done <<<"$entries"
  echo "$count"
}

# Every call ends the run once and fails once, the errors taken in turn among the calls of one
# name; a call that renames or marks a file fails with each error, as Windows refuses a rename
# over a file in use or read-only with access denied, and a volume can be full.
errors=(32 5 112) # ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL
lost_answer=after:59 # made, then reported failed with ERROR_UNEXP_NET_ERR
# A run ended before call n leaves what one ended before call n-1 leaves when that call changes no
# file (the trace marks each call that may): a run is ended only where the files can differ, unless
# FAULT_TEST_CALLS names the calls.
ends_anew() { [ -n "${FAULT_TEST_CALLS:-}" ] || [ "$1" -eq 1 ] || sed -n "$(($1 - 1))p" "$work/trace" | grep -q ' changes$'; }
runs=0
before=$failures
for n in ${FAULT_TEST_CALLS:-$(seq 1 "$calls")}; do
  name=$(sed -n "${n}p" "$work/trace" | cut -d' ' -f4)
  case $name in
  NtSetInformationFile | MoveFileExW | SetFileInformationByHandle) modes="exit ${errors[*]} $lost_answer" ;;
  *) modes="exit ${errors[$(head -n "$n" "$work/trace" | cut -d' ' -f4 | grep -c -x -F "$name") % ${#errors[@]}]}" ;;
  esac
  ends_anew "$n" || modes=${modes#exit }
  for mode in $modes; do
    runs=$((runs + 1))
    run_name="call $n failing with $mode ($name)"
    prepare_pass
    UPDATER_FAULT="$n:$mode" run_program "$work/faulted" "$UPDATER_FAULTS_EXE" 2>/dev/null
    [ "$mode" = exit ] || [ "$program_code" -eq 0 ] || problem "exit code $program_code"
    check_folders unsettled
    # One call failing fails at most its own entry, the others installed; or the list stays, and
    # the next run installs every entry.
    list_kept=no
    [ ! -e "$STAGING_UNIX/FileList.kdx" ] || list_kept=yes
    if [ "$mode" != exit ] && [ "$list_kept" = no ] && [ "$(entries_not_new)" -gt 1 ]; then
      problem "$(entries_not_new) entries not installed, and the list is gone"
    fi
    run_updater "$work/out"
    [ "$updater_code" -eq 0 ] || problem "the next run's exit code is $updater_code; it printed: $(cat "$work/out")"
    check_folders settled
    [ ! -e "$STAGING_UNIX/FileList.kdx" ] || problem "the next run left the file list"
    if [ "$list_kept" = yes ] && [ "$(entries_not_new)" -gt 0 ]; then
      problem "the next run left $(entries_not_new) entries of the kept list not installed"
    fi
    if [ "$mode" = exit ]; then
      for staged in Running.exenew1 ReadOnly.datnew1 Maps/x.mapnew1; do
        [ ! -e "$STAGING_UNIX/$staged" ] || problem "the next run did not complete the killed pass: $staged"
      done
    fi
  done
done
check "every call failing, or the run ending there, loses nothing ($calls calls, $runs runs)" test "$failures" -eq "$before"

# A second layout, of files that are already their own targets: the game folder inside the staging
# folder, so that "abc\abc" is one file under one name that both paths reach (left alone), and a
# staged file that is a true second name of an installed file (only that name may go). No call
# failing, and no run ending at any call, may take a file's last name.
game_inside_unix="$STAGING_UNIX/abc"
prepare_same_file_pass() {
  rm -rf "$STAGING_UNIX" && mkdir -p "$game_inside_unix"
  echo "in place" >"$game_inside_unix/abc"
  echo "linked" >"$game_inside_unix/h.dat"
  ln "$game_inside_unix/h.dat" "$STAGING_UNIX/h.datOLD1"
  write_settings "$(winepath -w "$game_inside_unix" 2>/dev/null)"
  write_file_list 'abc\abc' 'h.datOLD1'
}
check_same_files() {
  content_is "$game_inside_unix/abc" "in place" || problem "abc is lost"
  content_is "$game_inside_unix/h.dat" "linked" || problem "h.dat is lost"
}
prepare_same_file_pass
UPDATER_FAULT_TRACE=1 run_wine "$UPDATER_FAULTS_EXE" 2>&1 >/dev/null | tr -d '\r' >"$work/trace"
same_calls=$(grep -c '^file call ' "$work/trace" || true)
run_name="the clean pass over files already in place"
check_same_files
check "... whose true second name alone goes" test ! -e "$STAGING_UNIX/h.datOLD1"
before=$failures
for n in ${FAULT_TEST_CALLS:-$(seq 1 "$same_calls")}; do
  name=$(sed -n "${n}p" "$work/trace" | cut -d' ' -f4)
  modes="exit ${errors[$((n % ${#errors[@]}))]}"
  case $name in NtSetInformationFile | MoveFileExW | SetFileInformationByHandle) modes="$modes $lost_answer" ;; esac
  ends_anew "$n" || modes=${modes#exit }
  for mode in $modes; do
    runs=$((runs + 1))
    run_name="files in place: call $n failing with $mode ($name)"
    prepare_same_file_pass
    UPDATER_FAULT="$n:$mode" run_program "$work/faulted" "$UPDATER_FAULTS_EXE" 2>/dev/null
    check_same_files
    run_updater "$work/out"
    check_same_files
    [ ! -e "$STAGING_UNIX/FileList.kdx" ] || problem "the next run left the file list"
  done
done
check "no call failing over files in place takes a file's last name ($same_calls calls, $runs runs in all)" test "$failures" -eq "$before"
finish
