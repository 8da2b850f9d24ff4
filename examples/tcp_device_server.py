"""A master talking to a PLC behind a serial device server (or a PLC network unit) over TCP.

    python examples/tcp_device_server.py 192.168.1.50:9000 --station 1
    python examples/tcp_device_server.py --local     # no hardware: a local server and station

With --local the script starts, in the same process, a TCP server on 127.0.0.1 that forwards the
bytes to a demonstration station on a virtual null-modem, which stands in for the device server.
"""
import argparse
import socket
import threading

import ozu_brix
import ozu_mew


def local_device_server():
    """A one-connection TCP server bridging to a RandomMewSlaveDemo; returns (address, stop)."""
    station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:tcpdemo:b", timeout=0.1)
    station.start()
    line = ozu_brix.create_serial_instance(port="brix:pipe:tcpdemo:a", timeout=0.1)
    server = socket.create_server(("127.0.0.1", 0))
    done = threading.Event()

    def serve():
        conn, _ = server.accept()
        conn.settimeout(0.1)
        with conn:
            while not done.is_set():
                try:
                    data = conn.recv(256)  # requests from the master to the line
                    if not data:
                        break
                    line.write(data)
                except socket.timeout:
                    pass
                answer = line.read(max(line.in_waiting, 1))  # answers from the line to the master
                if answer:
                    conn.sendall(answer)

    bridge = threading.Thread(target=serve)
    bridge.start()

    def stop():
        done.set()
        bridge.join()
        server.close()
        line.close()
        station.close()

    return "%s:%d" % server.getsockname(), stop


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("address", nargs="?", help="HOST:PORT of the device server")
    parser.add_argument("--station", type=int, default=1)
    parser.add_argument("--local", action="store_true", help="start a local stand-in server")
    args = parser.parse_args()
    if not args.local and not args.address:
        parser.error("give HOST:PORT or --local")

    stop = None
    address = args.address
    if args.local:
        address, stop = local_device_server()
    master = ozu_mew.MewMaster("brix://" + address, query_timeout=1.0)
    try:
        print("connected to", master.channel_name)
        print("DT0..DT3 =", master.get_multi_uint16(args.station, "DT0", 4))
        print("R0001    =", master.get_coil(args.station, "R0001"))
    except IOError as exc:
        print("communication failed:", exc)
    finally:
        master.close()
        if stop is not None:
            stop()


if __name__ == "__main__":
    main()
