"""Faults on real lines: noise, hang-ups, slow stations, failing listeners and ports. After each,
the library has said what happened, answers the next valid frame, and has left no thread, port
or memory behind."""
import os
import random
import threading
import time
import tracemalloc

import pytest

import ozu_brix
import ozu_mew
from fault_helpers import (LINE, FlakyPort, PtyPeer, Station, err_lines, no_leaks, open_fds,  # noqa: F401
                           out_lines, read_request, rss_kb, wait_until, with_check)

S = ozu_mew.MewStatic
GAP = LINE * 4  # the line is quiet for longer than a port's per-byte time-out


def answer_of(request, words):
    return with_check(request[:3] + "$RD" + "".join("%02X%02X" % (w & 0xFF, w >> 8) for w in words))


@pytest.fixture
def station_on_pty(no_leaks):
    """(station, far end): a station on the terminal side of a pty, register DT100 = 0x1234."""
    peer = no_leaks(PtyPeer())
    station = no_leaks(Station(ozu_mew.MewSerial(port=peer.path, timeout=LINE)))
    station.registers[100] = 0x1234
    return station, peer


def _noise(rng, size):
    return bytes(rng.choice(b"%#$!*0123456789ABCDEFRDWCS \x00\xff\n") for _ in range(size))


NOISE = {
    # what goes on the line before a valid request, and how long the line then stays quiet
    "garbage, then quiet": (lambda rng: _noise(rng, 300), GAP),
    "garbage ended by a carriage return": (lambda rng: _noise(rng, 300) + b"\r", 0),
    "lone carriage return, then quiet": (lambda rng: b"\r", GAP),
    "three lone carriage returns, then quiet": (lambda rng: b"\r\r\r", GAP),
    "over-long frame": (lambda rng: b"%01#RDD" + b"0" * 3000 + b"\r", 0),
    "over-long noise, then quiet": (lambda rng: _noise(rng, 5000), GAP),
    "a request cut short, then quiet": (lambda rng: read_request()[:9].encode(), GAP),
}


@pytest.mark.parametrize("noise", NOISE)
def test_valid_requests_after_line_noise_are_answered(station_on_pty, noise, err_lines, out_lines):
    station, peer = station_on_pty
    make, pause = NOISE[noise]
    rng = random.Random(noise)
    request = read_request()
    for _ in range(3):
        peer.send(make(rng))
        time.sleep(pause)
        assert peer.ask(request) == answer_of(request, [0x1234])
    if "long" in noise:
        assert any(line.startswith("IOError:%s:Error: device response format invalid.:" % peer.path)
                   for line in err_lines.lines())
    if "quiet" in noise and "long" not in noise and "lone" not in noise:  # the frame was cut short by the quiet line
        assert any(line.startswith("IOError:%s:Error: device " % peer.path) for line in err_lines.lines())
    if "lone" in noise:  # passed over before the next frame, and shown
        assert any(line.startswith("MewBase:%s:Dropped " % peer.path) and line.endswith("\\r'")
                   for line in err_lines.lines())


@pytest.mark.parametrize("noise", [b"\r", b"\x00", b"\n", b"\x00\x00\n\r", b"%01#RDD001", b"#$!"])
def test_bytes_before_a_frame_do_not_take_it_with_them(station_on_pty, err_lines, noise):
    # Noise right before a request (a line turnaround's NUL, the LF of a CR LF device, half a
    # request): the request is answered, and the dropped bytes are shown once.
    station, peer = station_on_pty
    request = read_request()
    for _ in range(3):
        assert peer.ask(noise + request.encode()) == answer_of(request, [0x1234])
    shown = "MewBase:%s:Dropped %d byte%s before a frame:%r" % (peer.path, len(noise), "s" * (len(noise) != 1), noise)
    assert err_lines.lines() == [shown] * 3


def test_far_end_hanging_up_mid_frame_ends_the_receiver_and_close_cleans_up(no_leaks, err_lines, monkeypatch):
    ended = []
    monkeypatch.setattr(threading, "excepthook", lambda args: ended.append(args.exc_type))
    peer = no_leaks(PtyPeer())
    station = Station(ozu_mew.MewSerial(port=peer.path, timeout=LINE))
    request = read_request()
    assert peer.ask(request) == answer_of(request, [0])
    peer.send(request[:7])
    time.sleep(LINE / 2)  # the receiver is inside the frame
    peer.hang_up()
    wait_until(lambda: ended, timeout=3.0)
    # the rest of the frame could not be read: reported, then the next first character could
    # not be read either, which ends the receiver (the link is Broken)
    assert err_lines.lines() == ["IOError:%s:[Errno 5] device disconnected: %s" % (peer.path, peer.path)]
    assert ended == [OSError]
    assert not station._receiver_thread.is_alive() and station._stop_flag is False
    started = time.monotonic()
    station.close()
    assert time.monotonic() - started < 1.0
    assert not station.dev_handle._serial.is_open


def test_master_whose_far_end_hangs_up_times_out_and_closes(no_leaks, monkeypatch):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)
    peer = no_leaks(PtyPeer())
    master = no_leaks(ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=LINE), query_timeout=0.3))
    peer.hang_up()
    # the request cannot go out, or the link is already down (its receiver's read failed)
    with pytest.raises(OSError) as info:
        master.get_uint16(1, "DT100")
    assert str(info.value) in ("MewMasterBase:%s:link is down: OSError: [Errno 5] device disconnected: %s"
                               % (peer.path, peer.path), "[Errno 5] device disconnected: %s" % peer.path)
    wait_until(lambda: not master._receiver_thread.is_alive())  # Broken: its read failed


@pytest.fixture
def pipe_line(no_leaks, request):
    """(master, station) on the two ends of a fresh virtual null-modem."""
    name = "faults_%s_%d" % (request.node.name.split("[")[0][-20:], id(request))
    master = no_leaks(ozu_mew.MewMaster("brix:pipe:%s:a" % name, timeout=LINE, query_timeout=0.2))
    station = no_leaks(Station("brix:pipe:%s:b" % name, timeout=LINE))
    return master, station


def test_station_slower_than_the_query_time_out(pipe_line):
    master, station = pipe_line
    port = master.channel_name
    go_on = station.gate = threading.Event()
    with pytest.raises(IOError) as info:
        master.get_uint16(1, "DT100")  # the station is still in its read hook
    assert str(info.value) == "MewMasterBase:%s:device response timeout." % port
    # The late answer to the read is still owed when the write begins: the write waits for it
    # and drops it before it sends, so it gets its own answer.
    master._query_timeout = 3.0
    threading.Timer(0.1, go_on.set).start()
    master.set_uint16(1, "DT100", 7)
    assert station.registers.get(100) == 7
    master.set_uint16(1, "DT100", 8)
    assert master.get_uint16(1, "DT100") == 8
    assert master._feedback_listeners == []


class FailingListener:
    def __init__(self):
        self.frames = []

    def put(self, frame):
        self.frames.append(frame)
        raise RuntimeError("listener is full")


def test_a_failing_listener_is_reported_and_the_link_goes_on(pipe_line, err_lines):
    master, station = pipe_line
    port = master.channel_name
    failing = FailingListener()
    with master._listener_lock:
        master._feedback_listeners.append(failing)
    # registered before the query's own queue, it keeps the answer from it
    with pytest.raises(IOError, match="device response timeout"):
        master.get_uint16(1, "DT100")
    assert err_lines.lines() == ["Ignore unhandled exception:%s:listener is full" % port]
    with master._listener_lock:
        master._feedback_listeners.remove(failing)
    assert master.get_uint16(1, "DT100") == 0
    # registered after the query's queue (from inside the query's send, before the frame goes out),
    # the answer gets through
    send = master._send

    def listen_then_send(data):
        with master._listener_lock:
            master._feedback_listeners.append(failing)
        send(data)

    master._send = listen_then_send
    master.set_uint16(1, "DT100", 5)
    wait_until(lambda: len(err_lines.lines()) == 2)
    del master._send
    with master._listener_lock:
        master._feedback_listeners.remove(failing)
    assert master.get_uint16(1, "DT100") == 5
    assert len(failing.frames) == 2


def test_writes_that_fail_are_reported_and_the_next_ones_go_through(no_leaks, monkeypatch, out_lines):
    opened = []
    real_open = ozu_mew.create_serial_instance
    monkeypatch.setattr(ozu_mew, "create_serial_instance", lambda **kw: opened.append(FlakyPort(real_open(**kw))) or opened[-1])
    station = no_leaks(Station("brix:pipe:flaky:b", timeout=LINE))
    master = no_leaks(ozu_mew.MewMaster("brix:pipe:flaky:a", timeout=LINE, query_timeout=0.3))
    station_port, master_port = opened

    station_port.failing = True  # the station cannot answer: the master times out, the station says why
    with pytest.raises(IOError, match="device response timeout"):
        master.get_uint16(1, "DT100")
    wait_until(lambda: out_lines.lines())
    assert out_lines.lines() == ["Unexpected exception from mew slave side:[Errno 5] Input/output error: "
                                 "brix:pipe:flaky:b"]
    station_port.failing = False
    master.set_uint16(1, "DT100", 3)

    master_port.failing = True  # the master's request cannot go out: the caller gets the error at once
    with pytest.raises(OSError, match="Input/output error"):
        master.get_uint16(1, "DT100")
    assert master._feedback_listeners == []
    master_port.failing = False
    assert master.get_uint16(1, "DT100") == 3
    assert len(out_lines.lines()) == 1


def test_closed_links_give_their_ports_back(pipe_line):
    master, station = pipe_line
    names = [master.channel_name, station.channel_name.split("[")[-1].rstrip("]")]
    master.close()
    station.close()
    for name in names:  # each end of a null-modem opens once at a time
        ozu_brix.create_serial_instance(port=name, timeout=0).close()
    fds = len(open_fds())
    for _ in range(20):
        peer = PtyPeer()
        master = ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=LINE), query_timeout=0.2)
        Station("brix:pipe:again:b", timeout=LINE).close()
        master.close()
        peer.close()
    assert len(open_fds()) <= fds  # closed objects still referenced hold no descriptor


def test_no_growth_over_many_noisy_exchanges(station_on_pty, err_lines, out_lines):
    station, peer = station_on_pty
    rng = random.Random(5)
    request = read_request()
    expected = answer_of(request, [0x1234])

    def exchanges(count):
        for i in range(count):
            peer.send(_noise(rng, 3000 if i % 25 == 0 else 40) + b"\r")
            assert peer.ask(request) == expected

    exchanges(150)  # warm-up: caches, free lists, the diagnostic streams
    err_lines.truncate(0)
    err_lines.seek(0)
    tracemalloc.start()
    try:
        before, rss_before = tracemalloc.take_snapshot(), rss_kb()
        exchanges(600)
        after, rss_after = tracemalloc.take_snapshot(), rss_kb()
    finally:
        tracemalloc.stop()
    growth = [d for d in after.compare_to(before, "filename") if d.count_diff > 0]
    kept = sum(d.count_diff for d in growth if "fault_helpers" not in d.traceback[0].filename)
    print("objects kept: %d; RSS %d -> %d kB" % (kept, rss_before, rss_after))
    assert kept < 300, growth[:5]  # one object kept per exchange would be 600
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan holds freed memory back on purpose
        assert rss_after - rss_before < 4096, (rss_before, rss_after)
