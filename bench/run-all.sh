#!/usr/bin/env bash
# Builds the measuring programs (in build-bench/, tests left out) and runs them all, one after
# the other: the figures of docs/performance.md. Takes about three minutes.
# Usage: bench/run-all.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DKONF_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
bin=$build/bin

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "commit:  $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo
for program in bench_roundtrip bench_bulk bench_idle bench_readflow bench_startup; do
  if [[ -x $bin/$program ]]; then
    "$bin/$program" 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support raise' >&2)
  else
    echo "($program not built: Qt 6 Widgets missing)"
  fi
  echo
done
