#!/usr/bin/env bash
# Makes sure the system tools that `make` needs are there: `build` for the modules (C++ compiler,
# CMake, Python headers and venv), `test` adds the test tools (GoogleTest, socat for the pseudo-terminal
# tests). What is missing is installed with apt-get when run as root on Debian or Ubuntu; otherwise the
# exact command is printed.
# With --report nothing is installed, only the command is printed.
# Exit status: 0 everything is there; 1 a build tool is missing; 2 only test tools are missing.
set -u
cd "$(dirname "$0")/.."
mode=${1:-build}
install=true
[ "${2:-}" = --report ] && install=false
build_pkgs=()
test_pkgs=()
notes=()

version_at_least() { [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -1)" = "$2" ]; }

# ---------------------------------------------------------------- build tools
if ! command -v g++ >/dev/null 2>&1 || ! echo 'int main() { return __cplusplus >= 202002L ? 0 : 1; }' \
     | g++ -std=c++20 -x c++ -o /dev/null - >/dev/null 2>&1; then
  build_pkgs+=(g++)
fi
cmake_version=$(cmake --version 2>/dev/null | awk 'NR == 1 { print $3 }')
if [ -z "$cmake_version" ] || ! version_at_least "$cmake_version" 3.20; then build_pkgs+=(cmake); fi

if py=$(scripts/find-python.sh 2>/dev/null); then
  # The headers and venv support of a Debian interpreter come in packages named after its version.
  pyver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  debian_python=false
  case "$py" in /usr/bin/*) debian_python=true ;; esac
  if ! "$py" -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    if $debian_python; then build_pkgs+=("python$pyver-dev"); else notes+=("$py has no C headers (Python.h): use an interpreter with its development files"); fi
  fi
  if [ ! -x .venv/bin/python ] && ! "$py" -c 'import ensurepip, venv' 2>/dev/null; then
    if $debian_python; then build_pkgs+=("python$pyver-venv"); else notes+=("$py cannot create a virtual environment (no ensurepip)"); fi
  fi
else
  build_pkgs+=(python3 python3-dev python3-venv)
fi

# ---------------------------------------------------------------- test tools
if [ "$mode" = test ]; then
  # Found the way the build finds it: the compiler's include path and CMake's package search.
  if ! echo '#include <gtest/gtest.h>' | g++ -std=c++20 -E -x c++ - >/dev/null 2>&1; then test_pkgs+=(libgtest-dev); fi
  command -v socat >/dev/null 2>&1 || test_pkgs+=(socat)
fi

for note in "${notes[@]}"; do echo "error: $note" >&2; done
missing=("${build_pkgs[@]}" "${test_pkgs[@]}")
if [ ${#missing[@]} -eq 0 ]; then
  [ ${#notes[@]} -eq 0 ] || exit 1
  exit 0
fi

if $install && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing ${missing[*]} with apt-get"
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1 &&
     DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    rm -f "$log"
    [ ${#notes[@]} -eq 0 ] || exit 1
    exit 0
  fi
  tail -20 "$log" >&2
  rm -f "$log"
  echo "error: apt-get could not install ${missing[*]}" >&2
fi

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo "
if [ ${#build_pkgs[@]} -gt 0 ]; then
  echo "error: missing build tools; run:  ${sudo}apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "error: missing test tools (${test_pkgs[*]}); run:  ${sudo}apt-get install -y ${test_pkgs[*]}" >&2
exit 2
