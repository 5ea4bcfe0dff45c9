#!/usr/bin/env bash
# Installs what the build and the tests need and the machine lacks (Debian 12, apt-get as root).
# Usage: scripts/install-deps.sh native|checks|windows|all
# Prints "windows-unavailable" and exits 3 when the Windows tools are missing and cannot be
# installed here; in CI (CI=true) that is an error instead, since nothing may be skipped there.
set -euo pipefail
want=${1:-all}

native_packages=(cmake make g++ libgtest-dev libx11-dev xvfb xauth)
windows_packages=(g++-mingw-w64-x86-64 wine wine64 xvfb xauth)
native_commands=(cmake make g++ xvfb-run xauth)
# Static checks and fuzzing: clang 14 with its sanitizer and libFuzzer runtimes.
checks_packages=(clang clang-format clang-tidy libclang-rt-14-dev)
checks_commands=(clang++ clang-format clang-tidy)
windows_commands=(x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine xvfb-run xauth)

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

if [ "$want" = native ] || [ "$want" = all ]; then
  if ! have_commands "${native_commands[@]}" || [ -n "$(missing_packages "${native_packages[@]}")" ]; then
    # shellcheck disable=SC2046
    install_packages $(missing_packages "${native_packages[@]}")
  fi
fi

if [ "$want" = checks ] || [ "$want" = all ]; then
  if ! have_commands "${checks_commands[@]}" || [ -n "$(missing_packages "${checks_packages[@]}")" ]; then
    # shellcheck disable=SC2046
    install_packages $(missing_packages "${checks_packages[@]}")
  fi
fi

if [ "$want" = windows ] || [ "$want" = all ]; then
  if ! have_commands "${windows_commands[@]}"; then
    # shellcheck disable=SC2046
    if ! install_packages $(missing_packages "${windows_packages[@]}") || ! have_commands "${windows_commands[@]}"; then
      if [ "${CI:-}" = true ]; then
        echo "install-deps: the Windows build and Wine tests cannot be set up, and CI skips nothing" >&2
        exit 1
      fi
      echo "windows-unavailable"
      exit 3
    fi
  fi
fi
exit 0
