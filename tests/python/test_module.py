"""The module namespace: imported names first, in order, then the classes in source order."""
import abc
import copy
import inspect
import pickle
import queue
import random
import struct
import subprocess
import sys
import threading
import time
import typing

import pytest

import ozu_brix
import ozu_mew

IMPORTED = [
    ("create_serial_instance", ozu_brix.create_serial_instance),
    ("ABC", abc.ABC),
    ("abstractmethod", abc.abstractmethod),
    ("Queue", queue.Queue),
    ("Empty", queue.Empty),
    ("_random", random),
    ("pack", struct.pack),
    ("unpack", struct.unpack),
    ("_err", sys.stderr),
    ("Lock", threading.Lock),
    ("Thread", threading.Thread),
    ("sleep", time.sleep),
    ("List", typing.List),
    ("Union", typing.Union),
    ("_Optional", typing.Optional),
]

DEFINED = [
    "MewStatic",
    "Channel",
    "_receive_frame_by_serial",
    "MewSerial",
    "DualSerial",
    "MewBase",
    "MewSlaveNoFeedback",
    "MewSlaveBase",
    "MewMasterBase",
    "MewMaster",
    "MewFullDuplexBase",
    "RandomMewSlaveDemo",
]


def own_names():
    return [n for n in vars(ozu_mew) if not (n.startswith("__") and n.endswith("__"))]


def test_imported_names_come_first_in_order():
    names = own_names()
    assert names[: len(IMPORTED)] == [n for n, _ in IMPORTED]


def test_imported_names_are_the_standard_objects():
    for name, obj in IMPORTED:
        if name == "_err":
            continue  # pytest may have replaced sys.stderr after the import
        assert getattr(ozu_mew, name) is obj, name


def test_err_is_the_standard_error_stream_of_a_fresh_interpreter():
    code = "import sys, ozu_mew; print(ozu_mew._err is sys.stderr, ozu_mew.__doc__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["True", "None"]


# Added after the described namespace: the typed failures of a query, base first.
ADDED = [
    "MewError",
    "MewTimeoutError",
    "MewAnswerError",
    "MewAnswerValueError",
    "MewAnswerIndexError",
    "MewStationError",
    "MewLinkError",
]


def test_classes_follow_in_source_order():
    names = own_names()
    assert names[len(IMPORTED):] == DEFINED + ADDED


def test_typed_failures_are_os_errors_of_the_kinds_they_name():
    m = ozu_mew
    assert m.MewError.__bases__ == (OSError,)
    assert m.MewTimeoutError.__bases__ == (m.MewError, TimeoutError)
    assert m.MewAnswerError.__bases__ == (m.MewError,)
    assert m.MewAnswerValueError.__bases__ == (m.MewAnswerError, ValueError)
    assert m.MewAnswerIndexError.__bases__ == (m.MewAnswerError, IndexError)
    assert m.MewStationError.__bases__ == (m.MewError,)
    assert m.MewLinkError.__bases__ == (m.MewError, ConnectionError)
    for name in ADDED:
        cls = getattr(m, name)
        assert cls.__module__ == "ozu_mew" and issubclass(cls, OSError) and cls.__doc__
        error = cls("text")
        assert str(error) == "text" and error.args == ("text",)


def test_class_tree():
    m = ozu_mew
    assert m.Channel.__bases__ == (abc.ABC,)
    assert m.MewSerial.__bases__ == (m.Channel,)
    assert m.DualSerial.__bases__ == (m.Channel,)
    assert m.MewBase.__bases__ == (object,)
    assert m.MewSlaveNoFeedback.__bases__ == (Exception,)
    assert m.MewSlaveBase.__bases__ == (abc.ABC,)
    assert m.MewMasterBase.__bases__ == (m.MewBase,)
    assert m.MewMaster.__bases__ == (m.MewMasterBase,)
    assert m.MewFullDuplexBase.__bases__ == (m.MewMaster, m.MewSlaveBase, abc.ABC)
    assert m.RandomMewSlaveDemo.__bases__ == (m.MewBase, m.MewSlaveBase)
    for cls in (m.Channel, m.MewSlaveBase, m.MewFullDuplexBase):
        assert isinstance(cls, abc.ABCMeta)
    for name in DEFINED:
        assert getattr(m, name).__module__ == "ozu_mew"


def test_module_needs_its_serial_library():
    code = "import sys; sys.modules['ozu_brix'] = None\ntry:\n import ozu_mew\nexcept ImportError: print('refused')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "refused"


@pytest.mark.parametrize("location", ["'/opt/x/ozu_brix.py'", "None"])
def test_a_serial_library_without_the_opener_is_refused_as_python_refuses_it(location):
    # The failure must read and carry what `from ozu_brix import create_serial_instance` gives.
    code = f'''if True:
        import sys, types
        sys.modules["ozu_brix"] = lib = types.ModuleType("ozu_brix")
        if {location} is not None:
            lib.__file__ = {location}
        def fails(stmt):
            try:
                exec(stmt, {{}})
            except ImportError as e:
                return (str(e), e.name, e.path)
        print(fails("from ozu_brix import create_serial_instance"))
        print(fails("import ozu_mew"))
    '''
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    python_way, ours = out.splitlines()
    assert ours == python_way and "create_serial_instance" in ours


@pytest.mark.parametrize("op, text", [
    (lambda m: m.MewStatic.calc_crc, "(data, init=0)"),
    (lambda m: m.MewStatic().header_matched, "(tx, rx)"),
    (lambda m: m.MewStatic.fill_read_word_unit_of_contact_message,
     "(station, contact_start, contact_end=None, word_count=None)"),
    (lambda m: m.MewMaster.__init__, "(self, *args, **kwargs)"),
    (lambda m: m.Channel.send_frame, "(self, data)"),
    (lambda m: m._receive_frame_by_serial, "(serial)"),
])
def test_operations_show_their_parameters_to_inspect(op, text):
    # Callers (and help()) find the parameter names and defaults they may pass by name.
    assert str(inspect.signature(op(ozu_mew))) == text


@pytest.mark.parametrize("op", [
    lambda m: m.MewStatic.calc_crc,
    lambda m: m.MewBase.start,
    lambda m: m._receive_frame_by_serial,
])
def test_operations_copy_and_pickle_by_reference(op):
    fn = op(ozu_mew)
    assert copy.copy(fn) is fn
    assert copy.deepcopy({"op": fn})["op"] is fn
    assert pickle.loads(pickle.dumps(fn)) is fn
