"""Plain-Python reference of the MewStatic operations, and helpers shared by the codec tests."""
import contextlib
import struct

import ozu_mew

HEX = "0123456789ABCDEF"
NAME_REFUSED = "%#$!*"


def strict_int(piece, base):
    digits = "0123456789" if base == 10 else "0123456789abcdefABCDEF"
    if not piece or any(c not in digits for c in piece):
        raise ValueError("invalid literal for int() with base %d: %.200r" % (base, piece))
    return int(piece, base)


def calc_crc(data, init=0):
    crc = init
    for b in data.encode("utf-8"):
        crc ^= b
    return crc


def crc_is_ok(frame):
    recv = frame[-3:-1]
    if recv[0] == "*" or recv[1] == "*":
        return recv[0] == recv[1]
    return strict_int(recv, 16) == calc_crc(frame[:-3])


def calc_tail(data):
    crc = calc_crc(data)
    return HEX[crc >> 4] + HEX[crc & 15] + "\r"


def find_station_end(data):
    count = 0
    for c in data:
        if c in "\r*":
            return -1
        if c in "#$!":
            break
        count += 1
    return count


def parse_command(data):
    pos = find_station_end(data) + 1
    cmd = data[pos:pos + 3]
    if cmd in ("RCS", "WCS", "RCC", "WCC"):
        return cmd
    if cmd[:2] in ("RD", "WD"):
        return cmd[:2]
    return "UNKNOWN"


def frame_type(data):
    return data[find_station_end(data)]


def header_matched(tx, rx):
    edge = find_station_end(rx)
    return tx[:edge] == rx[:edge] and rx[edge] == "$" and tx[edge + 1:edge + 3] == rx[edge + 1:edge + 3]


def parse_station(data):
    return strict_int(data[1:find_station_end(data)], 16)


def parse_contact_address(address):
    return strict_int(address[0:3], 10) * 16 + strict_int(address[3], 16)


def parse_uint16(data):
    low = strict_int(data[0:2], 16)
    high = strict_int(data[2:4], 16)
    return (high << 8) | low


def parse_uint32(data):
    low = parse_uint16(data[0:4])
    high = parse_uint16(data[4:8])
    return (high << 16) | low


def fill_uint16(data, value):
    assert value >= 0
    if value > 0xFFFF:
        raise ValueError("value %s out of range for a 16-bit field (0..65535)" % value)
    return "%s%02X%02X" % (data, value & 255, value >> 8)


def fill_int16(data, value):
    return fill_uint16(data, struct.unpack("H", struct.pack("h", value))[0])


def fill_uint32(data, value):
    assert value >= 0
    if value > 0xFFFFFFFF:
        raise ValueError("value %s out of range for a 32-bit field (0..4294967295)" % value)
    return fill_uint16(fill_uint16(data, value & 0xFFFF), value >> 16)


def fill_header(station, cmd):
    if station < 0:
        raise ValueError("station must not be negative: %s" % station)
    return "%%%02X#%s" % (station, cmd)


def check_name(arg, name):
    if any(ord(c) < 0x20 or ord(c) >= 0x7F or c in NAME_REFUSED for c in name):
        raise ValueError("%s: name must not hold control, non-ASCII or frame characters "
                         "('%%', '#', '$', '!', '*'): %r" % (arg, name))


def fill_read_data_area_message(station, reg_start, reg_count):
    assert reg_count > 0
    check_name("reg_start", reg_start)
    data = fill_header(station, "RD")
    address = reg_start[1:] if reg_start[1] in "0123456789" else reg_start[2:]
    data += reg_start[0]
    first = strict_int(address, 10)
    if first > 99999:
        raise ValueError("reg_start: register number %d out of range for a five-digit field (0..99999)" % first)
    last = first + reg_count - 1
    if last > 99999:
        raise ValueError("reg_count: last register number %d out of range for a five-digit field (0..99999)" % last)
    data += "%05d%05d" % (first, last)
    return data + calc_tail(data)


def outcome(fn, *args):
    """The result of a call, or the type and text of what it raised."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the exception itself is what is compared
        return (type(exc), str(exc))


@contextlib.contextmanager
def slow_path(monkeypatch):
    """Forces every operation through the class: a member is replaced by an equal, distinct object,
    so the class behaves the same but no longer holds what it was built with."""
    with monkeypatch.context() as m:
        m.setattr(ozu_mew.MewStatic, "HEX_DIGITS", bytes(range(48, 58)).decode() + "ABCDEF")
        yield
