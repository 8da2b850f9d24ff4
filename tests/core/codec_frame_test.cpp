#include "codec_test_util.hpp"
#include "ozu/codec/answers.hpp"
#include "ozu/codec/frame.hpp"

#include <gtest/gtest.h>

using namespace ozu::codec;
using codec_test::Wide;
using codec_test::widen;

template <class Unit>
class FrameWidths : public ::testing::Test {
protected:
    static Wide<Unit> text(std::string_view ascii) { return Wide<Unit>(widen(ascii)); }
};
using Units = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(FrameWidths, Units);

TYPED_TEST(FrameWidths, BlockCheckAndTail) {
    EXPECT_EQ(block_check(this->text("%01#RCSR0012").view()).value, 0x14);
    EXPECT_EQ(block_check(this->text("").view()).value, 0);
    const auto tail = tail_of(block_check(this->text("%01#RCSX0000").view()).value);
    EXPECT_EQ(std::string(tail.data(), 3), "1D\r");
}

TYPED_TEST(FrameWidths, CrcIsOk) {
    struct Case { const char* frame; bool ok; };
    for (const Case c : {Case{"%01#RCSX00001D\r", true}, Case{"%01#RCSX00001d\r", true}, Case{"%01#RCSX0000**\r", true},
                         Case{"%01#RCSX00001E\r", false}, Case{"%01#RCSX0000*D\r", false}, Case{"%01#RCSX00001*\r", false}}) {
        const auto r = crc_is_ok(this->text(c.frame).view());
        EXPECT_TRUE(r.ok()) << c.frame;
        EXPECT_EQ(r.value, c.ok) << c.frame;
    }
    EXPECT_EQ(crc_is_ok(this->text("*\r").view()).failure.error, Error::index_out_of_range);
    const auto bad = crc_is_ok(this->text("%01#RD+5\r").view());
    EXPECT_EQ(bad.failure.error, Error::invalid_literal);
    EXPECT_EQ(bad.failure.span, (Span{6, 8}));
    EXPECT_EQ(bad.failure.base, 16);
}

TYPED_TEST(FrameWidths, StationEndCommandAndType) {
    EXPECT_EQ(station_end(this->text("%01#RCSX0000**\r").view()), 3);
    EXPECT_EQ(station_end(this->text("%100#RD").view()), 4);
    EXPECT_EQ(station_end(this->text("%01**\r").view()), -1);
    EXPECT_EQ(station_end(this->text("%0101").view()), 5);
    EXPECT_EQ(parse_command(this->text("%01#RCSX00001D\r").view()), Command::RCS);
    EXPECT_EQ(parse_command(this->text("%01#RDD001000010257\r").view()), Command::RD);
    EXPECT_EQ(parse_command(this->text("%01#RCX0000**\r").view()), Command::unknown);
    EXPECT_EQ(parse_command(this->text("%01#WD").view()), Command::WD);
    EXPECT_EQ(parse_command(this->text("%01#W").view()), Command::unknown);
    EXPECT_EQ(frame_type_index(this->text("%01$RC120\r").view()).value, 3u);
    EXPECT_EQ(frame_type_index(this->text("%01**\r").view()).value, 5u);
    EXPECT_EQ(frame_type_index(this->text("%0101").view()).failure.error, Error::index_out_of_range);
    EXPECT_EQ(frame_type_index(this->text("").view()).failure.error, Error::index_out_of_range);
}

TYPED_TEST(FrameWidths, StationNumber) {
    EXPECT_EQ(parse_station(this->text("%1A#RCS").view()).value, 26u);
    EXPECT_EQ(parse_station(this->text("%100#RD").view()).value, 256u);
    EXPECT_EQ(parse_station(this->text("%01\r").view()).value, 1u);
    const auto bad = parse_station(this->text("%01**\r").view());
    EXPECT_EQ(bad.failure.error, Error::invalid_literal);
    EXPECT_EQ(bad.failure.span, (Span{1, 5}));
    EXPECT_EQ(parse_station(this->text("%#").view()).failure.span, (Span{1, 1}));
    const auto big = parse_station(this->text("%10000000000000000#").view());
    EXPECT_EQ(big.failure.error, Error::too_large);
    EXPECT_EQ(big.failure.span, (Span{1, 18}));
}

TEST(Frame, BlockCheckOverUtf8) {
    const Wide<std::uint8_t> latin(U"é");
    EXPECT_EQ(block_check(latin.view()).value, 0xC3 ^ 0xA9);
    const Wide<std::uint16_t> euro(U"€a");
    EXPECT_EQ(block_check(euro.view()).value, 0xE2 ^ 0x82 ^ 0xAC ^ 'a');
    const Wide<std::uint32_t> emoji(U"\U0001F600");
    EXPECT_EQ(block_check(emoji.view()).value, 0xF0 ^ 0x9F ^ 0x98 ^ 0x80);
    const std::uint16_t surrogate[] = {'a', 0xD800};
    EXPECT_EQ(block_check(Text16(surrogate, 2)).failure.error, Error::encode_failed);
    // Long ASCII and Latin-1 texts take the word-at-a-time path; compare with a byte loop.
    std::string ascii(1000, 'x');
    for (std::size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>(0x20 + i % 90);
    std::uint8_t expected = 0;
    for (char c : ascii) expected ^= static_cast<std::uint8_t>(c);
    EXPECT_EQ(block_check(as_text(ascii)).value, expected);
    EXPECT_EQ(xor_bytes(reinterpret_cast<const std::uint8_t*>(ascii.data()), ascii.size()), expected);
}

TEST(Frame, HeaderMatchedAcrossWidths) {
    const Wide<std::uint8_t> tx(U"%01#RCSR001214\r");
    const Wide<std::uint32_t> rx(U"%01$RC120\r");
    EXPECT_TRUE(header_matched(tx.view(), rx.view()).value);
    const Wide<std::uint16_t> other(U"%02$RC1Ā\r");
    EXPECT_FALSE(header_matched(tx.view(), other.view()).value);
    EXPECT_FALSE(header_matched(tx.view(), as_text("%01!RC120\r")).value);
    EXPECT_FALSE(header_matched(tx.view(), as_text("%01$WC14\r")).value);
    EXPECT_EQ(header_matched(as_text("%01#RCS"), as_text("%01")).failure.error, Error::index_out_of_range);
}

TEST(Numbers, StrictReading) {
    EXPECT_EQ(read_number(as_text("00ff"), 16).value, 255u);
    EXPECT_EQ(read_number(as_text("18446744073709551615"), 10).value, UINT64_MAX);
    EXPECT_EQ(read_number(as_text("18446744073709551616"), 10).status, NumberStatus::too_large);
    EXPECT_EQ(read_number(as_text("FFFFFFFFFFFFFFFFF"), 16).status, NumberStatus::too_large);
    EXPECT_EQ(read_number(as_text("FFFFFFFFFFFFFFFFFG"), 16).status, NumberStatus::invalid);
    for (const char* bad : {"", "+1", "-1", " 1", "1_0", "0x1", "1.0", "a"})
        EXPECT_EQ(read_number(as_text(bad), 10).status, NumberStatus::invalid) << bad;
    const Wide<std::uint16_t> arabic(U"\u0661");
    EXPECT_EQ(read_number(arabic.view(), 10).status, NumberStatus::invalid);
    EXPECT_EQ(slice(5, -3, -1), (Span{2, 4}));
    EXPECT_EQ(slice(1, -3, -1), (Span{0, 0}));
    EXPECT_EQ(slice(4, 3, 1), (Span{3, 3}));
}

TEST(Answers, StationSideFrames) {
    EXPECT_EQ(answer_frame("%01", Command::RCS, "1"), "%01$RC120\r");
    EXPECT_EQ(answer_frame("%01", Command::WCS, ""), "%01$WC14\r");
    EXPECT_EQ(answer_frame("%01", Command::RCC, "3412"), "%01$RC341215\r");
    EXPECT_EQ(answer_frame("%01", Command::RD, "0100FF00"), "%01$RD0100FF0017\r");
    EXPECT_EQ(error_frame("%01", kProcessUnknownCmd), "%01!0306\r");
    EXPECT_EQ(head_span(as_text("%1f#RCSR0000**\r")), (Span{0, 3}));
    EXPECT_EQ(head_span(as_text("RCS**\r")), (Span{0, 5}));
    const auto rcc = as_text("%01#RCCR00100011**\r");
    EXPECT_EQ(contact_word_count_at(rcc, 7).value, 2);
    const auto rd = as_text("%01#RDD0010000099**\r");
    EXPECT_EQ(register_count_at(rd, 6).value, 0);
    const auto empty_end = register_count_at(as_text("%01#RD**\r"), 6);
    EXPECT_EQ(empty_end.failure.error, Error::invalid_literal);
    EXPECT_EQ(empty_end.failure.span, (Span{9, 9}));  // the end register is read first
}

TEST(Answers, MasterSide) {
    const auto answer = as_text("%01$RD3412CDAB16\r");
    const Span part = command_part(answer);
    EXPECT_EQ(std::string(answer.substr(part.start, part.size()).begin(), answer.substr(part.start, part.size()).end()),
              "RD3412CDAB");
    EXPECT_EQ(command_part(as_text("%01$WC14\r")), (Span{4, 6}));
    EXPECT_EQ(error_code_span(as_text("%01!4203\r")), (Span{4, 6}));
}
