#!/usr/bin/env bash
# Runs a whole example update in a throw-away folder: its own per-user data folder (HOME and
# XDG_DATA_HOME are set for the programs it starts only) and an example game folder with installed
# files. Prints both folders before and after the run. Nothing outside the throw-away folder is
# touched.
#   scripts/example.sh              the example client (examples/example_client.c) updates itself
#                                   through the client library: stages the new version, installs
#                                   what it can, hands the rest over to the updater and exits; the
#                                   updater restarts it and it reads the outcome.
#   scripts/example.sh --by-hand [ARGS]   the data files are made with kdx instead, and the updater
#                                   is run by the script with ARGS (e.g. -restart).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc 2>/dev/null || echo 2)" --target updater kdx example_client >/dev/null
bin=$PWD/build/native/bin
example_client=$PWD/build/native/examples/example_client

show() {
  echo "--- $1"
  for folder in "$@"; do
    [ "$folder" = "$1" ] && continue
    echo "  ${folder#"$example"/}/"
    (cd "$folder" && find . -type f | sort | while read -r file; do
      printf '    %-24s %s\n' "${file#./}" "$(tail -n 1 "$file" | head -c 60 | tr -c '[:print:]' ' ' | sed 's/ *$//')"
    done)
  done
}

if [ "${1:-}" != "--by-hand" ]; then
  example=$(mktemp -d "${TMPDIR:-/tmp}/updater-example-XXXXXX")
  export HOME="$example/home" XDG_DATA_HOME="$example/home/.local/share"
  game="$example/Orvo Game"
  server="$example/server"
  mkdir -p "$XDG_DATA_HOME" "$game/Maps" "$server/Maps/North"
  # The installed game: the example client as Orvo.exe, the updater beside it, data and a map.
  cp "$example_client" "$game/Orvo.exe"
  cp "$bin/updater" "$game/updater"
  echo "data version 1" >"$game/Data.pak"
  echo "map version 1" >"$game/Maps/Harbour.map"
  # What the server offers: version 2, with a map in a new folder, and the sizes it declares.
  { cat "$example_client"; echo "client version 2"; } >"$server/Orvo.exe"
  chmod +x "$server/Orvo.exe"
  echo "data version 2" >"$server/Data.pak"
  echo "map version 2" >"$server/Maps/Harbour.map"
  echo "a brand-new map" >"$server/Maps/North/Caves.map"
  (cd "$server" && for name in Orvo.exe Data.pak Maps/Harbour.map Maps/North/Caves.map; do
    echo "$(stat -c %s "$name") $([ "$name" = Orvo.exe ] && echo 1 || echo 0) $name"
  done) >"$example/manifest.txt"
  mv "$example/manifest.txt" "$server/manifest.txt"
  echo "Example folder: $example"
  show "before the update" "$game"
  echo "--- running, in the game folder: Orvo.exe update '$game' '$server' updater"
  (cd "$game" && ./Orvo.exe update "$game" "$server" updater) | sed 's/^/    [client] /'
  # The updater restarts the client, which writes what it read: waited for, at most 30 s.
  for _ in $(seq 1 300); do
    [ -s "$game/client-outcome.txt" ] && break
    sleep 0.1
  done
  echo "--- the restarted client read: $(cat "$game/client-outcome.txt" 2>/dev/null || echo nothing)"
  show "after the update" "$game" "$XDG_DATA_HOME/Brackmoor Games"
  echo "(The folder is left for you to look at; remove it with: rm -rf '$example')"
  exit 0
fi
shift

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

echo "Example folder: $example"
echo "--- the file list, as kdx reads it"
"$bin/kdx" dump --data-folder "$data" --game-folder "$game" "$staging/FileList.kdx" | sed 's/^/    /'
show "before the run" "$game" "$staging"
echo "--- what the updater would do, as kdx plan tells support"
(env HOME="$example/home" XDG_DATA_HOME="$data" "$bin/kdx" plan || true) | sed 's/^/    /'
echo "--- running: HOME=$example/home updater $*"
set +e
(cd "$example" && env HOME="$example/home" XDG_DATA_HOME="$data" "$bin/updater" "$@")
code=$?
set -e
sleep 0.2 # a restarted client prints on its own
echo "--- exit code: $code"
show "after the run" "$game" "$staging"
echo "(The folder is left for you to look at; remove it with: rm -rf '$example')"
