#include "ozu/codec/answers.hpp"

#include "ozu/codec/fields.hpp"

namespace ozu::codec {
namespace {

template <class Unit>
Result<std::int64_t> count_between(Text<Unit> request, std::size_t start_at, std::size_t end_at, std::size_t width) {
    const auto n = request.size();
    const auto s = static_cast<std::ptrdiff_t>(start_at);
    const auto e = static_cast<std::ptrdiff_t>(end_at);
    const Result<std::uint64_t> end = read_piece(request, slice(n, e, e + static_cast<std::ptrdiff_t>(width)), 10, Arg::data);
    if (!end.ok()) return {0, end.failure};
    const Result<std::uint64_t> start = read_piece(request, slice(n, s, e), 10, Arg::data);
    if (!start.ok()) return {0, start.failure};
    return {static_cast<std::int64_t>(end.value) - static_cast<std::int64_t>(start.value) + 1, {}};
}

}  // namespace

template <class Unit>
Result<std::int64_t> contact_word_count_at(Text<Unit> request, std::size_t pos) noexcept {
    return count_between(request, pos + 1, pos + 5, 4);
}

template <class Unit>
Result<std::int64_t> register_count_at(Text<Unit> request, std::size_t pos) noexcept {
    return count_between(request, pos + 1, pos + 6, 5);
}

std::string with_tail(std::string body) {
    const auto tail = tail_of(xor_bytes(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    body.append(tail.data(), tail.size());
    return body;
}

std::string answer_frame(std::string_view head, Command cmd, std::string_view data) {
    std::string body;
    body.reserve(head.size() + 3 + data.size() + 3);
    body.append(head);
    body.push_back(kFeedback);
    body.append(command_text(cmd).substr(0, 2));
    body.append(data);
    return with_tail(std::move(body));
}

std::string error_frame(std::string_view head, int code) {
    std::array<char, 24> buffer{};
    std::string body(head);
    body.append(error_body(code, buffer));
    return with_tail(std::move(body));
}

#define OZU_INSTANTIATE(Unit)                                                                        \
    template Result<std::int64_t> contact_word_count_at<Unit>(Text<Unit>, std::size_t) noexcept;    \
    template Result<std::int64_t> register_count_at<Unit>(Text<Unit>, std::size_t) noexcept;
OZU_INSTANTIATE(std::uint8_t)
OZU_INSTANTIATE(std::uint16_t)
OZU_INSTANTIATE(std::uint32_t)
#undef OZU_INSTANTIATE

}  // namespace ozu::codec
