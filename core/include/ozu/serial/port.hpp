// One serial port interface over several device kinds: POSIX ttys, Win32 COM ports, TCP device
// servers and an in-process virtual null-modem. Errors are returned, never thrown.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ozu::serial {

// What went wrong, for callers that must map failures onto their own error types.
enum class ErrorKind : std::uint8_t {
    None,
    Os,            // the OS refused or failed; `code` holds errno or the Win32 error code
    PortClosed,    // the port was closed (also when a blocked read or write is woken by close())
    DeviceGone,    // device unplugged, pty or TCP peer closed
    WriteTimeout,  // write_timeout passed before the whole buffer was written
    Unsupported,   // a device kind this build or platform does not offer
    BadName,       // a name that names no device kind
};

struct IoError {
    int code = 0;         // errno, or a Win32 / Winsock error code when win32_code is set
    std::string message;  // readable reason, without the port name
    ErrorKind kind = ErrorKind::None;
    bool win32_code = false;

    explicit operator bool() const noexcept { return kind != ErrorKind::None; }
};

struct Settings {
    std::string port;                       // device name, see open_port()
    std::optional<double> timeout = 1.0;    // read time-out in seconds; nullopt blocks, 0 never waits
    std::optional<double> write_timeout;    // nullopt blocks until written
    long baudrate = 9600;
    int bytesize = 8;                       // 5..8
    char parity = 'O';                      // 'N', 'E', 'O', 'M', 'S'
    double stopbits = 1;                    // 1, 1.5 or 2
    bool exclusive = true;                  // refuse a second open of the same device where possible
    // Seconds between attempts to reopen a device that vanished; nullopt: a vanished device is an
    // error, as on any other failure.
    std::optional<double> reconnect;
};

class Port;

// What a port reports to its trace sink.
enum class TraceEvent : std::uint8_t {
    Read,          // a chunk the OS handed over; data holds it
    Written,       // a whole write; data holds it
    Disconnected,  // the device vanished; detail says why
    Reconnected,   // the device is back
    ClientConnected,
    ClientLeft,
    WriteDropped,  // bytes written with nobody to receive them (reported once per quiet spell)
};

// Receives a port's trace records, in the thread that caused them, with no port lock held except
// the one serialising that thread's own reads or writes. Must not call back into the port.
class TraceSink {
public:
    virtual ~TraceSink();
    virtual void record(const Port& port, TraceEvent event, const std::uint8_t* data, std::size_t n,
                        std::string_view detail, double monotonic_seconds) noexcept = 0;
};

// A port buffers its input: one large OS read fills the buffer and bytes are handed out from it.
// in_waiting(), read() and reset_input_buffer() account for the buffer. One thread may read while
// another writes; close() may be called from any thread at any time.
class Port {
public:
    virtual ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Waits up to the read time-out for the first byte, then returns what is available, at most n.
    // 0 = time-out (or n == 0); -1 = error (port closed, device gone, OS failure).
    std::ptrdiff_t read(std::uint8_t* dst, std::size_t n, IoError& err);
    // The same with an explicit wait for the first byte instead of the read time-out.
    std::ptrdiff_t read(std::uint8_t* dst, std::size_t n, std::optional<double> timeout, IoError& err);
    // Hands out bytes already buffered, at most n; never waits and never calls the OS.
    std::size_t read_buffered(std::uint8_t* dst, std::size_t n) { return take(dst, n); }
    // Writes the whole buffer or fails (-1), honouring write_timeout. Returns n.
    std::ptrdiff_t write(const std::uint8_t* src, std::size_t n, IoError& err);
    // The same, waiting in slices of kWriteSlice seconds and calling `between()` after each slice
    // that left bytes unwritten; when it returns false the write stops and kWriteStopped is
    // returned (what was written stays written). The whole write still holds the port's write
    // lock, so it never interleaves with another.
    std::ptrdiff_t write(const std::uint8_t* src, std::size_t n, IoError& err, const std::function<bool()>& between);
    // Bytes received and not yet read: the buffer plus what the OS holds.
    std::ptrdiff_t in_waiting(IoError& err);
    // Discards received bytes not yet read (buffer and OS queue).
    bool reset_input_buffer(IoError& err);
    // Discards bytes written and not yet sent, where the device kind has such a queue.
    bool reset_output_buffer(IoError& err);
    // Idempotent; wakes a read or write blocked in another thread (it returns -1, PortClosed) and
    // waits for it to leave before releasing the OS handle. The object stays valid until destroyed.
    void close();

    bool is_open() const;
    const std::string& name() const noexcept { return settings_.port; }
    Settings settings() const;
    std::optional<double> timeout() const;
    void set_timeout(std::optional<double> timeout);
    // The OS descriptor where there is one (tty, TCP socket), else -1.
    virtual long native_handle() const noexcept { return -1; }

    // Whether the device is there: false once it vanished (until a reconnecting port has it back)
    // and, for a listening port, while no client is connected.
    bool connected() const;
    // How many times a reconnecting port got its device back.
    std::uint64_t reconnects() const;
    // Counts the reads that returned 0 because the line broke (device gone, client left) rather
    // than because the time-out passed. Bytes before and after such a read come from different
    // connections, so a reader that collects a frame ends it there.
    std::uint64_t breaks() const noexcept { return breaks_.load(std::memory_order_acquire); }
    // Installs (or, with null, removes) the trace sink.
    void set_trace(std::shared_ptr<TraceSink> sink);

protected:
    explicit Port(Settings settings);

    // For backends whose device may vanish and come back. Reopens the device by its name within
    // about `wait` seconds (nullopt: the backend's own limit). Called with no operation on the
    // device in progress; the default cannot reopen.
    virtual bool os_reopen(std::optional<double> wait, IoError& err);
    // Releases the OS device (not the wake-up channel) of a vanished device; called like os_reopen.
    virtual void os_disconnect() noexcept {}
    // Guards the identity of the OS device: held shared by short device calls (pending bytes,
    // flushes) and exclusively while a backend swaps its device.
    std::shared_mutex& device_mutex() const noexcept { return device_mutex_; }
    // For backends that manage their own connections (a listening port): a read ends at a line
    // break (see breaks()), and the connected state.
    void break_line() noexcept { breaks_.fetch_add(1, std::memory_order_acq_rel); }
    void set_connected(bool connected);
    void trace(TraceEvent event, const std::uint8_t* data = nullptr, std::size_t n = 0,
               std::string_view detail = {}) const;
    bool tracing() const noexcept { return has_trace_.load(std::memory_order_acquire); }

    // Backend operations. Called only while the port is open; a backend's wait must also end when
    // wake() is called (then it returns -1 with a PortClosed error).
    // Waits up to `timeout` (nullopt: no limit, 0: no wait) for input, then reads what the OS has,
    // at most cap bytes. 0 = time-out, -1 = error.
    virtual std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                                   IoError& err) = 0;
    // Writes what it can of the n bytes within `timeout` (nullopt: no limit): the count (possibly
    // short, 0 included) or -1. write() calls it in slices until everything is written.
    virtual std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                         IoError& err) = 0;
    // Bytes the OS holds for reading (0 where unknown).
    virtual std::ptrdiff_t os_pending(IoError& err) = 0;
    virtual bool os_flush_input(IoError& err) = 0;
    virtual bool os_flush_output(IoError& err) = 0;
    // Makes every current and later os_read/os_write_some return promptly. Thread-safe.
    virtual void wake() noexcept = 0;
    // Releases the OS resources; called once, after every operation has left.
    virtual void os_close() noexcept = 0;

private:
    class Operation;  // counts an operation in progress; refuses to start on a closed port

    mutable std::mutex state_mutex_;   // settings_, open_, closing_, active_
    std::condition_variable idle_;     // signalled when active_ drops to 0
    Settings settings_;
    bool open_ = true;
    bool closing_ = false;
    int active_ = 0;

    // Appends fresh OS input to the buffer; same results as os_read. Caller holds read_mutex_.
    std::ptrdiff_t fill(std::optional<double> timeout, IoError& err);
    // Hands out up to n buffered bytes.
    std::size_t take(std::uint8_t* dst, std::size_t n);
    std::ptrdiff_t write_impl(const std::uint8_t* src, std::size_t n, IoError& err,
                              const std::function<bool()>* between);

    // Reconnecting. The device is closed and reopened only by a thread that holds both read_mutex_
    // and write_mutex_ (taken in this order, the second one without waiting long).
    bool reconnecting() const noexcept { return settings_.reconnect.has_value(); }  // fixed at open
    // Records that the device vanished (err says how); returns true for the first report.
    bool note_drop(const IoError& err);
    // One reopen attempt if the rate allows it now; the caller holds the other mutex.
    bool try_reopen(std::optional<double> wait);
    // While disconnected: tries to reopen until the deadline. 1 = connected, 0 = time-out, -1 closed.
    int await_device(std::optional<double> timeout, IoError& err);

    std::condition_variable changed_;  // closing_, connected_ (with state_mutex_)
    bool connected_ = true;
    bool boundary_pending_ = false;    // the next read owes its caller a line break
    bool device_open_ = true;          // the OS device of a reconnecting port is open
    std::uint64_t reconnects_ = 0;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::atomic<std::uint64_t> breaks_{0};
    mutable std::shared_mutex device_mutex_;
    mutable std::mutex trace_mutex_;
    std::shared_ptr<TraceSink> trace_;
    std::atomic<bool> has_trace_{false};

    std::mutex read_mutex_;            // one reader at a time; guards fill_
    std::mutex write_mutex_;           // one writer at a time, so writes never interleave
    std::mutex buffer_mutex_;          // guards buffer_ and head_
    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0;             // first unread byte of buffer_
    std::vector<std::uint8_t> fill_;   // landing area of the OS reads
};

// Opens a port by name:
//   /dev/tty* and any other path that is a tty: termios raw mode, exclusive (TIOCEXCL + flock)
//   COM<n>: Win32 serial API on Windows; on POSIX an error (COM names are Windows devices)
//   brix://HOST:PORT: TCP client to a serial device server (TCP_NODELAY)
//   brix:listen:HOST:PORT: a TCP server that serves one client at a time (POSIX)
//   brix:pipe:NAME:a / brix:pipe:NAME:b: the two ends of an in-process virtual null-modem
//   hidcom...: not supported by this build
// Returns null with err set on failure; err.message is the reason without the port name.
std::unique_ptr<Port> open_port(const Settings& settings, IoError& err);
// The same; a wait for a connection runs in slices and calls `between()` after each, and when it
// returns false the open gives up (err: EINTR, "interrupted").
std::unique_ptr<Port> open_port(const Settings& settings, IoError& err, const std::function<bool()>& between);

// The longest single wait of a write or connect that runs `between()` now and then, in seconds.
inline constexpr double kWriteSlice = 0.25;
// What write(..., between) returns when between() stopped it.
inline constexpr std::ptrdiff_t kWriteStopped = -2;

}  // namespace ozu::serial
