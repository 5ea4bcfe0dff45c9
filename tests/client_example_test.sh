#!/usr/bin/env bash
# The example client updates a game through the client library, end to end, against real files:
# a client running from the game folder stages a realistic update (its own executable, a 50 MB
# file, new nested folders, 600 changed files), installs what it can, hands the rest over to the
# real updater and exits; the restarted client must read "applied" and the game folder must be
# the new version byte for byte.
# Usage: client_example_test.sh EXAMPLE_CLIENT UPDATER
set -euo pipefail
client=$1
updater=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/client-example-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share
game=$work/game
server=$work/server # what the client downloads: the new version of the game
mkdir -p "$XDG_DATA_HOME" "$game/Data" "$server/Data" "$server/Maps/North/Caves"

# The installed version 1, and the new version 2: 600 changed data files, a 50 MB archive, maps
# in folders that do not exist yet, and the client's own executable (the example itself, with a
# version mark appended).
cp "$client" "$game/Orvo.exe"
cp "$updater" "$game/updater"
for i in $(seq 1 600); do
  echo "data $i version 1" >"$game/Data/file$i.dat"
  echo "data $i version 2 $(printf '%*s' $((i % 50)) '')" >"$server/Data/file$i.dat"
done
head -c 52428800 /dev/urandom >"$server/Big.pak"
head -c 1000 /dev/urandom >"$game/Big.pak"
echo "a new map" >"$server/Maps/North/Caves/Deep.map"
{ cat "$client"; echo "version 2"; } >"$server/Orvo.exe"
chmod +x "$server/Orvo.exe"
(cd "$server" && find . -type f | sed 's|^\./||' | sort | while read -r name; do
  inUse=0
  [ "$name" = Orvo.exe ] && inUse=1
  echo "$(stat -c %s "$name") $inUse $name"
done) >"$work/manifest.txt"
mv "$work/manifest.txt" "$server/manifest.txt"

(cd "$game" && "$game/Orvo.exe" update "$game" "$server" updater)

# The restarted client writes its outcome; waited for by its appearance, with a generous bound.
for _ in $(seq 1 600); do
  [ -s "$game/client-outcome.txt" ] && break
  sleep 0.1
done
echo "--- the restarted client's outcome"
cat "$game/client-outcome.txt"
[ "$(head -n 1 "$game/client-outcome.txt")" = "applied 0" ] || { echo "FAIL: not applied"; exit 1; }
rm "$game/client-outcome.txt" "$game/updater" "$server/manifest.txt"
diff -r "$server" "$game" || { echo "FAIL: the game folder is not the new version"; exit 1; }
staging="$XDG_DATA_HOME/Brackmoor Games/Temp"
left=$(find "$staging" -type f | wc -l)
[ "$left" = 0 ] || { echo "FAIL: $left files left in the staging folder"; find "$staging" -type f | head; exit 1; }
echo "PASS: the game folder is the new version, byte for byte"
