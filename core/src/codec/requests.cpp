#include "ozu/codec/requests.hpp"

#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"

#include <limits>

namespace ozu::codec {
namespace {

constexpr std::int64_t kMaxWord = 9999;        // four decimal digits
constexpr std::int64_t kMaxRegister = 99999;   // five decimal digits

Failure fail(Error e, Arg arg, Span span = {}, int base = 0, std::int64_t number = 0) {
    return {e, arg, span, base, number};
}

Failure index_error(Arg arg, const AnyText& text) {
    return fail(Error::index_out_of_range, arg, {text.size(), text.size()});
}

Result<std::uint64_t> read_decimal(const AnyText& text, Span span, Arg arg) {
    return text.visit([&](auto t) { return read_piece(t, span, 10, arg); });
}

bool safe(const AnyText& text) {
    return text.visit([](auto t) { return is_safe_name(t); });
}

// The frame under construction; names are known to be ASCII once they passed the name checks.
class FrameText {
public:
    FrameText(std::uint64_t station, std::string_view cmd) {
        text_.append(header_prefix(station).view());
        text_.append(cmd);
    }
    void put(std::uint32_t c) { text_.push(static_cast<char>(c)); }
    void put(std::string_view s) { text_.append(s); }
    void put(const AnyText& text, Span span) {
        for (std::size_t i = span.start; i < span.stop; ++i) put(text[i]);
    }
    // A contact address or word number, left-padded with "0" to four characters.
    void put_padded(const AnyText& text, Span span) {
        text_.append(contact_padding(span.size()), '0');
        put(text, span);
    }
    void put_padded(std::string_view digits) {
        text_.append(contact_padding(digits.size()), '0');
        put(digits);
    }
    void put_register(std::int64_t n) {
        char digits[5];
        for (int i = 4; i >= 0; --i, n /= 10) digits[i] = static_cast<char>('0' + n % 10);
        put({digits, 5});
    }
    Frame finish() {
        const std::string_view body = text_.view();
        const auto tail = tail_of(xor_bytes(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
        text_.append({tail.data(), tail.size()});
        return std::move(text_);
    }

private:
    Frame text_;
};

std::string decimal(std::int64_t n) {
    return std::to_string(n);
}

// start + count - 1 without overflow; false when it does not fit in 64 bits.
bool last_of(std::int64_t start, std::int64_t count, std::int64_t& last) {
    if (count > 0 && start > std::numeric_limits<std::int64_t>::max() - count + 1) return false;
    if (count <= 0 && start < std::numeric_limits<std::int64_t>::min() - count + 1) return false;
    last = start + count - 1;
    return true;
}

Result<Frame> failed(Failure f) { return {{}, f}; }

// The register part shared by "RD" and "WD": area letter, first and last register.
// Returns a failure or nothing.
Failure put_register_range(FrameText& frame, const AnyText& reg, std::int64_t count, Arg name_arg, Arg count_arg) {
    if (reg.size() < 2) return index_error(name_arg, reg);
    const bool one_letter = reg[1] < 0x80 && digit_value(reg[1], 10) >= 0;
    const Span address = slice_from(reg.size(), one_letter ? 1 : 2);
    frame.put(reg[0]);
    const Result<std::uint64_t> first = read_decimal(reg, address, name_arg);
    if (!first.ok()) return first.failure;
    if (first.value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail(Error::too_large, name_arg, address, 10);
    if (first.value > static_cast<std::uint64_t>(kMaxRegister))
        return fail(Error::register_out_of_range, name_arg, {}, 10, static_cast<std::int64_t>(first.value));
    std::int64_t last = 0;
    if (!last_of(static_cast<std::int64_t>(first.value), count, last)) return fail(Error::too_large, count_arg);
    if (const Failure f = check_register_number(last, count_arg)) return f;
    frame.put_register(static_cast<std::int64_t>(first.value));
    frame.put_register(last);
    return {};
}

Failure put_values(FrameText& frame, std::span<const std::int64_t> values, bool assertions) {
    for (std::int64_t v : values) {
        const Result<Ascii> field = uint16_field(v, assertions);
        if (!field.ok()) return field.failure;
        frame.put(field.value.view());
    }
    return {};
}

Result<Frame> contact_request(std::int64_t station, const AnyText& contact, std::string_view cmd,
                                    const bool* value) {
    if (const Failure f = check_contact_name(contact)) return failed(f);
    const Span address = slice_from(contact.size(), 1);
    if (station < 0) return failed(fail(Error::negative_station, Arg::station, {}, 0, station));
    FrameText frame(static_cast<std::uint64_t>(station), cmd);
    if (contact.empty()) return failed(index_error(Arg::contact, contact));
    frame.put(contact[0]);
    frame.put_padded(contact, address);
    if (value) frame.put(*value ? "1" : "0");
    return {frame.finish(), {}};
}

}  // namespace

void Frame::append_long(std::string_view text) {
    if (heap_.empty()) heap_.assign(inline_, size_);
    heap_.append(text);
}

Failure check_contact_name(AnyText contact) noexcept {
    if (!safe(contact)) return fail(Error::bad_name, Arg::contact, {0, contact.size()});
    const Span address = slice_from(contact.size(), 1);
    if (address.size() > 4) return fail(Error::field_too_wide, Arg::contact, address);
    return {};
}

Failure check_word_name(AnyText name, Arg arg, bool width) noexcept {
    if (!safe(name)) return fail(Error::bad_name, arg, {0, name.size()});
    const Span word = slice_from(name.size(), 2);
    if (width && word.size() > 4) return fail(Error::field_too_wide, arg, word);
    return {};
}

Failure check_register_name(AnyText name, Arg arg) noexcept {
    if (!safe(name)) return fail(Error::bad_name, arg, {0, name.size()});
    return {};
}

Failure check_word_number(std::int64_t number, Arg arg) noexcept {
    if (number < 0 || number > kMaxWord) return fail(Error::field_too_wide, arg, {}, 10, number);
    return {};
}

Failure check_register_number(std::int64_t number, Arg arg) noexcept {
    if (number < 0 || number > kMaxRegister) return fail(Error::register_out_of_range, arg, {}, 10, number);
    return {};
}

Result<Frame> build_read_contact(std::int64_t station, AnyText contact, BuildOptions) {
    return contact_request(station, contact, "RCS", nullptr);
}

Result<Frame> build_write_contact(std::int64_t station, AnyText contact, bool value, BuildOptions) {
    return contact_request(station, contact, "WCS", &value);
}

Result<Frame> build_read_contact_words(std::int64_t station, AnyText start, std::optional<AnyText> end,
                                             std::optional<std::int64_t> word_count, BuildOptions opt) {
    const Span start_word = slice_from(start.size(), 2);
    if (opt.assertions) {
        if (start.empty()) return failed(index_error(Arg::contact_start, start));
        if (start[0] != 'W') return failed(fail(Error::assertion_failed, Arg::contact_start));
        if (end.has_value() == word_count.has_value()) return failed(fail(Error::assertion_failed, Arg::contact_end));
    }
    std::uint64_t first = 0;
    if (word_count) {
        if (opt.assertions && *word_count <= 0) return failed(fail(Error::assertion_failed, Arg::word_count));
        const Result<std::uint64_t> r = read_decimal(start, start_word, Arg::contact_start);
        if (!r.ok()) return failed(r.failure);
        first = r.value;
    } else if (opt.assertions) {
        if (start.size() < 2) return failed(index_error(Arg::contact_start, start));
        if (end->size() < 2) return failed(index_error(Arg::contact_end, *end));
        if (start[1] != (*end)[1]) return failed(fail(Error::assertion_failed, Arg::contact_end));
        const Result<std::uint64_t> last = read_decimal(*end, slice_from(end->size(), 2), Arg::contact_end);
        if (!last.ok()) return failed(last.failure);
        const Result<std::uint64_t> r = read_decimal(start, start_word, Arg::contact_start);
        if (!r.ok()) return failed(r.failure);
        if (last.value < r.value) return failed(fail(Error::assertion_failed, Arg::contact_end));
    }

    if (const Failure f = check_word_name(start, Arg::contact_start, true)) return failed(f);
    Span end_word{};
    if (end) {
        // A given end is written only when no count replaces it.
        if (const Failure f = check_word_name(*end, Arg::contact_end, !word_count)) return failed(f);
        end_word = slice_from(end->size(), 2);
    }
    std::string computed_end;
    if (word_count) {
        // The start word has at most four digits here, so only the count can push the sum out of range.
        std::int64_t last = 0;
        if (!last_of(static_cast<std::int64_t>(first), *word_count, last)) return failed(fail(Error::too_large, Arg::word_count));
        if (const Failure f = check_word_number(last, Arg::word_count)) return failed(f);
        computed_end = decimal(last);
    }
    if (station < 0) return failed(fail(Error::negative_station, Arg::station, {}, 0, station));

    FrameText frame(static_cast<std::uint64_t>(station), "RCC");
    if (start.size() < 2) return failed(index_error(Arg::contact_start, start));
    frame.put(start[1]);
    frame.put_padded(start, start_word);
    if (word_count) frame.put_padded(computed_end);
    else if (end) frame.put_padded(*end, end_word);
    else return failed(fail(Error::none_not_subscriptable, Arg::contact_end));
    return {frame.finish(), {}};
}

Result<Frame> build_write_contact_words(std::int64_t station, AnyText start, std::span<const std::int64_t> values,
                                              BuildOptions opt) {
    if (opt.assertions) {
        if (start.empty()) return failed(index_error(Arg::contact_start, start));
        if (start[0] != 'W' || values.empty()) return failed(fail(Error::assertion_failed, Arg::contact_start));
    }
    const Span start_word = slice_from(start.size(), 2);
    if (const Failure f = check_word_name(start, Arg::contact_start, true)) return failed(f);
    if (station < 0) return failed(fail(Error::negative_station, Arg::station, {}, 0, station));

    FrameText frame(static_cast<std::uint64_t>(station), "WCC");
    if (start.size() < 2) return failed(index_error(Arg::contact_start, start));
    frame.put(start[1]);
    frame.put_padded(start, start_word);
    const Result<std::uint64_t> first = read_decimal(start, start_word, Arg::contact_start);
    if (!first.ok()) return failed(first.failure);
    const auto last = static_cast<std::int64_t>(first.value) + static_cast<std::int64_t>(values.size()) - 1;
    if (const Failure f = check_word_number(last, Arg::values)) return failed(f);
    frame.put_padded(decimal(last));
    if (const Failure f = put_values(frame, values, opt.assertions)) return failed(f);
    return {frame.finish(), {}};
}

Result<Frame> build_read_registers(std::int64_t station, AnyText reg_start, std::int64_t reg_count,
                                         BuildOptions opt) {
    if (opt.assertions && reg_count <= 0) return failed(fail(Error::assertion_failed, Arg::reg_count));
    if (const Failure f = check_register_name(reg_start, Arg::reg_start)) return failed(f);
    if (station < 0) return failed(fail(Error::negative_station, Arg::station, {}, 0, station));
    FrameText frame(static_cast<std::uint64_t>(station), "RD");
    if (const Failure f = put_register_range(frame, reg_start, reg_count, Arg::reg_start, Arg::reg_count)) return failed(f);
    return {frame.finish(), {}};
}

Result<Frame> build_write_registers(std::int64_t station, AnyText reg_start, std::span<const std::int64_t> values,
                                          BuildOptions opt, Arg name_arg) {
    if (opt.assertions && values.empty()) return failed(fail(Error::assertion_failed, Arg::values));
    if (const Failure f = check_register_name(reg_start, name_arg)) return failed(f);
    if (station < 0) return failed(fail(Error::negative_station, Arg::station, {}, 0, station));
    FrameText frame(static_cast<std::uint64_t>(station), "WD");
    const auto count = static_cast<std::int64_t>(values.size());
    if (const Failure f = put_register_range(frame, reg_start, count, name_arg, Arg::values)) return failed(f);
    if (const Failure f = put_values(frame, values, opt.assertions)) return failed(f);
    return {frame.finish(), {}};
}

Result<Frame> build_write_register(std::int64_t station, AnyText reg, std::int64_t value, BuildOptions opt) {
    const std::int64_t values[] = {value};
    return build_write_registers(station, reg, values, opt, Arg::reg);
}

}  // namespace ozu::codec
