// A master's checks of the answer to one request, in the order the query makes them:
//
//  1. the answer's station field (empty or not hexadecimal: answer_unreadable);
//  2. the header: the answer begins with "%" (bad_head);
//  3. the length: at least kMinAnswerLength characters (too_short);
//  4. the block check: "**" skips it; otherwise two hexadecimal digits equal to the block check of
//     everything before them (block_check_mismatch);
//  5. the request's station field (request_unreadable);
//  6. the station numbers are equal, as numbers ("01" and "1" match) (other_station);
//  7. the type character: "!" makes an error answer, its code the two characters after it
//     (error_answer); an answer with no type character at all cannot be classified
//     (answer_unreadable, index_out_of_range);
//  8. the two command letters equal the request's (other_command);
//  9. accepted: the command part, from the command letters up to the last three characters.
//
// The result carries the pieces each failure's message names; answer_message writes the message
// the master reports, with the link's port text. Nothing here allocates except the messages, and
// nothing throws.
#pragma once

#include "ozu/codec/frame.hpp"
#include "ozu/codec/text.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ozu::protocol {

using codec::Span;

// The shortest answer: header, two station digits, type, two command letters, check, terminator.
inline constexpr std::size_t kMinAnswerLength = 9;

enum class AnswerStatus : std::uint8_t {
    answer_unreadable,     // `failure` in the answer: its station field, its block check (text
                           // with no UTF-8 form) or its type character
    bad_head,              // the first character (answer[0]) is not "%"
    too_short,             // `length` is below kMinAnswerLength
    block_check_mismatch,  // the check field is neither "**" nor the block check in hexadecimal
    request_unreadable,    // `failure` in the request's station field
    other_station,         // answer_station differs from request_station
    error_answer,          // "!": `code` holds the error code as sent
    other_command,         // `code` (answer) differs from `expected` (request)
    accepted,              // `part` is the command part
};

// A station number as read from a frame: its value when it fits 64 bits, and its digits.
struct StationField {
    std::uint64_t value = 0;
    bool fits = true;  // false: the digits are hexadecimal but name a number beyond 64 bits
    Span digits{};
};

struct CheckedAnswer {
    AnswerStatus status = AnswerStatus::answer_unreadable;
    codec::Failure failure{};  // answer_unreadable (spans in the answer), request_unreadable (in the request)
    std::size_t length = 0;    // the answer's length in characters
    StationField answer_station{};   // from check 1 on
    StationField request_station{};  // from check 5 on
    Span code{};      // from check 7 on: answer[command position : command position + 2]
    Span expected{};  // from check 8 on: request[command position : command position + 2]
    Span part{};      // accepted: answer[command position : -3]
};

// `request` is the frame as sent (terminator included), `answer` the frame received.
template <class UnitRequest, class UnitAnswer>
CheckedAnswer check_answer(codec::Text<UnitRequest> request, codec::Text<UnitAnswer> answer);

// Both as bytes, each byte one character (Latin-1).
CheckedAnswer check_answer(std::string_view request, std::string_view answer);

// Whether two station fields name the same number, however many digits they have.
template <class UnitA, class UnitB>
bool same_station(codec::Text<UnitA> a, Span a_digits, codec::Text<UnitB> b, Span b_digits) noexcept;

// The decimal digits of a station field (hexadecimal digits, either case), however long.
template <class Unit>
std::string station_decimal(codec::Text<Unit> text, Span digits);

// The message of an IOError-like failure (every status but accepted and the two unreadable ones),
// UTF-8, with `port` (UTF-8) naming the link:
//   bad_head              "Error:<port>:device response format invalid:begin with [<answer[0]>]"
//   too_short             "Error:<port>:device response format invalid:length too small:[<length>]"
//   block_check_mismatch  "Error:<port>:device response format invalid:block check mismatch"
//   other_station         "Error:<port>:station not match:expected <request station>, got <answer station>"
//   error_answer          "<port>:MEW communication error code(hex):[<code>]"
//   other_command         "Error:<port>:command not match:expected <expected>, got <code>"
// Empty for the other statuses.
template <class UnitRequest, class UnitAnswer>
std::string answer_message(const CheckedAnswer& checked, codec::Text<UnitRequest> request,
                           codec::Text<UnitAnswer> answer, std::string_view port);
std::string answer_message(const CheckedAnswer& checked, std::string_view request, std::string_view answer,
                           std::string_view port);

// "MewMasterBase:<port>:device response timeout.": no answer within the query's time-out.
std::string timeout_message(std::string_view port);

}  // namespace ozu::protocol
