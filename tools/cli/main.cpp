// ozu-mew: commissioning and field checks from the command line, on the native master and station.
//
// Exit codes: 0 success, 1 error answer from the station (its code printed), 2 usage,
// 3 time-out, invalid answer or link failure.
#include "args.hpp"
#include "names.hpp"
#include "port_list.hpp"
#include "station_data.hpp"

#include "ozu/native/master.hpp"
#include "ozu/native/station.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ozu::cli {
namespace {

constexpr int kOk = 0;
constexpr int kErrorAnswer = 1;
constexpr int kUsage = 2;
constexpr int kLinkFailure = 3;

const char* const kCommonHelp =
    "Serial and query options (every subcommand that opens DEVICE):\n"
    "  --baudrate N        line speed (default 9600)\n"
    "  --parity P          N, E, O, M or S (default O)\n"
    "  --bytesize N        5 to 8 (default 8)\n"
    "  --stopbits N        1, 1.5 or 2 (default 1)\n"
    "  --timeout S         read time-out between bytes of a frame, seconds (default 1)\n"
    "  --query-timeout S   longest wait for an answer, seconds (default 1)\n"
    "  --trace             print every frame with its direction and time on standard error\n"
    "DEVICE: /dev/ttyS0 (any tty path), COM3, brix://HOST:PORT, brix:pipe:NAME:a or :b\n";

const std::map<std::string, std::string> kHelp = {
    {"", "usage: ozu-mew COMMAND [ARGS] [OPTIONS]\n"
         "Commands:\n"
         "  read DEVICE STATION NAME[:COUNT] [--as u16|i16|u32|i32|bits]\n"
         "  write DEVICE STATION NAME VALUE... [--as u16|i16|u32|i32|bits]\n"
         "  poll DEVICE STATION NAME[:COUNT]... [--every S] [--count N] [--json] [--as ...]\n"
         "  station DEVICE [--station N] [--map FILE.json [--write-back]] [--random]\n"
         "  scan DEVICE [--stations FIRST-LAST]\n"
         "  ports\n"
         "`ozu-mew COMMAND --help` describes one command.\n"
         "Exit codes: 0 success, 1 error answer from the station, 2 usage, 3 time-out or link failure.\n"},
    {"read",
     "usage: ozu-mew read DEVICE STATION NAME[:COUNT] [--as u16|i16|u32|i32|bits] [OPTIONS]\n"
     "Reads COUNT items from NAME and prints one value per line.\n"
     "  NAME   a contact (R0012, X10A), a contact word (WR10) or a register (DT100)\n"
     "  --as   how to read: u16 (default for words and registers), i16, u32, i32 (two registers\n"
     "         each, low word first), bits (default for contacts; words print as 16 binary digits)\n"
     "Example: ozu-mew read brix://10.0.0.7:9000 1 DT100:4 --as i16\n"},
    {"write",
     "usage: ozu-mew write DEVICE STATION NAME VALUE... [--as u16|i16|u32|i32|bits] [OPTIONS]\n"
     "Writes the values to consecutive items from NAME, in one request (one per contact).\n"
     "  VALUE  decimal or 0x hexadecimal; contacts take 0/1, on/off, true/false\n"
     "  Negative values: put \"--\" before them, or write them as they are (-5 is no option).\n"
     "Example: ozu-mew write /dev/ttyUSB0 1 DT100 1 2 3\n"},
    {"poll",
     "usage: ozu-mew poll DEVICE STATION NAME[:COUNT]... [--every S] [--count N] [--json] [OPTIONS]\n"
     "Reads the names again and again and prints one line per poll with a UTC time stamp:\n"
     "CSV with a header line by default, JSON objects with --json. Ctrl-C ends it.\n"
     "  --every S   seconds from the start of one poll to the next (default 1)\n"
     "  --count N   stop after N polls (default: until interrupted)\n"
     "  --as F      as for read, for every name\n"},
    {"station",
     "usage: ozu-mew station DEVICE [--station N] [--map FILE.json [--write-back]] [--random] [OPTIONS]\n"
     "Answers requests on DEVICE as a simulated station until Ctrl-C.\n"
     "  --station N    station number to answer for (default 1; 0 answers every station)\n"
     "  --map FILE     registers and contact words to start from:\n"
     "                 {\"registers\": {\"DT100\": 1234}, \"words\": {\"WR10\": 4660}, \"contacts\": {\"R0012\": true}}\n"
     "  --write-back   save the map to FILE on exit, with what masters wrote\n"
     "  --random       answer reads with random values and print writes, like the demonstration station\n"},
    {"scan",
     "usage: ozu-mew scan DEVICE [--stations FIRST-LAST] [OPTIONS]\n"
     "Asks each station for contact R0000 and prints the number of each one that answers\n"
     "(an error answer counts as an answer). Default range 1-32. Exit code 3 when none answers.\n"},
    {"ports", "usage: ozu-mew ports\nLists the serial ports of this machine, one per line.\n"},
};

const std::set<std::string> kCommonValued = {"baudrate", "parity", "bytesize", "stopbits", "timeout", "query-timeout"};

std::atomic<bool> g_interrupted{false};
std::atomic<bool>* g_station_stop = nullptr;

extern "C" void on_signal(int) {
    g_interrupted.store(true);
    if (g_station_stop) g_station_stop->store(true);
}

std::string iso_time(std::chrono::system_clock::time_point t) {
    const auto since = t.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since - seconds).count();
    const std::time_t tt = static_cast<std::time_t>(seconds.count());
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &tt);
#else
    gmtime_r(&tt, &tm);
#endif
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(micros));
    return buffer;
}

void print_trace(native::Direction direction, std::string_view frame, std::chrono::system_clock::time_point t) {
    const std::string line = iso_time(t) + (direction == native::Direction::Sent ? " sent " : " received ") +
                             native::printable(frame) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

int fail_with(const native::Error& error) {
    std::fprintf(stderr, "ozu-mew: %s\n", error.message.c_str());
    switch (error.kind) {
        case native::ErrorKind::ErrorAnswer: return kErrorAnswer;
        case native::ErrorKind::InvalidArgument: return kUsage;
        default: return kLinkFailure;
    }
}

serial::Settings settings_from(const Args& args, const std::string& device) {
    serial::Settings s;
    s.port = device;
    if (auto v = args.integer("baudrate")) {
        if (*v <= 0 || *v > 0x7FFFFFFF) throw UsageError("--baudrate: expected a positive number");
        s.baudrate = static_cast<long>(*v);
    }
    if (auto v = args.integer("bytesize")) {
        if (*v < 5 || *v > 8) throw UsageError("--bytesize: expected 5, 6, 7 or 8");
        s.bytesize = static_cast<int>(*v);
    }
    if (auto v = args.value("parity")) {
        if (v->size() != 1 || std::string("NEOMSneoms").find((*v)[0]) == std::string::npos)
            throw UsageError("--parity: expected N, E, O, M or S");
        s.parity = static_cast<char>(std::toupper(static_cast<unsigned char>((*v)[0])));
    }
    if (auto v = args.number("stopbits")) {
        if (*v != 1 && *v != 1.5 && *v != 2) throw UsageError("--stopbits: expected 1, 1.5 or 2");
        s.stopbits = *v;
    }
    if (auto v = args.number("timeout")) {
        if (*v < 0) throw UsageError("--timeout: expected a number of seconds, 0 or more");
        s.timeout = *v;
    }
    return s;
}

native::MasterOptions master_options(const Args& args) {
    native::MasterOptions options;
    if (auto v = args.number("query-timeout")) {
        if (*v < 0) throw UsageError("--query-timeout: expected a number of seconds, 0 or more");
        options.query_timeout = *v;
    }
    if (args.flag("trace")) options.trace = print_trace;
    return options;
}

std::uint64_t station_arg(const std::string& text) {
    auto v = parse_integer(text);
    if (!v || *v < 0 || *v > 0xFFFFFF) throw UsageError("STATION: expected a number from 0 to 16777215, not " + text);
    return static_cast<std::uint64_t>(*v);
}

Format format_for(const Args& args, const Address& address) {
    const Format f = args.value("as") ? parse_format(*args.value("as")) : default_format(address.kind);
    check_format(address, f);
    return f;
}

// One read of `address` in `format`: the values as text, in order, or an error.
native::Result<std::vector<std::string>> read_texts(native::Master& master, std::uint64_t station,
                                                    const Address& a, Format format) {
    std::vector<std::string> out;
    if (a.kind == Kind::Contact) {
        for (std::int64_t i = 0; i < a.count; ++i) {
            auto bit = master.get_coil(station, item_name(a, format, i));
            if (!bit) return bit.error();
            out.push_back(bit.value() ? "1" : "0");
        }
        return out;
    }
    const std::string first = item_name(a, format, 0);
    const bool wide = format == Format::U32 || format == Format::I32;
    const std::int64_t words = wide ? a.count * 2 : a.count;
    auto got = a.kind == Kind::ContactWord ? master.get_multi_coil_uint16(station, first, words)
                                           : master.get_multi_uint16(station, first, words);
    if (!got) return got.error();
    const std::vector<std::uint16_t>& w = got.value();
    for (std::size_t i = 0; i < w.size(); i += wide ? 2 : 1) {
        switch (format) {
            case Format::U16: out.push_back(std::to_string(w[i])); break;
            case Format::I16: out.push_back(std::to_string(static_cast<std::int16_t>(w[i]))); break;
            case Format::U32: out.push_back(std::to_string(static_cast<std::uint32_t>(w[i + 1]) << 16 | w[i])); break;
            case Format::I32:
                out.push_back(std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(w[i + 1]) << 16 | w[i])));
                break;
            case Format::Bits: {
                std::string bits;
                for (int b = 15; b >= 0; --b) bits.push_back((w[i] >> b & 1) ? '1' : '0');
                out.push_back(bits);
                break;
            }
        }
    }
    return out;
}

struct Link {
    std::unique_ptr<serial::Port> port;
    std::unique_ptr<native::Master> master;
};

// Opens DEVICE and makes a master on it; null with the exit code when it cannot be opened.
std::optional<Link> open_master(const Args& args, const std::string& device, int& code) {
    const serial::Settings settings = settings_from(args, device);
    const native::MasterOptions options = master_options(args);
    auto port = native::open(settings);
    if (!port) {
        code = fail_with(port.error());
        return std::nullopt;
    }
    Link link{std::move(port).value(), nullptr};
    link.master = std::make_unique<native::Master>(*link.port, options);
    return link;
}

void need_positional(const Args& args, std::size_t at_least, const char* what) {
    if (args.positional().size() < at_least) throw UsageError(std::string("missing ") + what);
}

int cmd_read(const Args& args) {
    need_positional(args, 3, "DEVICE, STATION or NAME");
    if (args.positional().size() > 3) throw UsageError("read takes one NAME; use poll for several");
    const std::uint64_t station = station_arg(args.positional()[1]);
    const Address a = parse_address(args.positional()[2]);
    const Format format = format_for(args, a);
    int code = kOk;
    auto link = open_master(args, args.positional()[0], code);
    if (!link) return code;
    auto values = read_texts(*link->master, station, a, format);
    if (!values) return fail_with(values.error());
    for (const std::string& v : values.value()) std::printf("%s\n", v.c_str());
    return kOk;
}

int cmd_write(const Args& args) {
    need_positional(args, 4, "DEVICE, STATION, NAME or VALUE");
    const std::uint64_t station = station_arg(args.positional()[1]);
    Address a = parse_address(args.positional()[2]);
    if (a.count != 1) throw UsageError("write takes NAME without a count: the values give it");
    const Format format = format_for(args, a);
    std::vector<std::uint16_t> words;
    for (std::size_t i = 3; i < args.positional().size(); ++i) {
        const std::vector<std::uint16_t> w = parse_value(args.positional()[i], format);
        words.insert(words.end(), w.begin(), w.end());
    }
    int code = kOk;
    auto link = open_master(args, args.positional()[0], code);
    if (!link) return code;
    native::Master& master = *link->master;
    if (a.kind == Kind::Contact) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            auto done = master.set_coil(station, item_name(a, format, static_cast<std::int64_t>(i)), words[i] != 0);
            if (!done) return fail_with(done.error());
        }
        return kOk;
    }
    if (format == Format::Bits) throw UsageError("--as bits writes contacts only");
    const std::string first = item_name(a, format, 0);
    auto done = a.kind == Kind::ContactWord ? master.set_multi_coil_uint16(station, first, words)
                                            : master.set_multi_uint16(station, first, words);
    return done ? kOk : fail_with(done.error());
}

// Sleeps until `until` or an interrupt; false when interrupted.
bool sleep_until(std::chrono::steady_clock::time_point until) {
    while (!g_interrupted.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(50)));
    }
    return false;
}

int cmd_poll(const Args& args) {
    need_positional(args, 3, "DEVICE, STATION or NAME");
    const std::uint64_t station = station_arg(args.positional()[1]);
    std::vector<std::pair<Address, Format>> items;
    std::vector<std::string> columns;
    std::vector<bool> binary;  // words read as bits print as binary digits: strings in JSON
    for (std::size_t i = 2; i < args.positional().size(); ++i) {
        Address a = parse_address(args.positional()[i]);
        const Format f = format_for(args, a);
        for (std::int64_t k = 0; k < a.count; ++k) {
            columns.push_back(item_name(a, f, k));
            binary.push_back(f == Format::Bits && a.kind != Kind::Contact);
        }
        items.emplace_back(std::move(a), f);
    }
    const double every = args.number("every").value_or(1.0);
    if (every < 0 || every > 86400) throw UsageError("--every: expected seconds from 0 to 86400");
    const std::optional<long long> count = args.integer("count");
    if (count && *count < 1) throw UsageError("--count: expected 1 or more");
    const bool as_json = args.flag("json");

    int code = kOk;
    auto link = open_master(args, args.positional()[0], code);
    if (!link) return code;
    if (!as_json) {
        std::string header = "time";
        for (const std::string& c : columns) header += "," + c;
        std::printf("%s\n", header.c_str());
        std::fflush(stdout);
    }
    auto next = std::chrono::steady_clock::now();
    for (long long n = 0; !count || n < *count; ++n) {
        if (n > 0 && !sleep_until(next)) break;
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(every));
        const std::string stamp = iso_time(std::chrono::system_clock::now());
        std::vector<std::string> values;
        for (const auto& [a, f] : items) {
            auto got = read_texts(*link->master, station, a, f);
            if (!got) return fail_with(got.error());
            values.insert(values.end(), got.value().begin(), got.value().end());
        }
        std::string line;
        if (as_json) {
            line = "{\"time\": \"" + stamp + "\"";
            for (std::size_t i = 0; i < values.size(); ++i)
                line += ", \"" + columns[i] + "\": " + (binary[i] ? "\"" + values[i] + "\"" : values[i]);
            line += "}";
        } else {
            line = stamp;
            for (const std::string& v : values) line += "," + v;
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    return kOk;
}

int cmd_station(const Args& args) {
    need_positional(args, 1, "DEVICE");
    if (args.positional().size() > 1) throw UsageError("station takes one DEVICE");
    const std::uint64_t own = args.value("station") ? station_arg(*args.value("station")) : 1;
    const auto map_path = args.value("map");
    const bool random = args.flag("random");
    if (random && map_path) throw UsageError("--random and --map exclude each other");
    if (args.flag("write-back") && !map_path) throw UsageError("--write-back needs --map");

    MapHandler map;
    RandomHandler random_handler;
    if (map_path) {
        try {
            map.load(*map_path);
        } catch (const std::runtime_error& e) {
            throw UsageError(e.what());
        }
    }
    native::Handler& handler = random ? static_cast<native::Handler&>(random_handler) : map;

    auto port = native::open(settings_from(args, args.positional()[0]));
    if (!port) return fail_with(port.error());
    native::StationOptions options;
    options.station = own;
    if (args.flag("trace")) options.trace = print_trace;
    options.diagnostic = [](std::string_view line) {
        std::fprintf(stderr, "ozu-mew station: %.*s\n", static_cast<int>(line.size()), line.data());
    };
    native::Station station(*port.value(), handler, options);
    g_station_stop = &station.request_stop_flag();
    if (g_interrupted.load()) station.stop();
    const native::Result<void> ran = station.run();
    g_station_stop = nullptr;
    const native::StationCounters c = station.counters();
    std::fprintf(stderr, "ozu-mew station: %llu answered, %llu ignored, %llu dropped\n",
                 static_cast<unsigned long long>(c.answered), static_cast<unsigned long long>(c.ignored),
                 static_cast<unsigned long long>(c.dropped));
    int code = ran ? kOk : fail_with(ran.error());
    if (map_path && args.flag("write-back")) {
        try {
            map.save(*map_path);
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "ozu-mew: %s\n", e.what());
            code = kLinkFailure;
        }
    }
    return code;
}

int cmd_scan(const Args& args) {
    need_positional(args, 1, "DEVICE");
    if (args.positional().size() > 1) throw UsageError("scan takes one DEVICE");
    std::uint64_t first = 1, last = 32;
    if (auto range = args.value("stations")) {
        const auto dash = range->find('-');
        const auto a = parse_integer(range->substr(0, dash));
        const auto b = dash == std::string::npos ? a : parse_integer(range->substr(dash + 1));
        if (!a || !b || *a < 0 || *b < *a || *b > 0xFFFFFF)
            throw UsageError("--stations: expected FIRST-LAST with 0 <= FIRST <= LAST, not " + *range);
        first = static_cast<std::uint64_t>(*a);
        last = static_cast<std::uint64_t>(*b);
    }
    int code = kOk;
    auto link = open_master(args, args.positional()[0], code);
    if (!link) return code;
    int answered = 0;
    for (std::uint64_t s = first; s <= last && !g_interrupted.load(); ++s) {
        auto got = link->master->get_coil(s, "R0000");
        const bool answers = got.ok() || got.error().kind == native::ErrorKind::ErrorAnswer;
        if (!got && got.error().kind == native::ErrorKind::LinkFailure) return fail_with(got.error());
        if (answers) {
            std::printf("%llu\n", static_cast<unsigned long long>(s));
            std::fflush(stdout);
            ++answered;
        }
    }
    if (answered == 0) {
        std::fprintf(stderr, "ozu-mew: no station answered\n");
        return kLinkFailure;
    }
    return kOk;
}

int cmd_ports(const Args& args) {
    if (!args.positional().empty()) throw UsageError("ports takes no arguments");
    auto ports = list_serial_ports();
    if (!ports) return fail_with(ports.error());
    for (const PortEntry& p : ports.value())
        std::printf("%s%s%s\n", p.device.c_str(), p.description.empty() ? "" : "\t", p.description.c_str());
    return kOk;
}

struct Command {
    int (*run)(const Args&);
    std::set<std::string> flags;
    std::set<std::string> valued;
    bool opens_device;
    bool long_running;
};

const std::map<std::string, Command> kCommands = {
    {"read", {cmd_read, {"trace"}, {"as"}, true, false}},
    {"write", {cmd_write, {"trace"}, {"as"}, true, false}},
    {"poll", {cmd_poll, {"trace", "json"}, {"as", "every", "count"}, true, true}},
    {"station", {cmd_station, {"trace", "random", "write-back"}, {"station", "map"}, true, true}},
    {"scan", {cmd_scan, {"trace"}, {"stations"}, true, true}},
    {"ports", {cmd_ports, {}, {}, false, false}},
};

int run(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        std::fputs(kHelp.at("").c_str(), stderr);
        return kUsage;
    }
    const std::string name = words[0];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(kHelp.at("").c_str(), stdout);
        return kOk;
    }
    auto command = kCommands.find(name);
    if (command == kCommands.end()) {
        std::fprintf(stderr, "ozu-mew: unknown command %s (try ozu-mew --help)\n", native::printable(name).c_str());
        return kUsage;
    }
    const Command& c = command->second;
    if (c.long_running) {
        // Ctrl-C ends these in order (a station saves its map); the others simply die of it.
        std::signal(SIGINT, on_signal);
        std::signal(SIGTERM, on_signal);
    }
    std::set<std::string> flags = c.flags, valued = c.valued;
    flags.insert("help");
    if (c.opens_device) valued.insert(kCommonValued.begin(), kCommonValued.end());
    try {
        const Args args(std::vector<std::string>(words.begin() + 1, words.end()), flags, valued);
        if (args.flag("help")) {
            std::fputs(kHelp.at(name).c_str(), stdout);
            if (c.opens_device) std::fputs(kCommonHelp, stdout);
            return kOk;
        }
        return c.run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "ozu-mew %s: %s\n", name.c_str(), native::printable(e.what()).c_str());
        return kUsage;
    }
}

}  // namespace
}  // namespace ozu::cli

int main(int argc, char** argv) {
    try {
        return ozu::cli::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ozu-mew: %s\n", e.what());
        return 3;
    }
}
