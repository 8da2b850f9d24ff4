// A station's decoding of one received request, decode_request, fed any bytes (each byte one
// Latin-1 character) in all three code-unit widths, which must agree.
//
// Checked against a small model of the station's checks written from the frame rules with plain
// string operations: the same outcome, failure position, station, head, command, fields and error
// code. Then the answer the station sends for it (normal, with words from a read handler that
// returns any number of them, or error) is checked: ASCII, one "\r" at its end, its own block
// check, the request's head and station, and accepted by the master's check_answer for that
// request with exactly the letters and data written (or the error code written); and never longer
// than one frame when the request asked for a range.
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/protocol/answer_check.hpp"
#include "ozu/protocol/request_decode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace ozu::protocol;
namespace codec = ozu::codec;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// ------------------------------------------------------------------------------- the model

int digit(unsigned char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    return v < base ? v : -1;
}

// s[a:b] with the host's clamping, as positions.
std::pair<std::size_t, std::size_t> cut(std::size_t n, long long a, long long b) {
    auto clamp = [n](long long i) { return static_cast<std::size_t>(std::clamp<long long>(i < 0 ? i + static_cast<long long>(n) : i, 0, static_cast<long long>(n))); };
    const std::size_t x = clamp(a), y = clamp(b);
    return {x, std::max(x, y)};
}

struct Read {
    bool ok = false;
    bool big = false;
    std::uint64_t value = 0;
};

Read number(const std::string& s, std::pair<std::size_t, std::size_t> at, int base) {
    Read r;
    if (at.first == at.second) return r;
    for (std::size_t i = at.first; i < at.second; ++i) {
        const int d = digit(static_cast<unsigned char>(s[i]), base);
        if (d < 0) return r;
        if (r.value > (UINT64_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) r.big = true;
        r.value = r.value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    r.ok = true;
    return r;
}

struct Model {
    RequestStatus status = RequestStatus::invalid_frame;
    std::pair<std::size_t, std::size_t> failure{0, 0};
    std::uint64_t station = 0;
    bool station_fits = true;
    std::string head;
    Command cmd = Command::unknown;
    std::pair<std::size_t, std::size_t> name{0, 0};
    long long count = 0;
    bool coil = false;
    std::vector<std::uint16_t> values;
    int error_code = 0;
};

Model model(const std::string& s) {
    Model m;
    const std::size_t n = s.size();
    if (n < 9 || s[0] != '%') return m;
    const char c0 = s[n - 3], c1 = s[n - 2];
    if (c0 == '*' || c1 == '*') {
        if (c0 != c1) return m;
    } else {
        const Read check = number(s, {n - 3, n - 1}, 16);
        if (!check.ok) {
            m.status = RequestStatus::unreadable;
            m.failure = {n - 3, n - 1};
            return m;
        }
        unsigned x = 0;
        for (std::size_t i = 0; i + 3 < n; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            x ^= c < 0x80 ? c : ((0xC0u | (c >> 6)) ^ (0x80u | (c & 0x3Fu)));
        }
        if (check.value != x) return m;
    }
    long long end = static_cast<long long>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == '\r' || s[i] == '*') { end = -1; break; }
        if (s[i] == '#' || s[i] == '$' || s[i] == '!') { end = static_cast<long long>(i); break; }
    }
    const auto field = cut(n, 1, end);
    const Read station = number(s, field, 16);
    if (!station.ok) {
        m.status = RequestStatus::unreadable;
        m.failure = field;
        return m;
    }
    m.station = station.value;
    m.station_fits = !station.big;
    const auto head = cut(n, 0, end);
    m.head = s.substr(head.first, head.second - head.first);

    const std::size_t at = static_cast<std::size_t>(end + 1);
    const std::string three = s.substr(std::min(at, n), 3);
    for (Command c : {Command::RCS, Command::WCS, Command::RCC, Command::WCC})
        if (three == codec::command_text(c)) m.cmd = c;
    if (m.cmd == Command::unknown && three.size() >= 2) {
        if (three.compare(0, 2, "RD") == 0) m.cmd = Command::RD;
        if (three.compare(0, 2, "WD") == 0) m.cmd = Command::WD;
    }
    if (m.cmd == Command::unknown) {
        m.status = RequestStatus::error_answer;
        m.error_code = -3;
        return m;
    }
    const auto pos = static_cast<long long>(at + codec::command_text(m.cmd).size());
    auto failed = [&](std::pair<std::size_t, std::size_t> where) {
        m.status = RequestStatus::field_failure;
        m.failure = where;
        return m;
    };
    std::size_t data = m.cmd == Command::RCS ? 1 : 0;
    if (m.cmd == Command::RCS || m.cmd == Command::WCS) {
        m.name = cut(n, pos, pos + 5);
        if (m.cmd == Command::WCS) {
            if (static_cast<std::size_t>(pos + 5) >= n) return failed({n, n});
            m.coil = s[static_cast<std::size_t>(pos + 5)] != '0';
        }
    } else {
        const long long width = (m.cmd == Command::RCC || m.cmd == Command::WCC) ? 4 : 5;
        m.name = cut(n, pos, pos + 1 + width);
        const auto end_at = cut(n, pos + 1 + width, pos + 1 + 2 * width);
        const Read last = number(s, end_at, 10);
        if (!last.ok) return failed(end_at);
        const Read first = number(s, {m.name.first + std::min<std::size_t>(1, m.name.second - m.name.first), m.name.second}, 10);
        if (!first.ok) return failed({m.name.first + std::min<std::size_t>(1, m.name.second - m.name.first), m.name.second});
        m.count = static_cast<long long>(last.value) - static_cast<long long>(first.value) + 1;
        if (m.cmd == Command::RCC || m.cmd == Command::RD) {
            data = m.count > 0 ? 4 * static_cast<std::size_t>(m.count) : 0;
        } else {
            for (long long i = 0; i < m.count; ++i) {
                const long long v = pos + 1 + 2 * width + 4 * i;
                const Read low = number(s, cut(n, v, v + 2), 16);
                if (!low.ok) return failed(cut(n, v, v + 2));
                const Read high = number(s, cut(n, v + 2, v + 4), 16);
                if (!high.ok) return failed(cut(n, v + 2, v + 4));
                m.values.push_back(static_cast<std::uint16_t>(high.value << 8 | low.value));
            }
        }
    }
    if (m.head.size() + 3 + data + 3 > 2048) {
        m.status = RequestStatus::error_answer;
        m.error_code = -2;
        return m;
    }
    m.status = RequestStatus::command;
    return m;
}

// ------------------------------------------------------------------------------- the product

template <class Unit>
DecodedRequest decode_in(const std::uint8_t* data, std::size_t size) {
    const std::vector<Unit> units(data, data + size);
    return decode_request(codec::Text<Unit>(units.data(), units.size()));
}

bool same(const DecodedRequest& a, const DecodedRequest& b) {
    return a.status == b.status && a.failure.error == b.failure.error && a.failure.span == b.failure.span &&
           a.station == b.station && a.station_fits == b.station_fits && a.station_span == b.station_span &&
           a.head == b.head && a.cmd == b.cmd && a.name == b.name && a.count == b.count &&
           a.coil_value == b.coil_value && a.values == b.values && a.error_code == b.error_code;
}

void agrees_with_model(const std::string& s, const DecodedRequest& r) {
    const Model m = model(s);
    require(r.status == m.status);
    if (r.status == RequestStatus::invalid_frame) return;
    if (r.status == RequestStatus::unreadable || r.status == RequestStatus::field_failure) {
        require(r.failure.span.start == m.failure.first && r.failure.span.stop == m.failure.second);
        if (r.status == RequestStatus::unreadable) return;
    }
    require(r.station_fits == m.station_fits && (!r.station_fits || r.station == m.station));
    require(s.substr(r.head.start, r.head.size()) == m.head);
    require(r.cmd == m.cmd);
    if (r.status == RequestStatus::field_failure) return;
    if (r.status == RequestStatus::error_answer) {
        require(r.error_code == m.error_code);
        return;
    }
    require(r.name.start == m.name.first && r.name.stop == m.name.second);
    require(r.count == m.count && r.coil_value == m.coil && r.values == m.values);
}

// Every answer frame the station sends.
void check_sent(const std::string& answer, const std::string& request, const DecodedRequest& r, char type) {
    require(!answer.empty() && answer.back() == '\r');
    for (std::size_t i = 0; i < answer.size(); ++i) {
        const auto c = static_cast<unsigned char>(answer[i]);
        require(c < 0x80 && (i + 1 == answer.size() || c != '\r'));
    }
    const codec::Result<bool> ok = codec::crc_is_ok(codec::as_text(answer));
    require(ok.ok() && ok.value);
    require(answer.compare(0, r.head.size(), request, r.head.start, r.head.size()) == 0);
    require(answer[r.head.size()] == type);

    // The master that sent this request takes the answer, when the request had a type character.
    const std::ptrdiff_t edge = codec::station_end(codec::as_text(request));
    if (edge <= 0 || static_cast<std::size_t>(edge) >= request.size()) return;
    const CheckedAnswer c = check_answer(std::string_view(request), std::string_view(answer));
    if (answer.size() < kMinAnswerLength) {
        require(c.status == AnswerStatus::too_short);
        return;
    }
    if (type == '!') {
        require(c.status == AnswerStatus::error_answer);
        require(answer.substr(c.code.start, c.code.size()) == (r.error_code == -3 ? "03" : "02"));
        return;
    }
    require(c.status == AnswerStatus::accepted);
    require(answer.substr(c.part.start, c.part.size()) ==
            answer.substr(r.head.size() + 1, answer.size() - r.head.size() - 4));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string request(reinterpret_cast<const char*>(data), size);
    const DecodedRequest narrow = decode_request(std::string_view(request));
    require(same(decode_in<std::uint16_t>(data, size), narrow));
    require(same(decode_in<std::uint32_t>(data, size), narrow));
    agrees_with_model(request, narrow);

    if (narrow.status == RequestStatus::error_answer) {
        const std::string head = request.substr(narrow.head.start, narrow.head.size());
        check_sent(codec::error_frame(head, narrow.error_code), request, narrow, '!');
    } else if (narrow.status == RequestStatus::command) {
        const std::string head = request.substr(narrow.head.start, narrow.head.size());
        std::string words;
        std::int64_t returned = 0;
        if (narrow.cmd == Command::RCS) words = size % 2 ? "1" : "0";
        if (narrow.cmd == Command::RCC || narrow.cmd == Command::RD) {
            // A handler may return fewer words than asked for.
            returned = size % 3 == 0 ? std::min<std::int64_t>(narrow.count, 3) : narrow.count;
            for (std::int64_t i = 0; i < returned; ++i)
                codec::append_uint16(words, static_cast<std::uint16_t>(i * 0x9E37 + static_cast<std::int64_t>(size)));
        }
        const std::string answer = codec::answer_frame(head, narrow.cmd, words);
        require(answer.size() == answer_length(head.size(), narrow.cmd, returned));
        // Whatever the request asked for, the answer to it fits in one frame.
        require(answer.size() <= kMaxFrameLength);
        check_sent(answer, request, narrow, '$');
    }
    return 0;
}
