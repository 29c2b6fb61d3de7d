#!/usr/bin/env bash
# The Debian package as a new user meets it: the window started as the menu starts it reaches
# the installed simulator on COM2, a --log run writes the per-user log, and nothing is written
# beside the installed programs. HOME is a scratch folder.
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
for p in xvfb xauth xdotool; do
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

# The window as the menu starts it, on a virtual display: "Czytaj" reaches the simulator.
exec_line=$(sed -n 's/^Exec=//p' "$desktop" | head -n1)
[[ -n $exec_line ]] || fail "the menu entry has no Exec line"
Xvfb -displayfd 3 -screen 0 480x360x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
pids+=($!)
timeout 10 bash -c "until [[ -s '$scratch/display' ]]; do sleep 0.1; done" || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$scratch/display")
before=$(grep -c ' M: ' "$simout" || true)
logged=$(wc -c <"$log")
# shellcheck disable=SC2086  # the Exec line is a command line
"${as[@]}" $exec_line &
window=$!
pids+=($window)
win=$(timeout 20 xdotool search --sync --onlyvisible --name '^Konfiguracja$' | head -n1)
[[ -n $win ]] || fail "the window did not appear"
# "Czytaj" sits at 71,232 with size 81x22 in the window's client area.
xdotool mousemove --window "$win" 111 243 click 1
# A Read against a device in LAN mode is five exchanges.
timeout 20 bash -c "until (( \$(grep -c ' M: ' '$simout') >= $before + 5 )); do sleep 0.2; done" ||
  { cat "$simout" >&2; fail "the window's Read did not reach the simulator"; }
(($(wc -c <"$log") > logged)) || fail "the window did not log to $log"
echo "the window read the simulator on COM2 and logged to $log"
# Closed as the desktop closes it at logout; then the simulator, which removes its link.
kill "$window"
wait "$window" || fail "the window did not end cleanly"
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
