// The little JSON the station map needs: objects, strings, integers, booleans, null. Input is
// untrusted: sizes and nesting are bounded and every failure is a JsonError with a position.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

namespace ozu::cli::json {

struct JsonError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Value;
using Object = std::map<std::string, Value>;

struct Value {
    std::variant<std::nullptr_t, bool, long long, std::string, std::shared_ptr<Object>> data;

    bool is_object() const { return data.index() == 4; }
    const Object& object() const { return *std::get<4>(data); }
};

// Parses a whole document (nothing but blanks after it).
Value parse(const std::string& text);

// The text as a JSON string literal (ASCII; other bytes escaped as \u00XX).
std::string quote(const std::string& text);

}  // namespace ozu::cli::json
