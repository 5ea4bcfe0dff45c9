#!/usr/bin/env bash
# Static checks: clang-format on every C++ file, clang-tidy (.clang-tidy) on the product code,
# the POSIX files with the native build's compile commands and the Windows files with the
# Windows build's, when that build exists. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh checks

cxx_files=$(git ls-files '*.cpp' '*.h' '*.c')
echo "== clang-format"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $cxx_files
echo "clang-format: clean"

echo "== clang-tidy (POSIX sources)"
[ -f build/native/compile_commands.json ] || cmake --preset native >/dev/null
posix_sources=$(git ls-files 'updater/*.cpp' 'datafiles/*.cpp' 'tools/*.cpp' 'client/*.cpp' 'platform/*_posix.cpp')
# shellcheck disable=SC2086
clang-tidy -p build/native --quiet $posix_sources 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated' >&2)
echo "clang-tidy: clean"

if [ -f build/windows/compile_commands.json ]; then
  echo "== clang-tidy (Windows sources)"
  windows_sources=$(git ls-files 'platform/*_win.cpp')
  # shellcheck disable=SC2086
  clang-tidy -p build/windows --quiet --extra-arg=--target=x86_64-w64-mingw32 $windows_sources \
    2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated' >&2)
  echo "clang-tidy (Windows): clean"
fi
