#!/usr/bin/env bash
# The whole test suite: builds the native, sanitizer and Windows presets and runs every test,
# native, sanitized and Windows-under-Wine, then the static checks and a short run of each
# fuzz target. Exits non-zero when any build, test or check fails.
# Where the Windows tools cannot be installed, only the Windows part is skipped, with a message
# (never in CI, where CI=true makes that a failure).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh native

run_preset() { # configure, build and test one preset
  local preset=$1
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs"
}

run_preset native
run_preset sanitize

set +e
windows_state=$(scripts/install-deps.sh windows)
windows_code=$?
set -e
if [ "$windows_code" -eq 3 ]; then
  echo "== windows: SKIPPED: MinGW-w64, Wine or Xvfb is missing and cannot be installed here (run as root)"
elif [ "$windows_code" -ne 0 ]; then
  echo "== windows: cannot install the Windows tools ($windows_state)" >&2
  exit 1
else
  run_preset windows
fi
echo "== static checks"
scripts/static-checks.sh
echo "== fuzz smoke runs"
scripts/fuzz.sh 20
echo "== all tests passed"
