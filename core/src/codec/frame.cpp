#include "ozu/codec/frame.hpp"

#include "ozu/codec/fields.hpp"

#include <cstring>

namespace ozu::codec {
namespace {

// Exclusive-or of the UTF-8 bytes of one code point; false for a surrogate.
inline bool utf8_xor(std::uint32_t c, std::uint32_t& acc) noexcept {
    if (c < 0x80) {
        acc ^= c;
    } else if (c < 0x800) {
        acc ^= (0xC0 | (c >> 6)) ^ (0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        acc ^= (0xE0 | (c >> 12)) ^ (0x80 | ((c >> 6) & 0x3F)) ^ (0x80 | (c & 0x3F));
    } else {
        acc ^= (0xF0 | (c >> 18)) ^ (0x80 | ((c >> 12) & 0x3F)) ^ (0x80 | ((c >> 6) & 0x3F)) ^ (0x80 | (c & 0x3F));
    }
    return true;
}

inline std::uint8_t fold(std::uint64_t w) noexcept {
    w ^= w >> 32;
    w ^= w >> 16;
    w ^= w >> 8;
    return static_cast<std::uint8_t>(w);
}

template <class Unit>
bool is_stop(Unit c) noexcept {
    return c == kTail || c == kIgnoreBcc || c == kQuery || c == kFeedback || c == kError;
}

}  // namespace

std::string_view command_text(Command cmd) noexcept {
    switch (cmd) {
        case Command::RCS: return "RCS";
        case Command::WCS: return "WCS";
        case Command::RCC: return "RCC";
        case Command::WCC: return "WCC";
        case Command::RD: return "RD";
        case Command::WD: return "WD";
        case Command::unknown: break;
    }
    return kCmdUnknown;
}

std::uint8_t xor_bytes(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::uint64_t acc = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, bytes + i, 8);
        acc ^= w;
    }
    std::uint8_t tail = 0;
    for (; i < size; ++i) tail ^= bytes[i];
    return static_cast<std::uint8_t>(fold(acc) ^ tail);
}

template <class Unit>
Result<std::uint8_t> block_check(Text<Unit> text) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        // Pure ASCII is its own UTF-8: xor the bytes a word at a time, and only redo the text
        // character by character when a byte above 0x7F shows up.
        std::uint64_t acc = 0, high = 0;
        std::size_t i = 0;
        const std::size_t n = text.size();
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            acc ^= w;
            high |= w;
        }
        std::uint32_t rest = 0;
        for (; i < n; ++i) {
            rest ^= text[i];
            high |= text[i];
        }
        if ((high & 0x8080808080808080ull) == 0) return {static_cast<std::uint8_t>(fold(acc) ^ rest), {}};
    }
    std::uint32_t acc = 0;
    for (Unit c : text)
        if (!utf8_xor(c, acc)) return {0, {Error::encode_failed, Arg::data, {0, text.size()}, 0, 0}};
    return {static_cast<std::uint8_t>(acc), {}};
}

std::array<char, 3> tail_of(std::uint8_t check) noexcept {
    return {kHexDigits[check >> 4], kHexDigits[check & 15], kTail};
}

template <class Unit>
Result<bool> crc_is_ok(Text<Unit> frame) noexcept {
    const std::size_t n = frame.size();
    const Span field = slice(n, -3, -1);
    if (field.size() < 2) return {false, {Error::index_out_of_range, Arg::frame, field, 0, 0}};
    const Unit c0 = frame[field.start];
    const Unit c1 = frame[field.start + 1];
    if (c0 == kIgnoreBcc || c1 == kIgnoreBcc) return {c0 == c1, {}};
    const Result<std::uint64_t> received = read_piece(frame, field, 16, Arg::frame);
    if (!received.ok()) return {false, received.failure};
    const Span body = slice(n, 0, -3);
    const Result<std::uint8_t> computed = block_check(piece(frame, body));
    if (!computed.ok()) return {false, {Error::encode_failed, Arg::frame, body, 0, 0}};
    return {received.value == computed.value, {}};
}

template <class Unit>
std::ptrdiff_t station_end(Text<Unit> text) noexcept {
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Unit c = text[i];
        if (c > '*' || !is_stop(c)) continue;  // all five stop characters are <= '*'
        if (c == kTail || c == kIgnoreBcc) return -1;
        return static_cast<std::ptrdiff_t>(i);
    }
    return static_cast<std::ptrdiff_t>(n);
}

template <class Unit>
std::ptrdiff_t command_position(Text<Unit> text) noexcept {
    return station_end(text) + 1;
}

template <class Unit>
Command parse_command_at(Text<Unit> text, std::ptrdiff_t position) noexcept {
    const Span s = slice(text.size(), position, position + 3);
    const Text<Unit> cmd = piece(text, s);
    auto is = [&cmd](std::string_view word) {
        if (cmd.size() < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (cmd[i] != static_cast<unsigned char>(word[i])) return false;
        return true;
    };
    if (cmd.size() == 3) {
        if (is("RCS")) return Command::RCS;
        if (is("WCS")) return Command::WCS;
        if (is("RCC")) return Command::RCC;
        if (is("WCC")) return Command::WCC;
    }
    if (is("RD")) return Command::RD;
    if (is("WD")) return Command::WD;
    return Command::unknown;
}

template <class Unit>
Command parse_command(Text<Unit> text) noexcept {
    return parse_command_at(text, command_position(text));
}

template <class Unit>
Result<std::size_t> frame_type_index(Text<Unit> text) noexcept {
    const std::ptrdiff_t end = station_end(text);
    const std::size_t n = text.size();
    if (end < 0) return {n - 1, {}};  // -1 only comes from a character, so the text is not empty
    const auto i = static_cast<std::size_t>(end);
    if (i >= n) return {0, {Error::index_out_of_range, Arg::data, {n, n}, 0, 0}};
    return {i, {}};
}

template <class UnitTx, class UnitRx>
Result<bool> header_matched(Text<UnitTx> tx, Text<UnitRx> rx) noexcept {
    const std::ptrdiff_t edge = station_end(rx);
    auto same = [&](Span a, Span b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (static_cast<std::uint32_t>(tx[a.start + i]) != static_cast<std::uint32_t>(rx[b.start + i])) return false;
        return true;
    };
    if (!same(slice(tx.size(), 0, edge), slice(rx.size(), 0, edge))) return {false, {}};
    const std::size_t n = rx.size();
    const std::size_t at = edge < 0 ? n - 1 : static_cast<std::size_t>(edge);
    if (at >= n) return {false, {Error::index_out_of_range, Arg::rx, {n, n}, 0, 0}};
    if (rx[at] != kFeedback) return {false, {}};
    return {same(slice(tx.size(), edge + 1, edge + 3), slice(rx.size(), edge + 1, edge + 3)), {}};
}

template <class Unit>
Span station_span(Text<Unit> text) noexcept {
    return slice(text.size(), 1, station_end(text));
}

template <class Unit>
Result<std::uint64_t> parse_station(Text<Unit> text) noexcept {
    return read_piece(text, station_span(text), 16, Arg::data);
}

template <class Unit>
Span head_span(Text<Unit> text) noexcept {
    return slice(text.size(), 0, command_position(text) - 1);
}

template <class Unit>
Span command_part(Text<Unit> answer) noexcept {
    return slice(answer.size(), command_position(answer), -3);
}

template <class Unit>
Span error_code_span(Text<Unit> answer) noexcept {
    const std::ptrdiff_t at = command_position(answer);
    return slice(answer.size(), at, at + 2);
}

std::string_view error_body(int code, std::array<char, 24>& buffer) noexcept {
    const std::int64_t c = code < 0 ? -static_cast<std::int64_t>(code) : code;
    const Ascii digits = hex2(static_cast<std::uint64_t>(c));
    buffer[0] = kError;
    std::memcpy(buffer.data() + 1, digits.chars.data(), digits.size);
    return {buffer.data(), digits.size + 1};
}

#define OZU_INSTANTIATE(Unit)                                                          \
    template Result<std::uint8_t> block_check<Unit>(Text<Unit>) noexcept;              \
    template Result<bool> crc_is_ok<Unit>(Text<Unit>) noexcept;                        \
    template std::ptrdiff_t station_end<Unit>(Text<Unit>) noexcept;                    \
    template std::ptrdiff_t command_position<Unit>(Text<Unit>) noexcept;               \
    template Command parse_command_at<Unit>(Text<Unit>, std::ptrdiff_t) noexcept;      \
    template Command parse_command<Unit>(Text<Unit>) noexcept;                         \
    template Result<std::size_t> frame_type_index<Unit>(Text<Unit>) noexcept;          \
    template Span station_span<Unit>(Text<Unit>) noexcept;                             \
    template Result<std::uint64_t> parse_station<Unit>(Text<Unit>) noexcept;           \
    template Span head_span<Unit>(Text<Unit>) noexcept;                                \
    template Span command_part<Unit>(Text<Unit>) noexcept;                             \
    template Span error_code_span<Unit>(Text<Unit>) noexcept;                          \
    template Result<bool> header_matched<Unit, std::uint8_t>(Text<Unit>, Text<std::uint8_t>) noexcept;   \
    template Result<bool> header_matched<Unit, std::uint16_t>(Text<Unit>, Text<std::uint16_t>) noexcept; \
    template Result<bool> header_matched<Unit, std::uint32_t>(Text<Unit>, Text<std::uint32_t>) noexcept;
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE

}  // namespace ozu::codec
