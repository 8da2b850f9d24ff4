// Field encodings and request builders: readers agree in every code-unit width, writers round-trip
// through the readers, and every frame a builder returns is well formed (ASCII, its own block check,
// its command and station readable, no frame character in its data).
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/codec/requests.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ozu::codec;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

template <class T>
bool same(const Result<T>& a, const Result<T>& b) {
    return a.value == b.value && a.failure.error == b.failure.error && a.failure.span == b.failure.span;
}

template <class Unit>
struct Readers {
    Result<std::uint64_t> contact, reg;
    Result<std::uint16_t> u16, u16_at;
    Result<std::uint32_t> u32;
    Result<std::int64_t> words, regs;
};

template <class Unit>
Readers<Unit> read_all(Text<Unit> t, std::size_t at) {
    return {parse_contact_address(t), parse_register_address(t), parse_uint16(t), parse_uint16_at(t, at),
            parse_uint32(t), contact_word_count_at(t, at), register_count_at(t, at)};
}

template <class A, class B>
void require_same(const Readers<A>& a, const Readers<B>& b) {
    require(same(a.contact, b.contact) && same(a.reg, b.reg) && same(a.u16, b.u16) && same(a.u16_at, b.u16_at) &&
            same(a.u32, b.u32) && same(a.words, b.words) && same(a.regs, b.regs));
}

void check_round_trips(std::int64_t v) {
    const auto f16 = uint16_field(v, true);
    if (v < 0) require(f16.failure.error == Error::assertion_failed);
    else if (v > 0xFFFF) require(f16.failure.error == Error::value_out_of_range && f16.failure.base == 16);
    else require(f16.ok() && parse_uint16(as_text(f16.value.view())).value == v);
    const auto f32 = uint32_field(v, true);
    if (v >= 0 && v <= 0xFFFFFFFFLL) require(f32.ok() && parse_uint32(as_text(f32.value.view())).value == v);
    if (fits_int16(v)) require(as_int16(parse_uint16(as_text(uint16_field(pattern16(v), true).value.view())).value) == v);
    if (fits_int32(v)) require(as_int32(parse_uint32(as_text(uint32_field(pattern32(v), true).value.view())).value) == v);
    if (v < 0) {
        // Without assertions the parts are written as they are: the low byte is always two digits.
        const auto loose = uint16_field(v, false);
        require(loose.ok() && loose.value.size >= 4 && loose.value.chars[2] == '-');
    }
}

// Every frame a builder returns must be well formed.
void check_frame(const Result<Frame>& r, std::int64_t station, Command cmd) {
    if (!r.ok()) {
        require(r.failure.error != Error::none);
        return;
    }
    const std::string f = r.value.str();
    const Text8 t = as_text(f);
    require(f.size() >= 9 && f.front() == '%' && f.back() == '\r');
    for (std::size_t i = 0; i + 1 < f.size(); ++i) require(f[i] >= 0x20 && f[i] < 0x7F);
    const auto ok = crc_is_ok(t);
    require(ok.ok() && ok.value);
    require(parse_command(t) == cmd);
    require(station >= 0 && parse_station(t).value == static_cast<std::uint64_t>(station));
    const auto type_at = static_cast<std::size_t>(station_end(t));
    require(f[type_at] == '#');
    for (std::size_t i = type_at + 1; i + 1 < f.size(); ++i)
        require(f[i] != '%' && f[i] != '#' && f[i] != '$' && f[i] != '!' && f[i] != '*');
}

std::string name_text(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(10); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    const std::string text = in.ConsumeRandomLengthString(32);
    const std::vector<std::uint16_t> t16(text.begin(), text.end());
    const std::vector<std::uint32_t> t32(text.begin(), text.end());
    const auto r8 = read_all(as_text(text), at);
    require_same(r8, read_all(Text16(t16.data(), t16.size()), at));
    require_same(r8, read_all(Text32(t32.data(), t32.size()), at));
    if (r8.u16.ok()) require(r8.u16.value == (parse_uint32(as_text(text)).value & 0xFFFF) || !parse_uint32(as_text(text)).ok());

    check_round_trips(in.ConsumeIntegral<std::int64_t>());
    check_round_trips(in.ConsumeIntegralInRange<std::int64_t>(-70000, 70000));

    const BuildOptions opt{in.ConsumeBool()};
    const std::int64_t station = in.ConsumeIntegralInRange<std::int64_t>(-2, 1 << 20);
    const std::string a = name_text(in);
    const std::string b = name_text(in);
    const std::int64_t count = in.ConsumeIntegralInRange<std::int64_t>(-3, 200000);
    std::vector<std::int64_t> values(in.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (auto& v : values) v = in.ConsumeIntegralInRange<std::int64_t>(-2, 70000);
    const std::optional<AnyText> end = in.ConsumeBool() ? std::optional<AnyText>(as_text(b)) : std::nullopt;
    const std::optional<std::int64_t> words = in.ConsumeBool() ? std::optional<std::int64_t>(count) : std::nullopt;

    check_frame(build_read_contact(station, as_text(a), opt), station, Command::RCS);
    check_frame(build_write_contact(station, as_text(a), count & 1, opt), station, Command::WCS);
    check_frame(build_read_contact_words(station, as_text(a), end, words, opt), station, Command::RCC);
    check_frame(build_write_contact_words(station, as_text(a), values, opt), station, Command::WCC);
    check_frame(build_read_registers(station, as_text(a), count, opt), station, Command::RD);
    check_frame(build_write_registers(station, as_text(a), values, opt), station, Command::WD);
    check_frame(build_write_register(station, as_text(a), count, opt), station, Command::WD);

    // A read request names exactly the registers asked for.
    const auto rd = build_read_registers(station, as_text(a), count, opt);
    if (rd.ok()) {
        const Text8 t = as_text(rd.value.view());
        const auto pos = static_cast<std::size_t>(command_position(t)) + 2;
        require(register_count_at(t, pos).value == count);
    }
    return 0;
}
