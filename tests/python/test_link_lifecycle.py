"""Links over their life: `with` blocks, prompt stops whatever the read time-out, and restarts that
never leave the previous run serving beside the new one."""
import os
import queue
import signal
import threading
import time

import pytest

import ozu_brix
import ozu_mew
from fault_helpers import PtyPeer
from link_helpers import ScriptedChannel, capture_err
from slave_helpers import RawPeer, StorageStation, call_from_receiver, closing, pipe_pair, wait_until  # noqa: F401
from slave_helpers import with_check

LINE = 0.05


class DemoStation(ozu_mew.RandomMewSlaveDemo):
    """The demonstration station with fixed register values, so answers can be checked."""

    def on_get_multi_coil_uint16(self, station, name, count):
        return [int(name[1:]) + i for i in range(count)]


def os_threads():
    return len(os.listdir("/proc/self/task"))


def runs_of(link):
    """The live threads serving `link` (its receivers and workers)."""
    return [t for t in threading.enumerate() if getattr(getattr(t, "_target", None), "__self__", None) is link]


# ------------------------------------------------------------------------------------ with


LINKS = {
    "MewBase": lambda port: ozu_mew.MewBase(port, timeout=LINE),
    "MewMaster": lambda port: ozu_mew.MewMaster(port, timeout=LINE),
    "MewFullDuplexBase": lambda port: StorageStation(port, timeout=LINE),
    "RandomMewSlaveDemo": lambda port: ozu_mew.RandomMewSlaveDemo(1, port, timeout=LINE),
}


@pytest.mark.parametrize("kind", sorted(LINKS))
def test_with_gives_the_link_as_it_is_and_closes_it(kind):
    threads = set(threading.enumerate())
    end, _ = pipe_pair("with")
    made = LINKS[kind](end)
    started = made._stop_flag is False
    with made as link:
        assert link is made
        assert (link._stop_flag is False) == started  # entering starts nothing
        link.start()
        assert link._receiver_thread.is_alive()
    assert link._stop_flag is True and not link._receiver_thread.is_alive()
    assert not link.dev_handle._serial.is_open
    assert set(threading.enumerate()) <= threads


def test_with_lets_the_exception_pass_after_closing():
    channel = ScriptedChannel()
    with pytest.raises(KeyError):
        with ozu_mew.MewBase(channel) as link:
            link.start()
            raise KeyError("boom")
    assert channel.closed and link._stop_flag is True and not link._receiver_thread.is_alive()
    assert link.__exit__(None, None, None) is None


def test_with_on_a_link_that_was_never_started_only_closes_the_channel():
    channel = ScriptedChannel()
    with ozu_mew.MewBase(channel) as link:
        pass
    assert channel.closed and link._receiver_thread is None and channel.resets == 0


# ----------------------------------------------------------------------------- prompt stop


def idle_master(kind, timeout, closing):
    """A started master on a quiet line of the given kind, made with read time-out `timeout`."""
    if kind == "pty":
        peer = closing(PtyPeer())  # its path is not a /dev/tty name: the channel is made here
        return ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=timeout))
    if kind == "pair":
        (w, _), (r, _) = pipe_pair("stopw"), pipe_pair("stopr")
        return ozu_mew.MewMaster(w + "," + r, timeout=timeout)
    return ozu_mew.MewMaster(pipe_pair("stop")[0], timeout=timeout)


@pytest.mark.timeout(30)
@pytest.mark.parametrize("kind", ["pipe", "pty", "pair"])
@pytest.mark.parametrize("timeout", [1.0, 3.0, None])
def test_close_wakes_the_pending_read(closing, kind, timeout):
    master = idle_master(kind, timeout, closing)
    time.sleep(0.1)  # the receiver is waiting for a first byte
    for action in (master.stop, master.start, master.close):
        began = time.monotonic()
        done = threading.Thread(target=action)
        done.start()
        done.join(1.0)  # 100 ms asked; a loaded machine gets a wide margin
        assert not done.is_alive(), "%s() still waits after %.1f s" % (action.__name__, time.monotonic() - began)
    assert not master._receiver_thread.is_alive()


@pytest.mark.timeout(30)
@pytest.mark.parametrize("kind", ["pipe", "pty"])
def test_stop_during_a_half_received_frame_on_a_silent_line(closing, monkeypatch, kind):
    """The line goes silent in the middle of a frame and reads never time out: stop() still ends
    the wait, and the half frame is reported as dropped instead of being kept or delivered."""
    err = capture_err(monkeypatch)
    if kind == "pty":
        peer = closing(PtyPeer())
        master = ozu_mew.MewMaster(ozu_mew.MewSerial(port=peer.path, timeout=None))
        send = peer.send
    else:
        ends = pipe_pair("half")
        master = ozu_mew.MewMaster(ends[0], timeout=None)
        send = closing(ozu_brix.create_serial_instance(port=ends[1])).write
    heard = queue.Queue()
    master._feedback_listeners.append(heard)
    send(b"%01$RC1\r%01$RD00")
    assert heard.get(timeout=5) == "%01$RC1\r"  # the receiver is past the first frame, inside the second
    time.sleep(0.2)
    stopping = threading.Thread(target=master.stop)
    stopping.start()
    stopping.join(2.0)  # within a slice of 50 ms; a loaded machine gets a wide margin
    assert not stopping.is_alive(), "stop() still waits for the rest of the frame"
    assert not master._receiver_thread.is_alive()
    assert heard.empty()
    assert err.getvalue().splitlines() == ["MewBase:%s:Dropped 8 bytes before a frame:b'%%01$RD00'" % master._channel.port]
    master.start()  # the next run starts at a frame boundary
    send(b"%01$RC0\r")
    assert heard.get(timeout=5) == "%01$RC0\r"
    master.close()


@pytest.mark.timeout(30)
def test_a_stopped_link_serves_again_after_a_prompt_stop(closing):
    ends = pipe_pair("again")
    station = closing(DemoStation(1, ends[1], timeout=None))
    station.start()
    master = closing(ozu_mew.MewMaster(ends[0], timeout=None, query_timeout=2.0))
    for _ in range(3):
        station.stop()
        master.stop()
        station.start()
        master.start()
        assert master.get_multi_uint16(1, "DT100", 3) == [100, 101, 102]


def test_stop_waits_for_the_read_of_a_callers_channel():
    """A caller's own channel is read through its methods: stop() waits for the read in progress."""
    reading, returned = threading.Event(), threading.Event()

    class SlowChannel(ScriptedChannel):
        def read(self, size=1):
            reading.set()
            time.sleep(0.3)
            returned.set()
            return ""

    link = ozu_mew.MewBase(SlowChannel())
    link.start()
    assert reading.wait(2)
    returned.clear()
    link.stop()
    assert returned.is_set() and not link._receiver_thread.is_alive()
    link.close()


# --------------------------------------------------------------------------------- restart


class RestartsFromItsHook:
    """Restarts itself from a hook: the first write of coil R0001 runs stop() then start()."""

    restarted = False

    def on_set_coil(self, station, name, value):
        if not self.restarted:
            self.restarted = True
            self.stop()
            self.start()
        super().on_set_coil(station, name, value)


class RestartingStation(RestartsFromItsHook, StorageStation):
    pass


class RestartingDemo(RestartsFromItsHook, DemoStation):
    pass


@pytest.mark.parametrize("cls", [RestartingStation, RestartingDemo], ids=["full_duplex", "demo"])
def test_station_restarted_from_its_hook_answers_each_request_once(closing, cls):
    ends = pipe_pair("rehook")
    station = closing(cls(ends[0], timeout=LINE) if cls is RestartingStation else cls(0, ends[0], timeout=LINE))
    station.start()
    first_worker = station._slave_thread
    peer = closing(RawPeer(ends[1]))
    assert peer.ask("%01#WCSR00011**\r") == with_check("%01$WC")
    assert station.restarted and station._slave_thread is not first_worker
    wait_until(lambda: not first_worker.is_alive())
    for n in range(10):
        answer = peer.ask(with_check("%%01#RDD%05d%05d" % (100 + n, 100 + n)))
        assert answer.startswith("%01$RD") and answer.endswith("\r")
        assert peer.receive(wait=0.15) == "", "request %d was answered twice" % n


def test_restart_from_the_receiver_leaves_one_receiver(closing):
    ends = pipe_pair("rerecv")
    link = closing(ozu_mew.MewMaster(ends[0], timeout=LINE))
    old = link._receiver_thread
    call_from_receiver(link, closing(RawPeer(ends[1])), lambda: (link.stop(), link.start()))
    assert link._receiver_thread is not old and link._receiver_thread.is_alive()
    wait_until(lambda: not old.is_alive())


class Interrupt(Exception):
    pass


@pytest.mark.timeout(60)
def test_interrupted_stops_then_starts_never_leave_two_runs(closing):
    """A storm of signals whose handler raises, as Ctrl-C does, while the main thread stops and
    starts a master and a station; afterwards one run of each serves and closes promptly."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run in the main thread only")
    ends = pipe_pair("storm")
    station = closing(DemoStation(1, ends[1], timeout=LINE))
    station.start()
    master = closing(ozu_mew.MewMaster(ends[0], timeout=LINE, query_timeout=2.0))

    # The handler raises only inside stop() and start(), once per arming, so the test's own lines
    # are never interrupted.
    armed = threading.Event()

    def raise_interrupt(signum, frame):
        if armed.is_set():
            armed.clear()
            raise Interrupt

    def interrupted(action):
        try:
            armed.set()
            action()
            armed.clear()
        except Interrupt:
            return True
        return False

    storming = threading.Event()
    storming.set()

    def storm():
        while storming.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            time.sleep(0.002)

    previous = signal.signal(signal.SIGUSR1, raise_interrupt)
    stormer = threading.Thread(target=storm)
    stormer.start()
    hits = 0
    try:
        ends_at = time.monotonic() + 1.5
        while time.monotonic() < ends_at:
            for link in (master, station):
                hits += interrupted(link.stop) + interrupted(link.start)
    finally:
        storming.clear()
        stormer.join()
        signal.signal(signal.SIGUSR1, previous)
    assert hits > 0
    master.start()
    station.start()
    for n in range(20):
        assert master.get_multi_uint16(1, "DT%d" % (200 + n), 2) == [200 + n, 201 + n]
    wait_until(lambda: len(runs_of(master)) == 1 and len(runs_of(station)) == 2)
    assert os_threads() == threading.active_count()  # no thread the interpreter lost count of
    for link in (master, station):
        began = time.monotonic()
        link.close()
        assert time.monotonic() - began < 1.0
