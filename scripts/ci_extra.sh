#!/usr/bin/env bash
# The hardening jobs of CI, run after `make test`:
#   1. the core tests and the whole Python suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. a bounded run of every fuzz target, starting from its seed corpus;
#   3. the Windows build: core tests and COM port tests under wine, extension modules cross-built;
#   4. mypy over the examples with the type stubs;
#   5. a wheel built, installed into an empty virtual environment and imported there;
#   6. the C++ package installed, and examples/cpp built against it with find_package and run.
# Any failure ends the script with a non-zero status. Environment:
#   FUZZ_SECONDS     seconds per fuzz target (default 10)
#   CI_BUILD_PREFIX  prefix of the build folders (default "build-ci": build-ci-asan, build-ci-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc 2>/dev/null || echo 2)
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
PREFIX=${CI_BUILD_PREFIX:-build-ci}
ASAN_DIR=$PREFIX-asan
FUZZ_DIR=$PREFIX-fuzz
VPY=.venv/bin/python
started=$SECONDS
source "$(dirname "${BASH_SOURCE[0]}")/stages.sh"

# The tools of these jobs, beyond what `make test` installed: clang and its fuzzer runtime, the
# mingw-w64 cross compiler.
pkgs=()
command -v clang++ >/dev/null || pkgs+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || pkgs+=(libclang-rt-dev)
command -v x86_64-w64-mingw32-g++ >/dev/null || pkgs+=(g++-mingw-w64-x86-64)
if [ ${#pkgs[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "missing ${pkgs[*]}; run: sudo apt-get install -y ${pkgs[*]}"; exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${pkgs[@]}" >/dev/null
fi

[ -x "$VPY" ] || make venv >/dev/null
"$VPY" -c 'import mypy, hypothesis, pytest_timeout' 2>/dev/null || "$VPY" -m pip install -q -r requirements-dev.txt

# ------------------------------------------------------------------ 1. sanitizers
stage "sanitizer build (gcc, ASan + UBSan)"
quiet cmake -S . -B "$ASAN_DIR" -DCMAKE_BUILD_TYPE=Debug -DOZU_SANITIZE=ON -DCMAKE_CXX_COMPILER=g++ \
  -DPython_EXECUTABLE="$PWD/$VPY"
quiet cmake --build "$ASAN_DIR" -j "$JOBS"
done_stage "sanitizer build" "ok"

stage "core tests under sanitizers (leak checks on)"
out=$(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$ASAN_DIR"/ozu_core_tests --gtest_brief=1 2>&1) || { echo "$out" | tail -60; exit 1; }
done_stage "core tests (ASan+UBSan)" "$(echo "$out" | grep -E '^\[  PASSED  \]' | sed 's/\[  PASSED  \] //; s/\.$/ passed/')"

stage "Python tests under sanitizers"
# The interpreter is not instrumented: the sanitizer runtimes are preloaded, the interpreter uses
# plain malloc so that ASan sees every object, and leak checks (which would report the interpreter's
# own objects still alive at exit) are off here; the core tests above keep them on, and
# test_faults.py measures the modules' own growth.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
log=$(mktemp)
if ! LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$ASAN_DIR/python" OZU_MEW_BIN="$PWD/$ASAN_DIR/ozu-mew" \
     ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 \
     UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     "$VPY" -m pytest -q -p no:cacheprovider tests/python tests/cli >"$log" 2>&1; then
  tail -80 "$log"; exit 1
fi
result=$(tail -1 "$log"); rm -f "$log"
done_stage "Python tests (ASan+UBSan)" "$result"

# ------------------------------------------------------------------ 2. fuzzing
stage "fuzz smoke run (${FUZZ_SECONDS}s per target)"
quiet cmake -S . -B "$FUZZ_DIR" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOZU_BUILD_FUZZERS=ON -DOZU_BUILD_PYTHON=OFF -DOZU_BUILD_TESTS=OFF
quiet cmake --build "$FUZZ_DIR" -j "$JOBS"
targets=0
for src in fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  seeds="fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] || { echo "$name: no seed corpus at $seeds"; exit 1; }
  work=$(mktemp -d)
  cp -r "$seeds"/. "$work"/
  mkdir -p "$FUZZ_DIR/artifacts"
  if ! out=$("$FUZZ_DIR/$name" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
             -print_final_stats=1 -artifact_prefix="$FUZZ_DIR/artifacts/$name-" "$work" 2>&1); then
    echo "$out" | tail -60
    echo "fuzz target $name failed; the input is in $FUZZ_DIR/artifacts/"
    exit 1
  fi
  runs=$(echo "$out" | awk '/stat::number_of_executed_units/ {print $2}')
  echo "  $name: $runs executions, corpus $(ls "$seeds" | wc -l) seeds -> $(ls "$work" | wc -l) units, no crash"
  rm -rf "$work"
  targets=$((targets + 1))
done
done_stage "fuzz smoke run" "$targets targets, no crash"

# ------------------------------------------------------------------ 3. Windows
stage "Windows: cross-build (mingw-w64), core and COM port tests under wine, .pyd modules"
out=$(WIN_BUILD="$PREFIX-win" scripts/check_windows.sh 2>&1) || { echo "$out" | tail -80; exit 1; }
echo "$out" | sed -n '/^=== Windows checks/,$p'
done_stage "Windows (wine, mingw-w64)" "$(echo "$out" | grep -E '^core tests under wine' | tail -1 | sed 's/  */ /g')"

# ------------------------------------------------------------------ 4. typing
stage "mypy over examples/ with the stubs"
out=$(MYPYPATH=stubs "$VPY" -m mypy --no-incremental --check-untyped-defs --python-version 3.11 examples/ 2>&1) \
  || { echo "$out"; exit 1; }
done_stage "mypy (examples, stubs/)" "$(echo "$out" | tail -1)"

# ------------------------------------------------------------------ 5. packaging
stage "wheel: build, install into an empty venv, import"
out=$(MYPY_PYTHON="$VPY" scripts/check_wheel.sh "$(scripts/find-python.sh)" wheel 2>&1) \
  || { echo "$out"; exit 1; }
echo "$out"
done_stage "wheel install and smoke" "ok"

# ------------------------------------------------------------------ 6. C++ package
stage "C++ package: cmake --install, find_package(ozu_mew), examples/cpp run on the null-modem"
out=$(scripts/check_cpp_package.sh 2>&1) || { echo "$out" | tail -60; exit 1; }
echo "$out" | tail -3
done_stage "C++ package and example" "ok"

printf '\n=== hardening summary (%ds)\n' $((SECONDS - started))
printf '%s\n' "${summary[@]}"
