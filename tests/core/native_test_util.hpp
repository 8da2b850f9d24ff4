// What the native Master/Station tests share: a handler keeping registers and contact words in
// memory, and a station serving it on its own thread.
#pragma once

#include "ozu/native/master.hpp"
#include "ozu/native/station.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>

namespace ozu::native::test_support {

inline std::unique_ptr<ozu::serial::Port> open_port(const std::string& name, std::optional<double> timeout = 0.5) {
    auto port = ozu::native::open({.port = name, .timeout = timeout});
    EXPECT_TRUE(port) << (port ? "" : port.error().message);
    return port ? std::move(port).value() : nullptr;
}

// Registers and contact words in memory; records what it was asked.
class Memory : public Handler {
public:
    std::map<std::string, std::uint16_t> cells;  // "D100", "R10" (contact word 10 of area R)
    std::string last_name;
    std::uint64_t last_station = 0;
    std::optional<Reply> forced;  // answer every request with this instead

    Reply get_coil(std::uint64_t station, std::string_view name, bool& value) override {
        note(station, name);
        const unsigned word = std::stoul(std::string(name.substr(1, 3)));
        const unsigned bit = std::stoul(std::string(name.substr(4, 1)), nullptr, 16);
        value = cells[std::string(1, name[0]) + std::to_string(word)] >> bit & 1;
        return result();
    }
    Reply set_coil(std::uint64_t station, std::string_view name, bool value) override {
        note(station, name);
        const unsigned word = std::stoul(std::string(name.substr(1, 3)));
        const unsigned bit = std::stoul(std::string(name.substr(4, 1)), nullptr, 16);
        auto& cell = cells[std::string(1, name[0]) + std::to_string(word)];
        cell = static_cast<std::uint16_t>(value ? cell | 1u << bit : cell & ~(1u << bit));
        return result();
    }
    Reply get_multi_coil_uint16(std::uint64_t station, std::string_view name, std::int64_t count,
                                std::vector<std::uint16_t>& values) override {
        return read(station, name, count, values);
    }
    Reply get_multi_uint16(std::uint64_t station, std::string_view name, std::int64_t count,
                           std::vector<std::uint16_t>& values) override {
        return read(station, name, count, values);
    }
    Reply set_multi_coil_uint16(std::uint64_t station, std::string_view name,
                                std::span<const std::uint16_t> values) override {
        return write(station, name, values);
    }
    Reply set_multi_uint16(std::uint64_t station, std::string_view name, std::span<const std::uint16_t> values) override {
        return write(station, name, values);
    }

private:
    void note(std::uint64_t station, std::string_view name) {
        last_station = station;
        last_name = name;
    }
    Reply result() const { return forced.value_or(Reply::ok()); }
    Reply read(std::uint64_t station, std::string_view name, std::int64_t count, std::vector<std::uint16_t>& values) {
        note(station, name);
        const unsigned long start = std::stoul(std::string(name.substr(1)));
        for (std::int64_t i = 0; i < count; ++i) values.push_back(cells[std::string(1, name[0]) + std::to_string(start + i)]);
        return result();
    }
    Reply write(std::uint64_t station, std::string_view name, std::span<const std::uint16_t> values) {
        note(station, name);
        const unsigned long start = std::stoul(std::string(name.substr(1)));
        for (std::size_t i = 0; i < values.size(); ++i) cells[std::string(1, name[0]) + std::to_string(start + i)] = values[i];
        return result();
    }
};

// A station serving `memory` on one port in its own thread.
class Serving {
public:
    Serving(ozu::serial::Port& port, Handler& handler, StationOptions options = {})
        : station(port, handler, std::move(options)), thread([this] { outcome = station.run(); }) {}
    ~Serving() { (void)finish(); }
    Result<void> finish() {
        station.stop();
        if (thread.joinable()) thread.join();
        return outcome;
    }

    Station station;
    Result<void> outcome;
    std::thread thread;
};

}  // namespace ozu::native::test_support
