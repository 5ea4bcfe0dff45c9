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

# available GROUP: true when the group's tools are here or could be installed; false (after a
# message) when they are missing and cannot be; any other failure stops the run.
available() {
  local code=0
  scripts/install-deps.sh "$1" >/dev/null || code=$?
  if [ "$code" -eq 3 ]; then
    return 1
  fi
  [ "$code" -eq 0 ] || exit 1
}

if available windows; then
  run_preset windows
else
  echo "== windows: SKIPPED: MinGW-w64, Wine or Xvfb is missing and cannot be installed here (run as root)"
fi
if available checks; then
  echo "== static checks"
  scripts/static-checks.sh
  echo "== fuzz smoke runs"
  scripts/fuzz.sh 20
else
  echo "== static checks and fuzzing: SKIPPED: clang tools are missing and cannot be installed here (run as root)"
fi
echo "== all tests passed"
