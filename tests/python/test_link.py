"""MewBase: device-name routing, lifecycle of the receiver thread, sorting of frames, diagnostics."""
import threading

import pytest

import ozu_mew
from link_helpers import (ListenerLog, Recorder, ScriptedChannel, capture_err, started_link,
                          wait_until, with_check)

ANSWER = with_check("%01$RC1")
ERROR_ANSWER = with_check("%01!42")
REQUEST = with_check("%01#RCSR0012")


@pytest.fixture
def routes(monkeypatch):
    serial, dual = Recorder(), Recorder()
    monkeypatch.setattr(ozu_mew, "MewSerial", serial)
    monkeypatch.setattr(ozu_mew, "DualSerial", dual)
    return serial, dual


@pytest.fixture
def link():
    made = []

    def make(channel=None, cls=None, start=True):
        channel = channel or ScriptedChannel()
        obj = (cls or ozu_mew.MewBase)(channel)
        made.append(obj)
        if start:
            obj.start()
        return obj

    yield make
    for obj in made:
        obj._stop_flag = True
        if obj._receiver_thread is not None and obj._receiver_thread is not threading.current_thread():
            obj._receiver_thread.join(2)


# ---------------------------------------------------------------- routing

@pytest.mark.parametrize("name", ["COM3", "com3", "Com3", "/dev/ttyUSB0", "/DEV/TTYS1", "hidcom1",
                                  "HidCom7", "brix:pipe:p:a", "BRIX://127.0.0.1:1"])
def test_single_names_make_a_serial_channel_with_a_default_timeout(routes, name):
    serial, dual = routes
    link = ozu_mew.MewBase(name)
    assert dual.calls == []
    assert serial.calls == [((), {"port": name, "timeout": 1.0})]
    assert list(serial.calls[0][1]) == ["port", "timeout"]
    assert link.dev_handle.port == name and link.channel_name == name


@pytest.mark.parametrize("given", [0.5, None, 0, "x"])
def test_a_given_timeout_passes_unchanged(routes, given):
    serial, _ = routes
    ozu_mew.MewBase("COM3", timeout=given, encoding="ascii", baudrate=9600)
    args, kwargs = serial.calls[0]
    assert args == () and kwargs == {"timeout": given, "encoding": "ascii", "baudrate": 9600, "port": "COM3"}
    assert kwargs["timeout"] is given


@pytest.mark.parametrize("name, kwargs", [("COM1,COM2", {}), ("foo,bar", {}), ("LPT1,", {"timeout": 2}),
                                          ("a,b,c", {"encoding": "ascii"})])
def test_pairs_make_a_dual_channel_without_a_default_timeout(routes, name, kwargs):
    serial, dual = routes
    ozu_mew.MewBase(name, **kwargs)
    assert serial.calls == []
    assert dual.calls == [((name,), kwargs)]


@pytest.mark.parametrize("name", ["LPT1", "", "tty0", " COM1", "usb"])
def test_unknown_names_are_refused_before_anything_opens(routes, name):
    serial, dual = routes
    with pytest.raises(ValueError) as info:
        ozu_mew.MewBase(name)
    assert str(info.value) == "Unknown device name: %s" % name
    assert serial.calls == dual.calls == []


def test_channel_errors_pass_unchanged(monkeypatch):
    error = OSError(2, "no such port")
    monkeypatch.setattr(ozu_mew, "MewSerial", Recorder(error=error))
    with pytest.raises(OSError) as info:
        ozu_mew.MewBase("COM9")
    assert info.value is error


def test_a_channel_object_is_taken_as_it_is(routes):
    serial, dual = routes
    channel = ScriptedChannel(port="MINE")
    link = ozu_mew.MewBase(channel, timeout=3, anything=object())
    assert serial.calls == dual.calls == []
    assert link.dev_handle is channel and link._channel is channel
    assert link.channel_name == "MINE"


def test_attributes_are_set_in_order_with_the_module_lock(monkeypatch):
    made = []
    real_lock = ozu_mew.Lock

    def lock():
        made.append(real_lock())
        return made[-1]

    monkeypatch.setattr(ozu_mew, "Lock", lock)
    link = ozu_mew.MewBase(ScriptedChannel())
    assert list(vars(link)) == ["_channel", "_stop_flag", "_feedback_listeners", "_query_listeners",
                                "_listener_lock", "_sender_lock", "_receiver_thread"]
    assert link._stop_flag is True and link._receiver_thread is None
    assert link._feedback_listeners == [] and link._query_listeners == []
    assert made == [link._listener_lock, link._sender_lock]


def test_members_are_declared_in_order():
    own = [n for n in vars(ozu_mew.MewBase) if not n.startswith("__") or n == "__init__"]
    assert own == ["__init__", "dev_handle", "channel_name", "start", "stop", "close", "_receiver", "_send"]
    assert isinstance(vars(ozu_mew.MewBase)["dev_handle"], property)


# ---------------------------------------------------------------- lifecycle

def test_start_makes_one_plain_thread_after_discarding_input(monkeypatch, link):
    made = []
    real_thread = ozu_mew.Thread

    def thread(*args, **kwargs):
        made.append((args, kwargs))
        return real_thread(*args, **kwargs)

    monkeypatch.setattr(ozu_mew, "Thread", thread)
    channel = ScriptedChannel()
    seen = []
    channel.on_reset = lambda: seen.append(lnk._receiver_thread.is_alive())
    lnk = link(channel, start=False)
    lnk.start()
    lnk.start()
    assert len(made) == 1 and made[0][0] == ()
    assert list(made[0][1]) == ["target"] and made[0][1]["target"] == lnk._receiver
    assert seen == [False] and channel.resets == 1
    assert lnk._stop_flag is False and lnk._receiver_thread.is_alive()
    assert not lnk._receiver_thread.daemon and lnk._receiver_thread.name.startswith("Thread-")


def test_stop_start_and_close():
    channel = ScriptedChannel()
    lnk = ozu_mew.MewBase(channel)
    before = threading.active_count()
    lnk.stop()  # nothing running: returns at once
    lnk.start()
    first = lnk._receiver_thread
    lnk.stop()
    assert not first.is_alive() and lnk._stop_flag is True
    lnk.start()
    assert lnk._receiver_thread is not first and channel.resets == 2
    lnk.close()
    assert not lnk._receiver_thread.is_alive() and channel.closed
    assert threading.active_count() == before


def test_close_uses_the_objects_own_stop():
    calls = []

    class Derived(ozu_mew.MewBase):
        def stop(self):
            calls.append("stop")
            ozu_mew.MewBase.stop(self)

    channel = ScriptedChannel()
    lnk = Derived(channel)
    lnk.start()
    lnk.close()
    assert calls == ["stop"] and channel.closed and not lnk._receiver_thread.is_alive()


@pytest.mark.parametrize("how", ["stop", "close"])
def test_stopping_from_inside_a_listener_ends_the_thread(link, how):
    channel = ScriptedChannel()
    lnk = link(channel)
    log = []
    lnk._feedback_listeners.append(ListenerLog(log, "a", hook=lambda f: getattr(lnk, how)()))
    lnk._feedback_listeners.append(ListenerLog(log, "b"))
    channel.feed(ANSWER + ANSWER)
    lnk._receiver_thread.join(2)
    assert not lnk._receiver_thread.is_alive()
    assert log == [("a", ANSWER), ("b", ANSWER)]  # the frame in hand is delivered, no more
    assert lnk._stop_flag is True and channel.closed == (how == "close")


def test_a_failed_start_leaves_the_link_idle_and_closable(monkeypatch):
    channel = ScriptedChannel()
    error = OSError("port gone")

    def fail():
        raise error

    channel.on_reset = fail
    lnk = ozu_mew.MewBase(channel)
    before = threading.active_count()
    with pytest.raises(OSError) as info:
        lnk.start()
    assert info.value is error
    assert lnk._stop_flag is True and lnk._receiver_thread is None
    lnk.stop()
    lnk.close()
    assert channel.closed and threading.active_count() == before
    channel.on_reset = None
    lnk.start()  # and it can still be started once the port works
    assert lnk._receiver_thread.is_alive()
    lnk.stop()


def test_a_failing_read_ends_the_thread_as_an_unhandled_exception(monkeypatch, link):
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args))
    channel = ScriptedChannel()
    error = OSError("device unplugged")
    lnk = link(channel)
    channel.read_error = error
    lnk._receiver_thread.join(2)
    assert not lnk._receiver_thread.is_alive()
    assert len(reported) == 1 and reported[0].exc_value is error
    assert reported[0].thread is lnk._receiver_thread
    assert lnk._stop_flag is False  # broken: start() does nothing, stop() returns at once
    lnk.start()
    assert not lnk._receiver_thread.is_alive()
    lnk.stop()
    assert lnk._stop_flag is True


# ---------------------------------------------------------------- sorting and diagnostics

def test_answers_reach_every_feedback_listener_in_order(monkeypatch, link):
    err = capture_err(monkeypatch)
    channel = ScriptedChannel()
    lnk = link(channel)
    log = []
    lnk._feedback_listeners.extend([ListenerLog(log, "first"), ListenerLog(log, "second")])
    lnk._query_listeners.append(ListenerLog(log, "slave"))
    channel.feed(ANSWER + ERROR_ANSWER + REQUEST)
    wait_until(lambda: len(log) == 5)
    assert log == [("first", ANSWER), ("second", ANSWER), ("first", ERROR_ANSWER), ("second", ERROR_ANSWER),
                   ("slave", REQUEST)]
    assert err.getvalue() == ""


def test_listeners_are_called_under_the_listener_lock(link):
    channel = ScriptedChannel()
    lnk = link(channel)
    held = []
    lnk._feedback_listeners.append(ListenerLog([], "a", hook=lambda f: held.append(lnk._listener_lock.locked())))
    channel.feed(ANSWER)
    wait_until(lambda: held)
    assert held == [True]


@pytest.mark.parametrize("line, expected", [
    (ANSWER, ""),
    (REQUEST, "MewBase:COM3:No query listener. Drop frame.\n"),
    # a frame starts at its "%": what comes before one is dropped and shown once
    ("\r" + ANSWER, "MewBase:COM3:Dropped 1 byte before a frame:b'\\r'\n"),
    ("\x00\n\r" + REQUEST, "MewBase:COM3:Dropped 3 bytes before a frame:b'\\x00\\n\\r'\n"
                          "MewBase:COM3:No query listener. Drop frame.\n"),
    (with_check("%01%RC1"), "MewBase:COM3:Dropped 3 bytes before a frame:b'%01'\n"
                            "MewBase: Unknown frame type:" + with_check("%01%RC1")[-1] + "\n"),
    ("%01$R" + ANSWER, "MewBase:COM3:Dropped 5 bytes before a frame:b'%01$R'\n"),
    ("%", "IOError:COM3:Error: device no response.:COM3\n"),
    ("%01$RC", "IOError:COM3:Error: device response format invalid.:COM3\n"),
])
def test_frames_nobody_takes_and_line_errors(monkeypatch, link, line, expected):
    err = capture_err(monkeypatch)
    pauses = []
    monkeypatch.setattr(ozu_mew, "sleep", lambda s: pauses.append(s))
    channel = ScriptedChannel()
    lnk = link(channel)
    channel.feed(line)
    log = []
    lnk._feedback_listeners.append(ListenerLog(log, "late"))  # proves the loop goes on afterwards
    wait_until(lambda: err.getvalue() == expected and (expected or not channel._bytes.qsize()))
    channel.feed(ANSWER)
    wait_until(lambda: log)
    assert err.getvalue() == expected
    assert pauses == ([0.1] if expected.startswith("IOError") else [])


@pytest.mark.parametrize("failure, text", [(KeyError("k"), "'k'"), (RuntimeError("boom"), "boom")])
def test_a_failing_listener_is_reported_and_the_rest_skip_that_frame(monkeypatch, link, failure, text):
    err = capture_err(monkeypatch)
    pauses = []
    monkeypatch.setattr(ozu_mew, "sleep", lambda s: pauses.append(s))
    channel = ScriptedChannel()
    lnk = link(channel)
    log = []
    lnk._feedback_listeners.extend([ListenerLog(log, "bad", fail=failure), ListenerLog(log, "good")])
    channel.feed(ANSWER)
    wait_until(lambda: err.getvalue())
    assert err.getvalue() == "Ignore unhandled exception:COM3:%s\n" % text
    lnk._feedback_listeners.pop(0)
    channel.feed(ERROR_ANSWER)
    wait_until(lambda: len(log) == 2)
    assert log == [("bad", ANSWER), ("good", ERROR_ANSWER)] and pauses == []
    assert not lnk._listener_lock.locked()


@pytest.mark.parametrize("rest, expected", [
    (ValueError("odd"), "Ignore unhandled exception:COM3:odd\n"),
    (OSError("line noise"), "IOError:COM3:line noise\n"),
    ("23", "Ignore unhandled exception:COM3:string index out of range\n"),  # no type, no "\r"
    (None, 'Ignore unhandled exception:COM3:can only concatenate str (not "NoneType") to str\n'),
])
def test_what_receive_frame_gives_or_raises(monkeypatch, link, rest, expected):
    err = capture_err(monkeypatch)
    monkeypatch.setattr(ozu_mew, "sleep", lambda s: None)
    channel = ScriptedChannel()

    def receive_frame():
        if isinstance(rest, Exception):
            raise rest
        return rest

    channel.receive_frame = receive_frame
    lnk = link(channel)
    channel.feed("%")
    wait_until(lambda: err.getvalue())
    lnk.stop()
    assert err.getvalue() == expected


def test_diagnostics_go_to_the_current_err(monkeypatch, link):
    first = capture_err(monkeypatch)
    channel = ScriptedChannel()
    link(channel)
    channel.feed(REQUEST)
    wait_until(lambda: first.getvalue())
    second = capture_err(monkeypatch)
    channel.feed(REQUEST)
    wait_until(lambda: second.getvalue())
    assert first.getvalue() == second.getvalue() == "MewBase:COM3:No query listener. Drop frame.\n"


# ---------------------------------------------------------------- sending

def test_send_writes_under_the_sender_lock_and_releases_it_on_failure():
    channel = ScriptedChannel()
    lnk = ozu_mew.MewBase(channel)
    held = []
    channel.responder = lambda frame: held.append(lnk._sender_lock.locked())
    assert lnk._send(REQUEST) is None
    assert channel.sent == [REQUEST] and held == [True]
    error = OSError("write failed")

    def broken(frame):
        raise error

    channel.responder = broken
    with pytest.raises(OSError) as info:
        lnk._send(data=REQUEST)
    assert info.value is error and not lnk._sender_lock.locked()


@pytest.mark.parametrize("data, got", [(b"%01", "bytes"), (None, "NoneType"), (1, "int")])
def test_send_takes_text_only(data, got):
    channel = ScriptedChannel()
    lnk = ozu_mew.MewBase(channel)
    with pytest.raises(TypeError) as info:
        lnk._send(data)
    assert str(info.value) == "Argument 'data' has incorrect type (expected str, got %s)" % got
    assert channel.sent == []
