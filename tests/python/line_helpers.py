"""Helpers that the link, master, station and port tests share: frames with checks, small waits,
open descriptors."""
import os
import time


def with_check(body):
    """The frame `body` with its block check digits and terminator."""
    crc = 0
    for b in body.encode():
        crc ^= b
    return "%s%02X\r" % (body, crc)


def wait_until(predicate, timeout=3.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time")
        time.sleep(0.005)


def open_fds():
    """The descriptors this process has open (Linux)."""
    return set(os.listdir("/proc/self/fd"))
