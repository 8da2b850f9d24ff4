#!/usr/bin/env bash
# Everything this Linux machine can check of the Windows x64 build:
#   1. portability: POSIX calls only in POSIX files, Win32 calls only in Windows ones;
#   2. the core and its GoogleTest suite cross-built with mingw-w64 (-Werror) and run under wine,
#      COM ports mapped onto socat pty pairs (a null-modem cable), one cable pulled mid-read;
#   3. ozu_mew and ozu_brix cross-built and linked as win_amd64 .pyd files against CPython 3.12's
#      headers and an import library for python312.dll made from the symbols they use.
# Installs wine, mingw-w64 and socat when missing. Environment:
#   WIN_BUILD      build folder (default build-win); the wine prefix lives inside it
#   PYTHON_INCLUDE CPython 3.12 header folder (default: found through pyenv or python3.12)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${WIN_BUILD:-build-win}
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)
started=$SECONDS
source "$(dirname "${BASH_SOURCE[0]}")/stages.sh"

# ------------------------------------------------------------------ tools
stage "tools"
pkgs=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || pkgs+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-dlltool >/dev/null || pkgs+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null || pkgs+=(wine wine64)
command -v socat >/dev/null || pkgs+=(socat)
command -v cmake >/dev/null || pkgs+=(cmake)
[ -f /usr/src/googletest/CMakeLists.txt ] || pkgs+=(googletest)
if [ ${#pkgs[@]} -gt 0 ]; then
  echo "installing ${pkgs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${pkgs[@]}" >/dev/null
fi
# Debian's wine64 package ships the loader as wine64 (and wine, when wine32 is missing, as a
# wrapper that warns); the 64-bit loader is all that is needed.
WINE=$(command -v wine64 || true)
[ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64
[ -n "$WINE" ] || WINE=$(command -v wine)
done_stage "tools" "$($WINE --version 2>/dev/null), $(x86_64-w64-mingw32-g++-posix -dumpversion) (mingw-w64 posix)"

# ------------------------------------------------------------------ 1. portability
stage "portability check"
out=$(python3 scripts/check_portability.py) || { echo "$out"; exit 1; }
done_stage "portability check" "$(echo "$out" | tail -1)"

# ------------------------------------------------------------------ 2. core under wine
stage "core + tests cross-built (mingw-w64, -Werror)"
quiet cmake -S . -B "$BUILD/core" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DOZU_BUILD_PYTHON=OFF -DOZU_WERROR=ON -DCMAKE_CXX_FLAGS="-Wpedantic -Wvla" \
  -DOZU_GTEST_SOURCE_DIR=/usr/src/googletest
quiet cmake --build "$BUILD/core" -j "$JOBS"
done_stage "core cross-build" "ok"

stage "core tests under wine, COM ports over socat ptys"
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then quiet "$WINE" wineboot -i; fi
# The prefix's own server, kept up for the run; its state dump when a pty it holds goes away ends
# up in this log instead of the test output.
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >"$BUILD/wineserver.log" 2>&1
# The ports the listing must find: entries of the SERIALCOMM map, as a driver would make them.
for n in 5 11; do
  quiet "$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\OzuTest$n" /t REG_SZ /d "COM$n" /f
done
ptys=$BUILD/ptys
rm -rf "$ptys"
mkdir -p "$ptys"
socats=()
watcher=
cleanup() {
  set +e
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  wineserver -k 2>/dev/null
  for pid in "${socats[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT
cable() {  # cable NAME: two linked pty ends $ptys/NAME.a and $ptys/NAME.b
  socat "pty,raw,echo=0,link=$ptys/$1.a" "pty,raw,echo=0,link=$ptys/$1.b" </dev/null >/dev/null 2>&1 &
  socats+=($!)
  last_socat=$!
  for _ in $(seq 100); do [ -e "$ptys/$1.a" ] && [ -e "$ptys/$1.b" ] && return; sleep 0.05; done
  echo "socat made no pty pair for $1"; exit 1
}
map_com() { ln -sfn "$2" "$WINEPREFIX/dosdevices/$1"; }
cable main; map_com com5 "$ptys/main.a"; map_com com6 "$ptys/main.b"
cable high; map_com com11 "$ptys/high.a"; map_com com12 "$ptys/high.b"
cable vanish; map_com com7 "$ptys/vanish.a"; vanish_socat=$last_socat
signal=$ptys/vanish.now
# Pulls the cable once the test asks for it.
( while [ ! -e "$signal" ]; do sleep 0.05; done; kill "$vanish_socat" ) </dev/null >/dev/null 2>&1 &
watcher=$!
log=$BUILD/core-tests.log
if ! OZU_COM_A=COM5 OZU_COM_B=COM6 OZU_COM_HIGH_A=COM11 OZU_COM_HIGH_B=COM12 OZU_COM_VANISH=COM7 OZU_COM_REFUSED=8O1 OZU_COM_LISTED=COM5,COM11 \
     OZU_COM_VANISH_SIGNAL="Z:${signal//\//\\}" \
     timeout 300 "$WINE" "$BUILD/core/ozu_core_tests.exe" --gtest_brief=1 >"$log" 2>&1; then
  tail -80 "$log"; exit 1
fi
grep -q '^\[  SKIPPED \]' "$log" && { grep 'SKIPPED' "$log"; echo "tests skipped: a COM port was not set up"; exit 1; }
com_tests=$(OZU_COM_A=none "$WINE" "$BUILD/core/ozu_core_tests.exe" --gtest_list_tests --gtest_filter='ComPort*' 2>/dev/null | grep -c '^  ' || true)
[ "$com_tests" -ge 8 ] || { echo "only $com_tests COM port tests found"; exit 1; }
result=$(tr -d '\r' <"$log" | grep -E '^\[  PASSED  \]' | sed 's/\[  PASSED  \] //; s/\.$//')
done_stage "core tests under wine" "$result passed ($com_tests on COM ports)"
wineserver -k 2>/dev/null || true

# ------------------------------------------------------------------ 3. extension modules
stage "ozu_mew and ozu_brix as win_amd64 .pyd"
out=$(scripts/check_windows_modules.sh "$BUILD/modules" "$BUILD/core") || { echo "$out"; exit 1; }
# The Windows loader maps both modules and finds their entry points (imports left unresolved:
# there is no python312.dll under wine here).
x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Werror -static cmake/win-python/load_module_win.cpp \
  -o "$BUILD/load_module_win.exe"
mods=$BUILD/modules
"$WINE" "$BUILD/load_module_win.exe" "$mods/ozu_mew.cp312-win_amd64.pyd" ozu_mew \
  "$mods/ozu_brix.cp312-win_amd64.pyd" ozu_brix 2>/dev/null || { echo "the .pyd files do not load"; exit 1; }
wineserver -k 2>/dev/null || true
done_stage "extension modules (.pyd)" "$(echo "$out" | tail -1); both load under wine"

printf '\n=== Windows checks (%ds)\n' $((SECONDS - started))
printf '%s\n' "${summary[@]}"
