// The master's checks of one answer against the request it sent, in the order the query makes
// them: answer station, header, length, block check ("**" skips it), request station, command
// position, station match, error answer and its code, command letters, then the command part.
//
// Input layout: the answer is everything up to and including the first "\r" (all of it when there
// is none); the bytes after it describe the request, which the request builders compose:
//   [0] command in the low seven bits (0 RCS, 1 WCS, 2 RCC, 3 WCC, 4 RD, 5 WD, 6 one-register WD),
//       bit 7 set runs the builders' assertions,
//   [1..3] station, little-endian (bit 7 of [3] makes it negative),
//   [4] count as a signed byte, and the rest is the name.
// Checked: no crash or undefined behaviour, every span inside its text, the same verdict in all
// three code-unit widths, an accepted answer's command part is exactly the text between its type
// character and its last three characters, and the station's own answers to the request (normal
// and error) pass the checks with the data and code that were written.
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/codec/requests.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace ozu::codec;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

enum class Verdict : std::uint8_t {
    bad_station,      // ValueError from the answer's station field
    bad_head,         // does not begin with "%"
    too_short,        // fewer than nine characters
    bad_block_check,  // neither "**" nor two hexadecimal digits that match
    no_type,          // IndexError reading the type character
    other_station,
    error_answer,     // "!": the two characters of the error code are reported
    other_command,
    accepted,
};

struct Checked {
    Verdict verdict = Verdict::bad_station;
    Span code{};  // error_answer and other_command: the two characters after the type character
    Span part{};  // accepted: the command part

    bool operator==(const Checked& o) const { return verdict == o.verdict && code == o.code && part == o.part; }
};

bool is_hex(std::uint32_t c) { return digit_value(c, 16) >= 0; }

// The digits of two station fields name the same number (either may be longer than 64 bits).
template <class A, class B>
bool same_station(Text<A> a, Span sa, Text<B> b, Span sb) {
    while (sa.start < sa.stop && a[sa.start] == '0') ++sa.start;
    while (sb.start < sb.stop && b[sb.start] == '0') ++sb.start;
    if (sa.size() != sb.size()) return false;
    for (std::size_t i = 0; i < sa.size(); ++i)
        if (digit_value(a[sa.start + i], 16) != digit_value(b[sb.start + i], 16)) return false;
    return true;
}

template <class Unit>
Checked check_answer(Text8 request, Text<Unit> answer) {
    Checked out;
    const std::size_t n = answer.size();
    const Result<std::uint64_t> station = parse_station(answer);
    if (!station.ok() && station.failure.error != Error::too_large) {
        require(station.failure.span.stop <= n);
        return out;
    }
    // An empty answer has no station digits: it never reaches the header test.
    require(n > 0);
    if (answer[0] != static_cast<Unit>(kHead)) return {Verdict::bad_head};
    if (n < 9) return {Verdict::too_short};

    const Unit hi = answer[n - 3];
    const Unit lo = answer[n - 2];
    if (!(hi == kIgnoreBcc && lo == kIgnoreBcc)) {
        if (!is_hex(hi) || !is_hex(lo)) return {Verdict::bad_block_check};
        const Result<bool> ok = crc_is_ok(answer);
        if (!ok.ok() || !ok.value) return {Verdict::bad_block_check};
    }

    const Result<std::uint64_t> src_station = parse_station(request);
    require(src_station.ok());  // every built request names a station of at most 64 bits
    const std::ptrdiff_t cmd_idx = command_position(answer);
    require(cmd_idx >= 0 && static_cast<std::size_t>(cmd_idx) <= n + 1);
    const bool same = same_station(request, station_span(request), answer, station_span(answer));
    if (station.ok()) require(same == (station.value == src_station.value));
    if (!same) return {Verdict::other_station};

    const Result<std::size_t> type_at = frame_type_index(answer);
    if (!type_at.ok()) {
        require(type_at.failure.error == Error::index_out_of_range && station_end(answer) == static_cast<std::ptrdiff_t>(n));
        return {Verdict::no_type};
    }
    require(type_at.value < n);
    const Span code = error_code_span(answer);
    require(code.start <= code.stop && code.stop <= n && code.size() <= 2);
    if (answer[type_at.value] == kError) return {Verdict::error_answer, code};

    const Span expected = error_code_span(request);
    require(expected.size() == 2);
    bool matches = expected.size() == code.size();
    for (std::size_t i = 0; matches && i < code.size(); ++i) matches = request[expected.start + i] == answer[code.start + i];
    if (!matches) return {Verdict::other_command, code};

    const Span part = command_part(answer);
    require(part.start <= part.stop && part.stop <= n);
    // The text between the type character and the last three characters.
    const std::ptrdiff_t type_char = station_end(answer);
    require(type_char >= 0 && static_cast<std::size_t>(type_char) == type_at.value);
    const std::size_t start = type_at.value + 1;
    require(part.start == start && part.stop == std::max(start, n - 3));
    require(answer[type_at.value] == kFeedback || answer[type_at.value] == kQuery);
    return {Verdict::accepted, code, part};
}

struct Request {
    Result<Frame> frame;
    Command cmd = Command::unknown;
};

Request build(const std::uint8_t* p, std::size_t size) {
    auto at = [&](std::size_t i) -> std::uint8_t { return i < size ? p[i] : 0; };
    const unsigned kind = (at(0) & 0x7F) % 7;
    std::int64_t station = at(1) | (at(2) << 8) | ((at(3) & 0x7F) << 16);
    if (at(3) & 0x80) station = -station - 1;
    const auto count = static_cast<std::int64_t>(static_cast<std::int8_t>(at(4)));
    const Text8 name = size > 5 ? Text8(p + 5, size - 5) : Text8();
    std::vector<std::int64_t> values;
    for (std::int64_t i = 0; i < std::clamp<std::int64_t>(count, 0, 16); ++i) values.push_back((i * 4099 + station) & 0xFFFF);
    const BuildOptions opt{(at(0) & 0x80) != 0};
    switch (kind) {
        case 0: return {build_read_contact(station, name, opt), Command::RCS};
        case 1: return {build_write_contact(station, name, count & 1, opt), Command::WCS};
        case 2: return {build_read_contact_words(station, name, std::nullopt, count, opt), Command::RCC};
        case 3: return {build_write_contact_words(station, name, values, opt), Command::WCC};
        case 4: return {build_read_registers(station, name, count, opt), Command::RD};
        case 5: return {build_write_registers(station, name, values, opt), Command::WD};
        default: return {build_write_register(station, name, count & 0xFFFF, opt), Command::WD};
    }
}

template <class Unit>
Checked check_in(Text8 request, const std::vector<Unit>& answer) {
    return check_answer(request, Text<Unit>(answer.data(), answer.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* cr = std::find(data, data + size, static_cast<std::uint8_t>('\r'));
    const std::size_t answer_size = cr == data + size ? size : static_cast<std::size_t>(cr - data) + 1;
    const Request req = build(data + answer_size, size - answer_size);
    if (!req.frame.ok()) return 0;  // nothing is sent, so no answer is checked
    const std::string sent = req.frame.value.str();
    require(!sent.empty() && sent.back() == '\r');
    const Text8 request = as_text(sent);

    const Checked narrow = check_in(request, std::vector<std::uint8_t>(data, data + answer_size));
    require(check_in(request, std::vector<std::uint16_t>(data, data + answer_size)) == narrow);
    require(check_in(request, std::vector<std::uint32_t>(data, data + answer_size)) == narrow);

    // The station's own answers to this request: the normal one is accepted with exactly the
    // command letters and data written, the error one reports the code written.
    const Span head = head_span(request);
    const std::string head_text(sent.substr(head.start, head.size()));
    std::string answer_data;
    for (std::size_t i = 0; i < std::min<std::size_t>(answer_size, 12); ++i) append_uint16(answer_data, data[i]);
    const std::string normal = answer_frame(head_text, req.cmd, answer_data);
    const Checked good = check_answer(request, as_text(normal));
    require(good.verdict == Verdict::accepted);
    require(normal.substr(good.part.start, good.part.size()) == std::string(command_text(req.cmd).substr(0, 2)) + answer_data);

    const int code = static_cast<int>(answer_size % 256);
    const std::string error = error_frame(head_text, code);
    const Checked bad = check_answer(request, as_text(error));
    require(bad.verdict == Verdict::error_answer && error.substr(bad.code.start, bad.code.size()) == std::string(hex2(static_cast<std::uint64_t>(code)).view()));
    return 0;
}
