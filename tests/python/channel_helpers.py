"""Stand-ins for serial port objects and for `create_serial_instance` in the channel tests."""
import types

import ozu_mew

TIMEOUT = object()  # in a script: that read times out


class FakePort:
    """Hands out a script of bytes, at most `size` per read; TIMEOUT or the end of the script makes
    a read return b"", an exception in the script is raised. Closes and resets go to `log`."""

    def __init__(self, script=(), port="COM3", log=None):
        self.script, self.port, self.in_waiting = list(script), port, 0
        self.log = [] if log is None else log
        self.written = []

    def feed(self, data):
        self.script.append(data)

    def read(self, size=1):
        while self.script:
            item = self.script.pop(0)
            if item is TIMEOUT:
                return b""
            if isinstance(item, BaseException):
                raise item
            if item[size:]:
                self.script.insert(0, item[size:])
            if item:
                return item[:size]
        return b""

    def write(self, data):
        self.written.append(data)

    def close(self):
        self.log.append(("close", self.port))

    def reset_input_buffer(self):
        self.log.append(("reset", self.port))


def pieces(*items):
    """A port whose read() returns the given objects in turn, then b""."""
    it = iter(items)
    return types.SimpleNamespace(read=lambda: next(it, b""), port="COM3")


class Opener:
    """A `create_serial_instance` that records its keywords and hands out FakePorts."""

    def __init__(self, fail=None):
        self.calls, self.log, self.ports, self.fail = [], [], [], fail or {}

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        self.log.append(("open", kwargs.get("port")))
        if kwargs.get("port") in self.fail:
            raise self.fail[kwargs["port"]]
        self.ports.append(FakePort(port=kwargs.get("port"), log=self.log))
        return self.ports[-1]


def install_opener(monkeypatch, **kwargs):
    opener = Opener(**kwargs)
    monkeypatch.setattr(ozu_mew, "create_serial_instance", opener)
    return opener
