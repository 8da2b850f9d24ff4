// Addresses as a user writes them on the command line, and the values read from or written to them.
//
//   contacts        an area letter X, Y, R, L, T or C and a contact address: "R0012", "X10A", "R12"
//                   (decimal word digits, then one hexadecimal bit digit)
//   contact words   "W", an area letter and a decimal word number: "WR10", "WX0"
//   registers       a register area (D, DT, LD, FL, SV, EV) and a decimal register number: "DT100"
//
// NAME:COUNT names COUNT consecutive items from NAME (COUNT 32-bit values with --as u32/i32).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ozu::cli {

enum class Kind : std::uint8_t { Contact, ContactWord, Register };
enum class Format : std::uint8_t { U16, I16, U32, I32, Bits };

struct Address {
    Kind kind = Kind::Register;
    std::string name;        // as given, without the count
    char area = 'D';         // the area letter on the line
    std::uint32_t number = 0;  // register or word number; for contacts word * 16 + bit
    std::int64_t count = 1;
};

// Throws UsageError for anything that is not such a name.
Address parse_address(const std::string& text);

// "u16", "i16", "u32", "i32", "bits"; throws UsageError otherwise.
Format parse_format(const std::string& text);
// The format an address reads and writes with when --as is not given.
Format default_format(Kind kind);
// Throws UsageError when the format does not apply to the kind (contacts read only as bits).
void check_format(const Address& address, Format format);

// The name of the i-th item from `address` ("DT100" + 1 gives "DT101"; "R000F" + 1 gives "R0010").
std::string item_name(const Address& address, Format format, std::int64_t i);

// A value given on the command line, as the 16-bit words it is written as (two per 32-bit value,
// low word first; contacts 0 or 1). Throws UsageError when out of range for the format.
std::vector<std::uint16_t> parse_value(const std::string& text, Format format);

}  // namespace ozu::cli
