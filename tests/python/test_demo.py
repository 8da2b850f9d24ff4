"""RandomMewSlaveDemo: random answers, printed writes, its polling worker and lifecycle."""
import random
import re
import threading
import time

import pytest

import ozu_mew
from slave_helpers import RawPeer, SlowQueue, call_from_receiver, closing, pipe_pair, wait_until, with_check  # noqa: F401

LINE = 0.05


@pytest.fixture
def ends():
    return pipe_pair("demo")


def demo(closing, port, station=1, **kwargs):
    kwargs.setdefault("timeout", LINE)
    return closing(ozu_mew.RandomMewSlaveDemo(station, port, **kwargs))


def started(closing, ends, station=1):
    d = demo(closing, ends[0], station)
    d.start()
    return d, closing(RawPeer(ends[1]))


def test_class_tree():
    cls = ozu_mew.RandomMewSlaveDemo
    assert cls.__bases__ == (ozu_mew.MewBase, ozu_mew.MewSlaveBase)
    assert not cls.__abstractmethods__
    assert [k for k in vars(cls) if not k.startswith("_") or k in ("__init__", "_check_and_process_request")] == [
        "__init__", "_check_and_process_request", "start", "stop", "on_get_coil", "on_get_multi_coil_uint16",
        "on_get_multi_uint16", "on_set_coil", "on_set_multi_coil_uint16", "on_set_multi_uint16"]


def test_nothing_runs_until_started(closing, ends):
    threads = threading.active_count()
    d = demo(closing, ends[0])
    assert (d._slave_thread, d._slave_stop_flag, d._stop_flag, d._receiver_thread) == (None, True, True, None)
    assert threading.active_count() == threads
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%01#RCSR0012**\r", wait=0.2) == ""
    d.start()
    assert peer.ask("%01#RCSR0012**\r") in ("%01$RC120\r", "%01$RC021\r")


def test_coil_answers_take_both_values(closing, ends):
    _, peer = started(closing, ends)
    answers = {peer.ask("%01#RCSR0012**\r") for _ in range(40)}
    assert answers == {"%01$RC120\r", "%01$RC021\r"}


def test_register_read_gives_one_word_per_register(closing, ends):
    _, peer = started(closing, ends)
    answer = peer.ask("%01#RDD0010000104**\r")
    assert re.fullmatch(r"%01\$RD[0-9A-F]{20}[0-9A-F]{2}\r", answer)
    assert answer == with_check(answer[:-3])


def test_seeded_generator_makes_runs_repeatable(closing, ends):
    d = demo(closing, ends[0])
    d.start()
    m = closing(ozu_mew.MewMaster(ends[1], timeout=LINE, query_timeout=1.0))
    random.seed(1234)
    expected = [random.randint(0, 65535) for _ in range(4)]
    expected_coil = random.randint(0, 1) == 1
    random.seed(1234)
    assert m.get_multi_uint16(1, "DT0", 4) == expected
    assert m.get_coil(1, "R0000") is expected_coil


def test_module_random_is_looked_up_at_each_use(closing, ends, monkeypatch):
    class Highest:
        @staticmethod
        def randint(low, high):
            return high

    _, peer = started(closing, ends)
    monkeypatch.setattr(ozu_mew, "_random", Highest)
    assert peer.ask("%01#RCSR0012**\r") == "%01$RC120\r"
    assert peer.ask("%01#RCCR00100011**\r") == with_check("%01$RCFFFFFFFF")


@pytest.mark.parametrize(
    "request_frame, line, answer",
    [
        ("%01#WCSR00121**\r", "Slave: Contact R0012 is set to True", "%01$WC14\r"),
        ("%01#WCSR00120**\r", "Slave: Contact R0012 is set to False", "%01$WC14\r"),
        ("%01#WDD001000010101000200**\r", "Slave: Registers D00100 wrote to [1, 2]", with_check("%01$WD")),
        ("%01#WCCR00100011341201000000**\r", "Slave: Contact Crow R0010 wrote to [4660, 1]", with_check("%01$WC")),
        ("%01#WDD0010000099**\r", "Slave: Registers D00100 wrote to []", with_check("%01$WD")),
    ],
)
def test_writes_are_printed(closing, ends, capsys, request_frame, line, answer):
    _, peer = started(closing, ends)
    assert peer.ask(request_frame) == answer
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("request_frame", ["%05#RCSR0012**\r", "%00#RCSR0012**\r", "%ABC#RCSR0012**\r"])
def test_station_zero_answers_every_station(closing, ends, request_frame):
    _, peer = started(closing, ends, station=0)
    head = request_frame[: request_frame.index("#")]
    assert peer.ask(request_frame) in (with_check(head + "$RC0"), with_check(head + "$RC1"))


def test_other_station_and_invalid_frames_get_no_answer(closing, ends, capsys):
    _, peer = started(closing, ends, station=2)
    assert peer.ask("%01#RCSR0012**\r", wait=0.2) == ""
    assert peer.ask("%02#RCSR001200\r", wait=0.2) == ""
    assert peer.ask("%02#XYZ**\r") == with_check("%02!03")
    assert capsys.readouterr().out == "Invalid MEW frame: %02#RCSR001200\r\n"


def test_malformed_frame_is_reported_and_the_worker_keeps_serving(closing, ends, capsys):
    d, peer = started(closing, ends)
    assert peer.ask("%ZZ#RCSR0012**\r", wait=0.2) == ""
    assert peer.ask("%01#WCSR00121**\r") == "%01$WC14\r"
    assert capsys.readouterr().out == (
        "Unexpected exception from mew slave side:invalid literal for int() with base 16: 'ZZ'\n"
        "Slave: Contact R0012 is set to True\n")
    assert d._slave_thread.is_alive()


class Quiet(ozu_mew.RandomMewSlaveDemo):
    def on_set_coil(self, station, name, value):
        if name == "R0000":
            raise ozu_mew.MewSlaveNoFeedback()
        if name == "R0001":
            raise KeyboardInterrupt()
        return super().on_set_coil(station, name, value)


def test_no_feedback_sends_nothing_and_base_exceptions_end_the_worker(closing, ends, capsys, monkeypatch):
    ended = []
    monkeypatch.setattr(threading, "excepthook", lambda args: ended.append(args.exc_type))
    d = closing(Quiet(1, ends[0], timeout=LINE))
    d.start()
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%01#WCSR00001**\r", wait=0.2) == ""
    assert capsys.readouterr().out == ""
    assert peer.ask("%01#WCSR00011**\r", wait=0.2) == ""
    wait_until(lambda: not d._slave_thread.is_alive())
    assert ended == [KeyboardInterrupt]
    assert d._query_listeners == [] and d._slave_stop_flag is False
    d.stop()
    d.start()
    assert peer.ask("%01#WCSR00021**\r") == "%01$WC14\r"


def test_send_failure_is_reported(closing, ends, capsys):
    d, peer = started(closing, ends)
    real_send = d._send
    failures = [OSError("write failed")]

    def flaky(data):
        if failures:
            raise failures.pop()
        real_send(data)

    d._send = flaky
    assert peer.ask("%01#RCSR0012**\r", wait=0.2) == ""
    assert peer.ask("%01#WCSR00121**\r") == "%01$WC14\r"
    assert capsys.readouterr().out == (
        "Unexpected exception from mew slave side:write failed\nSlave: Contact R0012 is set to True\n")


@pytest.mark.parametrize("result, error", [((1, 2), "Expected list, got tuple"), (None, None), ([7], None)])
def test_register_read_goes_through_the_word_hook(closing, ends, result, error):
    class Fixed(ozu_mew.RandomMewSlaveDemo):
        def on_get_multi_coil_uint16(self, station, name, count):
            return result

    d = Fixed(1, ends[0], timeout=LINE)
    closing(d)
    if error:
        with pytest.raises(TypeError) as info:
            d.on_get_multi_uint16(1, "D00000", 2)
        assert str(info.value) == error
    else:
        assert d.on_get_multi_uint16(1, "D00000", 2) is result


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.on_get_multi_coil_uint16(1, "R0000", 1.0), "Argument 'count' has incorrect type (expected int, got float)"),
        (lambda d: d.on_set_multi_uint16(1, "D00000", (1,)), "Argument 'values' has incorrect type (expected list, got tuple)"),
        (lambda d: d.on_get_coil(True, "R0000"), "Argument 'station' has incorrect type (expected int, got bool)"),
        (lambda d: d.on_set_coil(1, None, True), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_hook_argument_types(closing, ends, call, message):
    d = demo(closing, ends[0])
    with pytest.raises(TypeError) as info:
        call(d)
    assert str(info.value) == message


@pytest.mark.parametrize("count, length", [(0, 0), (-3, 0), (3, 3)])
def test_word_counts(closing, ends, count, length):
    words = demo(closing, ends[0]).on_get_multi_coil_uint16(1, "R0000", count)
    assert type(words) is list and len(words) == length and all(0 <= w <= 65535 for w in words)


def test_station_type_is_checked_before_the_link_is_made(closing, ends):
    with pytest.raises(TypeError) as info:
        ozu_mew.RandomMewSlaveDemo("1", ends[0], timeout=LINE)
    assert str(info.value) == "Argument 'station' has incorrect type (expected int, got str)"
    closing(RawPeer(ends[0]))  # the port was never opened


def test_lifecycle(closing, ends):
    d = demo(closing, ends[0])
    d.stop()
    d.start()
    worker, queue = d._slave_thread, d._query_listeners[0]
    d.start()
    assert d._slave_thread is worker and d._query_listeners == [queue]
    d.stop()
    assert not worker.is_alive() and not d._receiver_thread.is_alive()
    assert d._query_listeners == [] and d._slave_stop_flag is True and d._stop_flag is True
    d.stop()
    d.start()
    assert d._slave_thread is not worker and d._query_listeners[0] is not queue
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%01#WCSR00121**\r") == "%01$WC14\r"
    d.close()
    assert not d._slave_thread.is_alive() and not d._receiver_thread.is_alive()


def test_start_returns_with_the_request_queue_in_place(closing, ends, monkeypatch):
    d = demo(closing, ends[0])
    peer = closing(RawPeer(ends[1]))
    monkeypatch.setattr(ozu_mew, "Queue", SlowQueue)
    for _ in range(5):
        d.start()
        assert len(d._query_listeners) == 1
        assert peer.ask("%01#WCSR00121**\r") == "%01$WC14\r"
        d.stop()


@pytest.mark.timeout(10)  # a wait on the worker from the receiver would never end
def test_demo_closed_from_the_receiver_thread(closing, ends):
    d, peer = started(closing, ends)
    worker = d._slave_thread
    call_from_receiver(d, peer, d.close)
    wait_until(lambda: not worker.is_alive() and not d._receiver_thread.is_alive())
    assert d._query_listeners == [] and d._slave_stop_flag is True and d._stop_flag is True


def test_idle_worker_polls_through_the_module_sleep(closing, ends, monkeypatch):
    naps = []

    def recording_sleep(seconds):
        naps.append(seconds)
        time.sleep(seconds)

    monkeypatch.setattr(ozu_mew, "sleep", recording_sleep)
    d = demo(closing, ends[0])
    d.start()
    wait_until(lambda: len(naps) >= 3)
    d.stop()
    assert set(naps) == {0.01}


@pytest.mark.parametrize("request_frame", ["%01#RDD0000099999**\r", "%01#RCCR00009999**\r"])
def test_request_for_more_than_a_frame_gets_the_process_error_answer(closing, ends, request_frame):
    class Counting(ozu_mew.RandomMewSlaveDemo):
        reads = 0

        def on_get_multi_coil_uint16(self, station, name, count):
            Counting.reads += 1
            return super().on_get_multi_coil_uint16(station, name, count)

    d = closing(Counting(1, ends[0], timeout=LINE))
    d.start()
    peer = closing(RawPeer(ends[1]))
    assert peer.ask(request_frame) == with_check("%01!02")
    # The station goes on serving, and the hooks were never asked for the oversized read.
    assert re.fullmatch(r"%01\$RD[0-9A-F]{8}[0-9A-F]{2}\r", peer.ask("%01#RDD0010000101**\r"))
    assert Counting.reads == 1
