"""A master on two ports used as a pair: requests go out on the first, answers come in on the second
(for wiring where the command line and the answer line reach the PC on different ports).

    python examples/dual_port_master.py /dev/ttyUSB0 /dev/ttyUSB1
    python examples/dual_port_master.py COM3 COM4
"""
import argparse

import ozu_mew


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("write_port", help="port the requests are written to")
    parser.add_argument("read_port", help="port the answers are read from")
    parser.add_argument("--station", type=int, default=1)
    args = parser.parse_args()

    # "A,B" makes a DualSerial channel. Both ports get the same settings; give the read time-out
    # explicitly, since a pair gets no default from the link.
    master = ozu_mew.MewMaster("%s,%s" % (args.write_port, args.read_port), timeout=1.0, query_timeout=1.0)
    try:
        print("ports:", master.channel_name)
        print("DT0..DT7 =", master.get_multi_uint16(args.station, "DT0", 8))
        master.set_multi_uint16(args.station, "DT100", [1, 2, 3])
        print("wrote DT100..DT102")
    except IOError as exc:
        print("communication failed:", exc)
    finally:
        master.close()


if __name__ == "__main__":
    main()
