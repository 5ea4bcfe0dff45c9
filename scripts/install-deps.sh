#!/usr/bin/env bash
# Installs what the build and the tests need and the machine lacks (Debian 12, apt-get as root).
# Usage: scripts/install-deps.sh native|checks|windows|all
# Prints "<group>-unavailable" and exits 3 when the Windows or clang tools are missing and cannot
# be installed here; in CI (CI=true) that is an error instead, since nothing may be skipped there.
set -euo pipefail
want=${1:-all}

# The native build and its tests (Xvfb for the browser-window tests, strace for the order of
# syncs, FUSE and e2fsprogs for the power-cut tests).
native_packages=(cmake make g++ libgtest-dev libx11-dev xvfb xauth strace fuse3 e2fsprogs)
native_commands=(cmake make g++ xvfb-run xauth strace fusermount3)
# Static checks and fuzzing: clang 14 with its sanitizer and libFuzzer runtimes.
checks_packages=(clang clang-format clang-tidy libclang-rt-14-dev)
checks_commands=(clang++ clang-format clang-tidy)
# The Windows build and the Wine tests (strace kills the Wine server at a chosen rename).
windows_packages=(g++-mingw-w64-x86-64 wine wine64 xvfb xauth strace)
windows_commands=(x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine xvfb-run xauth strace)

missing_packages() { # names the packages of "$@" that dpkg does not list as installed
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
  done
}

apt_updated=no
install_packages() {
  [ "$#" -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: $* (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "install-deps: installing $*" >&2
  if [ "$apt_updated" = no ]; then
    apt-get update -qq >&2
    apt_updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >&2
}

have_commands() {
  local command_name
  for command_name in "$@"; do command -v "$command_name" >/dev/null 2>&1 || return 1; done
}

# ensure GROUP OPTIONAL: installs the group's missing packages. A required group that cannot
# be set up is an error; an optional one (the Windows tools, the clang tools) is reported as
# unavailable with exit status 3, except in CI, where nothing may be skipped.
ensure() {
  local group=$1 optional=$2
  local -n packages="${group}_packages" commands="${group}_commands"
  if have_commands "${commands[@]}" && [ -z "$(missing_packages "${packages[@]}")" ]; then
    return 0
  fi
  # shellcheck disable=SC2046
  if install_packages $(missing_packages "${packages[@]}") && have_commands "${commands[@]}"; then
    return 0
  fi
  if [ "$optional" = optional ] && [ "${CI:-}" != true ]; then
    echo "${group}-unavailable"
    exit 3
  fi
  echo "install-deps: the $group tools cannot be set up here" >&2
  exit 1
}

case "$want" in
  native) ensure native required ;;
  checks) ensure checks optional ;;
  windows) ensure windows optional ;;
  all) ensure native required; ensure checks optional; ensure windows optional ;;
  *) echo "usage: scripts/install-deps.sh native|checks|windows|all" >&2; exit 2 ;;
esac
exit 0
