#!/usr/bin/env bash
# Builds a wheel of both modules with the given interpreter (default: the one find-python.sh picks),
# installs it into a new, empty virtual environment and runs a smoke test there, from outside the
# work tree so that nothing but the installed files can be imported.
#   scripts/check_wheel.sh [PYTHON] [wheel|install]
# "install" runs `pip install .` into the new environment instead of building a wheel first.
# With MYPY_PYTHON set to an interpreter that has mypy, the examples are also type-checked against
# the installed stubs alone.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${1:-$(scripts/find-python.sh)}
MODE=${2:-wheel}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$PY" -m venv "$work/venv"
VPY="$work/venv/bin/python"
"$VPY" -m pip install -q --upgrade pip >/dev/null 2>&1
if [ "$MODE" = install ]; then
  "$VPY" -m pip install -q . >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
else
  "$PY" -m pip wheel -q --no-deps -w "$work/dist" . >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
  "$VPY" -m pip install -q "$work"/dist/*.whl >>"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
fi

if [ -n "${MYPY_PYTHON:-}" ]; then
  "$MYPY_PYTHON" -m mypy --python-executable "$VPY" --no-incremental --check-untyped-defs examples/ \
    | sed 's/^/  mypy (installed stubs): /'
fi

cd "$work"
"$VPY" - <<'EOF'
import os
import random
import sys
import sysconfig

import ozu_brix
import ozu_mew

site = sysconfig.get_paths()["platlib"]
for module in (ozu_mew, ozu_brix):
    assert os.path.dirname(module.__file__) == site, module.__file__
    for stub in (module.__name__ + ".pyi", module.__name__ + "-stubs/__init__.pyi"):
        assert os.path.isfile(os.path.join(site, stub)), "stub not installed: " + stub

assert ozu_mew.MewStatic.append_tail("%01#RCSR0012") == "%01#RCSR001214\r"
random.seed(7)
station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:smoke:b", timeout=0.05)
station.start()
master = ozu_mew.MewMaster("brix:pipe:smoke:a", timeout=0.05, query_timeout=2.0)
try:
    master.set_multi_uint16(1, "DT10", [1, 2])
    words = master.get_multi_uint16(1, "DT10", 3)
    assert len(words) == 3 and all(0 <= w <= 0xFFFF for w in words), words
    assert isinstance(master.get_coil(1, "R0012"), bool)
finally:
    master.close()
    station.close()
print("  Python %d.%d: ozu_mew and ozu_brix import from %s; stubs installed; round trips work"
      % (sys.version_info[0], sys.version_info[1], site))
EOF
