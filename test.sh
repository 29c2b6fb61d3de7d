#!/usr/bin/env bash
# Fresh Debian 12 to a tested build: installs what is missing, builds, runs every test.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2
