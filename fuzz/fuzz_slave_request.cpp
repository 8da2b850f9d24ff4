// The station's handling of one received request, step by step as the slave does it: frame check
// (length, header, block check), station number, command code, the fields read at fixed offsets,
// the written values, then the normal or error answer. The input is the request as Latin-1 text;
// the same code points are run in all three code-unit widths and must give the same outcome.
//
// Checked: no crash or undefined behaviour; every failure points inside the request; every answer
// is ASCII, ends with its only "\r", passes its own block check, repeats the request's text before
// the type character as its head, carries the request's station and, read back the way the master
// reads it, gives exactly the command letters and data that were written.
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"

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

enum class Kind : std::uint8_t {
    invalid_frame,  // handed to process_invalid_frame, nothing sent
    failed,         // a reading failure ends the request (the host raises it)
    index_error,    // WCS without its value character
    answered,
};

// What a hook would have been given, and what the station sends back.
struct Outcome {
    Kind kind = Kind::invalid_frame;
    Failure failure{};
    Command cmd = Command::unknown;
    Span name{};
    std::int64_t count = 0;
    bool coil_value = false;
    std::vector<std::uint16_t> written;
    std::string answer;

    bool operator==(const Outcome& o) const {
        return kind == o.kind && failure.error == o.failure.error && failure.span == o.failure.span &&
               failure.base == o.failure.base && cmd == o.cmd && name == o.name && count == o.count &&
               coil_value == o.coil_value && written == o.written && answer == o.answer;
    }
};

// The values a read hook returns: their number need not match the count asked for.
std::vector<std::uint16_t> read_hook(std::int64_t count, std::size_t salt) {
    const std::int64_t n = salt % 3 == 0 ? (count & 3) : std::clamp<std::int64_t>(count, 0, 64);
    std::vector<std::uint16_t> values;
    for (std::int64_t i = 0; i < n; ++i)
        values.push_back(static_cast<std::uint16_t>(i * 0x9E37 + static_cast<std::int64_t>(salt) * 0x101));
    return values;
}

bool inside(const Failure& f, std::size_t size) { return f.span.start <= f.span.stop && f.span.stop <= size; }

template <class Unit>
Outcome handle_request(Text<Unit> text) {
    Outcome out;
    const std::size_t n = text.size();
    bool valid = n >= 9 && text[0] == static_cast<Unit>(kHead);
    if (valid) {
        const Result<bool> ok = crc_is_ok(text);
        if (!ok.ok()) {
            out.kind = Kind::failed;
            out.failure = ok.failure;
            return out;
        }
        valid = ok.value;
    }
    if (!valid) return out;

    const Result<std::uint64_t> station = parse_station(text);
    // A station beyond 64 bits is read by the host's own integers; the request goes on.
    if (!station.ok() && station.failure.error != Error::too_large) {
        out.kind = Kind::failed;
        out.failure = station.failure;
        return out;
    }

    out.cmd = parse_command(text);
    const auto cmd_pos = static_cast<std::size_t>(command_position(text));
    const std::size_t pos = cmd_pos + command_text(out.cmd).size();
    const Span head_at = head_span(text);
    require(head_at.start == 0 && head_at.stop <= n);
    std::string head;
    for (std::size_t i = head_at.start; i < head_at.stop; ++i) {
        // "%" and station digits that were read as hexadecimal: plain ASCII, safe to narrow.
        require(text[i] < 0x80);
        head.push_back(static_cast<char>(text[i]));
    }

    std::string data;
    switch (out.cmd) {
        case Command::RCS:
            out.name = slice(n, static_cast<std::ptrdiff_t>(pos), static_cast<std::ptrdiff_t>(pos) + 5);
            data.push_back(n % 2 ? '1' : '0');
            break;
        case Command::WCS:
            out.name = slice(n, static_cast<std::ptrdiff_t>(pos), static_cast<std::ptrdiff_t>(pos) + 5);
            if (pos + 5 >= n) {
                out.kind = Kind::index_error;
                return out;
            }
            out.coil_value = text[pos + 5] != '0';
            break;
        case Command::RCC:
        case Command::RD:
        case Command::WCC:
        case Command::WD: {
            const bool words = out.cmd == Command::RCC || out.cmd == Command::WCC;
            const bool read = out.cmd == Command::RCC || out.cmd == Command::RD;
            out.name = slice(n, static_cast<std::ptrdiff_t>(pos), static_cast<std::ptrdiff_t>(pos + (words ? 5 : 6)));
            const Result<std::int64_t> count = words ? contact_word_count_at(text, pos) : register_count_at(text, pos);
            if (!count.ok()) {
                out.kind = Kind::failed;
                out.failure = count.failure;
                return out;
            }
            out.count = count.value;
            // Four decimal digits give -9998..10000 words, five give -99998..100000 registers.
            require(words ? (count.value >= -9998 && count.value <= 10000)
                          : (count.value >= -99998 && count.value <= 100000));
            if (read) {
                for (std::uint16_t v : read_hook(count.value, n)) append_uint16(data, v);
                break;
            }
            const std::size_t first = pos + (words ? 9 : 11);
            for (std::int64_t i = 0; i < count.value; ++i) {
                const std::size_t at = first + 4 * static_cast<std::size_t>(i);
                const Result<std::uint16_t> v = parse_uint16_at(text, at);
                if (!v.ok()) {
                    out.kind = Kind::failed;
                    out.failure = v.failure;
                    return out;
                }
                // Low byte, then high byte, each read from the hexadecimal digits it has: a value
                // cut short by the end of the request keeps at least one digit of its high byte.
                require(at + 3 <= n);
                auto byte_at = [&](std::size_t from) {
                    unsigned b = 0;
                    for (std::size_t k = from; k < std::min(from + 2, n); ++k)
                        b = b * 16 + static_cast<unsigned>(digit_value(text[k], 16));
                    return b;
                };
                require(v.value == ((byte_at(at + 2) << 8) | byte_at(at)));
                out.written.push_back(v.value);
            }
            break;
        }
        case Command::unknown:
            out.kind = Kind::answered;
            out.answer = error_frame(head, kProcessUnknownCmd);
            return out;
    }
    out.kind = Kind::answered;
    out.answer = answer_frame(head, out.cmd, data);
    require(command_part(as_text(out.answer)) ==
            slice(out.answer.size(), static_cast<std::ptrdiff_t>(head.size()) + 1, -3));
    const Span part = command_part(as_text(out.answer));
    require(std::string_view(out.answer).substr(part.start, part.size()) ==
            std::string(command_text(out.cmd).substr(0, 2)) + data);
    return out;
}

// Every answer frame the station sends, whatever built it.
template <class Unit>
void check_answer(const std::string& answer, Text<Unit> request, char type) {
    require(!answer.empty() && answer.back() == '\r');
    for (std::size_t i = 0; i < answer.size(); ++i) {
        const auto c = static_cast<unsigned char>(answer[i]);
        require(c < 0x80);
        if (i + 1 < answer.size()) require(c != '\r');
    }
    const Text8 a = as_text(answer);
    const Result<bool> ok = crc_is_ok(a);
    require(ok.ok() && ok.value);
    // The head is the request's text before its type character, and the answer's own type
    // character follows it.
    const std::ptrdiff_t edge = station_end(a);
    require(edge > 0 && answer[static_cast<std::size_t>(edge)] == type);
    const auto head = static_cast<std::size_t>(edge);
    require(head <= request.size());
    for (std::size_t i = 0; i < head; ++i) require(static_cast<std::uint32_t>(request[i]) == static_cast<unsigned char>(answer[i]));
    const std::ptrdiff_t request_edge = station_end(request);
    if (request_edge >= 0 && static_cast<std::size_t>(request_edge) < request.size())
        require(static_cast<std::size_t>(request_edge) == head);
    // The station the answer names is the request's.
    const auto theirs = parse_station(request);
    const auto ours = parse_station(a);
    require(theirs.failure.error == ours.failure.error && theirs.value == ours.value);
}

template <class Unit>
Outcome run(const std::vector<Unit>& units) {
    const Text<Unit> text(units.data(), units.size());
    Outcome out = handle_request(text);
    if (out.kind == Kind::failed) {
        require(out.failure.error != Error::none && inside(out.failure, text.size()));
        require(out.failure.error == Error::invalid_literal || out.failure.error == Error::encode_failed);
    }
    if (out.kind == Kind::answered) check_answer(out.answer, text, out.cmd == Command::unknown ? kError : kFeedback);
    require(out.name.stop <= text.size());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Outcome narrow = run(std::vector<std::uint8_t>(data, data + size));
    require(run(std::vector<std::uint16_t>(data, data + size)) == narrow);
    require(run(std::vector<std::uint32_t>(data, data + size)) == narrow);

    // Error answers for any internal code, and tails of any ASCII body, under the head of this
    // request (or a plain one when it has none that could be answered).
    std::string head = "%01";
    if (narrow.kind == Kind::answered) head = narrow.answer.substr(0, static_cast<std::size_t>(station_end(as_text(narrow.answer))));
    int code = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 4); ++i) code = static_cast<int>((static_cast<unsigned>(code) << 8) | data[i]);
    if (code == 0) code = kProcessError;
    const std::string error = error_frame(head, code);
    const Text8 head_text = as_text(head);
    check_answer(error, head_text, kError);
    const std::int64_t magnitude = code < 0 ? -static_cast<std::int64_t>(code) : code;
    const Span number = error_code_span(as_text(error));
    require(number.size() == 2);
    const Span whole = command_part(as_text(error));
    std::uint64_t written = 0;
    for (std::size_t i = whole.start; i < whole.stop; ++i) {
        const int d = digit_value(static_cast<unsigned char>(error[i]), 16);
        require(d >= 0 && (error[i] < 'a' || error[i] > 'f'));
        written = written * 16 + static_cast<std::uint64_t>(d);
    }
    require(whole.size() >= 2 && written == static_cast<std::uint64_t>(magnitude));

    std::string body;
    for (std::size_t i = 0; i < size; ++i) body.push_back(static_cast<char>(data[i] & 0x7F));
    const std::string framed = with_tail(body);
    require(framed.size() == body.size() + 3 && framed.compare(0, body.size(), body) == 0 && framed.back() == '\r');
    const Result<bool> ok = crc_is_ok(as_text(framed));
    require(ok.ok() && ok.value);
    return 0;
}
