// Ports over real OS objects: pseudo-terminals, loopback TCP, the in-process null-modem.
#include "ozu/serial/port.hpp"
#include "ozu/serial/sliced_read.hpp"
#include "serial_test_util_posix.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace ozu::serial;
using test::Listener;
using namespace std::chrono_literals;

std::unique_ptr<Port> open_ok(const std::string& name, std::optional<double> timeout = 0.05,
                              std::optional<double> write_timeout = std::nullopt) {
    Settings s;
    s.port = name;
    s.timeout = timeout;
    s.write_timeout = write_timeout;
    IoError err;
    auto port = open_port(s, err);
    EXPECT_TRUE(port) << name << ": " << err.message;
    return port;
}

IoError open_fails(const Settings& s) {
    IoError err;
    auto port = open_port(s, err);
    EXPECT_FALSE(port) << s.port;
    return err;
}

IoError open_fails(const std::string& name) {
    Settings s;
    s.port = name;
    return open_fails(s);
}

// Waits until the port holds at least `count` unread bytes (a pty hands them over when the kernel
// gets to it, later on a loaded machine), at most two seconds. Returns what it holds then.
std::ptrdiff_t wait_for_input(Port& port, std::ptrdiff_t count) {
    IoError err;
    std::ptrdiff_t held = port.in_waiting(err);
    for (int i = 0; i < 400 && held < count; ++i) {
        std::this_thread::sleep_for(5ms);
        held = port.in_waiting(err);
    }
    return held;
}

bool send(Port& port, const std::string& text) {
    IoError err;
    return port.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), err) ==
           static_cast<std::ptrdiff_t>(text.size());
}

// Reads until `count` bytes arrived or a read times out.
std::string receive(Port& port, std::size_t count) {
    std::string out;
    IoError err;
    while (out.size() < count) {
        std::uint8_t buf[256];
        std::ptrdiff_t got = port.read(buf, std::min(sizeof buf, count - out.size()), err);
        if (got <= 0) break;
        out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(got));
    }
    return out;
}

// Runs `blocked` in a thread and closes the port from this one; the read must end with PortClosed.
void expect_close_wakes_read(Port& port) {
    IoError err;
    std::ptrdiff_t got = 1;
    std::thread reader([&] {
        std::uint8_t byte;
        got = port.read(&byte, 1, err);
    });
    std::this_thread::sleep_for(50ms);
    port.close();
    reader.join();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err.kind, ErrorKind::PortClosed);
    EXPECT_FALSE(port.is_open());
}

struct NameCase {
    const char* name;
    ErrorKind kind;
    int code;
};

class BadNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(BadNames, AreRefusedWithAReason) {
    IoError err = open_fails(GetParam().name);
    EXPECT_EQ(err.kind, GetParam().kind);
    EXPECT_EQ(err.code, GetParam().code);
    EXPECT_FALSE(err.message.empty());
}

INSTANTIATE_TEST_SUITE_P(Routing, BadNames,
                         ::testing::Values(NameCase{"", ErrorKind::BadName, EINVAL},
                                           NameCase{"COM3", ErrorKind::Unsupported, ENODEV},
                                           NameCase{"com12", ErrorKind::Unsupported, ENODEV},
                                           NameCase{"hidcom1", ErrorKind::Unsupported, ENOTSUP},
                                           NameCase{"brix:serial", ErrorKind::BadName, EINVAL},
                                           NameCase{"brix://nohostport", ErrorKind::BadName, EINVAL},
                                           NameCase{"brix://host:0", ErrorKind::BadName, EINVAL},
                                           NameCase{"brix://host:70000", ErrorKind::BadName, EINVAL},
                                           NameCase{"brix:pipe:x:c", ErrorKind::BadName, EINVAL},
                                           NameCase{"brix:pipe::a", ErrorKind::BadName, EINVAL},
                                           NameCase{"LPT1", ErrorKind::BadName, EINVAL},
                                           NameCase{"/dev/ttyNO_SUCH_DEVICE", ErrorKind::Os, ENOENT},
                                           NameCase{"/dev/null", ErrorKind::Os, ENOTTY}));

TEST(OpenPort, RefusesInvalidSettings) {
    Settings s;
    s.port = "brix:pipe:settings:a";
    s.bytesize = 9;
    EXPECT_EQ(open_fails(s).code, EINVAL);
    s.bytesize = 8;
    s.stopbits = 3;
    EXPECT_EQ(open_fails(s).code, EINVAL);
    s.stopbits = 1;
    s.timeout = -1.0;
    EXPECT_EQ(open_fails(s).code, EINVAL);
}

// ---------------------------------------------------------------- in-process null-modem

TEST(PipePort, CarriesBytesBothWaysAndCountsTheBuffer) {
    auto a = open_ok("brix:pipe:both:a");
    auto b = open_ok("brix:pipe:both:B");  // the end letter in any case
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(send(*a, "hello\r"));
    EXPECT_TRUE(send(*b, "world"));
    IoError err;
    std::uint8_t one;
    ASSERT_EQ(b->read(&one, 1, err), 1);  // fills the buffer with everything, hands out one byte
    EXPECT_EQ(one, 'h');
    EXPECT_EQ(b->in_waiting(err), 5);
    EXPECT_EQ(receive(*b, 2), "el");
    EXPECT_TRUE(b->reset_input_buffer(err));
    EXPECT_EQ(b->in_waiting(err), 0);
    EXPECT_EQ(receive(*b, 1), "");
    EXPECT_EQ(receive(*a, 5), "world");
}

TEST(PipePort, EachEndOpensOnceAndTheLineIsLikeACable) {
    auto a = open_ok("brix:pipe:cable:a");
    ASSERT_TRUE(a);
    IoError busy = open_fails("brix:pipe:cable:a");
    EXPECT_EQ(busy.code, EBUSY);

    // Written while nobody is on the other end: lost, and the read side simply times out.
    EXPECT_TRUE(send(*a, "lost"));
    auto b = open_ok("brix:pipe:cable:b");
    ASSERT_TRUE(b);
    EXPECT_EQ(receive(*b, 4), "");

    // Delivered bytes stay readable after the writer closes; the end can be opened again.
    EXPECT_TRUE(send(*a, "kept"));
    a->close();
    EXPECT_EQ(receive(*b, 4), "kept");
    auto again = open_ok("brix:pipe:cable:a");
    ASSERT_TRUE(again);
    EXPECT_TRUE(send(*again, "x"));
    EXPECT_EQ(receive(*b, 1), "x");
}

TEST(PipePort, TimeOutsZeroAndWriteBackPressure) {
    auto a = open_ok("brix:pipe:flow:a", 0.0);
    auto b = open_ok("brix:pipe:flow:b", 0.0);
    ASSERT_TRUE(a && b);
    IoError err;
    std::uint8_t byte;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b->read(&byte, 1, err), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // sanity bound only; 0 never waits

    Settings s;
    s.port = "brix:pipe:flow2:a";
    s.write_timeout = 0.05;
    IoError open_err;
    auto writer = open_port(s, open_err);
    auto reader = open_ok("brix:pipe:flow2:b");
    ASSERT_TRUE(writer && reader);
    std::string big(3 << 20, 'z');  // more than one direction holds
    std::ptrdiff_t put = writer->write(reinterpret_cast<const std::uint8_t*>(big.data()), big.size(), err);
    EXPECT_EQ(put, -1);
    EXPECT_EQ(err.kind, ErrorKind::WriteTimeout);
    EXPECT_EQ(err.code, ETIMEDOUT);
}

TEST(PipePort, ReadsWhileAnotherThreadWrites) {
    auto a = open_ok("brix:pipe:threads:a");
    auto b = open_ok("brix:pipe:threads:b", 1.0);
    ASSERT_TRUE(a && b);
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += static_cast<char>('A' + i % 26);
    std::thread writer([&] {
        for (std::size_t i = 0; i < expected.size(); i += 100) send(*a, expected.substr(i, 100));
    });
    std::string got = receive(*b, expected.size());
    writer.join();
    EXPECT_EQ(got, expected);
}

// Each end waits on its own conditions; a wake-up must still reach every waiter that needs it:
// writers blocked on both full directions at once, released only by the other side's reads.
TEST(PipePort, BothDirectionsFullAtOnceDrainWithoutLosingAWakeUp) {
    auto a = open_ok("brix:pipe:full-both:a", 2.0, 5.0);  // a lost wake-up fails, not hangs
    auto b = open_ok("brix:pipe:full-both:b", 2.0, 5.0);
    ASSERT_TRUE(a && b);
    std::string one(3 << 20, '1'), two(3 << 20, '2');  // each more than a direction holds
    for (std::size_t i = 0; i < one.size(); i += 4099) one[i] = 'x', two[i] = 'y';
    IoError err_a, err_b;
    std::ptrdiff_t put_a = 0, put_b = 0;
    std::thread write_a([&] { put_a = a->write(reinterpret_cast<const std::uint8_t*>(one.data()), one.size(), err_a); });
    std::thread write_b([&] { put_b = b->write(reinterpret_cast<const std::uint8_t*>(two.data()), two.size(), err_b); });
    std::this_thread::sleep_for(50ms);  // let both writers fill their direction and wait
    std::string at_b, at_a;
    std::thread read_b([&] { at_b = receive(*b, one.size()); });
    at_a = receive(*a, two.size());
    read_b.join();
    write_a.join();
    write_b.join();
    EXPECT_EQ(put_a, static_cast<std::ptrdiff_t>(one.size()));
    EXPECT_EQ(put_b, static_cast<std::ptrdiff_t>(two.size()));
    EXPECT_TRUE(at_b == one);
    EXPECT_TRUE(at_a == two);
}

// A writer waiting for room gives up when the reader's end closes (the rest is lost, as on a
// cable with nothing attached), and a reader of the other direction is not disturbed by it.
TEST(PipePort, AWriterWaitingForRoomEndsWhenThePeerCloses) {
    Settings s;
    s.port = "brix:pipe:full-close:a";
    s.timeout = 0.05;
    IoError open_err;
    auto a = open_port(s, open_err);  // no write time-out
    auto b = open_ok("brix:pipe:full-close:b");
    ASSERT_TRUE(a && b);
    std::string big(3 << 20, 'z');
    IoError err;
    std::ptrdiff_t put = 0;
    std::thread writer([&] { put = a->write(reinterpret_cast<const std::uint8_t*>(big.data()), big.size(), err); });
    std::this_thread::sleep_for(50ms);
    b->close();
    writer.join();
    EXPECT_EQ(put, static_cast<std::ptrdiff_t>(big.size()));
    std::uint8_t byte;
    EXPECT_EQ(a->read(&byte, 1, err), 0);  // a quiet line
}

TEST(PipePort, CloseWakesABlockedReadAndLaterCallsFail) {
    auto a = open_ok("brix:pipe:wake:a", std::nullopt);
    ASSERT_TRUE(a);
    expect_close_wakes_read(*a);
    a->close();  // idempotent
    IoError err;
    EXPECT_EQ(a->write(reinterpret_cast<const std::uint8_t*>("x"), 1, err), -1);
    EXPECT_EQ(err.kind, ErrorKind::PortClosed);
    EXPECT_EQ(a->in_waiting(err), -1);
    EXPECT_FALSE(a->reset_input_buffer(err));
    // The end is free again.
    EXPECT_TRUE(open_ok("brix:pipe:wake:a"));
}

// ---------------------------------------------------------------- pseudo-terminals

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
};

TEST(TtyPort, AppliesTheLineSettings) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    Settings s;
    s.port = pty.path;
    s.baudrate = 19200;
    s.bytesize = 7;
    s.parity = 'E';
    s.stopbits = 2;
    IoError err;
    auto port = open_port(s, err);
    ASSERT_TRUE(port) << err.message;
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    // (A pseudo-terminal keeps 8 bits without parity whatever is asked; the rest takes effect.)
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));  // raw: bytes pass unchanged
    EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
    EXPECT_FALSE(tio.c_oflag & OPOST);

    port->close();
    s.baudrate = 12345;
    IoError bad = open_fails(s);
    EXPECT_EQ(bad.code, EINVAL);
}

TEST(TtyPort, MovesBytesAndCountsTheBuffer) {
    Pty pty;
    auto port = open_ok(pty.path);
    ASSERT_TRUE(port);
    ASSERT_EQ(::write(pty.master, "%01$RC1\r\n\x80", 10), 10);
    EXPECT_EQ(wait_for_input(*port, 10), 10);
    IoError err;
    EXPECT_EQ(receive(*port, 3), "%01");
    EXPECT_EQ(port->in_waiting(err), 7);
    EXPECT_EQ(receive(*port, 7), "$RC1\r\n\x80");  // no CR/LF translation
    EXPECT_TRUE(send(*port, "#RD\r"));
    char back[8] = {};
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(::read(pty.master, back, sizeof back), 4);
    EXPECT_EQ(std::string(back, 4), "#RD\r");

    ASSERT_EQ(::write(pty.master, "junk", 4), 4);
    EXPECT_EQ(wait_for_input(*port, 4), 4);
    EXPECT_TRUE(port->reset_input_buffer(err));
    EXPECT_EQ(port->in_waiting(err), 0);
    EXPECT_EQ(receive(*port, 1), "");
    EXPECT_GE(port->native_handle(), 0);
}

TEST(TtyPort, IsExclusiveUnlessAskedOtherwise) {
    Pty pty;
    auto first = open_ok(pty.path);
    ASSERT_TRUE(first);
    IoError err = open_fails(pty.path);
    EXPECT_EQ(err.code, EBUSY);
    first->close();
    auto again = open_ok(pty.path);
    EXPECT_TRUE(again);
    again.reset();

    Settings shared;
    shared.port = pty.path;
    shared.exclusive = false;
    IoError e1, e2;
    auto x = open_port(shared, e1);
    auto y = open_port(shared, e2);
    EXPECT_TRUE(x && y) << e1.message << e2.message;
}

TEST(TtyPort, DeviceGoneIsAnErrorNotSilence) {
    Pty pty;
    auto port = open_ok(pty.path, 1.0);
    ASSERT_TRUE(port);
    ASSERT_EQ(::write(pty.master, "ab", 2), 2);
    std::this_thread::sleep_for(20ms);
    ::close(pty.master);
    pty.master = -1;
    IoError err;
    std::uint8_t buf[8];
    std::ptrdiff_t got = port->read(buf, sizeof buf, err);
    if (got > 0) got = port->read(buf, sizeof buf, err);  // what arrived before the hang-up first
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err.kind, ErrorKind::DeviceGone);
}

TEST(TtyPort, CloseWakesABlockedRead) {
    Pty pty;
    auto port = open_ok(pty.path, std::nullopt);
    ASSERT_TRUE(port);
    expect_close_wakes_read(*port);
}

// ---------------------------------------------------------------- TCP

TEST(TcpPort, ExchangesBytesAndReportsThePeerClosing) {
    Listener server;
    ASSERT_GT(server.port, 0);
    auto port = open_ok(server.name(), 1.0);
    ASSERT_TRUE(port);
    int peer = server.accept_one();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "%01$RC1\rxy", 10, 0), 10);
    EXPECT_EQ(receive(*port, 8), "%01$RC1\r");
    IoError err;
    EXPECT_EQ(port->in_waiting(err), 2);
    EXPECT_TRUE(port->reset_input_buffer(err));
    EXPECT_EQ(port->in_waiting(err), 0);
    EXPECT_TRUE(send(*port, "#WD\r"));
    char back[8];
    EXPECT_EQ(::recv(peer, back, sizeof back, 0), 4);

    ::close(peer);
    std::uint8_t byte;
    EXPECT_EQ(port->read(&byte, 1, err), -1);
    EXPECT_EQ(err.kind, ErrorKind::DeviceGone);
    EXPECT_EQ(err.code, ECONNRESET);
}

TEST(TcpPort, RefusedConnectionAndCloseWakingARead) {
    int unused_port;
    {
        Listener gone;
        unused_port = gone.port;
    }
    IoError refused = open_fails("brix://127.0.0.1:" + std::to_string(unused_port));
    EXPECT_EQ(refused.code, ECONNREFUSED);

    Listener server;
    auto port = open_ok(server.name(), std::nullopt);
    ASSERT_TRUE(port);
    int peer = server.accept_one();
    expect_close_wakes_read(*port);
    ::close(peer);
}

// Sliced reads: how a read time-out is cut into slices and what runs between them.

constexpr double kShortSlice = 0.005;

TEST(SlicedWait, HandsOutTheTimeOutInSlices) {
    const SlicedWait unlimited(std::nullopt, 0.25);
    EXPECT_EQ(unlimited.next(), 0.25);
    EXPECT_FALSE(unlimited.over());

    for (double none : {0.0, -1.0}) {
        const SlicedWait no_wait(none, 0.25);
        EXPECT_EQ(no_wait.next(), 0.0);
        EXPECT_TRUE(no_wait.over());
    }

    // A time-out far beyond any slice, even one too large for the clock, is cut to a slice.
    for (double longer : {3600.0, 1e300}) {
        const SlicedWait limited(longer, 0.25);
        EXPECT_EQ(limited.next(), 0.25);
        EXPECT_FALSE(limited.over());
    }
    EXPECT_EQ(SlicedWait(std::nullopt).next(), kSignalSlice);
}

TEST(SlicedRead, NoWaitReturnsAtOnceWithoutRunningBetween) {
    auto a = open_ok("brix:pipe:sliced-nowait:a", 0.0);
    auto b = open_ok("brix:pipe:sliced-nowait:b", 0.0);
    ASSERT_TRUE(a && b);
    int calls = 0;
    std::uint8_t buf[4];
    IoError err;
    EXPECT_EQ(read_sliced(*a, buf, sizeof buf, SlicedWait(a->timeout()), err, [&] {
        ++calls;
        return true;
    }), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(err);
}

TEST(SlicedRead, BetweenRunsBetweenSlicesAndCanStopTheWait) {
    // Without a limit, and with a limit far longer than the slices: only between() ends the wait.
    for (std::optional<double> timeout : {std::optional<double>(), std::optional<double>(30.0)}) {
        auto a = open_ok("brix:pipe:sliced-stop:a", timeout);
        auto b = open_ok("brix:pipe:sliced-stop:b", timeout);
        ASSERT_TRUE(a && b);
        int calls = 0;
        std::uint8_t buf[4];
        IoError err;
        const SlicedWait wait(a->timeout(), kShortSlice);
        EXPECT_EQ(read_sliced(*a, buf, sizeof buf, wait, err, [&] { return ++calls < 3; }), kReadStopped);
        EXPECT_EQ(calls, 3);
        EXPECT_FALSE(err);
    }
}

TEST(SlicedRead, BytesArrivingInALaterSliceAreReturned) {
    auto a = open_ok("brix:pipe:sliced-late:a", std::nullopt);
    auto b = open_ok("brix:pipe:sliced-late:b", std::nullopt);
    ASSERT_TRUE(a && b);
    int calls = 0;
    auto between = [&] {
        if (++calls == 2) {
            IoError werr;
            const std::uint8_t text[] = {'%', '0', '1'};
            EXPECT_EQ(b->write(text, sizeof text, werr), 3);
        }
        return calls < 10;
    };
    std::uint8_t buf[8] = {};
    IoError err;
    EXPECT_EQ(read_sliced(*a, buf, sizeof buf, SlicedWait(std::nullopt, kShortSlice), err, between), 3);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "%01");
}

TEST(SlicedRead, TimeOutEndsTheWaitAndAFailureIsReported) {
    auto a = open_ok("brix:pipe:sliced-end:a", 0.02);
    auto b = open_ok("brix:pipe:sliced-end:b", 0.02);
    ASSERT_TRUE(a && b);
    std::uint8_t buf[4];
    IoError err;
    EXPECT_EQ(read_sliced(*a, buf, sizeof buf, SlicedWait(a->timeout(), kShortSlice), err, [] { return true; }), 0);
    EXPECT_FALSE(err);

    a->close();
    int calls = 0;
    EXPECT_EQ(read_sliced(*a, buf, sizeof buf, SlicedWait(std::nullopt, kShortSlice), err,
                          [&] {
        ++calls;
        return true;
    }),
              kReadFailed);
    EXPECT_EQ(err.kind, ErrorKind::PortClosed);
    EXPECT_EQ(calls, 0);
}

}  // namespace
