// The serial ports of the machine: what open_port() can open, with what the system knows of each.
#pragma once

#include "ozu/serial/port.hpp"

#include <string>
#include <vector>

namespace ozu::serial {

struct PortInfo {
    std::string device;                // the name open_port() takes: /dev/ttyUSB0, COM3
    std::string description;           // the product or the driver's name for it; "n/a" when unknown
    std::string hwid;                  // "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2:1.0", or the bus's id
    std::vector<std::string> by_id;    // Linux: the /dev/serial/by-id links to the device, sorted
};

// Where the Linux listing looks. Other roots serve tests with a fabricated tree.
struct PortListOptions {
    std::string sysfs_root = "/sys";
    std::string dev_root = "/dev";
};

// Fills `ports` sorted by device name (COM2 before COM10). Linux: every tty of /sys/class/tty that
// has a device, except UART slots with no UART behind them. Windows: the present devices of the
// ports class and the SERIALCOMM map. Options other than the defaults are refused on Windows.
bool list_ports(std::vector<PortInfo>& ports, IoError& err, const PortListOptions& options = {});

// "COM2" < "COM10", "ttyS2" < "ttyS10": digit runs compare as numbers.
bool natural_less(const std::string& a, const std::string& b);

}  // namespace ozu::serial
