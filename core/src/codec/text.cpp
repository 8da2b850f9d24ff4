#include "ozu/codec/text.hpp"

namespace ozu::codec {

template <class Unit>
Number read_number(Text<Unit> text, int base) noexcept {
    if (text.empty()) return {NumberStatus::invalid, 0};
    std::uint64_t value = 0;
    bool overflow = false;
    const std::uint64_t limit = UINT64_MAX / static_cast<std::uint64_t>(base);
    for (Unit c : text) {
        const int d = digit_value(c, base);
        if (d < 0) return {NumberStatus::invalid, 0};
        if (overflow) continue;  // keep checking the remaining characters
        if (value > limit) {
            overflow = true;
            continue;
        }
        const std::uint64_t shifted = value * static_cast<std::uint64_t>(base);
        if (shifted > UINT64_MAX - static_cast<std::uint64_t>(d)) {
            overflow = true;
            continue;
        }
        value = shifted + static_cast<std::uint64_t>(d);
    }
    return overflow ? Number{NumberStatus::too_large, 0} : Number{NumberStatus::ok, value};
}

template <class Unit>
Result<std::uint64_t> read_piece(Text<Unit> text, Span span, int base, Arg arg) noexcept {
    const Number n = read_number(piece(text, span), base);
    switch (n.status) {
        case NumberStatus::ok: return {n.value, {}};
        case NumberStatus::too_large: return {0, {Error::too_large, arg, span, base, 0}};
        case NumberStatus::invalid: break;
    }
    return {0, {Error::invalid_literal, arg, span, base, 0}};
}

template <class Unit>
bool is_safe_name(Text<Unit> text) noexcept {
    for (Unit c : text) {
        if (c < 0x20 || c >= 0x7F) return false;
        if (c == '%' || c == '#' || c == '$' || c == '!' || c == '*') return false;
    }
    return true;
}

#define OZU_INSTANTIATE(Unit)                                                            \
    template Number read_number<Unit>(Text<Unit>, int) noexcept;                         \
    template Result<std::uint64_t> read_piece<Unit>(Text<Unit>, Span, int, Arg) noexcept; \
    template bool is_safe_name<Unit>(Text<Unit>) noexcept;
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE

}  // namespace ozu::codec
