# Shared by the Wine test scripts (sourced). Gives each script an X display (Xvfb), a settled
# Wine prefix made once per build, and helpers for the prefix's per-user data folder.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
: "${UPDATER_EXE:?UPDATER_EXE must name updater.exe}"
: "${WINE_TEST_BIN:?WINE_TEST_BIN must name the folder of the test programs}"
export WINEPREFIX WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine || command -v wine64)

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
}

# A fresh prefix takes several seconds to settle: make it once, under a lock.
(
  flock 9
  if [ ! -f "$WINEPREFIX/.settled" ]; then
    rm -rf "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    # Without a window manager every window would wait for one for about two seconds.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.settled"
  fi
) 9>"$WINEPREFIX.lock"

WIN_USER=$(ls "$WINEPREFIX/drive_c/users" | grep -v -x -e Public -e public | head -n 1)
APPDATA_UNIX="$WINEPREFIX/drive_c/users/$WIN_USER/AppData/Roaming"
BRACKMOOR_UNIX="$APPDATA_UNIX/Brackmoor Games"
STAGING_UNIX="$BRACKMOOR_UNIX/Temp"

# Runs a Windows program with the test's own environment; its exit code is returned.
run_wine() { "$WINE" "$@"; }

# A clean slate in the prefix: no data files, no game folder from an earlier test.
reset_user_folders() {
  rm -rf "$BRACKMOOR_UNIX" "$WINEPREFIX/drive_c/Games"
  mkdir -p "$APPDATA_UNIX"
}
