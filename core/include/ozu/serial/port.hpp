// One serial port interface over several device kinds: POSIX ttys, Win32 COM ports, TCP device
// servers and an in-process virtual null-modem. Errors are returned, never thrown.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

protected:
    explicit Port(Settings settings);

    // Backend operations. Called only while the port is open; a backend's wait must also end when
    // wake() is called (then it returns -1 with a PortClosed error).
    // Waits up to `timeout` (nullopt: no limit, 0: no wait) for input, then reads what the OS has,
    // at most cap bytes. 0 = time-out, -1 = error.
    virtual std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                                   IoError& err) = 0;
    // Writes all n bytes within `timeout` (nullopt: no limit). n or -1.
    virtual std::ptrdiff_t os_write(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                    IoError& err) = 0;
    // Bytes the OS holds for reading (0 where unknown).
    virtual std::ptrdiff_t os_pending(IoError& err) = 0;
    virtual bool os_flush_input(IoError& err) = 0;
    virtual bool os_flush_output(IoError& err) = 0;
    // Makes every current and later os_read/os_write return promptly. Thread-safe.
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
//   brix:pipe:NAME:a / brix:pipe:NAME:b: the two ends of an in-process virtual null-modem
//   hidcom...: not supported by this build
// Returns null with err set on failure; err.message is the reason without the port name.
std::unique_ptr<Port> open_port(const Settings& settings, IoError& err);

}  // namespace ozu::serial
