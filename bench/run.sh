#!/usr/bin/env bash
# Benchmarks the updater (see bench/bench_updater.cpp): builds the native preset and prints
# the ratios of the updater's times to the plain tools', its peak memory, and its idle run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc 2>/dev/null || echo 2)" --target updater bench_updater >/dev/null
echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -sr)"
echo "disk: $(df -T "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2}') at ${TMPDIR:-/tmp}; staging for (b) on $(df -T /dev/shm | awk 'NR==2 {print $2}') at /dev/shm"
build/native/bin/bench_updater build/native/bin/updater "$@"
