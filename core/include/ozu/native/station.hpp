// The native station: serves the requests that arrive on a port through a Handler with the same
// six data operations as the Python hooks. Requests are decoded and answered by the core's
// protocol functions; a handler may answer normally, answer with an error code, or send nothing.
#pragma once

#include "ozu/native/result.hpp"
#include "ozu/serial/port.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ozu::native {

// What a handler decided about one request.
class Reply {
public:
    static Reply ok() noexcept { return Reply(Kind::Ok, 0); }
    // Nothing is sent back (the station stays silent, as for a request it does not take).
    static Reply no_answer() noexcept { return Reply(Kind::NoAnswer, 0); }
    // An error answer with this code (written as "%02X", 1..255).
    static Reply error(int code) noexcept { return Reply(Kind::Error, code); }

    enum class Kind : std::uint8_t { Ok, NoAnswer, Error };
    Kind kind() const noexcept { return kind_; }
    int code() const noexcept { return code_; }

private:
    Reply(Kind kind, int code) noexcept : kind_(kind), code_(code) {}
    Kind kind_;
    int code_;
};

// The data operations. `station` is the station the request named; `name` is the address as
// the request carries it: a contact "R0012" (area letter, three word digits, one bit digit), a
// contact word start "R0010" (area letter, four word digits), a register start "D00100" (area
// letter, five digits). Read operations fill `values`/`value`; `count` may be 0 or negative when
// a request's end lies before its start. Called from the thread that runs the station.
class Handler {
public:
    virtual ~Handler();
    virtual Reply get_coil(std::uint64_t station, std::string_view name, bool& value) = 0;
    virtual Reply get_multi_coil_uint16(std::uint64_t station, std::string_view name, std::int64_t count,
                                        std::vector<std::uint16_t>& values) = 0;
    virtual Reply get_multi_uint16(std::uint64_t station, std::string_view name, std::int64_t count,
                                   std::vector<std::uint16_t>& values) = 0;
    virtual Reply set_coil(std::uint64_t station, std::string_view name, bool value) = 0;
    virtual Reply set_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                        std::span<const std::uint16_t> values) = 0;
    virtual Reply set_multi_uint16(std::uint64_t station, std::string_view name,
                                   std::span<const std::uint16_t> values) = 0;
};

struct StationOptions {
    std::uint64_t station = 1;  // 0 takes requests to every station
    TraceFn trace;              // every frame received and sent
    // One line about a frame that was dropped (invalid frame, undecodable field, handler refusal).
    std::function<void(std::string_view line)> diagnostic;
};

struct StationCounters {
    std::uint64_t answered = 0;  // normal and error answers sent
    std::uint64_t ignored = 0;   // requests for another station, answers of other parties, no_answer
    std::uint64_t dropped = 0;   // invalid frames and requests that could not be decoded
};

class Station {
public:
    // The port and the handler must outlive the station.
    Station(serial::Port& port, Handler& handler, StationOptions options = {});
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The answer to one request frame ("\r" included), or nothing when none is to be sent.
    std::optional<std::string> answer(std::string_view request);

    // Serves requests until stop() is called (returns ok) or the port fails (LinkFailure).
    Result<void> run();
    // Makes run() return within about 50 ms. Safe from any thread; not from a signal handler
    // (use request_stop_flag() there).
    void stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    // A flag run() polls; setting it to true has the effect of stop(). Lock-free, so a signal
    // handler may set it.
    std::atomic<bool>& request_stop_flag() noexcept { return stop_; }

    StationCounters counters() const noexcept;

private:
    serial::Port& port_;
    Handler& handler_;
    StationOptions options_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> answered_{0}, ignored_{0}, dropped_{0};
    std::vector<std::uint16_t> read_values_;  // reused between requests
};

}  // namespace ozu::native
