"""Scripted channels, recorders and small waits for the link and master tests."""
import io
import os
import queue
import subprocess
import sys
import textwrap
import threading

import ozu_mew
from line_helpers import wait_until, with_check  # noqa: F401 (re-exported for the tests)

SHORT = 0.02  # read time-out of the scripted channels, seconds


class ScriptedChannel:
    """A channel whose input is fed by the test or by a responder that answers each sent frame.

    `responder(frame)` returns the text to put on the line in answer (None: nothing), or a list of
    (delay, text) pairs. Bytes are handed out one at a time, as a serial port does.
    """

    def __init__(self, port="COM3", responder=None, encoding="latin", read_timeout=SHORT):
        self.encoding = encoding
        self.responder = responder
        self.read_timeout = read_timeout
        self.sent = []
        self.resets = 0
        self.closed = False
        self.read_error = None
        self.on_reset = None
        self._port = port
        self._bytes = queue.Queue()

    @property
    def port(self):
        return self._port

    def feed(self, text):
        for b in text.encode("latin-1"):
            self._bytes.put(bytes([b]))

    def feed_later(self, delay, text):
        timer = threading.Timer(delay, self.feed, (text,))
        timer.daemon = True
        timer.start()

    def _byte(self):
        try:
            return self._bytes.get(timeout=self.read_timeout)
        except queue.Empty:
            return b""

    def read(self, size=1):
        if self.read_error is not None:
            raise self.read_error
        return self._byte().decode(self.encoding)

    def receive_frame(self):
        data = b""
        b = self._byte()
        while b:
            data += b
            if b == b"\r":
                break
            b = self._byte()
        if not data:
            raise IOError("Error: device no response.:" + str(self.port))
        if not data.endswith(b"\r"):
            raise IOError("Error: device response format invalid.:" + str(self.port))
        return data.decode("latin-1")

    def send_frame(self, data):
        self.sent.append(data)
        if self.responder is None:
            return
        answer = self.responder(data)
        if answer is None:
            return
        if isinstance(answer, str):
            self.feed(answer)
        else:
            for delay, text in answer:
                self.feed_later(delay, text)

    def reset_input_buffer(self):
        self.resets += 1
        if self.on_reset is not None:
            self.on_reset()
        while True:
            try:
                self._bytes.get_nowait()
            except queue.Empty:
                return

    def close(self):
        self.closed = True


class Recorder:
    """Stands in for a class or function of the module and records how it was called."""

    def __init__(self, result=None, error=None):
        self.calls = []
        self.result = result
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result if self.result is not None else ScriptedChannel(port=kwargs.get("port", "X"))


class ListenerLog:
    """A listener that records frames, optionally failing or running a hook on put."""

    def __init__(self, log, name, fail=None, hook=None):
        self.log, self.name, self.fail, self.hook = log, name, fail, hook

    def put(self, frame):
        self.log.append((self.name, frame))
        if self.hook is not None:
            self.hook(frame)
        if self.fail is not None:
            raise self.fail


def capture_err(monkeypatch):
    err = io.StringIO()
    monkeypatch.setattr(ozu_mew, "_err", err)
    return err


def started_link(channel, cls=None):
    link = (cls or ozu_mew.MewBase)(channel)
    link.start()
    return link



class Quiet(Exception):
    """What a QuietQueue raises, in place of queue.Empty, when its timed get finds nothing."""


class QuietQueue(queue.Queue):
    def get(self, block=True, timeout=None):
        try:
            return super().get(block, timeout)
        except queue.Empty:
            raise Quiet("nothing came")


def run_fresh(script):
    """The output lines of `script` run in a fresh interpreter that finds these helpers: for tests
    that remove a module name, which putting back would move to the end of the namespace."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                         timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()
