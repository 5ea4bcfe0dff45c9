#!/usr/bin/env bash
# Power cuts during and after a pass, on LazyFS: a FUSE file system that keeps writes in its own
# cache until they are synced and drops what is not synced on command (or when it is told to die
# right after a chosen operation), as a power cut does. After every cut each installed file must
# be wholly old or wholly new; after a cut once the pass is over, wholly new.
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
source_folder=${LAZYFS_SOURCE:-$here/../../shared/tools/lazyfs}
[ -x "$source_folder/build.sh" ] || source_folder=/work/shared/tools/lazyfs
[ -x "$source_folder/build.sh" ] || skip "no LazyFS source (set LAZYFS_SOURCE)"
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

# stage DATA GAME: the installed files, durable (as after an earlier update); the staged files
# and both data files written as programs usually write them, without a sync.
stage() {
  local data=$1 game=$2 i
  rm -rf "$data" "$game"
  mkdir -p "$data/Brackmoor Games/Temp" "$game"
  for i in "${!files[@]}"; do
    cp "$work/old$i" "$game/${files[$i]}"
    sync "$game/${files[$i]}"
    cp "$work/new$i" "$data/Brackmoor Games/Temp/${files[$i]}NEW1"
  done
  sync "$game" "$(dirname "$game")"
  "$kdx" settings "$game" -o "$data/Brackmoor Games/Settings.kdx"
  "$kdx" filelist "${files[@]/%/NEW1}" -o "$data/Brackmoor Games/Temp/FileList.kdx"
}
run_updater() { # run_updater DATA
  env -u DISPLAY XDG_DATA_HOME="$1" "$updater" >/dev/null 2>&1 || true
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
no_temporaries() { [ -z "$(find "$1" -name '.~upd-*')" ]; }

echo "== one file system: a power cut right after the pass"
mount_lazyfs
stage "$work/mnt/data" "$work/mnt/game"
run_updater "$work/mnt/data"
fault "lazyfs::clear-cache"
unmount_lazyfs
check "every installed file is new and whole" state "$work/backing/game" nnn
check "the file list is gone" test ! -e "$work/backing/data/Brackmoor Games/Temp/FileList.kdx"

# Cuts inside the pass: LazyFS dies right after the chosen operation, losing all it had not
# synced. EXPECTED (see state) proves both that the cut came where it was asked and that no
# installed file was torn by it.
cut_inside_pass() { # cut_inside_pass DESCRIPTION DATA GAME FAULT EXPECTED
  local what=$1 data=$2 game=$3 command=$4 expected=$5
  echo "== $what"
  rm -rf "$work/backing"
  mount_lazyfs
  stage "$data" "$game"
  cp "$data/Brackmoor Games/Temp/FileList.kdx" "$work/list.saved"
  fault "$command"
  run_updater "$data"
  unmount_lazyfs
  # A real power cut ends the updater too; this one ran on after the cut and deleted the list.
  if [ "${data#"$memory"}" != "$data" ] && [ ! -e "$data/Brackmoor Games/Temp/FileList.kdx" ]; then
    cp "$work/list.saved" "$data/Brackmoor Games/Temp/FileList.kdx"
  fi
  check "$what: installed files $expected (n new, o old), none torn" state "${game/#$work\/mnt/$work\/backing}" "$expected"
}
cut_inside_pass "one file system, cut after installing ${files[0]}" "$work/mnt/data" "$work/mnt/game" \
  "lazyfs::crash::timing=after::op=rename::from_rgx=.*/${files[0]}NEW1::to_rgx=.*/game/${files[0]}" noo
cut_inside_pass "one file system, cut after installing ${files[1]}" "$work/mnt/data" "$work/mnt/game" \
  "lazyfs::crash::timing=after::op=rename::from_rgx=.*/${files[1]}NEW1::to_rgx=.*/game/${files[1]}" nno
cut_inside_pass "one file system, cut after syncing ${files[1]}NEW1" "$work/mnt/data" "$work/mnt/game" \
  "lazyfs::crash::timing=after::op=fsync::from_rgx=.*/${files[1]}NEW1" noo

# Across file systems the staging folder is on /dev/shm, which the cut does not touch, so a later
# run must finish the update and clear what the cut run left.
for i in 0 1; do
  cut_inside_pass "staging on /dev/shm, cut while copying ${files[$i]}" "$memory/data" "$work/mnt/game" \
    "lazyfs::crash::timing=after::op=write::from_rgx=.*/game/\\.~upd-[0-9]+-$i\\.tmp" "$([ "$i" = 0 ] && echo ooo || echo noo)"
  check "the cut left its temporary behind" test -n "$(find "$work/backing/game" -name '.~upd-*')"
  mount_lazyfs
  run_updater "$memory/data"
  unmount_lazyfs
  check "a later run installs every file" state "$work/backing/game" nnn
  check "a later run leaves no temporary file" no_temporaries "$work/backing/game"
done
cut_inside_pass "staging on /dev/shm, cut after installing ${files[1]}" "$memory/data" "$work/mnt/game" \
  "lazyfs::crash::timing=after::op=rename::from_rgx=.*/game/\\.~upd-.*::to_rgx=.*/game/${files[1]}" nno

echo "== staging on /dev/shm: a power cut right after the pass"
rm -rf "$work/backing"
mount_lazyfs
stage "$memory/data" "$work/mnt/game"
run_updater "$memory/data"
fault "lazyfs::clear-cache"
unmount_lazyfs
check "every installed file is new and whole" state "$work/backing/game" nnn
check "no staged copy left" test -z "$(find "$memory/data/Brackmoor Games/Temp" -type f)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
