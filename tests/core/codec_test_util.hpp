// Helpers for the codec tests: the same text in the three code-unit widths.
#pragma once
#include "ozu/codec/answers.hpp"
#include "ozu/codec/text.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace codec_test {

// Text from a UTF-32 literal, stored in the code-unit type Unit (code points must fit it).
template <class Unit>
struct Wide {
    std::basic_string<Unit, ozu::codec::UnitTraits<Unit>> units;
    explicit Wide(std::u32string_view text) {
        for (char32_t c : text) units.push_back(static_cast<Unit>(c));
    }
    ozu::codec::Text<Unit> view() const { return {units.data(), units.size()}; }
};

inline std::u32string widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

// body, its block check and "\r".
inline std::string with_check(std::string body) { return ozu::codec::with_tail(std::move(body)); }

}  // namespace codec_test
