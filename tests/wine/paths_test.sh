# The Windows path layer: the conversion table under two ANSI code pages, and a target of the
# longest composed length (383 characters before its suffix is dropped) installed on the same
# volume and across volumes.
source "$(dirname "$0")/wine_harness.sh"
out=$(mktemp)
trap 'rm -f "$out" "$WINEPREFIX/dosdevices/unc/server/share"; rm -rf "${other_volume:-}"; rm -f "$WINEPREFIX/dosdevices/q:"' EXIT
# Our Windows test programs write text files with CRLF line ends.
has_line() { [ -f "$1" ] && tr -d '\r' <"$1" | grep -q -x -F -- "$2"; }

check "path table, the default code page" run_wine "$WINE_TEST_BIN/path_table.exe"
set +e
env LC_ALL=ja_JP.UTF-8 "$WINE" "$WINE_TEST_BIN/path_table.exe" | tr -d '\r' >"$out"
table_code=${PIPESTATUS[0]}
set -e
check "path table, Shift-JIS (a Japanese locale)" test "$table_code" -eq 0
check "... under code page 932 indeed" grep -q -x "ANSI code page 932" "$out"

other_volume=$(mktemp -d /dev/shm/updater-wine-XXXXXX)
ln -sfn "$other_volume" "$WINEPREFIX/dosdevices/q:"
name="$(printf 'n%.0s' $(seq 1 115)).dat" # 119 bytes installed, 123 staged
for drive in C Q; do
  echo "== a target of 383 characters with its suffix on $drive:"
  reset_user_folders
  folder="Games\\$(printf 'f%.0s' $(seq 1 200))\\$(printf 'g%.0s' $(seq 1 49))" # the game folder: 259 characters
  game_win="$drive:\\$folder"
  game_unix="$WINEPREFIX/dosdevices/${drive,,}:/${folder//\\//}"
  mkdir -p "$game_unix"
  echo "old" >"$game_unix/$name"
  echo "new" >"$STAGING_UNIX/${name}new1"
  write_settings "$game_win"
  write_file_list "${name}new1"
  check "the target has 383 characters with its suffix" test "$((${#game_win} + 1 + ${#name} + 4))" -eq 383
  run_updater "$out"
  check "it is installed" content_is "$game_unix/$name" "new"
  check "... and its staged file is gone" test ! -e "$STAGING_UNIX/${name}new1"
  check "... and no temporary file is left" test "$(find "$game_unix" -type f | wc -l)" -eq 1
done

echo "== the client started from a game folder of 259 characters, its path past MAX_PATH"
reset_user_folders
game_unix="$WINEPREFIX/drive_c/${folder//\\//}"
mkdir -p "$game_unix"
cp "$WINE_TEST_BIN/client_standin.exe" "$game_unix/Orvo.exe"
write_settings "C:\\$folder"
run_updater "$out" -restart
for _ in $(seq 1 500); do [ -e "$game_unix/started.txt" ] && break; sleep 0.02; done
check "the client is started" test -e "$game_unix/started.txt"

echo "== a game folder in device-path form: the plan, the run and the client's start agree"
# Wine reaches \\server\share through dosdevices/unc; Volume{...} and GLOBALROOT paths it has not
# at all, so their refusal is shown by the path table only.
mkdir -p "$WINEPREFIX/dosdevices/unc/server"
ln -sfn ../../../drive_c "$WINEPREFIX/dosdevices/unc/server/share"
for game in '\\?\C:\Games\Orvo' '\\.\C:\Games\Orvo' '\\.\UNC\server\share\Games\Orvo' '//?/unc/server/share/Games/Orvo'; do
  reset_user_folders
  echo "old" >"$GAME_UNIX/Data.pak"
  echo "new" >"$STAGING_UNIX/Data.paknew1"
  cp "$WINE_TEST_BIN/client_standin.exe" "$GAME_UNIX/Orvo.exe"
  write_settings "$game"
  write_file_list "Data.paknew1"
  check "$game: the plan would replace" bash -c '"$0" "$1" plan | grep -q "Data.pak: would replace"' "$WINE" "$KDX_EXE"
  run_updater "$out" -restart
  check "$game: the run replaces" content_is "$GAME_UNIX/Data.pak" "new"
  for _ in $(seq 1 500); do [ -e "$GAME_UNIX/started.txt" ] && break; sleep 0.02; done
  check "$game: the client is started after the installation" has_line "$GAME_UNIX/started.txt" "data new"
done
rm -f "$WINEPREFIX/dosdevices/unc/server/share"

echo "== hardening: DLLs come from the system folder only; kdx tells the system's reason"
check "a DLL beside a program loads" run_wine "$WINE_TEST_BIN/dll_search.exe" --plain
check "... but not once the process is hardened" bash -c '! "$0" "$1"' "$WINE" "$WINE_TEST_BIN/dll_search.exe"
set +e
run_wine "$KDX_EXE" dump 'C:\no\such\folder\FileList.kdx' >/dev/null 2>"$out"
set -e
check "kdx: the Win32 reason" grep -q -F 'FileList.kdx as a regular file: Path not found' "$out"

echo "== a per-user folder the ANSI code page cannot spell (a Cyrillic user name, code page 1252)"
reset_user_folders
shell_folders='Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
profile="$WINEPREFIX/drive_c/users/Дмитрий/AppData/Roaming/Brackmoor Games"
trap 'run_wine reg add "HKCU\\$shell_folders" /v AppData /t REG_EXPAND_SZ /d "%USERPROFILE%\\AppData\\Roaming" /f >/dev/null 2>&1
  rm -rf "$out" "$out.reg" "${profile%%/AppData*}" "${other_volume:-}" "$WINEPREFIX/dosdevices/q:"' EXIT
echo "old" >"$GAME_UNIX/Data.pak"
echo "new" >"$STAGING_UNIX/Data.paknew1"
write_settings "$GAME_WIN"
write_file_list "Data.paknew1"
mkdir -p "${profile%/*}" && mv "$BRACKMOOR_UNIX" "$profile"
# A registry file in UTF-16, whatever the Unix locale makes of a command line.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\%s]\r\n"AppData"="C:\\\\users\\\\Дмитрий\\\\AppData\\\\Roaming"\r\n' \
  "$shell_folders" | iconv -f UTF-8 -t UTF-16 >"$out.reg"
run_wine regedit /s "$(winepath -w "$out.reg" 2>/dev/null)"
check "under code page 1252" bash -c '"$0" "$1" | tr -d "\r" | grep -q -x "ANSI code page 1252"' "$WINE" "$WINE_TEST_BIN/path_table.exe"
check "kdx plan finds the list there" bash -c '"$0" "$1" plan | grep -q "would replace"' "$WINE" "$KDX_EXE"
run_updater "$out"
check "the update is installed" content_is "$GAME_UNIX/Data.pak" "new"
check "... its staged file and the list are gone" test -z "$(find "$profile" -type f -not -name Settings.kdx)"
finish
