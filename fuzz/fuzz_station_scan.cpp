// Frame scanning: station end, command code, frame type, station number, answer matching and the
// answer spans. Checks the scan's own invariants, agreement of the three code-unit widths, and that
// non-ASCII characters (never part of the layout) can be exchanged without changing any result.
#include "ozu/codec/answers.hpp"
#include "ozu/codec/frame.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace ozu::codec;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

bool is_type(std::uint32_t c) { return c == '#' || c == '$' || c == '!'; }
bool is_stop(std::uint32_t c) { return is_type(c) || c == '\r' || c == '*'; }

template <class Unit>
Text<Unit> view(const std::vector<Unit>& v) {
    return {v.data(), v.size()};
}

struct Scan {
    std::ptrdiff_t end, position;
    Command cmd;
    Result<std::size_t> type;
    Result<std::uint64_t> station;
    Span head, part, code;

    bool operator==(const Scan& o) const {
        return end == o.end && position == o.position && cmd == o.cmd && type.value == o.type.value &&
               type.failure.error == o.type.failure.error && station.value == o.station.value &&
               station.failure.error == o.station.failure.error && station.failure.span == o.station.failure.span &&
               head == o.head && part == o.part && code == o.code;
    }
};

template <class Unit>
Scan scan(Text<Unit> t) {
    return {station_end(t), command_position(t), parse_command(t), frame_type_index(t),
            parse_station(t), head_span(t), command_part(t), error_code_span(t)};
}

template <class Unit>
void check_invariants(Text<Unit> t, const Scan& s) {
    const auto n = static_cast<std::ptrdiff_t>(t.size());
    std::ptrdiff_t first = n;
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (is_stop(t[static_cast<std::size_t>(i)])) {
            first = i;
            break;
        }
    if (first == n) require(s.end == n);
    else if (is_type(t[static_cast<std::size_t>(first)])) require(s.end == first);
    else require(s.end == -1);
    require(s.position == s.end + 1);
    require(s.head.stop <= t.size() && s.part.stop <= t.size() && s.code.stop <= t.size());
    require(s.type.ok() == (s.end != n));
    if (s.type.ok()) require(s.type.value < t.size());
    if (s.station.ok()) require(s.station.failure.error == Error::none);
    else require(s.station.failure.span.stop <= t.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> t8(data, data + size);
    const std::vector<std::uint16_t> t16(data, data + size);
    const std::vector<std::uint32_t> t32(data, data + size);
    const Scan s = scan(view(t8));
    check_invariants(view(t8), s);
    require(scan(view(t16)) == s);
    require(scan(view(t32)) == s);

    // Exchange every non-ASCII character for one of a wider width.
    std::vector<std::uint16_t> w16(t16);
    std::vector<std::uint32_t> w32(t32);
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] >= 0x80) {
            w16[i] = static_cast<std::uint16_t>(0x100 + data[i]);
            w32[i] = 0x10000u + data[i];
        }
    require(scan(view(w16)) == s);
    require(scan(view(w32)) == s);

    // Answer matching between two pieces of the input, in mixed widths.
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    const Text8 tx(data, cut);
    const Text8 rx(data + cut, size - cut);
    const auto m = header_matched(tx, rx);
    const auto mixed = header_matched(Text16(t16.data(), cut), Text32(t32.data() + cut, size - cut));
    const auto remapped = header_matched(Text32(w32.data(), cut), Text32(w32.data() + cut, size - cut));
    require(m.value == mixed.value && m.failure.error == mixed.failure.error);
    require(m.value == remapped.value && m.failure.error == remapped.failure.error);
    if (m.ok() && m.value) require(rx[static_cast<std::size_t>(station_end(rx) < 0 ? rx.size() - 1 : station_end(rx))] == '$');
    return 0;
}
