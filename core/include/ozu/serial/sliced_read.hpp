// Reads that wait up to a port's read time-out in slices. A caller that must look at something now
// and then while it waits (an interpreter's signal handlers, so Ctrl-C ends a long wait) reads
// through read_sliced() and does so between two slices.
#pragma once

#include "ozu/serial/port.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ozu::serial {

// The longest single wait of a sliced read, in seconds.
inline constexpr double kSignalSlice = 0.25;

// A read time-out (nullopt: no limit, 0 or less: no wait) as a deadline counted from construction,
// handed out in slices.
class SlicedWait {
public:
    using Clock = std::chrono::steady_clock;

    explicit SlicedWait(std::optional<double> timeout, double slice = kSignalSlice)
        : slice_(slice), unlimited_(!timeout), no_wait_(timeout && *timeout <= 0) {
        if (!unlimited_ && !no_wait_) {
            // Past roughly 30 years a time-out is as good as none, and the arithmetic stays in range.
            end_ = Clock::now() +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(*timeout, 1e9)));
        }
    }

    // How long the next read may wait: a whole slice without limit, nothing without a wait, else
    // what is left of the time-out, at most a slice.
    double next() const {
        if (unlimited_) return slice_;
        if (no_wait_) return 0;
        return std::clamp(std::chrono::duration<double>(end_ - Clock::now()).count(), 0.0, slice_);
    }

    // Whether a read that brought nothing ends the wait.
    bool over() const { return no_wait_ || (!unlimited_ && Clock::now() >= end_); }

private:
    double slice_;
    bool unlimited_;
    bool no_wait_;
    Clock::time_point end_{};
};

// What read_sliced() returns besides a byte count.
inline constexpr std::ptrdiff_t kReadFailed = -1;   // the port failed; err says why
inline constexpr std::ptrdiff_t kReadStopped = -2;  // between() asked to stop; err untouched

// Reads up to n bytes, waiting for the first one as `wait` allows, slice by slice; between two
// slices calls `between()`, which returns false to stop waiting. Returns the number of bytes read,
// 0 once the wait is over without any (or the line broke, see Port::breaks()), kReadFailed or
// kReadStopped.
template <class Between>
std::ptrdiff_t read_sliced(Port& port, std::uint8_t* dst, std::size_t n, const SlicedWait& wait, IoError& err,
                           Between&& between) {
    for (;;) {
        const std::uint64_t breaks = port.breaks();
        std::ptrdiff_t got = port.read(dst, n, wait.next(), err);
        if (got < 0) return kReadFailed;
        if (got > 0) return got;
        if (wait.over() || port.breaks() != breaks) return 0;
        if (!between()) return kReadStopped;
    }
}

}  // namespace ozu::serial
