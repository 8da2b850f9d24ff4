// Request frames: one builder per command the master sends, each returning the complete frame
// (block check and "\r" included) as ASCII text, or the failure the host must raise.
//
// Names are given as written by users: a contact "R12" / "R0012" / "X10A" (area letter, then the
// address, left-padded to four characters); a contact word "WR10" (W, area letter, decimal word
// number, padded to four digits); a register "DT100" / "D100" (area letter, optionally a second
// letter, decimal register number written as five digits).
//
// Checks, in the order they are made:
//  1. the builder's own assertions (assertion_failed; skipped when `assertions` is false), reading
//     names and numbers as they need (index_out_of_range, invalid_literal, too_large);
//  2. every name argument, in parameter order: bad_name when it holds a control, non-ASCII or frame
//     character ('%', '#', '$', '!', '*'); field_too_wide for a contact address longer than four
//     characters or a contact word number longer than four digits;
//  3. negative_station;
//  4. then the frame is composed step by step as the builder describes, with its reading failures
//     where they occur, register numbers checked to lie in 0..99999 and computed last word numbers
//     to fit four digits once read (register_out_of_range, field_too_wide), and each value through
//     uint16_field (assertion_failed, value_out_of_range).
// too_large means the caller must redo the build with arbitrary-precision numbers: the failure it
// would end in cannot be told from 64-bit arithmetic.
#pragma once

#include "ozu/codec/text.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ozu::codec {

// The text of a built frame (ASCII). Frames of usual length stay in the object itself.
class Frame {
public:
    Frame() noexcept = default;
    Frame(const Frame& other) : size_(other.size_), heap_(other.heap_) { std::memcpy(inline_, other.inline_, size_); }
    Frame(Frame&& other) noexcept : size_(other.size_), heap_(std::move(other.heap_)) {
        std::memcpy(inline_, other.inline_, size_);
    }
    Frame& operator=(const Frame& other) {
        if (this != &other) {
            size_ = other.size_;
            heap_ = other.heap_;
            std::memcpy(inline_, other.inline_, size_);
        }
        return *this;
    }
    Frame& operator=(Frame&& other) noexcept {
        size_ = other.size_;
        heap_ = std::move(other.heap_);
        std::memmove(inline_, other.inline_, size_);
        return *this;
    }

    std::string_view view() const noexcept { return heap_.empty() ? std::string_view(inline_, size_) : heap_; }
    std::size_t size() const noexcept { return view().size(); }
    std::string str() const { return std::string(view()); }
    void push(char c) {
        if (heap_.empty() && size_ < kInline) inline_[size_++] = c;
        else append_long(std::string_view(&c, 1));
    }
    void append(std::string_view text) {
        if (heap_.empty() && text.size() <= kInline - size_) {
            std::memcpy(inline_ + size_, text.data(), text.size());
            size_ += text.size();
        } else {
            append_long(text);
        }
    }
    void append(std::size_t count, char c) {
        for (; count > 0; --count) push(c);
    }
    friend bool operator==(const Frame& a, std::string_view b) noexcept { return a.view() == b; }

private:
    void append_long(std::string_view text);

    static constexpr std::size_t kInline = 96;
    char inline_[kInline];  // the first size_ characters are the frame while heap_ is empty
    std::size_t size_ = 0;
    std::string heap_;  // used once the frame outgrows the inline storage
};

struct BuildOptions {
    bool assertions = true;  // the host's assert statements run
};

// The checks on names and address fields, shared by the builders and by callers that compose
// requests step by step. Each returns an empty Failure when the check passes.
// Characters of a contact name and its address (after the area letter) of at most four characters.
Failure check_contact_name(AnyText contact) noexcept;
// Characters of a contact word name and, when `width` is set, its word number (from the third
// character) of at most four digits. arg: contact_start or contact_end.
Failure check_word_name(AnyText name, Arg arg, bool width) noexcept;
// Characters of a register name. arg: reg_start or reg.
Failure check_register_name(AnyText name, Arg arg) noexcept;
// A computed word number written in decimal: 0..9999 (field_too_wide otherwise).
Failure check_word_number(std::int64_t number, Arg arg) noexcept;
// A register number written as five digits: 0..99999 (register_out_of_range otherwise).
Failure check_register_number(std::int64_t number, Arg arg) noexcept;

// "RCS": area letter, contact address.
Result<Frame> build_read_contact(std::int64_t station, AnyText contact, BuildOptions opt = {});

// "WCS": area letter, contact address, "1" or "0".
Result<Frame> build_write_contact(std::int64_t station, AnyText contact, bool value, BuildOptions opt = {});

// "RCC": area letter, first and last word number. Exactly one of contact_end and word_count is
// expected; without assertions word_count wins, and with neither the missing end is reported as
// none_not_subscriptable once the header and first word are composed.
Result<Frame> build_read_contact_words(std::int64_t station, AnyText contact_start,
                                             std::optional<AnyText> contact_end,
                                             std::optional<std::int64_t> word_count, BuildOptions opt = {});

// "WCC": area letter, first and last word number, one 16-bit value per word.
Result<Frame> build_write_contact_words(std::int64_t station, AnyText contact_start,
                                              std::span<const std::int64_t> values, BuildOptions opt = {});

// "RD": area letter, first and last register ("%05d" each).
Result<Frame> build_read_registers(std::int64_t station, AnyText reg_start, std::int64_t reg_count,
                                         BuildOptions opt = {});

// "WD": area letter, first and last register, one 16-bit value per register. `name_arg` is the
// argument failures about the name point at (reg_start, or reg for a single register).
Result<Frame> build_write_registers(std::int64_t station, AnyText reg_start,
                                          std::span<const std::int64_t> values, BuildOptions opt = {},
                                          Arg name_arg = Arg::reg_start);

// "WD" of one register.
Result<Frame> build_write_register(std::int64_t station, AnyText reg, std::int64_t value,
                                         BuildOptions opt = {});

}  // namespace ozu::codec
