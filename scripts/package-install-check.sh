#!/usr/bin/env bash
# The Debian package as a new user meets it: the window started as the menu starts it reaches
# the installed simulator on COM2, a --log run writes the per-user log, and nothing is written
# beside the installed programs. HOME is a scratch folder. On a virtual display with a window
# manager the window's frame is fixed, and an address typed after a plain click into the IP
# field is the one the device stores.
#   scripts/package-install-check.sh DEB            unpacks DEB into a scratch root and runs it
#                                                   as an ordinary user (nobody)
#   scripts/package-install-check.sh --install DEB  installs DEB on this machine (CI: a fresh
#                                                   one), runs it as the caller, removes it again
set -euo pipefail
install=false
if [[ ${1:-} == --install ]]; then
  install=true
  shift
fi
deb=$(readlink -f "${1:?usage: $0 [--install] DEB}")

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
missing=()
for p in xvfb xauth xdotool openbox x11-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "package-install-check: $*" >&2
  exit 1
}

as=()
if $install; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "$deb"
  root=""
else
  dpkg-deb -x "$deb" "$scratch/root"
  root="$scratch/root"
  # An ordinary user, for whom the unpacked program folder is as read-only as /usr/bin.
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
bin="$root/usr/bin"
desktop="$root/usr/share/applications/konfigurator.desktop"
[[ -x $bin/Konfigurator && -f $desktop ]] || fail "the package holds no Konfigurator or menu entry"

home="$scratch/home"
mkdir -p "$home"
((${#as[@]})) && chown 65534:65534 "$home"
export HOME=$home PATH="$bin:$PATH" QT_QPA_PLATFORM=xcb
unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_RUNTIME_DIR
ports="$home/.config/konfigurator/ports"
log="$home/.local/state/konfigurator/trans.txt"
run() { "${as[@]}" "$@"; }

# The simulator as its man page starts it.
simout="$scratch/sim.out"
"${as[@]}" konfigurator-sim >"$simout" 2>&1 &
sim=$!
pids+=($sim)
timeout 10 bash -c "until grep -q 'linked as' '$simout'; do sleep 0.1; done" ||
  { cat "$simout" >&2; fail "the simulator did not start"; }
cat "$simout"
[[ -L $ports/COM2 ]] || fail "the simulator's link is not $ports/COM2"

# The command-line tool, logging.
out=$(run konfigurator-cli read --log) || fail "konfigurator-cli read failed: $out"
echo "$out"
grep -q '192.168.1.10' <<<"$out" || fail "the read did not show the simulator's address"
[[ -s $log ]] || fail "--log wrote nothing to $log"
echo "--- konfigurator-cli ports"
run konfigurator-cli ports

# The window as the menu starts it, on a virtual display with a window manager, so that focus
# and frames behave as on a desktop.
exec_line=$(sed -n 's/^Exec=//p' "$desktop" | head -n1)
[[ -n $exec_line ]] || fail "the menu entry has no Exec line"
Xvfb -displayfd 3 -screen 0 480x360x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
pids+=($!)
timeout 10 bash -c "until [[ -s '$scratch/display' ]]; do sleep 0.1; done" || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$scratch/display")
mkdir -p "$scratch/wm"
HOME=$scratch/wm openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
timeout 10 bash -c 'until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
  sleep 0.1; done' || fail "openbox did not start"
exchanges() { grep -c ' M: ' "$simout" || true; }
# Waits until the simulator has answered $2 more requests than $1.
await() {
  timeout 20 bash -c "until (( \$(grep -c ' M: ' '$simout') >= $1 + $2 )); do sleep 0.2; done" ||
    { cat "$simout" >&2; fail "$3"; }
}
before=$(exchanges)
logged=$(wc -c <"$log")
# shellcheck disable=SC2086  # the Exec line is a command line
"${as[@]}" $exec_line &
window=$!
pids+=($window)
win=$(timeout 20 xdotool search --sync --onlyvisible --name '^Konfiguracja$' | head -n1)
[[ -n $win ]] || fail "the window did not appear"
timeout 10 bash -c "until xprop -id $win _NET_WM_ALLOWED_ACTIONS | grep -q ACTION; do sleep 0.1; done" ||
  fail "openbox does not manage the window"

# The frame: a fixed size the window manager can neither resize nor maximise.
hints=$(xprop -id "$win" WM_NORMAL_HINTS _NET_WM_ALLOWED_ACTIONS _MOTIF_WM_HINTS)
echo "$hints"
for bound in minimum maximum; do
  grep -q "program specified $bound size: 310 by 267" <<<"$hints" ||
    fail "the window's $bound size hint is not 310 by 267"
done
allowed=$(grep '^_NET_WM_ALLOWED_ACTIONS' <<<"$hints")
for action in RESIZE MAXIMIZE_HORZ MAXIMIZE_VERT FULLSCREEN; do
  ! grep -q "_NET_WM_ACTION_$action\b" <<<"$allowed" || fail "the window manager allows $action"
done
# Motif functions: bit 8 minimise, bit 16 maximise, neither asked for.
functions=$(sed -n 's/^_MOTIF_WM_HINTS.*= *[^,]*, *\([^,]*\),.*/\1/p' <<<"$hints")
(((functions & 0x18) == 0)) || fail "the window asks for minimise or maximise ($functions)"
# A double click on the caption maximises a window under openbox; not this one.
read -r x y < <(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left [XY]: *//p' | paste -sd' ')
xdotool mousemove $((x + 100)) $((y - 8)) click --repeat 2 1
sleep 0.5
size=$(xwininfo -id "$win" | sed -n 's/^ *\(Width\|Height\): *//p' | paste -sd'x')
[[ $size == 310x267 ]] || fail "a double click on the caption changed the window to $size"

# "Czytaj" sits at 71,232 with size 81x22 in the window's client area: a Read against a device
# in LAN mode is five exchanges.
xdotool mousemove --window "$win" 111 243 click 1
await "$before" 5 "the window's Read did not reach the simulator"
(($(wc -c <"$log") > logged)) || fail "the window did not log to $log"
echo "the window read the simulator on COM2 and logged to $log"
# The address as the last IP write request carried it: the data between the length and the
# checksum, as text.
ip_sent() {
  local bytes text="" h
  read -ra bytes <<<"$(grep ' M: [0-9A-F][0-9A-F] 47 64 ' "$simout" | tail -n1 |
    sed 's/.* M: //; s/ *S:.*//')"
  for h in "${bytes[@]:5:${#bytes[@]}-7}"; do text+=$(printf '%b' "\\x$h"); done
  echo "$text"
}
send() {
  local sent
  sent=$(exchanges)
  xdotool mousemove --window "$win" 199 243 click 1
  await "$sent" 5 "the window's Send did not reach the simulator"
  [[ $(ip_sent) == "$1" ]] || fail "typed $1, the window sent $(ip_sent)"
  echo "typed $1, the window sent it"
}
# A plain click into the first box of the IP field (64,144 177x21), an address typed, then
# "Wyślij" (159,232 81x22): a Send with the mode unchanged is five exchanges.
xdotool mousemove --window "$win" 82 154 click 1
xdotool type --delay 40 10.20.30.40
send 10.20.30.40
# Then, the field still having the focus, the whole address selected by Ctrl+A and retyped.
xdotool key ctrl+a
xdotool type --delay 40 172.16.5.9
send 172.16.5.9
# The window holds the port from its first exchange until it closes: the command-line tool is
# refused meanwhile.
if run konfigurator-cli read >/dev/null 2>&1; then fail "konfigurator-cli read the port the window holds"; fi
# Closed as the desktop closes it at logout; then the simulator tells what it stored.
kill "$window"
wait "$window" || fail "the window did not end cleanly"
stored=$(run konfigurator-cli read -j) || fail "konfigurator-cli read failed: $stored"
echo "$stored"
grep -q '"ip":"172.16.5.9"' <<<"$stored" || fail "the device stored another address than typed"
kill "$sim"
wait "$sim" || true
[[ ! -e $ports/COM2 ]] || fail "the simulator left its link behind"

for f in ports trans.txt; do
  [[ ! -e $bin/$f ]] || fail "something wrote $bin/$f beside the installed programs"
done
if $install; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 remove -y -qq konfigurator
  [[ ! -e /usr/bin/ports && ! -e /usr/bin/trans.txt ]] || fail "left behind in /usr/bin"
fi
echo "installed package ok"
