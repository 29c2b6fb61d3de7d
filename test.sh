#!/usr/bin/env bash
# Fresh Debian 12 to a tested build: installs what is missing, builds, runs every test.
# Under CI (CI=true, or --ci) it goes on with the packaging checks and the hardening passes:
# the whole suite under ASan+UBSan, the serial and device-link suites under TSan, bounded fuzzing.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
ci=false
[[ ${CI:-} == true || ${1:-} == --ci ]] && ci=true

if $ci; then scripts/deps.sh --ci; else scripts/deps.sh; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2)

$ci || exit 0
scripts/package-check.sh
scripts/hardening.sh asan
scripts/hardening.sh tsan
scripts/hardening.sh fuzz
echo "CI passes: all green"
