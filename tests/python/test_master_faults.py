"""A master on hostile lines: answers that come late, devices that add bytes around their frames,
links closed or broken under a waiting query, time-outs the wait would refuse. Real lines: the
in-process null-modem and pseudo-terminals."""
import itertools
import math
import queue
import threading
import time

import pytest

import ozu_mew
from fault_helpers import LINE, PtyPeer, Station, no_leaks, with_check  # noqa: F401
from link_helpers import ScriptedChannel

_names = itertools.count()
RCS = with_check("%01#RCSR0012")


def value_of(register):
    return (register * 7919 + 3) & 0xFFFF


class LateOnce(Station):
    """Station 1 whose registers hold value_of(register); its answer to a read of `late_register`
    comes `delay` seconds late, once."""

    late_register = None
    delay = 0.0

    def on_get_multi_uint16(self, station, name, count):
        start = int(name[1:])
        if start == self.late_register:
            self.late_register = None
            time.sleep(self.delay)
        return [value_of(start + i) for i in range(count)]


def pipe_pair(no_leaks, station_cls=LateOnce, query_timeout=0.5, **station_kwargs):
    name = "master_faults%d" % next(_names)
    station = no_leaks(station_cls("brix:pipe:%s:b" % name, timeout=LINE, **station_kwargs))
    master = no_leaks(ozu_mew.MewMaster("brix:pipe:%s:a" % name, timeout=LINE, query_timeout=query_timeout))
    return master, station


@pytest.mark.parametrize("threads", [1, 8])
def test_after_a_late_answer_every_value_belongs_to_its_own_register(no_leaks, threads):
    master, station = pipe_pair(no_leaks)
    station.late_register, station.delay = 5000, 0.7  # later than query_timeout, within twice it
    with pytest.raises(ozu_mew.MewTimeoutError):
        master.get_uint16(1, "DT5000")

    registers = list(range(1000))
    got, timeouts = {}, []

    def reader(mine):
        for register in mine:
            while True:
                try:
                    got[register] = master.get_uint16(1, "DT%d" % register)
                    break
                except ozu_mew.MewTimeoutError:  # a slow moment of a loaded machine, not a wrong value
                    timeouts.append(register)

    workers = [threading.Thread(target=reader, args=(registers[k::threads],)) for k in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    wrong = {r: v for r, v in got.items() if v != value_of(r)}
    assert wrong == {} and len(got) == 1000
    assert len(timeouts) < 10


class LosesOne(Station):
    """Station 1 that sends no answer to its first read."""

    lost = False

    def on_get_multi_uint16(self, station, name, count):
        if not self.lost:
            self.lost = True
            raise ozu_mew.MewSlaveNoFeedback()
        return [value_of(int(name[1:]))]


def test_an_answer_owed_but_lost_delays_the_next_query_by_one_time_out_at_most(no_leaks):
    master, station = pipe_pair(no_leaks, station_cls=LosesOne, query_timeout=0.3)
    with pytest.raises(ozu_mew.MewTimeoutError):
        master.get_uint16(1, "DT1")
    started = time.monotonic()
    assert master.get_uint16(1, "DT2") == value_of(2)
    assert time.monotonic() - started < 0.3 + 1.0
    started = time.monotonic()
    assert master.get_uint16(1, "DT3") == value_of(3)  # nothing owed any more: no wait
    assert time.monotonic() - started < 0.3


def test_a_device_that_ends_its_answers_with_cr_lf(no_leaks, monkeypatch):
    # and one that sends half an answer before the whole of it: every query gets its own answer
    err = []
    monkeypatch.setattr(ozu_mew, "_err", type("E", (), {"write": lambda self, t: err.append(t),
                                                        "flush": lambda self: None})())
    peer = no_leaks(PtyPeer())
    master = no_leaks(ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=LINE), query_timeout=1.0))
    stop = threading.Event()

    def device():
        n = 0
        while not stop.is_set():
            request = peer.receive(wait=0.2)
            if not request.endswith("\r"):
                continue
            register = int(request[7:12])
            answer = with_check("%01$RD" + "%02X%02X" % (value_of(register) & 0xFF, value_of(register) >> 8))
            n += 1
            peer.send((answer[:7] if n % 3 == 0 else "") + answer + "\n")

    responder = threading.Thread(target=device)
    responder.start()
    try:
        for register in range(30):
            assert master.get_uint16(1, "DT%d" % register) == value_of(register)
    finally:
        stop.set()
        responder.join(5)
    shown = "".join(err).splitlines()
    assert any(line.endswith("Dropped 1 byte before a frame:b'\\n'") for line in shown)
    assert any("Dropped" in line and "%01$RD" in line for line in shown)  # the half answers


def test_closing_the_link_ends_a_waiting_query_at_once(no_leaks):
    for query_timeout in (None, 30):
        name = "master_faults%d" % next(_names)
        far_end = no_leaks(ozu_mew.MewSerial(port="brix:pipe:%s:b" % name, timeout=LINE))  # never answers
        master = ozu_mew.MewMaster("brix:pipe:%s:a" % name, timeout=LINE, query_timeout=query_timeout)
        outcome = []

        def ask():
            try:
                master.get_uint16(1, "DT100")
            except OSError as e:
                outcome.append((e, time.monotonic()))

        asking = threading.Thread(target=ask)
        asking.start()
        time.sleep(0.2)
        closing = time.monotonic()
        master.close()
        asking.join(5)
        assert not asking.is_alive()
        [(error, ended)] = outcome
        assert type(error) is ozu_mew.MewLinkError and isinstance(error, ConnectionError)
        assert str(error) == "MewMasterBase:brix:pipe:%s:a:link was closed." % name
        assert ended - closing < 1.0  # 100 ms asked for; generous on a loaded machine
        assert master._feedback_listeners == [] and not master._query_lock.locked()


def test_a_query_on_a_link_whose_channel_failed_fails_at_once_naming_the_cause(no_leaks, monkeypatch):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)
    peer = no_leaks(PtyPeer())
    master = no_leaks(ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=LINE), query_timeout=5))
    peer.hang_up()
    master._receiver_thread.join(3)
    assert not master._receiver_thread.is_alive() and master._stop_flag is False  # Broken
    for _ in range(2):
        started = time.monotonic()
        with pytest.raises(ConnectionError) as info:
            master.get_uint16(1, "DT100")
        assert time.monotonic() - started < 1.0
        assert type(info.value) is ozu_mew.MewLinkError
        assert str(info.value) == ("MewMasterBase:%s:link is down: OSError: [Errno 5] device disconnected: %s"
                                   % (peer.path, peer.path))
        assert type(info.value.__cause__) is OSError and info.value.__cause__.errno == 5


def test_a_waiting_query_ends_when_the_channel_fails_and_a_restart_clears_it(monkeypatch):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)
    channel = ScriptedChannel()
    master = ozu_mew.MewMasterBase(channel, query_timeout=None)
    master.start()
    outcome = []
    asking = threading.Thread(target=lambda: outcome.append(pytest.raises(OSError, master.query, RCS).value))
    asking.start()
    time.sleep(0.2)
    channel.read_error = OSError("device unplugged")
    asking.join(3)
    [error] = outcome
    assert type(error) is ozu_mew.MewLinkError and error.__cause__ is channel.read_error
    assert str(error) == "MewMasterBase:COM3:link is down: OSError: device unplugged"
    # stopped, the link is idle again: queries wait for answers as described
    master.stop()
    channel.read_error = None
    with pytest.raises(ozu_mew.MewTimeoutError):
        master._query_timeout = 0.05
        master.query(RCS)
    master.start()
    channel.responder = lambda frame: "%01$RC120\r"
    assert master.query(RCS) == "RC1"
    master.stop()


@pytest.mark.parametrize("value, error", [
    (-1, ValueError), ("1", TypeError), (math.inf, OverflowError), (10**30, OverflowError), (math.nan, ValueError),
    (-0.5, ValueError), (1j, TypeError),
])
def test_time_outs_the_wait_would_refuse_fail_before_anything_is_sent(monkeypatch, value, error):
    made = []
    real_queue = ozu_mew.Queue
    monkeypatch.setattr(ozu_mew, "Queue", lambda: made.append(real_queue()) or made[-1])
    channel = ScriptedChannel(responder=lambda frame: "%01$RC120\r")
    master = ozu_mew.MewMasterBase(channel, query_timeout=value)
    master.start()
    try:
        with pytest.raises(error) as info:
            master.query(RCS)
        assert channel.sent == [] and made == [] and master._feedback_listeners == []
        if not (isinstance(value, float) and math.isnan(value)):  # the wait itself would hang on nan
            with pytest.raises(error) as direct:
                queue.Queue().get(timeout=value)
            assert str(info.value) == str(direct.value)
    finally:
        master.stop()


@pytest.mark.parametrize("value", [86400, 86400.0, 86401, 86400.5, 1e9, 2**40, 1e300, 5 * 10**5, 0.5])
def test_the_quick_test_of_plain_numbers_agrees_with_the_full_one(value):
    # Plain numbers up to a day skip the full test; around that bound both must agree with the wait.
    channel = ScriptedChannel(responder=lambda frame: "%01$RC120\r")
    master = ozu_mew.MewMasterBase(channel, query_timeout=value)
    master.start()
    try:
        waiting = queue.Queue()
        feed = threading.Timer(0.05, waiting.put, ("frame",))
        feed.start()
        try:
            waiting.get(timeout=value)
            expected = None  # usable: the wait took what came
        except Exception as e:  # refused at once
            expected = e
        feed.cancel()
        if expected is None:
            assert master.query(RCS) == "RC1"
        else:
            with pytest.raises(type(expected)) as info:
                master.query(RCS)
            assert str(info.value) == str(expected) and channel.sent == []
    finally:
        master.stop()


def test_usable_time_outs_still_wait_as_described():
    channel = ScriptedChannel(responder=lambda frame: [(0.2, "%01$RC120\r")])
    master = ozu_mew.MewMasterBase(channel, query_timeout=None)
    master.start()
    try:
        assert master.query(RCS) == "RC1"
        channel.responder = None
        for usable in (0, 0.01, True):
            master._query_timeout = usable
            with pytest.raises(ozu_mew.MewTimeoutError):
                master.query(RCS)
    finally:
        master.stop()


def test_a_master_that_is_not_running_waits_for_nothing_owed():
    # Nothing can arrive on a link that is not started: each query waits out its own time-out only.
    channel = ScriptedChannel()
    master = ozu_mew.MewMasterBase(channel, query_timeout=0.3)
    for _ in range(3):
        started = time.monotonic()
        with pytest.raises(ozu_mew.MewTimeoutError):
            master.query(RCS)
        assert time.monotonic() - started < 0.55
    assert channel.sent == [RCS] * 3
