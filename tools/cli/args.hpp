// Command-line words split into positional arguments and options. Options start with "--"
// ("--name value" or "--name=value"); "-h" is "--help"; after "--" every word is positional, so
// negative numbers can be given anywhere ("-5" is positional anyway, having a single dash).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace ozu::cli {

// A wrong command line: exit code 2 with this message.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Args {
public:
    // `flags` take no value; `valued` take one. Anything else starting with "--" is a UsageError.
    Args(const std::vector<std::string>& words, const std::set<std::string>& flags,
         const std::set<std::string>& valued);

    const std::vector<std::string>& positional() const noexcept { return positional_; }
    bool flag(const std::string& name) const { return flags_.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const;

    // Typed option values; a value that does not read as the type is a UsageError naming the option.
    std::optional<double> number(const std::string& name) const;
    std::optional<long long> integer(const std::string& name) const;

private:
    std::vector<std::string> positional_;
    std::set<std::string> flags_;
    std::map<std::string, std::string> values_;
};

// Whole-string readings; nullopt when the text is not exactly such a number. Integers accept a
// sign and "0x" hexadecimal.
std::optional<long long> parse_integer(const std::string& text);
std::optional<double> parse_number(const std::string& text);

}  // namespace ozu::cli
