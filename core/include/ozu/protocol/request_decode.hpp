// A station's view of one received request: the frame checks, the station number, the command and
// its fields, or the error code the station answers with, in the order a station makes its checks:
//
//  1. frame: at least kMinRequestLength characters, "%" first, an acceptable block check ("**"
//     skips it); tested in this order, so a short text is never indexed and its check never read.
//     A check field that is neither "**"-like nor hexadecimal cannot be read (unreadable);
//  2. the station number between "%" and the type character (unreadable when it is empty or not
//     hexadecimal);
//  3. the station decision, which is the caller's (a station may let it be replaced): a request
//     that is not addressed to this station gets no answer and goes no further;
//  4. the command code and the fields it has at fixed offsets after the command letters, reading
//     a range's end before its start, then each written value in order (field_failure);
//  5. an unknown command is answered with kProcessUnknownCmd; a request whose normal answer would
//     not fit in one frame (kMaxFrameLength, carriage return included) is answered with
//     kProcessError, so a short request can never make a station send more than the line carries;
//  6. otherwise the command's handler is called with the station, the name and the count, value
//     or values.
//
// decode_request makes every step at once (all are pure) and reports where the request stops;
// a caller runs its own steps (the report of an invalid frame, the station decision, the handler)
// in the order above. Nothing here allocates except the written values, and nothing throws.
#pragma once

#include "ozu/codec/frame.hpp"
#include "ozu/codec/text.hpp"
#include "ozu/serial/frame_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace ozu::protocol {

using codec::Command;
using codec::Failure;
using codec::Span;
using codec::Text;

// The shortest request examined beyond the frame check.
inline constexpr std::size_t kMinRequestLength = 9;
// The longest frame on the line, carriage return included.
inline constexpr std::size_t kMaxFrameLength = serial::kMaxFrameLength;

// Where the handling of a request stops. The first two end it before the station decision; the
// others apply only to a request that the station takes.
enum class RequestStatus : std::uint8_t {
    invalid_frame,  // too short, not "%" first, or a wrong block check: reported, no answer
    unreadable,     // `failure` in the check field or the station field: the request ends with it
    field_failure,  // `failure` reading a field of the command (after the station decision)
    error_answer,   // answer with the error answer for `error_code`
    command,        // call the handler of `cmd`
};

// True when the station decision comes before this outcome, that is the frame and its station
// number were read.
constexpr bool station_known(RequestStatus status) noexcept {
    return status != RequestStatus::invalid_frame && status != RequestStatus::unreadable;
}

struct DecodedRequest {
    RequestStatus status = RequestStatus::invalid_frame;
    // unreadable and field_failure: what could not be read; spans are positions in the request.
    // index_out_of_range for a WCS without its value character, invalid_literal for a number,
    // encode_failed for a block check over text that has no UTF-8 form.
    Failure failure{};

    // Known once the frame passed (see station_known).
    std::uint64_t station = 0;  // the station number, when it fits 64 bits
    bool station_fits = true;   // false: station_span holds only hexadecimal digits but more than 64 bits
    Span station_span{};        // the station digits as received
    Span head{};                // the text before the type character, as every answer repeats it

    // Known when the station decision came: the command, and for `command` its fields.
    Command cmd = Command::unknown;
    Span name{};                        // RCS/WCS: area letter and contact; RCC/WCC: area and start
                                        // word; RD/WD: area and start register (as received)
    std::int64_t count = 0;             // RCC/WCC/RD/WD: end - start + 1 (0 or negative allowed)
    bool coil_value = false;            // WCS: the value character is not "0"
    std::vector<std::uint16_t> values;  // WCC/WD: max(count, 0) words, in order
    int error_code = 0;                 // error_answer: codec::kProcessUnknownCmd or kProcessError
};

template <class Unit>
DecodedRequest decode_request(Text<Unit> request);

// The two halves of decode_request, for a caller that makes the station decision in between and
// reads no further for a request to another station. decode_frame makes steps 1 and 2: false when
// the request ends there (`out.status` says how), true when the station decision comes next.
// decode_command then makes steps 4 to 6.
template <class Unit>
bool decode_frame(Text<Unit> request, DecodedRequest& out);
template <class Unit>
void decode_command(Text<Unit> request, DecodedRequest& out);

// The request as bytes, each byte one character (Latin-1), as a native station reads the line.
DecodedRequest decode_request(std::string_view request);

// The default station decision: a request is not for a station whose own number is not 0 when it
// names another station that is not 0 (a station 0 takes every request; every station takes a
// request to station 0).
constexpr bool not_for_this_station(std::uint64_t own, const DecodedRequest& request) noexcept {
    if (own == 0) return false;
    if (request.station_fits && request.station == own) return false;
    return !(request.station_fits && request.station == 0);
}

// Length, carriage return included, of the normal answer to `cmd` after a head of `head_size`
// characters: head, "$", two command letters, the data (one character for RCS, four per word
// for RCC and RD with `count` words, none for writes), two check digits and "\r".
constexpr std::size_t answer_length(std::size_t head_size, Command cmd, std::int64_t count) noexcept {
    std::size_t data = 0;
    if (cmd == Command::RCS) data = 1;
    if ((cmd == Command::RCC || cmd == Command::RD) && count > 0) {
        // Four decimal digits of words or five of registers: count stays far below any overflow,
        // but a caller's own count may not.
        const auto words = static_cast<std::uint64_t>(count);
        data = words > kMaxFrameLength ? kMaxFrameLength + 1 : static_cast<std::size_t>(words) * 4;
    }
    return head_size + 3 + data + 3;
}

constexpr bool answer_fits(std::size_t head_size, Command cmd, std::int64_t count) noexcept {
    return answer_length(head_size, cmd, count) <= kMaxFrameLength;
}

}  // namespace ozu::protocol
