#!/usr/bin/env bash
# Hardening passes for CI. Each mode configures its own build folder from scratch-able state,
# builds only what it needs and exits non-zero on the first failure.
#
#   scripts/hardening.sh fuzz   libFuzzer targets (clang), each run FUZZ_SECONDS (default 20)
#   scripts/hardening.sh asan   the whole suite under AddressSanitizer + UBSan
#   scripts/hardening.sh tsan   serial component, platform layer and device link under TSan
#   scripts/hardening.sh all    the three in turn
#
# JOBS (default 2) bounds the build; BUILD_ROOT (default: the repository) holds the build
# folders build-fuzz, build-asan and build-tsan.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
REPO=$PWD
JOBS=${JOBS:-2}
BUILD_ROOT=${BUILD_ROOT:-$REPO}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
FUZZERS=(parse_integer ip_text sim_request engine_reply)

log() { printf '== hardening: %s\n' "$*"; }

# Leaks that belong to system libraries, not to us (caches kept for the process's life).
write_lsan_suppressions() {
  cat >"$1" <<'SUPP'
leak:libfontconfig
leak:libdbus
leak:libglib
SUPP
}

run_fuzz() {
  local build=$BUILD_ROOT/build-fuzz
  log "fuzz: configure and build in $build"
  CC=clang CXX=clang++ cmake -S "$REPO" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKONF_BUILD_FUZZERS=ON -DKONF_SANITIZE=address,undefined -DKONF_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$JOBS" --target "${FUZZERS[@]/#/fuzz_}"
  local work
  work=$(mktemp -d)
  local failed=0 name out runs
  for name in "${FUZZERS[@]}"; do
    # New inputs go to a scratch folder; the committed seeds are only read.
    mkdir -p "$work/$name" "$work/artifacts-$name"
    out=$work/$name.log
    log "fuzz: $name for ${FUZZ_SECONDS}s"
    if QT_QPA_PLATFORM=offscreen "$build/bin/fuzz_$name" "$work/$name" "$REPO/fuzz/corpus/$name" \
      -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/artifacts-$name/" -print_final_stats=1 >"$out" 2>&1; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out")
      log "fuzz: $name clean, ${runs:-?} executions"
    else
      failed=1
      tail -n 60 "$out"
      for a in "$work/artifacts-$name"/*; do
        [ -e "$a" ] && log "fuzz: $name failing input (base64): $(base64 -w0 "$a")"
      done
      log "fuzz: $name FAILED"
    fi
  done
  rm -rf "$work"
  return $failed
}

run_asan() {
  local build=$BUILD_ROOT/build-asan
  log "asan: configure and build in $build"
  # Light optimisation and line tables only: the instrumented build is the slow part of CI.
  cmake -S "$REPO" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DKONF_BUILD_BENCH=OFF \
    -DKONF_SANITIZE=address,undefined >/dev/null
  cmake --build "$build" -j"$JOBS"
  write_lsan_suppressions "$build/lsan.supp"
  log "asan: ctest"
  (cd "$build" &&
    QT_QPA_PLATFORM=offscreen \
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
      LSAN_OPTIONS=suppressions=$build/lsan.supp \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --output-on-failure -j"$JOBS")
}

run_tsan() {
  local build=$BUILD_ROOT/build-tsan
  local suites=(tests_platform tests_platform_uart tests_cport komunikacja_tests)
  log "tsan: configure and build ${suites[*]} in $build"
  cmake -S "$REPO" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKONF_SANITIZE=thread \
    -DKONF_BUILD_QT=OFF >/dev/null
  cmake --build "$build" -j"$JOBS" --target "${suites[@]}" konfigurator-sim
  local failed=0 suite
  for suite in "${suites[@]}"; do
    log "tsan: $suite"
    if ! TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$build/bin/$suite" \
      --gtest_brief=1; then
      failed=1
      log "tsan: $suite FAILED"
    fi
  done
  return $failed
}

mode=${1:-}
case $mode in
  fuzz | asan | tsan)
    start=$SECONDS
    "run_$mode"
    log "$mode passed in $((SECONDS - start))s"
    ;;
  all)
    for m in tsan fuzz asan; do
      start=$SECONDS
      "run_$m"
      log "$m passed in $((SECONDS - start))s"
    done
    ;;
  *)
    echo "usage: $0 fuzz|asan|tsan|all" >&2
    exit 2
    ;;
esac
