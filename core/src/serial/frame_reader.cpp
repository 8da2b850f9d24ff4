#include "ozu/serial/frame_reader.hpp"

namespace ozu::serial {

namespace {
struct PortSource {
    Port& port;
    int next(std::uint8_t& byte, IoError& err) {
        std::ptrdiff_t got = port.read(&byte, 1, err);
        return got > 0 ? 1 : static_cast<int>(got);
    }
};
}  // namespace

FrameResult read_frame(Port& port, std::string prefix, std::size_t max) {
    PortSource source{port};
    return read_frame_from(source, std::move(prefix), max);
}

}  // namespace ozu::serial
