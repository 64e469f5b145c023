#!/usr/bin/env bash
# Builds and runs every test: a normal build, a clang build that only checks the lock
# annotations, then a build with the address and undefined-behaviour sanitizers.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/install-deps.sh --tests
jobs="$(nproc)"
# Most tests wait on peers, timers and child programs rather than compute: four per core
# keep the cores busy (a third of the time of one per core, every test passing).
test_jobs=$((jobs * 4))

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAR_TESTS=ON >/dev/null
cmake --build build -j"$jobs"

# Which lock guards which field, checked by clang's -Wthread-safety (compiled, not run).
# It compiles while the tests run, at the lowest priority: the tests mostly wait, and the
# compiler takes only the processor time they leave. Its output is shown when it fails.
cmake -S . -B build-thread-safety -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQAR_THREAD_SAFETY=ON -DQAR_TESTS=OFF -DQAR_BENCH=OFF >/dev/null
nice -n 19 cmake --build build-thread-safety -j"$jobs" >build-thread-safety/build.log 2>&1 &
lock_check=$!
tests_status=0
(cd build && ctest --output-on-failure -j"$test_jobs" --timeout 600) || tests_status=$?
if ! wait "$lock_check"; then
  cat build-thread-safety/build.log
  echo "The lock annotations check failed (build-thread-safety/build.log)" >&2
  exit 1
fi
[ "$tests_status" -eq 0 ] || exit "$tests_status"

if [ "${QAR_SKIP_SANITIZE:-0}" != "1" ]; then
  # Line tables only: the sanitizers' reports keep their files and lines.
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 \
    -DQAR_SANITIZE=ON -DQAR_TESTS=ON -DQAR_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j"$test_jobs" --timeout 900)
fi
