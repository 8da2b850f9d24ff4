#!/usr/bin/env bash
# The hardening jobs of CI: the whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# a bounded run of every fuzz target, and the compile check of the Windows serial backend.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc 2>/dev/null || echo 2)
FUZZ_SECONDS=${FUZZ_SECONDS:-8}

echo "--- sanitizer build (gcc, ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOZU_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build-asan -j "$JOBS" >/dev/null
echo "--- core tests under sanitizers (leak checks on)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build-asan/ozu_core_tests --gtest_brief=1
echo "--- Python tests under sanitizers"
# The interpreter itself is not instrumented: the runtime is preloaded, and leak checks, which would
# report the interpreter's own objects kept until exit, are left to the core tests and the soak bench.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH=build-asan/python \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python

if ls fuzz/*.cpp >/dev/null 2>&1; then
  echo "--- fuzz smoke run (${FUZZ_SECONDS}s per target)"
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOZU_BUILD_FUZZERS=ON -DOZU_BUILD_PYTHON=OFF -DOZU_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j "$JOBS" >/dev/null
  for src in fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    corpus_seed="fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    [ -d "$corpus_seed" ] && cp -r "$corpus_seed"/. "$work"/
    out=$(build-fuzz/"$name" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$work" 2>&1) || {
      echo "$out" | tail -40; echo "fuzz target $name failed"; exit 1; }
    echo "$name: $(echo "$out" | grep -E 'stat::number_of_executed_units' | awk '{print $2}') executions, no crash"
    rm -rf "$work"
  done
fi

if [ -x scripts/check_windows_build.sh ]; then
  echo "--- Windows serial backend compile check (mingw-w64)"
  scripts/check_windows_build.sh
fi
