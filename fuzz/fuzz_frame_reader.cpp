// Drives the frame reader with arbitrary byte streams and time-out/failure patterns and checks what
// it promises: frames end with their only carriage return and begin at their only "%" (what came
// before is counted and its first bytes kept), nothing grows past the maximum, nothing after a
// carriage return is consumed, and skipping stays bounded.
//
// Input layout: byte 0 picks the maximum frame length (1..256), byte 1 the prefix length (0..3);
// the prefix follows, then the stream. In the stream 0xF0 escapes: 0xF0 0x00 is a time-out,
// 0xF0 0x01 a failure, 0xF0 anything-else that byte itself.
#include "ozu/serial/frame_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum class Event : std::uint8_t { Byte, Timeout, Failure };

struct Step {
    Event event;
    std::uint8_t byte;
};

struct Source {
    const std::vector<Step>& steps;
    std::size_t pos = 0;

    int next(std::uint8_t& byte, ozu::serial::IoError& err) {
        if (pos >= steps.size()) return 0;
        const Step& s = steps[pos++];
        if (s.event == Event::Timeout) return 0;
        if (s.event == Event::Failure) {
            err.kind = ozu::serial::ErrorKind::DeviceGone;
            return -1;
        }
        byte = s.byte;
        return 1;
    }
};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t max = 1 + data[0];
    std::size_t prefix_len = data[1] % 4;
    std::size_t i = 2;
    if (size - i < prefix_len) prefix_len = size - i;
    std::string prefix(reinterpret_cast<const char*>(data + i), prefix_len);
    i += prefix_len;

    std::vector<Step> steps;
    for (; i < size; ++i) {
        if (data[i] == 0xF0 && i + 1 < size) {
            std::uint8_t code = data[++i];
            if (code == 0) steps.push_back({Event::Timeout, 0});
            else if (code == 1) steps.push_back({Event::Failure, 0});
            else steps.push_back({Event::Byte, code});
        } else {
            steps.push_back({Event::Byte, data[i]});
        }
    }

    Source source{steps};
    bool first = true;
    while (first || source.pos < steps.size()) {
        const std::size_t start = source.pos;
        const std::string given = first ? prefix : std::string();
        first = false;
        ozu::serial::FrameResult r = ozu::serial::read_frame_from(source, given, max);
        const std::size_t consumed = source.pos - start;
        check(r.bytes.size() <= max);
        check(r.discarded <= ozu::serial::kMaxDiscardLength);
        // The last event consumed ends the call: a carriage return, a time-out or a failure, unless
        // skipping hit its cap (or the stream ended, where the reader sees time-outs), or a header
        // found no room left to drop what it replaced.
        if (consumed > 0) {
            const Step& last = steps[source.pos - 1];
            bool ends = last.event != Event::Byte || last.byte == '\r' ||
                        r.discarded == ozu::serial::kMaxDiscardLength || source.pos == steps.size() ||
                        (last.byte == '%' && r.status == ozu::serial::FrameStatus::FormatInvalid);
            check(ends);
        }
        // What was thrown away is counted, and its first bytes are those the call saw first.
        check(r.dropped.size() == std::min(r.discarded, ozu::serial::kMaxDroppedKept));
        std::string seen = given.substr(0, max);
        for (std::size_t k = 0; k < consumed; ++k)
            if (steps[start + k].event == Event::Byte) seen += static_cast<char>(steps[start + k].byte);

        switch (r.status) {
            case ozu::serial::FrameStatus::Frame: {
                check(!r.bytes.empty() && r.bytes.back() == '\r');
                check(r.bytes.size() <= max);
                // The frame is the end of what was seen, with no earlier CR in it, and everything
                // before it was thrown away.
                check(seen.size() == r.bytes.size() + r.discarded);
                check(seen.compare(seen.size() - r.bytes.size(), r.bytes.size(), r.bytes) == 0);
                check(seen.compare(0, r.dropped.size(), r.dropped) == 0);
                check(r.bytes.find('\r', r.discarded > 0 ? 0 : given.size()) == r.bytes.size() - 1);
                if (r.discarded > 0) {
                    check(r.bytes[0] == '%' && r.bytes.find('%', 1) == std::string::npos);
                } else {
                    // Nothing restarted: a "%" read after the first byte would have.
                    for (std::size_t k = given.size(); k < r.bytes.size(); ++k)
                        check(r.bytes[k] != '%' || k == 0);
                }
                break;
            }
            case ozu::serial::FrameStatus::NoResponse:
                check(given.empty() && r.bytes.empty() && consumed <= 1);
                check(consumed == 0 || steps[start].event == Event::Timeout);
                break;
            case ozu::serial::FrameStatus::FormatInvalid:
                check(!r.bytes.empty());
                for (std::size_t k = given.size(); k < r.bytes.size(); ++k) check(r.bytes[k] != '\r');
                break;
            case ozu::serial::FrameStatus::IoFailure:
                check(r.bytes.empty() && r.error.kind == ozu::serial::ErrorKind::DeviceGone);
                check(consumed > 0 && steps[source.pos - 1].event == Event::Failure);
                break;
        }
        if (consumed == 0) break;  // the stream is used up
    }
    return 0;
}
