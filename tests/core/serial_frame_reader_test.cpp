// The frame reader over scripted byte sources and over a real port.
#include "ozu/serial/frame_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ozu::serial::FrameResult;
using ozu::serial::FrameStatus;
using ozu::serial::IoError;
using ozu::serial::kMaxDiscardLength;
using ozu::serial::kMaxFrameLength;

// Plays a script: characters are bytes, except that '~' is a time-out and '!' a failure.
// Past the end of the script every read times out.
struct Script {
    std::string events;
    std::size_t pos = 0;

    int next(std::uint8_t& byte, IoError& err) {
        if (pos >= events.size()) return 0;
        char c = events[pos++];
        if (c == '~') return 0;
        if (c == '!') {
            err.kind = ozu::serial::ErrorKind::DeviceGone;
            err.code = 5;
            err.message = "gone";
            return -1;
        }
        byte = static_cast<std::uint8_t>(c);
        return 1;
    }
    std::string rest() const { return events.substr(pos); }
};

struct Case {
    const char* name;
    std::string script;
    std::string prefix;
    FrameStatus status;
    std::string bytes;   // expected bytes
    std::string rest;    // what the reader must leave unread
};

class FrameReaderCases : public ::testing::TestWithParam<Case> {};

TEST_P(FrameReaderCases, ReadsOneFrameAndNothingMore) {
    const Case& c = GetParam();
    Script source{c.script};
    FrameResult r = ozu::serial::read_frame_from(source, c.prefix);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bytes, c.bytes);
    EXPECT_EQ(source.rest(), c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, FrameReaderCases,
    ::testing::Values(
        Case{"silence", "", "", FrameStatus::NoResponse, "", ""},
        Case{"partial_then_timeout", "%01$RC~%01$RC120\r", "", FrameStatus::FormatInvalid, "%01$RC",
             "%01$RC120\r"},
        Case{"lone_carriage_return", "\r", "", FrameStatus::Frame, "\r", ""},
        Case{"stops_at_first_cr", "%01$RC120\r%01$RC021\r", "", FrameStatus::Frame, "%01$RC120\r", "%01$RC021\r"},
        Case{"prefix_then_rest", "01$RC120\rX", "%", FrameStatus::Frame, "%01$RC120\r", "X"},
        Case{"prefix_then_timeout", "~", "%", FrameStatus::FormatInvalid, "%", ""},
        Case{"failure_discards_bytes", "%01!\r", "", FrameStatus::IoFailure, "", "\r"},
        Case{"failure_first", "!abc", "", FrameStatus::IoFailure, "", "abc"},
        Case{"high_bytes_kept", std::string("\x80\xff\x00\r", 4), "", FrameStatus::Frame,
             std::string("\x80\xff\x00\r", 4), ""},
        Case{"header_restarts_the_frame", "%01$RC%01$RC120\r%", "", FrameStatus::Frame, "%01$RC120\r", "%"},
        Case{"header_after_the_prefix", "%01$RC1\r", "%", FrameStatus::Frame, "%01$RC1\r", ""},
        Case{"noise_then_header", std::string("\x00\n%01\r", 6), "", FrameStatus::Frame, "%01\r", ""},
        Case{"restarted_frame_cut_short", "%0%01$~X", "", FrameStatus::FormatInvalid, "%01$", "X"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameReader, LengthLimitAndResynchronisation) {
    // A frame of exactly the maximum, carriage return included, is accepted.
    std::string longest(kMaxFrameLength - 1, 'A');
    longest += '\r';
    Script exact{longest + "%01\r"};
    FrameResult ok = ozu::serial::read_frame_from(exact);
    EXPECT_EQ(ok.status, FrameStatus::Frame);
    EXPECT_EQ(ok.bytes.size(), kMaxFrameLength);

    // One byte more is refused, the rest of it skipped through its carriage return, and the next
    // frame reads clean.
    Script over{std::string(kMaxFrameLength, 'B') + "\r%01$RC120\r"};
    FrameResult bad = ozu::serial::read_frame_from(over);
    EXPECT_EQ(bad.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(bad.bytes.size(), kMaxFrameLength);
    EXPECT_EQ(bad.discarded, 1u);
    FrameResult next = ozu::serial::read_frame_from(over);
    EXPECT_EQ(next.status, FrameStatus::Frame);
    EXPECT_EQ(next.bytes, "%01$RC120\r");

    // A custom maximum, and a time-out while skipping.
    Script small{"123456789~%\r"};
    FrameResult cut = ozu::serial::read_frame_from(small, {}, 4);
    EXPECT_EQ(cut.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(cut.bytes, "1234");
    EXPECT_EQ(cut.discarded, 5u);
    EXPECT_EQ(small.rest(), "%\r");
}

TEST(FrameReader, WhatAHeaderThrowsAwayIsCountedAndShown) {
    Script twice{"%01$R%01#RD%01$RC1\r"};
    FrameResult r = ozu::serial::read_frame_from(twice);
    EXPECT_EQ(r.status, FrameStatus::Frame);
    EXPECT_EQ(r.bytes, "%01$RC1\r");
    EXPECT_EQ(r.discarded, 11u);
    EXPECT_EQ(r.dropped, "%01$R%01#RD");

    // An over-long frame ends at the next header, which starts the next frame.
    Script over{std::string(kMaxFrameLength + 100, 'B') + "%01$RC1\r"};
    FrameResult next = ozu::serial::read_frame_from(over);
    EXPECT_EQ(next.status, FrameStatus::Frame);
    EXPECT_EQ(next.bytes, "%01$RC1\r");
    EXPECT_EQ(next.discarded, kMaxFrameLength + 100);
    EXPECT_EQ(next.dropped, std::string(ozu::serial::kMaxDroppedKept, 'B'));

    // Headers without an end never keep the reader past its discard limit.
    std::string endless;
    while (endless.size() < 2 * kMaxDiscardLength) endless += "%0123456789";
    Script headers{endless};
    FrameResult cut = ozu::serial::read_frame_from(headers);
    EXPECT_EQ(cut.status, FrameStatus::FormatInvalid);
    EXPECT_LE(cut.discarded, kMaxDiscardLength);
    EXPECT_GT(headers.rest().size(), kMaxDiscardLength / 2);
}

TEST(FrameReader, SkippingIsBoundedAndFailuresStillSurface) {
    Script endless{std::string(kMaxFrameLength + kMaxDiscardLength + 10, 'C')};
    FrameResult r = ozu::serial::read_frame_from(endless);
    EXPECT_EQ(r.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(r.discarded, kMaxDiscardLength);
    EXPECT_EQ(endless.rest().size(), 10u);

    Script failing{"ABCDEF!\r"};
    FrameResult f = ozu::serial::read_frame_from(failing, {}, 3);
    EXPECT_EQ(f.status, FrameStatus::IoFailure);
    EXPECT_EQ(f.error.kind, ozu::serial::ErrorKind::DeviceGone);
    EXPECT_TRUE(f.bytes.empty());

    // A prefix already at the limit goes straight to skipping.
    Script after{"xy\rok\r"};
    FrameResult p = ozu::serial::read_frame_from(after, "1234", 4);
    EXPECT_EQ(p.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(after.rest(), "ok\r");
}

TEST(FrameReader, OverAPortLeavesTheNextFrameBuffered) {
    ozu::serial::IoError err;
    ozu::serial::Settings sa, sb;
    sa.port = "brix:pipe:frame-reader:a";
    sb.port = "brix:pipe:frame-reader:b";
    sa.timeout = sb.timeout = 0.05;
    auto a = ozu::serial::open_port(sa, err);
    ASSERT_TRUE(a) << err.message;
    auto b = ozu::serial::open_port(sb, err);
    ASSERT_TRUE(b) << err.message;
    const std::string data = "%01$RC120\r%01$RC0";
    ASSERT_EQ(a->write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), err),
              static_cast<std::ptrdiff_t>(data.size()));

    FrameResult first = ozu::serial::read_frame(*b);
    EXPECT_EQ(first.status, FrameStatus::Frame);
    EXPECT_EQ(first.bytes, "%01$RC120\r");
    EXPECT_EQ(b->in_waiting(err), 7);
    FrameResult second = ozu::serial::read_frame(*b);
    EXPECT_EQ(second.status, FrameStatus::FormatInvalid);
    EXPECT_EQ(second.bytes, "%01$RC0");
    EXPECT_EQ(ozu::serial::read_frame(*b).status, FrameStatus::NoResponse);

    b->close();
    FrameResult closed = ozu::serial::read_frame(*b);
    EXPECT_EQ(closed.status, FrameStatus::IoFailure);
    EXPECT_EQ(closed.error.kind, ozu::serial::ErrorKind::PortClosed);
}

}  // namespace
