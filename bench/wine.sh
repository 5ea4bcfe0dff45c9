#!/usr/bin/env bash
# Benchmarks the Windows build under Wine (see bench/bench_windows.cpp): builds the windows
# preset, times the real updater.exe's pass over 255 staged files of 4 KiB against the bare and
# the durable MoveFileExW loops, and counts the pass's Win32 file calls per entry with the test
# build's trace. Uses the Wine tests' prefix (build/windows/wineprefix, made if missing) unless
# WINEPREFIX names another; do not run the Wine tests on that prefix meanwhile.
# Usage: bench/wine.sh [ROUNDS]   (5 unless given)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
if [ -z "${BENCH_WINE_BUILT:-}" ]; then # once, not again inside Xvfb
  scripts/install-deps.sh windows
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 --target updater kdx updater_faults bench_windows >/dev/null
  export BENCH_WINE_BUILT=1
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$PWD/bench/wine.sh" "$@"
fi
export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wineprefix}
export UPDATER_EXE=$PWD/build/windows/bin/updater.exe KDX_EXE=$PWD/build/windows/bin/kdx.exe
export WINE_TEST_BIN=$PWD/build/windows/bin
bench_exe=$PWD/build/windows/bench/bench_windows.exe
faults_exe=$PWD/build/windows/test-only/updater_faults.exe
source tests/wine/wine_harness.sh
work=$(mktemp -d)
trap 'rm -rf "$work"; rm -rf "$BRACKMOOR_UNIX" "$WINEPREFIX/drive_c/Games"' EXIT
win() { winepath -w "$1" 2>/dev/null; }

names=()
for i in $(seq 0 254); do names+=("file$i.dat.new"); done
reset_user_folders
write_settings "$GAME_WIN"
write_file_list "${names[@]}"
mv "$STAGING_UNIX/FileList.kdx" "$work/list.kdx"
write_file_list
mv "$STAGING_UNIX/FileList.kdx" "$work/empty.kdx"
folders=("$GAME_WIN" "$(win "$STAGING_UNIX")")

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -sr), $("$WINE" --version)"
echo "volume: drive_c on $(df -T "$WINEPREFIX/drive_c" | awk 'NR==2 {print $2}') ($WINEPREFIX)"
run_wine "$bench_exe" time "${folders[@]}" "$(win "$work/list.kdx")" "$(win "$work/empty.kdx")" \
  "$(win "$UPDATER_EXE")" "$rounds" | tr -d '\r'

# The file calls of one pass, less those of a pass over an empty list.
traced_calls() { # traced_calls LIST OUTPUT
  run_wine "$bench_exe" stage "${folders[@]}" "$(win "$1")"
  UPDATER_FAULT_TRACE=1 run_wine "$faults_exe" 2>&1 >/dev/null | tr -d '\r' | grep '^file call ' >"$2" || true
}
traced_calls "$work/list.kdx" "$work/trace"
[ -z "$(find "$STAGING_UNIX" -name '*.new')" ] || { echo "bench: the traced pass did not install the files" >&2; exit 1; }
traced_calls "$work/empty.kdx" "$work/trace.empty"
[ -s "$work/trace.empty" ] || { echo "bench: the traced 0-entry pass made no file call" >&2; exit 1; }
calls=$(wc -l <"$work/trace") empty_calls=$(wc -l <"$work/trace.empty")
# Per entry as the goal was set: all of the pass's calls over its 255 entries.
awk -v c="$calls" -v e="$empty_calls" 'BEGIN {
  printf "traced Win32 file calls: %d in the 255-entry pass: %.1f per entry (target 10); %d in a 0-entry pass, %.1f per entry beyond those\n",
    c, c / 255, e, (c - e) / 255 }'
echo "by name: calls in the 255-entry pass, per entry, calls in the 0-entry pass"
cut -d' ' -f4 "$work/trace" | sort | uniq -c >"$work/names"
cut -d' ' -f4 "$work/trace.empty" | sort | uniq -c >"$work/names.empty"
awk 'NR == FNR { empty[$2] = $1; next } { printf "  %-28s %5d %6.2f %5d\n", $2, $1, $1 / 255, empty[$2] }' \
  "$work/names.empty" "$work/names" | sort -k2,2 -rn
