#include "ozu/codec/fields.hpp"

#include "ozu/codec/frame.hpp"

namespace ozu::codec {

Ascii hex2(std::uint64_t value) noexcept {
    char digits[16];
    std::size_t n = 0;
    do {
        digits[n++] = kHexDigits[value & 15];
        value >>= 4;
    } while (value != 0);
    Ascii out;
    if (n < 2) out.push('0');
    while (n > 0) out.push(digits[--n]);
    return out;
}

Ascii hex2_signed(std::int64_t value) noexcept {
    if (value >= 0) return hex2(static_cast<std::uint64_t>(value));
    // The sign counts towards the width of two, and a magnitude has at least one digit.
    const std::uint64_t magnitude = ~static_cast<std::uint64_t>(value) + 1;
    Ascii digits = hex2(magnitude);
    Ascii out;
    out.push('-');
    const std::size_t skip = (magnitude < 16) ? 1 : 0;  // hex2 padded a single digit
    out.append(digits.view().substr(skip));
    return out;
}

Ascii header_prefix(std::uint64_t station) noexcept {
    Ascii out;
    out.push(kHead);
    out.append(hex2(station).view());
    out.push(kQuery);
    return out;
}

std::array<char, 4> uint16_digits(std::uint16_t value) noexcept {
    return {kHexDigits[(value >> 4) & 15], kHexDigits[value & 15], kHexDigits[(value >> 12) & 15],
            kHexDigits[(value >> 8) & 15]};
}

std::array<char, 8> uint32_digits(std::uint32_t value) noexcept {
    const auto lo = uint16_digits(static_cast<std::uint16_t>(value & 0xFFFF));
    const auto hi = uint16_digits(static_cast<std::uint16_t>(value >> 16));
    return {lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]};
}

Result<Ascii> uint16_field(std::int64_t value, bool assertions) noexcept {
    Ascii out;
    if (value < 0) {
        if (assertions) return {out, {Error::assertion_failed, Arg::value, {}, 0, value}};
        out.append(hex2(static_cast<std::uint64_t>(value & 255)).view());
        out.append(hex2_signed(value >> 8).view());
        return {out, {}};
    }
    if (value > 0xFFFF) return {out, {Error::value_out_of_range, Arg::value, {}, 16, value}};
    const auto digits = uint16_digits(static_cast<std::uint16_t>(value));
    out.append({digits.data(), digits.size()});
    return {out, {}};
}

Result<Ascii> uint32_field(std::int64_t value, bool assertions) noexcept {
    Ascii out;
    if (value < 0 && assertions) return {out, {Error::assertion_failed, Arg::value, {}, 0, value}};
    if (value > 0xFFFFFFFFLL) return {out, {Error::value_out_of_range, Arg::value, {}, 32, value}};
    const Result<Ascii> lo = uint16_field(value & 0xFFFF, assertions);
    const Result<Ascii> hi = uint16_field(value >> 16, assertions);
    out.append(lo.value.view());
    out.append(hi.value.view());
    return {out, {}};
}

void append_uint16(std::string& out, std::uint16_t value) {
    const auto digits = uint16_digits(value);
    out.append(digits.data(), digits.size());
}

template <class Unit>
Result<std::uint64_t> parse_contact_address(Text<Unit> address) noexcept {
    const std::size_t n = address.size();
    const Result<std::uint64_t> word = read_piece(address, slice(n, 0, 3), 10, Arg::address);
    if (!word.ok()) return word;
    if (n < 4) return {0, {Error::index_out_of_range, Arg::address, {n, n}, 0, 0}};
    const Result<std::uint64_t> bit = read_piece(address, Span{3, 4}, 16, Arg::address);
    if (!bit.ok()) return bit;
    return {word.value * 16 + bit.value, {}};
}

template <class Unit>
Result<std::uint64_t> parse_register_address(Text<Unit> address) noexcept {
    return read_piece(address, Span{0, address.size()}, 10, Arg::address);
}

template <class Unit>
Result<std::uint16_t> parse_uint16_at(Text<Unit> text, std::size_t offset) noexcept {
    const Span field = slice(text.size(), static_cast<std::ptrdiff_t>(offset), static_cast<std::ptrdiff_t>(offset) + 4);
    if (field.size() == 4) {
        // Four hexadecimal digits, the usual case, need no general number reading.
        const int d0 = digit_value(text[field.start], 16), d1 = digit_value(text[field.start + 1], 16);
        const int d2 = digit_value(text[field.start + 2], 16), d3 = digit_value(text[field.start + 3], 16);
        if ((d0 | d1 | d2 | d3) >= 0) return {static_cast<std::uint16_t>((d2 << 12) | (d3 << 8) | (d0 << 4) | d1), {}};
    }
    const std::size_t mid = field.start + 2 < field.stop ? field.start + 2 : field.stop;
    const Result<std::uint64_t> lo = read_piece(text, Span{field.start, mid}, 16, Arg::data);
    if (!lo.ok()) return {0, lo.failure};
    const Result<std::uint64_t> hi = read_piece(text, Span{mid, field.stop}, 16, Arg::data);
    if (!hi.ok()) return {0, hi.failure};
    return {static_cast<std::uint16_t>((hi.value << 8) | lo.value), {}};
}

template <class Unit>
Result<std::uint16_t> parse_uint16(Text<Unit> data) noexcept {
    return parse_uint16_at(data, 0);
}

template <class Unit>
Result<std::uint32_t> parse_uint32(Text<Unit> data) noexcept {
    const Result<std::uint16_t> lo = parse_uint16_at(data, 0);
    if (!lo.ok()) return {0, lo.failure};
    const Result<std::uint16_t> hi = parse_uint16_at(data, 4);
    if (!hi.ok()) return {0, hi.failure};
    return {(static_cast<std::uint32_t>(hi.value) << 16) | lo.value, {}};
}

#define OZU_INSTANTIATE(Unit)                                                                 \
    template Result<std::uint64_t> parse_contact_address<Unit>(Text<Unit>) noexcept;          \
    template Result<std::uint64_t> parse_register_address<Unit>(Text<Unit>) noexcept;         \
    template Result<std::uint16_t> parse_uint16<Unit>(Text<Unit>) noexcept;                   \
    template Result<std::uint16_t> parse_uint16_at<Unit>(Text<Unit>, std::size_t) noexcept;   \
    template Result<std::uint32_t> parse_uint32<Unit>(Text<Unit>) noexcept;
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE

}  // namespace ozu::codec
