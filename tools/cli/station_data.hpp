// What `ozu-mew station` answers from: a register and contact-word map (loaded from and saved to
// JSON), or random values.
//
// Map file:
//   {"registers": {"DT100": 1234}, "words": {"WR10": 4660}, "contacts": {"R0012": true}}
// Contacts are bits of the contact words of their area ("R0012" is bit 2 of "WR1"). Saving writes
// "registers" and "words" with every item that was loaded or written.
#pragma once

#include "ozu/native/station.hpp"

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>

namespace ozu::cli {

class MapHandler : public native::Handler {
public:
    // Throws std::runtime_error with one line ("FILE: why") for an unreadable or malformed file.
    void load(const std::string& path);
    // Throws std::runtime_error when the file cannot be written.
    void save(const std::string& path) const;

    native::Reply get_coil(std::uint64_t, std::string_view name, bool& value) override;
    native::Reply get_multi_coil_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                        std::vector<std::uint16_t>& values) override;
    native::Reply get_multi_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                   std::vector<std::uint16_t>& values) override;
    native::Reply set_coil(std::uint64_t, std::string_view name, bool value) override;
    native::Reply set_multi_coil_uint16(std::uint64_t, std::string_view name,
                                        std::span<const std::uint16_t> values) override;
    native::Reply set_multi_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) override;

private:
    using Key = std::pair<char, std::uint32_t>;  // area letter, word or register number
    std::map<Key, std::uint16_t> words_;
    std::map<Key, std::uint16_t> registers_;
};

// Random values for every read, like the demonstration station; writes are reported on standard
// output, one line each, and not stored.
class RandomHandler : public native::Handler {
public:
    RandomHandler();

    native::Reply get_coil(std::uint64_t, std::string_view name, bool& value) override;
    native::Reply get_multi_coil_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                        std::vector<std::uint16_t>& values) override;
    native::Reply get_multi_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                   std::vector<std::uint16_t>& values) override;
    native::Reply set_coil(std::uint64_t, std::string_view name, bool value) override;
    native::Reply set_multi_coil_uint16(std::uint64_t, std::string_view name,
                                        std::span<const std::uint16_t> values) override;
    native::Reply set_multi_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) override;

private:
    std::mt19937 random_;
};

}  // namespace ozu::cli
