// Results of the native API: a value or a typed error, never an exception.
#pragma once

#include "ozu/serial/port.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ozu::native {

enum class ErrorKind : std::uint8_t {
    Timeout,          // no answer within the query time-out
    ErrorAnswer,      // the station answered with an error frame; `code` holds its code
    InvalidAnswer,    // an answer arrived but failed a check (format, station, command, length)
    LinkFailure,      // the port failed, was closed or could not be opened
    InvalidArgument,  // a name, count or value that no request can carry; nothing was sent
};

struct Error {
    ErrorKind kind = ErrorKind::LinkFailure;
    int code = -1;        // ErrorAnswer: the code the station sent (hexadecimal on the line); else -1
    std::string message;  // one readable line

    static Error make(ErrorKind kind, std::string message, int code = -1) { return {kind, code, std::move(message)}; }
};

// "timeout", "error answer", "invalid answer", "link failure", "invalid argument".
std::string_view kind_name(ErrorKind kind) noexcept;

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    // Only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    // Only when !ok().
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit on purpose

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

// Frame tracing: every frame read or written, with its direction and the time it was seen.
enum class Direction : std::uint8_t { Sent, Received };
using TraceFn = std::function<void(Direction, std::string_view frame, std::chrono::system_clock::time_point)>;

// The frame as one line: printable ASCII as it is, "\r" and "\n" escaped, other bytes as "\xNN".
std::string printable(std::string_view frame);

// Opens a port by name (see serial::open_port); a failure is a LinkFailure naming the port.
Result<std::unique_ptr<serial::Port>> open(const serial::Settings& settings);

// The LinkFailure for a failed port operation: "<port>: <what>: <reason>".
Error link_failure(const serial::Port& port, std::string_view what, const serial::IoError& err);

}  // namespace ozu::native
