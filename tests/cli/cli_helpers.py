"""Helpers shared by the ozu-mew tests."""
import signal
import time


def wait_answering(cli, device, station=1):
    deadline = time.monotonic() + 10
    while True:
        got = cli.run("read", device, station, "R0000", "--query-timeout", "0.2")
        if got.returncode == 0:
            return
        assert time.monotonic() < deadline, got.stderr
        time.sleep(0.05)


def stop(proc):
    """Ends a station with SIGINT; returns (exit code, stdout, stderr)."""
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    return proc.returncode, out, err

