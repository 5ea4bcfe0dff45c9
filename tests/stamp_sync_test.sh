#!/usr/bin/env bash
# Which staged files the one syncfs covers, read from a system-call trace of the real updater: a
# file a program had open for writing when the pass began, or whose last change is not older
# than the syncfs by a clock tick, syncs itself before its rename; the others do not.
# Usage: stamp_sync_test.sh UPDATER KDX
set -euo pipefail
updater=$1 kdx=$2
command -v strace >/dev/null || { [ "${CI:-}" = true ] && echo "FAILED: strace is missing" && exit 1; echo "SKIPPED: no strace"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data="$work/data" game="$work/game" trace="$work/trace"
staging="$data/Brackmoor Games/Temp"
mkdir -p "$staging" "$game"
names=()
for i in $(seq 1 40); do
  echo "old $i" >"$game/f$i.dat"
  echo "new $i" >"$staging/f$i.datNEW1"
  names+=("f$i.datNEW1")
done
echo "old" >"$game/held.pak"
echo "old" >"$game/future.pak"
echo "new future" >"$staging/future.pakNEW1"
"$kdx" settings "$game" -o "$data/Brackmoor Games/Settings.kdx"
"$kdx" filelist "${names[@]}" held.pakNEW1 future.pakNEW1 -o "$staging/FileList.kdx"
touch -m -d '1 hour ago' "$staging"/f*.datNEW1
touch -m -d '1 hour' "$staging/future.pakNEW1"
sync

# held.pak's staged file is open for writing as the pass begins; the pass is stopped at its
# syncfs, and the file is written, dated back and closed meanwhile: its stamp then looks old.
exec 3>"$staging/held.pakNEW1"
echo "new held" >&3
(
  for _ in $(seq 1 1200); do grep -q "stopped by SIGSTOP" "$trace" 2>/dev/null && break; sleep 0.05; done
  echo "written during the syncfs" >&3
  touch -m -d '1 hour ago' "$staging/held.pakNEW1"
  exec 3>&-
  kill -CONT "$(awk '/stopped by SIGSTOP/ { print $1; exit }' "$trace")"
) &
exec 3>&-
env -u DISPLAY XDG_DATA_HOME="$data" strace -f -y -o "$trace" --inject=syncfs:signal=STOP:when=1 \
  -e trace=openat,renameat,renameat2,fdatasync,fsync,syncfs "$updater" >/dev/null
wait

grep -q "syncfs(.*) = 0" "$trace" || { echo "SKIPPED: the pass made no syncfs (too much unwritten data)"; exit 77; }
failures=0
# synced_first NAME: NAME's staged file was synced by itself before its rename over the target.
synced_first() {
  local synced renamed
  synced=$(awk -v f="<$staging/$1NEW1>)" '/fdatasync\(/ && index($0, f) { print NR; exit }' "$trace")
  renamed=$(awk -v t="\"$game/$1\") = 0" '/renameat\(/ && index($0, t) { print NR; exit }' "$trace")
  [ -n "$synced" ] && [ -n "$renamed" ] && [ "$synced" -lt "$renamed" ]
}
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
check "held.pak (open for writing at the syncfs): synced by itself" synced_first held.pak
check "held.pak: installed as written last" test "$(cat "$game/held.pak")" = "$(printf 'new held\nwritten during the syncfs')"
check "future.pak (changed within a tick of the stamp): synced by itself" synced_first future.pak
check "f1.dat (older, unchanged): covered by the syncfs" test "$(grep -c "fdatasync(.*f1.datNEW1>" "$trace")" -eq 0
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
