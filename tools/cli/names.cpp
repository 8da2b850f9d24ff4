#include "names.hpp"

#include "args.hpp"

#include <cctype>
#include <cstdio>

namespace ozu::cli {

namespace {

bool all_digits(const std::string& s, int base) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (base == 10 ? !std::isdigit(c) : !std::isxdigit(c)) return false;
    return true;
}

std::uint32_t decimal(const std::string& digits) {
    std::uint32_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<std::uint32_t>(c - '0');
    return v;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

Address parse_address(const std::string& text) {
    Address a;
    std::string name = text;
    if (auto colon = text.find(':'); colon != std::string::npos) {
        name = text.substr(0, colon);
        auto count = parse_integer(text.substr(colon + 1));
        if (!count || *count < 1 || *count > 100000) throw UsageError("bad count in " + text + ": expected 1 to 100000");
        a.count = *count;
    }
    name = upper(name);
    a.name = name;
    const auto bad = [&]() { return UsageError("not a contact, contact word or register name: " + text); };
    if (name.size() >= 3 && name[0] == 'W' && std::isalpha(static_cast<unsigned char>(name[1]))) {
        const std::string digits = name.substr(2);
        if (!all_digits(digits, 10) || digits.size() > 4) throw bad();
        a.kind = Kind::ContactWord;
        a.area = name[1];
        a.number = decimal(digits);
        return a;
    }
    for (const char* area : {"DT", "LD", "FL", "SV", "EV", "D"}) {
        const std::string prefix = area;
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (!all_digits(digits, 10)) continue;
        if (digits.size() > 5 || decimal(digits) > 99999) throw bad();
        a.kind = Kind::Register;
        a.area = name[0];
        a.number = decimal(digits);
        return a;
    }
    if (name.size() >= 2 && std::string("XYRLTC").find(name[0]) != std::string::npos) {
        const std::string address = name.substr(1);
        const std::string word = address.substr(0, address.size() - 1);
        if (address.size() > 4 || (!word.empty() && !all_digits(word, 10)) ||
            !std::isxdigit(static_cast<unsigned char>(address.back())))
            throw bad();
        a.kind = Kind::Contact;
        a.area = name[0];
        const char bit = address.back();
        a.number = (word.empty() ? 0 : decimal(word)) * 16 +
                   static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(bit)) ? bit - '0' : bit - 'A' + 10);
        return a;
    }
    throw bad();
}

Format parse_format(const std::string& text) {
    if (text == "u16") return Format::U16;
    if (text == "i16") return Format::I16;
    if (text == "u32") return Format::U32;
    if (text == "i32") return Format::I32;
    if (text == "bits") return Format::Bits;
    throw UsageError("--as: expected u16, i16, u32, i32 or bits, not " + text);
}

Format default_format(Kind kind) { return kind == Kind::Contact ? Format::Bits : Format::U16; }

void check_format(const Address& address, Format format) {
    if (address.kind == Kind::Contact && format != Format::Bits)
        throw UsageError(address.name + " is a contact: it reads and writes only as bits");
}

std::string item_name(const Address& address, Format format, std::int64_t i) {
    char buffer[32];
    const bool wide = format == Format::U32 || format == Format::I32;
    const auto at = address.number + static_cast<std::uint32_t>(wide ? 2 * i : i);
    switch (address.kind) {
        case Kind::Contact:
            std::snprintf(buffer, sizeof buffer, "%c%03u%X", address.area, at / 16 % 1000, at % 16);
            return buffer;
        case Kind::ContactWord:
            std::snprintf(buffer, sizeof buffer, "W%c%u", address.area, at);
            return buffer;
        case Kind::Register: {
            // Keep the area as written ("DT100" stays "DT").
            std::string area = address.name;
            while (!area.empty() && std::isdigit(static_cast<unsigned char>(area.back()))) area.pop_back();
            return area + std::to_string(at);
        }
    }
    return address.name;
}

std::vector<std::uint16_t> parse_value(const std::string& text, Format format) {
    if (format == Format::Bits) {
        const std::string v = upper(text);
        if (v == "1" || v == "ON" || v == "TRUE") return {1};
        if (v == "0" || v == "OFF" || v == "FALSE") return {0};
        throw UsageError("not a contact value (0/1, on/off, true/false): " + text);
    }
    const auto v = parse_integer(text);
    long long lo = 0, hi = 0;
    switch (format) {
        case Format::U16: hi = 0xFFFF; break;
        case Format::I16: lo = -0x8000; hi = 0x7FFF; break;
        case Format::U32: hi = 0xFFFFFFFFLL; break;
        case Format::I32: lo = -0x80000000LL; hi = 0x7FFFFFFF; break;
        case Format::Bits: break;
    }
    if (!v || *v < lo || *v > hi)
        throw UsageError("value " + text + " is not an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    const auto bits = static_cast<std::uint32_t>(*v);
    if (format == Format::U16 || format == Format::I16) return {static_cast<std::uint16_t>(bits & 0xFFFF)};
    return {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)};
}

}  // namespace ozu::cli
