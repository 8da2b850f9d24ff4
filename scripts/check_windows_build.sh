#!/usr/bin/env bash
# Compiles the C++ core (codec and serial layer) for Windows with the mingw-w64 cross compiler
# (syntax and types only: nothing here can run it). The posix thread model is preferred where both are installed,
# as the win32 one lacks std::mutex before GCC 13.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${MINGW_CXX:-}
if [ -z "$CXX" ]; then
  for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
    if command -v "$candidate" >/dev/null; then CXX=$candidate; break; fi
  done
fi
[ -n "$CXX" ] || { echo "x86_64-w64-mingw32-g++ not found (Debian package g++-mingw-w64-x86-64)"; exit 1; }
status=0
for src in core/src/*/*.cpp; do
  if ! "$CXX" -std=c++20 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0601 -fsyntax-only -Icore/include "$src"; then
    echo "FAILED: $src"; status=1
  fi
done
[ $status -eq 0 ] && echo "Windows build check passed ($CXX, $(ls core/src/*/*.cpp | wc -l) core sources)"
exit $status
