"""The native frame path alone, for counting instructions rather than timing it.

Reads frames with `_receive_frame_by_serial` from the in-process null-modem, filled with 1 MiB of
frames before each pass. Run it under callgrind with two pass counts: the difference divided by the
extra frames is the cost of one frame, free of the machine's load and clock:

    PYTHONMALLOC=malloc valgrind --tool=callgrind --callgrind-out-file=/dev/null \\
        python bench/frame_instructions.py --passes 1      # and again with --passes 3
    (Collected[3] - Collected[1]) / (2 * 38836)            # instructions per frame

Add --trace to read from a port with its wire trace on (logger "ozu_brix.wire" at its default level).
"""
import argparse

import ozu_brix
import ozu_mew

FRAME = b"%01$RD630000000000000000**\r"
FRAMES_PER_PASS = (1 << 20) // len(FRAME)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=1)
    parser.add_argument("--trace", action="store_true")
    args = parser.parse_args()
    source = ozu_brix.create_serial_instance(port="brix:pipe:instructions:a")
    settings = {"trace": True} if args.trace else {}
    port = ozu_brix.create_serial_instance(port="brix:pipe:instructions:b", **settings)
    expected = FRAME.decode("latin")
    for _ in range(args.passes):
        source.write(FRAME * FRAMES_PER_PASS)
        for _ in range(FRAMES_PER_PASS):
            if ozu_mew._receive_frame_by_serial(port) != expected:
                raise SystemExit("a frame came back wrong")
    print(f"{args.passes * FRAMES_PER_PASS} frames")


if __name__ == "__main__":
    main()
