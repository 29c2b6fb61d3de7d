#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
#   scripts/deps.sh        what building, running and testing need
#   scripts/deps.sh --ci   also what the CI passes need (packaging checks with lintian and
#                          hardening-check, clang fuzzers, peers of the benchmarks)
set -euo pipefail
pkgs=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev qt6-base-dev qt6-qpa-plugins
      fonts-dejavu-core qt6-tools-dev qt6-l10n-tools qt6-translations-l10n nlohmann-json3-dev)
if [[ ${1:-} == --ci ]]; then
  pkgs+=(clang libclang-rt-14-dev desktop-file-utils appstream dpkg-dev file lintian devscripts
         qt6-serialport-dev libserialport-dev)
fi
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
