#include "ozu/protocol/request_decode.hpp"

#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"

#include <algorithm>

namespace ozu::protocol {

using codec::Error;
using codec::Result;
using codec::slice;

template <class Unit>
bool decode_frame(Text<Unit> text, DecodedRequest& out) {
    out.status = RequestStatus::invalid_frame;
    if (text.size() < kMinRequestLength || text[0] != static_cast<Unit>(codec::kHead)) return false;
    const Result<bool> check = codec::crc_is_ok(text);
    if (!check.ok()) {
        out.status = RequestStatus::unreadable;
        out.failure = check.failure;
        return false;
    }
    if (!check.value) return false;

    // One scan for the type character serves the station field and the head.
    const std::ptrdiff_t type_at = codec::station_end(text);
    out.station_span = slice(text.size(), 1, type_at);
    const Result<std::uint64_t> station = codec::read_piece(text, out.station_span, 16, codec::Arg::data);
    if (station.ok()) {
        out.station = station.value;
    } else if (station.failure.error == Error::too_large) {
        out.station_fits = false;
    } else {
        out.status = RequestStatus::unreadable;
        out.failure = station.failure;
        return false;
    }
    out.head = slice(text.size(), 0, type_at);
    return true;
}

namespace {

Span span_of(std::size_t length, std::size_t start, std::size_t width) {
    const auto at = static_cast<std::ptrdiff_t>(start);
    return slice(length, at, at + static_cast<std::ptrdiff_t>(width));
}

bool fail(DecodedRequest& out, const Failure& failure) {
    out.status = RequestStatus::field_failure;
    out.failure = failure;
    return false;
}

// Step 4: the fields of a known command, `pos` being the index after its letters.
template <class Unit>
bool read_fields(Text<Unit> text, std::size_t pos, DecodedRequest& out) {
    const std::size_t n = text.size();
    switch (out.cmd) {
        case Command::RCS:
            out.name = span_of(n, pos, 5);
            return true;
        case Command::WCS:
            out.name = span_of(n, pos, 5);
            if (pos + 5 >= n) return fail(out, {Error::index_out_of_range, codec::Arg::data, {n, n}, 0, 0});
            out.coil_value = text[pos + 5] != static_cast<Unit>('0');
            return true;
        case Command::RCC:
        case Command::WCC:
        case Command::RD:
        case Command::WD: break;
        case Command::unknown: return true;
    }
    const bool words = out.cmd == Command::RCC || out.cmd == Command::WCC;
    out.name = span_of(n, pos, words ? 5 : 6);
    const Result<std::int64_t> count =
        words ? codec::contact_word_count_at(text, pos) : codec::register_count_at(text, pos);
    if (!count.ok()) return fail(out, count.failure);
    out.count = count.value;
    if (out.cmd == Command::RCC || out.cmd == Command::RD || count.value <= 0) return true;

    // Each value takes four characters, so a request cut short fails within n / 4 + 1 of them.
    const std::size_t first = pos + (words ? 9 : 11);
    const auto wanted = static_cast<std::size_t>(count.value);
    out.values.reserve(std::min(wanted, n / 4 + 1));
    for (std::size_t i = 0; i < wanted; ++i) {
        const Result<std::uint16_t> v = codec::parse_uint16_at(text, first + 4 * i);
        if (!v.ok()) return fail(out, v.failure);
        out.values.push_back(v.value);
    }
    return true;
}

}  // namespace

template <class Unit>
void decode_command(Text<Unit> text, DecodedRequest& out) {
    const std::ptrdiff_t at = codec::command_position(text);
    out.cmd = codec::parse_command_at(text, at);
    const auto pos = static_cast<std::size_t>(at) + codec::command_text(out.cmd).size();
    if (!read_fields(text, pos, out)) return;

    if (out.cmd == Command::unknown) {
        out.status = RequestStatus::error_answer;
        out.error_code = codec::kProcessUnknownCmd;
    } else if (!answer_fits(out.head.size(), out.cmd, out.count)) {
        out.status = RequestStatus::error_answer;
        out.error_code = codec::kProcessError;
    } else {
        out.status = RequestStatus::command;
    }
}

template <class Unit>
DecodedRequest decode_request(Text<Unit> text) {
    DecodedRequest out;
    if (decode_frame(text, out)) decode_command(text, out);
    return out;
}

DecodedRequest decode_request(std::string_view request) { return decode_request(codec::as_text(request)); }

#define OZU_INSTANTIATE(Unit)                                                  \
    template bool decode_frame<Unit>(Text<Unit>, DecodedRequest&);             \
    template void decode_command<Unit>(Text<Unit>, DecodedRequest&);           \
    template DecodedRequest decode_request<Unit>(Text<Unit>);
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE

}  // namespace ozu::protocol
