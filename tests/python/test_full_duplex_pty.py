"""Master and stations over a pseudo-terminal pair: the stations on the terminal side through
ozu_brix, the master on the controlling side through a channel of the caller's own."""
import os
import select
import threading

import pytest

import ozu_mew
from slave_helpers import StorageStation, closing  # noqa: F401

LINE = 0.05


class PtyChannel(ozu_mew.Channel):
    """A caller's channel over the controlling side of a pseudo-terminal, one byte per read."""

    def __init__(self, fd, **kwargs):
        super().__init__(**kwargs)
        self.fd = fd

    def _byte(self, wait):
        ready, _, _ = select.select([self.fd], [], [], wait)
        return os.read(self.fd, 1) if ready else b""

    def read(self, size=1):
        return self._byte(LINE).decode(self.encoding)

    def receive_frame(self):
        data = b""
        while not data.endswith(b"\r"):
            b = self._byte(1.0)
            if not b:
                raise IOError("Error: device response format invalid.:" + self.port)
            data += b
        return data.decode("latin-1")

    def send_frame(self, data):
        os.write(self.fd, data.encode(self.encoding))

    @property
    def in_waiting(self):
        return 0

    @property
    def port(self):
        return "pty"

    def close(self):
        os.close(self.fd)


@pytest.fixture
def pty_pair():
    control, terminal = os.openpty()
    yield control, os.ttyname(terminal)
    os.close(terminal)


def test_full_duplex_station_over_a_pty(pty_pair, closing):
    control, path = pty_pair
    m = closing(ozu_mew.MewMaster(PtyChannel(control), query_timeout=1.0))
    fd = closing(StorageStation(ozu_mew.MewSerial(port=path, timeout=LINE), slave_station=5))
    fd.start()
    assert fd.channel_name == "MewFullDuplex[%s]" % path
    errors = []

    def worker(n):
        try:
            for i in range(30):
                m.set_int32(5, "DT%d" % (2 * n), -i * 1000)
                assert m.get_int32(5, "DT%d" % (2 * n)) == -i * 1000
                m.set_coil(5, "R%03d%X" % (n, i % 16), i % 2 == 0)
                assert m.get_coil(5, "R%03d%X" % (n, i % 16)) is (i % 2 == 0)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == []
    assert fd.registers[("D", 4)] == (-29000) & 0xFFFF


def test_demo_station_over_a_pty(pty_pair, closing, capsys):
    control, path = pty_pair
    m = closing(ozu_mew.MewMaster(PtyChannel(control), query_timeout=1.0))
    d = closing(ozu_mew.RandomMewSlaveDemo(2, ozu_mew.MewSerial(port=path, timeout=LINE)))
    d.start()
    words = m.get_multi_uint16(2, "DT0", 8)
    assert len(words) == 8 and all(0 <= w <= 65535 for w in words)
    m.set_multi_uint16(2, "DT0", [10, 20])
    assert capsys.readouterr().out == "Slave: Registers D00000 wrote to [10, 20]\n"
