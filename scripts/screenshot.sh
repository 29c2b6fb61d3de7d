#!/usr/bin/env bash
# Takes docs/konfigurator.png: the window after "Czytaj" against the simulator, on a virtual
# X display (Xvfb), so it runs on a machine without a desktop.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
build=${KONF_BUILD_DIR:-build}

if [[ -z ${KONF_SHOT_INNER:-} ]]; then
  scripts/deps.sh
  missing=()
  for p in xvfb xauth xdotool imagemagick openbox; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target Konfigurator konfigurator-sim
  KONF_SHOT_INNER=1 exec xvfb-run -a -s "-screen 0 480x360x24" "$0"
fi

# On the virtual display from here on.
log=$(mktemp)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$log"
  rm -rf "${obconf:-}"
}
trap cleanup EXIT

# A window manager draws the tool window's frame and caption. Openbox keeps its minimise and
# maximise buttons whatever a window's hints ask for; desktops that honour the hints draw this
# window with its caption and a close button only, and so does the shot.
obconf=$(mktemp -d)
cat >"$obconf/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <theme><titleLayout>LC</titleLayout></theme>
</openbox_config>
XML
openbox --config-file "$obconf/rc.xml" 2>/dev/null &
pids+=($!)
"$build/bin/konfigurator-sim" --port COM2 >"$log" &
pids+=($!)
"$build/bin/Konfigurator" &
pids+=($!)

win=$(timeout 20 xdotool search --sync --onlyvisible --name '^Konfiguracja$' | head -n1)
[[ -n $win ]] || { echo "the window did not appear" >&2; exit 1; }
# "Czytaj" sits at 71,232 with size 81x22 in the window's client area.
xdotool mousemove --window "$win" 111 243 click 1
# A Read against a device in LAN mode is five exchanges; the simulator prints one line each.
timeout 20 bash -c "until [[ \$(grep -c ' M: ' '$log') -ge 5 ]]; do sleep 0.2; done" ||
  { echo "the Read did not finish; simulator said:" >&2; cat "$log" >&2; exit 1; }
sleep 0.5  # let the window repaint after the blocking flow
mkdir -p docs
/usr/bin/import -frame -window "$win" docs/konfigurator.png
echo "docs/konfigurator.png written"
