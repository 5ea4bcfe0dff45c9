# The Windows path layer: the conversion table under two ANSI code pages, and a target of the
# longest composed length (383 characters before its suffix is dropped) installed on the same
# volume and across volumes.
source "$(dirname "$0")/wine_harness.sh"
out=$(mktemp)
trap 'rm -f "$out"; rm -rf "${other_volume:-}"; rm -f "$WINEPREFIX/dosdevices/q:"' EXIT

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
finish
