// Text handling shared by the codec: views over the code units of a host string, slices with the
// host language's clamping rules, strict number reading, and the failure record every codec
// operation returns instead of throwing.
//
// Text arrives in one of three code-unit widths (1, 2 or 4 bytes per code point, as the host's
// compact strings store them); every scanner and parser is a template over the code-unit type and
// is instantiated for std::uint8_t, std::uint16_t and std::uint32_t. Indices are code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <ios>
#include <string_view>

namespace ozu::codec {

// Character traits for the unsigned code-unit types, which the standard library does not have to
// provide. Only what std::basic_string_view needs.
template <class Unit>
struct UnitTraits {
    using char_type = Unit;
    using int_type = std::uint32_t;
    using off_type = std::streamoff;
    using pos_type = std::streampos;
    using state_type = std::mbstate_t;

    static constexpr void assign(char_type& a, const char_type& b) noexcept { a = b; }
    static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
    static constexpr bool lt(char_type a, char_type b) noexcept { return a < b; }
    static constexpr int compare(const char_type* a, const char_type* b, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        return 0;
    }
    static constexpr std::size_t length(const char_type* s) noexcept {
        std::size_t n = 0;
        while (s[n] != 0) ++n;
        return n;
    }
    static constexpr const char_type* find(const char_type* s, std::size_t n, const char_type& c) noexcept {
        for (std::size_t i = 0; i < n; ++i)
            if (s[i] == c) return s + i;
        return nullptr;
    }
    static char_type* move(char_type* d, const char_type* s, std::size_t n) noexcept {
        return n ? static_cast<char_type*>(std::memmove(d, s, n * sizeof(char_type))) : d;
    }
    static char_type* copy(char_type* d, const char_type* s, std::size_t n) noexcept {
        return n ? static_cast<char_type*>(std::memcpy(d, s, n * sizeof(char_type))) : d;
    }
    static constexpr char_type* assign(char_type* d, std::size_t n, char_type c) noexcept {
        for (std::size_t i = 0; i < n; ++i) d[i] = c;
        return d;
    }
    static constexpr char_type to_char_type(int_type c) noexcept { return static_cast<char_type>(c); }
    static constexpr int_type to_int_type(char_type c) noexcept { return static_cast<int_type>(c); }
    static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
    static constexpr int_type eof() noexcept { return 0xFFFFFFFFu; }
    static constexpr int_type not_eof(int_type c) noexcept { return c == eof() ? 0 : c; }
};

// A read-only view of text in one code-unit width.
template <class Unit>
using Text = std::basic_string_view<Unit, UnitTraits<Unit>>;

using Text8 = Text<std::uint8_t>;
using Text16 = Text<std::uint16_t>;
using Text32 = Text<std::uint32_t>;

// A view of ASCII/Latin-1 bytes as 1-byte text (for tests and for callers holding char data).
inline Text8 as_text(std::string_view s) noexcept {
    return Text8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Text of any of the three widths, for operations that take several texts which may differ in
// width (names given to the request builders). Cheap to copy; does not own the characters.
class AnyText {
public:
    constexpr AnyText() noexcept = default;
    template <class Unit>
    constexpr AnyText(Text<Unit> text) noexcept  // NOLINT: implicit on purpose
        : data_(text.data()), size_(text.size()), width_(static_cast<std::uint8_t>(sizeof(Unit))) {}

    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr std::uint32_t operator[](std::size_t i) const noexcept {
        switch (width_) {
            case 1: return static_cast<const std::uint8_t*>(data_)[i];
            case 2: return static_cast<const std::uint16_t*>(data_)[i];
            default: return static_cast<const std::uint32_t*>(data_)[i];
        }
    }
    // Calls f with the typed Text view.
    template <class F>
    constexpr decltype(auto) visit(F&& f) const {
        switch (width_) {
            case 1: return f(Text8(static_cast<const std::uint8_t*>(data_), size_));
            case 2: return f(Text16(static_cast<const std::uint16_t*>(data_), size_));
            default: return f(Text32(static_cast<const std::uint32_t*>(data_), size_));
        }
    }

private:
    const void* data_ = "";
    std::size_t size_ = 0;
    std::uint8_t width_ = 1;
};

// Half-open range [start, stop) of code points inside some text.
struct Span {
    std::size_t start = 0;
    std::size_t stop = 0;

    constexpr std::size_t size() const noexcept { return stop - start; }
    constexpr bool empty() const noexcept { return stop == start; }
    friend constexpr bool operator==(Span, Span) = default;
};

// text[start:stop] with the host's rules: negative bounds count from the end, everything is
// clamped to the text, and a stop before the start gives an empty piece at the start.
constexpr Span slice(std::size_t length, std::ptrdiff_t start, std::ptrdiff_t stop) noexcept {
    const auto n = static_cast<std::ptrdiff_t>(length);
    auto clamp = [n](std::ptrdiff_t i) {
        if (i < 0) i += n;
        return i < 0 ? std::ptrdiff_t{0} : (i > n ? n : i);
    };
    const std::ptrdiff_t a = clamp(start);
    const std::ptrdiff_t b = clamp(stop);
    return {static_cast<std::size_t>(a), static_cast<std::size_t>(b < a ? a : b)};
}
// text[start:]
constexpr Span slice_from(std::size_t length, std::ptrdiff_t start) noexcept {
    return slice(length, start, static_cast<std::ptrdiff_t>(length));
}

template <class Unit>
constexpr Text<Unit> piece(Text<Unit> text, Span span) noexcept {
    return text.substr(span.start, span.size());
}

// Which exception the host must raise for a failed operation, and with what.
enum class Error : std::uint8_t {
    none,
    // IndexError("string index out of range"): a single character was read past the end.
    index_out_of_range,
    // ValueError worded as the host's int() words it, "invalid literal for int() with base %d:
    // %.200R", with the repr of the piece `span` of the argument `arg`.
    invalid_literal,
    // The piece `span` holds only digits of `base` but its value needs more than 64 bits: not an
    // error of the operation. The caller reads the piece with the host's own int() (which also
    // applies the host's limit on decimal digits) and carries on as the operation describes.
    too_large,
    // AssertionError without a message (only reported while assertions are enabled).
    assertion_failed,
    // UTF-8 encoding of the text fails (a lone surrogate); the caller raises the host encoder's
    // own error by encoding the text `span` of `arg`.
    encode_failed,
    // ValueError: the name `arg` holds a control, non-ASCII or frame character.
    bad_name,
    // ValueError: the address or word number of `arg` is longer than its four-character field.
    field_too_wide,
    // ValueError: register number `number` of `arg` is outside 0..99999.
    register_out_of_range,
    // ValueError: `number` does not fit the `base`-bit field (16 or 32) it is written into.
    value_out_of_range,
    // ValueError: negative station `number`.
    negative_station,
    // TypeError("'NoneType' object is not subscriptable"): a missing end contact was sliced.
    none_not_subscriptable,
};

// Names of the arguments a failure can point at.
enum class Arg : std::uint8_t {
    data, frame, tx, rx, address, station, cmd, value, values,
    contact, contact_start, contact_end, word_count, reg_start, reg, reg_count,
};

// What a failed operation reports. `span` is always a piece of argument `arg`.
struct Failure {
    Error error = Error::none;
    Arg arg = Arg::data;
    Span span{};
    int base = 0;             // number base (10/16) or field width in bits (16/32)
    std::int64_t number = 0;  // the offending number, where there is one

    constexpr explicit operator bool() const noexcept { return error != Error::none; }
};

// A value or a failure.
template <class T>
struct Result {
    T value{};
    Failure failure{};

    constexpr bool ok() const noexcept { return failure.error == Error::none; }
};

// Outcome of reading a piece of text as a number.
enum class NumberStatus : std::uint8_t { ok, invalid, too_large };

struct Number {
    NumberStatus status = NumberStatus::invalid;
    std::uint64_t value = 0;
};

// Value of an ASCII digit in base 10 or 16 (either case), or -1.
constexpr int digit_value(std::uint32_t c, int base) noexcept {
    int v = -1;
    if (c >= '0' && c <= '9') v = static_cast<int>(c - '0');
    else if (c >= 'A' && c <= 'F') v = static_cast<int>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') v = static_cast<int>(c - 'a' + 10);
    return v < base ? v : -1;
}

// Strict reading: a number is a non-empty run of ASCII digits of `base` (10 or 16), nothing else
// (no sign, blank, underscore, prefix or non-ASCII digit). Leading zeros are fine.
template <class Unit>
Number read_number(Text<Unit> text, int base) noexcept;

// read_number of a piece, as a Failure-carrying result: invalid_literal or too_large over `span`.
template <class Unit>
Result<std::uint64_t> read_piece(Text<Unit> text, Span span, int base, Arg arg) noexcept;

// True when every code point is an ASCII character that may stand in a name: printable, and none
// of the frame characters '%', '#', '$', '!', '*'.
template <class Unit>
bool is_safe_name(Text<Unit> text) noexcept;

}  // namespace ozu::codec
