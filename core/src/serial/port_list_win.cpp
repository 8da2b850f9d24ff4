// Serial ports of a Windows machine: the present devices of the Ports class (SetupAPI), which
// give a name and hardware id, then any COM port of the SERIALCOMM map that class did not list
// (ports of drivers that install no device of that class).
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include "ozu/serial/port_list.hpp"
#include "port_internal.hpp"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace ozu::serial {

namespace {

// The Ports (COM & LPT) device setup class.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string utf8(const std::wstring& text) {
    std::size_t end = text.find(L'\0');
    return utf8(text.data(), end == std::wstring::npos ? text.size() : end);
}

bool is_com(const std::string& name) {
    return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
           (name[2] == 'M' || name[2] == 'm') &&
           std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A REG_SZ value of an open key; empty when missing or of another type.
std::wstring registry_string(HKEY key, const wchar_t* value) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) return {};
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) != ERROR_SUCCESS)
        return {};
    return text;
}

std::wstring device_property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
    wchar_t buffer[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t), nullptr))
        return {};
    return buffer;
}

// "USB\VID_0403&PID_6001\A12345" as "USB VID:PID=0403:6001 SER=A12345"; other ids as they are.
std::string hardware_id(const std::string& instance) {
    auto vid = instance.find("VID_");
    auto pid = instance.find("PID_");
    if (instance.rfind("USB\\", 0) != 0 || vid == std::string::npos || pid == std::string::npos ||
        vid + 8 > instance.size() || pid + 8 > instance.size())
        return instance;
    std::string hwid = "USB VID:PID=" + instance.substr(vid + 4, 4) + ":" + instance.substr(pid + 4, 4);
    auto last = instance.rfind('\\');
    // A serial number Windows made up for a device without one has '&' in it.
    if (last != std::string::npos && last > pid && instance.find('&', last) == std::string::npos)
        hwid += " SER=" + instance.substr(last + 1);
    return hwid;
}

void add_class_devices(std::vector<PortInfo>& ports) {
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        std::string name = utf8(registry_string(key, L"PortName"));
        RegCloseKey(key);
        if (!is_com(name)) continue;  // printer ports share the class
        PortInfo info;
        info.device = name;
        info.description = utf8(device_property(set, data, SPDRP_FRIENDLYNAME));
        if (info.description.empty()) info.description = utf8(device_property(set, data, SPDRP_DEVICEDESC));
        wchar_t instance[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &data, instance, 511, nullptr)) info.hwid = hardware_id(utf8(instance));
        ports.push_back(std::move(info));
    }
    SetupDiDestroyDeviceInfoList(set);
}

void add_serialcomm(std::vector<PortInfo>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t value[256];
        DWORD value_len = 256;
        wchar_t data[256] = {};
        DWORD data_bytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        LONG r = RegEnumValueW(key, i, value, &value_len, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_bytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        std::string name = utf8(data, wcsnlen(data, data_bytes / sizeof(wchar_t)));
        if (!is_com(name)) continue;
        bool known = std::any_of(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.device == name; });
        if (!known) ports.push_back({name, "n/a", utf8(value, value_len), {}});
    }
    RegCloseKey(key);
}

}  // namespace

bool list_ports(std::vector<PortInfo>& ports, IoError& err, const PortListOptions& options) {
    ports.clear();
    err = IoError{};
    const PortListOptions defaults;
    if (options.sysfs_root != defaults.sysfs_root || options.dev_root != defaults.dev_root) {
        detail::fail(err, ErrorKind::Unsupported, EINVAL, "sysfs_root and dev_root apply to Linux only");
        return false;
    }
    add_class_devices(ports);
    add_serialcomm(ports);
    for (PortInfo& p : ports) {
        if (p.description.empty()) p.description = "n/a";
        if (p.hwid.empty()) p.hwid = "n/a";
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return natural_less(a.device, b.device); });
    return true;
}

}  // namespace ozu::serial
#endif
