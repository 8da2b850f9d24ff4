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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <shared_mutex>

namespace ozu::serial::detail {

namespace {

// A device server that does not answer the connection attempt within this many seconds is reported
// as unreachable.
constexpr double kConnectSeconds = 10.0;
// The shortest wait of a reconnection attempt, however short the read that makes it.
constexpr double kReconnectFloor = 2.0;

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

// Resolves host:service and connects to the first address that answers, waiting at most
// `seconds` for each; the wait runs in slices after which `between()` may stop it. The socket is
// attached to `waiter` (so close() can wake the wait) and non-blocking.
Socket connect_socket(Waiter& waiter, const std::string& host, const std::string& service, double seconds,
                      const std::function<bool()>* between, IoError& err);

class TcpPort final : public Port {
public:
    explicit TcpPort(const Settings& settings) : Port(settings) {}
    ~TcpPort() override { close(); }

    bool open(const std::string& host, const std::string& service, const std::function<bool()>* between,
              IoError& err);
    long native_handle() const noexcept override { return static_cast<long>(socket_); }

protected:
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                 IoError& err) override;
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError&) override { return true; }  // nothing queued on our side
    void wake() noexcept override { waiter_.signal(); }
    bool os_reopen(std::optional<double> wait, IoError& err) override;
    void os_disconnect() noexcept override {
        std::unique_lock lock(device_mutex());
        close_socket(socket_);
    }
    void os_close() noexcept override {
        os_disconnect();
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

    std::string host_;
    std::string service_;
    Socket socket_ = kNoSocket;
    Waiter waiter_;
};

bool connect_to(Waiter& waiter, Socket& s, const addrinfo* ai, double seconds, const std::function<bool()>* between,
                IoError& err) {
#ifdef _WIN32
    s = WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
#else
    s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
#endif
    if (s == kNoSocket) return fail_os(err, last_socket_error());
    if (!waiter.attach(s, err)) return false;
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
#ifdef SO_NOSIGPIPE
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return true;
    int code = last_socket_error();
    if (!would_block(code)) return fail_os(err, code);
    Deadline deadline(seconds);
    for (;;) {
        double left = deadline.remaining().value_or(0.0);
        Deadline slice(between ? std::min(left, kWriteSlice) : left);
#ifdef _WIN32
        WaitResult waited = waiter.wait(s, slice, err);
#else
        WaitResult waited = waiter.wait(s, POLLOUT, slice, err);
#endif
        switch (waited) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut:
                if (deadline.poll_ms() == 0) return fail(err, ErrorKind::Os, ETIMEDOUT, "connection timed out");
                if (between && !(*between)()) return fail(err, ErrorKind::Os, EINTR, "interrupted");
                continue;
            case WaitResult::Woken:
            case WaitResult::Failed: return false;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
            return fail_os(err, last_socket_error());
        if (so_error != 0) return fail_os(err, so_error);
#ifdef _WIN32
        // The event also fires for reasons other than the connection completing; ask the socket.
        sockaddr_storage peer;
        int peer_len = sizeof peer;
        if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) continue;
#endif
        return true;
    }
}

// getaddrinfo for a TCP stream; null with err set on failure.
addrinfo* resolve(const std::string& host, const std::string& service, bool passive, IoError& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (passive) hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc == 0) return found;
#ifdef _WIN32
    fail_os(err, rc);
#else
    if (rc == EAI_SYSTEM)
        fail_os(err, errno);
    else
        fail(err, ErrorKind::Os, EHOSTUNREACH, gai_strerror(rc));
#endif
    return nullptr;
}

Socket connect_socket(Waiter& waiter, const std::string& host, const std::string& service, double seconds,
                      const std::function<bool()>* between, IoError& err) {
    addrinfo* found = resolve(host, service, false, err);
    if (!found) return kNoSocket;
    IoError last;
    Socket s = kNoSocket;
    bool connected = false;
    for (const addrinfo* ai = found; ai && !connected; ai = ai->ai_next) {
        last = IoError{};
        connected = connect_to(waiter, s, ai, seconds, between, last);
        if (!connected) close_socket(s);
        if (!connected && last.code == EINTR) break;  // interrupted: try no further address
    }
    freeaddrinfo(found);
    if (!connected) err = last;
    return connected ? s : kNoSocket;
}

bool TcpPort::open(const std::string& host, const std::string& service, const std::function<bool()>* between,
                   IoError& err) {
    if (!startup(err) || !waiter_.open(err)) return false;
    host_ = host;
    service_ = service;
    Socket s = connect_socket(waiter_, host, service, kConnectSeconds, between, err);
    if (s == kNoSocket) return false;
    std::unique_lock lock(device_mutex());
    socket_ = s;
    return true;
}

bool TcpPort::os_reopen(std::optional<double> wait, IoError& err) {
    // A device server that is back answers at once; one that is unreachable must not hold the
    // reader much past its time-out.
    const double seconds = std::clamp(wait.value_or(kConnectSeconds), kReconnectFloor, kConnectSeconds);
    Socket s = connect_socket(waiter_, host_, service_, seconds, nullptr, err);
    if (s == kNoSocket) return false;
    std::unique_lock lock(device_mutex());
    close_socket(socket_);
    socket_ = s;
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

std::ptrdiff_t TcpPort::os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
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
            case WaitResult::TimedOut: return static_cast<std::ptrdiff_t>(done);
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t TcpPort::os_pending(IoError& err) {
    std::shared_lock lock(device_mutex());
    if (socket_ == kNoSocket) return 0;
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
    std::shared_lock lock(device_mutex());
    if (socket_ == kNoSocket) return true;
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

#ifndef _WIN32
// brix:listen:HOST:PORT: a TCP server for one client at a time. Without a client reads time out
// and writes are dropped; a client that leaves ends the frame being read (a line break) and the
// next one waiting is accepted. The client descriptor changes only in the reading thread, under
// the device lock held exclusively; writers hold it shared.
class ListenPort final : public Port {
public:
    // A listening port replaces its clients itself; there is no device to reopen.
    explicit ListenPort(const Settings& settings) : Port(without_reconnect(settings)) {}
    ~ListenPort() override { close(); }

    bool open(const std::string& host, const std::string& service, IoError& err);
    long native_handle() const noexcept override { return listener_; }

protected:
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                 IoError& err) override;
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError&) override { return true; }
    void wake() noexcept override { wake_.signal(); }
    void os_close() noexcept override {
        {
            std::unique_lock lock(device_mutex());
            close_fd(client_);
        }
        close_fd(listener_);
        wake_.release();
    }

private:
    static Settings without_reconnect(Settings settings) {
        settings.reconnect.reset();
        return settings;
    }
    void drop_client(const char* why);

    int listener_ = -1;
    int client_ = -1;
    std::atomic<bool> drop_reported_{false};
    WakePipe wake_;
};

bool ListenPort::open(const std::string& host, const std::string& service, IoError& err) {
    if (!wake_.open(err)) return false;
    addrinfo* found = resolve(host, service, true, err);
    if (!found) return false;
    const std::string where = host + ":" + service;
    IoError last;
    for (const addrinfo* ai = found; ai && listener_ < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            fail_os(last, errno);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
            int code = errno;
            fail(last, ErrorKind::Os, code, "cannot listen on " + where + ": " + system_message(code));
            close_fd(fd);
            continue;
        }
        listener_ = fd;
    }
    freeaddrinfo(found);
    if (listener_ < 0) {
        err = last;
        return false;
    }
    set_connected(false);
    return true;
}

void ListenPort::drop_client(const char* why) {
    {
        std::unique_lock lock(device_mutex());
        close_fd(client_);
    }
    set_connected(false);
    drop_reported_.store(false);
    trace(TraceEvent::ClientLeft, nullptr, 0, why);
    break_line();
}

std::ptrdiff_t ListenPort::os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout, IoError& err) {
    Deadline deadline(timeout);
    for (;;) {
        if (client_ < 0) {
            switch (wait_fd(listener_, POLLIN, deadline, wake_, err)) {
                case WaitResult::Ready: break;
                case WaitResult::TimedOut: return 0;
                case WaitResult::Woken:
                case WaitResult::Failed: return -1;
            }
            sockaddr_storage peer;
            socklen_t len = sizeof peer;
            int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                const int code = errno;
                // A client that gave up before it was accepted, or a signal: wait for the next one.
                if (code == EINTR || code == ECONNABORTED || would_block(code)) continue;
                fail_os(err, code);  // out of descriptors or memory: polling again would spin
                return -1;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);  // a client that vanished goes in time
            char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
            getnameinfo(reinterpret_cast<sockaddr*>(&peer), len, host, sizeof host, port, sizeof port,
                        NI_NUMERICHOST | NI_NUMERICSERV);
            {
                std::unique_lock lock(device_mutex());
                client_ = fd;
            }
            set_connected(true);
            trace(TraceEvent::ClientConnected, nullptr, 0, std::string(host) + ":" + port);
            continue;
        }
        const std::size_t len = std::min<std::size_t>(cap, 1u << 30);
        const auto got = ::recv(client_, dst, len, 0);
        if (got > 0) return got;
        if (got == 0) {
            drop_client("connection closed by peer");
            return 0;
        }
        int code = errno;
        if (code == EINTR) continue;
        if (!would_block(code)) {
            drop_client(system_message(code).c_str());
            return 0;
        }
        switch (wait_fd(client_, POLLIN, deadline, wake_, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return 0;
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
}

std::ptrdiff_t ListenPort::os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                         IoError& err) {
    std::shared_lock lock(device_mutex());
    if (client_ < 0) {
        lock.unlock();  // the trace may wait for the interpreter; never with the device lock
        if (!drop_reported_.exchange(true)) trace(TraceEvent::WriteDropped, src, n, "no client connected");
        return static_cast<std::ptrdiff_t>(n);
    }
    Deadline deadline(timeout);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t len = std::min<std::size_t>(n - done, 1u << 30);
        const auto put = ::send(client_, src + done, len, kSendFlags);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        int code = errno;
        if (code == EINTR) continue;
        if (!would_block(code)) {
            // The client is going; the reader replaces it. Like a write with nobody there, the
            // bytes are lost.
            lock.unlock();
            if (!drop_reported_.exchange(true)) trace(TraceEvent::WriteDropped, src, n, system_message(code));
            return static_cast<std::ptrdiff_t>(n);
        }
        switch (wait_fd(client_, POLLOUT, deadline, wake_, err)) {
            case WaitResult::Ready: break;
            case WaitResult::TimedOut: return static_cast<std::ptrdiff_t>(done);
            case WaitResult::Woken:
            case WaitResult::Failed: return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t ListenPort::os_pending(IoError& err) {
    std::shared_lock lock(device_mutex());
    if (client_ < 0) return 0;
    int count = 0;
    if (::ioctl(client_, FIONREAD, &count) != 0) {
        fail_os(err, errno);
        return -1;
    }
    return count;
}

bool ListenPort::os_flush_input(IoError&) {
    std::shared_lock lock(device_mutex());
    if (client_ < 0) return true;
    char sink[4096];
    while (::recv(client_, sink, sizeof sink, 0) > 0) {
    }
    return true;  // a closed connection shows on the next read
}
#endif

}  // namespace

std::unique_ptr<Port> open_tcp(const Settings& settings, const std::string& host, const std::string& service,
                               const std::function<bool()>* between, IoError& err) {
    auto port = std::make_unique<TcpPort>(settings);
    if (!port->open(host, service, between, err)) return nullptr;
    return port;
}

std::unique_ptr<Port> open_listen(const Settings& settings, const std::string& host, const std::string& service,
                                  IoError& err) {
#ifdef _WIN32
    (void)settings, (void)host, (void)service;
    fail(err, ErrorKind::Unsupported, ENOTSUP, "listening ports are not supported on this platform");
    return nullptr;
#else
    auto port = std::make_unique<ListenPort>(settings);
    if (!port->open(host, service, err)) return nullptr;
    return port;
#endif
}

}  // namespace ozu::serial::detail

