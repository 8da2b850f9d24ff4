#include "codec_test_util.hpp"
#include "ozu/codec/answers.hpp"
#include "ozu/protocol/answer_check.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace ozu::protocol;
using ozu::codec::Error;
using codec_test::Wide;
using codec_test::with_check;
using codec_test::widen;

namespace {

const std::string kReadCoil = "%01#RCSR001214\r";

}  // namespace

// The answer in each width against a one-byte request (as the master builds it), and the other way.
template <class Unit>
class AnswerCheck : public ::testing::Test {
protected:
    CheckedAnswer check(std::string_view request, std::u32string_view answer) {
        request_ = std::make_unique<Wide<Unit>>(widen(request));
        answer_ = std::make_unique<Wide<Unit>>(answer);
        const CheckedAnswer narrow_request = check_answer(ozu::codec::as_text(request), answer_->view());
        const CheckedAnswer wide_request = check_answer(request_->view(), answer_->view());
        EXPECT_EQ(narrow_request.status, wide_request.status);
        EXPECT_EQ(narrow_request.part, wide_request.part);
        return wide_request;
    }
    CheckedAnswer check(std::string_view request, std::string_view answer) { return check(request, widen(answer)); }
    std::string message(const CheckedAnswer& c) {
        return answer_message(c, request_->view(), answer_->view(), "COM3");
    }

private:
    std::unique_ptr<Wide<Unit>> request_, answer_;
};
using Units = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(AnswerCheck, Units);

TYPED_TEST(AnswerCheck, AcceptedAnswersGiveTheCommandPart) {
    auto c = this->check(kReadCoil, "%01$RC120\r");
    EXPECT_EQ(c.status, AnswerStatus::accepted);
    EXPECT_EQ(c.part, (Span{4, 7}));
    EXPECT_EQ(this->check("%01#RDD0010000101**\r", "%01$RD3412CDAB16\r").part, (Span{4, 14}));
    // Nine characters exactly; a write answer's part is its letters.
    c = this->check("%01#WCSR00121**\r", "%01$WC14\r");
    EXPECT_EQ(c.status, AnswerStatus::accepted);
    EXPECT_EQ(c.part, (Span{4, 6}));
    // Check digits in either case; "**" skips the check; one station digit matches two.
    EXPECT_EQ(this->check("%01#RDD0010000100**\r", "%01$RD00081e\r").status, AnswerStatus::accepted);
    EXPECT_EQ(this->check(kReadCoil, "%01$RC1**\r").status, AnswerStatus::accepted);
    EXPECT_EQ(this->check(kReadCoil, with_check("%1$RC1")).status, AnswerStatus::accepted);
}

TYPED_TEST(AnswerCheck, EachFailureInItsOrderWithItsMessage) {
    struct Case {
        const char* answer;
        AnswerStatus status;
        const char* message;
    };
    const Case cases[] = {
        {"X01$RC120\r", AnswerStatus::bad_head, "Error:COM3:device response format invalid:begin with [X]"},
        {"%01$RC\r", AnswerStatus::too_short, "Error:COM3:device response format invalid:length too small:[7]"},
        {"%01$RC1FF\r", AnswerStatus::block_check_mismatch, "Error:COM3:device response format invalid:block check mismatch"},
        {"%01$RC1G0\r", AnswerStatus::block_check_mismatch, "Error:COM3:device response format invalid:block check mismatch"},
        {"%01$RC1*0\r", AnswerStatus::block_check_mismatch, "Error:COM3:device response format invalid:block check mismatch"},
        {"%02$RC1**\r", AnswerStatus::other_station, "Error:COM3:station not match:expected 1, got 2"},
        {"%01!4203\r", AnswerStatus::error_answer, "COM3:MEW communication error code(hex):[42]"},
        {"%01$WC**\r", AnswerStatus::other_command, "Error:COM3:command not match:expected RC, got WC"},
        // The header is tested after the station field but before the length.
        {"X1$\r", AnswerStatus::bad_head, "Error:COM3:device response format invalid:begin with [X]"},
        // Station before the error flag: an error answer from another station is another station's.
        {"%02!42**\r", AnswerStatus::other_station, "Error:COM3:station not match:expected 1, got 2"},
    };
    for (const Case& k : cases) {
        const CheckedAnswer c = this->check(kReadCoil, k.answer);
        EXPECT_EQ(c.status, k.status) << k.answer;
        EXPECT_EQ(this->message(c), k.message) << k.answer;
    }
}

TYPED_TEST(AnswerCheck, UnreadablePieces) {
    // The answer's station field comes first of all.
    auto c = this->check(kReadCoil, "%0G$RC1**\r");
    EXPECT_EQ(c.status, AnswerStatus::answer_unreadable);
    EXPECT_EQ(c.failure.error, Error::invalid_literal);
    EXPECT_EQ(c.failure.span, (Span{1, 3}));
    EXPECT_EQ(this->check(kReadCoil, "").status, AnswerStatus::answer_unreadable);
    EXPECT_EQ(this->message(c), "");

    // The request's own station field, once the answer passed its format checks.
    c = this->check("%0Z#RCSR0012**\r", "%01$RC1**\r");
    EXPECT_EQ(c.status, AnswerStatus::request_unreadable);
    EXPECT_EQ(c.failure.span, (Span{1, 3}));

    // No type character in an answer that passes the rest: its type cannot be read.
    std::string untyped = with_check("%0101010");
    untyped.back() = '0';
    std::string request = untyped;  // built in place: GCC 12 misreads "%" + substr(...) at -O2
    request += "#RCSR0012**\r";
    c = this->check(request, untyped);
    EXPECT_EQ(c.status, AnswerStatus::answer_unreadable);
    EXPECT_EQ(c.failure.error, Error::index_out_of_range);
}

TYPED_TEST(AnswerCheck, StationsBeyondSixtyFourBits) {
    const std::string request = "%10000000000000001#RCSR0012**\r";
    auto c = this->check(request, "%010000000000000001$RC1**\r");
    EXPECT_EQ(c.status, AnswerStatus::accepted);
    c = this->check(request, "%10000000000000002$RC1**\r");
    EXPECT_EQ(c.status, AnswerStatus::other_station);
    EXPECT_EQ(this->message(c),
              "Error:COM3:station not match:expected 18446744073709551617, got 18446744073709551618");
    c = this->check(request, "%01$RC1**\r");
    EXPECT_EQ(this->message(c), "Error:COM3:station not match:expected 18446744073709551617, got 1");
}

TEST(AnswerCheckText, PiecesOfMessagesKeepTheirCharacters) {
    // A Latin-1 byte in the answer is the same character in the message, written as UTF-8.
    const std::string answer = "\xE9" "01$RC120\r";
    const CheckedAnswer c = check_answer(std::string_view(kReadCoil), std::string_view(answer));
    EXPECT_EQ(c.status, AnswerStatus::bad_head);
    EXPECT_EQ(answer_message(c, std::string_view(kReadCoil), std::string_view(answer), "p"),
              "Error:p:device response format invalid:begin with [\xC3\xA9]");
    EXPECT_EQ(timeout_message("COM3"), "MewMasterBase:COM3:device response timeout.");
}

TEST(AnswerCheckText, StationDecimalOfAnyLength) {
    const std::string digits = "00FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
    EXPECT_EQ(station_decimal(ozu::codec::as_text(digits), Span{0, digits.size()}),
              "340282366920938463463374607431768211455");
    EXPECT_EQ(station_decimal(ozu::codec::as_text(std::string("0")), Span{0, 1}), "0");
    EXPECT_EQ(station_decimal(ozu::codec::as_text(std::string("3b9aca00")), Span{0, 8}), "1000000000");
}
