// Sliced reads: how a read time-out is cut into slices and what runs between them.
#include "ozu/serial/sliced_read.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace {

using namespace ozu::serial;

constexpr double kShortSlice = 0.005;

std::unique_ptr<Port> open_end(const std::string& name, std::optional<double> timeout) {
    Settings s;
    s.port = name;
    s.timeout = timeout;
    IoError err;
    auto port = open_port(s, err);
    EXPECT_TRUE(port) << name << ": " << err.message;
    return port;
}

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
    auto a = open_end("brix:pipe:sliced-nowait:a", 0.0);
    auto b = open_end("brix:pipe:sliced-nowait:b", 0.0);
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
        auto a = open_end("brix:pipe:sliced-stop:a", timeout);
        auto b = open_end("brix:pipe:sliced-stop:b", timeout);
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
    auto a = open_end("brix:pipe:sliced-late:a", std::nullopt);
    auto b = open_end("brix:pipe:sliced-late:b", std::nullopt);
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
    auto a = open_end("brix:pipe:sliced-end:a", 0.02);
    auto b = open_end("brix:pipe:sliced-end:b", 0.02);
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
