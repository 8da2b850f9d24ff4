// Block check: the xor of the text's UTF-8 bytes, computed without encoding, must equal the xor of
// a plain encoder's output in every code-unit width; a frame given its own tail must check out.
#include "ozu/codec/frame.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace ozu::codec;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// Reference: encode to UTF-8 (false for a surrogate) and xor the bytes.
bool reference_check(const std::vector<std::uint32_t>& text, std::uint8_t& out) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t c : text) {
        if (c < 0x80) {
            bytes.push_back(static_cast<std::uint8_t>(c));
        } else if (c < 0x800) {
            bytes.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c < 0xE000) return false;
            bytes.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        } else {
            bytes.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    out = 0;
    for (std::uint8_t b : bytes) out ^= b;
    return true;
}

template <class Unit>
Text<Unit> view(const std::vector<Unit>& v) {
    return {v.data(), v.size()};
}

bool same(const Result<bool>& a, const Result<bool>& b) {
    return a.failure.error == b.failure.error && a.failure.span == b.failure.span && a.value == b.value;
}

// The same code points in every width that can hold them must give the same answers.
void check_text(const std::vector<std::uint32_t>& points) {
    std::uint8_t expected = 0;
    const bool encodable = reference_check(points, expected);
    const auto wide = block_check(view(points));
    require(wide.ok() == encodable);
    if (encodable) require(wide.value == expected);
    const auto ok32 = crc_is_ok(view(points));

    std::uint32_t highest = 0;
    for (std::uint32_t c : points) highest = c > highest ? c : highest;
    if (highest <= 0xFFFF) {
        const std::vector<std::uint16_t> units(points.begin(), points.end());
        const auto r = block_check(view(units));
        require(r.ok() == wide.ok() && r.value == wide.value);
        require(same(crc_is_ok(view(units)), ok32));
    }
    if (highest <= 0xFF) {
        const std::vector<std::uint8_t> units(points.begin(), points.end());
        const auto r = block_check(view(units));
        require(r.ok() && r.value == wide.value);
        require(same(crc_is_ok(view(units)), ok32));
    }
    if (encodable) {
        // A text followed by its own tail is accepted.
        std::vector<std::uint32_t> framed(points);
        for (char c : tail_of(wide.value)) framed.push_back(static_cast<unsigned char>(c));
        const auto r = crc_is_ok(view(framed));
        require(r.ok() && r.value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes as Latin-1 text.
    check_text(std::vector<std::uint32_t>(data, data + size));
    require(block_check(Text8(data, size)).value == block_check(view(std::vector<std::uint32_t>(data, data + size))).value);
    // Every three bytes as one code point of the whole range (surrogates included).
    std::vector<std::uint32_t> points;
    for (std::size_t i = 0; i + 3 <= size; i += 3)
        points.push_back((data[i] | (data[i + 1] << 8) | (static_cast<std::uint32_t>(data[i + 2]) << 16)) % 0x110000);
    check_text(points);
    return 0;
}
