#!/usr/bin/env bash
# Runs a whole example update in a throw-away folder: its own per-user data folder (HOME and
# XDG_DATA_HOME are set for the updater only), a settings file naming an example game folder
# with installed files, staged files and a file list made with kdx. Prints both folders before
# and after the run. Nothing outside the throw-away folder is touched. Arguments go to the
# updater: scripts/example.sh -restart
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc 2>/dev/null || echo 2)" --target updater kdx >/dev/null
bin=$PWD/build/native/bin

example=$(mktemp -d "${TMPDIR:-/tmp}/updater-example-XXXXXX")
data="$example/home/.local/share"
brackmoor="$data/Brackmoor Games"
staging="$brackmoor/Temp"
game="$example/Orvo Game"
mkdir -p "$staging/Maps" "$game/Maps"

# The installed game: a client that says it ran, a data file and a map.
cat >"$game/Orvo.exe" <<'CLIENT'
#!/bin/sh
echo "    [client] Orvo.exe started from $(pwd) (version 1)"
CLIENT
chmod +x "$game/Orvo.exe"
echo "data version 1" >"$game/Data.pak"
echo "map version 1" >"$game/Maps/Harbour.map"

# What the client downloaded: each staged name carries a four-byte suffix.
echo "data version 2" >"$staging/Data.pak.new"
echo "map version 2" >"$staging/Maps/Harbour.map.new"
echo "a brand-new map" >"$staging/Maps/Caves.map.new"
sed 's/version 1/version 2/' "$game/Orvo.exe" >"$staging/Orvo.exe.new"
chmod +x "$staging/Orvo.exe.new"
"$bin/kdx" settings "$game" player -o "$brackmoor/Settings.kdx"
# The list names every staged file; written beside the staging folder, then renamed into it.
"$bin/kdx" filelist --from "$staging" -o "$brackmoor/FileList.kdx.part"
sync "$brackmoor/FileList.kdx.part"
mv "$brackmoor/FileList.kdx.part" "$staging/FileList.kdx"

show() {
  echo "--- $1"
  for folder in "$game" "$staging"; do
    echo "  ${folder#"$example"/}/"
    (cd "$folder" && find . -type f | sort | while read -r file; do
      printf '    %-24s %s\n' "${file#./}" "$(tail -n 1 "$file" | head -c 60 | tr -c '[:print:]' ' ' | sed 's/ *$//')"
    done)
  done
}
echo "Example folder: $example"
echo "--- the file list, as kdx reads it"
"$bin/kdx" dump --data-folder "$data" --game-folder "$game" "$staging/FileList.kdx" | sed 's/^/    /'
show "before the run"
echo "--- what the updater would do, as kdx plan tells support"
(env HOME="$example/home" XDG_DATA_HOME="$data" "$bin/kdx" plan || true) | sed 's/^/    /'
echo "--- running: HOME=$example/home updater $*"
set +e
(cd "$example" && env HOME="$example/home" XDG_DATA_HOME="$data" "$bin/updater" "$@")
code=$?
set -e
sleep 0.2 # a restarted client prints on its own
echo "--- exit code: $code"
show "after the run"
echo "(The folder is left for you to look at; remove it with: rm -rf '$example')"
