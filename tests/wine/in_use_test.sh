# updater.exe replacing files in use under Wine: a running program and the updater's own
# executable are set aside and replaced, what was set aside goes once its program has ended, and
# a kill between setting aside and moving in loses nothing.
source "$(dirname "$0")/wine_harness.sh"
out=$(mktemp)
trap 'chattr -i "$GAME_UNIX/Sealed.dat" "$GAME_UNIX/Shut/Sealed.dat" 2>/dev/null || true; rm -f "$out" "$out.updater"; rm -rf "${flags:-}"' EXIT

# start_running NAME: runs a copy of hold_file.exe as GAME/NAME (its image is mapped, so the file
# is in use as a running client's is) until $flags/release appears.
start_running() {
  flags=$(mktemp -d)
  cp "$WINE_TEST_BIN/hold_file.exe" "$GAME_UNIX/$1"
  echo "held" >"$flags/held"
  run_wine "$GAME_WIN\\$1" "$(winepath -w "$flags/held" 2>/dev/null)" "$(winepath -w "$flags/ready" 2>/dev/null)" \
    "$(winepath -w "$flags/release" 2>/dev/null)" &
  running=$!
  for _ in $(seq 1 3000); do [ -e "$flags/ready" ] && break; sleep 0.02; done
  check "$1 runs" test -e "$flags/ready"
}
set_aside_count() { find "$GAME_UNIX" -maxdepth 1 -name '.~upd-*' | wc -l; }

echo "== a running program and the updater itself, started from the game folder"
reset_user_folders
start_running Running.exe
echo "new build" >"$STAGING_UNIX/Running.exenew1"
cp "$UPDATER_EXE" "$GAME_UNIX/updater.exe"
{ cat "$UPDATER_EXE"; printf 'new'; } >"$out.updater"
cp "$out.updater" "$STAGING_UNIX/updater.exenew1"
write_settings "$GAME_WIN"
write_file_list "Running.exenew1" "updater.exenew1"
run_program "$out" "$GAME_WIN\\updater.exe"
check "exit code 0" test "$program_code" -eq 0
check "the running program's file is replaced" content_is "$GAME_UNIX/Running.exe" "new build"
check "the updater replaced itself" cmp -s "$GAME_UNIX/updater.exe" "$out.updater"
check "both old files stay set aside while their programs run" test "$(set_aside_count)" -eq 2
touch "$flags/release"
wait "$running" || true
write_settings "$GAME_WIN\\" # the same folder, written with a trailing separator
check "the first run's list is gone" test ! -e "$STAGING_UNIX/FileList.kdx"
run_updater "$out"
check "a later run, with no list, removes them once their programs have ended" test "$(set_aside_count)" -eq 0
check "... and keeps the new files" content_is "$GAME_UNIX/Running.exe" "new build"

echo "== killed between setting a running file aside and moving the new one in"
reset_user_folders
start_running Running.exe
echo "new build" >"$STAGING_UNIX/Running.exenew1"
write_settings "$GAME_WIN"
write_file_list "Running.exenew1"
# The Wine server makes the renames: it is killed, and every Wine process with it, as it starts
# the second rename of the run (the first set the running file aside).
server_folder="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
for pid in $(pgrep -f wineserver); do
  [ "$(basename "$(readlink "/proc/$pid/cwd")")" = "$server_folder" ] && server=$pid
done
strace -p "$server" -o /dev/null -e trace=rename -e inject=rename:signal=KILL:when=2 2>"$out.strace" &
tracer=$!
for _ in $(seq 1 500); do grep -q attached "$out.strace" && break; sleep 0.02; done
run_updater "$out"
wait "$tracer" || true
wait "$running" || true
check "killed with the target's name free" test ! -e "$GAME_UNIX/Running.exe"
check "... its old file set aside" test "$(set_aside_count)" -eq 1
check "... and the new one still staged" content_is "$STAGING_UNIX/Running.exenew1" "new build"
run_updater "$out"
check "the next run installs it" content_is "$GAME_UNIX/Running.exe" "new build"
check "... and leaves no set-aside file" test "$(set_aside_count)" -eq 0

echo "== files set aside from one name, by a killed run and an older one, whose entry the next list leaves out"
mv "$GAME_UNIX/Running.exe" "$GAME_UNIX/.~upd-0000000000000002-0~Running.exe"
echo "older" >"$GAME_UNIX/.~upd-0000000000000001-5~Running.exe"
echo "other" >"$STAGING_UNIX/Other.datnew1"
write_file_list "Other.datnew1"
run_updater "$out"
check "the one set aside last gets its name back" content_is "$GAME_UNIX/Running.exe" "new build"
write_file_list "Other.datnew1"
run_updater "$out"
check "... and nothing stays set aside" test "$(set_aside_count)" -eq 0
rm -f "$out.strace"

echo "== a read-only target whose attribute the updater may not clear (immutable, denied as a missing permission is)"
reset_user_folders
mkdir -p "$GAME_UNIX/Shut" "$STAGING_UNIX/Shut"
echo "sealed" >"$GAME_UNIX/Sealed.dat"
echo "sealed" >"$GAME_UNIX/Shut/Sealed.dat"
echo "new" >"$STAGING_UNIX/Sealed.datnew1"
echo "new" >"$STAGING_UNIX/Shut/Sealed.datnew1"
write_settings "$GAME_WIN"
write_file_list "Sealed.datnew1" "Shut/Sealed.datnew1"
chmod 444 "$GAME_UNIX/Sealed.dat" "$GAME_UNIX/Shut/Sealed.dat"
check "the target is made immutable" chattr +i "$GAME_UNIX/Sealed.dat" "$GAME_UNIX/Shut/Sealed.dat"
chmod 555 "$GAME_UNIX/Shut" # its security descriptor, as Wine derives it, gives no one new names
run_wine "$KDX_EXE" plan | tr -d '\r' >"$out.plan" || true
check "kdx plan foresees it" grep -q -F 'Sealed.dat: would not install: no permission' "$out.plan"
check "... and, as Wine runs every program elevated, speaks for that run" bash -c '! grep -q -F "(this plan speaks for" "$0"' "$out.plan"
# An administrator's kdx, unelevated: the plan says so, and checks the elevated token's access.
run_wine "$WINE_TEST_BIN/limited_start.exe" "$(winepath -w "$KDX_EXE" 2>/dev/null)" plan | tr -d '\r' >"$out.plan" || true
check "unelevated: the plan says whom it speaks for" grep -q -F '(this plan speaks for this account unelevated' "$out.plan"
# Only a read-only target is foreseen as refused here, and Wine's descriptor of a read-only file
# grants no one its attributes, so the elevated run can be shown refused, not allowed.
check "... and where the elevated run is refused too" grep -q -F 'Shut/Sealed.dat: would not install: no permission: this user may not write in C:\Games\Orvo/Shut, or the target is immutable; the run fails it at once; the updater run elevated, as this administrator starts it, is refused too' "$out.plan"
chmod 755 "$GAME_UNIX/Shut"
started=$(date +%s%N)
run_updater "$out"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check "it fails at once ($elapsed_ms ms), not after the 10 s for a file in use" test "$elapsed_ms" -lt 5000
check "... the installed file kept" content_is "$GAME_UNIX/Sealed.dat" "sealed"
check "... and the staged one" content_is "$STAGING_UNIX/Sealed.datnew1" "new"
finish
