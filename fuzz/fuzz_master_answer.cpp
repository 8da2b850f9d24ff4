// The master's checks of one answer against the request it sent, check_answer, in the three
// code-unit widths of the answer, which must agree, and against a small model of the checks written
// from the frame rules with plain string operations: the same verdict, error code, expected letters
// and command part. The messages of the failures name the pieces they report. The station's own
// answers to the request (normal and error, as decode_request and the answer builders make them)
// pass the checks with the data and code that were written.
//
// Input layout: the answer is everything up to and including the first "\r" (all of it when there
// is none); the bytes after it describe the request, which the request builders compose:
//   [0] command in the low seven bits (0 RCS, 1 WCS, 2 RCC, 3 WCC, 4 RD, 5 WD, 6 one-register WD),
//       bit 7 set runs the builders' assertions,
//   [1..3] station, little-endian (bit 7 of [3] makes it negative),
//   [4] count as a signed byte, and the rest is the name.
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/codec/requests.hpp"
#include "ozu/protocol/answer_check.hpp"
#include "ozu/protocol/request_decode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace ozu::codec;
using namespace ozu::protocol;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// ------------------------------------------------------------------------------- the model

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

long long type_edge(const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '*') return -1;
        if (s[i] == '#' || s[i] == '$' || s[i] == '!') return static_cast<long long>(i);
    }
    return static_cast<long long>(s.size());
}

// s[a:b] with the host's clamping.
Span cut(std::size_t n, long long a, long long b) {
    auto clamp = [n](long long i) {
        return static_cast<std::size_t>(std::clamp<long long>(i < 0 ? i + static_cast<long long>(n) : i, 0, static_cast<long long>(n)));
    };
    const std::size_t x = clamp(a), y = clamp(b);
    return {x, std::max(x, y)};
}

// The station digits without leading zeros, upper case; empty string when not a number.
bool station_of(const std::string& s, std::string& digits) {
    const Span f = cut(s.size(), 1, type_edge(s));
    if (f.empty()) return false;
    digits.clear();
    for (std::size_t i = f.start; i < f.stop; ++i) {
        const int d = hex_digit(static_cast<unsigned char>(s[i]));
        if (d < 0) return false;
        if (d || !digits.empty()) digits.push_back("0123456789ABCDEF"[d]);
    }
    return true;
}

struct Verdict {
    AnswerStatus status = AnswerStatus::answer_unreadable;
    Span code{}, expected{}, part{};
};

Verdict model(const std::string& rq, const std::string& an) {
    Verdict v;
    const std::size_t n = an.size();
    std::string theirs, ours;
    if (!station_of(an, theirs)) return v;
    if (an[0] != '%') return {AnswerStatus::bad_head};
    if (n < 9) return {AnswerStatus::too_short};
    const unsigned char c0 = an[n - 3], c1 = an[n - 2];
    if (!(c0 == '*' && c1 == '*')) {
        if (hex_digit(c0) < 0 || hex_digit(c1) < 0) return {AnswerStatus::block_check_mismatch};
        unsigned x = 0;
        for (std::size_t i = 0; i + 3 < n; ++i) {
            const auto c = static_cast<unsigned char>(an[i]);
            x ^= c < 0x80 ? c : ((0xC0u | (c >> 6)) ^ (0x80u | (c & 0x3Fu)));
        }
        if (static_cast<unsigned>(hex_digit(c0) * 16 + hex_digit(c1)) != x) return {AnswerStatus::block_check_mismatch};
    }
    if (!station_of(rq, ours)) return {AnswerStatus::request_unreadable};
    if (theirs != ours) return {AnswerStatus::other_station};
    const long long edge = type_edge(an);
    if (edge >= static_cast<long long>(n)) return v;
    v.code = cut(n, edge + 1, edge + 3);
    if (an[edge < 0 ? n - 1 : static_cast<std::size_t>(edge)] == '!') {
        v.status = AnswerStatus::error_answer;
        return v;
    }
    const long long at = type_edge(rq) + 1;
    v.expected = cut(rq.size(), at, at + 2);
    if (rq.substr(v.expected.start, v.expected.size()) != an.substr(v.code.start, v.code.size())) {
        v.status = AnswerStatus::other_command;
        return v;
    }
    v.part = cut(n, edge + 1, -3);
    v.status = AnswerStatus::accepted;
    return v;
}

template <class Unit>
CheckedAnswer check_in(const std::string& request, const std::uint8_t* answer, std::size_t size) {
    const std::vector<Unit> units(answer, answer + size);
    return check_answer(as_text(request), Text<Unit>(units.data(), units.size()));
}

bool same(const CheckedAnswer& a, const CheckedAnswer& b) {
    return a.status == b.status && a.failure.error == b.failure.error && a.failure.span == b.failure.span &&
           a.code == b.code && a.expected == b.expected && a.part == b.part;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* cr = std::find(data, data + size, static_cast<std::uint8_t>('\r'));
    const std::size_t answer_size = cr == data + size ? size : static_cast<std::size_t>(cr - data) + 1;
    const Request req = build(data + answer_size, size - answer_size);
    if (!req.frame.ok()) return 0;  // nothing is sent, so no answer is checked
    const std::string sent = req.frame.value.str();
    require(!sent.empty() && sent.back() == '\r');
    const std::string answer(reinterpret_cast<const char*>(data), answer_size);

    const CheckedAnswer narrow = check_answer(std::string_view(sent), std::string_view(answer));
    require(same(check_in<std::uint16_t>(sent, data, answer_size), narrow));
    require(same(check_in<std::uint32_t>(sent, data, answer_size), narrow));
    const Verdict expected = model(sent, answer);
    require(narrow.status == expected.status);
    if (narrow.status == AnswerStatus::error_answer || narrow.status == AnswerStatus::other_command)
        require(narrow.code == expected.code);
    if (narrow.status == AnswerStatus::other_command) require(narrow.expected == expected.expected);
    if (narrow.status == AnswerStatus::accepted) require(narrow.part == expected.part);

    // Failures that the master reports as line errors carry a message naming the port.
    const std::string message = answer_message(narrow, std::string_view(sent), std::string_view(answer), "P");
    const bool unreadable = narrow.status == AnswerStatus::answer_unreadable ||
                            narrow.status == AnswerStatus::request_unreadable;
    require(message.empty() == (unreadable || narrow.status == AnswerStatus::accepted));
    if (!message.empty()) require(message.rfind(narrow.status == AnswerStatus::error_answer ? "P:" : "Error:P:", 0) == 0);

    // The station's own answers to this request: the normal one is accepted with exactly the
    // command letters and data written, the error one reports the code written.
    const DecodedRequest decoded = decode_request(std::string_view(sent));
    require(decoded.status == RequestStatus::command || decoded.status == RequestStatus::error_answer);
    require(decoded.cmd == req.cmd);
    const std::string head = sent.substr(decoded.head.start, decoded.head.size());
    std::string answer_data;
    for (std::size_t i = 0; i < std::min<std::size_t>(answer_size, 12); ++i) append_uint16(answer_data, data[i]);
    const std::string normal = answer_frame(head, req.cmd, answer_data);
    const CheckedAnswer good = check_answer(std::string_view(sent), std::string_view(normal));
    require(good.status == AnswerStatus::accepted);
    require(normal.substr(good.part.start, good.part.size()) == std::string(command_text(req.cmd).substr(0, 2)) + answer_data);

    const int code = static_cast<int>(answer_size % 256);
    const std::string error = error_frame(head, code);
    const CheckedAnswer bad = check_answer(std::string_view(sent), std::string_view(error));
    require(bad.status == AnswerStatus::error_answer && error.substr(bad.code.start, bad.code.size()) == std::string(hex2(static_cast<std::uint64_t>(code)).view()));
    return 0;
}
