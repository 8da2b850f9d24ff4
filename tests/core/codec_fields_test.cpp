#include "codec_test_util.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/codec/requests.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

using namespace ozu::codec;
using codec_test::Wide;
using codec_test::widen;

template <class Unit>
class FieldWidths : public ::testing::Test {
protected:
    static Wide<Unit> text(std::string_view ascii) { return Wide<Unit>(widen(ascii)); }
};
using Units = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(FieldWidths, Units);

TYPED_TEST(FieldWidths, Addresses) {
    EXPECT_EQ(parse_contact_address(this->text("010A").view()).value, 170u);
    EXPECT_EQ(parse_contact_address(this->text("000F").view()).value, 15u);
    EXPECT_EQ(parse_contact_address(this->text("0010").view()).value, 16u);
    EXPECT_EQ(parse_contact_address(this->text("012").view()).failure.error, Error::index_out_of_range);
    EXPECT_EQ(parse_contact_address(this->text("01").view()).failure.error, Error::index_out_of_range);
    EXPECT_EQ(parse_contact_address(this->text("0a1F").view()).failure.span, (Span{0, 3}));
    EXPECT_EQ(parse_contact_address(this->text("001G").view()).failure.span, (Span{3, 4}));
    EXPECT_EQ(parse_register_address(this->text("00100").view()).value, 100u);
}

TYPED_TEST(FieldWidths, Values) {
    EXPECT_EQ(parse_uint16(this->text("3412").view()).value, 0x1234);
    EXPECT_EQ(parse_uint16(this->text("3412FF").view()).value, 0x1234);
    EXPECT_EQ(parse_uint16(this->text("3a12").view()).value, 0x123A);
    EXPECT_EQ(parse_uint16(this->text("123").view()).value, 0x0312);
    EXPECT_EQ(parse_uint16(this->text("12").view()).failure.span, (Span{2, 2}));
    EXPECT_EQ(parse_uint16(this->text("00-1").view()).failure.span, (Span{2, 4}));
    EXPECT_EQ(parse_uint32(this->text("78563412").view()).value, 0x12345678u);
    EXPECT_EQ(parse_uint32(this->text("000000x1").view()).failure.span, (Span{6, 8}));
    EXPECT_EQ(parse_uint16_at(this->text("%01#WDD0010000100341254\r").view(), 17).value, 0x1234);
}

// Every four-unit field over an alphabet of digits, near-digits and wide units reads as its two
// byte pieces read one by one with the general number reader.
TYPED_TEST(FieldWidths, FourDigitValuesMatchPieceByPieceReading) {
    using Unit = TypeParam;
    const std::u32string alphabet = {U'0', U'9', U'a', U'f', U'A', U'F', U'g', U'G', U'/', U':', U'@', U'`',
                                     U' ', U'+', U'-', 0xE9, 0x660, 0x1F600};
    std::u32string four(4, U'0');
    for (char32_t a : alphabet)
        for (char32_t b : alphabet)
            for (char32_t c : alphabet)
                for (char32_t d : alphabet) {
                    four = {a, b, c, d};
                    if (static_cast<std::uint64_t>(std::max({a, b, c, d})) > std::numeric_limits<Unit>::max()) continue;
                    const Wide<Unit> text(four);
                    const auto got = parse_uint16(text.view());
                    const auto lo = read_piece(text.view(), Span{0, 2}, 16, Arg::data);
                    const auto hi = read_piece(text.view(), Span{2, 4}, 16, Arg::data);
                    const Failure expected = !lo.ok() ? lo.failure : hi.failure;
                    ASSERT_EQ(got.failure.error, expected.error);
                    ASSERT_EQ(got.failure.span, expected.span);
                    if (lo.ok() && hi.ok()) {
                        ASSERT_EQ(got.value, (hi.value << 8) | lo.value);
                    }
                }
}

TEST(Fields, Writers) {
    EXPECT_EQ(header_prefix(1).view(), "%01#");
    EXPECT_EQ(header_prefix(10).view(), "%0A#");
    EXPECT_EQ(header_prefix(256).view(), "%100#");
    EXPECT_EQ(header_prefix(UINT64_MAX).view(), "%FFFFFFFFFFFFFFFF#");
    EXPECT_EQ(contact_padding(1), 3u);
    EXPECT_EQ(contact_padding(5), 0u);
    EXPECT_EQ(uint16_field(0x1234, true).value.view(), "3412");
    EXPECT_EQ(uint16_field(0, true).value.view(), "0000");
    EXPECT_EQ(uint16_field(-1, true).failure.error, Error::assertion_failed);
    EXPECT_EQ(uint16_field(-1, false).value.view(), "FF-1");
    EXPECT_EQ(uint16_field(-5000, false).value.view(), "78-14");
    EXPECT_EQ(uint16_field(0x10000, true).failure.error, Error::value_out_of_range);
    EXPECT_EQ(uint32_field(0x12345678, true).value.view(), "78563412");
    EXPECT_EQ(uint32_field(-1, false).value.view(), "FFFFFF-1");
    EXPECT_EQ(uint32_field(0x100000000LL, false).failure.base, 32);
    EXPECT_EQ(hex2_signed(INT64_MIN).view(), "-8000000000000000");
    EXPECT_EQ(as_int16(0xFFFE), -2);
    EXPECT_EQ(as_int32(0x80000000u), -2147483648LL);
    EXPECT_EQ(pattern16(-2), 0xFFFE);
}

struct RequestCase {
    const char* what;
    Result<Frame> got;
    const char* frame;
};

TEST(Requests, WorkedFrames) {
    const RequestCase cases[] = {
        {"RCS", build_read_contact(1, as_text("R12")), "%01#RCSR001214\r"},
        {"RCS full", build_read_contact(1, as_text("R0012")), "%01#RCSR001214\r"},
        {"WCS on", build_write_contact(1, as_text("R12"), true), "%01#WCSR0012120\r"},
        {"WCS off", build_write_contact(1, as_text("R12"), false), "%01#WCSR0012021\r"},
        {"RCC count", build_read_contact_words(1, as_text("WR10"), std::nullopt, 2), "%01#RCCR0010001106\r"},
        {"RCC end", build_read_contact_words(1, as_text("WR10"), AnyText(as_text("WR11")), std::nullopt),
         "%01#RCCR0010001106\r"},
        {"RD", build_read_registers(1, as_text("DT100"), 3), "%01#RDD001000010257\r"},
        {"RD short", build_read_registers(1, as_text("D100"), 3), "%01#RDD001000010257\r"},
        {"WD one", build_write_register(1, as_text("D100"), 0x1234), "%01#WDD0010000100341254\r"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.got.ok()) << c.what;
        EXPECT_EQ(c.got.value, c.frame) << c.what;
    }
    const std::int64_t words[] = {0x1234, 0};
    EXPECT_EQ(build_write_contact_words(1, as_text("WR10"), words).value, "%01#WCCR001000113412000007\r");
    const std::int64_t regs[] = {0x1234, 0x5678};
    EXPECT_EQ(build_write_registers(1, as_text("DT100"), regs).value, "%01#WDD00100001013412785659\r");
}

TEST(Requests, Failures) {
    const std::int64_t none[1] = {0};
    EXPECT_EQ(build_read_contact(1, as_text("")).failure.error, Error::index_out_of_range);
    EXPECT_EQ(build_read_contact(1, as_text("R\r1")).failure.error, Error::bad_name);
    EXPECT_EQ(build_read_contact(1, as_text("R00012")).failure.error, Error::field_too_wide);
    EXPECT_EQ(build_read_contact(-1, as_text("R1")).failure.error, Error::negative_station);
    EXPECT_EQ(build_read_contact_words(1, as_text("WX11"), AnyText(as_text("WR10")), std::nullopt).failure.error,
              Error::assertion_failed);
    EXPECT_EQ(build_read_contact_words(1, as_text("WR10"), std::nullopt, std::nullopt).failure.error,
              Error::assertion_failed);
    EXPECT_EQ(build_read_contact_words(1, as_text("WR10"), std::nullopt, std::nullopt, {false}).failure.error,
              Error::none_not_subscriptable);
    EXPECT_EQ(build_read_contact_words(1, as_text("WR9999"), std::nullopt, 2).failure.arg, Arg::word_count);
    EXPECT_EQ(build_write_contact_words(1, as_text("WR10"), std::span<const std::int64_t>(none, 0)).failure.error,
              Error::assertion_failed);
    EXPECT_EQ(build_read_registers(1, as_text("D"), 1).failure.error, Error::index_out_of_range);
    EXPECT_EQ(build_read_registers(1, as_text("D100000"), 1).failure.error, Error::register_out_of_range);
    EXPECT_EQ(build_read_registers(1, as_text("D99999"), 2).failure.arg, Arg::reg_count);
    EXPECT_EQ(build_read_registers(1, as_text("D99999999999999999999"), 2).failure.error, Error::too_large);
    EXPECT_EQ(build_read_registers(1, as_text("D2"), INT64_MAX).failure.error, Error::too_large);
    EXPECT_EQ(build_write_register(1, as_text("D1#"), 1).failure.arg, Arg::reg);
    const std::int64_t wide[] = {0x10000};
    EXPECT_EQ(build_write_registers(1, as_text("D1"), wide).failure.error, Error::value_out_of_range);
    const Wide<std::uint16_t> non_ascii(U"DĀ1");
    EXPECT_EQ(build_read_registers(1, non_ascii.view(), 1).failure.error, Error::bad_name);
}
