#!/bin/sh
# Installs the C++ package to a temporary prefix, builds examples/cpp as a separate CMake project
# against it with find_package(ozu_mew), and runs the example (a station and a master on the
# in-process null-modem) and the installed ozu-mew.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$here" -B "$work/build" -DOZU_BUILD_PYTHON=OFF -DOZU_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" -j "$jobs" >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null

cmake -S "$here/examples/cpp" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" -j "$jobs" >/dev/null
"$work/example/read_registers" | tee "$work/out.txt"
grep -q "DT100+3 = 65535" "$work/out.txt"

"$work/prefix/bin/ozu-mew" --help >/dev/null
echo "C++ package: installed, example built with find_package(ozu_mew) and run"
