"""The receiver reads MewSerial and DualSerial channels over ozu_brix ports natively: same frames,
same lines, same errors as through the channel's Python methods (a derived class takes that
path)."""
import itertools
import threading

import pytest

import ozu_brix
import ozu_mew
from link_helpers import ListenerLog, capture_err, wait_until, with_check

pytestmark = pytest.mark.skipif(not hasattr(ozu_mew, "MewSerial"), reason="serial channels not built")

_names = itertools.count()


class PlainSerial(ozu_mew.MewSerial if hasattr(ozu_mew, "MewSerial") else object):
    """Exactly MewSerial's behaviour, but not MewSerial itself: read through Python."""


class PlainDual(ozu_mew.DualSerial if hasattr(ozu_mew, "DualSerial") else object):
    """Exactly DualSerial's behaviour, but not DualSerial itself: read through Python."""


@pytest.fixture(params=["native", "generic", "pair-native", "pair-generic"])
def line(request, monkeypatch):
    """A started link on one end of a virtual null-modem and the raw port at the other end (for a
    port pair, the link reads from that null-modem and writes to another one)."""
    err = capture_err(monkeypatch)
    pauses = []
    monkeypatch.setattr(ozu_mew, "sleep", lambda s: pauses.append(s))
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args))
    made = []

    def make(encoding=None, timeout=0.05):
        name = "brix:pipe:link%d" % next(_names)
        peer = ozu_brix.create_serial_instance(port=name + ":b", timeout=timeout)
        native = request.param.endswith("native")
        if request.param.startswith("pair"):
            cls = ozu_mew.DualSerial if native else PlainDual
            kwargs = {"port": "brix:pipe:link%d:a,%s:a" % (next(_names), name), "timeout": timeout}
        else:
            cls = ozu_mew.MewSerial if native else PlainSerial
            kwargs = {"port": name + ":a", "timeout": timeout}
        if encoding:
            kwargs["encoding"] = encoding
        link = ozu_mew.MewBase(cls(**kwargs))
        log = []
        link._feedback_listeners.append(ListenerLog(log, "answers"))
        link.start()
        made.append((link, peer))
        return link, peer, log

    make.err, make.pauses, make.reported = err, pauses, reported
    yield make
    for link, peer in made:
        link._stop_flag = True
        link._receiver_thread.join(3)
        link.dev_handle.close()
        peer.close()


def port_of(link):
    return link.channel_name


def read_port_of(link):
    """The name of the port the link reads from, which the frame reader's errors name."""
    channel = link.dev_handle
    return channel._channel_to_read.port if isinstance(channel, ozu_mew.DualSerial) else channel.port


def test_frames_are_sorted_alike(line):
    link, peer, log = line()
    a, e, q = with_check("%01$RC1"), with_check("%1A!42"), with_check("%01#RCSR0012")
    # noise before a frame, and a frame cut short by the next one's "%", are dropped and shown
    peer.write((a + q + "\r" + e + "%01$R" + e + "\x00\n").encode())
    wait_until(lambda: len(log) == 3)
    wait_until(lambda: line.err.getvalue().count("\n") == 4)
    p = port_of(link)
    assert log == [("answers", a), ("answers", e), ("answers", e)]
    assert line.err.getvalue() == ("MewBase:%s:No query listener. Drop frame.\n" % p
                                   + "MewBase:%s:Dropped 1 byte before a frame:b'\\r'\n" % p
                                   + "MewBase:%s:Dropped 5 bytes before a frame:b'%%01$R'\n" % p
                                   + "MewBase:%s:Dropped 2 bytes before a frame:b'\\x00\\n'\n" % p)


@pytest.mark.parametrize("script, message", [
    (b"%", "Error: device no response.:"),
    (b"%01$RC", "Error: device response format invalid.:"),
    (b"%" + b"0" * 3000, "Error: device response format invalid.:"),
])
def test_line_errors_are_reported_and_the_receiver_goes_on(line, script, message):
    link, peer, log = line()
    peer.write(script)
    p = port_of(link)
    expected = "IOError:%s:%s%s\n" % (p, message, read_port_of(link))
    wait_until(lambda: line.err.getvalue() == expected)
    answer = with_check("%01$WC")
    peer.write(answer.encode())
    wait_until(lambda: log)
    assert log == [("answers", answer)] and line.pauses == [0.1]


def test_first_character_uses_the_channel_encoding_and_the_rest_latin(line):
    link, peer, log = line(encoding="cp1252")
    peer.write(b"\x80%01$RC\x80" + b"**\r")
    wait_until(lambda: log)
    assert log == [("answers", "%01$RC\x80**\r")]
    # the byte before the frame was read as a first character, with the channel's encoding
    assert line.err.getvalue() == "MewBase:%s:Dropped 1 byte before a frame:'\u20ac'\n" % port_of(link)


def test_an_undecodable_first_character_ends_the_receiver(line):
    link, peer, log = line(encoding="utf-8")
    peer.write(b"\xc3" + with_check("%01$RC1").encode())
    link._receiver_thread.join(3)
    assert not link._receiver_thread.is_alive() and link._stop_flag is False
    [report] = line.reported
    assert type(report.exc_value) is UnicodeDecodeError
    assert str(report.exc_value) == "'utf-8' codec can't decode byte 0xc3 in position 0: unexpected end of data"


def test_closing_the_port_under_the_receiver_ends_it_with_the_ports_error(line):
    link, peer, log = line(timeout=None)
    link.dev_handle.close()
    link._receiver_thread.join(3)
    assert not link._receiver_thread.is_alive()
    [report] = line.reported
    with pytest.raises(Exception) as direct:
        link.dev_handle.read()
    assert type(report.exc_value) is type(direct.value) and str(report.exc_value) == str(direct.value)


def test_instance_attributes_standing_in_for_reading_are_called(monkeypatch):
    log = []
    name = "brix:pipe:link%d" % next(_names)
    peer = ozu_brix.create_serial_instance(port=name + ":b", timeout=0.05)
    channel = ozu_mew.MewSerial(port=name + ":a", timeout=0.05)
    channel.receive_frame = lambda: "01$RC1**\r"
    link = ozu_mew.MewBase(channel)
    link._feedback_listeners.append(ListenerLog(log, "answers"))
    link.start()
    try:
        peer.write(b"%")
        wait_until(lambda: log)
        assert log == [("answers", "%01$RC1**\r")]
    finally:
        link.close()
        peer.close()
