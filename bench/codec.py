"""Nanoseconds per call of each MewStatic operation on realistic frames, next to the same operation
written in plain Python, with len(s) as the cost of a trivial built-in call.

Two figures per operation: called through the class as callers write it (`MewStatic.op(...)`, which
includes the interpreter's lookup of a staticmethod on a class), and called through a name bound
beforehand (`op = MewStatic.op`), which is the cost of the call itself. The plain Python version is
timed the same two ways.

    PYTHONPATH=<build>/python python bench/codec.py [--quick]

The cheapest operations are held to a goal of 3x the cost of len(frame). The goal table gives them
bound and through the class as medians of ratios to len(), each ratio taken from adjacent timings:

    PYTHONPATH=<build>/python python bench/codec.py --goal [--reps N]

Two builds in one run (before/after): child processes alternate between the builds, round by round,
so both see the same load; the table holds medians over the rounds and the after/before ratio:

    python bench/codec.py --compare before=<dir with ozu_mew> after=<dir> [--rounds N] [--reps N]

Instructions per call, which a loaded machine does not disturb: each statement runs under
valgrind's callgrind N times, less a run of none; the difference over N is the count per call:

    python bench/codec.py --instructions before=<dir> after=<dir> [--calls N]
"""
import json
import os
import re
import statistics
import struct
import subprocess
import sys
import timeit

import ozu_mew

M = ozu_mew.MewStatic
HEX = "0123456789ABCDEF"


# ----------------------------------------------------------------------------- plain Python
class Py:
    @staticmethod
    def calc_crc(data, init=0):
        crc = init
        for b in data.encode("utf-8"):
            crc ^= b
        return crc

    @staticmethod
    def crc_is_ok(frame):
        recv = frame[-3:-1]
        if recv[0] == "*" or recv[1] == "*":
            return recv[0] == recv[1]
        return int(recv, 16) == Py.calc_crc(frame[:-3])

    @staticmethod
    def calc_tail(data):
        crc = Py.calc_crc(data)
        return HEX[crc >> 4] + HEX[crc & 15] + "\r"

    @staticmethod
    def append_tail(data):
        crc = Py.calc_crc(data)
        return data + HEX[crc >> 4] + HEX[crc & 15] + "\r"

    @staticmethod
    def find_station_end(data):
        count = 0
        for c in data:
            if c == "\r" or c == "*":
                return -1
            if c == "#" or c == "$" or c == "!":
                break
            count += 1
        return count

    @staticmethod
    def command_start_position(data):
        return Py.find_station_end(data) + 1

    @staticmethod
    def parse_command(data):
        pos = Py.command_start_position(data)
        cmd = data[pos:pos + 3]
        if cmd in ("RCS", "WCS", "RCC", "WCC"):
            return cmd
        if cmd[:2] in ("RD", "WD"):
            return cmd[:2]
        return "UNKNOWN"

    @staticmethod
    def frame_type(data):
        return data[Py.find_station_end(data)]

    @staticmethod
    def is_feedback(data):
        return Py.frame_type(data) == "$"

    @staticmethod
    def header_matched(tx, rx):
        edge = Py.find_station_end(rx)
        return tx[:edge] == rx[:edge] and rx[edge] == "$" and tx[edge + 1:edge + 3] == rx[edge + 1:edge + 3]

    @staticmethod
    def parse_station(data):
        return int(data[1:Py.find_station_end(data)], 16)

    @staticmethod
    def parse_contact_address(address):
        return int(address[0:3]) * 16 + int(address[3], 16)

    @staticmethod
    def parse_register_address(address):
        return int(address)

    @staticmethod
    def parse_uint16(data):
        return int(data[0:2], 16) | (int(data[2:4], 16) << 8)

    @staticmethod
    def parse_int16(data):
        return struct.unpack("h", struct.pack("H", Py.parse_uint16(data)))[0]

    @staticmethod
    def parse_uint32(data):
        return Py.parse_uint16(data[0:4]) | (Py.parse_uint16(data[4:8]) << 16)

    @staticmethod
    def parse_int32(data):
        return struct.unpack("i", struct.pack("I", Py.parse_uint32(data)))[0]

    @staticmethod
    def fill_header(station, cmd):
        return "%%%02X#%s" % (station, cmd)

    @staticmethod
    def fill_contact_address(data, address):
        return data + "0" * (4 - len(address)) + address

    @staticmethod
    def fill_uint16(data, value):
        assert value >= 0
        return "%s%02X%02X" % (data, value & 255, value >> 8)

    @staticmethod
    def fill_int16(data, value):
        return Py.fill_uint16(data, struct.unpack("H", struct.pack("h", value))[0])

    @staticmethod
    def fill_uint32(data, value):
        assert value >= 0
        return Py.fill_uint16(Py.fill_uint16(data, value & 0xFFFF), value >> 16)

    @staticmethod
    def fill_int32(data, value):
        return Py.fill_uint32(data, struct.unpack("I", struct.pack("i", value))[0])

    @staticmethod
    def fill_read_single_point_of_contact_message(station, contact):
        data = Py.fill_header(station, "RCS") + contact[0]
        return Py.append_tail(Py.fill_contact_address(data, contact[1:]))

    @staticmethod
    def fill_write_single_point_of_contact_message(station, contact, value):
        data = Py.fill_header(station, "WCS") + contact[0]
        data = Py.fill_contact_address(data, contact[1:]) + ("1" if value else "0")
        return Py.append_tail(data)

    @staticmethod
    def fill_read_word_unit_of_contact_message(station, contact_start, contact_end=None, word_count=None):
        assert contact_start[0] == "W"
        last = int(contact_start[2:]) + word_count - 1
        contact_end = contact_start[:2] + str(last)
        data = Py.fill_header(station, "RCC") + contact_start[1]
        data = Py.fill_contact_address(data, contact_start[2:])
        return Py.append_tail(Py.fill_contact_address(data, contact_end[2:]))

    @staticmethod
    def fill_write_word_unit_of_contact_message(station, contact_start, values):
        assert contact_start[0] == "W" and len(values) > 0
        data = Py.fill_header(station, "WCC") + contact_start[1]
        data = Py.fill_contact_address(data, contact_start[2:])
        data = Py.fill_contact_address(data, str(int(contact_start[2:]) + len(values) - 1))
        for value in values:
            data = Py.fill_uint16(data, value)
        return Py.append_tail(data)

    @staticmethod
    def fill_read_data_area_message(station, reg_start, reg_count):
        assert reg_count > 0
        data = Py.fill_header(station, "RD")
        address = reg_start[1:] if reg_start[1].isdigit() else reg_start[2:]
        data += reg_start[0]
        first = int(address)
        data += "%05d%05d" % (first, first + reg_count - 1)
        return Py.append_tail(data)

    @staticmethod
    def fill_write_data_area_message(station, reg_start, values):
        assert len(values) > 0
        data = Py.fill_header(station, "WD")
        address = reg_start[1:] if reg_start[1].isdigit() else reg_start[2:]
        data += reg_start[0]
        first = int(address)
        data += "%05d%05d" % (first, first + len(values) - 1)
        for value in values:
            data = Py.fill_uint16(data, value)
        return Py.append_tail(data)

    @staticmethod
    def fill_write_single_data_message(station, reg, value):
        return Py.fill_write_data_area_message(station, reg, [value])


# ----------------------------------------------------------------------------- cases
REQUEST = "%01#RDD0010000107**\r"
ANSWER = "%01$RD3412CDAB5678EF0116\r"
BODY = "%01#WDD00100001033412CDAB5678"
CASES = [
    ("calc_crc", "(BODY)"),
    ("crc_is_ok", "(ANSWER)"),
    ("calc_tail", "(BODY)"),
    ("append_tail", "(BODY)"),
    ("find_station_end", "(ANSWER)"),
    ("command_start_position", "(ANSWER)"),
    ("parse_command", "(REQUEST)"),
    ("frame_type", "(ANSWER)"),
    ("is_feedback", "(ANSWER)"),
    ("header_matched", "(REQUEST, ANSWER)"),
    ("parse_station", "(ANSWER)"),
    ("parse_contact_address", "('010A')"),
    ("parse_register_address", "('00100')"),
    ("parse_uint16", "('3412')"),
    ("parse_int16", "('FEFF')"),
    ("parse_uint32", "('78563412')"),
    ("parse_int32", "('FEFFFFFF')"),
    ("fill_header", "(1, 'RD')"),
    ("fill_contact_address", "('%01#RCSR', '12')"),
    ("fill_uint16", "(BODY, 0x1234)"),
    ("fill_int16", "(BODY, -2)"),
    ("fill_uint32", "(BODY, 0x12345678)"),
    ("fill_int32", "(BODY, -2)"),
    ("fill_read_single_point_of_contact_message", "(1, 'R12')"),
    ("fill_write_single_point_of_contact_message", "(1, 'R12', True)"),
    ("fill_read_word_unit_of_contact_message", "(1, 'WR10', word_count=2)"),
    ("fill_write_word_unit_of_contact_message", "(1, 'WR10', [0x1234, 0, 7])"),
    ("fill_read_data_area_message", "(1, 'DT100', 4)"),
    ("fill_write_data_area_message", "(1, 'DT100', [0x1234, 0xABCD, 0x5678, 1])"),
    ("fill_write_single_data_message", "(1, 'D100', 0x1234)"),
]


def ns_per_call(stmt, env, number, repeat):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


# ----------------------------------------------------------------------------- the goal
GOAL = ["fill_uint16", "parse_uint16", "find_station_end", "fill_header"]
BASELINE = "len(ANSWER)"


def goal_statements():
    """(label, statement) for len() and the goal operations, bound and through the class."""
    args = dict(CASES)
    rows = [("len", BASELINE)]
    for name in GOAL:
        rows.append((name + " bound", "op_%s%s" % (name, args[name])))
        rows.append((name + " class", "M.%s%s" % (name, args[name])))
    return rows


def goal_env():
    env = {"M": M, "REQUEST": REQUEST, "ANSWER": ANSWER, "BODY": BODY}
    for name in GOAL:
        env["op_" + name] = getattr(M, name)
    return env


def goal_figures(reps, number):
    """Median ns per call and median ratio to len() (each ratio from timings taken side by side)."""
    env = goal_env()
    rows = goal_statements()
    timers = [(label, timeit.Timer(stmt, globals=env)) for label, stmt in rows]
    ns = {label: [] for label, _ in rows}
    ratio = {label: [] for label, _ in rows}
    for _ in range(reps):
        base = timers[0][1].timeit(number) / number * 1e9
        ns["len"].append(base)
        for label, timer in timers[1:]:
            t = timer.timeit(number) / number * 1e9
            ns[label].append(t)
            ratio[label].append(t / base)
    return {label: (statistics.median(ns[label]), statistics.median(ratio[label]) if ratio[label] else 1.0)
            for label, _ in rows}


def print_goal(reps, number):
    figures = goal_figures(reps, number)
    print("goal: within 3x len(ANSWER); median of %d repetitions of %d calls" % (reps, number))
    print("%-24s %9s %8s" % ("call", "ns", "x len"))
    for label, (ns, ratio) in figures.items():
        print("%-24s %9.1f %7.2fx" % (label, ns, ratio))


def builds(args):
    pairs = [a.split("=", 1) for a in args if "=" in a]
    if not pairs:
        sys.exit("name the builds as label=<directory holding ozu_mew>")
    return pairs


def option(name, default):
    return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default


def child_env(path):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(path), PYTHONHASHSEED="0")
    return env


def compare(pairs, rounds, reps, number):
    results = {label: [] for label, _ in pairs}
    for r in range(rounds):
        order = pairs if r % 2 == 0 else pairs[::-1]
        for label, path in order:
            out = subprocess.run([sys.executable, __file__, "--goal-json", str(reps), str(number)],
                                 env=child_env(path), capture_output=True, text=True, check=True).stdout
            results[label].append(json.loads(out))
    rows = [label for label, _ in goal_statements()]
    print("%d rounds, builds alternating; each round: median of %d repetitions of %d calls" % (rounds, reps, number))
    head = "%-24s" % "call"
    for label, _ in pairs:
        head += " %10s %8s" % (label + " ns", "x len")
    if len(pairs) == 2:
        head += " %12s" % ("%s/%s" % (pairs[1][0], pairs[0][0]))
    print(head)
    for row in rows:
        line = "%-24s" % row
        medians = []
        for label, _ in pairs:
            ns = statistics.median(run[row][0] for run in results[label])
            ratio = statistics.median(run[row][1] for run in results[label])
            medians.append(ns)
            line += " %10.1f %7.2fx" % (ns, ratio)
        if len(pairs) == 2:
            line += " %11.2fx" % (medians[1] / medians[0])
        print(line)


def count_calls(stmt, calls):
    timeit.Timer(stmt, globals=goal_env()).timeit(calls)


def instructions(path, stmt, calls):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          sys.executable, __file__, "--count", stmt, str(calls)],
                         env=child_env(path), capture_output=True, text=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def count_instructions(pairs, calls):
    rows = goal_statements()
    print("instructions per call (callgrind; a run of %d calls less a run of none)" % calls)
    head = "%-24s" % "call"
    for label, _ in pairs:
        head += " %12s %8s" % (label + " instr", "x len")
    if len(pairs) == 2:
        head += " %12s" % ("%s/%s" % (pairs[1][0], pairs[0][0]))
    print(head)
    counts = {}
    for label, path in pairs:
        start = instructions(path, BASELINE, 0)  # start-up and set-up, the same for every statement
        for row, stmt in rows:
            counts[label, row] = (instructions(path, stmt, calls) - start) / calls
    for row, _ in rows:
        line = "%-24s" % row
        for label, _ in pairs:
            line += " %12.1f %7.2fx" % (counts[label, row], counts[label, row] / counts[label, "len"])
        if len(pairs) == 2:
            line += " %11.2fx" % (counts[pairs[1][0], row] / counts[pairs[0][0], row])
        print(line)


def main():
    if "--goal-json" in sys.argv:
        i = sys.argv.index("--goal-json")
        print(json.dumps(goal_figures(int(sys.argv[i + 1]), int(sys.argv[i + 2]))))
        return
    if "--count" in sys.argv:
        i = sys.argv.index("--count")
        count_calls(sys.argv[i + 1], int(sys.argv[i + 2]))
        return
    if "--compare" in sys.argv:
        compare(builds(sys.argv[1:]), option("--rounds", 10), option("--reps", 15), option("--number", 100_000))
        return
    if "--instructions" in sys.argv:
        count_instructions(builds(sys.argv[1:]), option("--calls", 100_000))
        return
    if "--goal" in sys.argv:
        print_goal(option("--reps", 31), option("--number", 100_000))
        return
    quick = "--quick" in sys.argv
    number, repeat = (20_000, 3) if quick else (200_000, 7)
    env = {"M": M, "Py": Py, "REQUEST": REQUEST, "ANSWER": ANSWER, "BODY": BODY}
    baseline = ns_per_call("len(ANSWER)", env, number, repeat)
    lookup = ns_per_call("M.calc_crc", env, number, repeat)
    print("len(s): %.1f ns; looking a staticmethod up on the class: %.1f ns" % (baseline, lookup))
    print("%-44s %8s %8s %7s | %8s %8s %7s %8s" % (
        "operation", "ozu", "plain", "speedup", "ozu", "plain", "speedup", "x len(s)"))
    print("%-44s %25s | %34s" % ("", "MewStatic.op(...) ns", "op(...) bound beforehand, ns"))
    for name, args in CASES:
        env["ozu_op"], env["py_op"] = getattr(M, name), getattr(Py, name)
        ours, plain = "M.%s%s" % (name, args), "Py.%s%s" % (name, args)
        assert eval(ours, env) == eval(plain, env), name
        a = ns_per_call(ours, env, number, repeat)
        b = ns_per_call(plain, env, number, repeat)
        c = ns_per_call("ozu_op" + args, env, number, repeat)
        d = ns_per_call("py_op" + args, env, number, repeat)
        print("%-44s %8.1f %8.1f %6.1fx | %8.1f %8.1f %6.1fx %7.1fx" % (name, a, b, b / a, c, d, d / c, c / baseline))


if __name__ == "__main__":
    main()
