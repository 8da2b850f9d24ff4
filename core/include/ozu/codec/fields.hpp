// Field encodings inside a frame's data: the request header, contact and register addresses, and
// 16-/32-bit values (four hexadecimal digits per 16-bit word, low byte first; 32-bit values low
// word first; signed values as their two's-complement patterns).
//
// Readers take the text of the field and read it at fixed offsets with the host's slicing rules:
// a piece cut short by the end of the text is read with the digits it has, an empty piece is an
// invalid literal. Spans in failures are positions in the text given.
#pragma once

#include "ozu/codec/text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ozu::codec {

// Short ASCII text held by value (digits, headers).
struct Ascii {
    std::array<char, 40> chars{};
    std::size_t size = 0;

    std::string_view view() const noexcept { return {chars.data(), size}; }
    void push(char c) noexcept { chars[size++] = c; }
    void append(std::string_view s) noexcept {
        for (char c : s) push(c);
    }
};

// ----------------------------------------------------------------------------- writing

// "%02X" of a non-negative number: upper-case hexadecimal, at least two digits.
Ascii hex2(std::uint64_t value) noexcept;
// "%02X" of any 64-bit number (a negative one is "-" and the digits of its magnitude, "-1").
Ascii hex2_signed(std::int64_t value) noexcept;

// "%", the station as "%02X", and "#": the header up to the command code.
Ascii header_prefix(std::uint64_t station) noexcept;

// Number of "0" characters written before a contact address of this length (4 - length, or 0).
constexpr std::size_t contact_padding(std::size_t address_length) noexcept {
    return address_length < 4 ? 4 - address_length : 0;
}

// The four digits of a 16-bit value, low byte first: 0x1234 gives "3412".
std::array<char, 4> uint16_digits(std::uint16_t value) noexcept;
// The eight digits of a 32-bit value, low word first: 0x12345678 gives "78563412".
std::array<char, 8> uint32_digits(std::uint32_t value) noexcept;

// The text the 16-bit field writer appends for `value`:
//  - negative: assertion_failed while assertions are enabled; without them the low and high parts
//    (value & 255, value >> 8) are written with "%02X" as they are ("FF-1" for -1);
//  - above 65535: value_out_of_range (base 16), nothing written;
//  - otherwise the four digits.
Result<Ascii> uint16_field(std::int64_t value, bool assertions) noexcept;
// The same for the 32-bit writer: low word, then value >> 16 through the 16-bit writer;
// above 4294967295: value_out_of_range (base 32).
Result<Ascii> uint32_field(std::int64_t value, bool assertions) noexcept;

// Appends four digits of a 16-bit value (answer data of word reads).
void append_uint16(std::string& out, std::uint16_t value);

// ----------------------------------------------------------------------------- reading

// Contact address: address[0:3] read as decimal (the word), then address[3] (index_out_of_range
// when missing) as one hexadecimal digit (the bit): word * 16 + bit. Arg address.
template <class Unit>
Result<std::uint64_t> parse_contact_address(Text<Unit> address) noexcept;

// Register address: the whole text read as decimal (too_large possible). Arg address.
template <class Unit>
Result<std::uint64_t> parse_register_address(Text<Unit> address) noexcept;

// 16-bit value: data[0:2] is the low byte, data[2:4] the high byte, both hexadecimal, read in
// that order. Characters after the fourth are ignored. Arg data.
template <class Unit>
Result<std::uint16_t> parse_uint16(Text<Unit> data) noexcept;

// parse_uint16 of text[offset:offset + 4], with spans positioned in `text` (fixed-offset fields
// of a request, such as the values of a write).
template <class Unit>
Result<std::uint16_t> parse_uint16_at(Text<Unit> text, std::size_t offset) noexcept;

// 32-bit value: parse_uint16 of data[0:4] (low word) and then of data[4:8] (high word).
template <class Unit>
Result<std::uint32_t> parse_uint32(Text<Unit> data) noexcept;

// Two's-complement readings of 16- and 32-bit patterns, and back.
constexpr std::int32_t as_int16(std::uint32_t pattern) noexcept {
    return pattern >= 0x8000u ? static_cast<std::int32_t>(pattern) - 0x10000 : static_cast<std::int32_t>(pattern);
}
constexpr std::int64_t as_int32(std::uint64_t pattern) noexcept {
    return pattern >= 0x80000000u ? static_cast<std::int64_t>(pattern) - 0x100000000 : static_cast<std::int64_t>(pattern);
}
constexpr bool fits_int16(std::int64_t v) noexcept { return v >= -32768 && v <= 32767; }
constexpr bool fits_int32(std::int64_t v) noexcept { return v >= -2147483648LL && v <= 2147483647LL; }
constexpr std::uint16_t pattern16(std::int64_t v) noexcept { return static_cast<std::uint16_t>(v & 0xFFFF); }
constexpr std::uint32_t pattern32(std::int64_t v) noexcept { return static_cast<std::uint32_t>(v & 0xFFFFFFFF); }

}  // namespace ozu::codec
