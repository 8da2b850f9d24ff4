"""The link's locks are entered as `with` statements are: __exit__ sees the error of the block, and
its verdict (pass the error on, swallow it, or raise its own) applies as the interpreter applies it."""
import threading

import pytest

import ozu_mew
from link_helpers import ScriptedChannel


class Manager:
    """A lock stand-in whose __exit__ records what it saw and answers as `verdict` says."""

    def __init__(self, verdict):
        self.verdict, self.seen = verdict, []

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.seen.append((exc_type, exc, tb))
        self.tb_is_the_exceptions = tb is (exc.__traceback__ if exc is not None else None)
        if self.verdict == "raise":
            raise ValueError("from __exit__")
        if self.verdict == "re-raise":
            raise exc
        if self.verdict == "swallow":
            return True
        if self.verdict == "bad truth":
            return BadTruth()
        return None


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class FailingChannel(ScriptedChannel):
    def __init__(self):
        super().__init__()
        self.error = KeyError("line")

    def send_frame(self, data):
        raise self.error


def link_with(channel, verdict):
    link = ozu_mew.MewBase(channel)
    link._sender_lock = Manager(verdict)
    return link


@pytest.mark.parametrize("verdict", ["pass", "swallow", "raise", "re-raise", "bad truth"])
def test_exit_sees_the_block_error_and_its_verdict_applies(verdict):
    channel = FailingChannel()
    link = link_with(channel, verdict)
    error = channel.error
    expected = {"pass": KeyError, "raise": ValueError, "re-raise": KeyError, "bad truth": ZeroDivisionError}
    if verdict == "swallow":
        assert link._send("%01#RCSX0001**\r") is None
    else:
        with pytest.raises(expected[verdict]) as info:
            link._send("%01#RCSX0001**\r")
    [(exc_type, exc, tb)] = link._sender_lock.seen
    # __exit__ gets the exception as an except clause would: normalised, with its traceback.
    assert exc_type is KeyError and exc is error and tb is not None and link._sender_lock.tb_is_the_exceptions
    if verdict in ("pass", "re-raise"):
        # The block's own error goes on, never made its own context.
        assert info.value is error and error.__context__ is None
    if verdict == "raise":
        assert info.value.__context__ is error


@pytest.mark.parametrize("verdict", ["pass", "swallow", "raise"])
def test_exit_after_a_clean_block_gets_three_nones(verdict):
    channel = ScriptedChannel()
    link = link_with(channel, verdict)
    if verdict == "raise":
        with pytest.raises(ValueError, match="from __exit__"):
            link._send("%01#RCSX0001**\r")
    else:
        assert link._send("%01#RCSX0001**\r") is None
    assert link._sender_lock.seen == [(None, None, None)] and channel.sent == ["%01#RCSX0001**\r"]


class StaticManager:
    """The same manager with __enter__ and __exit__ as static methods: members that are not
    method descriptors, so they are bound before the call instead of getting the manager in front."""

    def __init__(self, verdict):
        inner = self.inner = Manager(verdict)
        type(self).__enter__ = staticmethod(lambda: inner)
        type(self).__exit__ = staticmethod(lambda *exc: Manager.__exit__(inner, *exc))


@pytest.mark.parametrize("verdict", ["pass", "swallow", "raise", "re-raise"])
def test_members_that_are_not_method_descriptors_get_the_same_calls(verdict):
    channel = FailingChannel()
    link = ozu_mew.MewBase(channel)
    manager = type("Fresh", (StaticManager,), {})(verdict)
    link._sender_lock = manager
    if verdict == "swallow":
        assert link._send("%01#RCSX0001**\r") is None
    else:
        with pytest.raises((KeyError, ValueError)):
            link._send("%01#RCSX0001**\r")
    [(exc_type, exc, tb)] = manager.inner.seen
    assert exc_type is KeyError and exc is channel.error and manager.inner.tb_is_the_exceptions


def test_a_real_lock_is_released_after_a_failing_block_and_a_clean_one():
    for channel in (FailingChannel(), ScriptedChannel()):
        link = ozu_mew.MewBase(channel)
        lock = link._sender_lock = threading.Lock()
        try:
            link._send("%01#RCSX0001**\r")
        except KeyError:
            pass
        assert not lock.locked()
        assert lock.acquire(blocking=False)
