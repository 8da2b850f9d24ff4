"""A MewMaster opened by device name on the virtual null-modem, with a scripted station at the
other end of the line."""
import itertools
import threading

import pytest

import ozu_brix
import ozu_mew
from link_helpers import with_check

_names = itertools.count()


class Station(threading.Thread):
    """Reads request frames from its end of the line and writes what `answer(request)` gives."""

    def __init__(self, port, answer):
        super().__init__(daemon=True)
        self.port, self.answer, self.requests, self.stopping = port, answer, [], False

    def run(self):
        data = b""
        while not self.stopping:
            try:
                piece = self.port.read(1)
            except Exception:
                return
            data += piece
            if piece == b"\r":
                request = data.decode("latin-1")
                self.requests.append(request)
                data = b""
                reply = self.answer(request)
                if reply:
                    self.port.write(reply.encode("latin-1"))


@pytest.fixture
def line():
    made = []

    def make(answer, **kwargs):
        name = "brix:pipe:master%d" % next(_names)
        peer = ozu_brix.create_serial_instance(port=name + ":b", timeout=0.05)
        station = Station(peer, answer)
        station.start()
        kwargs.setdefault("timeout", 0.05)
        kwargs.setdefault("query_timeout", 0.5)
        master = ozu_mew.MewMaster(name + ":a", **kwargs)
        made.append((master, station, peer))
        return master, station

    yield make
    for master, station, peer in made:
        master.close()
        station.stopping = True
        station.join(2)
        peer.close()


def registers(request):
    """Answers RD with each register's number as its value, and WD with the write answer."""
    if request[4:6] == "RD":
        first, last = int(request[7:12]), int(request[12:17])
        body = "".join("%02X%02X" % (n & 0xFF, n >> 8) for n in range(first, last + 1))
        return with_check(request[:3] + "$RD" + body)
    if request[4:6] == "WD":
        return with_check(request[:3] + "$WD")
    return with_check(request[:3] + "!42")


def test_reads_and_writes_over_the_line(line):
    master, station = line(registers)
    assert master.channel_name == master.dev_handle.port and master.channel_name.endswith(":a")
    assert master.get_multi_uint16(1, "DT100", 3) == [100, 101, 102]
    assert master.get_uint32(1, "DT7") == (8 << 16) | 7
    assert master.set_multi_int32(2, "DT10", [-2]) is None
    with pytest.raises(OSError) as info:
        master.set_coil(1, "R1", True)
    assert str(info.value) == master.channel_name + ":MEW communication error code(hex):[42]"
    assert station.requests == [
        with_check("%01#RDD0010000102"),
        with_check("%01#RDD0000700008"),
        with_check("%02#WDD0001000011FEFFFFFF"),
        with_check("%01#WCSR00011"),
    ]


def test_a_silent_station_times_out_and_the_next_query_works(line):
    answers = iter([None, with_check("%01$RD0100")])
    master, station = line(lambda request: next(answers), query_timeout=0.1)
    with pytest.raises(OSError) as info:
        master.get_uint16(1, "DT0")
    assert str(info.value) == "MewMasterBase:%s:device response timeout." % master.channel_name
    assert master.get_uint16(1, "DT0") == 1

