"""MewFullDuplexBase: master and station on one link, its worker, lifecycle and failures."""
import io
import queue
import threading

import pytest

import ozu_mew
from link_helpers import Quiet, QuietQueue, run_fresh
from slave_helpers import (RawPeer, SlowQueue, StorageStation, call_from_receiver, closing,  # noqa: F401
                           pipe_pair, wait_until, with_check)

LINE = 0.05  # read time-out of the test ports, seconds


@pytest.fixture
def ends():
    return pipe_pair("fd")


@pytest.fixture
def err(monkeypatch):
    stream = io.StringIO()
    monkeypatch.setattr(ozu_mew, "_err", stream)
    return stream


def station(closing, port, **kwargs):
    kwargs.setdefault("timeout", LINE)
    kwargs.setdefault("query_timeout", 1.0)
    return closing(StorageStation(port, **kwargs))


def master(closing, port, **kwargs):
    kwargs.setdefault("timeout", LINE)
    kwargs.setdefault("query_timeout", 1.0)
    return closing(ozu_mew.MewMaster(port, **kwargs))


def test_class_tree():
    cls = ozu_mew.MewFullDuplexBase
    assert cls.__bases__ == (ozu_mew.MewMaster, ozu_mew.MewSlaveBase, ozu_mew.ABC)
    assert cls.__mro__[1:5] == (ozu_mew.MewMaster, ozu_mew.MewMasterBase, ozu_mew.MewBase, ozu_mew.MewSlaveBase)
    assert cls.__abstractmethods__ == ozu_mew.MewSlaveBase.__abstractmethods__
    assert [k for k in vars(cls) if not k.startswith("_") or k == "__init__"] == [
        "__init__", "check_and_process_request", "start", "stop", "channel_name"]


def test_master_only_until_started(closing, ends, err):
    fd = station(closing, ends[0], query_timeout=0.3)
    peer = station(closing, ends[1], query_timeout=0.3)
    peer.start()
    assert (fd._slave_thread, fd._slave_stop_flag, fd.station) == (None, True, 0)
    assert fd.channel_name == "MewFullDuplex[%s]" % ends[0]

    peer.registers[("D", 7)] = 0xBEEF
    assert fd.get_uint16(2, "DT7") == 0xBEEF  # the master side works at once
    with pytest.raises(IOError):
        peer.get_uint16(1, "DT7")  # nobody answers on fd's side yet
    assert "MewBase:%s:No query listener. Drop frame." % ends[0] in err.getvalue().splitlines()

    fd.start()
    fd.registers[("D", 7)] = 0x1234
    assert peer.get_uint16(1, "DT7") == 0x1234


def test_typed_round_trips_through_storage(closing, ends):
    fd = station(closing, ends[0])
    fd.start()
    m = master(closing, ends[1])
    m.set_coil(1, "R0012", True)
    assert m.get_coil(1, "R0012") is True and m.get_coil(1, "R0013") is False
    m.set_coil_uint16(1, "WR10", 0xA55A)
    assert m.get_coil_uint16(1, "WR10") == 0xA55A
    m.set_multi_coil_uint16(1, "WY3", [1, 2, 65535])
    assert m.get_multi_coil_uint16(1, "WY3", 3) == [1, 2, 65535]
    m.set_uint16(1, "DT100", 0x1234)
    m.set_int16(1, "DT101", -2)
    m.set_uint32(1, "DT102", 0x89ABCDEF)
    m.set_int32(1, "DT104", -100000)
    assert m.get_multi_uint16(1, "DT100", 2) == [0x1234, 0xFFFE]
    assert (m.get_int16(1, "DT101"), m.get_uint32(1, "DT102"), m.get_int32(1, "DT104")) == (-2, 0x89ABCDEF, -100000)
    m.set_multi_int32(1, "LD0", [-1, 2**31 - 1])
    assert m.get_multi_int32(1, "LD0", 2) == [-1, 2**31 - 1]
    assert fd.registers[("L", 0)] == 0xFFFF and fd.coils == {"R0012": True}


@pytest.mark.parametrize(
    "own, request_frame, answered",
    [
        (3, "%03#RCSR0000**\r", True),
        (3, "%00#RCSR0000**\r", True),
        (3, "%04#RCSR0000**\r", False),
        (0, "%7f#RCSR0000**\r", True),
        (0, "%1234#RCSR0000**\r", True),
    ],
)
def test_station_rules_on_the_line(closing, ends, own, request_frame, answered):
    fd = station(closing, ends[0], slave_station=own)
    fd.start()
    peer = closing(RawPeer(ends[1]))
    head = request_frame[: request_frame.index("#")]
    assert peer.ask(request_frame, wait=0.5 if answered else 0.3) == (with_check(head + "$RC0") if answered else "")


def test_line_diagnostics_and_error_answer(closing, ends, capsys):
    fd = station(closing, ends[0], slave_station=1)
    fd.start()
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%01#RCSR001299\r", wait=0.3) == ""
    assert peer.ask("%01#XYZ**\r") == "%01!0306\r"
    assert peer.ask("%01#RDD0010000100**\r") == with_check("%01$RD0000")
    assert capsys.readouterr().out == "Invalid MEW frame: %01#RCSR001299\r\n"


def test_read_beyond_one_frame_is_refused_on_the_line(closing, ends):
    fd = station(closing, ends[0], slave_station=1)
    fd.start()
    m = master(closing, ends[1])
    reads = []
    fd._get_words = lambda area, start, count: reads.append(count) or [0] * count
    assert m.get_multi_uint16(1, "DT0", 509) == [0] * 509  # 2045 bytes: one frame
    with pytest.raises(IOError) as info:
        m.get_multi_uint16(1, "DT0", 510)
    assert str(info.value) == "%s:MEW communication error code(hex):[02]" % ends[1]
    with pytest.raises(IOError) as info:
        m.query("%01#RDD0000099999**\r")  # 20 bytes that asked for 400,009
    assert str(info.value).endswith(":MEW communication error code(hex):[02]")
    assert reads == [509]


class Fatal(BaseException):
    pass


class Touchy(StorageStation):
    """Fails on chosen contact names."""

    def on_set_coil(self, station, name, value):
        if name == "R0000":
            raise ozu_mew.MewSlaveNoFeedback("ignored")
        if name == "R0001":
            raise ValueError("boom")
        if name == "R0002":
            raise Fatal()
        if name == "R0003":
            self.close()  # from the worker itself
        super().on_set_coil(station, name, value)

    def on_get_multi_uint16(self, station, name, count):
        return [70000] if name == "D00009" else super().on_get_multi_uint16(station, name, count)


def test_worker_reports_and_keeps_serving(closing, ends, capsys):
    fd = closing(Touchy(ends[0], timeout=LINE))
    fd.start()
    m = master(closing, ends[1], query_timeout=0.3)
    with pytest.raises(IOError):
        m.set_coil(1, "R0000", True)  # no answer, no message
    assert capsys.readouterr().out == ""
    with pytest.raises(IOError):
        m.set_coil(1, "R0001", True)
    assert capsys.readouterr().out == "Unexpected exception from mew slave side:boom\n"
    with pytest.raises(IOError):
        m.get_uint16(1, "DT9")  # a word that cannot be written in four digits is not sent
    out = capsys.readouterr().out
    assert out.startswith("Unexpected exception from mew slave side:") and "70000" in out
    m.set_coil(1, "R0005", True)
    assert fd.coils == {"R0005": True}


def test_malformed_station_field_is_reported(closing, ends, capsys):
    fd = station(closing, ends[0])
    fd.start()
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%ZZ#RCSR0012**\r", wait=0.3) == ""
    assert peer.ask("%01#RCSR0012**\r") == "%01$RC021\r"
    assert capsys.readouterr().out == (
        "Unexpected exception from mew slave side:invalid literal for int() with base 16: 'ZZ'\n")


def test_failed_send_is_reported_and_the_worker_goes_on(closing, ends, capsys):
    fd = station(closing, ends[0])
    fd.start()
    m = master(closing, ends[1], query_timeout=0.3)
    failures = [OSError("line down")]
    real_send = fd._send

    def flaky_send(data):
        if "$" in data and failures:
            raise failures.pop()
        real_send(data)

    fd._send = flaky_send
    with pytest.raises(IOError):
        m.get_coil(1, "R0000")
    assert capsys.readouterr().out == "Unexpected exception from mew slave side:line down\n"
    assert m.get_coil(1, "R0000") is False
    assert fd._slave_thread.is_alive()


def test_worker_ended_by_base_exception_unregisters_its_queue(closing, ends, monkeypatch):
    ended = []
    monkeypatch.setattr(threading, "excepthook", lambda args: ended.append(args.exc_type))
    fd = closing(Touchy(ends[0], timeout=LINE))
    fd.start()
    m = master(closing, ends[1], query_timeout=0.3)
    with pytest.raises(IOError):
        m.set_coil(1, "R0002", True)
    wait_until(lambda: not fd._slave_thread.is_alive())
    assert ended == [Fatal]
    assert fd._query_listeners == [] and fd._slave_stop_flag is False
    worker = fd._slave_thread
    fd.start()  # the flag still says a worker runs: nothing new
    assert fd._slave_thread is worker and fd._query_listeners == []
    fd.stop()
    fd.start()
    assert fd._slave_thread is not worker and len(fd._query_listeners) == 1
    m.set_coil(1, "R0007", True)
    assert fd.coils == {"R0007": True}


def test_lifecycle(closing, ends):
    fd = station(closing, ends[0])
    fd.stop()  # before any start: nothing happens
    fd.start()
    worker, queue = fd._slave_thread, fd._query_listeners[0]
    fd.start()
    assert fd._slave_thread is worker and fd._query_listeners == [queue]
    fd.stop()
    assert not worker.is_alive() and fd._receiver_thread is not None and not fd._receiver_thread.is_alive()
    assert fd._query_listeners == [] and fd._slave_stop_flag is True and fd._stop_flag is True
    fd.stop()
    fd.start()
    assert fd._slave_thread is not worker and fd._query_listeners[0] is not queue
    assert fd._receiver_thread.is_alive()
    m = master(closing, ends[1])
    m.set_uint16(1, "DT0", 5)
    assert fd.registers == {("D", 0): 5}
    fd.close()
    assert not fd._slave_thread.is_alive() and fd._slave_stop_flag is True
    closing.items.remove(fd)


def test_start_returns_with_the_request_queue_in_place(closing, ends, monkeypatch):
    # A request sent the moment start() returns must find the worker's queue, not be dropped.
    fd = station(closing, ends[0], slave_station=1)
    peer = closing(RawPeer(ends[1]))
    monkeypatch.setattr(ozu_mew, "Queue", SlowQueue)
    for _ in range(5):
        fd.start()
        assert len(fd._query_listeners) == 1
        assert peer.ask("%01#RCSR0000**\r") == with_check("%01$RC0")
        fd.stop()


class OwnWorker(StorageStation):
    """Replaces the worker with one that registers nothing until told to end."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.release = threading.Event()

    def check_and_process_request(self):
        self.release.wait(5)


def test_start_does_not_wait_for_a_replaced_worker(closing, ends):
    fd = closing(OwnWorker(ends[0], timeout=LINE))
    fd.start()
    assert fd._slave_thread.is_alive() and fd._query_listeners == []
    fd.release.set()
    fd._slave_thread.join()


@pytest.mark.timeout(10)  # a wait on the worker's registration from the receiver would never end
def test_station_started_from_the_receiver_thread(closing, ends):
    fd = station(closing, ends[0])
    peer = closing(RawPeer(ends[1]))
    call_from_receiver(fd, peer, fd.start)
    wait_until(lambda: fd._query_listeners)
    assert peer.ask("%01#RCSR0000**\r") == with_check("%01$RC0")


@pytest.mark.timeout(10)  # a wait on the worker from the receiver would never end
def test_station_closed_from_the_receiver_thread(closing, ends):
    fd = station(closing, ends[0])
    fd.start()
    worker = fd._slave_thread
    call_from_receiver(fd, closing(RawPeer(ends[1])), fd.close)
    wait_until(lambda: not worker.is_alive() and not fd._receiver_thread.is_alive())
    assert fd._query_listeners == [] and fd._slave_stop_flag is True and fd._stop_flag is True


def test_slave_station_assertion(closing, ends):
    with pytest.raises(AssertionError) as info:
        StorageStation(ends[0], slave_station=-1, timeout=LINE)
    assert str(info.value) == ""


@pytest.mark.parametrize("value", [1.5, True, 2.0])
def test_slave_station_type_is_checked_before_the_link_is_made(closing, ends, value):
    threads = threading.active_count()
    with pytest.raises(TypeError) as info:
        StorageStation(ends[0], slave_station=value, timeout=LINE)
    assert str(info.value) == "Argument 'station' has incorrect type (expected int, got %s)" % type(value).__name__
    assert threading.active_count() == threads
    closing(RawPeer(ends[0])).send("")  # the port was never opened: it can be opened now


def test_station_queries_while_serving(closing, ends):
    left = station(closing, ends[0], slave_station=1)
    right = station(closing, ends[1], slave_station=2)
    left.start()
    right.start()
    errors = []

    def exchange(me, other, register, count):
        try:
            for i in range(count):
                me.set_uint16(other, "DT%d" % register, i)
                assert me.get_uint16(other, "DT%d" % register) == i
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=exchange, args=(left, 2, 10, 60)),
               threading.Thread(target=exchange, args=(right, 1, 20, 60))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert errors == []
    assert right.registers[("D", 10)] == 59 and left.registers[("D", 20)] == 59


def test_several_master_threads_at_once(closing, ends):
    fd = station(closing, ends[0])
    fd.start()
    m = master(closing, ends[1])
    errors = []

    def worker(n):
        try:
            for i in range(40):
                m.set_multi_uint16(1, "DT%d" % (n * 10), [n, i])
                assert m.get_multi_uint16(1, "DT%d" % (n * 10), 2) == [n, i]
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert errors == []
    assert [fd.registers[("D", n * 10 + 1)] for n in range(4)] == [39] * 4


def test_station_closed_from_its_own_hook(closing, ends, monkeypatch, capsys):
    ended = []
    monkeypatch.setattr(threading, "excepthook", lambda args: ended.append(args.exc_type))
    fd = closing(Touchy(ends[0], timeout=LINE))
    fd.start()
    m = master(closing, ends[1], query_timeout=0.3)
    with pytest.raises(IOError):
        m.set_coil(1, "R0003", True)
    wait_until(lambda: not fd._slave_thread.is_alive() and not fd._receiver_thread.is_alive())
    assert ended == [] and fd._slave_stop_flag is True and fd._query_listeners == []
    capsys.readouterr()


def test_worker_uses_the_module_thread_and_queue(closing, ends, monkeypatch):
    waits, threads = [], []

    class RecordingQueue(queue.Queue):
        def get(self, block=True, timeout=None):
            waits.append((block, timeout))
            return super().get(block, timeout)

    class RecordingThread(threading.Thread):
        def __init__(self, *args, **kwargs):
            threads.append(kwargs)
            super().__init__(*args, **kwargs)

    fd = station(closing, ends[0])
    monkeypatch.setattr(ozu_mew, "Queue", RecordingQueue)
    monkeypatch.setattr(ozu_mew, "Thread", RecordingThread)
    fd.start()
    assert threads == [{"target": fd.check_and_process_request}]
    assert type(fd._query_listeners[0]) is RecordingQueue and not fd._slave_thread.daemon
    wait_until(lambda: waits)
    assert waits[0] == (True, 0.1)



def test_worker_wait_takes_the_module_empty_of_the_moment(closing, ends, monkeypatch):
    # A replaced `Empty` is the worker's time-out; once there is none, the NameError ends the
    # worker, raised while the queue's own error is handled.
    waits = []

    class RecordingQueue(QuietQueue):
        def get(self, block=True, timeout=None):
            waits.append(timeout)
            return super().get(block, timeout)

    monkeypatch.setattr(ozu_mew, "Queue", RecordingQueue)
    monkeypatch.setattr(ozu_mew, "Empty", Quiet)
    fd = station(closing, ends[0])
    fd.start()
    wait_until(lambda: len(waits) >= 3)
    assert fd._slave_thread.is_alive() and set(waits) == {0.1}
    fd.stop()  # while Quiet is still the module's Empty
    assert run_fresh("""
        import threading
        import ozu_mew
        from link_helpers import QuietQueue
        from slave_helpers import StorageStation, pipe_pair, wait_until
        ended = []
        threading.excepthook = lambda args: ended.append(args.exc_value)
        ozu_mew.Queue = QuietQueue
        del ozu_mew.Empty
        fd = StorageStation(pipe_pair("fdempty")[0], timeout=0.05)
        fd.start()
        wait_until(lambda: not fd._slave_thread.is_alive())
        fd.close()
        [error] = ended
        print(error, "/", type(error.__context__).__name__)
        """) == ["name 'Empty' is not defined / Quiet"]
