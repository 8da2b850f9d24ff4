#!/usr/bin/env bash
# Prints the path of a working CPython 3.12 interpreter, else of python3.
# The pyenv shims fail unless pyenv selects the version, so each candidate is run, not just found.
set -u
try() { "$@" -c 'import sys; assert sys.version_info >= (3, 11); print(sys.executable)' 2>/dev/null; }
for cand in "${OZU_PYTHON:-}" python3.12 "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
  [ -n "$cand" ] || continue
  if out=$(try "$cand"); then echo "$out"; exit 0; fi
  if out=$(PYENV_VERSION=$(basename "$(dirname "$(dirname "$cand")")") try "$cand"); then echo "$out"; exit 0; fi
done
for v in "$HOME"/.pyenv/versions/3.12*; do
  [ -d "$v" ] || continue
  if out=$(PYENV_VERSION=$(basename "$v") try python3.12); then echo "$out"; exit 0; fi
done
if out=$(try python3); then echo "$out"; exit 0; fi
echo "no Python 3.11+ interpreter found" >&2
exit 1
