#include "args.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ozu::cli {

Args::Args(const std::vector<std::string>& words, const std::set<std::string>& flags,
           const std::set<std::string>& valued) {
    bool options_done = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (options_done || word.size() < 2 || word[0] != '-' || (word[1] != '-' && word != "-h")) {
            positional_.push_back(word);
            continue;
        }
        if (word == "--") {
            options_done = true;
            continue;
        }
        if (word == "-h") word = "--help";
        std::string name = word.substr(2);
        std::optional<std::string> inline_value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (flags.count(name)) {
            if (inline_value) throw UsageError("option --" + name + " takes no value");
            flags_.insert(name);
        } else if (valued.count(name)) {
            if (!inline_value) {
                if (i + 1 >= words.size()) throw UsageError("option --" + name + " needs a value");
                inline_value = words[++i];
            }
            values_[name] = *inline_value;
        } else {
            throw UsageError("unknown option --" + name);
        }
    }
}

std::optional<std::string> Args::value(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::optional<double> Args::number(const std::string& name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    auto v = parse_number(*text);
    if (!v) throw UsageError("option --" + name + ": not a number: " + *text);
    return v;
}

std::optional<long long> Args::integer(const std::string& name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    auto v = parse_integer(*text);
    if (!v) throw UsageError("option --" + name + ": not an integer: " + *text);
    return v;
}

std::optional<long long> parse_integer(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return std::nullopt;
        if (value > (~0ULL - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (negative) {
        if (value > 1ULL << 63) return std::nullopt;
        return static_cast<long long>(0 - value);
    }
    if (value > static_cast<unsigned long long>(~0ULL >> 1)) return std::nullopt;
    return static_cast<long long>(value);
}

std::optional<double> parse_number(const std::string& text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace ozu::cli
