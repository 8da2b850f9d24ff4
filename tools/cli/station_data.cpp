#include "station_data.hpp"

#include "args.hpp"
#include "json.hpp"
#include "names.hpp"

#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace ozu::cli {

namespace {

using native::Reply;

// The request fields were read by the core's request decoding, except a contact's address.
// A name that does not read gives the station's processing-error answer.
Reply unreadable() { return Reply::error(-codec::kProcessError); }

// "R0012": area letter, then word * 16 + bit.
bool contact_of(std::string_view name, char& area, std::uint32_t& address) {
    if (name.size() != 5) return false;
    const auto parsed = codec::parse_contact_address(codec::as_text(name.substr(1)));
    if (!parsed.ok()) return false;
    area = name[0];
    address = static_cast<std::uint32_t>(parsed.value);
    return true;
}

// "R0010" or "D00100": area letter, then the decimal start number.
bool start_of(std::string_view name, char& area, std::uint32_t& number) {
    if (name.size() < 2) return false;
    const auto parsed = codec::parse_register_address(codec::as_text(name.substr(1)));
    if (!parsed.ok() || parsed.value > 0xFFFFFFFFu) return false;
    area = name[0];
    number = static_cast<std::uint32_t>(parsed.value);
    return true;
}

// The name a register of this area is saved under ("D" registers as "DT100").
std::string register_key(char area, std::uint32_t number) {
    std::string key;
    switch (area) {
        case 'D': key = "DT"; break;
        case 'L': key = "LD"; break;
        case 'F': key = "FL"; break;
        case 'S': key = "SV"; break;
        case 'E': key = "EV"; break;
        default: key.push_back(area); break;
    }
    key += std::to_string(number);
    return key;
}

std::string word_key(char area, std::uint32_t number) {
    std::string key = "W";
    key.push_back(area);
    key += std::to_string(number);
    return key;
}

std::string list_text(std::span<const std::uint16_t> values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

}  // namespace

// ----------------------------------------------------------------------------- map

void MapHandler::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().size() > 16 * 1024 * 1024) throw std::runtime_error(path + ": larger than 16 MiB");
    try {
        const json::Value doc = json::parse(text.str());
        if (!doc.is_object()) throw json::JsonError("expected an object at the top");
        for (const auto& [section, items] : doc.object()) {
            if (section != "registers" && section != "words" && section != "contacts")
                throw json::JsonError("unknown section \"" + section + "\" (expected registers, words, contacts)");
            if (!items.is_object()) throw json::JsonError("section \"" + section + "\" is not an object");
            for (const auto& [name, value] : items.object()) {
                Address a;
                try {
                    a = parse_address(name);
                } catch (const UsageError& e) {
                    throw json::JsonError(e.what());
                }
                const bool is_contact = section == "contacts";
                const Kind expected = is_contact ? Kind::Contact : section == "words" ? Kind::ContactWord : Kind::Register;
                if (a.kind != expected || a.count != 1)
                    throw json::JsonError("\"" + name + "\" does not belong in \"" + section + "\"");
                long long v = 0;
                if (const bool* b = std::get_if<bool>(&value.data)) v = *b;
                else if (const long long* n = std::get_if<long long>(&value.data)) v = *n;
                else throw json::JsonError("value of \"" + name + "\" is not an integer");
                if (v < 0 || v > (is_contact ? 1 : 0xFFFF))
                    throw json::JsonError("value of \"" + name + "\" is out of range");
                if (is_contact) {
                    std::uint16_t& word = words_[{a.area, a.number / 16}];
                    const auto bit = static_cast<std::uint16_t>(1u << (a.number % 16));
                    word = static_cast<std::uint16_t>(v ? word | bit : word & ~bit);
                } else {
                    (section == "words" ? words_ : registers_)[{a.area, a.number}] = static_cast<std::uint16_t>(v);
                }
            }
        }
    } catch (const json::JsonError& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

void MapHandler::save(const std::string& path) const {
    std::ostringstream out;
    out << "{\n  \"registers\": {";
    bool first = true;
    for (const auto& [key, value] : registers_) {
        out << (first ? "\n    " : ",\n    ") << json::quote(register_key(key.first, key.second)) << ": " << value;
        first = false;
    }
    out << (first ? "},\n" : "\n  },\n") << "  \"words\": {";
    first = true;
    for (const auto& [key, value] : words_) {
        out << (first ? "\n    " : ",\n    ") << json::quote(word_key(key.first, key.second))
            << ": " << value;
        first = false;
    }
    out << (first ? "}\n" : "\n  }\n") << "}\n";
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush()) throw std::runtime_error(path + ": cannot be written");
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) throw std::runtime_error(path + ": cannot be replaced");
}

Reply MapHandler::get_coil(std::uint64_t, std::string_view name, bool& value) {
    char area = 0;
    std::uint32_t address = 0;
    if (!contact_of(name, area, address)) return unreadable();
    auto it = words_.find({area, address / 16});
    value = it != words_.end() && (it->second >> (address % 16) & 1);
    return Reply::ok();
}

Reply MapHandler::set_coil(std::uint64_t, std::string_view name, bool value) {
    char area = 0;
    std::uint32_t address = 0;
    if (!contact_of(name, area, address)) return unreadable();
    std::uint16_t& word = words_[{area, address / 16}];
    const auto bit = static_cast<std::uint16_t>(1u << (address % 16));
    word = static_cast<std::uint16_t>(value ? word | bit : word & ~bit);
    return Reply::ok();
}

namespace {

Reply read_from(const std::map<std::pair<char, std::uint32_t>, std::uint16_t>& map, std::string_view name,
                std::int64_t count, std::vector<std::uint16_t>& values) {
    char area = 0;
    std::uint32_t start = 0;
    if (!start_of(name, area, start)) return unreadable();
    for (std::int64_t i = 0; i < count; ++i) {
        auto it = map.find({area, start + static_cast<std::uint32_t>(i)});
        values.push_back(it == map.end() ? 0 : it->second);
    }
    return Reply::ok();
}

Reply write_to(std::map<std::pair<char, std::uint32_t>, std::uint16_t>& map, std::string_view name,
               std::span<const std::uint16_t> values) {
    char area = 0;
    std::uint32_t start = 0;
    if (!start_of(name, area, start)) return unreadable();
    for (std::size_t i = 0; i < values.size(); ++i) map[{area, start + static_cast<std::uint32_t>(i)}] = values[i];
    return Reply::ok();
}

}  // namespace

Reply MapHandler::get_multi_coil_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                        std::vector<std::uint16_t>& values) {
    return read_from(words_, name, count, values);
}

Reply MapHandler::get_multi_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                                   std::vector<std::uint16_t>& values) {
    return read_from(registers_, name, count, values);
}

Reply MapHandler::set_multi_coil_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) {
    return write_to(words_, name, values);
}

Reply MapHandler::set_multi_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) {
    return write_to(registers_, name, values);
}

// ----------------------------------------------------------------------------- random

RandomHandler::RandomHandler() : random_(std::random_device{}()) {}

Reply RandomHandler::get_coil(std::uint64_t, std::string_view, bool& value) {
    value = (random_() & 1) != 0;
    return Reply::ok();
}

Reply RandomHandler::get_multi_coil_uint16(std::uint64_t, std::string_view, std::int64_t count,
                                           std::vector<std::uint16_t>& values) {
    for (std::int64_t i = 0; i < count; ++i) values.push_back(static_cast<std::uint16_t>(random_() & 0xFFFF));
    return Reply::ok();
}

Reply RandomHandler::get_multi_uint16(std::uint64_t station, std::string_view name, std::int64_t count,
                                      std::vector<std::uint16_t>& values) {
    return get_multi_coil_uint16(station, name, count, values);
}

Reply RandomHandler::set_coil(std::uint64_t, std::string_view name, bool value) {
    std::printf("Slave: Contact %s is set to %s\n", native::printable(name).c_str(), value ? "True" : "False");
    std::fflush(stdout);
    return Reply::ok();
}

Reply RandomHandler::set_multi_coil_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) {
    std::printf("Slave: Contact Crow %s wrote to %s\n", native::printable(name).c_str(), list_text(values).c_str());
    std::fflush(stdout);
    return Reply::ok();
}

Reply RandomHandler::set_multi_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) {
    std::printf("Slave: Registers %s wrote to %s\n", native::printable(name).c_str(), list_text(values).c_str());
    std::fflush(stdout);
    return Reply::ok();
}

}  // namespace ozu::cli
