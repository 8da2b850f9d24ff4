// Serial ports of a Linux machine, from sysfs: /sys/class/tty/NAME is a port when it has a device
// link; USB adapters carry their ids a few folders up that device's path.
#ifndef _WIN32
#include "ozu/serial/port_list.hpp"
#include "port_internal.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace ozu::serial {

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its newline; empty when there is none.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// A UART slot the serial core registered without finding a UART ("type" 0 is PORT_UNKNOWN).
bool empty_uart_slot(const fs::path& tty) {
    std::error_code ec;
    return fs::exists(tty / "type", ec) && attribute(tty / "type") == "0";
}

// The nearest folder at or above `from`, inside `root`, that holds `marker`.
fs::path ancestor_with(fs::path from, const fs::path& root, const char* marker) {
    std::error_code ec;
    for (; !from.empty() && from != from.root_path(); from = from.parent_path()) {
        auto rel = from.lexically_relative(root);
        if (rel.empty() || *rel.begin() == "..") break;
        if (fs::exists(from / marker, ec)) return from;
    }
    return {};
}

void describe(PortInfo& info, const fs::path& device, const fs::path& sysfs) {
    std::error_code ec;
    fs::path real = fs::canonical(device, ec);
    if (ec) real = device;
    fs::path canonical_root = fs::weakly_canonical(sysfs, ec);
    fs::path usb = ancestor_with(real, canonical_root, "idVendor");
    if (!usb.empty()) {
        // The USB interface the tty belongs to: the folder below the device whose name has ':'.
        fs::path interface;
        for (fs::path p = real; p != usb && !p.empty() && p != p.root_path(); p = p.parent_path())
            if (p.filename().string().find(':') != std::string::npos) interface = p;
        std::string hwid = "USB VID:PID=" + attribute(usb / "idVendor") + ":" + attribute(usb / "idProduct");
        std::string serial = attribute(usb / "serial");
        if (!serial.empty()) hwid += " SER=" + serial;
        hwid += " LOCATION=" + (interface.empty() ? usb.filename().string() : interface.filename().string());
        info.hwid = hwid;
        std::string product = interface.empty() ? std::string() : attribute(interface / "interface");
        if (product.empty()) product = attribute(usb / "product");
        std::string maker = attribute(usb / "manufacturer");
        if (!product.empty()) info.description = maker.empty() ? product : maker + " " + product;
        return;
    }
    fs::path pci = ancestor_with(real, canonical_root, "vendor");
    if (!pci.empty() && fs::exists(pci / "device", ec)) {
        auto id = [](std::string v) { return v.rfind("0x", 0) == 0 ? v.substr(2) : v; };
        info.hwid = "PCI VID:PID=" + id(attribute(pci / "vendor")) + ":" + id(attribute(pci / "device"));
        return;
    }
    std::string modalias = attribute(device / "modalias");
    if (!modalias.empty()) info.hwid = modalias;
    fs::path subsystem = fs::read_symlink(device / "subsystem", ec);
    if (info.hwid.empty() && !ec) info.hwid = subsystem.filename().string();
}

// The links of dev_root/serial/by-id that lead to dev_root/name.
std::vector<std::string> by_id_links(const fs::path& dev_root, const std::string& name) {
    std::vector<std::string> links;
    std::error_code ec;
    const fs::path dir = dev_root / "serial" / "by-id";
    const fs::path target = (dev_root / name).lexically_normal();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code lec;
        if (!it->is_symlink(lec)) continue;
        fs::path to = fs::read_symlink(it->path(), lec);
        if (lec) continue;
        // udev writes "../../ttyUSB0"; an absolute "/dev/ttyUSB0" means the same device.
        fs::path resolved = to.is_absolute() ? to : (dir / to);
        resolved = resolved.lexically_normal();
        bool same = resolved == target || (to.is_absolute() && to.lexically_normal() == fs::path("/dev") / name);
        if (same) links.push_back(it->path().string());
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

bool list_ports(std::vector<PortInfo>& ports, IoError& err, const PortListOptions& options) {
    ports.clear();
    err = IoError{};
    const fs::path sysfs(options.sysfs_root);
    const fs::path dev(options.dev_root);
    const fs::path ttys = sysfs / "class" / "tty";
    std::error_code ec;
    if (!fs::is_directory(ttys, ec)) return true;  // no sysfs: no ports to tell of
    for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path tty = it->path();
        std::error_code dec;
        if (!fs::exists(tty / "device", dec) || empty_uart_slot(tty)) continue;  // virtual consoles, ptys
        PortInfo info;
        const std::string name = tty.filename().string();
        info.device = (dev / name).string();
        describe(info, tty / "device", sysfs);
        if (info.description.empty()) info.description = "n/a";
        if (info.hwid.empty()) info.hwid = "n/a";
        info.by_id = by_id_links(dev, name);
        ports.push_back(std::move(info));
    }
    if (ec) {
        detail::fail_os(err, ec.value());
        ports.clear();
        return false;
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return natural_less(a.device, b.device); });
    return true;
}

}  // namespace ozu::serial
#endif
