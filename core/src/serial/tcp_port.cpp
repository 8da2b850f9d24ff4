// brix://HOST:PORT: a TCP connection to a serial device server or a PLC network unit. The line
// settings do not apply; time-outs, buffering and close() behave as on a serial device.
#include "port_internal.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include "posix_fd.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

namespace ozu::serial::detail {

namespace {

// A device server that does not answer the connection attempt within this many seconds is reported
// as unreachable.
constexpr double kConnectSeconds = 10.0;

bool fail_peer_closed(IoError& err) {
    return fail(err, ErrorKind::DeviceGone, ECONNRESET, "connection closed by peer");
}

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int last_socket_error() { return WSAGetLastError(); }
bool would_block(int code) { return code == WSAEWOULDBLOCK; }
bool connection_lost(int code) {
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAENETRESET || code == WSAESHUTDOWN;
}
void close_socket(Socket& s) {
    if (s != kNoSocket) closesocket(s);
    s = kNoSocket;
}

bool startup(IoError& err) {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (result != 0) return fail_os(err, result);
    return true;
}

// Waits for the socket's network events or the wake event.
enum class WaitResult { Ready, TimedOut, Woken, Failed };

class Waiter {
public:
    ~Waiter() { release(); }
    // Closes the events once the port is closed and nothing waits on them any more.
    void release() noexcept {
        if (socket_event_) WSACloseEvent(socket_event_);
        if (wake_event_) CloseHandle(wake_event_);
        socket_event_ = nullptr;
        wake_event_ = nullptr;
    }
    bool open(IoError& err) {
        socket_event_ = WSACreateEvent();
        wake_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (socket_event_ == WSA_INVALID_EVENT || !wake_event_) return fail_os(err, static_cast<int>(GetLastError()));
        return true;
    }
    // Ties the socket's events to the waiter; this also makes the socket non-blocking.
    bool attach(Socket s, IoError& err) {
        if (WSAEventSelect(s, socket_event_, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT) != 0)
            return fail_os(err, last_socket_error());
        return true;
    }
    void signal() noexcept {
        if (wake_event_) SetEvent(wake_event_);
    }
    WaitResult wait(Socket s, const Deadline& deadline, IoError& err) {
        HANDLE handles[2] = {wake_event_, socket_event_};
        int ms = deadline.poll_ms();
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
        if (r == WAIT_OBJECT_0) {
            fail_closed(err);
            return WaitResult::Woken;
        }
        if (r == WAIT_OBJECT_0 + 1) {
            WSANETWORKEVENTS events;
            WSAEnumNetworkEvents(s, socket_event_, &events);  // resets the event
            return WaitResult::Ready;
        }
        if (r == WAIT_TIMEOUT) return WaitResult::TimedOut;
        fail_os(err, static_cast<int>(GetLastError()));
        return WaitResult::Failed;
    }

private:
    WSAEVENT socket_event_ = nullptr;
    HANDLE wake_event_ = nullptr;
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int last_socket_error() { return errno; }
bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS; }
bool connection_lost(int code) { return code == ECONNRESET || code == EPIPE || code == ECONNABORTED; }
void close_socket(Socket& s) { close_fd(s); }
bool startup(IoError&) { return true; }

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

class Waiter {
public:
    bool open(IoError& err) { return wake_.open(err); }
    bool attach(Socket s, IoError& err) {
        int flags = fcntl(s, F_GETFL);
        if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return fail_os(err, errno);
        return true;
    }
    void signal() noexcept { wake_.signal(); }
    void release() noexcept { wake_.release(); }
    WaitResult wait(Socket s, short events, const Deadline& deadline, IoError& err) {
        return wait_fd(s, events, deadline, wake_, err);
    }

private:
    WakePipe wake_;
};
#endif

enum class SocketError { Retry, Wait, Failed };

// What a send or recv that failed with `code` calls for: doing it again at once (interrupted),
// waiting for the socket, or giving up with the failure in err.
SocketError after_socket_error(int code, IoError& err) {
#ifndef _WIN32
    if (code == EINTR) return SocketError::Retry;
#endif
    if (connection_lost(code)) {
        fail_system(err, ErrorKind::DeviceGone, code);
        return SocketError::Failed;
    }
    if (!would_block(code)) {
        fail_os(err, code);
        return SocketError::Failed;
    }
    return SocketError::Wait;
}

class TcpPort final : public Port {
public:
    explicit TcpPort(const Settings& settings) : Port(settings) {}
    ~TcpPort() override { close(); }

    bool open(const std::string& host, const std::string& service, IoError& err);
    long native_handle() const noexcept override { return static_cast<long>(socket_); }

protected:
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    std::ptrdiff_t os_write(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                            IoError& err) override;
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError&) override { return true; }  // nothing queued on our side
    void wake() noexcept override { waiter_.signal(); }
    void os_close() noexcept override {
        close_socket(socket_);
        waiter_.release();
    }

private:
    WaitResult wait(bool for_write, const Deadline& deadline, IoError& err) {
#ifdef _WIN32
        (void)for_write;
        return waiter_.wait(socket_, deadline, err);
#else
        return waiter_.wait(socket_, for_write ? POLLOUT : POLLIN, deadline, err);
#endif
    }
    bool connect_to(const addrinfo* ai, IoError& err);

    Socket socket_ = kNoSocket;
    Waiter waiter_;
};

bool TcpPort::connect_to(const addrinfo* ai, IoError& err) {
#ifdef _WIN32
    socket_ = WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
#else
    socket_ = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
#endif
    if (socket_ == kNoSocket) return fail_os(err, last_socket_error());
    if (!waiter_.attach(socket_, err)) return false;
    int one = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
#ifdef SO_NOSIGPIPE
    setsockopt(socket_, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (::connect(socket_, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return true;
    int code = last_socket_error();
    if (!would_block(code)) return fail_os(err, code);
    Deadline deadline(kConnectSeconds);
    for (;;) {
        switch (wait(true, deadline, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return fail(err, ErrorKind::Os, ETIMEDOUT, "connection timed out");
            case WaitResult::Woken:
            case WaitResult::Failed: return false;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
            return fail_os(err, last_socket_error());
        if (so_error != 0) return fail_os(err, so_error);
#ifdef _WIN32
        // The event also fires for reasons other than the connection completing; ask the socket.
        sockaddr_storage peer;
        int peer_len = sizeof peer;
        if (getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) continue;
#endif
        return true;
    }
}

bool TcpPort::open(const std::string& host, const std::string& service, IoError& err) {
    if (!startup(err) || !waiter_.open(err)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
#ifdef _WIN32
        return fail_os(err, rc);
#else
        if (rc == EAI_SYSTEM) return fail_os(err, errno);
        return fail(err, ErrorKind::Os, EHOSTUNREACH, gai_strerror(rc));
#endif
    }
    IoError last;
    bool connected = false;
    for (const addrinfo* ai = found; ai && !connected; ai = ai->ai_next) {
        last = IoError{};
        connected = connect_to(ai, last);
        if (!connected) close_socket(socket_);
    }
    freeaddrinfo(found);
    if (!connected) {
        err = last;
        return false;
    }
    return true;
}

std::ptrdiff_t TcpPort::os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout, IoError& err) {
    Deadline deadline(timeout);
    const int len = cap > (1u << 30) ? (1 << 30) : static_cast<int>(cap);
    for (;;) {
        auto got = ::recv(socket_, reinterpret_cast<char*>(dst), len, 0);
        if (got > 0) return static_cast<std::ptrdiff_t>(got);
        if (got == 0) {
            fail_peer_closed(err);
            return -1;
        }
        const SocketError next = after_socket_error(last_socket_error(), err);
        if (next == SocketError::Retry) continue;
        if (next == SocketError::Failed) return -1;
        switch (wait(false, deadline, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return 0;
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
}

std::ptrdiff_t TcpPort::os_write(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                 IoError& err) {
    Deadline deadline(timeout);
    std::size_t done = 0;
    while (done < n) {
        std::size_t left = n - done;
        const int len = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
#ifdef _WIN32
        auto put = ::send(socket_, reinterpret_cast<const char*>(src + done), len, 0);
#else
        auto put = ::send(socket_, src + done, static_cast<std::size_t>(len), kSendFlags);
#endif
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        const SocketError next = after_socket_error(last_socket_error(), err);
        if (next == SocketError::Retry) continue;
        if (next == SocketError::Failed) return -1;
        switch (wait(true, deadline, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: fail_write_timeout(err); return -1;
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t TcpPort::os_pending(IoError& err) {
#ifdef _WIN32
    u_long count = 0;
    if (ioctlsocket(socket_, FIONREAD, &count) != 0) {
#else
    int count = 0;
    if (::ioctl(socket_, FIONREAD, &count) != 0) {
#endif
        fail_os(err, last_socket_error());
        return -1;
    }
    return static_cast<std::ptrdiff_t>(count);
}

bool TcpPort::os_flush_input(IoError& err) {
    char sink[4096];
    for (;;) {
        auto got = ::recv(socket_, sink, sizeof sink, 0);
        if (got > 0) continue;
        if (got == 0) return true;  // the closed connection shows on the next read
        int code = last_socket_error();
#ifndef _WIN32
        if (code == EINTR) continue;
#endif
        if (would_block(code) || connection_lost(code)) return true;
        return fail_os(err, code);
    }
}

}  // namespace

std::unique_ptr<Port> open_tcp(const Settings& settings, const std::string& host, const std::string& service,
                               IoError& err) {
    auto port = std::make_unique<TcpPort>(settings);
    if (!port->open(host, service, err)) return nullptr;
    return port;
}

}  // namespace ozu::serial::detail
