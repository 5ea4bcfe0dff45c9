# A game folder and staged names that the ANSI code page (1252) cannot write: kdx.exe refuses
# them rather than write "?", writes the folder's short form when asked, and updater.exe installs
# into the folder through that form.
source "$(dirname "$0")/wine_harness.sh"
out=$(mktemp)
trap 'rm -f "$out" "$out.err"' EXIT
game_win='C:\Games\Игры Orvo'
game_unix="$WINEPREFIX/drive_c/Games/Игры Orvo"
settings_win=$(winepath -w "$BRACKMOOR_UNIX/Settings.kdx" 2>/dev/null)
kdx() { # kdx ARGUMENT...: standard output to $out, standard error to $out.err, exit code to $kdx_code
  set +e
  run_wine "$KDX_EXE" "$@" >"$out" 2>"$out.err"
  kdx_code=$?
  set -e
}

reset_user_folders
mkdir -p "$game_unix"
echo "old" >"$game_unix/Data.pak"
echo "new" >"$STAGING_UNIX/Data.paknew1"
check "under code page 1252" bash -c '"$0" "$1" | tr -d "\r" | grep -q -x "ANSI code page 1252"' "$WINE" "$WINE_TEST_BIN/path_table.exe"

echo "== kdx settings: refused without --short, the short form with it"
kdx settings "$game_win" -o "$settings_win"
check "exit code 2" test "$kdx_code" -eq 2
check "... naming the folder and the way out" grep -q -F "the game folder $game_win cannot be written in the code page the updater reads; its short form C:\\Games\\" "$out.err"
check "... use --short" grep -q -F "use --short" "$out.err"
check "... and no settings file" test ! -e "$BRACKMOOR_UNIX/Settings.kdx"
kdx settings --short "$game_win" -o "$settings_win"
check "--short: exit code 0" test "$kdx_code" -eq 0
check "... says it wrote the short form" grep -q -F "wrote the game folder's short form" "$out.err"
kdx dump "$settings_win"
short=$(tr -d '\r' <"$out" | sed -n 's/^game folder the updater uses: //p')
check "... the short form is in the file, no \"?\" ($short)" bash -c '[[ "$0" == *~* && "$0" != *\?* ]]' "$short"
kdx settings "C:\\Games\\Игры Orvo\\missing" --short
check "a folder that does not exist has no short form: exit code 2" test "$kdx_code" -eq 2
check "... and says why" grep -q -F "it has no short form that can" "$out.err"

echo "== kdx filelist: a staged name the code page cannot write"
mkdir -p "$out.d/Maps"
echo x >"$out.d/Maps/Карта.mapnew1"
kdx filelist --from "$(winepath -w "$out.d" 2>/dev/null)" -o "$(winepath -w "$out.d/FileList.kdx" 2>/dev/null)"
rm -rf "$out.d"
check "exit code 2" test "$kdx_code" -eq 2
check "... named as such" grep -q -F "Maps/Карта.mapnew1: its name cannot be written in the code page" "$out.err"
check "... not as a file that is not regular" bash -c '! grep -q -F "not a regular file" "$0"' "$out.err"
kdx filelist "Карта.mapnew1"
check "a NAME the code page cannot write: exit code 2" test "$kdx_code" -eq 2

echo "== the updater installs into the folder through its short form"
write_file_list "Data.paknew1"
kdx plan --records
check "kdx plan --records: the game folder" grep -q -x -F "game-folder	$(printf '%s' "$short" | sed 's/\\/\\\\/g')	set" <(tr -d '\r' <"$out")
check "kdx plan --records: the entry" grep -q -x -F "entry	1	Data.paknew1	installable	replaces	4	4	0" <(tr -d '\r' <"$out")
run_updater "$out"
check "the update is installed" content_is "$game_unix/Data.pak" "new"
check "... the staged file is gone" test ! -e "$STAGING_UNIX/Data.paknew1"
finish
