// POSIX serial devices through termios: raw mode, the port's line settings, exclusive open.
#ifndef _WIN32
#include "posix_fd.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace ozu::serial::detail {

namespace {

struct Speed {
    long baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool find_speed(long baud, speed_t& code) {
    for (const Speed& s : kSpeeds)
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    return false;
}

bool fail_gone(IoError& err, int code) { return fail(err, ErrorKind::DeviceGone, code, "device disconnected"); }

// A read or write that failed with errno `code` (neither interrupted nor to be waited for).
bool fail_transfer(IoError& err, int code) {
    if (code == EIO || code == ENXIO || code == ENODEV) return fail_gone(err, code);
    return fail_os(err, code);
}

class TtyPort final : public Port {
public:
    explicit TtyPort(const Settings& settings) : Port(settings) {}
    ~TtyPort() override { close(); }

    bool open(IoError& err);
    long native_handle() const noexcept override { return fd_; }

protected:
    bool os_reopen(std::optional<double>, IoError& err) override { return open_device(err); }
    void os_disconnect() noexcept override;
    std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                 IoError& err) override;
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError& err) override;
    void wake() noexcept override { wake_.signal(); }
    void os_close() noexcept override;

private:
    bool open_device(IoError& err);
    bool configure(int fd, IoError& err);
    void release_device() noexcept;

    int fd_ = -1;
    bool exclusive_ = false;
    WakePipe wake_;
};

bool TtyPort::open(IoError& err) {
    if (!wake_.open(err)) return false;
    return open_device(err);
}

bool TtyPort::open_device(IoError& err) {
    const Settings s = settings();
    // Look before opening: opening a FIFO or a socket has effects of its own (a FIFO opened for
    // reading and writing releases a process blocked reading it).
    struct stat st;
    if (::stat(s.port.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
        return fail(err, ErrorKind::Os, ENOTTY, "not a serial device");
    int fd;
    do {
        fd = ::open(s.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail_os(err, errno);
    auto refuse = [&](bool) {
        close_fd(fd);
        return false;
    };
    if (!::isatty(fd)) return refuse(fail(err, ErrorKind::Os, ENOTTY, "not a serial device"));
    bool exclusive = false;
    if (s.exclusive) {
        // flock keeps out every other process or port object that also locks; TIOCEXCL also keeps
        // out programs that do not (except privileged ones).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int code = errno;
            if (code == EWOULDBLOCK) return refuse(fail(err, ErrorKind::Os, EBUSY, "port is already open"));
            return refuse(fail_os(err, code));
        }
        if (::ioctl(fd, TIOCEXCL) != 0) return refuse(fail_os(err, errno));
        exclusive = true;
    }
    if (!configure(fd, err)) {
        if (exclusive) {
            ::ioctl(fd, TIOCNXCL);
            ::flock(fd, LOCK_UN);
        }
        return refuse(false);
    }
    std::unique_lock lock(device_mutex());
    fd_ = fd;
    exclusive_ = exclusive;
    return true;
}

bool TtyPort::configure(int fd, IoError& err) {
    const Settings s = settings();
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return fail_os(err, errno);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    switch (s.bytesize) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }
    // termios has no 1.5 stop bits; the line then uses two (UARTs do 1.5 only with 5 data bits).
    if (s.stopbits != 1) tio.c_cflag |= CSTOPB;
    switch (s.parity) {
        case 'N': break;
        case 'E': tio.c_cflag |= PARENB; break;
        case 'O': tio.c_cflag |= PARENB | PARODD; break;
#ifdef CMSPAR
        case 'M': tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 'S': tio.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: return fail(err, ErrorKind::Unsupported, EINVAL, "mark and space parity are not supported here");
    }
    speed_t speed;
    if (!find_speed(s.baudrate, speed))
        return fail(err, ErrorKind::Os, EINVAL, "baud rate " + std::to_string(s.baudrate) + " is not supported");
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return fail_os(err, errno);
    tio.c_cc[VMIN] = 0;  // reads never block: waiting is done by poll()
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) == 0) return true;
    int code = errno;
    // Pseudo-terminals have no character framing: the kernel keeps 8 bits without parity and the C
    // library may then report EINVAL. Accept that when everything else took effect.
    termios now{};
    const tcflag_t framing = CSIZE | PARENB | PARODD
#ifdef CMSPAR
                             | CMSPAR
#endif
        ;
    if (code == EINVAL && ::tcgetattr(fd, &now) == 0 && cfgetispeed(&now) == speed &&
        cfgetospeed(&now) == speed && (now.c_cflag & ~framing) == (tio.c_cflag & ~framing) &&
        now.c_iflag == tio.c_iflag && now.c_lflag == tio.c_lflag && now.c_oflag == tio.c_oflag)
        return true;
    return fail_os(err, code);
}

std::ptrdiff_t TtyPort::os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout, IoError& err) {
    Deadline deadline(timeout);
    for (;;) {
        switch (wait_fd(fd_, POLLIN, deadline, wake_, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return 0;
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
        ssize_t got = ::read(fd_, dst, cap);
        if (got > 0) return got;
        if (got == 0) {
            // Readable yet nothing to read: the other side hung up (pty closed, adapter unplugged).
            fail_gone(err, EIO);
            return -1;
        }
        int code = errno;
        if (code == EINTR || code == EAGAIN || code == EWOULDBLOCK) continue;
        fail_transfer(err, code);
        return -1;
    }
}

std::ptrdiff_t TtyPort::os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                      IoError& err) {
    Deadline deadline(timeout);
    std::size_t done = 0;
    while (done < n) {
        ssize_t put = ::write(fd_, src + done, n - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        int code = put == 0 ? EAGAIN : errno;
        if (code == EINTR) continue;
        if (code != EAGAIN && code != EWOULDBLOCK) {
            fail_transfer(err, code);
            return -1;
        }
        switch (wait_fd(fd_, POLLOUT, deadline, wake_, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return static_cast<std::ptrdiff_t>(done);
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t TtyPort::os_pending(IoError& err) {
    std::shared_lock lock(device_mutex());
    if (fd_ < 0) return 0;
    int count = 0;
    if (::ioctl(fd_, FIONREAD, &count) != 0) {
        fail_os(err, errno);
        return -1;
    }
    return count;
}

bool TtyPort::os_flush_input(IoError& err) {
    std::shared_lock lock(device_mutex());
    if (fd_ >= 0 && ::tcflush(fd_, TCIFLUSH) != 0) return fail_os(err, errno);
    return true;
}

bool TtyPort::os_flush_output(IoError& err) {
    std::shared_lock lock(device_mutex());
    if (fd_ >= 0 && ::tcflush(fd_, TCOFLUSH) != 0) return fail_os(err, errno);
    return true;
}

void TtyPort::release_device() noexcept {
    if (fd_ >= 0 && exclusive_) {
        ::ioctl(fd_, TIOCNXCL);  // the flag outlives this descriptor while others keep the tty open
        ::flock(fd_, LOCK_UN);
    }
    close_fd(fd_);
    exclusive_ = false;
}

void TtyPort::os_disconnect() noexcept {
    std::unique_lock lock(device_mutex());
    release_device();
}

void TtyPort::os_close() noexcept {
    {
        std::unique_lock lock(device_mutex());
        release_device();
    }
    wake_.release();
}

}  // namespace

std::unique_ptr<Port> open_tty(const Settings& settings, IoError& err) {
    auto port = std::make_unique<TtyPort>(settings);
    if (!port->open(err)) return nullptr;  // the destructor releases what was opened
    return port;
}

}  // namespace ozu::serial::detail
#endif
