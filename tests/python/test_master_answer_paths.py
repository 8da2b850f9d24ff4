"""The master's answer checks made by the core (the module's own codec class) and through a codec
class that is replaced: every answer must end the same way on both, result or exception, with the
same type, text, cause and station-error attributes."""
import os

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import ozu_mew
from link_helpers import ScriptedChannel, with_check

settings.register_profile("ozu", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("deep", max_examples=5000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("OZU_HYPOTHESIS", "ozu"))

STOCK = ozu_mew.MewStatic


class Inherited(STOCK):
    """Only inherits: every operation runs the stock code, called through the class."""


def _forwarding_class():
    """Every public operation replaced by a Python function that forwards to the stock one."""
    members = {}
    for name in dir(STOCK):
        value = getattr(STOCK, name)
        if name.startswith("_") or not callable(value):
            continue
        members[name] = staticmethod(lambda *a, _op=value, **k: _op(*a, **k))
    return type("Forwarding", (STOCK,), members)


Forwarding = _forwarding_class()


class DeliveringChannel(ScriptedChannel):
    """Hands the answer straight to the master's answer queue, so that it may hold any text."""

    def __init__(self, answer):
        super().__init__(port="P\udcff€")  # the port text keeps characters of every kind
        self.answer, self.master = answer, None

    def send_frame(self, data):
        super().send_frame(data)
        for listener in list(self.master._feedback_listeners):
            listener.put(self.answer)


def _outcome(request, answer, codec_class):
    channel = DeliveringChannel(answer)
    m = channel.master = ozu_mew.MewMasterBase(channel, query_timeout=0)
    with pytest.MonkeyPatch.context() as patch:
        if codec_class is not STOCK:
            patch.setattr(ozu_mew, "MewStatic", codec_class)
        try:
            return ("result", m.query(request))
        except Exception as e:  # noqa: BLE001 - compared below, whatever it is
            cause = e.__cause__
            attrs = tuple(getattr(e, a, "-") for a in ("code", "station", "command"))
            return ("raised", type(e), str(e), type(cause), str(cause), attrs, channel.sent)
        finally:
            assert m._feedback_listeners == [] and not m._query_lock.locked()


def _same_on_every_path(request, answer):
    stock = _outcome(request, answer, STOCK)
    assert _outcome(request, answer, Inherited) == stock
    assert _outcome(request, answer, Forwarding) == stock
    return stock


RCS = with_check("%01#RCSR0012")
REQUESTS = [
    RCS,
    "%01#RCSR0012**",                   # terminator added by the query
    with_check("%1F#RDD0000000001"),
    with_check("%" + "7" * 30 + "#RDD0000000001"),  # a station beyond 64 bits
    "%0G#RCSR0012**\r",                 # the request's own station does not read
    "%01**\r",                          # no type character, no command letters
    "%01#R",
]

# One case of each way out, in the order the checks are made.
TABLE = [
    ("%01$RC120\r", "result"),
    (with_check("%1$RC1"), "result"),
    ("%01$RC1**\r", "result"),
    ("X01$RC120\r", "begin with [X]"),
    ("\U0001F600" + "01$RC120\r", "begin with [\U0001F600]"),
    ("%01$RC\r", "length too small:[7]"),
    ("%01$RC1FF\r", "block check mismatch"),
    ("%01$RC1*1\r", "block check mismatch"),
    ("%01$RC\udc8000\r", "surrogates not allowed"),
    (with_check("%02$RC1"), "station not match:expected 1, got 2"),
    (with_check("%" + "7" * 30 + "$RC1"), "station not match:expected 1, got %d" % int("7" * 30, 16)),
    ("%01!4203\r", ":MEW communication error code(hex):[42]"),
    (with_check("%01!z\u0100"), ":MEW communication error code(hex):[z\u0100]"),
    (with_check("%01$WC"), "command not match:expected RC, got WC"),
    ("%0G$RC120\r", "invalid literal for int() with base 16: '0G'"),
    ("", "invalid literal for int() with base 16: ''"),
    ("%01234567**\r", "invalid literal for int() with base 16: '01234567**'"),
    ("%01\U0001F600RC120\r", "invalid literal for int() with base 16"),
]


@pytest.mark.parametrize("answer, expected", TABLE)
def test_each_way_out_is_the_same_on_both_paths(answer, expected):
    outcome = _same_on_every_path(RCS, answer)
    if expected == "result":
        assert outcome[0] == "result"
    else:
        assert outcome[0] == "raised" and expected in outcome[2]


@pytest.mark.parametrize("request_", REQUESTS)
def test_requests_of_every_shape_are_checked_alike(request_):
    for answer in ["%01$RC120\r", "%01!4203\r", with_check("%1F$RD0000"), with_check("%02$RC1"), "X\r"]:
        _same_on_every_path(request_, answer)


def test_a_str_subclass_or_a_non_text_answer_takes_the_path_through_the_class():
    class Text(str):
        pass

    for answer in [Text("%01$RC120\r"), Text(with_check("%02$RC1")), b"%01$RC120\r", ["%", "0", "1"]]:
        _same_on_every_path(RCS, answer)
    _same_on_every_path(Text(RCS), "%01$RC120\r")


ANSWER_CHARS = "%$!#*\r01234567890ABCDEFabcdefRCDWSXG"


@st.composite
def answers(draw):
    """Answers of the right shape with a few characters replaced, inserted or removed."""
    station = draw(st.sampled_from(["01", "1", "02", "1F", "0001", "7" * 30, "0G", ""]))
    kind = draw(st.sampled_from("$!#"))
    body = "%" + station + kind + draw(st.text("0123456789ABCDEFRCDWS", max_size=12))
    check = draw(st.sampled_from(["**", with_check(body)[-3:-1], "FF", "1*", "\udc80\udc80"]))
    frame = list(body + check + "\r")
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(frame)))
        char = draw(st.one_of(st.sampled_from(ANSWER_CHARS), st.characters()))
        if draw(st.booleans()):
            frame.insert(at, char)
        elif at < len(frame):
            del frame[at]
    return "".join(frame)


@given(request_=st.sampled_from(REQUESTS), answer=st.one_of(answers(), st.text(ANSWER_CHARS, max_size=16),
                                                            st.text(max_size=12)))
@example(request_=RCS, answer="%01$RC120\r")
def test_core_checks_and_checks_through_the_class_agree(request_, answer):
    _same_on_every_path(request_, answer)


@pytest.mark.parametrize("codec_class", [STOCK, Inherited, Forwarding], ids=["core", "inherited", "forwarding"])
def test_an_answer_from_another_exchange_leaves_this_ones_owed_on_both_paths(codec_class, monkeypatch):
    # The first read is answered by another station at once, then by its own station late; the
    # second read must not take that late answer for its own.
    read = with_check("%01#RDD0010000100")
    script = iter([[(0, with_check("%02$RD0000")), (0.1, with_check("%01$RD1111"))],
                   [(0.3, with_check("%01$RD2222"))]])
    if codec_class is not STOCK:
        monkeypatch.setattr(ozu_mew, "MewStatic", codec_class)
    m = ozu_mew.MewMasterBase(ScriptedChannel(responder=lambda frame: next(script)), query_timeout=1)
    m.start()
    try:
        with pytest.raises(ozu_mew.MewAnswerError, match="station not match:expected 1, got 2"):
            m.query(read)
        assert m.query(read) == "RD2222"
    finally:
        m.stop()
