"""MewMasterBase: the query, its time-out, the order of its answer checks and its lock."""
import threading
import time

import pytest

import ozu_mew
from link_helpers import Quiet, QuietQueue, Recorder, ScriptedChannel, run_fresh, wait_until, with_check

RCS = with_check("%01#RCSR0012")


@pytest.fixture
def master():
    made = []

    def make(responder=None, port="COM3", **kwargs):
        kwargs.setdefault("query_timeout", 0.3)
        channel = ScriptedChannel(port=port, responder=responder)
        m = ozu_mew.MewMasterBase(channel, **kwargs)
        m.start()
        made.append(m)
        return m

    yield make
    for m in made:
        m.stop()


def answering(*answers):
    it = iter(answers)
    return lambda frame: next(it)


def test_init_takes_query_timeout_out_and_passes_the_rest(monkeypatch):
    serial = Recorder()
    monkeypatch.setattr(ozu_mew, "MewSerial", serial)
    m = ozu_mew.MewMasterBase("COM3", query_timeout=3, timeout=0.5)
    assert serial.calls == [((), {"timeout": 0.5, "port": "COM3"})]
    assert m._query_timeout == 3
    assert list(vars(m)) == ["_query_timeout", "_channel", "_stop_flag", "_feedback_listeners", "_query_listeners",
                             "_listener_lock", "_sender_lock", "_receiver_thread", "_query_lock"]
    default = ozu_mew.MewMasterBase(ScriptedChannel())
    assert default._query_timeout == 1 and type(default._query_timeout) is int
    assert default._receiver_thread is None  # not started by its initialisation


@pytest.mark.parametrize("command", ["%01#RCSR001214", "%01#RCSR001214\r"])
def test_query_adds_only_the_terminator_and_returns_the_command_part(master, command):
    m = master(answering("%01$RC120\r"))
    assert m.query(command) == "RC1"
    assert m.dev_handle.sent == ["%01#RCSR001214\r"]
    assert m._feedback_listeners == [] and not m._query_lock.locked()


@pytest.mark.parametrize("request_, answer, result", [
    ("%01#WCSR00121**", "%01$WC14\r", "WC"),             # the shortest answer
    ("%01#RCSR0012**", "%01$RC1**\r", "RC1"),            # check skipped
    ("%01#RCSR0012**", with_check("%1$RC1"), "RC1"),     # one-digit station
    ("%01#RDD0010000100**", "%01$RD00081e\r", "RD0008"),  # check digits in either case
    ("%01#RDD0010000100**", "%01$RD00081E\r", "RD0008"),
    ("%0A#RDD0010000100**", with_check("%A$RDcdab"), "RDcdab"),
])
def test_accepted_answers(master, request_, answer, result):
    m = master(answering(answer))
    assert m.query(request_) == result


ANSWER_ERR = ozu_mew.MewAnswerError


@pytest.mark.parametrize("answer, error, message", [
    ("X01$RC120\r", ANSWER_ERR, "Error:COM3:device response format invalid:begin with [X]"),
    ("%01$RC\r", ANSWER_ERR, "Error:COM3:device response format invalid:length too small:[7]"),
    ("%01$RC1FF\r", ANSWER_ERR, "Error:COM3:device response format invalid:block check mismatch"),
    ("%01$RC1ZZ\r", ANSWER_ERR, "Error:COM3:device response format invalid:block check mismatch"),
    ("%01$RC1*1\r", ANSWER_ERR, "Error:COM3:device response format invalid:block check mismatch"),
    (with_check("%02$RC1"), ANSWER_ERR, "Error:COM3:station not match:expected 1, got 2"),
    (with_check("%02!42"), ANSWER_ERR, "Error:COM3:station not match:expected 1, got 2"),
    ("%01!4203\r", ozu_mew.MewStationError, "COM3:MEW communication error code(hex):[42]"),
    (with_check("%01$WC"), ANSWER_ERR, "Error:COM3:command not match:expected RC, got WC"),
    (with_check("%01$RD3412"), ANSWER_ERR, "Error:COM3:command not match:expected RC, got RD"),
    ("%0G$RC120\r", ozu_mew.MewAnswerValueError, "invalid literal for int() with base 16: '0G'"),
    ("X0G$RC120\r", ozu_mew.MewAnswerValueError, "invalid literal for int() with base 16: '0G'"),  # station first
    ("X01$RC\r", ANSWER_ERR, "Error:COM3:device response format invalid:begin with [X]"),  # header before length
    ("%02$R\r", ANSWER_ERR, "Error:COM3:device response format invalid:length too small:[6]"),
    ("%02$RC1FF\r", ANSWER_ERR, "Error:COM3:device response format invalid:block check mismatch"),
    ("%01234567**\r", ozu_mew.MewAnswerValueError, "invalid literal for int() with base 16: '01234567**'"),
])
def test_answer_checks_in_order(answer, error, message):
    # Handed straight to the answer queue: on a line, text that does not begin with "%" never
    # reaches a master.
    channel = DeliveringChannel(answer)
    m = channel.master = ozu_mew.MewMasterBase(channel, query_timeout=0)
    with pytest.raises(OSError) as info:
        m.query(RCS)
    assert str(info.value) == message and type(info.value) is error
    assert m._feedback_listeners == [] and not m._query_lock.locked()
    if isinstance(info.value, (ValueError, IndexError)):  # what parsing raised, kept as the cause
        cause = info.value.__cause__
        assert type(cause) is error.__bases__[1] and str(cause) == message


def test_error_answers_carry_code_station_and_command():
    for answer, code in [("%01!4203\r", 0x42), (with_check("%01!02"), 2), (with_check("%01!zz"), None)]:
        channel = DeliveringChannel(answer)
        m = channel.master = ozu_mew.MewMasterBase(channel, query_timeout=0)
        with pytest.raises(ozu_mew.MewStationError) as info:
            m.query(RCS)
        assert (info.value.code, info.value.station, info.value.command) == (code, 1, "RC")


def test_line_answers_fail_with_their_types(master):
    # Over the scripted line: the checks' failures are typed, with the messages they always had.
    m = master(answering(None, "%01$RC\r", "%01!4203\r", "%0G$RC120\r", "%01$RC120\r"), query_timeout=0.05)
    for error, text in [(ozu_mew.MewTimeoutError, "MewMasterBase:COM3:device response timeout."),
                        (ANSWER_ERR, "Error:COM3:device response format invalid:length too small:[7]"),
                        (ozu_mew.MewStationError, "COM3:MEW communication error code(hex):[42]"),
                        (ozu_mew.MewAnswerValueError, "invalid literal for int() with base 16: '0G'")]:
        with pytest.raises(error) as info:
            m.query(RCS)
        assert str(info.value) == text
    assert m.query(RCS) == "RC1"


class DeliveringChannel(ScriptedChannel):
    """Hands its answer straight to the master's answer queue, as the receiver would, so that the
    answer may hold text no serial line can carry."""

    def __init__(self, answer):
        super().__init__()
        self.answer, self.master = answer, None

    def send_frame(self, data):
        super().send_frame(data)
        for listener in list(self.master._feedback_listeners):
            listener.put(self.answer)


def test_the_codecs_own_block_check_failure_is_not_reported_as_a_mismatch():
    answer = "%01$RC\udc80" + "00\r"  # check field of two digits; the text cannot be encoded
    with pytest.raises(UnicodeEncodeError) as direct:
        ozu_mew.MewStatic.crc_is_ok(answer)
    channel = DeliveringChannel(answer)
    m = channel.master = ozu_mew.MewMasterBase(channel, query_timeout=0)
    with pytest.raises(UnicodeEncodeError) as info:
        m.query(RCS)
    assert str(info.value) == str(direct.value)
    assert channel.sent == [RCS] and m._feedback_listeners == [] and not m._query_lock.locked()


def test_timeout_message_and_recovery(master):
    m = master(answering(None, "%01$RC120\r"), port="COM7", query_timeout=0.05)
    start = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        m.query(RCS)
    assert time.monotonic() - start >= 0.05
    assert str(info.value) == "MewMasterBase:COM7:device response timeout."
    assert m.query(RCS) == "RC1"


def test_zero_timeout_returns_at_once_and_none_waits_without_limit(master):
    m = master(lambda frame: [(0.3, "%01$RC120\r")], query_timeout=None)
    assert m.query(RCS) == "RC1"
    z = master(lambda frame: None, query_timeout=0)
    with pytest.raises(OSError, match="device response timeout"):
        z.query(RCS)


@pytest.mark.parametrize("value, error", [(-1, ValueError), ("soon", TypeError)])
def test_unusable_timeouts_fail_instead_of_waiting(master, value, error):
    m = master(lambda frame: None, query_timeout=value)
    with pytest.raises(error):
        m.query(RCS)
    assert m._feedback_listeners == []


def test_a_master_that_was_not_started_still_sends_and_times_out():
    channel = ScriptedChannel(responder=answering("%01$RC120\r"))
    m = ozu_mew.MewMasterBase(channel, query_timeout=0.05)
    with pytest.raises(OSError, match="^MewMasterBase:COM3:device response timeout.$"):
        m.query(RCS)
    assert channel.sent == [RCS]


def test_the_answer_queue_is_registered_before_sending_and_removed_after_a_failed_send(master, monkeypatch):
    made = []
    real_queue = ozu_mew.Queue

    def queue():
        made.append(real_queue())
        return made[-1]

    monkeypatch.setattr(ozu_mew, "Queue", queue)
    seen = []
    error = OSError("write failed")

    def responder(frame):
        seen.append(list(m._feedback_listeners))
        raise error

    m = master(responder)
    with pytest.raises(OSError) as info:
        m.query(RCS)
    assert info.value is error
    assert seen == [made] and m._feedback_listeners == []


def test_non_text_commands_fail_as_the_terminator_test_fails(master):
    m = master()
    with pytest.raises(AttributeError):
        m.query(5)
    with pytest.raises(TypeError):
        m.query(b"%01#RCSR001214\r")
    assert m.dev_handle.sent == [] and m._feedback_listeners == []


def test_query_runs_the_objects_own_query_under_the_lock(master):
    class Derived(ozu_mew.MewMasterBase):
        def _query(self, command):
            return ("held" if self._query_lock.locked() else "free", command)

    m = Derived(ScriptedChannel())
    assert m.query("x") == ("held", "x")
    assert not m._query_lock.locked()


def test_a_stale_answer_is_not_taken_for_the_next_command(master):
    # The read's answer comes late, just before the write's own answer.
    read, write = with_check("%01#RDD0010000100"), with_check("%01#WDD00100001003412")
    late, written = with_check("%01$RD3412"), with_check("%01$WD")
    m = master(answering(None, late + written, written), query_timeout=0.1)
    with pytest.raises(OSError, match="device response timeout"):
        m.query(read)
    with pytest.raises(OSError) as info:
        m.query(write)
    assert str(info.value) == "Error:COM3:command not match:expected WD, got RD"
    assert m.query(write) == "WD"


def test_queries_from_several_threads_take_turns_and_get_their_own_answers(master):
    outstanding = []
    overlaps = []

    def responder(frame):
        outstanding.append(frame)
        if len(outstanding) > 1:
            overlaps.append(frame)
        register = frame[7:12]
        answer = with_check("%01$RD" + "%02X00" % (int(register) % 256))

        def done():
            outstanding.remove(frame)
            m.dev_handle.feed(answer)

        timer = threading.Timer(0.005, done)
        timer.daemon = True
        timer.start()

    m = master(responder, query_timeout=2)
    results = {}

    def worker(n):
        for k in range(5):
            reg = n * 10 + k
            results[reg] = m.query(with_check("%%01#RDD%05d%05d" % (reg, reg)))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert overlaps == []
    assert results == {reg: "RD%02X00" % reg for reg in results} and len(results) == 20



def test_the_answer_wait_takes_the_module_empty_of_the_moment(master, monkeypatch):
    # `Empty` is looked up when the wait fails, as `except Empty:` does: a replaced one is the
    # time-out; a missing one is a NameError raised while the queue's error is handled.
    monkeypatch.setattr(ozu_mew, "Queue", QuietQueue)
    m = master(query_timeout=0.05)
    monkeypatch.setattr(ozu_mew, "Empty", Quiet)
    with pytest.raises(ozu_mew.MewTimeoutError):
        m.query(RCS)
    assert m._feedback_listeners == [] and not m._query_lock.locked()
    assert run_fresh("""
        import ozu_mew
        from link_helpers import QuietQueue, ScriptedChannel, with_check
        ozu_mew.Queue = QuietQueue
        del ozu_mew.Empty
        m = ozu_mew.MewMasterBase(ScriptedChannel(), query_timeout=0.05)
        m.start()
        try:
            m.query(with_check("%01#RCSR0012"))
        except NameError as e:
            print(e, "/", type(e.__context__).__name__, "/", m._feedback_listeners, m._query_lock.locked())
        m.stop()
        """) == ["name 'Empty' is not defined / Quiet / [] False"]
