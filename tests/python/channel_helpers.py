"""Stand-ins for serial port objects and for `create_serial_instance`, for the channel tests."""
import ozu_mew

TIMEOUT = object()  # in a script: the next read times out


class FakePort:
    """A serial port object over a script of bytes.

    Each `read(size)` hands out at most `size` bytes; a TIMEOUT entry in the script, or the end of
    the script, makes one read return b"". Exceptions in the script are raised by the read that
    reaches them. Every call is appended to `log` as a tuple naming the port.
    """

    def __init__(self, script=(), port="COM3", log=None, in_waiting=0):
        self.script = list(script)
        self.port = port
        self.in_waiting = in_waiting
        self.log = [] if log is None else log
        self.written = []
        self.read_args = []

    def feed(self, data):
        self.script.extend(data if isinstance(data, list) else [data])

    def _next(self, size):
        while self.script:
            item = self.script[0]
            if item is TIMEOUT:
                self.script.pop(0)
                return b""
            if isinstance(item, BaseException):
                self.script.pop(0)
                raise item
            if not item:
                self.script.pop(0)
                continue
            piece, rest = item[:size], item[size:]
            if rest:
                self.script[0] = rest
            else:
                self.script.pop(0)
            return piece
        return b""

    def read(self, *args):
        self.read_args.append(args)
        return self._next(args[0] if args else 1)

    def remaining(self):
        return b"".join(i for i in self.script if isinstance(i, (bytes, bytearray)))

    def write(self, data):
        self.log.append(("write", self.port))
        self.written.append(data)
        return len(data)

    def close(self):
        self.log.append(("close", self.port))

    def reset_input_buffer(self):
        self.log.append(("reset_input_buffer", self.port))


class PieceFake:
    """A port whose read() returns the given objects one after the other, then b""."""

    def __init__(self, *pieces, port="COM3"):
        self.pieces = list(pieces)
        self.port = port

    def read(self):
        return self.pieces.pop(0) if self.pieces else b""


class Opener:
    """Records the calls of `create_serial_instance` and hands out FakePorts (or raises)."""

    def __init__(self, fail=None):
        self.calls = []
        self.log = []
        self.ports = []
        self.fail = fail or {}  # port name -> exception raised when that name is opened

    def __call__(self, *args, **kwargs):
        assert not args, "create_serial_instance takes keywords only"
        self.calls.append(kwargs)
        name = kwargs.get("port")
        self.log.append(("open", name))
        if name in self.fail:
            raise self.fail[name]
        port = FakePort(port=name, log=self.log)
        self.ports.append(port)
        return port


def install_opener(monkeypatch, **kwargs):
    opener = Opener(**kwargs)
    monkeypatch.setattr(ozu_mew, "create_serial_instance", opener)
    return opener


def minimal_channel_class():
    """A Channel subclass providing the five abstract members and nothing else."""

    class Minimal(ozu_mew.Channel):
        def read(self, size=1):
            return ""

        def receive_frame(self):
            return "\r"

        def send_frame(self, data):
            pass

        @property
        def in_waiting(self):
            return 0

        @property
        def port(self):
            return "MIN"

    return Minimal
