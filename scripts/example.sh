#!/usr/bin/env bash
# Runs the updater on a bundled example, in a throw-away folder: its own per-user data folder
# (HOME and XDG_DATA_HOME are set for the updater only), a settings file naming an example
# game folder, and prints what the run did. Nothing outside the throw-away folder is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc 2>/dev/null || echo 2)" --target updater >/dev/null
updater=$PWD/build/native/bin/updater

example=$(mktemp -d "${TMPDIR:-/tmp}/updater-example-XXXXXX")
home="$example/home"
data="$home/.local/share"
game="$example/Orvo Game"
mkdir -p "$data/Brackmoor Games/Temp" "$game"
echo "installed client" >"$game/Orvo.exe"

# Settings.kdx: the container header, then two strings of a 16-bit length and their bytes.
lenstring() { printf "\\x$(printf %02x $((${#1} & 255)))\\x$(printf %02x $((${#1} >> 8)))%s" "$1"; }
{ printf '\xff\xffKDX\x00\x01\x00'; lenstring "player"; lenstring "$game"; } >"$data/Brackmoor Games/Settings.kdx"

show() {
  echo "--- $1"
  (cd "$example" && find . -mindepth 1 | sort | sed 's/^\.\//    /')
}
echo "Example folder: $example"
show "before the run"
echo "--- running: HOME=$home updater $*"
set +e
env HOME="$home" XDG_DATA_HOME="$data" "$updater" "$@"
code=$?
set -e
echo "--- exit code: $code"
show "after the run"
echo "(The folder is left for you to look at; remove it with: rm -rf '$example')"
