// The station map file as `ozu-mew station --map` reads it, and the command-line names and values
// the tool reads: any bytes either parse or fail with a UsageError or a JSON error, never worse.
//
// Input: byte 0 picks what the rest is: a map document (even), or a name and a value separated by
// the first space (odd). Checked: no crash, no undefined behaviour, no other exception; a parsed
// name gives item names that parse back to the same kind and area.
#include "args.hpp"
#include "json.hpp"
#include "names.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        try {
            (void)ozu::cli::json::parse(text);
        } catch (const ozu::cli::json::JsonError&) {
        }
        return 0;
    }
    const auto space = text.find(' ');
    const std::string name = text.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : text.substr(space + 1);
    try {
        const ozu::cli::Address a = ozu::cli::parse_address(name);
        const ozu::cli::Format f = ozu::cli::default_format(a.kind);
        const ozu::cli::Address again = ozu::cli::parse_address(ozu::cli::item_name(a, f, 0));
        require(again.kind == a.kind && again.area == a.area && again.number == a.number);
        (void)ozu::cli::parse_value(value, f);
    } catch (const ozu::cli::UsageError&) {
    }
    (void)ozu::cli::parse_integer(value);
    (void)ozu::cli::parse_number(value);
    return 0;
}
