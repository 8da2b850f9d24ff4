// The serial ports of this machine, for `ozu-mew ports`.
#pragma once

#include "ozu/native/result.hpp"

#include <string>
#include <vector>

namespace ozu::cli {

struct PortEntry {
    std::string device;       // the name to open ("/dev/ttyUSB0", "COM3")
    std::string description;  // what the system says about it, possibly empty
};

native::Result<std::vector<PortEntry>> list_serial_ports();

}  // namespace ozu::cli
