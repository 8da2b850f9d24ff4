// The native station's whole answer to one received frame: the core's request decoding, the
// station decision, the handler `ozu-mew station` serves from, and the answer frame.
//
// Input: byte 0 picks the station's own number (0..3) and whether the handler refuses with an
// error code; the rest is the frame as it came off the line. The handler's map persists between
// inputs (emptied now and then), as a running station's does.
//
// Checked: no crash or undefined behaviour; every answer is ASCII, ends with its only "\r", passes
// its own block check, repeats the request's text before the type character, and is a normal
// ("$") or error ("!") answer; a station never answers a request that fails the frame checks.
#include "station_data.hpp"

#include "ozu/codec/frame.hpp"
#include "ozu/native/result.hpp"
#include "ozu/native/station.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

class Refusing : public ozu::cli::MapHandler {
public:
    bool refuse = false;
    ozu::native::Reply set_multi_uint16(std::uint64_t s, std::string_view n, std::span<const std::uint16_t> v) override {
        return refuse ? ozu::native::Reply::error(0x42) : MapHandler::set_multi_uint16(s, n, v);
    }
};

ozu::serial::Port& port() {
    static std::unique_ptr<ozu::serial::Port> p = [] {
        auto opened = ozu::native::open({.port = "brix:pipe:fuzz-native-station:a"});
        if (!opened) std::abort();
        return std::move(opened).value();
    }();
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static Refusing handler;
    static unsigned inputs = 0;
    if (++inputs % 4096 == 0) handler = Refusing{};  // keeps the map from growing without bound
    handler.refuse = (data[0] & 4) != 0;
    ozu::native::Station station(port(), handler, {.station = static_cast<std::uint64_t>(data[0] & 3)});
    const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::optional<std::string> answer = station.answer(request);
    if (!answer) return 0;

    require(request.size() >= 9 && request[0] == ozu::codec::kHead);
    const std::string& a = *answer;
    require(!a.empty() && a.back() == '\r' && a.size() <= 2048);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto c = static_cast<unsigned char>(a[i]);
        require(c < 0x80 && (c != '\r' || i + 1 == a.size()));
    }
    const auto ok = ozu::codec::crc_is_ok(ozu::codec::as_text(a));
    require(ok.ok() && ok.value);
    const std::ptrdiff_t edge = ozu::codec::station_end(ozu::codec::as_text(a));
    require(edge > 0 && (a[static_cast<std::size_t>(edge)] == '$' || a[static_cast<std::size_t>(edge)] == '!'));
    require(request.compare(0, static_cast<std::size_t>(edge), a, 0, static_cast<std::size_t>(edge)) == 0);
    return 0;
}
