// The native master: one request out, the first answer back within the query time-out, checked
// with the core's answer checks. Typed reads and writes of contacts, contact words and data
// registers, each one request. Works over any serial::Port; safe to call from several threads
// (requests go out one at a time).
//
//     auto port = ozu::native::open({.port = "/dev/ttyUSB0", .baudrate = 19200});
//     ozu::native::Master master(*port.value());
//     auto words = master.get_multi_uint16(1, "DT100", 4);
//     if (!words) std::cerr << words.error().message << '\n';
#pragma once

#include "ozu/native/result.hpp"
#include "ozu/serial/port.hpp"

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ozu::native {

struct MasterOptions {
    std::optional<double> query_timeout = 1.0;  // seconds; nullopt waits without limit
    TraceFn trace;                              // called for every frame sent and received
};

class Master {
public:
    // The port must outlive the master.
    explicit Master(serial::Port& port, MasterOptions options = {});
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    // Sends one complete request frame ("\r" added when missing) and returns the command part of
    // its answer: the text after the type character up to the block check ("RD3412" for
    // "%01$RD341212\r").
    Result<std::string> query(std::string_view request);

    // Contacts: `name` is an area letter and a contact address ("R0012", "X10A").
    Result<bool> get_coil(std::uint64_t station, std::string_view name);
    Result<void> set_coil(std::uint64_t station, std::string_view name, bool value);

    // Contact words: `name` is "W", an area letter and a word number ("WR10").
    Result<std::uint16_t> get_coil_uint16(std::uint64_t station, std::string_view name);
    Result<std::vector<std::uint16_t>> get_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                                             std::int64_t count);
    Result<void> set_coil_uint16(std::uint64_t station, std::string_view name, std::uint16_t value);
    Result<void> set_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                       std::span<const std::uint16_t> values);

    // Data registers: `name` is an area name and a register number ("DT100", "D100", "LD5").
    // 32-bit values take two registers, the low word first.
    Result<std::uint16_t> get_uint16(std::uint64_t station, std::string_view name);
    Result<std::int16_t> get_int16(std::uint64_t station, std::string_view name);
    Result<std::uint32_t> get_uint32(std::uint64_t station, std::string_view name);
    Result<std::int32_t> get_int32(std::uint64_t station, std::string_view name);
    Result<std::vector<std::uint16_t>> get_multi_uint16(std::uint64_t station, std::string_view name,
                                                        std::int64_t count);
    Result<std::vector<std::int16_t>> get_multi_int16(std::uint64_t station, std::string_view name,
                                                      std::int64_t count);
    Result<std::vector<std::uint32_t>> get_multi_uint32(std::uint64_t station, std::string_view name,
                                                        std::int64_t count);
    Result<std::vector<std::int32_t>> get_multi_int32(std::uint64_t station, std::string_view name,
                                                      std::int64_t count);

    Result<void> set_uint16(std::uint64_t station, std::string_view name, std::uint16_t value);
    Result<void> set_int16(std::uint64_t station, std::string_view name, std::int16_t value);
    Result<void> set_uint32(std::uint64_t station, std::string_view name, std::uint32_t value);
    Result<void> set_int32(std::uint64_t station, std::string_view name, std::int32_t value);
    Result<void> set_multi_uint16(std::uint64_t station, std::string_view name, std::span<const std::uint16_t> values);
    Result<void> set_multi_int16(std::uint64_t station, std::string_view name, std::span<const std::int16_t> values);
    Result<void> set_multi_uint32(std::uint64_t station, std::string_view name, std::span<const std::uint32_t> values);
    Result<void> set_multi_int32(std::uint64_t station, std::string_view name, std::span<const std::int32_t> values);

    serial::Port& port() noexcept { return port_; }

private:
    Result<std::string> exchange(std::string_view request);
    Result<std::vector<std::uint16_t>> read_words(std::string_view request, std::int64_t count);

    serial::Port& port_;
    MasterOptions options_;
    std::mutex query_mutex_;         // one request on the line at a time
    bool stale_input_ = false;        // a query gave up: what arrives next may be a late answer
};

}  // namespace ozu::native
