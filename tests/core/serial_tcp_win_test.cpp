// brix://HOST:PORT over Winsock: a loopback listener in the test stands for the device server.
#include "ozu/serial/frame_reader.hpp"
#include "ozu/serial/port.hpp"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace ozu::serial;
using namespace std::chrono_literals;

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

struct Listener {
    Winsock winsock;
    SOCKET socket_ = INVALID_SOCKET;
    int port = 0;
    Listener() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof addr;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(socket_, 4) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
    }
    ~Listener() { closesocket(socket_); }
    std::string name() const { return "brix://127.0.0.1:" + std::to_string(port); }
    SOCKET accept_one() const { return ::accept(socket_, nullptr, nullptr); }
};

std::unique_ptr<Port> open_ok(const std::string& name, std::optional<double> timeout) {
    Settings s;
    s.port = name;
    s.timeout = timeout;
    IoError err;
    auto port = open_port(s, err);
    EXPECT_TRUE(port) << name << ": " << err.message << " (" << err.code << ")";
    return port;
}

TEST(TcpPortWinsock, ExchangesFramesAndReportsThePeerClosing) {
    Listener server;
    ASSERT_GT(server.port, 0);
    auto port = open_ok(server.name(), 1.0);
    ASSERT_TRUE(port);
    SOCKET peer = server.accept_one();
    ASSERT_NE(peer, INVALID_SOCKET);

    ASSERT_EQ(::send(peer, "%01$RC1**\r%01$R", 15, 0), 15);
    FrameResult frame = read_frame(*port);
    EXPECT_EQ(frame.status, FrameStatus::Frame);
    EXPECT_EQ(frame.bytes, "%01$RC1**\r");
    std::this_thread::sleep_for(100ms);
    IoError err;
    EXPECT_EQ(port->in_waiting(err), 5) << err.message;
    EXPECT_TRUE(port->reset_input_buffer(err));
    EXPECT_EQ(port->in_waiting(err), 0);

    const std::string request = "%01#RCSX0000**\r";
    EXPECT_EQ(port->write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(), err),
              static_cast<std::ptrdiff_t>(request.size()));
    char back[32];
    int got = ::recv(peer, back, sizeof back, 0);
    EXPECT_EQ(std::string(back, got > 0 ? static_cast<std::size_t>(got) : 0), request);

    closesocket(peer);
    std::uint8_t byte;
    EXPECT_EQ(port->read(&byte, 1, err), -1);
    EXPECT_EQ(err.kind, ErrorKind::DeviceGone) << err.message;
}

TEST(TcpPortWinsock, RefusedConnectionIsAnOsError) {
    int free_port;
    {
        Listener probe;  // a port that was free a moment ago and has no listener now
        free_port = probe.port;
    }
    Winsock winsock;
    Settings s;
    s.port = "brix://127.0.0.1:" + std::to_string(free_port);
    IoError err;
    EXPECT_FALSE(open_port(s, err));
    EXPECT_EQ(err.kind, ErrorKind::Os);
    EXPECT_TRUE(err.win32_code);
    EXPECT_EQ(err.code, WSAECONNREFUSED) << err.message;
}

TEST(TcpPortWinsock, CloseWakesABlockedReadAndTimeOutsHold) {
    Listener server;
    std::shared_ptr<Port> port = open_ok(server.name(), std::nullopt);
    ASSERT_TRUE(port);
    SOCKET peer = server.accept_one();

    IoError err;
    std::uint8_t byte;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->read(&byte, 1, 0.3, err), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    auto result = std::make_shared<std::promise<ErrorKind>>();
    auto done = result->get_future();
    std::thread([port, result] {
        IoError e;
        std::uint8_t b;
        port->read(&b, 1, e);
        result->set_value(e.kind);
    }).detach();
    std::this_thread::sleep_for(200ms);
    auto closed = std::make_shared<std::promise<void>>();
    auto close_done = closed->get_future();
    std::thread([port, closed] {
        port->close();
        closed->set_value();
    }).detach();
    ASSERT_EQ(close_done.wait_for(5s), std::future_status::ready) << "close() waits on a read it did not wake";
    ASSERT_EQ(done.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(done.get(), ErrorKind::PortClosed);
    closesocket(peer);
}

}  // namespace
