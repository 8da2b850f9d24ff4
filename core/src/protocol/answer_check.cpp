#include "ozu/protocol/answer_check.hpp"

#include <cstdio>
#include <vector>

namespace ozu::protocol {
namespace {

using codec::Error;
using codec::Result;
using codec::Text;

template <class Unit>
bool read_station(Text<Unit> text, StationField& out, codec::Failure& failure) {
    out.digits = codec::station_span(text);
    const Result<std::uint64_t> station = codec::parse_station(text);
    if (station.ok()) {
        out.value = station.value;
        return true;
    }
    if (station.failure.error == Error::too_large) {
        out.fits = false;
        return true;
    }
    failure = station.failure;
    return false;
}

bool is_hex(std::uint32_t c) { return codec::digit_value(c, 16) >= 0; }

// Check 4. 1 accepted, 0 mismatch, -1 when the text has no UTF-8 form (failure set).
template <class Unit>
int block_check_passes(Text<Unit> answer, codec::Failure& failure) {
    const std::size_t n = answer.size();
    const std::uint32_t hi = answer[n - 3];
    const std::uint32_t lo = answer[n - 2];
    if (hi == codec::kIgnoreBcc && lo == codec::kIgnoreBcc) return 1;
    if (!is_hex(hi) || !is_hex(lo)) return 0;
    const Result<bool> ok = codec::crc_is_ok(answer);
    if (!ok.ok()) {
        failure = ok.failure;
        return -1;
    }
    return ok.value ? 1 : 0;
}

template <class A, class B>
bool same_text(Text<A> a, Span sa, Text<B> b, Span sb) {
    if (sa.size() != sb.size()) return false;
    for (std::size_t i = 0; i < sa.size(); ++i)
        if (static_cast<std::uint32_t>(a[sa.start + i]) != static_cast<std::uint32_t>(b[sb.start + i])) return false;
    return true;
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        // A lone surrogate is written as its three bytes, as a "surrogatepass" encoder does.
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

template <class Unit>
void append_piece(std::string& out, Text<Unit> text, Span span) {
    for (std::size_t i = span.start; i < span.stop; ++i) append_utf8(out, text[i]);
}

}  // namespace

template <class UnitA, class UnitB>
bool same_station(Text<UnitA> a, Span sa, Text<UnitB> b, Span sb) noexcept {
    while (sa.start < sa.stop && a[sa.start] == '0') ++sa.start;
    while (sb.start < sb.stop && b[sb.start] == '0') ++sb.start;
    if (sa.size() != sb.size()) return false;
    for (std::size_t i = 0; i < sa.size(); ++i)
        if (codec::digit_value(a[sa.start + i], 16) != codec::digit_value(b[sb.start + i], 16)) return false;
    return true;
}

template <class Unit>
std::string station_decimal(Text<Unit> text, Span digits) {
    // Little-endian limbs of nine decimal digits each.
    std::vector<std::uint32_t> limbs{0};
    for (std::size_t i = digits.start; i < digits.stop; ++i) {
        std::uint64_t carry = static_cast<std::uint64_t>(codec::digit_value(text[i], 16) < 0 ? 0 : codec::digit_value(text[i], 16));
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t v = static_cast<std::uint64_t>(limb) * 16 + carry;
            limb = static_cast<std::uint32_t>(v % 1000000000u);
            carry = v / 1000000000u;
        }
        if (carry) limbs.push_back(static_cast<std::uint32_t>(carry));
    }
    std::string out = std::to_string(limbs.back());
    char buffer[16];
    for (std::size_t i = limbs.size() - 1; i-- > 0;) {
        std::snprintf(buffer, sizeof buffer, "%09u", static_cast<unsigned>(limbs[i]));
        out += buffer;
    }
    return out;
}

template <class UnitRequest, class UnitAnswer>
CheckedAnswer check_answer(Text<UnitRequest> request, Text<UnitAnswer> answer) {
    CheckedAnswer out;
    const std::size_t n = answer.size();
    out.length = n;
    if (!read_station(answer, out.answer_station, out.failure)) return out;
    // An answer whose station field reads has at least "%" or another character before it.
    if (answer[0] != static_cast<UnitAnswer>(codec::kHead)) {
        out.status = AnswerStatus::bad_head;
        return out;
    }
    if (n < kMinAnswerLength) {
        out.status = AnswerStatus::too_short;
        return out;
    }
    const int check = block_check_passes(answer, out.failure);
    if (check < 0) return out;
    if (check == 0) {
        out.status = AnswerStatus::block_check_mismatch;
        return out;
    }
    if (!read_station(request, out.request_station, out.failure)) {
        out.status = AnswerStatus::request_unreadable;
        return out;
    }
    const std::ptrdiff_t cmd_idx = codec::command_position(answer);
    const StationField& theirs = out.answer_station;
    const StationField& ours = out.request_station;
    const bool same = theirs.fits && ours.fits ? theirs.value == ours.value
                                               : same_station(request, ours.digits, answer, theirs.digits);
    if (!same) {
        out.status = AnswerStatus::other_station;
        return out;
    }
    const Result<std::size_t> type_at = codec::frame_type_index(answer);
    if (!type_at.ok()) {
        out.failure = type_at.failure;
        return out;
    }
    out.code = codec::slice(n, cmd_idx, cmd_idx + 2);
    if (answer[type_at.value] == static_cast<UnitAnswer>(codec::kError)) {
        out.status = AnswerStatus::error_answer;
        return out;
    }
    const std::ptrdiff_t req_idx = codec::command_position(request);
    out.expected = codec::slice(request.size(), req_idx, req_idx + 2);
    if (!same_text(request, out.expected, answer, out.code)) {
        out.status = AnswerStatus::other_command;
        return out;
    }
    out.part = codec::command_part(answer);
    out.status = AnswerStatus::accepted;
    return out;
}

CheckedAnswer check_answer(std::string_view request, std::string_view answer) {
    return check_answer(codec::as_text(request), codec::as_text(answer));
}

template <class UnitRequest, class UnitAnswer>
std::string answer_message(const CheckedAnswer& checked, Text<UnitRequest> request, Text<UnitAnswer> answer,
                           std::string_view port) {
    std::string m;
    auto prefixed = [&](std::string_view detail) {
        m = "Error:";
        m.append(port);
        m.push_back(':');
        m.append(detail);
    };
    auto station = [](auto text, const StationField& field) {
        return field.fits ? std::to_string(field.value) : station_decimal(text, field.digits);
    };
    switch (checked.status) {
        case AnswerStatus::bad_head:
            prefixed("device response format invalid:begin with [");
            append_piece(m, answer, {0, answer.empty() ? 0u : 1u});
            m.push_back(']');
            break;
        case AnswerStatus::too_short:
            prefixed("device response format invalid:length too small:[");
            m += std::to_string(checked.length);
            m.push_back(']');
            break;
        case AnswerStatus::block_check_mismatch:
            prefixed("device response format invalid:block check mismatch");
            break;
        case AnswerStatus::other_station:
            prefixed("station not match:expected ");
            m += station(request, checked.request_station);
            m += ", got ";
            m += station(answer, checked.answer_station);
            break;
        case AnswerStatus::error_answer:
            m.assign(port);
            m += ":MEW communication error code(hex):[";
            append_piece(m, answer, checked.code);
            m.push_back(']');
            break;
        case AnswerStatus::other_command:
            prefixed("command not match:expected ");
            append_piece(m, request, checked.expected);
            m += ", got ";
            append_piece(m, answer, checked.code);
            break;
        case AnswerStatus::answer_unreadable:
        case AnswerStatus::request_unreadable:
        case AnswerStatus::accepted: break;
    }
    return m;
}

std::string answer_message(const CheckedAnswer& checked, std::string_view request, std::string_view answer,
                           std::string_view port) {
    return answer_message(checked, codec::as_text(request), codec::as_text(answer), port);
}

std::string timeout_message(std::string_view port) {
    std::string m = "MewMasterBase:";
    m.append(port);
    m += ":device response timeout.";
    return m;
}

#define OZU_INSTANTIATE_PAIR(A, B)                                                                      \
    template CheckedAnswer check_answer<A, B>(Text<A>, Text<B>);                                        \
    template bool same_station<A, B>(Text<A>, Span, Text<B>, Span) noexcept;                            \
    template std::string answer_message<A, B>(const CheckedAnswer&, Text<A>, Text<B>, std::string_view);
#define OZU_INSTANTIATE(A)                                  \
    OZU_INSTANTIATE_PAIR(A, std::uint8_t)                   \
    OZU_INSTANTIATE_PAIR(A, std::uint16_t)                  \
    OZU_INSTANTIATE_PAIR(A, std::uint32_t)                  \
    template std::string station_decimal<A>(Text<A>, Span);
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE
#undef OZU_INSTANTIATE_PAIR

}  // namespace ozu::protocol
