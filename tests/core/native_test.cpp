// The native Master and Station against each other over the in-process null-modem, and the
// master against a hand-driven peer for the answers a station would never send.
#include "native_test_util.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

namespace {

using namespace ozu::native;
using namespace ozu::native::test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = std::string("native-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        master_end = open_port("brix:pipe:" + name + ":a");
        station_end = open_port("brix:pipe:" + name + ":b");
        ASSERT_TRUE(master_end && station_end);
    }

    std::unique_ptr<ozu::serial::Port> master_end, station_end;
    Memory memory;
};

TEST_F(NullModem, TypedValuesRoundTripThroughTheStation) {
    Serving serving(*station_end, memory, {.station = 1});
    Master master(*master_end);

    ASSERT_TRUE(master.set_uint16(1, "DT100", 0xABCD));
    EXPECT_EQ(memory.cells["D100"], 0xABCD);
    EXPECT_EQ(memory.last_name, "D00100");  // the name as the request carries it
    EXPECT_EQ(master.get_uint16(1, "DT100").value(), 0xABCD);
    EXPECT_EQ(master.get_int16(1, "D100").value(), -21555);

    ASSERT_TRUE(master.set_int32(1, "DT200", -2));
    EXPECT_EQ(memory.cells["D200"], 0xFFFE);  // low word first
    EXPECT_EQ(memory.cells["D201"], 0xFFFF);
    EXPECT_EQ(master.get_int32(1, "DT200").value(), -2);
    EXPECT_EQ(master.get_uint32(1, "DT200").value(), 0xFFFFFFFEu);

    const std::int32_t extremes[] = {INT32_MIN, INT32_MAX, 0};
    ASSERT_TRUE(master.set_multi_int32(1, "DT300", extremes));
    EXPECT_EQ(master.get_multi_int32(1, "DT300", 3).value(), std::vector<std::int32_t>(std::begin(extremes), std::end(extremes)));
    const std::uint32_t wide[] = {0x12345678u, 2};
    ASSERT_TRUE(master.set_multi_uint32(1, "DT300", wide));
    EXPECT_EQ(memory.cells["D300"], 0x5678);
    EXPECT_EQ(memory.cells["D301"], 0x1234);
    EXPECT_EQ(master.get_multi_uint32(1, "DT300", 2).value(), (std::vector<std::uint32_t>{0x12345678u, 2}));

    const std::int16_t small[] = {-32768, 32767, -1};
    ASSERT_TRUE(master.set_multi_int16(1, "LD5", small));
    EXPECT_EQ(memory.cells["L5"], 0x8000);
    EXPECT_EQ(master.get_multi_int16(1, "LD5", 3).value(), std::vector<std::int16_t>(std::begin(small), std::end(small)));

    // Contacts are bits of the contact words of their area.
    ASSERT_TRUE(master.set_coil_uint16(1, "WR1", 0));
    ASSERT_TRUE(master.set_coil(1, "R0012", true));
    EXPECT_EQ(memory.last_name, "R0012");
    EXPECT_EQ(master.get_coil_uint16(1, "WR1").value(), 0x0004);
    EXPECT_TRUE(master.get_coil(1, "R12").value());  // short and full contact names are one contact
    EXPECT_FALSE(master.get_coil(1, "R0013").value());
    const std::uint16_t words[] = {0x1234, 0xFFFF};
    ASSERT_TRUE(master.set_multi_coil_uint16(1, "WY10", words));
    EXPECT_EQ(master.get_multi_coil_uint16(1, "WY10", 2).value(), std::vector<std::uint16_t>(std::begin(words), std::end(words)));

    EXPECT_EQ(serving.station.counters().answered, 19u);
}

TEST_F(NullModem, FailuresComeBackTyped) {
    Serving serving(*station_end, memory, {.station = 1});
    Master master(*master_end, {.query_timeout = 0.2});

    // Another station number: nobody answers.
    const auto start = Clock::now();
    auto silent = master.get_uint16(2, "DT100");
    ASSERT_FALSE(silent);
    EXPECT_EQ(silent.error().kind, ErrorKind::Timeout);
    EXPECT_LT(Clock::now() - start, 3s);

    memory.forced = Reply::error(0x42);
    auto refused = master.set_uint16(1, "DT100", 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::ErrorAnswer);
    EXPECT_EQ(refused.error().code, 0x42);
    EXPECT_NE(refused.error().message.find("[42]"), std::string::npos) << refused.error().message;

    memory.forced = Reply::no_answer();
    EXPECT_EQ(master.get_coil(1, "R0000").error().kind, ErrorKind::Timeout);

    // After the time-outs the link is clean again.
    memory.forced.reset();
    memory.cells["D7"] = 77;
    EXPECT_EQ(master.get_uint16(1, "DT7").value(), 77);
}

TEST_F(NullModem, ArgumentsNoRequestCanCarryAreRefusedBeforeSending) {
    Serving serving(*station_end, memory, {.station = 1});
    Master master(*master_end, {.query_timeout = 0.2});
    EXPECT_EQ(master.get_multi_uint16(1, "DT100", 0).error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_multi_uint16(1, "DT100", 600).error().kind, ErrorKind::InvalidArgument);  // answer > one frame
    EXPECT_EQ(master.get_multi_uint32(1, "DT100", -1).error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_multi_coil_uint16(1, "R10", 1).error().kind, ErrorKind::InvalidArgument);  // no "W"
    EXPECT_EQ(master.set_multi_uint16(1, "DT100", {}).error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_uint16(1, "D").error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_uint16(1, "DT1000000").error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_coil(1, "R%#12").error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(master.get_uint16(std::uint64_t{1} << 63, "DT1").error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(serving.station.counters().answered + serving.station.counters().ignored, 0u);
    // The longest read that fits in one answer still works.
    EXPECT_TRUE(master.get_multi_uint16(1, "DT0", 509));
}

TEST_F(NullModem, StationZeroTakesEveryStationAndBroadcastReachesEveryStation) {
    {
        Serving serving(*station_end, memory, {.station = 0});
        Master master(*master_end, {.query_timeout = 0.5});
        memory.cells["D1"] = 5;
        EXPECT_EQ(master.get_uint16(0x1F, "DT1").value(), 5);
        EXPECT_EQ(memory.last_station, 0x1Fu);  // the station the request named
    }
    Serving serving(*station_end, memory, {.station = 7});
    Master master(*master_end, {.query_timeout = 0.5});
    EXPECT_EQ(master.get_uint16(0, "DT1").value(), 5);
}

TEST_F(NullModem, ClosedPortIsALinkFailureAndEndsTheStation) {
    Serving serving(*station_end, memory, {.station = 1});
    Master master(*master_end);
    master_end->close();
    auto sent = master.get_uint16(1, "DT1");
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().kind, ErrorKind::LinkFailure);

    station_end->close();
    serving.thread.join();
    ASSERT_FALSE(serving.outcome);
    EXPECT_EQ(serving.outcome.error().kind, ErrorKind::LinkFailure);
}

TEST_F(NullModem, StopEndsAnIdleStationPromptly) {
    Serving serving(*station_end, memory);
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    EXPECT_TRUE(serving.finish());
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(NullModem, TraceSeesEveryFrameBothWays) {
    std::vector<std::string> master_saw, station_saw;
    auto record = [](std::vector<std::string>& into) {
        return [&into](Direction d, std::string_view frame, auto) {
            into.push_back((d == Direction::Sent ? ">" : "<") + std::string(frame));
        };
    };
    Serving serving(*station_end, memory, {.station = 1, .trace = record(station_saw)});
    Master master(*master_end, {.trace = record(master_saw)});
    memory.cells["D100"] = 0x1234;
    ASSERT_TRUE(master.get_uint16(1, "DT100"));
    (void)serving.finish();
    EXPECT_EQ(master_saw, (std::vector<std::string>{">%01#RDD001000010055\r", "<%01$RD341212\r"}));
    EXPECT_EQ(station_saw, (std::vector<std::string>{"<%01#RDD001000010055\r", ">%01$RD341212\r"}));
}

// ----------------------------------------------------------------------------- a hand-driven peer

class Peer : public NullModem {
protected:
    std::string read_request() {
        std::string frame;
        ozu::serial::IoError err;
        std::uint8_t byte = 0;
        while (station_end->read(&byte, 1, 1.0, err) == 1) {
            frame.push_back(static_cast<char>(byte));
            if (byte == '\r') break;
        }
        return frame;
    }
    void send(const std::string& text) {
        ozu::serial::IoError err;
        ASSERT_EQ(station_end->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), err),
                  static_cast<std::ptrdiff_t>(text.size()));
    }
    // Answers the next request with `answer`.
    std::thread answer_with(std::string answer) {
        return std::thread([this, answer] {
            read_request();
            send(answer);
        });
    }
};

TEST_F(Peer, AnswersThatFailTheChecksAreInvalidAnswers) {
    Master master(*master_end, {.query_timeout = 0.5});
    const std::pair<const char*, const char*> cases[] = {
        {"%02$RD341211\r", "station not match"},
        {"%01$RD3412FF\r", "block check"},
        {"%01$WD\r", "length too small"},
        {"X01$RD341212\r", "begin with [X]"},
        {"%01$WD13\r", "command not match"},
        {"%01$RD34**\r", "Invalid feedback format"},   // too few digits for one word
        {"%01$RDZZ12**\r", "not hexadecimal"},
    };
    for (const auto& [answer, why] : cases) {
        std::thread peer = answer_with(answer);
        auto got = master.get_uint16(1, "DT100");
        peer.join();
        ASSERT_FALSE(got) << answer;
        EXPECT_EQ(got.error().kind, ErrorKind::InvalidAnswer) << answer;
        EXPECT_NE(got.error().message.find(why), std::string::npos) << got.error().message;
    }
}

TEST_F(Peer, RequestsOfOtherPartiesAreSkippedAndTheMarkerSkipsTheCheck) {
    Master master(*master_end, {.query_timeout = 0.5});
    std::thread peer = answer_with("%01#RDD001000010055\r%01$RD3412**\r");
    auto got = master.get_uint16(1, "DT100");
    peer.join();
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(got.value(), 0x1234);
}

TEST_F(Peer, ALateAnswerIsNotTakenForTheNextQuerysAnswer) {
    Master master(*master_end, {.query_timeout = 0.1});
    std::thread peer([this] {
        read_request();
        std::this_thread::sleep_for(300ms);  // after the master gave up
        send("%01$RD0100**\r");              // 1: the answer to the first query
        read_request();
        send("%01$RD0200**\r");              // 2: the answer to the second
    });
    EXPECT_EQ(master.get_uint16(1, "DT100").error().kind, ErrorKind::Timeout);
    std::this_thread::sleep_for(400ms);
    auto second = master.get_uint16(1, "DT100");
    peer.join();
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second.value(), 2);
}

// ----------------------------------------------------------------------------- the station alone

TEST(StationAnswer, DecidesEachRequestAsAStationMust) {
    auto port = open_port("brix:pipe:native-answer:a");
    Memory memory;
    std::vector<std::string> lines;
    Station station(*port, memory, {.station = 1, .diagnostic = [&](std::string_view l) { lines.emplace_back(l); }});

    EXPECT_EQ(station.answer("%01#XYZ**\r"), "%01!0306\r");
    EXPECT_EQ(station.answer("%02#RCSR0012**\r"), std::nullopt);
    EXPECT_EQ(station.answer("%01#RCSR0012FF\r"), std::nullopt);  // wrong block check
    EXPECT_EQ(station.answer("%ZZ#RCSR0012**\r"), std::nullopt);  // unreadable station
    EXPECT_EQ(station.answer("%01#WDD0010000101**\r"), std::nullopt);  // values missing
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(station.counters().dropped, 3u);
    EXPECT_EQ(station.counters().ignored, 1u);

    // The head is repeated as received: lower-case and extra leading zeros stay.
    memory.cells["R0"] = 1;
    EXPECT_EQ(station.answer("%001#RCSR0000**\r"), "%001$RC110\r");
    EXPECT_EQ(memory.last_station, 1u);
    // WD with its end before its start writes nothing and is answered.
    EXPECT_TRUE(station.answer("%01#WDD0010000099**\r").has_value());

    // A read handler that returns more words than one answer holds gets an error answer.
    class Greedy : public Memory {
        Reply get_multi_uint16(std::uint64_t, std::string_view, std::int64_t, std::vector<std::uint16_t>& v) override {
            v.assign(1000, 0);
            return Reply::ok();
        }
    } greedy;
    Station flooded(*port, greedy, {.station = 1});
    EXPECT_EQ(flooded.answer("%01#RDD0000000000**\r"), "%01!0207\r");

    // A frame longer than the line carries, handed in directly, is not answered: its answer would
    // repeat a head too long for any frame. One byte less is still served.
    Station everyone(*port, memory, {.station = 0});
    const std::string tail = "#WDD0010000100ABCD**\r";
    std::string head = "%" + std::string(2048 - tail.size() - 1, '0') + "1";
    EXPECT_EQ((head + tail).size(), 2049u);
    EXPECT_EQ(everyone.answer(head + tail), std::nullopt);
    head.erase(1, 1);
    auto served = everyone.answer(head + tail);
    ASSERT_TRUE(served.has_value());
    EXPECT_LE(served->size(), 2048u);
}

TEST(StationAnswer, NoByteSequenceBreaksTheStation) {
    auto port = open_port("brix:pipe:native-bytes:a");
    Memory memory;
    Station station(*port, memory, {.station = 0});
    std::uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        std::string frame = i % 2 ? "%01#" : "%";
        const int n = static_cast<int>(state % 40);
        for (int k = 0; k < n; ++k) {
            state = state * 1103515245u + 12345u;
            const char pool[] = "%#$!*\rRCSWDD0123456789ABCDEFrcs\x80\xff";
            frame.push_back(pool[(state >> 16) % (sizeof pool - 1)]);
        }
        frame += "**\r";
        auto answer = station.answer(frame);
        if (answer) {
            ASSERT_FALSE(answer->empty());
            EXPECT_EQ(answer->back(), '\r');
        }
    }
}

}  // namespace
