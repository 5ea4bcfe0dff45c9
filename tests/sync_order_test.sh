#!/usr/bin/env bash
# The order of syncs and renames, read from a system-call trace of the real updater (a power-cut
# test bed passes renames straight through, so it cannot see a missing folder sync):
# - each staged file (across file systems: each copy, with its permission bits) is synced before
#   it is renamed over its target, by itself or by one syncfs of the staging file system;
# - each folder that received a file is synced after its last rename and before the file list
#   is deleted; on one file system once per folder, not once per entry;
# - across file systems the staged file is removed only after its target's folder was synced.
# Usage: sync_order_test.sh UPDATER KDX
set -euo pipefail
updater=$1 kdx=$2
command -v strace >/dev/null || { [ "${CI:-}" = true ] && echo "FAILED: strace is missing" && exit 1; echo "SKIPPED: no strace"; exit 77; }

work=$(mktemp -d)
memory=$(mktemp -d /dev/shm/updater-order-XXXXXX)
trap 'rm -rf "$work" "$memory"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

trace="$work/trace"
# line PATTERN...: the number of the first (or with "last" first, the last) trace line that
# holds every fixed string given; 0 when there is none.
line() {
  local which=first
  if [ "$1" = last ]; then which=last; shift; fi
  local found
  found=$(awk -v which="$which" '
    BEGIN { for (i = 1; i < ARGC; ++i) want[i] = ARGV[i]; n = ARGC - 1; ARGC = 1 }
    { for (i = 1; i <= n; ++i) if (index($0, want[i]) == 0) next; hit = NR; if (which == "first") { print hit; exit } }
    END { if (which == "last" && hit) print hit }' "$@" <"$trace")
  echo "${found:-0}"
}
before() { [ "$1" -gt 0 ] && [ "$2" -gt 0 ] && [ "$1" -lt "$2" ]; }
count() { # count PATTERN...: how many trace lines hold every fixed string given
  awk 'BEGIN { for (i = 1; i < ARGC; ++i) want[i] = ARGV[i]; n = ARGC - 1; ARGC = 1 }
    { for (i = 1; i <= n; ++i) if (index($0, want[i]) == 0) next; ++hits } END { print hits + 0 }' "$@" <"$trace"
}

# run GAME [STRACE_OPTION...]: stages four entries (three in the game folder, one in its
# sub-folder "Maps"), runs the updater under strace and leaves the trace in $trace.
run() {
  local game=$1
  shift
  data="$work/data"
  staging="$data/Brackmoor Games/Temp"
  rm -rf "$data" "$game"
  mkdir -p "$staging/Maps" "$game/Maps"
  for name in a.pak b.pak c.pak Maps/m.map; do
    echo "old $name" >"$game/$name"
    echo "new $name" >"$staging/${name}NEW1"
  done
  # Enough entries that one sync of the whole file system pays, unless much else waits for the
  # disk: both ways of syncing are checked alike.
  local fillers=()
  for i in $(seq 1 60); do
    echo "new $i" >"$staging/f$i.datNEW1"
    fillers+=("f$i.datNEW1")
  done
  "$kdx" settings "$game" -o "$data/Brackmoor Games/Settings.kdx"
  "$kdx" filelist "${fillers[@]}" a.pakNEW1 b.pakNEW1 Maps/m.mapNEW1 c.pakNEW1 -o "$staging/FileList.kdx"
  sync
  rm -f "$trace"
  env -u DISPLAY XDG_DATA_HOME="$data" strace -f -y -o "$trace" "$@" \
    -e trace=openat,rename,renameat,renameat2,fsync,fdatasync,syncfs,unlink,unlinkat,linkat "$updater" >/dev/null
  # The list is claimed under its reserved name, and deleted from there.
  list_deleted=$(line "unlinkat(" "<$staging>, \".~upd-staged~FileList.kdx\", 0) = 0")
  check "the file list is deleted" test "$list_deleted" -gt 0
}

echo "== one file system"
game="$work/game"
run "$game"
# staged NAME: the staged file's folder as the trace shows its descriptor, and its quoted name.
staged() { echo "<$(dirname "$staging/$1NEW1")>, \"$(basename "$1")NEW1\""; }
for name in a.pak b.pak c.pak Maps/m.map; do
  # Synced (by itself, or by one syncfs of the staging file system) before it is renamed to its
  # reserved name in its own folder, which is then renamed over the target.
  claimed="\".~upd-staged~$(basename "$name")NEW1\""
  taken=$(line "renameat2(" "$(staged "$name"), " ", $claimed, RENAME_NOREPLACE) = 0")
  renamed=$(line "renameat(" "$claimed, AT_FDCWD" ", \"$game/$name\") = 0")
  synced=$(line "fdatasync(" "<$staging/${name}NEW1>)")
  [ "$synced" -gt 0 ] || synced=$(line "syncfs(" "<$staging>) = 0")
  check "$name: the staged file is synced before it is taken" before "$synced" "$taken"
  check "$name: ... and renamed over its target from there" before "$taken" "$renamed"
done
echo "(synced by: $([ "$(count "syncfs(" "<$staging>) = 0")" -gt 0 ] && echo "one syncfs" || echo "one sync per file"))"
for folder in "$game" "$game/Maps"; do
  last_rename=$(line last "rename" ", \"$folder/" "\") = 0")
  [ "$folder" = "$game" ] && last_rename=$(line "rename" "\"$game/c.pak\") = 0")
  synced=$(line "fsync(" "<$folder>)")
  check "${folder#"$work"/}: synced after its last rename" before "$last_rename" "$synced"
  check "${folder#"$work"/}: synced before the file list is deleted" before "$synced" "$list_deleted"
  check "${folder#"$work"/}: synced once" test "$(count "fsync(" "<$folder>)")" -eq 1
done

echo "== a staged file written again after the pass synced the file system"
# The pass is stopped as it takes its first staged file; c.pak's staged file, whose move has not begun, is
# written again meanwhile.
(
  for _ in $(seq 1 1200); do grep -q "stopped by SIGSTOP" "$trace" 2>/dev/null && break; sleep 0.05; done
  # The append waits while the pass holds c.pak's lease; the pass goes on once it is seen waiting.
  pass=$(awk '/stopped by SIGSTOP/ { print $1; exit }' "$trace")
  echo "newer c.pak" >>"$staging/c.pakNEW1" &
  appender=$!
  # The system's lock table is shared with other programs: only this pass's leases count.
  while kill -0 "$appender" 2>/dev/null && ! awk -v pass="$pass" '/BREAKING/ && $5 == pass { hit = 1 } END { exit !hit }' /proc/locks; do sleep 0.01; done
  kill -CONT "$pass"
) &
run "$game" --inject=renameat2:signal=STOP:when=1
wait
renamed=$(line "renameat(" ", \"$game/c.pak\") = 0")
check "c.pak: synced on its own before its rename" before "$(line "fdatasync(" "<$staging/c.pakNEW1>)")" "$renamed"
check "c.pak: installed as written last" test "$(cat "$game/c.pak")" = "$(printf 'new c.pak\nnewer c.pak')"

echo "== game folder on another file system (/dev/shm)"
game="$memory/game"
run "$game"
for name in a.pak b.pak c.pak Maps/m.map; do
  folder=$(dirname "$game/$name")
  renamed=$(line "rename(\"$folder/.~upd-" "\", \"$game/$name\") = 0")
  # The copy is the descriptor opened in the target's folder just before: its sync is the last
  # one before the rename that names no staged file.
  synced=$(awk -v until="$renamed" -v folder="<$folder/" 'NR < until && /fsync\(/ && index($0, folder) { hit = NR } END { print hit + 0 }' "$trace")
  previous=$(awk -v until="$renamed" 'NR < until && /rename\(/ && / = 0$/ { hit = NR } END { print hit + 0 }' "$trace")
  check "$name: its copy is synced after the previous install" test "$synced" -gt "$previous"
  check "$name: ... and the rename follows" before "$synced" "$renamed"
  folder_synced=$(awk -v from="$renamed" -v folder="<$folder>)" 'NR > from && /fsync\(/ && index($0, folder) { print NR; exit }' "$trace")
  # The staged name is claimed (renamed to its reserved name) and only then removed.
  claimed="\".~upd-staged~$(basename "$name")NEW1\""
  taken=$(line "renameat2(" "$(staged "$name"), " ", $claimed, RENAME_NOREPLACE) = 0")
  removed=$(line "unlinkat(" ", $claimed, 0) = 0")
  check "$name: its folder is synced after the rename" before "$renamed" "${folder_synced:-0}"
  check "$name: the staged file is claimed only after that" before "${folder_synced:-0}" "$taken"
  check "$name: ... and removed from its claimed name" before "$taken" "$removed"
  check "$name: the staged file is not synced (a copy syncs only itself)" \
    test "$(count "sync(" "<$staging/${name}NEW1>")" -eq 0
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
