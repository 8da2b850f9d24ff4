// The station side's view of a request and its answers: fields read at fixed offsets from the
// command position, and the normal and error answer frames.
//
// `pos` below is the index just after the command letters (command position + length of the
// command code). Pieces are cut with the host's slicing rules, so a request that ends early gives
// short or empty pieces and the strict number reading reports them (invalid_literal, arg data,
// spans positioned in the request).
#pragma once

#include "ozu/codec/frame.hpp"
#include "ozu/codec/text.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace ozu::codec {

// RCC/WCC: name = request[pos:pos+5] (area letter and four-digit start word); the end word is
// request[pos+5:pos+9]. Count = end - start + 1, reading the end first. May be 0 or negative.
template <class Unit>
Result<std::int64_t> contact_word_count_at(Text<Unit> request, std::size_t pos) noexcept;

// RD/WD: name = request[pos:pos+6] (area letter and five-digit start register); the end register
// is request[pos+6:pos+11]. Count = end - start + 1, reading the end first. May be 0 or negative.
template <class Unit>
Result<std::int64_t> register_count_at(Text<Unit> request, std::size_t pos) noexcept;

// The normal answer: head + "$" + the first two letters of the command + data, then the block
// check and "\r". `head` is the request's text before its type character (ASCII: "%" and the
// station digits as received) and `data` the ASCII answer data.
std::string answer_frame(std::string_view head, Command cmd, std::string_view data);

// The error answer: head + "!" + the code as "%02X" (negated when negative: -3 gives "03"),
// then the block check and "\r".
std::string error_frame(std::string_view head, int code);

// `body` followed by its block check digits and "\r" (body ASCII).
std::string with_tail(std::string body);

}  // namespace ozu::codec
