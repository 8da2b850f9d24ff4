// Reads data registers with the native master.
//
//   read_registers DEVICE STATION NAME COUNT    e.g. read_registers /dev/ttyUSB0 1 DT100 4
//   read_registers                              runs a station on the in-process null-modem and
//                                               writes, then reads back, DT100..DT103 from it
#include <ozu/native/master.hpp>
#include <ozu/native/station.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// A station that keeps its registers in memory; contacts and contact words are all off.
class Registers : public ozu::native::Handler {
public:
    using Reply = ozu::native::Reply;
    Reply get_coil(std::uint64_t, std::string_view, bool& value) override {
        value = false;
        return Reply::ok();
    }
    Reply get_multi_coil_uint16(std::uint64_t, std::string_view, std::int64_t count,
                                std::vector<std::uint16_t>& values) override {
        values.assign(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
        return Reply::ok();
    }
    Reply get_multi_uint16(std::uint64_t, std::string_view name, std::int64_t count,
                           std::vector<std::uint16_t>& values) override {
        const long start = std::stol(std::string(name.substr(1)));  // "D00100": area letter, five digits
        for (std::int64_t i = 0; i < count; ++i) values.push_back(registers_[start + i]);
        return Reply::ok();
    }
    Reply set_coil(std::uint64_t, std::string_view, bool) override { return Reply::ok(); }
    Reply set_multi_coil_uint16(std::uint64_t, std::string_view, std::span<const std::uint16_t>) override {
        return Reply::ok();
    }
    Reply set_multi_uint16(std::uint64_t, std::string_view name, std::span<const std::uint16_t> values) override {
        const long start = std::stol(std::string(name.substr(1)));
        for (std::size_t i = 0; i < values.size(); ++i) registers_[start + static_cast<long>(i)] = values[i];
        return Reply::ok();
    }

private:
    std::map<long, std::uint16_t> registers_;
};

int read(ozu::native::Master& master, std::uint64_t station, const std::string& name, std::int64_t count) {
    auto words = master.get_multi_uint16(station, name, count);
    if (!words) {
        std::fprintf(stderr, "%s\n", words.error().message.c_str());
        return 1;
    }
    for (std::size_t i = 0; i < words.value().size(); ++i)
        std::printf("%s+%zu = %u\n", name.c_str(), i, static_cast<unsigned>(words.value()[i]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5) {
        auto port = ozu::native::open({.port = argv[1]});
        if (!port) {
            std::fprintf(stderr, "%s\n", port.error().message.c_str());
            return 1;
        }
        ozu::native::Master master(*port.value());
        return read(master, std::strtoull(argv[2], nullptr, 10), argv[3], std::strtoll(argv[4], nullptr, 10));
    }

    auto station_end = ozu::native::open({.port = "brix:pipe:example:b"});
    auto master_end = ozu::native::open({.port = "brix:pipe:example:a"});
    if (!station_end || !master_end) return 1;
    Registers registers;
    ozu::native::Station station(*station_end.value(), registers, {.station = 1});
    std::thread serving([&] { (void)station.run(); });

    ozu::native::Master master(*master_end.value(), {.query_timeout = 1.0});
    const std::uint16_t values[] = {1, 2, 300, 65535};
    auto written = master.set_multi_uint16(1, "DT100", values);
    int code = written ? read(master, 1, "DT100", 4) : 1;
    if (!written) std::fprintf(stderr, "%s\n", written.error().message.c_str());

    station.stop();
    serving.join();
    return code;
}
