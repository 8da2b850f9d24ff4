"""A master and two stations on virtual null-modem lines: no hardware needed.

First, a MewMaster talks to a RandomMewSlaveDemo, which answers reads with random values and
prints every write it receives.
Then another master talks to a station with real storage (a MewFullDuplexBase subclass), which
keeps what is written and answers reads from it.

Run with `make demo` or `python examples/demo.py`.
"""
import random
import threading

import ozu_mew

LINE_TIMEOUT = 0.1  # seconds a port waits per byte; also how fast the links stop


def show(what, value=None):
    line = "  master: %-34s %s" % (what, "" if value is None else value)
    print(line.rstrip())


def random_station_demo():
    print("== Master and random demonstration station ==")
    random.seed(2024)  # the demonstration station draws from `random`: same output every run
    station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:demo:b", timeout=LINE_TIMEOUT)
    master = None
    try:
        station.start()
        master = ozu_mew.MewMaster("brix:pipe:demo:a", timeout=LINE_TIMEOUT, query_timeout=1.0)

        show("read contact R0012", master.get_coil(1, "R0012"))
        master.set_coil(1, "R0012", True)
        show("wrote contact R0012 = True")
        show("read contact word WR10", "0x%04X" % master.get_coil_uint16(1, "WR10"))
        master.set_multi_coil_uint16(1, "WR10", [0x1234, 1])
        show("wrote contact words WR10.. = [0x1234, 1]")

        show("read DT100 (unsigned 16-bit)", master.get_uint16(1, "DT100"))
        show("read DT100 (signed 16-bit)", master.get_int16(1, "DT100"))
        show("read DT200 (unsigned 32-bit)", master.get_uint32(1, "DT200"))
        show("read DT200 (signed 32-bit)", master.get_int32(1, "DT200"))
        show("read DT300..DT303", master.get_multi_uint16(1, "DT300", 4))
        master.set_uint16(1, "DT100", 1234)
        show("wrote DT100 = 1234")
        master.set_int16(1, "DT101", -2)
        show("wrote DT101 = -2 (as 0xFFFE)")
        master.set_int32(1, "DT200", -100000)
        show("wrote DT200..DT201 = -100000")
        master.set_multi_uint16(1, "DT300", [1, 2, 3])
        show("wrote DT300..DT302 = [1, 2, 3]")
    finally:
        if master is not None:
            master.close()
        station.close()


class PlantStation(ozu_mew.MewFullDuplexBase):
    """Station 3 with a small memory: data registers and contacts, printed as they change."""

    def __init__(self, port, **kwargs):
        self.registers = {}  # (area letter, number) -> 16-bit word
        self.contacts = {}   # contact name ("R0012") -> bool
        self.lock = threading.Lock()  # hooks run in the station's worker thread
        super().__init__(port, slave_station=3, **kwargs)

    def _read(self, area, start, count):
        with self.lock:
            return [self.registers.get((area, start + i), 0) for i in range(count)]

    def _write(self, area, start, values):
        with self.lock:
            for i, value in enumerate(values):
                self.registers[(area, start + i)] = value
        print("  station 3: %s%d.. <- %s" % (area, start, values))

    def on_get_coil(self, station, name):
        with self.lock:
            return self.contacts.get(name, False)

    def on_set_coil(self, station, name, value):
        with self.lock:
            self.contacts[name] = value
        print("  station 3: contact %s <- %s" % (name, value))

    # Contact words share the register map under the area "W" + letter ("WR" for R words).
    def on_get_multi_coil_uint16(self, station, name, count):
        return self._read("W" + name[0], int(name[1:]), count)

    def on_set_multi_coil_uint16(self, station, name, values):
        self._write("W" + name[0], int(name[1:]), values)

    def on_get_multi_uint16(self, station, name, count):
        return self._read(name[0], int(name[1:]), count)

    def on_set_multi_uint16(self, station, name, values):
        self._write(name[0], int(name[1:]), values)


def storage_station_demo():
    print("== Master and a station with storage ==")
    station = PlantStation("brix:pipe:plant:b", timeout=LINE_TIMEOUT)
    master = None
    try:
        station.start()
        master = ozu_mew.MewMaster("brix:pipe:plant:a", timeout=LINE_TIMEOUT, query_timeout=0.5)

        master.set_uint16(3, "DT10", 500)
        show("read DT10", master.get_uint16(3, "DT10"))
        master.set_int32(3, "DT20", -123456)
        show("read DT20 (signed 32-bit)", master.get_int32(3, "DT20"))
        show("read DT20..DT21 as words", ["0x%04X" % w for w in master.get_multi_uint16(3, "DT20", 2)])
        master.set_coil(3, "Y0003", True)
        show("read contacts Y0003, Y0004", [master.get_coil(3, "Y0003"), master.get_coil(3, "Y0004")])
        master.set_coil_uint16(3, "WR2", 0x00F0)
        show("read contact word WR2", "0x%04X" % master.get_coil_uint16(3, "WR2"))
        try:
            master.get_uint16(4, "DT10")  # station 4 is nobody: the station keeps quiet
        except IOError as exc:
            show("read DT10 of station 4", "failed: %s" % exc)
    finally:
        if master is not None:
            master.close()
        station.close()


def main():
    random_station_demo()
    storage_station_demo()
    left = [t.name for t in threading.enumerate() if t is not threading.main_thread()]
    print("== All links closed; threads left: %d ==" % len(left))
    return 1 if left else 0


if __name__ == "__main__":
    raise SystemExit(main())
