# Shared by the Wine test scripts (sourced). Gives each script an X display (Xvfb), a settled
# Wine prefix made once per build, and helpers for the prefix's per-user data folder.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
: "${UPDATER_EXE:?UPDATER_EXE must name updater.exe}"
: "${WINE_TEST_BIN:?WINE_TEST_BIN must name the folder of the test programs}"
: "${KDX_EXE:?KDX_EXE must name kdx.exe}"
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

GAME_WIN='C:\Games\Orvo'
GAME_UNIX="$WINEPREFIX/drive_c/Games/Orvo"

# Data files made by kdx.exe itself, so its Windows build is exercised too.
write_settings() { # write_settings GAME_FOLDER_AS_WINDOWS_PATH
  run_wine "$KDX_EXE" settings "$1" player -o "$(winepath -w "$BRACKMOOR_UNIX/Settings.kdx" 2>/dev/null)"
}
write_file_list() { # write_file_list NAME...
  run_wine "$KDX_EXE" filelist "$@" -o "$(winepath -w "$STAGING_UNIX/FileList.kdx" 2>/dev/null)" 2>/dev/null
}
# Runs a Windows program to its end; its standard output goes to $1, its exit code to
# $program_code. The updater never ends with 1 (it returns 0, and a crash ends with its exception
# code), yet one CI run saw Wine end a normal run so, silently, among hundreds: such a run is made
# once more, and the test says so and shows what Wine printed.
run_program() { # run_program OUTPUT_FILE PROGRAM [ARGUMENT...]
  local output=$1 attempt; shift
  for attempt in first second; do
    set +e
    run_wine "$@" >"$output" 2>"$output.stderr"
    program_code=$?
    set -e
    cat "$output.stderr" >&2
    [ "$program_code" -eq 1 ] && [ "$attempt" = first ] || break
    echo "note: Wine ended $(basename "$1") with code 1; it printed: $(cat "$output" "$output.stderr"); running it again"
  done
  rm -f "$output.stderr"
}
# Runs updater.exe; its standard output goes to $1.
run_updater() { # run_updater OUTPUT_FILE [ARGUMENT...]
  local output=$1; shift
  run_program "$output" "$UPDATER_EXE" "$@"
  updater_code=$program_code
}
content_is() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }

# A clean slate in the prefix: no data files, no game folder from an earlier test.
reset_user_folders() {
  rm -rf "$BRACKMOOR_UNIX" "$WINEPREFIX/drive_c/Games"
  mkdir -p "$STAGING_UNIX" "$GAME_UNIX"
}
