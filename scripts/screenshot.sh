#!/usr/bin/env bash
# Takes the pictures in docs/, on a virtual X display (Xvfb), so it runs on a machine without
# a desktop: konfigurator.png, the window after "Czytaj" against the simulator;
# konfigurator-com-list.png, the COM list open with the simulator's tooltip;
# konfigurator-details.png, the message box of a port that does not exist, details shown.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
build=${KONF_BUILD_DIR:-build}

# KONF_SHOT_INNER=1 skips the set-up and the build, for taking the pictures again.
if [[ -z ${KONF_SHOT_INNER:-} ]]; then
  scripts/deps.sh
  missing=()
  for p in xvfb xauth xdotool imagemagick openbox x11-utils; do
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
fi

log=$(mktemp)
pids=()
cleanup() {
  # The display last, after the programs on it.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -f "$log" "${display:-}"
  rm -rf "${obconf:-}"
}
trap cleanup EXIT

# A virtual display of its own: the server picks a free number and tells it, so two runs on
# one machine never share a display.
# Wide enough for the message box, which grows to the right when its details open.
width=1024 height=768
display=$(mktemp)
Xvfb -displayfd 3 -screen 0 ${width}x${height}x24 -nolisten tcp 3>"$display" >/dev/null 2>&1 &
pids+=($!)
timeout 10 bash -c "until [[ -s '$display' ]]; do sleep 0.1; done" || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=:$(head -n1 "$display")
export DISPLAY

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
timeout 10 bash -c 'until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
  sleep 0.1; done' || { echo "openbox did not start" >&2; exit 1; }
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

# The window's frame on the screen, for the shots that reach beyond it.
read -r fx fy < <(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left [XY]: *//p' | paste -sd' ')
# The COM list (170,37 105x22) opened, the pointer resting on COM2 until its tooltip shows.
xdotool mousemove --window "$win" 222 48 click 1
sleep 0.5
xdotool mousemove --window "$win" 222 $((48 + 2 * 17)) sleep 0.2 mousemove_relative 2 0
sleep 1.5
/usr/bin/import -window root -crop "440x420+$((fx - 8))+$((fy - 30))" \
  docs/konfigurator-com-list.png
echo "docs/konfigurator-com-list.png written"
xdotool key Escape

# COM3, which leads nowhere here: "Czytaj" fails, and the box tells why under its details.
xdotool mousemove --window "$win" 222 48 click 1
sleep 0.5
xdotool key Down Return
sleep 0.3
xdotool mousemove --window "$win" 111 243 click 1
box=$(timeout 20 xdotool search --sync --onlyvisible --name '^Konfigurator$' | head -n1)
[[ -n $box ]] || { echo "no message box appeared" >&2; exit 1; }
sleep 0.5
# The details button comes after "OK", which has the focus.
xdotool key Tab space
sleep 0.7
/usr/bin/import -frame -window "$box" docs/konfigurator-details.png
echo "docs/konfigurator-details.png written"
