// COM<n> on Windows through the Win32 serial API, with overlapped I/O so close() can end a wait.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include "port_internal.hpp"

#include <windows.h>

#include <algorithm>
#include <string>

namespace ozu::serial::detail {

namespace {

bool fail_win(IoError& err, DWORD code) { return fail_os(err, static_cast<int>(code)); }

// Codes a read, write or status query reports once the device behind the handle has gone: a USB
// adapter unplugged, or (under wine) the tty behind the COM port closed. An operation we did not
// cancel ourselves that ends as aborted is the driver giving up on a removed device.
bool device_gone(DWORD code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_DEVICE_NOT_CONNECTED ||
           code == ERROR_GEN_FAILURE || code == ERROR_INVALID_HANDLE || code == ERROR_FILE_NOT_FOUND ||
           code == ERROR_DEVICE_REMOVED || code == ERROR_BROKEN_PIPE || code == ERROR_NOT_READY ||
           code == ERROR_OPERATION_ABORTED;
}

// A read or write that failed: the device went away, or the system refused.
bool fail_transfer(IoError& err, DWORD code) {
    if (device_gone(code)) return fail_system(err, ErrorKind::DeviceGone, static_cast<int>(code));
    return fail_win(err, code);
}

// Milliseconds for COMMTIMEOUTS and waits; MAXDWORD is reserved by both, so stop one short.
DWORD to_ms(double seconds) {
    double ms = seconds * 1000.0;
    if (ms <= 0) return 0;
    if (ms >= static_cast<double>(MAXDWORD - 1)) return MAXDWORD - 1;
    DWORD whole = static_cast<DWORD>(ms);
    return whole < ms ? whole + 1 : whole;
}

class ComPort final : public Port {
public:
    explicit ComPort(const Settings& settings) : Port(settings) {}
    ~ComPort() override {
        close();
        release_events();
    }

    bool open(IoError& err);
    // The device handle as a long: kernel handles fit in 32 bits on every Windows version, so the
    // value converts back with LongToHandle().
    long native_handle() const noexcept override {
        return handle_ == INVALID_HANDLE_VALUE ? -1 : HandleToLong(handle_);
    }

protected:
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    // Writes everything under the port's write_timeout, whatever slice write() asks for.
    std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double>,
                                 IoError& err) override {
        return write_all(src, n, settings().write_timeout, err);
    }
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError& err) override;
    void wake() noexcept override {
        if (wake_event_) SetEvent(wake_event_);
    }
    void os_close() noexcept override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        if (claim_) CloseHandle(claim_);
        claim_ = nullptr;
        release_events();  // nothing waits on them once the port is closed
    }

private:
    // Writes all n bytes within `timeout` (nullopt: no limit). n or -1.
    std::ptrdiff_t write_all(const std::uint8_t* src, std::size_t n, std::optional<double> timeout, IoError& err);
    void release_events() noexcept {
        for (HANDLE* event : {&wake_event_, &read_event_, &write_event_}) {
            if (*event) CloseHandle(*event);
            *event = nullptr;
        }
    }
    // Claims the port for this process by a named object, so a second open of the same COM port
    // fails alike on every driver (some, and wine's, do not refuse a second handle themselves).
    bool claim(const std::string& number, IoError& err);
    bool configure(IoError& err);
    // "Return at once with what has arrived, or on the first byte, or after ms": the read
    // time-outs for a wait of ms (MAXDWORD = no limit, 0 = no wait).
    bool set_read_wait(DWORD ms, IoError& err);
    enum class Outcome { Done, TimedOut, Woken, Failed };
    // One overlapped read of up to len bytes, given up after wait_ms.
    Outcome read_some(std::uint8_t* dst, DWORD len, DWORD wait_ms, DWORD& got, IoError& err);
    // Waits for an overlapped operation; cancels it when woken or timed out.
    Outcome finish(OVERLAPPED& ov, DWORD wait_ms, DWORD& transferred, IoError& err);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE claim_ = nullptr;
    HANDLE wake_event_ = nullptr;
    HANDLE read_event_ = nullptr;
    HANDLE write_event_ = nullptr;
    DWORD read_wait_ = 0;
    bool read_wait_set_ = false;
};

bool ComPort::open(IoError& err) {
    const Settings s = settings();
    wake_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    read_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!wake_event_ || !read_event_ || !write_event_) return fail_win(err, GetLastError());
    // The device namespace prefix is required from COM10 on and harmless below.
    std::string number = s.port.substr(3);
    if (s.exclusive && !claim(number, err)) return false;
    std::wstring path = L"\\\\.\\COM" + std::wstring(number.begin(), number.end());
    // Win32 serial devices are always opened exclusively (share mode 0).
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return fail_win(err, GetLastError());
    return configure(err);
}

bool ComPort::claim(const std::string& number, IoError& err) {
    std::wstring name = L"Local\\ozu_brix.COM" + std::wstring(number.begin(), number.end());
    claim_ = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!claim_) return fail_win(err, GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim_);
        claim_ = nullptr;
        return fail_win(err, ERROR_ACCESS_DENIED);  // what a driver answers to a second open
    }
    return true;
}

bool ComPort::configure(IoError& err) {
    const Settings s = settings();
    SetupComm(handle_, 64 * 1024, 4 * 1024);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return fail_win(err, GetLastError());
    dcb.BaudRate = static_cast<DWORD>(s.baudrate);
    dcb.ByteSize = static_cast<BYTE>(s.bytesize);
    switch (s.parity) {
        case 'E': dcb.Parity = EVENPARITY; break;
        case 'O': dcb.Parity = ODDPARITY; break;
        case 'M': dcb.Parity = MARKPARITY; break;
        case 'S': dcb.Parity = SPACEPARITY; break;
        default: dcb.Parity = NOPARITY; break;
    }
    dcb.fParity = s.parity != 'N';
    dcb.StopBits = s.stopbits == 1 ? ONESTOPBIT : (s.stopbits == 2 ? TWOSTOPBITS : ONE5STOPBITS);
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle_, &dcb)) return fail_win(err, GetLastError());
    return set_read_wait(0, err);
}

bool ComPort::set_read_wait(DWORD ms, IoError& err) {
    if (read_wait_set_ && ms == read_wait_) return true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    if (ms == 0) {  // return at once with whatever has arrived
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = 0;
    } else {  // return on the first byte, or after ms
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = ms == MAXDWORD ? MAXDWORD - 1 : ms;
    }
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;  // write time-outs are our own waits
    if (!SetCommTimeouts(handle_, &t)) return fail_win(err, GetLastError());
    read_wait_ = ms;
    read_wait_set_ = true;
    return true;
}

ComPort::Outcome ComPort::finish(OVERLAPPED& ov, DWORD wait_ms, DWORD& transferred, IoError& err) {
    HANDLE handles[2] = {wake_event_, ov.hEvent};
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, wait_ms);
    if (r == WAIT_OBJECT_0 + 1) {
        if (GetOverlappedResult(handle_, &ov, &transferred, FALSE)) return Outcome::Done;
        fail_transfer(err, GetLastError());
        return Outcome::Failed;
    }
    const DWORD wait_error = r == WAIT_FAILED ? GetLastError() : 0;
    // The operation may have completed while we gave up on it: what it moved is kept.
    CancelIoEx(handle_, &ov);
    const bool completed = GetOverlappedResult(handle_, &ov, &transferred, TRUE) != FALSE;
    if (r == WAIT_OBJECT_0) {
        fail_closed(err);
        return Outcome::Woken;
    }
    if (r == WAIT_TIMEOUT) return completed && transferred > 0 ? Outcome::Done : Outcome::TimedOut;
    fail_win(err, wait_error);
    return Outcome::Failed;
}

ComPort::Outcome ComPort::read_some(std::uint8_t* dst, DWORD len, DWORD wait_ms, DWORD& got, IoError& err) {
    OVERLAPPED ov{};
    ov.hEvent = read_event_;
    ResetEvent(read_event_);
    got = 0;
    if (ReadFile(handle_, dst, len, &got, &ov)) return Outcome::Done;
    DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
        fail_transfer(err, code);
        return Outcome::Failed;
    }
    return finish(ov, wait_ms, got, err);
}

std::ptrdiff_t ComPort::os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout, IoError& err) {
    Deadline deadline(timeout);
    const DWORD len = cap > 0x10000000u ? 0x10000000u : static_cast<DWORD>(cap);
    for (;;) {
        auto left = deadline.remaining();
        DWORD ms = left ? to_ms(*left) : MAXDWORD;
        if (!set_read_wait(ms, err)) return -1;
        // Ask for what the driver holds, or for one byte when it holds none. Not every driver ends
        // a longer read on its first byte (wine's waits for the whole count or the time-out), and
        // the wait has its own limit for the same reason.
        std::ptrdiff_t queued = os_pending(err);
        if (queued < 0) return -1;
        DWORD want = queued > 0 ? std::min(len, static_cast<DWORD>(queued)) : 1;
        DWORD got = 0;
        switch (read_some(dst, want, left ? ms : INFINITE, got, err)) {
            case Outcome::Done: break;
            case Outcome::TimedOut: return 0;
            case Outcome::Woken:
            case Outcome::Failed: return -1;
        }
        if (got > 0 && got < len && queued == 0) {
            // The first byte of a burst: take the rest of what has arrived with it.
            queued = os_pending(err);
            if (queued < 0) return -1;
            DWORD more = 0;
            if (queued > 0) {
                switch (read_some(dst + got, std::min(len - got, static_cast<DWORD>(queued)), 0, more, err)) {
                    case Outcome::Done:
                    case Outcome::TimedOut: break;
                    case Outcome::Woken:
                    case Outcome::Failed: return -1;
                }
            }
            got += more;
        }
        if (got > 0) return static_cast<std::ptrdiff_t>(got);
        if (left && deadline.poll_ms() == 0) return 0;
        // The driver's wait ended early (an unlimited wait is split into long ones): wait again.
    }
}

std::ptrdiff_t ComPort::write_all(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                  IoError& err) {
    Deadline deadline(timeout);
    std::size_t done = 0;
    while (done < n) {
        std::size_t left = n - done;
        const DWORD len = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
        OVERLAPPED ov{};
        ov.hEvent = write_event_;
        ResetEvent(write_event_);
        DWORD put = 0;
        if (!WriteFile(handle_, src + done, len, &put, &ov)) {
            DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) {
                fail_transfer(err, code);
                return -1;
            }
            int ms = deadline.poll_ms();
            switch (finish(ov, ms < 0 ? INFINITE : static_cast<DWORD>(ms), put, err)) {
                case Outcome::Done: break;
                case Outcome::TimedOut: fail_write_timeout(err); return -1;
                case Outcome::Woken:
                case Outcome::Failed: return -1;
            }
        }
        done += put;
        if (put == 0 && deadline.poll_ms() == 0) {
            fail_write_timeout(err);
            return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t ComPort::os_pending(IoError& err) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) {
        fail_transfer(err, GetLastError());
        return -1;
    }
    return static_cast<std::ptrdiff_t>(stat.cbInQue);
}

bool ComPort::os_flush_input(IoError& err) {
    if (!PurgeComm(handle_, PURGE_RXCLEAR)) return fail_win(err, GetLastError());
    return true;
}

bool ComPort::os_flush_output(IoError& err) {
    if (!PurgeComm(handle_, PURGE_TXCLEAR)) return fail_win(err, GetLastError());
    return true;
}

}  // namespace

std::unique_ptr<Port> open_com(const Settings& settings, IoError& err) {
    auto port = std::make_unique<ComPort>(settings);
    if (!port->open(err)) return nullptr;
    return port;
}

}  // namespace ozu::serial::detail
#endif
