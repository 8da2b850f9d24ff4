#include "codec_test_util.hpp"
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/protocol/request_decode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ozu::protocol;
using ozu::codec::Error;
using codec_test::Wide;
using codec_test::with_check;
using codec_test::widen;

template <class Unit>
class RequestDecode : public ::testing::Test {
protected:
    // Decodes `frame` held in this width; keeps the text so that spans can be read back.
    DecodedRequest decode(std::string_view frame) {
        text_ = std::make_unique<Wide<Unit>>(widen(frame));
        ascii_ = frame;
        return decode_request(text_->view());
    }
    std::string piece(Span s) const { return ascii_.substr(s.start, s.size()); }

private:
    std::unique_ptr<Wide<Unit>> text_;
    std::string ascii_;
};
using Units = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(RequestDecode, Units);

TYPED_TEST(RequestDecode, EachCommandGivesItsFields) {
    auto r = this->decode("%01#RCSR0012**\r");
    EXPECT_EQ(r.status, RequestStatus::command);
    EXPECT_EQ(r.cmd, Command::RCS);
    EXPECT_EQ(r.station, 1u);
    EXPECT_EQ(this->piece(r.name), "R0012");
    EXPECT_EQ(this->piece(r.head), "%01");

    r = this->decode("%01#WCSR00121**\r");
    EXPECT_EQ(r.cmd, Command::WCS);
    EXPECT_EQ(this->piece(r.name), "R0012");
    EXPECT_TRUE(r.coil_value);
    EXPECT_FALSE(this->decode("%01#WCSX001F0**\r").coil_value);
    EXPECT_TRUE(this->decode("%01#WCSX001FA**\r").coil_value);

    r = this->decode("%01#RCCR00100010**\r");
    EXPECT_EQ(r.cmd, Command::RCC);
    EXPECT_EQ(this->piece(r.name), "R0010");
    EXPECT_EQ(r.count, 1);

    r = this->decode("%01#RDD0010000101**\r");
    EXPECT_EQ(r.cmd, Command::RD);
    EXPECT_EQ(this->piece(r.name), "D00100");
    EXPECT_EQ(r.count, 2);

    // Written values low byte first; characters after the last counted value are ignored.
    r = this->decode("%01#WCCR001000113412FFFFBEEF**\r");
    EXPECT_EQ(r.status, RequestStatus::command);
    EXPECT_EQ(r.values, (std::vector<std::uint16_t>{0x1234, 0xFFFF}));
    r = this->decode("%01#WDD0010000102010002000300**\r");
    EXPECT_EQ(this->piece(r.name), "D00100");
    EXPECT_EQ(r.values, (std::vector<std::uint16_t>{1, 2, 3}));
}

TYPED_TEST(RequestDecode, RangesAreNotValidated) {
    auto r = this->decode("%01#RDD0010500100**\r");
    EXPECT_EQ(r.status, RequestStatus::command);
    EXPECT_EQ(r.count, -4);
    r = this->decode("%01#WCCR00150010**\r");
    EXPECT_EQ(r.status, RequestStatus::command);
    EXPECT_EQ(r.count, -4);
    EXPECT_TRUE(r.values.empty());
}

TYPED_TEST(RequestDecode, FrameChecksInTheirOrder) {
    // Eight characters: never examined further, not even its check field.
    EXPECT_EQ(this->decode("%01#RC+\r").status, RequestStatus::invalid_frame);
    EXPECT_EQ(this->decode("").status, RequestStatus::invalid_frame);
    EXPECT_EQ(this->decode("X01#RCSR0012+5\r").status, RequestStatus::invalid_frame);
    EXPECT_EQ(this->decode("%01#RCSR001215\r").status, RequestStatus::invalid_frame);
    EXPECT_EQ(this->decode("%01#RCSR0012*4\r").status, RequestStatus::invalid_frame);
    EXPECT_EQ(this->decode(with_check("%01#RCSR0012")).status, RequestStatus::command);

    auto r = this->decode("%01#RCSR0012+5\r");
    EXPECT_EQ(r.status, RequestStatus::unreadable);
    EXPECT_EQ(r.failure.error, Error::invalid_literal);
    EXPECT_EQ(r.failure.span, (Span{12, 14}));
    EXPECT_FALSE(station_known(r.status));
}

TYPED_TEST(RequestDecode, StationNumber) {
    auto r = this->decode("%ZZ#RCSR0012**\r");
    EXPECT_EQ(r.status, RequestStatus::unreadable);
    EXPECT_EQ(r.failure.error, Error::invalid_literal);
    EXPECT_EQ(this->piece(r.failure.span), "ZZ");

    r = this->decode("%1f#RCSR0000**\r");
    EXPECT_EQ(r.station, 31u);
    EXPECT_EQ(this->piece(r.head), "%1f");
    r = this->decode("%001#RCSR0000**\r");
    EXPECT_EQ(r.station, 1u);
    EXPECT_EQ(this->piece(r.head), "%001");
    EXPECT_EQ(this->piece(r.station_span), "001");

    // More than 64 bits of station: the request goes on, the number is left to the caller.
    r = this->decode("%10000000000000000#RCSR0000**\r");
    EXPECT_EQ(r.status, RequestStatus::command);
    EXPECT_FALSE(r.station_fits);
    EXPECT_EQ(this->piece(r.station_span), "10000000000000000");
}

TYPED_TEST(RequestDecode, FieldFailuresComeAfterTheStation) {
    // The end field of RD is read first: here it is empty.
    auto r = this->decode("%01#RD**\r");
    EXPECT_EQ(r.status, RequestStatus::field_failure);
    EXPECT_TRUE(station_known(r.status));
    EXPECT_EQ(r.failure.error, Error::invalid_literal);
    EXPECT_EQ(r.failure.span, (Span{9, 9}));
    EXPECT_EQ(r.failure.base, 10);

    // End read before start: a bad start is reported only once the end is good.
    EXPECT_EQ(this->piece(this->decode("%01#RDDX0100X0101**\r").failure.span), "X0101");
    EXPECT_EQ(this->piece(this->decode("%01#RDDX010000101**\r").failure.span), "X0100");
    EXPECT_EQ(this->piece(this->decode("%01#RCCR00X00010**\r").failure.span), "00X0");

    r = this->decode("%01#WCSR0**\r");
    EXPECT_EQ(r.status, RequestStatus::field_failure);
    EXPECT_EQ(r.failure.error, Error::index_out_of_range);

    // The second value is not hexadecimal; the first was read.
    r = this->decode("%01#WDD00100001013412ZZ00**\r");
    EXPECT_EQ(r.status, RequestStatus::field_failure);
    EXPECT_EQ(this->piece(r.failure.span), "ZZ");
    // The check field is no value: the second one fails on its high byte "**".
    r = this->decode("%01#WDD0010000101341200**\r");
    EXPECT_EQ(r.status, RequestStatus::field_failure);
    EXPECT_EQ(this->piece(r.failure.span), "**");
}

TYPED_TEST(RequestDecode, UnknownCommandIsAnsweredWithItsCode) {
    auto r = this->decode("%01#XYZ**\r");
    EXPECT_EQ(r.status, RequestStatus::error_answer);
    EXPECT_EQ(r.error_code, ozu::codec::kProcessUnknownCmd);
    EXPECT_EQ(ozu::codec::error_frame(this->piece(r.head), r.error_code), "%01!0306\r");
    // A request without a type character: its head is the whole text less its last character,
    // and no command follows it.
    r = this->decode(with_check("%012345"));
    EXPECT_EQ(r.status, RequestStatus::error_answer);
    EXPECT_EQ(r.station, 0x01234524u);
    EXPECT_EQ(this->piece(r.head), "%01234524");
}

TYPED_TEST(RequestDecode, AnswerThatWouldNotFitOneFrameIsRefused) {
    // Registers 0..99999 and words 0..9999: twenty-byte requests asking for 400,009 and
    // 40,009 bytes.
    for (const char* frame : {"%01#RDD0000099999**\r", "%01#RCCR00009999**\r"}) {
        const auto r = this->decode(frame);
        EXPECT_EQ(r.status, RequestStatus::error_answer) << frame;
        EXPECT_EQ(r.error_code, ozu::codec::kProcessError) << frame;
        EXPECT_EQ(ozu::codec::error_frame(this->piece(r.head), r.error_code), with_check("%01!02"));
    }
    // The limit is the frame reader's: 509 words after "%01" make 2045 bytes, 510 make 2049.
    EXPECT_EQ(this->decode("%01#RDD0000000508**\r").status, RequestStatus::command);
    EXPECT_EQ(this->decode("%01#RDD0000000509**\r").status, RequestStatus::error_answer);
    EXPECT_EQ(this->decode("%01#RCCR00000508**\r").status, RequestStatus::command);
    EXPECT_EQ(this->decode("%01#RCCR00000509**\r").status, RequestStatus::error_answer);
    // ... and a longer head leaves room for fewer words: 2048 bytes exactly still fit.
    EXPECT_EQ(this->decode("%00001#RDD0000000508**\r").status, RequestStatus::command);
    EXPECT_EQ(this->decode("%000001#RDD0000000508**\r").status, RequestStatus::error_answer);
    // Fields are read before the size is judged.
    EXPECT_EQ(this->decode("%01#RDD00000999X9**\r").status, RequestStatus::field_failure);
}

TEST(RequestDecodeLength, AnswerLengthIsTheLengthOfTheAnswerBuilt) {
    for (std::int64_t count : {-3, 0, 1, 2, 509, 510}) {
        std::string data;
        for (std::int64_t i = 0; i < count; ++i) ozu::codec::append_uint16(data, static_cast<std::uint16_t>(i));
        for (Command cmd : {Command::RCC, Command::RD})
            EXPECT_EQ(answer_length(3, cmd, count), ozu::codec::answer_frame("%01", cmd, data).size()) << count;
        for (Command cmd : {Command::WCS, Command::WCC, Command::WD})
            EXPECT_EQ(answer_length(4, cmd, count), ozu::codec::answer_frame("%100", cmd, "").size());
    }
    EXPECT_EQ(answer_length(3, Command::RCS, 7), ozu::codec::answer_frame("%01", Command::RCS, "1").size());
    // A caller's own huge count does not wrap around.
    EXPECT_FALSE(answer_fits(3, Command::RD, INT64_MAX));
}

TEST(RequestDecodeBytes, LatinOneBytesDecodeAsOneByteText) {
    const std::string frame = "%01#RCS\xE9\x30\x30\x31\x32**\r";
    const DecodedRequest a = decode_request(std::string_view(frame));
    const DecodedRequest b = decode_request(ozu::codec::as_text(frame));
    EXPECT_EQ(a.status, RequestStatus::command);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(frame.substr(a.name.start, a.name.size()), "\xE9" "0012");
}

TEST(RequestDecodeStation, DefaultStationDecision) {
    auto to = [](std::string_view frame) { return decode_request(frame); };
    EXPECT_FALSE(not_for_this_station(1, to("%01#RCSR0012**\r")));
    EXPECT_TRUE(not_for_this_station(1, to("%02#RCSR0012**\r")));
    EXPECT_FALSE(not_for_this_station(1, to("%00#RCSR0012**\r")));  // a request to every station
    EXPECT_FALSE(not_for_this_station(0, to("%02#RCSR0012**\r")));  // a station taking every request
    EXPECT_TRUE(not_for_this_station(1, to("%10000000000000001#RCSR0012**\r")));
    EXPECT_FALSE(not_for_this_station(0, to("%10000000000000000#RCSR0012**\r")));
}

TEST(RequestDecodeHalves, FrameThenCommandIsTheWholeDecoding) {
    for (std::string_view frame : {"", "%01#RC+\r", "%01#RCSR0012+5\r", "%ZZ#RCSR0012**\r", "%01#RCSR001215\r",
                                   "%01#RCSR0012**\r", "%02#WDD00100001013412ZZ00**\r", "%01#XYZ**\r",
                                   "%01#RDD0000099999**\r", "%01#WCSR0**\r", "%01#WCCR001000113412FFFF**\r"}) {
        const DecodedRequest whole = decode_request(frame);
        DecodedRequest halves;
        const bool goes_on = decode_frame(ozu::codec::as_text(frame), halves);
        EXPECT_EQ(goes_on, station_known(whole.status)) << frame;
        if (goes_on) decode_command(ozu::codec::as_text(frame), halves);
        EXPECT_EQ(halves.status, whole.status) << frame;
        EXPECT_EQ(halves.failure.span, whole.failure.span) << frame;
        EXPECT_EQ(halves.station, whole.station) << frame;
        EXPECT_EQ(halves.head, whole.head) << frame;
        EXPECT_EQ(halves.cmd, whole.cmd) << frame;
        EXPECT_EQ(halves.values, whole.values) << frame;
        EXPECT_EQ(halves.error_code, whole.error_code) << frame;
    }
}
