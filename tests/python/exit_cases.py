"""Scripts whose interpreter exits while daemon threads are inside the modules, and a runner that
counts their exit statuses. Used by test_exit.py (a few runs each) and bench/exit_soak.py (many).

Each script leaves its main thread after a short pause, so the interpreter finalises while the
daemon threads wait in a port read, a queue, a lock or a sleep started from inside the modules.
"""
import collections
import concurrent.futures
import os
import subprocess
import sys

_DAEMON_THREAD_FACTORY = """
def daemon_thread(*args, **kwargs):
    kwargs["daemon"] = True
    return threading.Thread(*args, **kwargs)
ozu_mew.Thread = daemon_thread
"""

CASES = {
    # A daemon thread polling a real terminal with a 1 ms read time-out.
    "port_read": """
import os, threading, time, tty
import ozu_brix
far, near = os.openpty()
tty.setraw(far)
port = ozu_brix.create_serial_instance(port=os.ttyname(near), timeout=0.001)
def poll():
    while True:
        port.read(1)
threading.Thread(target=poll, daemon=True).start()
time.sleep(0.05)
""",
    # A master and a demonstration station made in a daemon thread: their receivers and the
    # station's worker are daemon threads too, as threads started by a daemon thread are.
    "station_in_daemon": """
import threading, time
import ozu_mew
def run():
    station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:exit-demo:b", timeout=0.01)
    station.start()
    master = ozu_mew.MewMaster("brix:pipe:exit-demo:a", timeout=0.01, query_timeout=1.0)
    while True:
        master.get_multi_uint16(1, "DT100", 8)
threading.Thread(target=run, daemon=True).start()
time.sleep(0.1)
""",
    # The module's Thread replaced by a factory of daemon threads; the main thread just leaves.
    "daemon_thread_factory": """
import threading, time
import ozu_mew
""" + _DAEMON_THREAD_FACTORY + """
station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:exit-factory:b", timeout=0.01)
station.start()
master = ozu_mew.MewMaster("brix:pipe:exit-factory:a", timeout=0.01, query_timeout=1.0)
for _ in range(5):
    master.get_uint16(1, "DT100")
""",
    # Daemon threads sharing one master, each querying in a loop.
    "shared_master": """
import threading, time
import ozu_mew
""" + _DAEMON_THREAD_FACTORY + """
station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:exit-shared:b", timeout=0.01)
station.start()
master = ozu_mew.MewMaster("brix:pipe:exit-shared:a", timeout=0.01, query_timeout=1.0)
def query():
    while True:
        master.get_uint16(1, "DT100")
for _ in range(3):
    threading.Thread(target=query, daemon=True).start()
time.sleep(0.1)
""",
    # Daemon threads inside the modules while the interpreter's own calls wait: receivers over a
    # channel whose receive_frame() sleeps and fails (then the receiver's own pause), and queries
    # whose answer queue waits.
    "waits_in_interpreter": """
import io, threading, time
import ozu_mew
""" + _DAEMON_THREAD_FACTORY + """
class FailingChannel:
    port = "FAILING"
    def read(self):
        return "%"
    def receive_frame(self):
        time.sleep(0.001)
        raise IOError("line down")
    def reset_input_buffer(self):
        pass
    def send_frame(self, data):
        pass
    def close(self):
        pass
ozu_mew._err = io.StringIO()
for _ in range(4):
    ozu_mew.MewBase(FailingChannel()).start()
master = ozu_mew.MewMaster(FailingChannel(), query_timeout=0.001)
def query():
    while True:
        try:
            master.get_uint16(1, "DT100")
        except OSError:
            pass
for _ in range(3):
    threading.Thread(target=query, daemon=True).start()
time.sleep(0.1)
""",
}


def run_once(case, timeout=60):
    """Runs one script in a fresh interpreter; returns (exit status, standard error). A negative
    status is the signal that ended the process; None means it did not end within `timeout`."""
    try:
        done = subprocess.run([sys.executable, "-c", CASES[case]], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=timeout, env=os.environ.copy())
    except subprocess.TimeoutExpired as hung:
        return None, (hung.stderr or b"").decode("latin-1")
    return done.returncode, done.stderr.decode("latin-1")


def run_case(case, runs, jobs=4):
    """Runs `case` `runs` times, `jobs` at once. Returns a Counter of exit statuses and the
    standard error of the first run that did not exit with status 0 (empty when all did)."""
    statuses = collections.Counter()
    first_failure = ""
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for status, err in pool.map(lambda _: run_once(case), range(runs)):
            statuses[status] += 1
            if status != 0 and not first_failure:
                first_failure = "exit status %s:\n%s" % (status, err[-2000:])
    return statuses, first_failure
