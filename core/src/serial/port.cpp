// Buffering, time-outs and the open/close life cycle that every backend shares.
#include "port_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace ozu::serial {

namespace detail {

std::string system_message(int code) {
#ifdef _WIN32
    char* text = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = len && text ? std::string(text, len) : "Windows error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
#else
    return std::strerror(code);
#endif
}

bool check_settings(const Settings& s, IoError& err) {
    auto bad = [&](const std::string& what) { return fail(err, ErrorKind::Os, EINVAL, what); };
    if (s.timeout && !(std::isfinite(*s.timeout) && *s.timeout >= 0)) return bad("invalid timeout");
    if (s.write_timeout && !(std::isfinite(*s.write_timeout) && *s.write_timeout >= 0))
        return bad("invalid write_timeout");
    if (s.baudrate <= 0) return bad("invalid baudrate");
    if (s.bytesize < 5 || s.bytesize > 8) return bad("invalid bytesize");
    if (std::strchr("NEOMS", s.parity) == nullptr || s.parity == '\0') return bad("invalid parity");
    if (s.stopbits != 1 && s.stopbits != 1.5 && s.stopbits != 2) return bad("invalid stopbits");
    return true;
}

}  // namespace detail

namespace {
constexpr std::size_t kFillSize = 64 * 1024;
}

class Port::Operation {
public:
    Operation(Port& port, IoError& err) : port_(port) {
        std::lock_guard lock(port_.state_mutex_);
        if (!port_.open_ || port_.closing_) {
            detail::fail_closed(err);
            return;
        }
        ++port_.active_;
        admitted_ = true;
    }
    ~Operation() {
        if (!admitted_) return;
        std::lock_guard lock(port_.state_mutex_);
        if (--port_.active_ == 0) port_.idle_.notify_all();
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    explicit operator bool() const noexcept { return admitted_; }

private:
    Port& port_;
    bool admitted_ = false;
};

Port::Port(Settings settings) : settings_(std::move(settings)) {}

Port::~Port() = default;  // backends close themselves in their destructors

std::optional<double> Port::timeout() const {
    std::lock_guard lock(state_mutex_);
    return settings_.timeout;
}

Settings Port::settings() const {
    std::lock_guard lock(state_mutex_);
    return settings_;
}

void Port::set_timeout(std::optional<double> timeout) {
    std::lock_guard lock(state_mutex_);
    settings_.timeout = timeout;
}

bool Port::is_open() const {
    std::lock_guard lock(state_mutex_);
    return open_ && !closing_;
}

std::size_t Port::take(std::uint8_t* dst, std::size_t n) {
    std::lock_guard lock(buffer_mutex_);
    std::size_t count = std::min(n, buffer_.size() - head_);
    if (count == 0) return 0;
    std::memcpy(dst, buffer_.data() + head_, count);
    head_ += count;
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    }
    return count;
}

std::ptrdiff_t Port::fill(std::optional<double> timeout, IoError& err) {
    if (fill_.size() != kFillSize) fill_.resize(kFillSize);
    std::ptrdiff_t got = os_read(fill_.data(), fill_.size(), timeout, err);
    if (got <= 0) return got;
    std::lock_guard lock(buffer_mutex_);
    if (head_ > 0 && head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    }
    buffer_.insert(buffer_.end(), fill_.data(), fill_.data() + got);
    return got;
}

std::ptrdiff_t Port::read(std::uint8_t* dst, std::size_t n, IoError& err) {
    return read(dst, n, timeout(), err);
}

std::ptrdiff_t Port::read(std::uint8_t* dst, std::size_t n, std::optional<double> timeout, IoError& err) {
    Operation op(*this, err);
    if (!op) return -1;
    if (n == 0) return 0;
    std::lock_guard reading(read_mutex_);
    if (std::size_t got = take(dst, n)) return static_cast<std::ptrdiff_t>(got);
    std::ptrdiff_t filled = fill(timeout, err);
    if (filled <= 0) return filled;
    return static_cast<std::ptrdiff_t>(take(dst, n));
}

std::ptrdiff_t Port::write(const std::uint8_t* src, std::size_t n, IoError& err) {
    Operation op(*this, err);
    if (!op) return -1;
    if (n == 0) return 0;
    std::optional<double> timeout;
    {
        std::lock_guard lock(state_mutex_);
        timeout = settings_.write_timeout;
    }
    std::lock_guard writing(write_mutex_);
    return os_write(src, n, timeout, err);
}

std::ptrdiff_t Port::in_waiting(IoError& err) {
    Operation op(*this, err);
    if (!op) return -1;
    std::ptrdiff_t pending = os_pending(err);
    if (pending < 0) return -1;
    std::lock_guard lock(buffer_mutex_);
    return static_cast<std::ptrdiff_t>(buffer_.size() - head_) + pending;
}

bool Port::reset_input_buffer(IoError& err) {
    Operation op(*this, err);
    if (!op) return false;
    {
        std::lock_guard lock(buffer_mutex_);
        buffer_.clear();
        head_ = 0;
    }
    return os_flush_input(err);
}

bool Port::reset_output_buffer(IoError& err) {
    Operation op(*this, err);
    if (!op) return false;
    return os_flush_output(err);
}

void Port::close() {
    std::unique_lock lock(state_mutex_);
    if (!open_) return;
    if (closing_) {  // another thread is closing: return once it is done
        idle_.wait(lock, [this] { return !open_; });
        return;
    }
    closing_ = true;
    lock.unlock();
    wake();
    lock.lock();
    idle_.wait(lock, [this] { return active_ == 0; });
    // No operation can start while closing_ is set; the OS close (which on a serial device may
    // wait for output to drain) runs unlocked so the state getters never stall behind it.
    lock.unlock();
    os_close();
    lock.lock();
    open_ = false;
    closing_ = false;
    {
        std::lock_guard buffer(buffer_mutex_);
        buffer_.clear();
        buffer_.shrink_to_fit();
        head_ = 0;
    }
    idle_.notify_all();
}

}  // namespace ozu::serial
