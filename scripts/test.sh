#!/usr/bin/env bash
# Builds and runs every test: a normal build, then a build with the address and
# undefined-behaviour sanitizers.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/install-deps.sh --tests
jobs="$(nproc)"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

if [ "${QAR_SKIP_SANITIZE:-0}" != "1" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQAR_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j"$jobs" --timeout 900)
fi
