// COM ports through the Win32 serial API. Run under wine by scripts/check_windows.sh, which maps
// COM ports onto the two ends of socat pty pairs (a null-modem cable) and names them here:
//   OZU_COM_A, OZU_COM_B            the two ends of one cable
//   OZU_COM_HIGH_A, OZU_COM_HIGH_B  the same from COM10 on, which need the \\.\ device namespace
//   OZU_COM_VANISH                  a port whose cable the script pulls once the file named by
//   OZU_COM_VANISH_SIGNAL           appears
//   OZU_COM_REFUSED                 line settings the driver of OZU_COM_A refuses
//   OZU_COM_LISTED                  COM ports the script entered in the SERIALCOMM map
// Without them (on a machine with real ports only) the tests skip.
#include "ozu/serial/frame_reader.hpp"
#include "ozu/serial/port.hpp"
#include "ozu/serial/port_list.hpp"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace ozu::serial;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

#define REQUIRE_ENV(var, name)                                                       \
    const std::string var = env(name);                                               \
    if (var.empty()) GTEST_SKIP() << name << " is not set: no COM port pair to test"

Settings line(const std::string& name, std::optional<double> timeout = 0.2) {
    Settings s;
    s.port = name;
    s.timeout = timeout;
    s.parity = 'N';  // ptys behind wine's COM ports take no parity with 8 data bits (see Settings test)
    return s;
}

std::unique_ptr<Port> open_ok(const Settings& s) {
    IoError err;
    auto port = open_port(s, err);
    EXPECT_TRUE(port) << s.port << ": " << err.message << " (" << err.code << ")";
    return port;
}

bool send(Port& port, const std::string& text) {
    IoError err;
    std::ptrdiff_t put = port.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), err);
    EXPECT_EQ(put, static_cast<std::ptrdiff_t>(text.size())) << err.message;
    return put == static_cast<std::ptrdiff_t>(text.size());
}

// Reads until `count` bytes arrived or a read times out.
std::string receive(Port& port, std::size_t count) {
    std::string out;
    IoError err;
    while (out.size() < count) {
        std::uint8_t buf[512];
        std::ptrdiff_t got = port.read(buf, std::min(sizeof buf, count - out.size()), err);
        if (got <= 0) break;
        out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(got));
    }
    return out;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

DCB comm_state(const Port& port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(LongToHandle(port.native_handle()), &dcb)) << GetLastError();
    return dcb;
}

TEST(ComPort, OpensExclusivelyAndReleasesThePortOnClose) {
    REQUIRE_ENV(a, "OZU_COM_A");
    auto first = open_ok(line(a));
    ASSERT_TRUE(first);
    EXPECT_NE(first->native_handle(), -1);

    IoError err;
    for (const std::string& same : {a, std::string("com") + a.substr(3)}) {
        EXPECT_FALSE(open_port(line(same), err)) << same << " opened twice";
        EXPECT_EQ(err.kind, ErrorKind::Os);
        EXPECT_EQ(err.code, static_cast<int>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(err.win32_code);
    }
    first->close();
    EXPECT_EQ(first->native_handle(), -1);
    auto again = open_ok(line(a));
    EXPECT_TRUE(again);
}

TEST(ComPort, MissingPortIsAnOsError) {
    IoError err;
    EXPECT_FALSE(open_port(line("COM199"), err));
    EXPECT_EQ(err.kind, ErrorKind::Os);
    EXPECT_EQ(err.code, static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(err.message.empty());
    // The failed open released its claim on the name.
    EXPECT_FALSE(open_port(line("COM199"), err));
    EXPECT_EQ(err.code, static_cast<int>(ERROR_FILE_NOT_FOUND));
}

// What the driver holds after open. Under wine a pty keeps 8 data bits and no parity whatever is
// asked (the kernel forces them), so data bits and parity are not read back; wine also refuses
// parity together with 8 data bits, so parity is tried with 7.
TEST(ComPort, AppliesTheLineSettingsAndReadsThemBack) {
    REQUIRE_ENV(a, "OZU_COM_A");
    struct Case {
        long baud;
        int bytesize;
        char parity;
        double stopbits;
        BYTE dcb_stopbits;
    };
    for (const Case& c : {Case{19200, 7, 'E', 2, TWOSTOPBITS}, Case{115200, 8, 'N', 1, ONESTOPBIT},
                          Case{9600, 7, 'O', 1, ONESTOPBIT}}) {
        SCOPED_TRACE(c.baud);
        Settings s = line(a);
        s.baudrate = c.baud;
        s.bytesize = c.bytesize;
        s.parity = c.parity;
        s.stopbits = c.stopbits;
        auto port = open_ok(s);
        ASSERT_TRUE(port);
        DCB dcb = comm_state(*port);
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.baud));
        EXPECT_EQ(dcb.StopBits, c.dcb_stopbits);
        EXPECT_FALSE(dcb.fOutxCtsFlow);
        EXPECT_FALSE(dcb.fOutX);
        EXPECT_FALSE(dcb.fInX);
        EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
        EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    }
}

// OZU_COM_REFUSED names line settings the driver behind OZU_COM_A refuses, as data bits, parity
// and stop bits ("8O1": wine refuses parity with 8 data bits on a pty).
TEST(ComPort, SettingsTheDriverRefusesFailTheOpenAndFreeThePort) {
    REQUIRE_ENV(a, "OZU_COM_A");
    REQUIRE_ENV(refused, "OZU_COM_REFUSED");
    ASSERT_EQ(refused.size(), 3u) << refused;
    Settings s = line(a);
    s.bytesize = refused[0] - '0';
    s.parity = refused[1];
    s.stopbits = refused[2] - '0';
    IoError err;
    EXPECT_FALSE(open_port(s, err));
    EXPECT_EQ(err.kind, ErrorKind::Os);
    EXPECT_EQ(err.code, static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(err.win32_code);
    EXPECT_TRUE(open_ok(line(a)));
}

TEST(ComPort, ReadWaitsAsItsTimeOutSays) {
    REQUIRE_ENV(a, "OZU_COM_A");
    REQUIRE_ENV(b, "OZU_COM_B");
    auto reader = open_ok(line(a, 0.3));
    auto writer = open_ok(line(b));
    ASSERT_TRUE(reader && writer);
    std::uint8_t buf[16];
    IoError err;

    // Finite: waits the time-out out, then returns nothing.
    auto start = Clock::now();
    auto finite = std::async(std::launch::async, [&] { return reader->read(buf, sizeof buf, err); });
    if (finite.wait_for(5s) != std::future_status::ready) {
        reader->close();
        FAIL() << "a read with a time-out of 0.3 s went on past 5 s";
    }
    EXPECT_EQ(finite.get(), 0) << err.message;
    EXPECT_GE(seconds_since(start), 0.25);
    EXPECT_LT(seconds_since(start), 2.0);

    // Zero: returns at once, with nothing, then with what has arrived.
    start = Clock::now();
    EXPECT_EQ(reader->read(buf, sizeof buf, 0.0, err), 0);
    EXPECT_LT(seconds_since(start), 0.2);
    ASSERT_TRUE(send(*writer, "xyz"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(reader->read(buf, sizeof buf, 0.0, err), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "xyz");

    // None: waits as long as it takes for the first byte, and no longer.
    auto blocked = std::async(std::launch::async, [&] {
        IoError e;
        std::uint8_t byte = 0;
        auto t0 = Clock::now();
        std::ptrdiff_t got = reader->read(&byte, 1, std::nullopt, e);
        return std::make_tuple(got, byte, seconds_since(t0));
    });
    EXPECT_EQ(blocked.wait_for(700ms), std::future_status::timeout) << "a read without time-out returned early";
    ASSERT_TRUE(send(*writer, "!"));
    if (blocked.wait_for(5s) != std::future_status::ready) {
        reader->close();  // ends the read, so the test fails instead of hanging
        FAIL() << "the byte did not end a read without time-out";
    }
    auto [got, byte, waited] = blocked.get();
    EXPECT_EQ(got, 1);
    EXPECT_EQ(byte, '!');
    EXPECT_GE(waited, 0.6);
}

TEST(ComPort, WritesArriveWholeAndInOrderAndTheInputQueueCounts) {
    REQUIRE_ENV(a, "OZU_COM_A");
    REQUIRE_ENV(b, "OZU_COM_B");
    auto left = open_ok(line(a, 1.0));
    auto right = open_ok(line(b, 1.0));
    ASSERT_TRUE(left && right);
    std::string pattern;
    for (int i = 0; i < 3000; ++i) pattern.push_back(static_cast<char>('!' + i % 90));
    ASSERT_TRUE(send(*left, pattern));
    EXPECT_EQ(receive(*right, pattern.size()), pattern);

    ASSERT_TRUE(send(*right, "%01#RCSX0000**\r"));
    std::this_thread::sleep_for(200ms);
    IoError err;
    EXPECT_EQ(left->in_waiting(err), 15) << err.message;
    std::uint8_t two[2];
    EXPECT_EQ(left->read(two, 2, err), 2);
    EXPECT_EQ(left->in_waiting(err), 13);
    EXPECT_TRUE(left->reset_input_buffer(err)) << err.message;
    EXPECT_EQ(left->in_waiting(err), 0);
    EXPECT_EQ(left->read(two, 2, 0.1, err), 0);
}

TEST(ComPort, CloseFromAnotherThreadWakesABlockedRead) {
    REQUIRE_ENV(a, "OZU_COM_A");
    // Detached threads share the port: if close() never woke the read, the test fails and leaves
    // them blocked rather than hanging the run.
    std::shared_ptr<Port> port = open_ok(line(a, std::nullopt));
    ASSERT_TRUE(port);
    auto read_result = std::make_shared<std::promise<std::pair<std::ptrdiff_t, ErrorKind>>>();
    auto read_done = read_result->get_future();
    std::thread([port, read_result] {
        IoError e;
        std::uint8_t byte = 0;
        std::ptrdiff_t got = port->read(&byte, 1, e);
        read_result->set_value({got, e.kind});
    }).detach();
    std::this_thread::sleep_for(200ms);
    auto closed = std::make_shared<std::promise<void>>();
    auto close_done = closed->get_future();
    auto start = Clock::now();
    std::thread([port, closed] {
        port->close();
        closed->set_value();
    }).detach();
    ASSERT_EQ(close_done.wait_for(5s), std::future_status::ready) << "close() waits on a read it did not wake";
    ASSERT_EQ(read_done.wait_for(1s), std::future_status::ready);
    EXPECT_LT(seconds_since(start), 2.0);
    auto [got, kind] = read_done.get();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(kind, ErrorKind::PortClosed);

    IoError err;
    std::uint8_t byte;
    EXPECT_EQ(port->read(&byte, 1, err), -1);
    EXPECT_EQ(err.kind, ErrorKind::PortClosed);
    EXPECT_EQ(port->write(&byte, 1, err), -1);
    EXPECT_EQ(err.kind, ErrorKind::PortClosed);
}

TEST(ComPort, NumbersFromTenOnWork) {
    REQUIRE_ENV(a, "OZU_COM_HIGH_A");
    REQUIRE_ENV(b, "OZU_COM_HIGH_B");
    ASSERT_GE(std::atoi(a.c_str() + 3), 10);
    auto left = open_ok(line(a));
    auto right = open_ok(line(b));
    ASSERT_TRUE(left && right);
    ASSERT_TRUE(send(*left, "high"));
    EXPECT_EQ(receive(*right, 4), "high");
    ASSERT_TRUE(send(*right, "back"));
    EXPECT_EQ(receive(*left, 4), "back");
}

TEST(ComPort, FrameReaderTakesOneFrameAtATime) {
    REQUIRE_ENV(a, "OZU_COM_A");
    REQUIRE_ENV(b, "OZU_COM_B");
    auto plc = open_ok(line(a));
    auto host = open_ok(line(b, 0.3));
    ASSERT_TRUE(plc && host);

    ASSERT_TRUE(send(*plc, "%01$RC1**\r%01$RC0**\r%01$R"));
    FrameResult first = read_frame(*host);
    EXPECT_EQ(first.status, FrameStatus::Frame);
    EXPECT_EQ(first.bytes, "%01$RC1**\r");
    FrameResult second = read_frame(*host);
    EXPECT_EQ(second.status, FrameStatus::Frame);
    EXPECT_EQ(second.bytes, "%01$RC0**\r");
    FrameResult cut = read_frame(*host);  // the rest never gets its carriage return
    EXPECT_EQ(cut.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(cut.bytes, "%01$R");
    FrameResult quiet = read_frame(*host);
    EXPECT_EQ(quiet.status, FrameStatus::NoResponse);
    EXPECT_TRUE(quiet.bytes.empty());
}

TEST(ComPort, AVanishingDeviceIsDeviceGone) {
    REQUIRE_ENV(name, "OZU_COM_VANISH");
    REQUIRE_ENV(signal, "OZU_COM_VANISH_SIGNAL");
    auto port = open_ok(line(name, std::nullopt));
    ASSERT_TRUE(port);
    auto blocked = std::async(std::launch::async, [&] {
        IoError e;
        std::uint8_t byte = 0;
        std::ptrdiff_t got = port->read(&byte, 1, e);
        return std::make_pair(got, e);
    });
    std::this_thread::sleep_for(200ms);
    std::FILE* f = std::fopen(signal.c_str(), "w");  // asks the script to pull the cable
    ASSERT_TRUE(f) << signal;
    std::fclose(f);
    if (blocked.wait_for(10s) != std::future_status::ready) {
        port->close();
        FAIL() << "the read did not end when the device went away";
    }
    auto [got, err] = blocked.get();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err.kind, ErrorKind::DeviceGone) << err.message << " (" << err.code << ")";
    EXPECT_TRUE(err.win32_code);

    IoError later;
    std::uint8_t byte = 0;
    EXPECT_EQ(port->read(&byte, 1, 0.1, later), -1);
    EXPECT_EQ(later.kind, ErrorKind::DeviceGone);
    EXPECT_EQ(port->in_waiting(later), -1);
    EXPECT_EQ(later.kind, ErrorKind::DeviceGone);
    port->close();
}

TEST(ComPort, NamesRouteToTheComBackendAndPathsAreRefused) {
    IoError err;
    EXPECT_FALSE(open_port(line("/dev/ttyS0"), err));
    EXPECT_EQ(err.kind, ErrorKind::BadName);
    EXPECT_FALSE(open_port(line("COM0"), err));
    EXPECT_EQ(err.kind, ErrorKind::BadName);
    EXPECT_FALSE(open_port(line("COM1234567"), err));
    EXPECT_EQ(err.kind, ErrorKind::BadName);
}

TEST(ComPortList, ListsThePortsOfTheMapInNumberOrder) {
    REQUIRE_ENV(listed, "OZU_COM_LISTED");
    std::vector<PortInfo> ports;
    IoError err;
    ASSERT_TRUE(list_ports(ports, err)) << err.message;
    std::string rest = listed;
    while (!rest.empty()) {
        std::string name = rest.substr(0, rest.find(','));
        rest = name.size() < rest.size() ? rest.substr(name.size() + 1) : "";
        auto it = std::find_if(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.device == name; });
        ASSERT_NE(it, ports.end()) << name << " is not listed";
        EXPECT_EQ(it->hwid.rfind("\\Device\\", 0), 0u) << it->hwid;
        EXPECT_EQ(it->description, "n/a");
        EXPECT_TRUE(it->by_id.empty());
    }
    for (std::size_t i = 1; i < ports.size(); ++i)
        EXPECT_TRUE(natural_less(ports[i - 1].device, ports[i].device)) << ports[i - 1].device << " " << ports[i].device;
}

TEST(ComPortList, LinuxRootsAreRefused) {
    std::vector<PortInfo> ports(1);
    IoError err;
    PortListOptions options;
    options.sysfs_root = "C:\\sys";
    EXPECT_FALSE(list_ports(ports, err, options));
    EXPECT_EQ(err.kind, ErrorKind::Unsupported);
    EXPECT_TRUE(ports.empty());
}

}  // namespace
