// The help() texts of ozu_mew's classes and operations, by qualified name. The module itself, MewStatic
// and MewSlaveNoFeedback carry fixed texts of their own, set where those are built.
#include "module/subsystems.hpp"

namespace ozu::mew {

#define OZU_CODEC_TYPES "    TypeError: an argument of the wrong declared type (str, int or list), or a wrong argument count.\n"

#define OZU_LINK_KEYWORDS                                                                              \
    "Keywords (device names only; ignored when a channel object is given): timeout (seconds a read\n"  \
    "waits, default 1.0 for single-port names), write_timeout, baudrate (9600), bytesize (8), parity\n" \
    "('O'), stopbits (1), exclusive (True), encoding ('latin'); they go to ozu_brix.create_serial_instance.\n"

#define OZU_STATION_ARG                                                                                          \
    "Args:\n"                                                                                              \
    "    station: station number (0 is every station).\n"

#define OZU_QUERY_FAILURES                                                                               \
    "Raises:\n"                                                                                          \
    "    OSError: no answer within query_timeout, a malformed answer, an answer from another station,\n" \
    "        or an error answer of the station (its error code is in the message).\n"                   \
    "    TypeError: an argument of the wrong declared type.\n"                                           \
    "    AssertionError, ValueError, IndexError: a malformed name or value; nothing is sent.\n"

#define OZU_HOOK_NOTE                                                                                  \
    "Called by process_request() in the station's worker thread; a derived class supplies it. Raise\n" \
    "MewSlaveNoFeedback to send no answer at all.\n\n"

extern const py::DocEntry kDocs[] = {
    // ------------------------------------------------------------------ codec
    {"MewStatic.calc_crc",
     "Block check of text: the exclusive-or of its UTF-8 bytes, starting from init.\n\n"
     "Args:\n    data: the frame text before the check digits, header included.\n"
     "    init: the starting value (default 0).\n\n"
     "Returns:\n    The check as an integer, 0..255 when init is 0: calc_crc('%01#RCSR0012') == 0x14.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.crc_is_ok",
     "Whether a whole frame's block check is right ('**' in its place is accepted).\n\n"
     "Args:\n    frame: a whole frame, carriage return included.\n\n"
     "Returns:\n    True when the two check digits (either case) match the text before them, or are '**'.\n\n"
     "Raises:\n    ValueError: check digits that are not hexadecimal.\n"
     "    IndexError: a text shorter than three characters.\n" OZU_CODEC_TYPES},
    {"MewStatic.calc_tail",
     "The frame tail of text: its two upper-case check digits and the carriage return.\n\n"
     "Args:\n    data: the frame text before the check digits.\n\n"
     "Returns:\n    Three characters, such as '1D\\r'.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.append_tail",
     "Completes a frame: text, its two check digits and the carriage return.\n\n"
     "Args:\n    data: the frame text before the check digits.\n\n"
     "Returns:\n    The whole frame, such as '%01#RCSX00001D\\r'.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.find_station_end",
     "Index of the type character ('#', '$' or '!') that ends the station field.\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    3 for '%01#...', 4 for '%100#...'; -1 when a carriage return or '*' comes first;\n"
     "    the text's length when none of these occurs.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.command_start_position",
     "Index of the command code: find_station_end(data) + 1.\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    An integer (0 when the frame has no station end).\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_command",
     "The command code of a frame.\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    'RCS', 'WCS', 'RCC', 'WCC', 'RD', 'WD', or CMD_UNKNOWN for anything else.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.frame_type",
     "The type character of a frame: '#' request, '$' answer, '!' error answer.\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    One character (the last character when the frame has no station end).\n\n"
     "Raises:\n    IndexError: an empty text, or one without a type character, carriage return or '*'.\n"
     OZU_CODEC_TYPES},
    {"MewStatic.is_feedback",
     "Whether a frame is a normal answer ('$').\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    True or False.\n\n"
     "Raises:\n    IndexError: as frame_type().\n" OZU_CODEC_TYPES},
    {"MewStatic.is_query",
     "Whether a frame is a request ('#').\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    True or False.\n\n"
     "Raises:\n    IndexError: as frame_type().\n" OZU_CODEC_TYPES},
    {"MewStatic.is_error",
     "Whether a frame is an error answer ('!').\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    True or False.\n\n"
     "Raises:\n    IndexError: as frame_type().\n" OZU_CODEC_TYPES},
    {"MewStatic.header_matched",
     "Whether a received frame is a normal answer to a sent request.\n\n"
     "Args:\n    tx: the request sent.\n    rx: the frame received.\n\n"
     "Returns:\n    True when the header and station text are the same, rx is a '$' frame and the first two\n"
     "    command letters agree. Stations are compared as text ('%01' is not '%1').\n\n"
     "Raises:\n    IndexError: rx ends at its station field.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_station",
     "The station number of a frame.\n\n"
     "Args:\n    data: frame text.\n\n"
     "Returns:\n    The station field read as hexadecimal: '%1A#...' gives 26, '%100#...' gives 256.\n\n"
     "Raises:\n    ValueError: an empty or non-hexadecimal station field.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_contact_address",
     "The number of a four-character contact address: word * 16 + bit.\n\n"
     "Args:\n    address: three decimal word digits and one hexadecimal bit digit, such as '010A'.\n\n"
     "Returns:\n    An integer ('010A' gives 170).\n\n"
     "Raises:\n    ValueError: digits of the wrong base, or an address shorter than four characters.\n"
     OZU_CODEC_TYPES},
    {"MewStatic.parse_register_address",
     "The number of a register address.\n\n"
     "Args:\n    address: decimal digits, such as '00100'.\n\n"
     "Returns:\n    The decimal number.\n\n"
     "Raises:\n    ValueError: an empty address or one that is not decimal.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_uint16",
     "An unsigned 16-bit value from four hexadecimal digits, low byte first.\n\n"
     "Args:\n    data: text whose first four characters are the value ('3412' gives 0x1234).\n\n"
     "Returns:\n    An integer 0..65535.\n\n"
     "Raises:\n    ValueError: digits that are not hexadecimal, or an empty text.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_int16",
     "A signed 16-bit value from four hexadecimal digits, low byte first.\n\n"
     "Args:\n    data: text whose first four characters are the value ('FEFF' gives -2).\n\n"
     "Returns:\n    An integer -32768..32767.\n\n"
     "Raises:\n    ValueError: digits that are not hexadecimal, or an empty text.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_uint32",
     "An unsigned 32-bit value from eight hexadecimal digits, low word first.\n\n"
     "Args:\n    data: text whose first eight characters are the value.\n\n"
     "Returns:\n    An integer 0..4294967295.\n\n"
     "Raises:\n    ValueError: digits that are not hexadecimal, or an empty text.\n" OZU_CODEC_TYPES},
    {"MewStatic.parse_int32",
     "A signed 32-bit value from eight hexadecimal digits, low word first.\n\n"
     "Args:\n    data: text whose first eight characters are the value.\n\n"
     "Returns:\n    An integer -2147483648..2147483647.\n\n"
     "Raises:\n    ValueError: digits that are not hexadecimal, or an empty text.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_header",
     "A request header: '%', the station in hexadecimal (two digits or more), '#', the command.\n\n"
     "Args:\n    station: station number.\n    cmd: command code, such as 'RD'.\n\n"
     "Returns:\n    Text such as '%01#RD'.\n\n"
     "Raises:\n    ValueError: a negative station.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_contact_address",
     "Appends a contact address, left-padded with '0' to four characters.\n\n"
     "Args:\n    data: the frame text so far.\n    address: the contact address, such as '12' or '010A'.\n\n"
     "Returns:\n    data followed by the address.\n\n"
     "Raises:\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_uint16",
     "Appends an unsigned 16-bit value as four hexadecimal digits, low byte first.\n\n"
     "Args:\n    data: the frame text so far.\n    value: a non-negative integer.\n\n"
     "Returns:\n    data followed by the digits (0x1234 is written '3412').\n\n"
     "Raises:\n    AssertionError: a negative value.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_int16",
     "Appends a signed 16-bit value as its two's-complement pattern, low byte first.\n\n"
     "Args:\n    data: the frame text so far.\n    value: an integer -32768..32767.\n\n"
     "Returns:\n    data followed by four hexadecimal digits (-1 is 'FFFF').\n\n"
     "Raises:\n    struct.error: a value outside the 16-bit signed range.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_uint32",
     "Appends an unsigned 32-bit value as eight hexadecimal digits, low word first.\n\n"
     "Args:\n    data: the frame text so far.\n    value: a non-negative integer.\n\n"
     "Returns:\n    data followed by the digits.\n\n"
     "Raises:\n    AssertionError: a negative value.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_int32",
     "Appends a signed 32-bit value as its two's-complement pattern, low word first.\n\n"
     "Args:\n    data: the frame text so far.\n    value: an integer -2147483648..2147483647.\n\n"
     "Returns:\n    data followed by eight hexadecimal digits.\n\n"
     "Raises:\n    struct.error: a value outside the 32-bit signed range.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_read_single_point_of_contact_message",
     "The whole RCS request that reads one contact.\n\n"
     "Args:\n    station: station number.\n    contact: area letter and contact address, such as 'R0012'.\n\n"
     "Returns:\n    The frame with its block check and carriage return: '%01#RCSR001214\\r'.\n\n"
     "Raises:\n    ValueError, IndexError: a malformed station or contact.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_write_single_point_of_contact_message",
     "The whole WCS request that sets or resets one contact.\n\n"
     "Args:\n    station: station number.\n    contact: area letter and contact address, such as 'Y0000'.\n"
     "    value: the new state (its truth value).\n\n"
     "Returns:\n    The frame with its block check and carriage return.\n\n"
     "Raises:\n    ValueError, IndexError: a malformed station or contact.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_read_word_unit_of_contact_message",
     "The whole RCC request that reads a range of contact words.\n\n"
     "Args:\n    station: station number.\n    contact_start: 'W', an area letter and the first word, such as 'WR10'.\n"
     "    contact_end: the last word in the same form (or None).\n"
     "    word_count: the number of words, instead of contact_end (or None).\n\n"
     "Returns:\n    The frame with its block check and carriage return.\n\n"
     "Raises:\n    AssertionError: a name not beginning with 'W', or word_count below 1.\n"
     "    ValueError, IndexError, TypeError: malformed names, or neither contact_end nor word_count.\n"
     OZU_CODEC_TYPES},
    {"MewStatic.fill_write_word_unit_of_contact_message",
     "The whole WCC request that writes consecutive contact words.\n\n"
     "Args:\n    station: station number.\n    contact_start: 'W', an area letter and the first word, such as 'WR10'.\n"
     "    values: one 16-bit value per word.\n\n"
     "Returns:\n    The frame with its block check and carriage return.\n\n"
     "Raises:\n    AssertionError: a name not beginning with 'W', an empty list or a negative value.\n"
     "    ValueError, IndexError: malformed names.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_read_data_area_message",
     "The whole RD request that reads consecutive data registers.\n\n"
     "Args:\n    station: station number.\n    reg_start: area name and first register, such as 'DT100'.\n"
     "    reg_count: the number of registers.\n\n"
     "Returns:\n    The frame with its block check and carriage return: '%01#RDD0010000100' plus its tail.\n\n"
     "Raises:\n    AssertionError: reg_count below 1.\n    ValueError, IndexError: a malformed name.\n"
     OZU_CODEC_TYPES},
    {"MewStatic.fill_write_data_area_message",
     "The whole WD request that writes consecutive data registers.\n\n"
     "Args:\n    station: station number.\n    reg_start: area name and first register, such as 'DT100'.\n"
     "    values: one 16-bit value per register.\n\n"
     "Returns:\n    The frame with its block check and carriage return.\n\n"
     "Raises:\n    AssertionError: an empty list or a negative value.\n"
     "    ValueError, IndexError: a malformed name.\n" OZU_CODEC_TYPES},
    {"MewStatic.fill_write_single_data_message",
     "The whole WD request that writes one data register.\n\n"
     "Args:\n    station: station number.\n    reg: area name and register, such as 'DT100'.\n"
     "    value: the 16-bit value.\n\n"
     "Returns:\n    The frame with its block check and carriage return.\n\n"
     "Raises:\n    AssertionError: a negative value.\n    ValueError, IndexError: a malformed name.\n"
     OZU_CODEC_TYPES},

    // ------------------------------------------------------------------ channels
    {"Channel",
     "A byte channel that carries frames: the interface a link reads and writes through.\n\n"
     "MewSerial and DualSerial implement it; an object of your own with the same operations (read,\n"
     "receive_frame, send_frame, port, in_waiting, close, reset_input_buffer) can stand in for them.\n\n"
     "Args:\n    encoding: text encoding of sent frames and of read() (keyword; default 'latin').\n"},
    {"Channel.read",
     "Reads at most size characters.\n\n"
     "Args:\n    size: the most characters to read (default 1).\n\n"
     "Returns:\n    Text, shorter or empty when the read time-out passed.\n\n"
     "Raises:\n    OSError: the line failed.\n"},
    {"Channel.receive_frame",
     "Reads the rest of a frame, up to and including its carriage return.\n\n"
     "Returns:\n    The text read, carriage return included.\n\n"
     "Raises:\n    OSError: nothing arrived in time, or a frame was cut short.\n"},
    {"Channel.send_frame",
     "Writes a whole frame.\n\n"
     "Args:\n    data: the frame text, carriage return included.\n\n"
     "Raises:\n    TypeError: data is not text.\n    OSError: the line failed.\n"},
    {"Channel.in_waiting", "The number of received bytes not yet read."},
    {"Channel.port", "The name of the channel's port or ports, as text."},
    {"Channel.close", "Closes the channel; a channel without ports does nothing."},
    {"Channel.reset_input_buffer", "Discards received input not yet read; a channel without ports does nothing."},
    {"_receive_frame_by_serial",
     "Reads one frame's rest from a serial port object, byte by byte up to the carriage return.\n\n"
     "Args:\n    serial: a port object with read() and port, such as an ozu_brix port.\n\n"
     "Returns:\n    The text read (ISO 8859-1), carriage return included.\n\n"
     "Raises:\n    OSError: 'Error: device no response.:PORT' when nothing arrived in time,\n"
     "        'Error: device response format invalid.:PORT' when a frame was cut short or too long.\n"},
    {"MewSerial",
     "A channel over one serial port, used for both directions.\n\n"
     "The port is opened with ozu_brix.create_serial_instance(**kwargs): every keyword is passed on\n"
     "unchanged. Use it for device paths a link does not take by name, such as /dev/serial/by-id/...:\n"
     "MewMaster(MewSerial(port='/dev/serial/by-id/usb-...', timeout=1.0)).\n\n"
     "Args:\n    port: the device name (keyword).\n"
     "    timeout, write_timeout, baudrate, bytesize, parity, stopbits, exclusive: port settings.\n"
     "    encoding: text encoding of sent frames and of read() (default 'latin').\n\n"
     "Raises:\n    OSError: the port cannot be opened (FileNotFoundError, PermissionError, ...).\n"
     "    TypeError, ValueError: an unknown setting, or a setting of the wrong type or value.\n"},
    {"MewSerial.read", "Reads at most size characters from the port.\n\n"
     "Args:\n    size: the most characters to read (default 1).\n\n"
     "Returns:\n    Text decoded with the channel's encoding; empty when the read time-out passed.\n\n"
     "Raises:\n    OSError: the port failed or was closed.\n    UnicodeDecodeError: bytes the encoding cannot decode.\n"},
    {"MewSerial.receive_frame", "Reads the rest of a frame, up to and including its carriage return.\n\n"
     "Returns:\n    The text read (ISO 8859-1).\n\n"
     "Raises:\n    OSError: nothing arrived in time, a frame was cut short or too long, or the port failed.\n"},
    {"MewSerial.send_frame", "Writes a whole frame to the port in one write.\n\n"
     "Args:\n    data: the frame text.\n\n"
     "Raises:\n    TypeError: data is not text.\n    UnicodeEncodeError: text the encoding cannot encode; nothing is written.\n"
     "    OSError: the port failed or was closed.\n"},
    {"MewSerial.in_waiting", "The number of received bytes not yet read from the port."},
    {"MewSerial.port", "The port's name."},
    {"MewSerial.close", "Closes the port.\n\n"
     "Raises:\n    OSError: the port could not be closed cleanly.\n"},
    {"MewSerial.reset_input_buffer", "Discards received bytes not yet read.\n\n"
     "Raises:\n    OSError: the port is closed or failed.\n"},
    {"DualSerial",
     "A channel over a pair of ports: frames are written to the first and read from the second.\n\n"
     "Both ports are opened with ozu_brix.create_serial_instance and the same keywords, the write\n"
     "port first. Usable in a with block, which closes both ports.\n\n"
     "Args:\n    port: 'WRITE,READ', two names separated by a comma, such as 'COM1,COM2'.\n"
     "    timeout, write_timeout, baudrate, bytesize, parity, stopbits, exclusive: port settings.\n"
     "    encoding: text encoding of sent frames and of read() (default 'latin').\n\n"
     "Raises:\n    AssertionError: port does not hold exactly two names; nothing is opened.\n"
     "    TypeError: port is not text, or an unknown setting.\n"
     "    OSError: a port cannot be opened (the write port is closed again if the read port fails).\n"},
    {"DualSerial.read", "Reads at most size characters from the read port.\n\n"
     "Args:\n    size: the most characters to read (default 1).\n\n"
     "Returns:\n    Text decoded with the channel's encoding; empty when the read time-out passed.\n\n"
     "Raises:\n    OSError: the port failed or was closed.\n"},
    {"DualSerial.receive_frame", "Reads the rest of a frame from the read port, up to its carriage return.\n\n"
     "Returns:\n    The text read (ISO 8859-1).\n\n"
     "Raises:\n    OSError: nothing arrived in time, or a frame was cut short or too long.\n"},
    {"DualSerial.send_frame", "Writes a whole frame to the write port in one write.\n\n"
     "Args:\n    data: the frame text.\n\n"
     "Raises:\n    TypeError: data is not text.\n    UnicodeEncodeError: text the encoding cannot encode.\n"
     "    OSError: the port failed or was closed.\n"},
    {"DualSerial.in_waiting", "The number of bytes received on the read port and not yet read."},
    {"DualSerial.port", "The write port's name and the read port's name, joined with ','."},
    {"DualSerial.close",
     "Closes the read port, then the write port.\n\n"
     "The write port is closed even when closing the read port fails; that first error is then raised.\n\n"
     "Raises:\n    OSError: a port could not be closed cleanly.\n"},
    {"DualSerial.reset_input_buffer", "Discards input of the read port not yet read; the write port is not touched."},
    {"DualSerial.__enter__", "Returns the channel itself, for use in a with block."},
    {"DualSerial.__exit__", "Closes both ports at the end of a with block; an error of the block passes on."},

    // ------------------------------------------------------------------ link
    {"MewBase",
     "A link: one channel, a receiver thread that sorts received frames to listeners, and sending.\n\n"
     "The base of masters and stations; start() starts the receiver, close() stops it and closes the\n"
     "channel.\n\n"
     "Args:\n    channel: a device name or a channel object. Names beginning with 'com', '/dev/tty',\n"
     "        'brix' or 'hidcom' (any case) open a MewSerial; 'WRITE,READ' opens a DualSerial. Any\n"
     "        other path: pass MewSerial(port=PATH) instead.\n"
     OZU_LINK_KEYWORDS "\n"
     "Raises:\n    ValueError: 'Unknown device name: NAME'.\n"
     "    OSError: the port cannot be opened.\n    TypeError, ValueError: a bad port setting.\n"},
    {"MewBase.dev_handle", "The link's channel object."},
    {"MewBase.channel_name", "The port name of the link's channel."},
    {"MewBase.start",
     "Starts the receiver thread, discarding input that arrived before; does nothing if it runs.\n\n"
     "Waits first until the previous receiver, if any, has ended.\n\n"
     "Raises:\n    OSError: discarding the input failed.\n"},
    {"MewBase.stop",
     "Stops the receiver thread and waits for it; does nothing if it is not running.\n\n"
     "On a channel reading from ozu_brix ports it returns within about 50 ms, whatever the read\n"
     "time-out; on a channel object of your own, after its current read() returns.\n"},
    {"MewBase.close",
     "Stops the link (the object's own stop()) and closes its channel.\n\n"
     "Raises:\n    OSError: closing the channel failed.\n"},
    {"MewBase.__enter__", "Returns the link itself, as it is (nothing is started), for use in a with block."},
    {"MewBase.__exit__", "Closes the link (close()) at the end of a with block; an error of the block passes on."},

    // ------------------------------------------------------------------ slave
    {"MewSlaveBase",
     "Request processing of a station: checks a request, calls the on_ hooks, builds the answer.\n\n"
     "Not a link by itself: combine it with one (see MewFullDuplexBase). Derived classes supply the\n"
     "six hooks on_get_coil, on_set_coil, on_get_multi_coil_uint16, on_set_multi_coil_uint16,\n"
     "on_get_multi_uint16 and on_set_multi_uint16.\n\n"
     "Args:\n    station: this station's number; 0 answers requests to every station.\n\n"
     "Raises:\n    TypeError: station is not an int.\n"},
    {"MewSlaveBase.process_invalid_frame",
     "Reports a request that failed the checks: prints 'Invalid MEW frame: FRAME' on standard output.\n\n"
     "Args:\n    frame: the rejected frame.\n\n"
     "Override it to report rejected frames another way.\n"},
    {"MewSlaveBase.not_for_this_station",
     "Whether a request's station is one this station ignores.\n\n"
     "Args:\n    station: the request's station number.\n\n"
     "Returns:\n    True when this station is not 0 and station is neither 0 nor this station.\n"},
    {"MewSlaveBase.process_request",
     "Turns one request frame into the answer frame, calling the hook its command needs.\n\n"
     "Args:\n    command: one whole request frame.\n\n"
     "Returns:\n    The answer frame, an error answer ('03' for an unknown command), or '' when nothing is\n"
     "    to be sent (an invalid frame, which goes to process_invalid_frame, or another station's request).\n\n"
     "Raises:\n    MewSlaveNoFeedback: raised by a hook; nothing is to be sent.\n"
     "    ValueError: a station or data field that is not hexadecimal.\n"
     "    TypeError: command is not text, or a read hook returned no sequence of integers.\n"
     "    Any exception of a hook passes on.\n"},
    {"MewSlaveBase.on_get_coil",
     "Hook for RCS: the state of one contact.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and contact address, such as 'R0012'.\n\n"
     "Returns:\n    The contact's state (its truth value is used).\n"},
    {"MewSlaveBase.on_get_multi_coil_uint16",
     "Hook for RCC: the values of consecutive contact words.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and first word, such as 'R0010'.\n"
     "    count: the number of words asked for.\n\n"
     "Returns:\n    A sequence of integers 0..65535, one per word.\n"},
    {"MewSlaveBase.on_get_multi_uint16",
     "Hook for RD: the values of consecutive data registers.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and first register, such as 'D00100'.\n"
     "    count: the number of registers asked for.\n\n"
     "Returns:\n    A sequence of integers 0..65535, one per register.\n"},
    {"MewSlaveBase.on_set_coil",
     "Hook for WCS: sets or resets one contact.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and contact address, such as 'Y0000'.\n"
     "    value: True to set, False to reset.\n"},
    {"MewSlaveBase.on_set_multi_coil_uint16",
     "Hook for WCC: writes consecutive contact words.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and first word, such as 'R0010'.\n"
     "    values: a list of integers, one per word.\n\n"
     "Raises:\n    TypeError: values is not a list (when the base's operation is called).\n"},
    {"MewSlaveBase.on_set_multi_uint16",
     "Hook for WD: writes consecutive data registers.\n\n" OZU_HOOK_NOTE
     "Args:\n    station: the request's station number.\n    name: area letter and first register, such as 'D00100'.\n"
     "    values: a list of integers, one per register.\n\n"
     "Raises:\n    TypeError: values is not a list (when the base's operation is called).\n"},

    // ------------------------------------------------------------------ master
    {"MewMasterBase",
     "A link that sends requests to stations and waits for their answers (query()).\n\n"
     "Does not start by itself: call start() before query(). MewMaster adds the typed operations.\n\n"
     "Args:\n    channel: a device name or a channel object, as for MewBase.\n"
     "    query_timeout: seconds a query waits for its answer (default 1; None waits without limit).\n"
     OZU_LINK_KEYWORDS "\n"
     "Raises:\n    ValueError: 'Unknown device name: NAME'.\n    OSError: the port cannot be opened.\n"},
    {"MewMasterBase.query",
     "Sends a whole request frame and returns the command part of the station's answer.\n\n"
     "Queries run one at a time, whatever the number of threads using the master.\n\n"
     "Args:\n    command: a whole request frame, such as MewStatic.fill_read_data_area_message(1, 'DT100', 1).\n\n"
     "Returns:\n    The answer after its station and type character, without block check and carriage return,\n"
     "    such as 'RD3412'.\n\n"
     "Raises:\n    OSError: 'MewMasterBase:PORT:device response timeout.' when no answer came within\n"
     "        query_timeout; a malformed answer, an answer from another station, or an error answer.\n"
     "    ValueError: an answer whose station field is not hexadecimal.\n"},
    {"MewMaster",
     "A master that reads and writes contacts and data registers of stations; running once made.\n\n"
     "Names: contacts 'R0012' (area letter, three decimal word digits, one hexadecimal bit digit),\n"
     "contact words 'WR10', registers 'DT100'. Every operation is one request and one answer. A master\n"
     "may be shared by threads: its queries run one at a time. close() it when done.\n\n"
     "Args:\n    channel: a device name ('COM3', '/dev/ttyUSB0', 'brix://HOST:PORT', 'COM1,COM2') or a\n"
     "        channel object such as MewSerial(port='/dev/serial/by-id/...').\n"
     "    query_timeout: seconds a query waits for its answer (default 1; None waits without limit).\n"
     OZU_LINK_KEYWORDS "\n"
     "Raises:\n    ValueError: 'Unknown device name: NAME'.\n    OSError: the port cannot be opened.\n"
     "    TypeError, ValueError: a bad port setting.\n"},
    {"MewMaster.get_coil",
     "Reads one contact (RCS).\n\n" OZU_STATION_ARG "    name: the contact, such as 'R0012'.\n\n"
     "Returns:\n    True or False.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_coil_uint16",
     "Reads one contact word (RCC).\n\n" OZU_STATION_ARG "    name: the contact word, such as 'WR10'.\n\n"
     "Returns:\n    An integer 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_multi_coil_uint16",
     "Reads consecutive contact words (RCC).\n\n" OZU_STATION_ARG "    name: the first contact word, such as 'WR10'.\n"
     "    count: the number of words.\n\n"
     "Returns:\n    A list of integers 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_uint16",
     "Reads one data register as an unsigned 16-bit value (RD).\n\n" OZU_STATION_ARG
     "    name: the register, such as 'DT100'.\n\n"
     "Returns:\n    An integer 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_multi_uint16",
     "Reads consecutive data registers as unsigned 16-bit values (RD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT100'.\n    count: the number of registers.\n\n"
     "Returns:\n    A list of integers 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_int16",
     "Reads one data register as a signed 16-bit value (RD).\n\n" OZU_STATION_ARG
     "    name: the register, such as 'DT100'.\n\n"
     "Returns:\n    An integer -32768..32767.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_uint32",
     "Reads two data registers as one unsigned 32-bit value, low word first (RD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n\n"
     "Returns:\n    An integer 0..4294967295.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_int32",
     "Reads two data registers as one signed 32-bit value, low word first (RD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n\n"
     "Returns:\n    An integer -2147483648..2147483647.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_multi_uint32",
     "Reads count unsigned 32-bit values from 2 * count consecutive registers (RD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    count: the number of 32-bit values.\n\n"
     "Returns:\n    A list of integers 0..4294967295.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.get_multi_int32",
     "Reads count signed 32-bit values from 2 * count consecutive registers (RD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    count: the number of 32-bit values.\n\n"
     "Returns:\n    A list of integers -2147483648..2147483647.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.set_coil",
     "Sets or resets one contact (WCS).\n\n" OZU_STATION_ARG "    name: the contact, such as 'Y0000'.\n"
     "    value: True to set, False to reset.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.set_coil_uint16",
     "Writes one contact word (WCC).\n\n" OZU_STATION_ARG "    name: the contact word, such as 'WR10'.\n"
     "    value: an integer 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.set_multi_coil_uint16",
     "Writes consecutive contact words (WCC).\n\n" OZU_STATION_ARG "    name: the first contact word, such as 'WR10'.\n"
     "    values: a list of integers 0..65535, one per word.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.set_uint16",
     "Writes one data register as an unsigned 16-bit value (WD).\n\n" OZU_STATION_ARG
     "    name: the register, such as 'DT100'.\n    value: an integer 0..65535.\n\n" OZU_QUERY_FAILURES},
    {"MewMaster.set_multi_uint16",
     "Writes consecutive data registers as unsigned 16-bit values (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT100'.\n    values: a list of integers 0..65535.\n\n"
     OZU_QUERY_FAILURES},
    {"MewMaster.set_uint32",
     "Writes one unsigned 32-bit value into two data registers, low word first (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    value: an integer 0..4294967295.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range.\n"},
    {"MewMaster.set_int16",
     "Writes one data register as a signed 16-bit value (WD).\n\n" OZU_STATION_ARG
     "    name: the register, such as 'DT100'.\n    value: an integer -32768..32767.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range; nothing is sent.\n"},
    {"MewMaster.set_int32",
     "Writes one signed 32-bit value into two data registers, low word first (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    value: an integer -2147483648..2147483647.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range; nothing is sent.\n"},
    {"MewMaster.set_multi_int16",
     "Writes consecutive data registers as signed 16-bit values (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT100'.\n    values: a list of integers -32768..32767.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range; nothing is sent.\n"},
    {"MewMaster.set_multi_uint32",
     "Writes unsigned 32-bit values into consecutive register pairs, low word first (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    values: a list of integers 0..4294967295.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range; nothing is sent.\n"},
    {"MewMaster.set_multi_int32",
     "Writes signed 32-bit values into consecutive register pairs, low word first (WD).\n\n" OZU_STATION_ARG
     "    name: the first register, such as 'DT200'.\n    values: a list of integers -2147483648..2147483647.\n\n"
     OZU_QUERY_FAILURES "    struct.error: a value outside the range; nothing is sent.\n"},

    // ------------------------------------------------------------------ full duplex and demonstration
    {"MewFullDuplexBase",
     "A master and a station on one link: a worker thread answers requests while queries go out.\n\n"
     "Derive from it and supply the six on_ hooks of MewSlaveBase; start() starts answering (the\n"
     "master side runs from creation). Hooks run in the worker thread, one request at a time.\n\n"
     "Args:\n    channel: a device name or a channel object, as for MewMaster.\n"
     "    slave_station: the station number it answers for (default 0: every station).\n"
     "    query_timeout: seconds a query of the master side waits (default 1).\n"
     OZU_LINK_KEYWORDS "\n"
     "Raises:\n    AssertionError: slave_station below 0.\n    TypeError: slave_station is not an int.\n"
     "    ValueError: 'Unknown device name: NAME'.\n    OSError: the port cannot be opened.\n"},
    {"MewFullDuplexBase.check_and_process_request",
     "Body of the worker thread: answers each request received until stop(); not called otherwise.\n\n"
     "A hook's exception other than MewSlaveNoFeedback is printed and the request gets no answer.\n"},
    {"MewFullDuplexBase.start", "Starts the link and the worker thread that answers requests."},
    {"MewFullDuplexBase.stop", "Stops the link, then the worker, and waits for both."},
    {"MewFullDuplexBase.channel_name", "'MewFullDuplex[PORT]' with the channel's port name."},
    {"RandomMewSlaveDemo",
     "A ready-made station that answers reads with random values and prints every write.\n\n"
     "Args:\n    station: the station number it answers for (0: every station).\n"
     "    channel: a device name or a channel object, as for MewBase.\n" OZU_LINK_KEYWORDS "\n"
     "Raises:\n    TypeError: station is not an int.\n    ValueError: 'Unknown device name: NAME'.\n"
     "    OSError: the port cannot be opened.\n"},
    {"RandomMewSlaveDemo.start", "Starts the link, then the worker thread that answers requests."},
    {"RandomMewSlaveDemo.stop", "Stops the worker, then the link, and waits for both."},
    {"RandomMewSlaveDemo.on_get_coil",
     "A random contact state.\n\n"
     "Args:\n    station: the request's station number.\n    name: the contact, such as 'R0012'.\n\n"
     "Returns:\n    True or False, each with probability one half.\n"},
    {"RandomMewSlaveDemo.on_get_multi_coil_uint16",
     "Random values for count contact words.\n\n"
     "Args:\n    station: the request's station number.\n    name: the first word, such as 'R0010'.\n"
     "    count: the number of words.\n\n"
     "Returns:\n    A list of count integers 0..65535 (empty when count is below 1).\n"},
    {"RandomMewSlaveDemo.on_get_multi_uint16",
     "Random values for count registers, from on_get_multi_coil_uint16().\n\n"
     "Args:\n    station: the request's station number.\n    name: the first register, such as 'D00100'.\n"
     "    count: the number of registers.\n\n"
     "Returns:\n    A list of count integers 0..65535.\n\n"
     "Raises:\n    TypeError: on_get_multi_coil_uint16 returned neither a list nor None.\n"},
    {"RandomMewSlaveDemo.on_set_coil",
     "Prints 'Slave: Contact NAME is set to VALUE'.\n\n"
     "Args:\n    station: the request's station number.\n    name: the contact.\n    value: its new state.\n"},
    {"RandomMewSlaveDemo.on_set_multi_coil_uint16",
     "Prints 'Slave: Contact Crow NAME wrote to VALUES'.\n\n"
     "Args:\n    station: the request's station number.\n    name: the first word.\n    values: the words' values.\n"},
    {"RandomMewSlaveDemo.on_set_multi_uint16",
     "Prints 'Slave: Registers NAME wrote to VALUES'.\n\n"
     "Args:\n    station: the request's station number.\n    name: the first register.\n"
     "    values: the registers' values.\n"},
    {nullptr, nullptr},
};

#undef OZU_CODEC_TYPES
#undef OZU_LINK_KEYWORDS
#undef OZU_STATION_ARG
#undef OZU_QUERY_FAILURES
#undef OZU_HOOK_NOTE

}  // namespace ozu::mew
