#!/usr/bin/env bash
# Power cuts during and after a pass, on LazyFS: a FUSE file system that keeps writes in its own
# cache until they are synced and drops what is not synced on command (or when it is told to die
# right after a chosen operation), as a power cut does. After every cut each installed file must
# be wholly old or wholly new; after a cut once the pass is over, wholly new. A trace of each run
# shows the path it took: with both folders on LazyFS, the reserved-name rename (LazyFS passes
# RENAME_NOREPLACE on) with a sync per staged file (no syncfs is trusted on FUSE); with staging
# on /dev/shm, a copy.
# Usage: power_cut_test.sh UPDATER KDX BUILD_FOLDER
# Skipped (exit 77) when LazyFS's source or FUSE is missing, except in CI (CI=true).
set -euo pipefail
updater=$1 kdx=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $1 (CI must run this test)"
    exit 1
  fi
  echo "SKIPPED: $1"
  exit 77
}
# LazyFS's source: LAZYFS_SOURCE, else the shared folder beside this repository, else beside the
# repository this one was cloned from (a clean clone made elsewhere for CI).
source_folder=${LAZYFS_SOURCE:-$here/../../shared/tools/lazyfs}
origin=$(git -C "$here/.." config --get remote.origin.url 2>/dev/null || true)
if [ ! -x "$source_folder/build.sh" ] && [ -z "${LAZYFS_SOURCE:-}" ] && [ -d "$origin" ]; then
  source_folder=$origin/../shared/tools/lazyfs
fi
[ -x "$source_folder/build.sh" ] || skip "no LazyFS source in ../shared/tools/lazyfs (or set LAZYFS_SOURCE)"
command -v strace >/dev/null || skip "no strace"
[ -e /dev/fuse ] || skip "no /dev/fuse"
command -v fusermount3 >/dev/null || [ "$(id -u)" -eq 0 ] || skip "no fusermount3"
lazyfs=$(bash "$source_folder/build.sh" "$build/lazyfs" 2>"$build/lazyfs-build.log" | tail -n 1) ||
  skip "LazyFS does not build here (see $build/lazyfs-build.log)"
command -v fusermount3 >/dev/null || skip "no fusermount3"

work=$(mktemp -d)
memory=$(mktemp -d /dev/shm/updater-powercut-XXXXXX)
lazyfs_pid=
cleanup() {
  if mountpoint -q "$work/mnt" 2>/dev/null; then fusermount3 -u "$work/mnt" || true; fi
  [ -z "$lazyfs_pid" ] || kill "$lazyfs_pid" 2>/dev/null || true
  rm -rf "$work" "$memory"
}
trap cleanup EXIT

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

mount_lazyfs() {
  mkdir -p "$work/backing" "$work/mnt"
  rm -f "$work/faults.fifo"
  mkfifo "$work/faults.fifo"
  cat >"$work/config.toml" <<EOF
[faults]
fifo_path="$work/faults.fifo"
[cache]
apply_eviction=false
[cache.simple]
custom_size="0.5GB"
blocks_per_page=1
[filesystem]
log_all_operations=false
logfile="$work/lazyfs.log"
EOF
  LD_LIBRARY_PATH="$(dirname "$lazyfs")/../../libs/libpcache/build" \
    "$lazyfs" "$work/mnt" --config-path "$work/config.toml" -o allow_other -o modules=subdir \
    -o "subdir=$work/backing" >"$work/lazyfs.out" 2>&1 &
  lazyfs_pid=$!
  for _ in $(seq 1 500); do mountpoint -q "$work/mnt" && return 0; sleep 0.02; done
  cat "$work/lazyfs.out"
  echo "FAILED: LazyFS did not mount"
  exit 1
}
fault() { echo "$1" >"$work/faults.fifo"; }
unmount_lazyfs() {
  fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -u -z "$work/mnt" || true
  wait "$lazyfs_pid" 2>/dev/null || true
  lazyfs_pid=
}

files=(Pack0.pak Pack1.pak Pack2.pak)
for i in "${!files[@]}"; do
  head -c $((700000 + i * 4099)) /dev/urandom >"$work/new$i"
  head -c $((300000 + i * 17)) /dev/urandom >"$work/old$i"
done

# stage DATA GAME: the installed files and the settings, durable (as after an earlier update);
# the staged files and the list written as programs usually write them, without a sync.
stage() {
  local data=$1 game=$2 i
  rm -rf "$data" "$game"
  mkdir -p "$data/Brackmoor Games/Temp" "$game"
  for i in "${!files[@]}"; do
    cp "$work/old$i" "$game/${files[$i]}"
    sync "$game/${files[$i]}"
    cp "$work/new$i" "$data/Brackmoor Games/Temp/${files[$i]}NEW1"
  done
  "$kdx" settings "$game" -o "$data/Brackmoor Games/Settings.kdx"
  sync "$game" "$(dirname "$game")" "$data/Brackmoor Games/Settings.kdx"
  "$kdx" filelist "${files[@]/%/NEW1}" -o "$data/Brackmoor Games/Temp/FileList.kdx"
}
run_updater() { # run_updater DATA: its renames traced into $work/trace
  env -u DISPLAY XDG_DATA_HOME="$1" strace -f -o "$work/trace" -e trace=rename,renameat2,unlinkat "$updater" \
    >/dev/null 2>&1 || true
}
# path CLAIMS: says which path the last run took, and checks that it took the reserved-name
# rename CLAIMS times.
path() {
  local claims copies
  # Staged files taken under their reserved names to be installed: claims of the list, and of a
  # staged name removed after its copy (unlinked from there), are not counted.
  claims=$(grep -c 'NEW1", RENAME_NOREPLACE) = 0' "$work/trace" || true)
  claims=$((claims - $(grep -c 'unlinkat([0-9]*, "\.~upd-staged~[^"]*NEW1", 0) = 0' "$work/trace" || true)))
  copies=$(grep -c 'rename("[^"]*/\.~upd-[0-9][^"]*", "[^"]*") = 0' "$work/trace" || true)
  echo "path: $claims reserved-name renames to install, $copies copies renamed into place"
  check "the run took the reserved-name rename $1 times" test "$claims" -eq "$1"
}
# state GAME EXPECTED: each installed file as EXPECTED says, one letter per file: n wholly
# new, o wholly old. A torn or empty file matches neither.
state() {
  local game=$1 expected=$2 i want
  for i in "${!files[@]}"; do
    want=${expected:$i:1}
    [ "$want" = n ] && cmp -s "$game/${files[$i]}" "$work/new$i" && continue
    [ "$want" = o ] && cmp -s "$game/${files[$i]}" "$work/old$i" && continue
    echo "  ${files[$i]}: $(stat -c %s "$game/${files[$i]}" 2>/dev/null || echo missing) bytes, not wholly $want"
    return 1
  done
}
no_temporaries() { [ -z "$(find "$@" -name '.~upd-*')" ]; }
# restage DATA: what the cut took from the client put back as it would stage it again (the list
# and the staged files the pass had not synced yet), seen from outside LazyFS.
restage() {
  local staging="$1/Brackmoor Games/Temp" i
  cmp -s "$staging/FileList.kdx" "$work/list.saved" || cp "$work/list.saved" "$staging/FileList.kdx"
  for i in "${!files[@]}"; do
    [ ! -e "$staging/${files[$i]}NEW1" ] || cmp -s "$staging/${files[$i]}NEW1" "$work/new$i" ||
      cp "$work/new$i" "$staging/${files[$i]}NEW1"
  done
}

echo "== one file system: a power cut right after the pass"
mount_lazyfs
stage "$work/mnt/data" "$work/mnt/game"
run_updater "$work/mnt/data"
fault "lazyfs::clear-cache"
unmount_lazyfs
path "${#files[@]}"
check "every installed file is new and whole" state "$work/backing/game" nnn
check "the file list is gone" test ! -e "$work/backing/data/Brackmoor Games/Temp/FileList.kdx"

# Cuts inside the pass: LazyFS dies right after the chosen operation, losing all it had not
# synced. Each row: what, where the staging folder is (mnt: on LazyFS with the game folder;
# shm: on /dev/shm), the fault, the installed files after the cut (see state: this proves both
# that the cut came where it was asked and that no file was torn) and how many reserved-name
# renames the run saw done (not the one LazyFS died after). LazyFS matches a rename by its new
# name alone (it reads from_rgx only when that pattern matches the word "none"), so a rename
# fault is told by its to_rgx; from_rgx is required and says nothing.
after_rename() { echo "lazyfs::crash::timing=after::op=rename::from_rgx=/::to_rgx=$1"; }
cuts=(
  "one file system, cut after installing Pack0.pak|mnt|$(after_rename '/game/Pack0\.pak$')|noo|1"
  "one file system, cut after taking Pack1.pakNEW1 under its reserved name|mnt|$(after_rename '/\.~upd-staged~Pack1\.pakNEW1$')|noo|1"
  "one file system, cut after installing Pack1.pak|mnt|$(after_rename '/game/Pack1\.pak$')|nno|2"
  "one file system, cut after syncing Pack1.pakNEW1|mnt|lazyfs::crash::timing=after::op=fsync::from_rgx=/Pack1\.pakNEW1$|noo|1"
  "staging on /dev/shm, cut while copying Pack0.pak|shm|lazyfs::crash::timing=after::op=write::from_rgx=/game/\.~upd-[0-9]+-0\.tmp|ooo|0"
  "staging on /dev/shm, cut while copying Pack1.pak|shm|lazyfs::crash::timing=after::op=write::from_rgx=/game/\.~upd-[0-9]+-1\.tmp|noo|0"
  "staging on /dev/shm, cut after installing Pack1.pak|shm|$(after_rename '/game/Pack1\.pak$')|nno|0"
)
for row in "${cuts[@]}"; do
  IFS='|' read -r what where command expected claims <<<"$row"
  data=$work/mnt/data outside=$work/backing/data
  [ "$where" = mnt ] || data=$memory/data outside=$memory/data
  echo "== $what"
  rm -rf "$work/backing"
  mount_lazyfs
  stage "$data" "$work/mnt/game"
  cp "$data/Brackmoor Games/Temp/FileList.kdx" "$work/list.saved"
  fault "$command"
  run_updater "$data"
  unmount_lazyfs
  path "$claims"
  check "installed files $expected (n new, o old), none torn" state "$work/backing/game" "$expected"
  [[ "$what" != *copying* ]] || check "the cut left its temporary behind" test -n "$(find "$work/backing/game" -name '.~upd-*')"
  [[ "$what" != *reserved* ]] ||
    check "the staged file is whole under its reserved name" cmp -s "$outside/Brackmoor Games/Temp/.~upd-staged~Pack1.pakNEW1" "$work/new1"
  # A real power cut ends the updater too; this one ran on after the cut (and may have deleted
  # the list). A later run must finish the update and clear what the cut run left.
  restage "$outside"
  mount_lazyfs
  run_updater "$data"
  unmount_lazyfs
  check "a later run installs every file" state "$work/backing/game" nnn
  check "a later run leaves no reserved name or temporary file" no_temporaries "$work/backing" "$memory"
done

echo "== staging on /dev/shm: a power cut right after the pass"
rm -rf "$work/backing"
mount_lazyfs
stage "$memory/data" "$work/mnt/game"
run_updater "$memory/data"
fault "lazyfs::clear-cache"
unmount_lazyfs
path 0
check "every installed file is new and whole" state "$work/backing/game" nnn
check "no staged copy left" test -z "$(find "$memory/data/Brackmoor Games/Temp" -type f)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
