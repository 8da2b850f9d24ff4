#include "ozu/native/station.hpp"

#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/protocol/request_decode.hpp"
#include "ozu/serial/frame_reader.hpp"

#include <chrono>

namespace ozu::native {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting station looks at its stop flag.
constexpr double kStopPollSeconds = 0.05;

// Bytes of one request. The first byte is waited for without limit, in slices short enough to see
// a stop request; each later byte waits up to the port's read time-out.
struct StoppableSource {
    serial::Port& port;
    const std::atomic<bool>& stop;
    bool first = true;

    int next(std::uint8_t& byte, serial::IoError& err) {
        if (port.read_buffered(&byte, 1) == 1) {
            first = false;
            return 1;
        }
        const std::optional<double> limit = first ? std::nullopt : port.timeout();
        const auto start = Clock::now();
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return 0;
            double slice = kStopPollSeconds;
            if (limit) {
                const double left = *limit - std::chrono::duration<double>(Clock::now() - start).count();
                if (left <= 0) return 0;
                if (left < slice) slice = left;
            }
            const std::ptrdiff_t got = port.read(&byte, 1, slice, err);
            if (got != 0) {
                first = false;
                return got > 0 ? 1 : -1;
            }
        }
    }
};

std::string_view span_of(std::string_view text, codec::Span span) { return text.substr(span.start, span.size()); }

bool is_answer_type(std::string_view frame) {
    const codec::Result<std::size_t> at = codec::frame_type_index(codec::as_text(frame));
    return at.ok() && at.value < frame.size() && (frame[at.value] == codec::kFeedback || frame[at.value] == codec::kError);
}

}  // namespace

Handler::~Handler() = default;

Station::Station(serial::Port& port, Handler& handler, StationOptions options)
    : port_(port), handler_(handler), options_(std::move(options)) {}

StationCounters Station::counters() const noexcept {
    return {answered_.load(std::memory_order_relaxed), ignored_.load(std::memory_order_relaxed),
            dropped_.load(std::memory_order_relaxed)};
}

std::optional<std::string> Station::answer(std::string_view request) {
    auto drop = [&](std::string_view why) -> std::optional<std::string> {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        if (options_.diagnostic) options_.diagnostic(std::string(why) + ": " + printable(request));
        return std::nullopt;
    };
    auto ignore = [&]() -> std::optional<std::string> {
        ignored_.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    };

    // The line never delivers a longer frame (the frame reader stops there); a caller that hands one
    // in directly gets no answer, so no answer can outgrow a frame by echoing the request's head.
    if (request.size() > protocol::kMaxFrameLength) return drop("frame longer than a line carries");
    const protocol::DecodedRequest decoded = protocol::decode_request(request);
    if (decoded.status == protocol::RequestStatus::invalid_frame) return drop("invalid frame");
    if (decoded.status == protocol::RequestStatus::unreadable) return drop("unreadable check or station field");
    if (protocol::not_for_this_station(options_.station, decoded)) return ignore();
    if (decoded.status == protocol::RequestStatus::field_failure) return drop("unreadable request field");

    const std::string_view head = span_of(request, decoded.head);
    auto sent = [&](std::string frame) -> std::optional<std::string> {
        answered_.fetch_add(1, std::memory_order_relaxed);
        return frame;
    };
    if (decoded.status == protocol::RequestStatus::error_answer) return sent(codec::error_frame(head, decoded.error_code));

    const std::uint64_t station = decoded.station;
    const std::string_view name = span_of(request, decoded.name);
    std::string data;
    Reply reply = Reply::ok();
    switch (decoded.cmd) {
        case codec::Command::RCS: {
            bool value = false;
            reply = handler_.get_coil(station, name, value);
            data.push_back(value ? '1' : '0');
            break;
        }
        case codec::Command::WCS:
            reply = handler_.set_coil(station, name, decoded.coil_value);
            break;
        case codec::Command::RCC:
        case codec::Command::RD: {
            read_values_.clear();
            reply = decoded.cmd == codec::Command::RCC
                        ? handler_.get_multi_coil_uint16(station, name, decoded.count, read_values_)
                        : handler_.get_multi_uint16(station, name, decoded.count, read_values_);
            if (reply.kind() != Reply::Kind::Ok) break;
            if (!protocol::answer_fits(head.size(), decoded.cmd, static_cast<std::int64_t>(read_values_.size()))) {
                if (options_.diagnostic) options_.diagnostic("handler returned more words than one answer holds");
                reply = Reply::error(-codec::kProcessError);
                break;
            }
            data.reserve(read_values_.size() * 4);
            for (std::uint16_t v : read_values_) codec::append_uint16(data, v);
            break;
        }
        case codec::Command::WCC:
            reply = handler_.set_multi_coil_uint16(station, name, decoded.values);
            break;
        case codec::Command::WD:
            reply = handler_.set_multi_uint16(station, name, decoded.values);
            break;
        case codec::Command::unknown:
            return sent(codec::error_frame(head, codec::kProcessUnknownCmd));
    }
    switch (reply.kind()) {
        case Reply::Kind::NoAnswer: return ignore();
        case Reply::Kind::Error: return sent(codec::error_frame(head, reply.code()));
        case Reply::Kind::Ok: break;
    }
    return sent(codec::answer_frame(head, decoded.cmd, data));
}

Result<void> Station::run() {
    StoppableSource source{port_, stop_};
    while (!stop_.load(std::memory_order_relaxed)) {
        source.first = true;
        serial::FrameResult got = serial::read_frame_from(source);
        if (options_.trace && !got.bytes.empty())
            options_.trace(Direction::Received, got.bytes, std::chrono::system_clock::now());
        switch (got.status) {
            case serial::FrameStatus::IoFailure:
                if (stop_.load(std::memory_order_relaxed)) return {};
                return link_failure(port_, "receiving", got.error);
            case serial::FrameStatus::NoResponse:
                continue;
            case serial::FrameStatus::FormatInvalid:
                if (stop_.load(std::memory_order_relaxed)) return {};
                dropped_.fetch_add(1, std::memory_order_relaxed);
                if (options_.diagnostic)
                    options_.diagnostic("incomplete or over-long frame: " + printable(got.bytes));
                continue;
            case serial::FrameStatus::Frame:
                break;
        }
        if (is_answer_type(got.bytes)) {  // another party's answer on a shared line
            ignored_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::optional<std::string> reply = answer(got.bytes);
        if (!reply) continue;
        if (options_.trace) options_.trace(Direction::Sent, *reply, std::chrono::system_clock::now());
        serial::IoError err;
        if (port_.write(reinterpret_cast<const std::uint8_t*>(reply->data()), reply->size(), err) < 0) {
            if (stop_.load(std::memory_order_relaxed)) return {};
            return link_failure(port_, "sending", err);
        }
    }
    return {};
}

}  // namespace ozu::native
