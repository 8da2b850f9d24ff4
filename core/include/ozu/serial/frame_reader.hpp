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

// A frame begins with its header; names hold no "%" and values are hexadecimal, so a "%" read
// inside a frame can only be the header of the next one.
inline constexpr std::uint8_t kFrameHeader = '%';
// How many of the bytes thrown away in one call are kept for reporting.
inline constexpr std::size_t kMaxDroppedKept = 64;

struct FrameResult {
    FrameStatus status = FrameStatus::NoResponse;
    std::string bytes;  // the frame for Frame; what was collected (at most max) otherwise
    IoError error;      // for IoFailure
    // Bytes thrown away in this call: those of an unfinished frame that a "%" replaced, and
    // those skipped after an over-long frame. Never more than kMaxDiscardLength.
    std::size_t discarded = 0;
    std::string dropped;  // the first kMaxDroppedKept of them, in order
};

// The algorithm, over any byte source offering
//     int next(std::uint8_t& byte, IoError& err);   // 1 = a byte, 0 = time-out, -1 = failure
// `prefix` is data already read by the caller (the link reads a frame's first character itself);
// it counts towards `max`.
//
// A "%" read while collecting starts the frame afresh: what was collected is dropped. While
// skipping the rest of an over-long frame, a "%" likewise ends the skipping and starts the next
// frame. Dropping stops at kMaxDiscardLength bytes per call: past that the call ends with what it
// has (FormatInvalid), so a peer that never ends a frame cannot keep the reader forever.
template <class Source>
FrameResult read_frame_from(Source& source, std::string prefix = {}, std::size_t max = kMaxFrameLength) {
    FrameResult result;
    result.bytes = std::move(prefix);
    if (max == 0) max = 1;
    auto keep = [&result](const char* data, std::size_t n) {
        std::size_t room = kMaxDroppedKept - result.dropped.size();
        result.dropped.append(data, n < room ? n : room);
    };
    auto drop_collected = [&result, &keep]() {
        result.discarded += result.bytes.size();
        keep(result.bytes.data(), result.bytes.size());
        result.bytes.clear();
    };
    std::string skipped;  // the first bytes skipped after an over-long frame, kept in order below
    bool skipping = result.bytes.size() >= max;
    if (skipping) result.bytes.resize(max);
    for (;;) {
        std::uint8_t byte = 0;
        if (!skipping) {
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
            if (byte == kFrameHeader && !result.bytes.empty()) {
                if (result.discarded + result.bytes.size() > kMaxDiscardLength) {
                    result.status = FrameStatus::FormatInvalid;
                    return result;
                }
                drop_collected();
            }
            result.bytes.push_back(static_cast<char>(byte));
            if (byte == '\r') {
                result.status = FrameStatus::Frame;
                return result;
            }
            if (result.bytes.size() >= max) skipping = true;  // no room left for the carriage return
            continue;
        }
        // Over-long: skip to the next carriage return so the next frame starts clean, or to the
        // next header, which starts it. A time-out ends the skipping as well; a failure is
        // reported like any other.
        result.status = FrameStatus::FormatInvalid;
        int got = result.discarded >= kMaxDiscardLength ? 0 : source.next(byte, result.error);
        if (got < 0) {
            result.status = FrameStatus::IoFailure;
            result.bytes.clear();
        }
        bool restart = got > 0 && byte == kFrameHeader && result.discarded + result.bytes.size() <= kMaxDiscardLength;
        if (got > 0 && !restart) {
            ++result.discarded;
            if (skipped.size() < kMaxDroppedKept) skipped.push_back(static_cast<char>(byte));
            if (byte != '\r') continue;
        }
        // The skipping ends: what was collected goes too when a header starts the next frame.
        if (restart) drop_collected();
        keep(skipped.data(), skipped.size());
        skipped.clear();
        if (!restart) return result;
        result.bytes.assign(1, static_cast<char>(byte));
        skipping = result.bytes.size() >= max;
    }
}

// The same over a Port: one-byte reads from its buffer with the port's read time-out.
FrameResult read_frame(Port& port, std::string prefix = {}, std::size_t max = kMaxFrameLength);

}  // namespace ozu::serial
