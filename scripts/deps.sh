#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, only those missing.
#   scripts/deps.sh [SET...]   the base set, and the sets named
#   scripts/deps.sh --ci       every set: what test.sh under CI runs
# Sets:
#   base       building, running and testing (always included)
#   packaging  scripts/package-check.sh: lintian, hardening-check, desktop and AppStream checks
#   fuzzing    scripts/hardening.sh fuzz: clang and its libFuzzer runtime
#   bench      bench/: QSerialPort and libserialport, the peers the benchmarks measure against
# (scripts/serial-vm.sh installs qemu and its kernel itself.)
set -euo pipefail
declare -A sets=(
  [base]="cmake g++ make pkg-config googletest libgtest-dev libgmock-dev qt6-base-dev
          qt6-qpa-plugins fonts-dejavu-core qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
          nlohmann-json3-dev man-db"
  [packaging]="desktop-file-utils appstream dpkg-dev file lintian devscripts"
  [fuzzing]="clang libclang-rt-14-dev"
  [bench]="qt6-serialport-dev libserialport-dev"
)
wanted=(base)
for arg in "$@"; do
  if [[ $arg == --ci ]]; then
    wanted+=(packaging fuzzing bench)
  elif [[ -n ${sets[$arg]:-} ]]; then
    wanted+=("$arg")
  else
    echo "deps.sh: unknown set \"$arg\"; one of: ${!sets[*]} or --ci" >&2
    exit 2
  fi
done
pkgs=()
for set in "${wanted[@]}"; do
  read -r -a more <<<"${sets[$set]//$'\n'/ }"
  pkgs+=("${more[@]}")
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
