// Helpers shared by the serial backends.
#pragma once

#include "ozu/serial/port.hpp"

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ozu::serial::detail {

inline bool fail(IoError& err, ErrorKind kind, int code, std::string message) {
    err.kind = kind;
    err.code = code;
    err.message = std::move(message);
    err.win32_code = false;
    return false;
}

// errno (or a Win32 code on Windows) with the system's text for it.
std::string system_message(int code);

// An error the system reported (errno; on Windows a Win32 or Winsock code).
inline bool fail_system(IoError& err, ErrorKind kind, int code) {
    fail(err, kind, code, system_message(code));
#ifdef _WIN32
    err.win32_code = true;
#endif
    return false;
}

inline bool fail_os(IoError& err, int code) { return fail_system(err, ErrorKind::Os, code); }

inline bool fail_closed(IoError& err) { return fail(err, ErrorKind::PortClosed, EBADF, "port is closed"); }

inline bool fail_write_timeout(IoError& err) {
    return fail(err, ErrorKind::WriteTimeout, ETIMEDOUT, "write timeout");
}

// Validates the settings every device kind shares.
bool check_settings(const Settings& settings, IoError& err);

// A point in time after which a wait gives up; none = never.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::optional<double> seconds) {
        if (seconds) {
            double s = *seconds < 0 ? 0 : *seconds;
            // Past roughly 30 years a time-out is as good as none, and the arithmetic stays in range.
            if (s < 1e9) {
                at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
                limited_ = true;
            }
        }
    }
    bool unlimited() const noexcept { return !limited_; }
    // Seconds left (0 once passed); none when unlimited.
    std::optional<double> remaining() const {
        if (!limited_) return std::nullopt;
        auto left = at_ - Clock::now();
        if (left <= Clock::duration::zero()) return 0.0;
        return std::chrono::duration<double>(left).count();
    }
    // Milliseconds for poll()-like calls: -1 = no limit, rounded up so a short wait never spins.
    int poll_ms() const {
        auto left = remaining();
        if (!left) return -1;
        double ms = *left * 1000.0;
        if (ms <= 0) return 0;
        if (ms >= 2147483647.0) return 2147483647;
        int whole = static_cast<int>(ms);
        return whole < ms ? whole + 1 : whole;
    }

private:
    Clock::time_point at_{};
    bool limited_ = false;
};

// Backend factories (each in its own source).
std::unique_ptr<Port> open_tty(const Settings& settings, IoError& err);
std::unique_ptr<Port> open_com(const Settings& settings, IoError& err);
std::unique_ptr<Port> open_tcp(const Settings& settings, const std::string& host, const std::string& service,
                               const std::function<bool()>* between, IoError& err);
std::unique_ptr<Port> open_listen(const Settings& settings, const std::string& host, const std::string& service,
                                  IoError& err);
std::unique_ptr<Port> open_pipe(const Settings& settings, const std::string& name, int end, IoError& err);

}  // namespace ozu::serial::detail
