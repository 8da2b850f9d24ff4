// Buffering, time-outs and the open/close life cycle that every backend shares.
#include "port_internal.hpp"

#include "ozu/serial/sliced_read.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

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
    if (s.reconnect && !(std::isfinite(*s.reconnect) && *s.reconnect > 0)) return bad("invalid reconnect");
    return true;
}

}  // namespace detail

namespace {
constexpr std::size_t kFillSize = 64 * 1024;
// How long a reader that found the device gone waits for a writer to leave before it gives up
// closing the device this time (the writer fails soon on a vanished device and tries again).
constexpr auto kWriterGrace = std::chrono::milliseconds(50);

// Takes the lock if its mutex becomes free within kWriterGrace.
bool lock_within_grace(std::unique_lock<std::mutex>& lock) {
    const auto end = std::chrono::steady_clock::now() + kWriterGrace;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

double monotonic_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool fail_disconnected(IoError& err) {
    return detail::fail(err, ErrorKind::DeviceGone, ENOTCONN, "device is disconnected and being reopened");
}
}  // namespace

TraceSink::~TraceSink() = default;

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

bool Port::os_reopen(std::optional<double>, IoError& err) {
    return detail::fail(err, ErrorKind::Unsupported, ENOTSUP, "this device kind cannot be reopened");
}

bool Port::connected() const {
    std::lock_guard lock(state_mutex_);
    return connected_ && open_ && !closing_;
}

std::uint64_t Port::reconnects() const {
    std::lock_guard lock(state_mutex_);
    return reconnects_;
}

void Port::set_connected(bool connected) {
    std::lock_guard lock(state_mutex_);
    connected_ = connected;
    changed_.notify_all();
}

void Port::set_trace(std::shared_ptr<TraceSink> sink) {
    std::lock_guard lock(trace_mutex_);
    has_trace_.store(sink != nullptr, std::memory_order_release);
    trace_ = std::move(sink);
}

void Port::trace(TraceEvent event, const std::uint8_t* data, std::size_t n, std::string_view detail) const {
    if (!tracing()) return;
    std::shared_ptr<TraceSink> sink;
    {
        std::lock_guard lock(trace_mutex_);
        sink = trace_;
    }
    if (sink) sink->record(*this, event, data, n, detail, monotonic_now());
}

bool Port::note_drop(const IoError& err) {
    bool first;
    {
        std::lock_guard lock(state_mutex_);
        first = connected_;
        connected_ = false;
        if (reconnecting()) boundary_pending_ = true;
    }
    if (first) trace(TraceEvent::Disconnected, nullptr, 0, err.message);
    return first;
}

bool Port::try_reopen(std::optional<double> wait) {
    {
        std::lock_guard lock(state_mutex_);
        if (closing_ || !open_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_attempt_) return false;
        next_attempt_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(std::min(*settings_.reconnect, 1e6)));
    }
    if (device_open_) {
        os_disconnect();
        device_open_ = false;
    }
    IoError err;
    if (!os_reopen(wait, err)) return false;
    device_open_ = true;
    {
        std::lock_guard lock(state_mutex_);
        connected_ = true;
        ++reconnects_;
        changed_.notify_all();
    }
    trace(TraceEvent::Reconnected);
    return true;
}

int Port::await_device(std::optional<double> timeout, IoError& err) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const bool limited = timeout && *timeout < 1e9;
    const auto end = limited ? start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::max(*timeout, 0.0)))
                             : Clock::time_point{};
    for (;;) {
        bool connected;
        {
            std::lock_guard lock(state_mutex_);
            if (closing_ || !open_) {
                detail::fail_closed(err);
                return -1;
            }
            connected = connected_;
        }
        if (connected && device_open_) return 1;
        {
            std::unique_lock writing(write_mutex_, std::defer_lock);
            if (lock_within_grace(writing)) {
                std::optional<double> wait;
                if (limited) wait = std::chrono::duration<double>(end - Clock::now()).count();
                if (try_reopen(wait)) return 1;
            }
        }
        std::unique_lock lock(state_mutex_);
        const auto now = Clock::now();
        if (limited && now >= end) return 0;
        auto until = next_attempt_;
        if (limited && end < until) until = end;
        auto left = until - now;
        if (left > std::chrono::hours(1)) left = std::chrono::hours(1);
        if (left > Clock::duration::zero())
            changed_.wait_for(lock, left, [this] { return closing_ || connected_; });
    }
}

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
    {
        std::lock_guard lock(buffer_mutex_);
        if (head_ > 0 && head_ == buffer_.size()) {
            buffer_.clear();
            head_ = 0;
        }
        buffer_.insert(buffer_.end(), fill_.data(), fill_.data() + got);
    }
    trace(TraceEvent::Read, fill_.data(), static_cast<std::size_t>(got));
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
    if (reconnecting()) {
        bool owed;
        {
            std::lock_guard lock(state_mutex_);
            owed = std::exchange(boundary_pending_, false);
        }
        if (owed) {  // the device vanished since the last read: end the caller's frame here
            break_line();
            return 0;
        }
        const auto start = std::chrono::steady_clock::now();
        const int state = await_device(timeout, err);
        if (state <= 0) return state;
        if (timeout) {
            const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            timeout = std::max(0.0, *timeout - spent);
        }
    }
    std::ptrdiff_t filled = fill(timeout, err);
    if (filled < 0 && err.kind == ErrorKind::DeviceGone) {
        note_drop(err);
        if (reconnecting()) {
            {
                std::lock_guard lock(state_mutex_);
                boundary_pending_ = false;  // this read is the break
            }
            std::unique_lock writing(write_mutex_, std::defer_lock);
            if (lock_within_grace(writing)) try_reopen(timeout);
            err = IoError{};
            break_line();
            return 0;
        }
    }
    if (filled <= 0) return filled;
    return static_cast<std::ptrdiff_t>(take(dst, n));
}

std::ptrdiff_t Port::write(const std::uint8_t* src, std::size_t n, IoError& err) {
    return write_impl(src, n, err, nullptr);
}

std::ptrdiff_t Port::write(const std::uint8_t* src, std::size_t n, IoError& err,
                           const std::function<bool()>& between) {
    return write_impl(src, n, err, between ? &between : nullptr);
}

std::ptrdiff_t Port::write_impl(const std::uint8_t* src, std::size_t n, IoError& err,
                                const std::function<bool()>* between) {
    Operation op(*this, err);
    if (!op) return -1;
    if (n == 0) return 0;
    std::optional<double> limit;
    bool connected;
    {
        std::lock_guard lock(state_mutex_);
        limit = settings_.write_timeout;
        connected = connected_;
    }
    std::lock_guard writing(write_mutex_);
    if (reconnecting() && !(connected && device_open_)) {
        // Outage: one attempt to reopen (when no reader is at it and the rate allows), else fail.
        std::unique_lock reading(read_mutex_, std::try_to_lock);
        const std::optional<double> wait = between ? std::optional<double>(kWriteSlice) : limit;
        if (!reading.owns_lock() || !try_reopen(wait)) {
            fail_disconnected(err);
            return -1;
        }
    }
    // Without `between` a slice is the whole write time-out.
    const SlicedWait wait(limit, between ? kWriteSlice : 2e9);
    std::size_t done = 0;
    for (;;) {
        std::ptrdiff_t put = os_write_some(src + done, n - done, wait.next(), err);
        if (put < 0) {
            if (err.kind == ErrorKind::DeviceGone) {
                note_drop(err);
                if (reconnecting()) fail_disconnected(err);
            }
            return -1;
        }
        done += static_cast<std::size_t>(put);
        if (done == n) break;
        if (wait.over()) {
            detail::fail_write_timeout(err);
            return -1;
        }
        if (between && !(*between)()) return kWriteStopped;
    }
    trace(TraceEvent::Written, src, n);
    return static_cast<std::ptrdiff_t>(n);
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
    changed_.notify_all();
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
