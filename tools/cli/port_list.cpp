#include "port_list.hpp"

namespace ozu::cli {

// The core's port lister is not part of this build yet: say so rather than guess at devices.
native::Result<std::vector<PortEntry>> list_serial_ports() {
    return native::Error::make(native::ErrorKind::LinkFailure,
                               "listing serial ports is not available in this build");
}

}  // namespace ozu::cli
