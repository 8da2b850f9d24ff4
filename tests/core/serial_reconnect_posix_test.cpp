// Ports whose line breaks and comes back, writes that wait in slices, and the trace, over loopback
// TCP and the in-process null-modem.
#include "ozu/serial/port.hpp"
#include "ozu/serial/sliced_read.hpp"
#include "serial_test_util_posix.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ozu::serial;
using test::Listener;
using namespace std::chrono_literals;

std::unique_ptr<Port> open_with(Settings s) {
    IoError err;
    auto port = open_port(s, err);
    EXPECT_TRUE(port) << s.port << ": " << err.message;
    return port;
}

int connect_to(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

std::ptrdiff_t read_some(Port& port, std::string& out, std::optional<double> timeout) {
    std::uint8_t buf[64];
    IoError err;
    std::ptrdiff_t got = port.read(buf, sizeof buf, timeout, err);
    if (got > 0) out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(got));
    return got;
}

struct Recorder : TraceSink {
    std::mutex mutex;
    std::vector<std::pair<TraceEvent, std::string>> events;
    void record(const Port&, TraceEvent event, const std::uint8_t* data, std::size_t n, std::string_view,
                double) noexcept override {
        std::lock_guard lock(mutex);
        events.emplace_back(event, std::string(reinterpret_cast<const char*>(data), data ? n : 0));
    }
};

TEST(ReconnectingPort, ReadEndsAtTheBreakAndTheDeviceComesBack) {
    Listener server;
    Settings s;
    s.port = server.name();
    s.reconnect = 0.05;
    auto port = open_with(s);
    ASSERT_TRUE(port);
    auto trace = std::make_shared<Recorder>();
    port->set_trace(trace);
    int peer = server.accept_one();
    ASSERT_EQ(::send(peer, "%01$R", 5, 0), 5);
    std::string got;
    EXPECT_EQ(read_some(*port, got, 1.0), 5);
    ::close(peer);

    // The sliced read of a frame's next byte ends at the break, long before its time-out.
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t breaks = port->breaks();
    IoError err;
    std::uint8_t byte;
    EXPECT_EQ(read_sliced(*port, &byte, 1, SlicedWait(5.0), err, [] { return true; }), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(port->breaks(), breaks + 1);

    peer = server.accept_one();             // reopened at once: the server still listens
    EXPECT_TRUE(port->connected());
    EXPECT_EQ(port->reconnects(), 1u);
    ASSERT_EQ(::send(peer, "%01$RC1\r", 8, 0), 8);
    got.clear();
    EXPECT_EQ(read_some(*port, got, 1.0), 8);
    EXPECT_EQ(got, "%01$RC1\r");
    ::close(peer);
    port->close();

    std::lock_guard lock(trace->mutex);
    ASSERT_EQ(trace->events.size(), 4u);
    EXPECT_EQ(trace->events[0], std::make_pair(TraceEvent::Read, std::string("%01$R")));
    EXPECT_EQ(trace->events[1].first, TraceEvent::Disconnected);
    EXPECT_EQ(trace->events[2].first, TraceEvent::Reconnected);
    EXPECT_EQ(trace->events[3], std::make_pair(TraceEvent::Read, std::string("%01$RC1\r")));
}

TEST(ReconnectingPort, ABreakSeenByAWriterEndsTheNextRead) {
    Listener server;
    Settings s;
    s.port = server.name();
    s.reconnect = 30;                       // one attempt now, the next far away
    auto port = open_with(s);
    ASSERT_TRUE(port);
    int peer = server.accept_one();
    ::shutdown(peer, SHUT_RDWR);
    ::close(peer);
    ::close(server.fd);                     // and nobody listens any more
    server.fd = -1;
    IoError err;
    const std::string frame = "%01#RCSR0000**\r";
    std::ptrdiff_t put = 0;
    for (int i = 0; i < 50 && put >= 0; ++i) {  // the reset shows on one of the next writes
        put = port->write(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size(), err);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(put, -1);
    EXPECT_EQ(err.code, ENOTCONN);
    EXPECT_FALSE(port->connected());
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_some(*port, got, 5.0), 0);   // the owed break, at once
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(read_some(*port, got, 0.1), 0);   // then the outage: waits out its time-out
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    port->close();
}

TEST(SlicedWrite, BetweenRunsWhileTheLineIsFullAndCanStopTheWrite) {
    Settings a, b;
    a.port = "brix:pipe:slicedwrite:a";
    b.port = "brix:pipe:slicedwrite:b";
    auto writer = open_with(a);
    auto reader = open_with(b);
    ASSERT_TRUE(writer && reader);
    const std::vector<std::uint8_t> data(3u << 20, 'x');   // three times what the line holds
    int calls = 0;
    IoError err;
    EXPECT_EQ(writer->write(data.data(), data.size(), err, [&] { return ++calls < 2; }), kWriteStopped);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(reader->in_waiting(err), 1 << 20);            // what fitted stays written

    reader->reset_input_buffer(err);
    std::thread drain([&] {
        std::vector<std::uint8_t> sink(1 << 16);
        IoError e;
        std::size_t total = 0;
        while (total < data.size()) {
            std::ptrdiff_t got = reader->read(sink.data(), sink.size(), 1.0, e);
            if (got <= 0) break;
            total += static_cast<std::size_t>(got);
        }
    });
    EXPECT_EQ(writer->write(data.data(), data.size(), err, [] { return true; }),
              static_cast<std::ptrdiff_t>(data.size()));
    drain.join();
}

TEST(ListenPort, ServesOneClientAtATimeAndBreaksWhenItLeaves) {
    int number;
    {
        Listener probe;                        // a free port number
        number = probe.port;
    }
    Settings s;
    s.port = "brix:listen:127.0.0.1:" + std::to_string(number);
    s.timeout = 0.05;
    auto port = open_with(s);
    ASSERT_TRUE(port);
    EXPECT_FALSE(port->connected());
    std::string got;
    EXPECT_EQ(read_some(*port, got, 0.05), 0);
    IoError err;
    EXPECT_EQ(port->write(reinterpret_cast<const std::uint8_t*>("lost"), 4, err), 4);

    int client = connect_to(number);
    ASSERT_EQ(::send(client, "%01#", 4, 0), 4);
    EXPECT_EQ(read_some(*port, got, 1.0), 4);
    EXPECT_TRUE(port->connected());
    ::close(client);
    const std::uint64_t breaks = port->breaks();
    EXPECT_EQ(read_some(*port, got, 1.0), 0);
    EXPECT_EQ(port->breaks(), breaks + 1);
    EXPECT_FALSE(port->connected());

    // Opening the same address again fails while this port listens there.
    IoError busy;
    EXPECT_FALSE(open_port(s, busy));
    EXPECT_EQ(busy.code, EADDRINUSE);
    port->close();
}

}  // namespace
