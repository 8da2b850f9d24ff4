"""A slave station with its own memory: registers and contacts that masters read and write.

    python examples/slave_station.py /dev/ttyS0 --station 5
    python examples/slave_station.py brix://127.0.0.1:9000
    python examples/slave_station.py brix:listen:127.0.0.1:9000   # masters connect to it over TCP

Stop it with Ctrl-C.
"""
import argparse
import threading
import time

import ozu_mew


class Station(ozu_mew.MewFullDuplexBase):
    """Answers requests from the maps below. The hooks run in the station's worker thread."""

    def __init__(self, device, station):
        self.registers = {}  # (area letter, number) -> 16-bit word; contact words use "WR", "WX", ...
        self.contacts = {}   # "R0012" -> bool
        self.lock = threading.Lock()
        super().__init__(device, slave_station=station)

    def on_get_coil(self, station, name):                       # RCS, name like "R0012"
        with self.lock:
            return self.contacts.get(name, False)

    def on_set_coil(self, station, name, value):                # WCS
        with self.lock:
            self.contacts[name] = value
        print("contact %s = %s" % (name, value))

    def on_get_multi_coil_uint16(self, station, name, count):   # RCC, name like "R0010"
        return self._read("W" + name[0], int(name[1:]), count)

    def on_set_multi_coil_uint16(self, station, name, values):  # WCC
        self._write("W" + name[0], int(name[1:]), values)

    def on_get_multi_uint16(self, station, name, count):        # RD, name like "D00100"
        return self._read(name[0], int(name[1:]), count)

    def on_set_multi_uint16(self, station, name, values):       # WD
        self._write(name[0], int(name[1:]), values)

    def _read(self, area, start, count):
        with self.lock:
            return [self.registers.get((area, start + i), 0) for i in range(count)]

    def _write(self, area, start, values):
        with self.lock:
            for i, value in enumerate(values):
                self.registers[(area, start + i)] = value
        print("%s%d.. = %s" % (area, start, values))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("device", help="device name, e.g. /dev/ttyS0, COM4, brix://HOST:PORT, brix:listen:HOST:PORT")
    parser.add_argument("--station", type=int, default=1, help="station number to answer (0: every station)")
    args = parser.parse_args()

    station = Station(args.device, args.station)
    station.start()
    print("station %d answering on %s" % (args.station, station.channel_name))
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        pass
    finally:
        station.close()


if __name__ == "__main__":
    main()
