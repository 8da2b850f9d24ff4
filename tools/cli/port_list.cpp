#include "port_list.hpp"

#include "ozu/serial/port_list.hpp"

namespace ozu::cli {

native::Result<std::vector<PortEntry>> list_serial_ports() {
    std::vector<serial::PortInfo> found;
    serial::IoError err;
    if (!serial::list_ports(found, err))
        return native::Error::make(native::ErrorKind::LinkFailure, "listing serial ports: " + err.message);
    std::vector<PortEntry> ports;
    ports.reserve(found.size());
    for (const serial::PortInfo& p : found) ports.push_back({p.device, p.description == "n/a" ? "" : p.description});
    return ports;
}

}  // namespace ozu::cli
