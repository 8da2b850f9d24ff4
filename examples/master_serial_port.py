"""Read and write a PLC's registers and contacts over a real serial port.

    python examples/master_serial_port.py /dev/ttyUSB0          # Linux
    python examples/master_serial_port.py COM3 --station 2      # Windows
"""
import argparse

import ozu_mew


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("device", help="serial device name, e.g. /dev/ttyUSB0 or COM3")
    parser.add_argument("--station", type=int, default=1, help="station number of the PLC (default 1)")
    parser.add_argument("--baudrate", type=int, default=9600)
    args = parser.parse_args()

    # 8 data bits, odd parity and 1 stop bit are the defaults of the port; change them here with
    # bytesize=..., parity=..., stopbits=... if your PLC is set up otherwise.
    master = ozu_mew.MewMaster(args.device, baudrate=args.baudrate, query_timeout=0.5)
    try:
        st = args.station
        print("DT0          =", master.get_uint16(st, "DT0"))
        print("DT0..DT3     =", master.get_multi_uint16(st, "DT0", 4))
        print("DT10 (int32) =", master.get_int32(st, "DT10"))
        print("R0000        =", master.get_coil(st, "R0000"))
        print("WR0          = 0x%04X" % master.get_coil_uint16(st, "WR0"))

        master.set_uint16(st, "DT20", 1234)    # one register
        master.set_int32(st, "DT22", -50000)   # two registers, low word first
        master.set_coil(st, "R0010", True)     # contact R0010: word 1, bit 0
        print("wrote DT20, DT22..DT23 and R0010")
    except IOError as exc:
        # No answer within query_timeout, a damaged answer, or an error code from the PLC.
        print("communication failed:", exc)
    finally:
        master.close()


if __name__ == "__main__":
    main()
