#!/usr/bin/env bash
# Cross-builds ozu_mew and ozu_brix as win_amd64 extension modules (.pyd) with mingw-w64:
#   - CPython 3.12's headers with the Windows configuration in cmake/win-python/pyconfig.h;
#   - an import library for python312.dll made with dlltool from the C-API symbols the modules'
#     objects import (data symbols marked DATA, as the headers declare them);
#   - linked with the core built by the same compiler (the core folder of check_windows.sh).
# Fails on any compile warning or error, any symbol left unresolved, or a module that does not
# export its PyInit_ function or needs a DLL beyond python312.dll and the system's.
# Usage: check_windows_modules.sh OUT_DIR CORE_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(mkdir -p "$1" && cd "$1" && pwd)
CORE=$(cd "$2" && pwd)
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
TOOL=x86_64-w64-mingw32
JOBS=$(nproc 2>/dev/null || echo 2)

find_include() {
  if [ -n "${PYTHON_INCLUDE:-}" ]; then echo "$PYTHON_INCLUDE"; return; fi
  local candidate
  if command -v pyenv >/dev/null; then
    for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.|$)' | sort -rV); do
      candidate="$(pyenv root)/versions/$version/include/python3.12"
      [ -f "$candidate/Python.h" ] && { echo "$candidate"; return; }
    done
  fi
  if command -v python3.12 >/dev/null; then
    python3.12 -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
    return
  fi
  echo "CPython 3.12 headers not found (set PYTHON_INCLUDE)" >&2
  return 1
}
PYINC=$(find_include)
[ -f "$PYINC/Python.h" ] || { echo "no Python.h in $PYINC"; exit 1; }

# The headers, with the Windows configuration in place of the one they were installed with.
rm -rf "$OUT/include" "$OUT/obj"
mkdir -p "$OUT/include" "$OUT/obj"
cp -r "$PYINC"/. "$OUT/include/"
rm -f "$OUT/include/pyconfig.h"
cp cmake/win-python/pyconfig.h "$OUT/include/pyconfig.h"

FLAGS=(-std=c++20 -O2 -DNDEBUG -D_WIN32_WINNT=0x0601 -Wall -Wextra -Wno-missing-field-initializers
       -Wpedantic -Wvla -Werror -Icore/include -Ibinding -isystem "$OUT/include")
compile() {  # compile GROUP SOURCE [extra include]
  local group=$1 src=$2 obj
  obj="$OUT/obj/$group/$(echo "${src%.cpp}" | tr / _).o"
  mkdir -p "$OUT/obj/$group"
  "$CXX" "${FLAGS[@]}" ${3:+-I"$3"} -c "$src" -o "$obj"
}
export -f compile
export OUT CXX
export FLAGS_STR="${FLAGS[*]}"
jobs_list=$(mktemp)
for src in binding/runtime/*.cpp; do echo "runtime $src" >>"$jobs_list"; done
for src in $(find binding/mew -name '*.cpp' | sort); do echo "mew $src binding/mew" >>"$jobs_list"; done
for src in binding/brix/*.cpp; do echo "brix $src binding/brix" >>"$jobs_list"; done
status=0
# shellcheck disable=SC2016
xargs -P "$JOBS" -L 1 bash -c 'read -ra FLAGS <<<"$FLAGS_STR"; compile "$@"' _ <"$jobs_list" || status=1
rm -f "$jobs_list"
[ $status -eq 0 ] || { echo "FAILED: Windows compile of the extension modules"; exit 1; }

# python312.dll's import library, from what the objects import.
nm -u "$OUT"/obj/*/*.o 2>/dev/null | awk '{print $NF}' | grep -E '^__imp_(_?Py|_Py)' | sed 's/^__imp_//' | sort -u \
  >"$OUT/imports.txt"
grep -rhoE 'PyAPI_DATA\([^)]*\)[^;]*' "$OUT/include" | grep -oE '[A-Za-z_][A-Za-z0-9_]*\s*(\[\])?$' \
  | sed 's/\[\]//; s/ //g' | sort -u >"$OUT/data-symbols.txt"
{
  echo "LIBRARY python312.dll"
  echo "EXPORTS"
  while read -r sym; do
    if grep -qx "$sym" "$OUT/data-symbols.txt"; then echo "  $sym DATA"; else echo "  $sym"; fi
  done <"$OUT/imports.txt"
} >"$OUT/python312.def"
"$TOOL-dlltool" --dllname python312.dll --def "$OUT/python312.def" --output-lib "$OUT/libpython312.a"

core_lib="$CORE/libozu_core.a"
[ -f "$core_lib" ] || { echo "no $core_lib (build the core first)"; exit 1; }
for module in ozu_mew ozu_brix; do
  group=${module#ozu_}
  pyd="$OUT/$module.cp312-win_amd64.pyd"
  "$CXX" -shared -static -o "$pyd" "$OUT"/obj/"$group"/*.o "$OUT"/obj/runtime/*.o "$core_lib" \
    -L"$OUT" -lpython312 -lws2_32 -lsetupapi -ladvapi32 -Wl,--no-undefined
  "$TOOL-objdump" -p "$pyd" >"$OUT/$module.dump"
  grep -qE "\] PyInit_$module\$|PyInit_$module\$" "$OUT/$module.dump" \
    || { echo "$module: PyInit_$module is not exported"; exit 1; }
  dlls=$(grep 'DLL Name:' "$OUT/$module.dump" | awk '{print $3}' | tr '[:upper:]' '[:lower:]' | sort -u)
  for dll in $dlls; do
    case $dll in
      python312.dll|kernel32.dll|ws2_32.dll|setupapi.dll|advapi32.dll|msvcrt.dll|user32.dll|api-ms-win-*) ;;
      *) echo "$module needs $dll, which a Windows machine with CPython 3.12 does not have"; exit 1 ;;
    esac
  done
done
echo "ozu_mew and ozu_brix built for win_amd64 ($(wc -l <"$OUT/imports.txt") C-API symbols imported from python312.dll, $(grep -c ' DATA$' "$OUT/python312.def") of them data)"
