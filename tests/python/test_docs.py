"""help() texts: every public class and operation of both modules has one that names its parameters,
while the fixed texts (the module ozu_mew has none) stay as they are."""
import ast
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import ozu_brix
import ozu_mew

STUBS = Path(__file__).resolve().parents[2] / "stubs"


def _public_callables():
    for module in (ozu_mew, ozu_brix):
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
                continue
            yield pytest.param(module, name, obj, id=f"{module.__name__}.{name}")
            if isinstance(obj, type):
                for member, value in vars(obj).items():
                    if not (callable(value) or isinstance(value, (property, staticmethod))):
                        continue  # constants
                    if not member.startswith("_") or member in ("__enter__", "__exit__"):
                        yield pytest.param(module, f"{name}.{member}", getattr(obj, member),
                                           id=f"{module.__name__}.{name}.{member}")


def _parameters(obj):
    """The parameter names a caller passes, where the object reports them."""
    if isinstance(obj, type) or not callable(obj):
        return []
    try:
        params = inspect.signature(obj).parameters.values()
    except (TypeError, ValueError):
        return []
    skip = {"self", "exc_type", "exc_val", "exc_tb"}
    return [p.name for p in params if p.name not in skip and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]


@pytest.mark.parametrize("module, name, obj", list(_public_callables()))
def test_every_public_class_and_operation_is_documented(module, name, obj):
    doc = inspect.getdoc(obj)
    if isinstance(obj, property):
        doc = inspect.getdoc(obj.fget) if obj.fget.__doc__ else obj.__doc__
    assert doc and doc.strip(), f"{name} has no help text"
    assert doc.splitlines()[0].strip(), f"{name}: no summary line"
    for param in _parameters(obj):
        assert f"{param}:" in doc, f"{name}: parameter {param} is not described"


def test_the_fixed_texts_stay():
    assert ozu_mew.__doc__ is None
    assert ozu_mew.MewStatic.__doc__ == "站号长度不限于8位的 Mewtocol 通信协议"
    assert ozu_mew.MewSlaveNoFeedback.__doc__ == (
        "\n\t在 MewSlaveBase 的各子类中的 “on_”函数里，如果抛出此类异常，表示不需要回复。\n\t")


def _setting_names():
    tree = ast.parse((STUBS / "ozu_brix.pyi").read_text())
    create = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "create_serial_instance")
    return [a.arg for a in create.args.kwonlyargs]


def test_the_brix_guide_and_opener_describe_every_setting():
    settings = _setting_names()
    assert "port" in settings and "timeout" in settings
    for setting in settings:
        assert f"{setting}:" in ozu_brix.create_serial_instance.__doc__, setting
        assert setting in ozu_brix.__doc__, setting


def test_port_methods_report_their_parameters():
    # The texts carry the signatures that inspect reads from built-in methods.
    assert list(inspect.signature(ozu_brix.SerialPort.read).parameters) == ["self", "size"]
    assert list(inspect.signature(ozu_brix.SerialPort.write).parameters) == ["self", "data"]
    assert "--" not in inspect.getdoc(ozu_brix.SerialPort.read)


def test_the_readme_station_example_runs_as_written():
    # It runs over the virtual null-modem, so it needs no hardware.
    text = (STUBS.parent / "README.md").read_text()
    station = next(b for b in re.findall(r"```python\n(.*?)```", text, flags=re.S) if "MewFullDuplexBase" in b)
    out = subprocess.run([sys.executable, "-c", station], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["1234"]
