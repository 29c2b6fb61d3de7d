#!/usr/bin/env bash
# The demo: installs what is missing, builds, serves a simulated device as COM2 and opens the
# window. Press "Czytaj": the window's defaults (COM2, 19200, address 2) reach the simulator.
# Closing the window stops the simulator.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
build=${KONF_BUILD_DIR:-build}

scripts/deps.sh
# What the window needs on a desktop beyond the build: Qt's X11 plugin and a font.
missing=()
for p in qt6-qpa-plugins fonts-dejavu-core; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target Konfigurator konfigurator-sim

# The simulator links $build/bin/ports/COM2 to its pseudo-terminal and prints every exchange.
# Its first line says whether it got the link: a simulator that already serves COM2 means the
# demo is running already.
exec {simout}< <(exec "$build/bin/konfigurator-sim" --port COM2 2>&1)
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
first=""
IFS= read -r first <&"$simout" || true
printf '%s\n' "$first"
if [[ $first != *"linked as"* ]]; then
  echo "run.sh: the demo is already running (its simulator serves COM2): use that window, or close it first." >&2
  exit 1
fi
cat <&"$simout" &

"$build/bin/Konfigurator"
