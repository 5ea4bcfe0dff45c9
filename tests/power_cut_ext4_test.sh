#!/usr/bin/env bash
# Power cuts on a real ext4, on the path a pass takes there: one syncfs of the staging file
# system, each staged file taken under its reserved name and renamed over its target, the game
# folder synced, the list deleted.
# The ext4 lives in an image file on /dev/shm, loop-mounted. The pass is stopped (strace injects
# SIGSTOP) right after a chosen call, and the image is copied with a plain cp, without any sync:
# that copy is the power cut. The loop device writes into the image file through the page cache,
# which cp reads, so the copy holds what ext4 had sent to its disk and nothing it held only in
# memory (data not written back, a journal not committed). Mounted with commit=600, so that no
# timer commits the journal behind the updater's back, and noauto_da_alloc, so that ext4 does
# not write a renamed file's data on its own: only the updater's syncs make anything durable,
# and a missing one shows every time. The copy is repaired as after a power cut (e2fsck -p),
# mounted where the original was (the settings name the game folder by its path) and checked:
# every target wholly old or new, every file whose target is old still staged, under its staged
# or reserved name, with the list beside it; then a second run must install everything.
# Usage: power_cut_ext4_test.sh UPDATER KDX
# Skipped (exit 77) when not root or without a loop device, except in CI (CI=true).
set -euo pipefail
updater=$1 kdx=$2

skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $1 (CI must run this test)"
    exit 1
  fi
  echo "SKIPPED: $1"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root (mounting needs it)"
for tool in strace mkfs.ext4 e2fsck losetup; do command -v "$tool" >/dev/null || skip "no $tool"; done
losetup -f >/dev/null 2>&1 || skip "no free loop device"

work=$(mktemp -d)
images=$(mktemp -d /dev/shm/updater-ext4cut-XXXXXX) # tmpfs: the image's pages never count as unwritten
mnt=$work/mnt
loops=()
tracer=
cleanup() {
  [ -z "$tracer" ] || kill -KILL "$tracer" 2>/dev/null || true
  mountpoint -q "$mnt" && umount "$mnt"
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  rm -rf "$work" "$images"
}
trap cleanup EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

attach() { # attach IMAGE: mounts it on $mnt
  local loop
  loop=$(losetup --find --show "$1")
  loops+=("$loop")
  mkdir -p "$mnt"
  mount -o commit=600,noauto_da_alloc "$loop" "$mnt"
}
detach() {
  umount "$mnt"
  losetup -d "${loops[-1]}"
  unset 'loops[-1]'
}

# Enough entries that one syncfs is the cheaper way, even beside what the rest of the machine
# has not written yet (the updater allows 256 KiB of it per staged file).
names=(Pack0.pak Pack1.pak Pack2.pak)
for i in $(seq -w 1 200); do names+=("f$i.dat"); done
mkdir -p "$work/old" "$work/new" "$work/staged"
for i in "${!names[@]}"; do
  size=$([ "$i" -lt 3 ] && echo $((300000 + i * 100003)) || echo 1500)
  head -c "$size" /dev/urandom >"$work/old/${names[$i]}"
  head -c "$((size + 7))" /dev/urandom >"$work/new/${names[$i]}"
  cp "$work/new/${names[$i]}" "$work/staged/${names[$i]}NEW1"
done
"$kdx" filelist "${names[@]/%/NEW1}" -o "$work/staged/FileList.kdx"
(cd "$work/new" && md5sum -- *) >"$work/new.sums"
(cd "$work/old" && md5sum -- *) >"$work/old.sums"

# The image as after an earlier update: the installed files and the settings, on disk.
data=$mnt/data
staging="$data/Brackmoor Games/Temp"
truncate -s 64M "$images/template.img"
mkfs.ext4 -q -F "$images/template.img"
attach "$images/template.img"
mkdir -p "$staging" "$mnt/game"
cp "$work/old/"* "$mnt/game/"
"$kdx" settings "$mnt/game" -o "$data/Brackmoor Games/Settings.kdx"
detach

# survey: one letter per file: n its target is new; s its target is old and it is still staged
# (under its staged or reserved name); x anything else (torn, lost, empty).
survey() {
  { sed 's/^/new /' "$work/new.sums"; sed 's/^/old /' "$work/old.sums"
    (cd "$mnt" && find game "data/Brackmoor Games/Temp" -type f -exec md5sum {} + 2>/dev/null | sed 's/^/has /') || true; } |
    awk '$1 == "new" { new[$3] = $2; order[++n] = $3; next }
      $1 == "old" { old[$3] = $2; next }
      { path = $0; sub(/^has [0-9a-f]+  /, "", path); sum[path] = $2 }
      END {
        for (i = 1; i <= n; ++i) {
          f = order[i]; staged = "data/Brackmoor Games/Temp/"
          if (sum["game/" f] == new[f]) printf "n"
          else if (sum["game/" f] == old[f] &&
                   (sum[staged f "NEW1"] == new[f] || sum[staged ".~upd-staged~" f "NEW1"] == new[f])) printf "s"
          else printf "x"
        }
        print ""
      }'
}
all() { printf "%${#names[@]}s" "" | tr ' ' "$1"; }
tally() { fold -w 1 <<<"$1" | sort | uniq -c | awk '{ printf "%s%d %s", (NR > 1 ? ", " : ""), $1, $2 } END { print "" }'; }
count() { # count STRING...: how many trace lines hold every string given
  awk 'BEGIN { for (i = 1; i < ARGC; ++i) want[i] = ARGV[i]; n = ARGC - 1; ARGC = 1 }
    { for (i = 1; i <= n; ++i) if (index($0, want[i]) == 0) next; ++hits } END { print hits + 0 }' "$@" <"$work/trace"
}

# Stop points: a description, the call (strace's syscall:when=N) right after which the pass is
# stopped, a fixed string the call's trace line holds, and what every file must be in the copy
# (see survey). None: the cut comes after the pass has ended. Until the game folder is synced
# nothing of the installs is durable, so the copy holds them all still staged.
last=${#names[@]}
stops=(
  "after the pass|||n"
  "after the syncfs|syncfs:when=1|syncfs(|s"
  "after the first rename over a target|renameat:when=1|\"$mnt/game/${names[0]}\") = 0|s"
  "after the last rename over a target|renameat:when=$last|\"$mnt/game/${names[-1]}\") = 0|s"
  "after the game folder is synced|fsync:when=1|fsync(|n"
  "after the list is deleted|unlinkat:when=1|FileList.kdx\", 0) = 0|n"
)
for row in "${stops[@]}"; do
  IFS='|' read -r what stop call expected <<<"$row"
  echo "== power cut $what"
  cp "$images/template.img" "$images/case.img"
  sync # what other programs have not written counts against the syncfs; ours stays unwritten
  attach "$images/case.img"
  cp "$work/staged/"* "$staging/"
  inject=()
  [ -z "$stop" ] || inject=("--inject=$stop:signal=STOP")
  env -u DISPLAY XDG_DATA_HOME="$data" strace -f -y -o "$work/trace" "${inject[@]}" \
    -e trace=openat,rename,renameat,renameat2,fsync,fdatasync,syncfs,unlink,unlinkat "$updater" >/dev/null 2>&1 &
  tracer=$!
  if [ -n "$stop" ]; then
    # Stopped: strace saw the stop, and the process is in it (t: a stop under a tracer).
    pass=
    until [ -n "$pass" ]; do
      kill -0 "$tracer" 2>/dev/null || break
      pass=$(awk '/--- stopped by SIGSTOP ---/ { print $1; exit }' "$work/trace" 2>/dev/null || true)
      [ -z "$pass" ] || [[ "$(awk '{ print $3 }' "/proc/$pass/stat" 2>/dev/null)" == [tT] ]] || pass=
      [ -n "$pass" ] || sleep 0.02
    done
    check "the pass stopped right after the chosen call" \
      grep -q -F -e "$call" <<<"$(grep -B 1 -e '--- SIGSTOP' "$work/trace" | head -n 1)"
  fi
  [ -n "$stop" ] || wait "$tracer" || true
  cp "$images/case.img" "$images/copy.img"
  [ -z "$stop" ] || kill -KILL "$pass" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  tracer=
  detach
  echo "path: $(count "syncfs(") syncfs, $(count "fdatasync(") fdatasync," \
    "$(count "NEW1\", RENAME_NOREPLACE) = 0") reserved-name renames, $(count "renameat(" ", \"$mnt/game/") renames over targets"
  check "the staged files were synced by one syncfs of the staging file system" \
    test "$(count "syncfs(") $(count "fdatasync(")" = "1 0"
  [ -n "$stop" ] || check "every file took the reserved-name rename" test "$(count "NEW1\", RENAME_NOREPLACE) = 0")" -eq "$last"

  status=0
  e2fsck -p "$images/copy.img" >"$work/fsck.log" 2>&1 || status=$?
  check "e2fsck -p repairs the copy as after a power cut (status $status)" test "$status" -le 1
  attach "$images/copy.img"
  found=$(survey)
  echo "copy: $(tally "$found") (n new, s still staged, x torn or lost)"
  check "every target is wholly old or new and nothing is lost" test "$found" = "$(all "$expected")"
  [ "$expected" != s ] || check "the list is still there" cmp -s "$staging/FileList.kdx" "$work/staged/FileList.kdx"
  env -u DISPLAY XDG_DATA_HOME="$data" "$updater" >/dev/null 2>&1 || true
  check "a later run installs every file" test "$(survey)" = "$(all n)"
  check "a later run deletes the list and leaves no reserved name or temporary" \
    test -z "$(find "$mnt" -name FileList.kdx -o -name '.~upd-*')"
  detach
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
