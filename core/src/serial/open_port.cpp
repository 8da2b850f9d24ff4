// Chooses the device kind from the port name.
#include "port_internal.hpp"

#include <algorithm>
#include <cctype>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace ozu::serial {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "COM" and a number from 1 up, in any case.
bool is_com_name(const std::string& lowered) {
    if (!starts_with(lowered, "com") || lowered.size() < 4 || lowered.size() > 8) return false;
    if (lowered[3] == '0') return false;
    return std::all_of(lowered.begin() + 3, lowered.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool bad_name(IoError& err, const std::string& why) { return detail::fail(err, ErrorKind::BadName, EINVAL, why); }

// "HOST:PORT", HOST possibly in brackets ("[::1]"); false when it does not parse.
bool split_address(const std::string& rest, std::string& host, std::string& service) {
    if (!rest.empty() && rest[0] == '[') {
        auto close = rest.find(']');
        if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') {
            host = rest.substr(1, close - 1);
            service = rest.substr(close + 2);
        }
    } else {
        auto colon = rest.rfind(':');
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            service = rest.substr(colon + 1);
        }
    }
    bool numeric = !service.empty() && service.size() <= 5 &&
                   std::all_of(service.begin(), service.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    return !host.empty() && numeric && std::stol(service) >= 1 && std::stol(service) <= 65535;
}

// "brix://HOST:PORT".
std::unique_ptr<Port> open_tcp_name(const Settings& settings, const std::function<bool()>* between, IoError& err) {
    std::string host, service;
    if (!split_address(settings.port.substr(7), host, service)) {
        bad_name(err, "expected brix://HOST:PORT with a TCP port number from 1 to 65535");
        return nullptr;
    }
    return detail::open_tcp(settings, host, service, between, err);
}

// "brix:listen:HOST:PORT": the address is always explicit, so a station is never reachable from
// other machines by default.
std::unique_ptr<Port> open_listen_name(const Settings& settings, IoError& err) {
    std::string host, service;
    if (!split_address(settings.port.substr(12), host, service)) {
        bad_name(err, "expected brix:listen:HOST:PORT with a TCP port number from 1 to 65535");
        return nullptr;
    }
    return detail::open_listen(settings, host, service, err);
}

// "brix:pipe:NAME:a" or "brix:pipe:NAME:b"; NAME is anything not empty (it may hold colons).
std::unique_ptr<Port> open_pipe_name(const Settings& settings, IoError& err) {
    const std::string rest = settings.port.substr(10);
    auto colon = rest.rfind(':');
    std::string end = colon == std::string::npos ? std::string() : lower(rest.substr(colon + 1));
    if (colon == std::string::npos || colon == 0 || (end != "a" && end != "b")) {
        bad_name(err, "expected brix:pipe:NAME:a or brix:pipe:NAME:b");
        return nullptr;
    }
    return detail::open_pipe(settings, rest.substr(0, colon), end == "a" ? 0 : 1, err);
}

#ifndef _WIN32
bool looks_like_path(const std::string& name) {
    struct stat st;
    return name.find('/') != std::string::npos || ::stat(name.c_str(), &st) == 0;
}
#endif

}  // namespace

static std::unique_ptr<Port> open_port_with(const Settings& settings, IoError& err,
                                            const std::function<bool()>* between);

std::unique_ptr<Port> open_port(const Settings& settings, IoError& err) {
    return open_port(settings, err, nullptr);
}

std::unique_ptr<Port> open_port(const Settings& settings, IoError& err, const std::function<bool()>& between) {
    return open_port_with(settings, err, between ? &between : nullptr);
}

static std::unique_ptr<Port> open_port_with(const Settings& settings, IoError& err,
                                            const std::function<bool()>* between) {
    err = IoError{};
    const std::string& name = settings.port;
    const std::string lowered = lower(name);
    if (name.empty()) {
        bad_name(err, "empty port name");
        return nullptr;
    }
    if (name.find('\0') != std::string::npos) {
        bad_name(err, "port name contains a NUL character");
        return nullptr;
    }
    if (!detail::check_settings(settings, err)) return nullptr;
    if (starts_with(lowered, "brix://")) return open_tcp_name(settings, between, err);
    if (starts_with(lowered, "brix:pipe:")) return open_pipe_name(settings, err);
    if (starts_with(lowered, "brix:listen:")) return open_listen_name(settings, err);
    if (starts_with(lowered, "brix")) {
        bad_name(err, "unknown brix device; expected brix://HOST:PORT, brix:listen:HOST:PORT or brix:pipe:NAME:a|b");
        return nullptr;
    }
    if (starts_with(lowered, "hidcom")) {
        detail::fail(err, ErrorKind::Unsupported, ENOTSUP, "HID serial devices are not supported by this build");
        return nullptr;
    }
    if (is_com_name(lowered)) {
#ifdef _WIN32
        // The COM backend cannot reopen its device yet: without reconnect a vanished adapter stays
        // an error the caller sees, rather than a port that waits for ever.
        Settings com = settings;
        com.reconnect.reset();
        return detail::open_com(com, err);
#else
        detail::fail(err, ErrorKind::Unsupported, ENODEV,
                     "COM port names are Windows devices; use the device path, such as /dev/ttyUSB0");
        return nullptr;
#endif
    }
#ifdef _WIN32
    bad_name(err, "unknown device name; expected COM<n>, brix://HOST:PORT or brix:pipe:NAME:a|b");
    return nullptr;
#else
    if (looks_like_path(name)) return detail::open_tty(settings, err);
    bad_name(err, "unknown device name; expected a tty path, brix://HOST:PORT or brix:pipe:NAME:a|b");
    return nullptr;
#endif
}

}  // namespace ozu::serial
