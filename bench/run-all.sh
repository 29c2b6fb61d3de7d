#!/usr/bin/env bash
# Builds the measuring programs (in build-bench/, tests left out) and runs them all, one after
# the other: the figures of docs/performance.md. Takes about four minutes.
# Then the round trip four times more: counting system calls (through a tracepoint, which
# slows every call a little, so not in the timed run); with the client on one CPU and the
# device thread on another, as a real device answers from its own hardware; pinned to one CPU;
# and as on a slow machine, pinned to one CPU beside a CPU-bound neighbour pinned to the same
# CPU, so that every wake-up has to take the CPU from another runnable task.
# Usage: bench/run-all.sh [build-dir]      Environment: SLOW_CPU (default: the last CPU)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DKONF_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
bin=$build/bin

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "commit:  $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "load:   $(uptime)"
echo
for program in bench_roundtrip bench_bulk bench_idle bench_readflow bench_startup; do
  if [[ -x $bin/$program ]]; then
    "$bin/$program" 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support raise' >&2)
  else
    echo "($program not built: Qt 6 Widgets missing)"
  fi
  echo
done

echo "== system calls per exchange (BENCH_SYSCALLS=1) =="
BENCH_SYSCALLS=1 "$bin/bench_roundtrip" 3000 0
echo

cpu=${SLOW_CPU:-$(($(nproc) - 1))}
if (($(nproc) > 1)); then
  other=$(((cpu + 1) % $(nproc)))
  echo "== device apart: the client pinned to CPU $cpu, the device thread to CPU $other =="
  BENCH_DEVICE_CPU=$other taskset -c "$cpu" "$bin/bench_roundtrip" 5000 0
  echo
fi

echo "== one CPU: pinned to CPU $cpu =="
taskset -c "$cpu" "$bin/bench_roundtrip" 5000 0
echo

echo "== slow machine: pinned to CPU $cpu beside a CPU-bound neighbour on the same CPU =="
taskset -c "$cpu" sh -c 'while :; do :; done' &
neighbour=$!
trap 'kill $neighbour 2>/dev/null || true' EXIT
taskset -c "$cpu" "$bin/bench_roundtrip" 5000 0
kill "$neighbour"
wait "$neighbour" 2>/dev/null || true
trap - EXIT
echo "load:   $(uptime)"
