"""The type stubs under mypy: every python example of the README type-checks, and a misspelt
constructor keyword is an error instead of a failure at run time."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("mypy", reason="mypy comes with requirements-dev.txt")

GOOD = '''
import ozu_mew
settings = dict(timeout=0.2)
m = ozu_mew.MewMaster("/dev/ttyUSB0", timeout=0.5, write_timeout=None, baudrate=19200, bytesize=8, parity="E",
                      stopbits=1, exclusive=True, encoding="ascii", query_timeout=0.5)
b = ozu_mew.MewMasterBase(ozu_mew.MewSerial(port="/dev/serial/by-id/usb-x", timeout=1.0), query_timeout=None)
d = ozu_mew.DualSerial("COM1,COM2", baudrate=9600, parity="N")
r = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:demo:b", timeout=0.1)
link = ozu_mew.MewBase(channel=d, stopbits=2)
'''

# One misspelt or mistyped keyword per line; mypy must report each of these lines.
BAD = '''
import ozu_mew
ozu_mew.MewMaster("/dev/ttyUSB0", baudrat=19200, query_timout=0.5)
ozu_mew.MewMasterBase("/dev/ttyUSB0", timout=1.0)
ozu_mew.MewSerial(port="/dev/ttyUSB0", baud=9600)
ozu_mew.MewSerial(timeout=1.0)
ozu_mew.DualSerial("COM1,COM2", partiy="E")
ozu_mew.RandomMewSlaveDemo(1, "COM4", slave_station=1)
ozu_mew.MewMaster("COM3", parity="X")
ozu_mew.MewMaster("COM3", bytesize=9)
ozu_mew.MewBase("COM3", query_timeout=1)
'''


def _readme_blocks():
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def _mypy(tmp_path, sources):
    files = []
    for name, code in sources.items():
        path = tmp_path / f"{name}.py"
        path.write_text(code)
        files.append(str(path))
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--check-untyped-defs", "--python-version", "3.11",
         "--show-error-codes", "--no-error-summary", *files],
        capture_output=True, text=True, timeout=300, env={"MYPYPATH": str(ROOT / "stubs"), "PATH": "/usr/bin:/bin"},
        cwd=tmp_path)
    errors = {}
    for line in out.stdout.splitlines():
        m = re.match(r"(.*?)\.py:(\d+): error: (.*)", Path(line).name if ".py:" in line else "")
        if m:
            errors.setdefault(m.group(1), {}).setdefault(int(m.group(2)), []).append(m.group(3))
    assert out.returncode in (0, 1), out.stdout + out.stderr
    return errors


def test_readme_examples_type_check_and_misspelt_keywords_do_not(tmp_path):
    blocks = _readme_blocks()
    assert len(blocks) >= 3, "the README's python examples were not found"
    sources = {f"readme_{i}": code for i, code in enumerate(blocks)}
    sources.update(good=GOOD, bad=BAD)
    errors = _mypy(tmp_path, sources)
    clean = {name: found for name, found in errors.items() if name != "bad"}
    assert clean == {}, clean
    bad_lines = [n for n, line in enumerate(BAD.splitlines(), 1) if line.startswith("ozu_mew.")]
    assert sorted(errors.get("bad", {})) == bad_lines, errors.get("bad")
    typo = " ".join(errors["bad"][bad_lines[0]])
    assert '"baudrat"' in typo and '"query_timout"' in typo
