// The help() texts of ozu_brix: the module guide, create_serial_instance and the port type's members,
// by qualified name.
#include "brix.hpp"

namespace ozu::brix {

#define OZU_PORT_FAILURES                                                                         \
    "Raises:\n    PortClosedError: the port is closed.\n"                                          \
    "    OSError: the device failed or went away, or the peer closed the connection (errno, reason\n" \
    "        and port name in the message).\n"

extern const char* const kModuleDoc =
    "Serial ports for ozu_mew: POSIX ttys, Windows COM ports, TCP device servers and an in-process\n"
    "virtual null-modem, behind one port type.\n\n"
    "Open a port with create_serial_instance(port=NAME, **settings); it returns a SerialPort:\n\n"
    "    import ozu_brix\n"
    "    with ozu_brix.create_serial_instance(port='/dev/ttyUSB0', baudrate=19200, timeout=0.2) as port:\n"
    "        port.write(b'%01#RCSR001214\\r')\n"
    "        print(port.read(64))   # at most 64 bytes; b'' when nothing came within the time-out\n\n"
    "Port names:\n"
    "    /dev/tty..., /dev/pts/N, /dev/serial/by-id/...  a POSIX serial device (any path), raw mode\n"
    "    COM<n> (any case)                 a Windows serial port; on POSIX an OSError\n"
    "    brix://HOST:PORT                  a TCP connection to a serial device server\n"
    "    brix:listen:HOST:PORT             a TCP server that serves one client at a time\n"
    "    brix:pipe:NAME:a, brix:pipe:NAME:b  the two ends of an in-process virtual null-modem\n"
    "    hidcom...                         recognised, not supported by this build (OSError)\n\n"
    "Settings (keywords only): timeout (seconds a read waits; None blocks, 0 never waits; default\n"
    "1.0), write_timeout (None), baudrate (9600), bytesize (8), parity ('O'), stopbits (1),\n"
    "exclusive (True: no other port object or process may open the device meanwhile), reconnect\n"
    "(None: off; seconds between attempts to reopen a device that vanished), trace (False: True logs\n"
    "every write and every chunk read to the logger 'ozu_brix.wire' at DEBUG), encoding (accepted\n"
    "and ignored: ports move bytes).\n\n"
    "Failures: OSError and its subclasses as the OS reports them (FileNotFoundError,\n"
    "PermissionError, ConnectionRefusedError, ...), with the port name; PortClosedError for any I/O on\n"
    "a closed port; TimeoutError when a write does not finish within write_timeout; TypeError and\n"
    "ValueError for unknown settings and bad values.\n\n"
    "MAX_FRAME_LENGTH is the longest frame, carriage return included, that ozu_mew's frame reader\n"
    "accepts from a port.\n";

// A method's text starts with its signature ("name($self, ...)" and "--"), from which inspect and
// help() read the parameters of a built-in method.
extern const py::DocEntry kDocs[] = {
    {"list_ports",
     "Lists the serial ports of the machine, sorted by device name.\n\n"
     "Linux reads /sys/class/tty (ttys that have a device) and the /dev/serial/by-id links; Windows\n"
     "lists the Ports device class and the SERIALCOMM map.\n\n"
     "Args:\n"
     "    sysfs_root: where the sysfs tree stands (default None: /sys); for tests on a made-up tree.\n"
     "    dev_root: where the device tree stands (default None: /dev).\n\n"
     "Returns:\n    A list of PortInfo records (device, description, hwid, by_id).\n\n"
     "Raises:\n    OSError: the tree cannot be read.\n"
     "    ValueError: a root was given on Windows, which has no such tree.\n"
     "    TypeError: a root that is not text.\n"},
    {"SerialPort",
     "A serial port opened by create_serial_instance(); closed by close() or a with block.\n\n"
     "Reads wait up to timeout; writes send all of their data. Any use of a closed port raises\n"
     "PortClosedError. One thread may read while another writes.\n"},
    {"create_serial_instance",
     "Opens a serial port by name and returns it as a SerialPort.\n\n"
     "Args (keywords only):\n"
     "    port: the device name: a tty path, COM<n>, brix://HOST:PORT, brix:listen:HOST:PORT or\n"
     "        brix:pipe:NAME:a|b.\n"
     "    timeout: seconds a read waits (None blocks, 0 never waits; default 1.0).\n"
     "    write_timeout: seconds a write may take (default None: no limit).\n"
     "    baudrate: bits per second (default 9600).\n"
     "    bytesize: 5, 6, 7 or 8 (default 8).\n"
     "    parity: 'N', 'E', 'O', 'M' or 'S' (default 'O').\n"
     "    stopbits: 1, 1.5 or 2 (default 1).\n"
     "    exclusive: lock the device against other openers (default True).\n"
     "    reconnect: seconds between attempts to reopen a device that vanished (tty hang-up, TCP\n"
     "        reset or end); meanwhile read() returns b'' and write() raises OSError(ENOTCONN).\n"
     "        Default None: a vanished device fails the port's reads and writes.\n"
     "    trace: log every write and every chunk read to the logger 'ozu_brix.wire' at DEBUG, and\n"
     "        drops and returns at WARNING and INFO (default False).\n"
     "    encoding: accepted and ignored.\n\n"
     "Returns:\n    An open SerialPort.\n\n"
     "Raises:\n    OSError: the device cannot be opened: FileNotFoundError, PermissionError, a busy device,\n"
     "        ConnectionRefusedError, or an unsupported kind of name.\n"
     "    TypeError: port is missing or not text, or an unknown setting.\n"
     "    ValueError: a setting of the wrong value.\n"},
    {"SerialPort.read",
     "read($self, /, size=1)\n--\n\n"
     "Reads at most size bytes, waiting up to timeout for the first of them.\n\n"
     "Args:\n    size: the most bytes to read (default 1).\n\n"
     "Returns:\n    bytes; b'' when nothing arrived within the time-out.\n\n" OZU_PORT_FAILURES},
    {"SerialPort.write",
     "write($self, data, /)\n--\n\n"
     "Writes all of data.\n\n"
     "Args:\n    data: a bytes-like object.\n\n"
     "Returns:\n    The number of bytes written (len(data)).\n\n" OZU_PORT_FAILURES
     "    TimeoutError: the write did not finish within write_timeout.\n"
     "    TypeError: data is not bytes-like.\n"},
    {"SerialPort.reset_input_buffer", "reset_input_buffer($self, /)\n--\n\n"
     "Discards received bytes not yet read.\n\n" OZU_PORT_FAILURES},
    {"SerialPort.reset_output_buffer", "reset_output_buffer($self, /)\n--\n\n"
     "Discards written bytes not yet sent.\n\n" OZU_PORT_FAILURES},
    {"SerialPort.close",
     "close($self, /)\n--\n\n"
     "Closes the port; closing a closed port does nothing.\n\n"
     "A read blocked in another thread ends with PortClosedError.\n"},
    {"SerialPort.fileno",
     "fileno($self, /)\n--\n\n"
     "The OS file descriptor of a tty or TCP port.\n\n"
     "Returns:\n    An integer.\n\n"
     "Raises:\n    PortClosedError: the port is closed.\n"
     "    io.UnsupportedOperation: the port has no descriptor (a virtual null-modem end).\n"},
    {"SerialPort.__enter__", "Returns the port itself, for use in a with block.\n\n"
     "Raises:\n    PortClosedError: the port is closed.\n"},
    {"SerialPort.__exit__", "Closes the port at the end of a with block; an error of the block passes on."},
    {"SerialPort.port", "The port name as given to create_serial_instance."},
    {"SerialPort.in_waiting", "The number of bytes received and not yet read (raises PortClosedError once closed)."},
    {"SerialPort.is_open", "Whether the port is open."},
    {"SerialPort.timeout", "Seconds a read waits (None blocks, 0 never waits); may be set."},
    {"SerialPort.write_timeout", "Seconds a write may take (None: no limit)."},
    {"SerialPort.baudrate", "The line speed in bits per second."},
    {"SerialPort.bytesize", "Data bits per character: 5, 6, 7 or 8."},
    {"SerialPort.parity", "The parity: 'N', 'E', 'O', 'M' or 'S'."},
    {"SerialPort.stopbits", "Stop bits: 1, 1.5 or 2."},
    {"SerialPort.exclusive", "Whether the device is locked against other openers."},
    {"SerialPort.reconnect", "Seconds between attempts to reopen a vanished device (None: off)."},
    {"SerialPort.trace", "Whether writes and reads are logged to the logger 'ozu_brix.wire'."},
    {"SerialPort.connected", "Whether the device is there now (False during an outage of a reconnecting port)."},
    {"SerialPort.reconnects", "How many times the port has reopened its device."},
    {nullptr, nullptr},
};

#undef OZU_PORT_FAILURES

}  // namespace ozu::brix
