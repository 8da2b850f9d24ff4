// Reads one frame, up to and including its carriage return, one byte at a time, so nothing after the
// carriage return is consumed. Each byte waits up to the source's read time-out afresh.
#pragma once

#include "ozu/serial/port.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ozu::serial {

// Longest frame accepted, carriage return included.
inline constexpr std::size_t kMaxFrameLength = 2048;
// After an over-long frame the reader discards input up to the next carriage return, but never more
// than this many bytes in one call, so a peer that never sends one cannot keep the reader forever.
inline constexpr std::size_t kMaxDiscardLength = 64 * 1024;

enum class FrameStatus : std::uint8_t {
    Frame,          // bytes holds the frame, ending with "\r"
    NoResponse,     // the very first read timed out and there was no prefix
    FormatInvalid,  // a later read timed out before "\r", or the frame grew past the maximum
    IoFailure,      // the source failed; error says why (for a Python source an exception is pending)
};

struct FrameResult {
    FrameStatus status = FrameStatus::NoResponse;
    std::string bytes;  // the frame for Frame; what was collected (at most max) otherwise
    IoError error;      // for IoFailure
    std::size_t discarded = 0;  // bytes thrown away while resynchronising after an over-long frame
};

// The algorithm, over any byte source offering
//     int next(std::uint8_t& byte, IoError& err);   // 1 = a byte, 0 = time-out, -1 = failure
// `prefix` is data already read by the caller (the link reads a frame's first character itself);
// it counts towards `max`.
template <class Source>
FrameResult read_frame_from(Source& source, std::string prefix = {}, std::size_t max = kMaxFrameLength) {
    FrameResult result;
    result.bytes = std::move(prefix);
    if (max == 0) max = 1;
    if (result.bytes.size() < max) {
        result.bytes.reserve(result.bytes.size() + 32);
        for (;;) {
            std::uint8_t byte = 0;
            int got = source.next(byte, result.error);
            if (got < 0) {
                result.status = FrameStatus::IoFailure;
                result.bytes.clear();
                return result;
            }
            if (got == 0) {
                result.status = result.bytes.empty() ? FrameStatus::NoResponse : FrameStatus::FormatInvalid;
                return result;
            }
            result.bytes.push_back(static_cast<char>(byte));
            if (byte == '\r') {
                result.status = FrameStatus::Frame;
                return result;
            }
            if (result.bytes.size() >= max) break;  // no room left for the carriage return
        }
    } else {
        result.bytes.resize(max);
    }
    // Over-long: skip to the next carriage return so the next frame starts clean. A time-out ends
    // the skipping as well; a failure is reported like any other.
    result.status = FrameStatus::FormatInvalid;
    while (result.discarded < kMaxDiscardLength) {
        std::uint8_t byte = 0;
        int got = source.next(byte, result.error);
        if (got < 0) {
            result.status = FrameStatus::IoFailure;
            result.bytes.clear();
            return result;
        }
        if (got == 0) break;
        ++result.discarded;
        if (byte == '\r') break;
    }
    return result;
}

// The same over a Port: one-byte reads from its buffer with the port's read time-out.
FrameResult read_frame(Port& port, std::string prefix = {}, std::size_t max = kMaxFrameLength);

}  // namespace ozu::serial
