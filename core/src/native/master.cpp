#include "ozu/native/master.hpp"

#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/codec/requests.hpp"
#include "ozu/protocol/answer_check.hpp"
#include "ozu/protocol/request_decode.hpp"
#include "ozu/serial/frame_reader.hpp"

#include <chrono>
#include <cstdio>
#include <limits>

namespace ozu::native {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of one answer: buffered ones first, then the port, each waiting at most until the
// query's deadline.
struct DeadlineSource {
    serial::Port& port;
    std::optional<Clock::time_point> deadline;

    int next(std::uint8_t& byte, serial::IoError& err) {
        if (port.read_buffered(&byte, 1) == 1) return 1;
        std::optional<double> wait;
        if (deadline) {
            const auto left = std::chrono::duration<double>(*deadline - Clock::now()).count();
            wait = left > 0 ? left : 0.0;
        }
        const std::ptrdiff_t got = port.read(&byte, 1, wait, err);
        return got > 0 ? 1 : static_cast<int>(got);
    }
};

Error invalid_argument(std::string message) { return Error::make(ErrorKind::InvalidArgument, std::move(message)); }

std::string quoted(std::string_view name) {
    std::string out(1, '\'');
    out += printable(name);
    out += '\'';
    return out;
}

// Why the codec refused to build a request for `name`.
Error build_failure(const codec::Failure& failure, std::string_view name) {
    switch (failure.error) {
        case codec::Error::bad_name:
            return invalid_argument("name " + quoted(name) + " holds a character that no request can carry");
        case codec::Error::field_too_wide:
            return invalid_argument("address of " + quoted(name) + " is longer than its four-digit field");
        case codec::Error::register_out_of_range:
            return invalid_argument("register number of " + quoted(name) + " is outside 0..99999");
        case codec::Error::negative_station:
            return invalid_argument("station number is negative");
        default:
            return invalid_argument("malformed name " + quoted(name));
    }
}

Result<std::int64_t> station_number(std::uint64_t station) {
    if (station > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return invalid_argument("station number " + std::to_string(station) + " is too large");
    return static_cast<std::int64_t>(station);
}

// The request text, or why it cannot be built.
Result<std::string> built(const codec::Result<codec::Frame>& frame, std::string_view name) {
    if (!frame.ok()) return build_failure(frame.failure, name);
    return frame.value.str();
}

// A read of `count` words must be answerable in one frame.
Result<void> check_count(std::uint64_t station, codec::Command cmd, std::int64_t count) {
    if (count < 1) return invalid_argument("count must be at least 1, not " + std::to_string(count));
    const codec::Ascii head = codec::header_prefix(station);
    if (!protocol::answer_fits(head.size - 1, cmd, count))
        return invalid_argument("count " + std::to_string(count) + " is too large: the answer would not fit in one frame");
    return {};
}

Result<void> check_word_name(std::string_view name) {
    if (name.empty() || name[0] != 'W') return invalid_argument("contact word " + quoted(name) + " must begin with \"W\"");
    return {};
}

template <class T, class F>
auto map(Result<T> result, F&& f) -> Result<decltype(f(std::move(result).value()))> {
    if (!result) return result.error();
    return f(std::move(result).value());
}

Result<void> done(const Result<std::string>& answer) {
    if (!answer) return answer.error();
    return {};
}

// Frames that are not requests go to the answer checks (as the link hands "$" and "!" frames to a
// waiting query); requests of other parties on a shared line are passed over.
bool is_answer(std::string_view frame) {
    const codec::Result<std::size_t> at = codec::frame_type_index(codec::as_text(frame));
    return !(at.ok() && at.value < frame.size() && frame[at.value] == codec::kQuery);
}

// The error code as a number: two hexadecimal digits, else -1.
int error_code_value(std::string_view code) {
    if (code.size() != 2) return -1;
    const int hi = codec::digit_value(static_cast<unsigned char>(code[0]), 16);
    const int lo = codec::digit_value(static_cast<unsigned char>(code[1]), 16);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::vector<std::int64_t> widen(std::span<const std::uint16_t> words) { return {words.begin(), words.end()}; }

}  // namespace

Master::Master(serial::Port& port, MasterOptions options) : port_(port), options_(std::move(options)) {}

Result<std::string> Master::query(std::string_view request) {
    std::lock_guard lock(query_mutex_);
    return exchange(request);
}

Result<std::string> Master::exchange(std::string_view request_in) {
    std::string request(request_in);
    if (request.empty() || request.back() != codec::kTail) request.push_back(codec::kTail);

    serial::IoError err;
    if (stale_input_) {
        // The last query gave up: whatever it left on the line must not pass for this answer.
        if (!port_.reset_input_buffer(err)) return link_failure(port_, "discarding input", err);
        stale_input_ = false;
    }
    const auto deadline = options_.query_timeout
                              ? std::optional(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                                 std::chrono::duration<double>(*options_.query_timeout)))
                              : std::nullopt;
    if (options_.trace) options_.trace(Direction::Sent, request, std::chrono::system_clock::now());
    if (port_.write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(), err) < 0) {
        stale_input_ = true;
        return link_failure(port_, "sending", err);
    }

    DeadlineSource source{port_, deadline};
    for (;;) {
        serial::FrameResult got = serial::read_frame_from(source);
        if (options_.trace && !got.bytes.empty())
            options_.trace(Direction::Received, got.bytes, std::chrono::system_clock::now());
        switch (got.status) {
            case serial::FrameStatus::IoFailure:
                stale_input_ = true;
                return link_failure(port_, "receiving", got.error);
            case serial::FrameStatus::NoResponse: {
                stale_input_ = true;
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", options_.query_timeout.value_or(0));
                return Error::make(ErrorKind::Timeout, port_.name() + ": no answer within " + seconds + " s");
            }
            case serial::FrameStatus::FormatInvalid:
                stale_input_ = true;
                return Error::make(ErrorKind::InvalidAnswer,
                                   port_.name() + ": incomplete or over-long answer: " + printable(got.bytes));
            case serial::FrameStatus::Frame:
                break;
        }
        if (!is_answer(got.bytes)) continue;  // a request on a shared line (or our own echo)
        const protocol::CheckedAnswer check = protocol::check_answer(request, got.bytes);
        if (check.status == protocol::AnswerStatus::accepted) return got.bytes.substr(check.part.start, check.part.size());
        if (check.status == protocol::AnswerStatus::error_answer) {
            const std::string_view code = std::string_view(got.bytes).substr(check.code.start, check.code.size());
            return Error::make(ErrorKind::ErrorAnswer, protocol::answer_message(check, request, got.bytes, port_.name()),
                               error_code_value(code));
        }
        stale_input_ = true;
        std::string message = protocol::answer_message(check, request, got.bytes, port_.name());
        if (message.empty()) message = port_.name() + ": unreadable answer";
        return Error::make(ErrorKind::InvalidAnswer, message + ": " + printable(got.bytes));
    }
}

Result<std::vector<std::uint16_t>> Master::read_words(std::string_view request, std::int64_t count) {
    Result<std::string> part = query(request);
    if (!part) return part.error();
    const std::string& fb = part.value();
    const auto n = static_cast<std::size_t>(count);
    if (fb.size() != n * 4 + 2)
        return Error::make(ErrorKind::InvalidAnswer, port_.name() + ": Invalid feedback format:[" + printable(fb) + "]");
    std::vector<std::uint16_t> words(n);
    const codec::Text8 text = codec::as_text(fb);
    for (std::size_t i = 0; i < n; ++i) {
        const codec::Result<std::uint16_t> word = codec::parse_uint16_at(text, 2 + 4 * i);
        if (!word.ok())
            return Error::make(ErrorKind::InvalidAnswer, port_.name() + ": word " + std::to_string(i) +
                                                             " is not hexadecimal: [" + printable(fb) + "]");
        words[i] = word.value;
    }
    return words;
}

// ----------------------------------------------------------------------------- contacts

Result<bool> Master::get_coil(std::uint64_t station, std::string_view name) {
    auto st = station_number(station);
    if (!st) return st.error();
    auto request = built(codec::build_read_contact(st.value(), codec::as_text(name)), name);
    if (!request) return request.error();
    Result<std::string> part = query(request.value());
    if (!part) return part.error();
    if (part.value().size() < 3)
        return Error::make(ErrorKind::InvalidAnswer, port_.name() + ": contact answer without its value:[" +
                                                         printable(part.value()) + "]");
    return part.value()[2] == '1';
}

Result<void> Master::set_coil(std::uint64_t station, std::string_view name, bool value) {
    auto st = station_number(station);
    if (!st) return st.error();
    auto request = built(codec::build_write_contact(st.value(), codec::as_text(name), value), name);
    if (!request) return request.error();
    return done(query(request.value()));
}

Result<std::vector<std::uint16_t>> Master::get_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                                                 std::int64_t count) {
    auto st = station_number(station);
    if (!st) return st.error();
    if (auto ok = check_word_name(name); !ok) return ok.error();
    if (auto ok = check_count(station, codec::Command::RCC, count); !ok) return ok.error();
    auto request = built(codec::build_read_contact_words(st.value(), codec::as_text(name), std::nullopt, count), name);
    if (!request) return request.error();
    return read_words(request.value(), count);
}

Result<std::uint16_t> Master::get_coil_uint16(std::uint64_t station, std::string_view name) {
    return map(get_multi_coil_uint16(station, name, 1), [](std::vector<std::uint16_t> w) { return w[0]; });
}

Result<void> Master::set_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                           std::span<const std::uint16_t> values) {
    auto st = station_number(station);
    if (!st) return st.error();
    if (auto ok = check_word_name(name); !ok) return ok.error();
    if (values.empty()) return invalid_argument("no values to write");
    const std::vector<std::int64_t> wide = widen(values);
    auto request = built(codec::build_write_contact_words(st.value(), codec::as_text(name), wide), name);
    if (!request) return request.error();
    return done(query(request.value()));
}

Result<void> Master::set_coil_uint16(std::uint64_t station, std::string_view name, std::uint16_t value) {
    return set_multi_coil_uint16(station, name, std::span<const std::uint16_t>(&value, 1));
}

// ----------------------------------------------------------------------------- registers

Result<std::vector<std::uint16_t>> Master::get_multi_uint16(std::uint64_t station, std::string_view name,
                                                            std::int64_t count) {
    auto st = station_number(station);
    if (!st) return st.error();
    if (auto ok = check_count(station, codec::Command::RD, count); !ok) return ok.error();
    auto request = built(codec::build_read_registers(st.value(), codec::as_text(name), count), name);
    if (!request) return request.error();
    return read_words(request.value(), count);
}

Result<std::vector<std::int16_t>> Master::get_multi_int16(std::uint64_t station, std::string_view name,
                                                          std::int64_t count) {
    return map(get_multi_uint16(station, name, count), [](std::vector<std::uint16_t> words) {
        std::vector<std::int16_t> out;
        out.reserve(words.size());
        for (std::uint16_t w : words) out.push_back(static_cast<std::int16_t>(codec::as_int16(w)));
        return out;
    });
}

Result<std::vector<std::uint32_t>> Master::get_multi_uint32(std::uint64_t station, std::string_view name,
                                                            std::int64_t count) {
    if (count < 1) return invalid_argument("count must be at least 1, not " + std::to_string(count));
    if (count > std::numeric_limits<std::int64_t>::max() / 2) return invalid_argument("count is too large");
    return map(get_multi_uint16(station, name, count * 2), [](std::vector<std::uint16_t> words) {
        std::vector<std::uint32_t> out;
        out.reserve(words.size() / 2);
        for (std::size_t i = 0; i + 1 < words.size(); i += 2)
            out.push_back(static_cast<std::uint32_t>(words[i + 1]) << 16 | words[i]);
        return out;
    });
}

Result<std::vector<std::int32_t>> Master::get_multi_int32(std::uint64_t station, std::string_view name,
                                                          std::int64_t count) {
    return map(get_multi_uint32(station, name, count), [](std::vector<std::uint32_t> values) {
        std::vector<std::int32_t> out;
        out.reserve(values.size());
        for (std::uint32_t v : values) out.push_back(static_cast<std::int32_t>(codec::as_int32(v)));
        return out;
    });
}

Result<std::uint16_t> Master::get_uint16(std::uint64_t station, std::string_view name) {
    return map(get_multi_uint16(station, name, 1), [](std::vector<std::uint16_t> w) { return w[0]; });
}

Result<std::int16_t> Master::get_int16(std::uint64_t station, std::string_view name) {
    return map(get_multi_int16(station, name, 1), [](std::vector<std::int16_t> w) { return w[0]; });
}

Result<std::uint32_t> Master::get_uint32(std::uint64_t station, std::string_view name) {
    return map(get_multi_uint32(station, name, 1), [](std::vector<std::uint32_t> v) { return v[0]; });
}

Result<std::int32_t> Master::get_int32(std::uint64_t station, std::string_view name) {
    return map(get_multi_int32(station, name, 1), [](std::vector<std::int32_t> v) { return v[0]; });
}

Result<void> Master::set_multi_uint16(std::uint64_t station, std::string_view name,
                                      std::span<const std::uint16_t> values) {
    auto st = station_number(station);
    if (!st) return st.error();
    if (values.empty()) return invalid_argument("no values to write");
    const std::vector<std::int64_t> wide = widen(values);
    auto request = built(codec::build_write_registers(st.value(), codec::as_text(name), wide), name);
    if (!request) return request.error();
    return done(query(request.value()));
}

Result<void> Master::set_multi_int16(std::uint64_t station, std::string_view name,
                                     std::span<const std::int16_t> values) {
    std::vector<std::uint16_t> words;
    words.reserve(values.size());
    for (std::int16_t v : values) words.push_back(codec::pattern16(v));
    return set_multi_uint16(station, name, words);
}

Result<void> Master::set_multi_uint32(std::uint64_t station, std::string_view name,
                                      std::span<const std::uint32_t> values) {
    std::vector<std::uint16_t> words;
    words.reserve(values.size() * 2);
    for (std::uint32_t v : values) {
        words.push_back(static_cast<std::uint16_t>(v & 0xFFFF));
        words.push_back(static_cast<std::uint16_t>(v >> 16));
    }
    return set_multi_uint16(station, name, words);
}

Result<void> Master::set_multi_int32(std::uint64_t station, std::string_view name,
                                     std::span<const std::int32_t> values) {
    std::vector<std::uint32_t> patterns;
    patterns.reserve(values.size());
    for (std::int32_t v : values) patterns.push_back(codec::pattern32(v));
    return set_multi_uint32(station, name, patterns);
}

Result<void> Master::set_uint16(std::uint64_t station, std::string_view name, std::uint16_t value) {
    return set_multi_uint16(station, name, std::span<const std::uint16_t>(&value, 1));
}

Result<void> Master::set_int16(std::uint64_t station, std::string_view name, std::int16_t value) {
    return set_multi_int16(station, name, std::span<const std::int16_t>(&value, 1));
}

Result<void> Master::set_uint32(std::uint64_t station, std::string_view name, std::uint32_t value) {
    return set_multi_uint32(station, name, std::span<const std::uint32_t>(&value, 1));
}

Result<void> Master::set_int32(std::uint64_t station, std::string_view name, std::int32_t value) {
    return set_multi_int32(station, name, std::span<const std::int32_t>(&value, 1));
}

}  // namespace ozu::native
