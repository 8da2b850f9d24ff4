// Frame layout and frame-level checks.
//
// A frame is "%", the station number in hexadecimal (two digits or more), a type character
// ("#" request, "$" answer, "!" error answer), the command code, data, two block-check digits (or
// "**" to skip the check) and "\r". The station field has no fixed width, so the type character is
// found by scanning (station_end).
//
// Every function here is pure and never throws. Index results follow the host language's rules
// for strings: slices clamp, a single character read past the end is an index_out_of_range
// failure, and a position of -1 means "the last character" where a function says so.
#pragma once

#include "ozu/codec/text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ozu::codec {

// Constants of the protocol, as the module exposes them.
inline constexpr int kMaxMultiCoilCount = 8;
inline constexpr std::string_view kHexDigits = "0123456789ABCDEF";
inline constexpr std::string_view kDecDigits = "0123456789";
inline constexpr int kProcessNone = -1;
inline constexpr int kProcessError = -2;
inline constexpr int kProcessUnknownCmd = -3;
inline constexpr char kHead = '%';
inline constexpr char kTail = '\r';
inline constexpr char kQuery = '#';
inline constexpr char kError = '!';
inline constexpr char kFeedback = '$';
inline constexpr char kIgnoreBcc = '*';
inline constexpr int kBroadcast = 0;
inline constexpr std::string_view kCmdUnknown = "UNKNOWN";

// The commands the codec knows.
enum class Command : std::uint8_t { RCS, WCS, RCC, WCC, RD, WD, unknown };

// "RCS", "WCS", "RCC", "WCC", "RD", "WD" or "UNKNOWN".
std::string_view command_text(Command cmd) noexcept;

// ----------------------------------------------------------------------------- block check

// Exclusive-or of bytes (the block check of UTF-8 text already encoded).
std::uint8_t xor_bytes(const std::uint8_t* bytes, std::size_t size) noexcept;

// Exclusive-or of the UTF-8 encoding of the text, without encoding it. A surrogate code point
// cannot be encoded: encode_failed over the whole text (arg data).
template <class Unit>
Result<std::uint8_t> block_check(Text<Unit> text) noexcept;

// The two upper-case hexadecimal digits of a check value, then "\r".
std::array<char, 3> tail_of(std::uint8_t check) noexcept;

// Whether the block check of a whole frame (terminator included) is acceptable:
//  - the check field is frame[-3:-1]; fewer than two characters there: index_out_of_range;
//  - if either of its characters is '*', the result is whether both are ("**" skips the check);
//  - otherwise the field must be two hexadecimal digits (invalid_literal base 16 over the field)
//    equal to the block check of frame[:-3] (encode_failed over that prefix if it has a
//    surrogate).
template <class Unit>
Result<bool> crc_is_ok(Text<Unit> frame) noexcept;

// ----------------------------------------------------------------------------- layout

// Scans from index 0: at the first "\r" or "*" returns -1; at the first "#", "$" or "!" returns
// its index; without any of them returns the length of the text.
template <class Unit>
std::ptrdiff_t station_end(Text<Unit> text) noexcept;

// station_end + 1: the index of the command code (0 when station_end is -1).
template <class Unit>
std::ptrdiff_t command_position(Text<Unit> text) noexcept;

// The command code at `position` (a command position, >= 0): the three characters there if they
// are RCS, WCS, RCC or WCC; else RD or WD if the first two are; else unknown. Case-sensitive.
template <class Unit>
Command parse_command_at(Text<Unit> text, std::ptrdiff_t position) noexcept;

template <class Unit>
Command parse_command(Text<Unit> text) noexcept;

// Index of the type character: text[station_end], where -1 selects the last character; an end
// at the length (no type character) is index_out_of_range.
template <class Unit>
Result<std::size_t> frame_type_index(Text<Unit> text) noexcept;

// Whether rx is a normal answer to tx: with edge = station_end(rx), tx[:edge] == rx[:edge], then
// rx[edge] is "$" (index_out_of_range, arg rx, when rx ends there), then
// tx[edge+1:edge+3] == rx[edge+1:edge+3]. Stops at the first condition that fails.
template <class UnitTx, class UnitRx>
Result<bool> header_matched(Text<UnitTx> tx, Text<UnitRx> rx) noexcept;

// The station field text[1:station_end(text)] (with station_end -1 it runs to the next-to-last
// character).
template <class Unit>
Span station_span(Text<Unit> text) noexcept;

// The station number: the station field read strictly as hexadecimal. invalid_literal or
// too_large over the field (arg data).
template <class Unit>
Result<std::uint64_t> parse_station(Text<Unit> text) noexcept;

// ----------------------------------------------------------------------------- answers

// The text before the type character, text[:command_position - 1]: the head an answer repeats
// (with no type character it is the whole text less its last character).
template <class Unit>
Span head_span(Text<Unit> text) noexcept;

// The command part of an answer as the master returns it: answer[command_position:-3].
template <class Unit>
Span command_part(Text<Unit> answer) noexcept;

// The two characters of an error answer's code: answer[command_position:command_position + 2].
template <class Unit>
Span error_code_span(Text<Unit> answer) noexcept;

// Body of an error answer after its head: "!" and the code as "%02X" of the negated code when
// negative (-3 gives "!03"). Returned as ASCII.
std::string_view error_body(int code, std::array<char, 24>& buffer) noexcept;

}  // namespace ozu::codec
