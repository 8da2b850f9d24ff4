// Round trips over one line, three ways, in the same run:
//   direct   the physical limit: a master thread and a station thread reading and writing the line
//            directly (bulk reads up to the carriage return, a fixed answer), nothing else;
//   threads  the link structure written plainly: querying threads, a master receiver, a station
//            receiver and a station worker, frames handed over through mutex/condition-variable
//            queues, one queue per query;
//   native   ozu::native::Master against ozu::native::Station with the handler `ozu-mew station`
//            answers from (its register map), through the core's frame reader and protocol checks.
// Lines: "pty" (two pseudo-terminals linked by socat) and "pipe" (the in-process null-modem).
// Reports round trips per second and CPU microseconds per round trip of this process (socat's own
// CPU separately), then each row's ratio to `direct`: the median over the rounds of the ratio
// within one round.
//
//   ozu_roundtrip_probe [--line pty|pipe|both] [--count N] [--rounds R] [--threads T]
//   ozu_roundtrip_probe --line pipe --only native     one row alone (under perf stat, for instance)
//   ozu_roundtrip_probe --station-binary build/ozu-mew  adds a pty row: the native master against
//                                                      `ozu-mew station` running as its own process
#include "station_data.hpp"

#include "ozu/native/master.hpp"
#include "ozu/native/station.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRequest = "%01#RDD0000000000**\r";  // what Master::get_uint16(1, "DT0") sends, "**" aside
const std::string kAnswer = "%01$RD341212\r";           // 0x1234
const std::string kQuit = "Q\r";

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "ozu_roundtrip_probe: %s\n", why.c_str());
    std::exit(1);
}

double process_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double pid_cpu(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 0; i < 13 && rest >> field; ++i) {
        if (i == 11) utime = std::stod(field);
        if (i == 12) stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ----------------------------------------------------------------------------- the two line kinds

class Transport {
public:
    explicit Transport(std::string kind) : kind_(std::move(kind)) {
        if (kind_ == "pipe") return;
        char dir[] = "/tmp/ozu-probe-XXXXXX";
        if (!mkdtemp(dir)) die("mkdtemp failed");
        dir_ = dir;
        ends_[0] = dir_ + "/a";
        ends_[1] = dir_ + "/b";
        const std::string left = "pty,raw,echo=0,link=" + ends_[0], right = "pty,raw,echo=0,link=" + ends_[1];
        char* argv[] = {const_cast<char*>("socat"), const_cast<char*>(left.c_str()), const_cast<char*>(right.c_str()),
                        nullptr};
        if (posix_spawnp(&socat_, "socat", nullptr, nullptr, argv, environ) != 0) die("cannot start socat");
        struct stat st;
        for (int i = 0; i < 250 && (stat(ends_[0].c_str(), &st) != 0 || stat(ends_[1].c_str(), &st) != 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Transport() {
        if (socat_ > 0) {
            kill(socat_, SIGTERM);
            waitpid(socat_, nullptr, 0);
            unlink(ends_[0].c_str());
            unlink(ends_[1].c_str());
            rmdir(dir_.c_str());
        }
    }
    const std::string& kind() const { return kind_; }
    // A fresh name for one end: the null-modem gets a new cable per measurement.
    std::string end(int which) {
        if (kind_ == "pipe") return "brix:pipe:probe" + std::to_string(serial_ / 2) + (which ? ":b" : ":a");
        return ends_[which];
    }
    void next() { serial_ += 2; }
    double helper_cpu() const { return pid_cpu(socat_); }

private:
    std::string kind_, dir_, ends_[2];
    pid_t socat_ = -1;
    int serial_ = 0;
};

// ----------------------------------------------------------------------------- direct

// Raw reads and writes of one end: file descriptor for a tty, the core port for the null-modem.
class RawEnd {
public:
    explicit RawEnd(const std::string& name) {
        if (name.rfind("brix:", 0) == 0) {
            auto port = ozu::native::open({.port = name, .timeout = 2.0});
            if (!port) die(port.error().message);
            port_ = std::move(port).value();
            return;
        }
        fd_ = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) die("cannot open " + name);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawEnd() {
        if (fd_ >= 0) ::close(fd_);
    }
    void write_all(const std::string& text) {
        if (port_) {
            ozu::serial::IoError err;
            if (port_->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), err) < 0) die(err.message);
            return;
        }
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0) die("write failed");
            done += static_cast<std::size_t>(n);
        }
    }
    // Reads up to and including the next "\r" (bulk reads; what follows it is kept for next time).
    std::string read_frame() {
        for (;;) {
            if (auto cr = pending_.find('\r'); cr != std::string::npos) {
                std::string frame = pending_.substr(0, cr + 1);
                pending_.erase(0, cr + 1);
                return frame;
            }
            char buf[512];
            std::ptrdiff_t n = 0;
            if (port_) {
                ozu::serial::IoError err;
                n = port_->read(reinterpret_cast<std::uint8_t*>(buf), sizeof buf, err);
            } else {
                n = ::read(fd_, buf, sizeof buf);
            }
            if (n <= 0) die("read failed or timed out");
            pending_.append(buf, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
    std::unique_ptr<ozu::serial::Port> port_;
    std::string pending_;
};

struct Figures {
    long round_trips = 0;
    double wall = 0, cpu = 0, helper = 0;
    double per_second() const { return round_trips / wall; }
    double cpu_us() const { return cpu / round_trips * 1e6; }
    double helper_us() const { return helper / round_trips * 1e6; }
};

template <class F>
Figures measure(Transport& line, long count, F&& body) {
    Figures f;
    const double helper = line.helper_cpu();
    const double cpu = process_cpu();
    const auto start = Clock::now();
    body();
    f.wall = std::chrono::duration<double>(Clock::now() - start).count();
    f.cpu = process_cpu() - cpu;
    f.helper = line.helper_cpu() - helper;
    f.round_trips = count;
    return f;
}

// `count` round trips (rounded down to a multiple of `threads`) from `threads` querying threads,
// each calling `one()` per round trip.
template <class F>
Figures measure_callers(Transport& line, long count, int threads, F&& one) {
    const long per_thread = count / threads;
    return measure(line, per_thread * threads, [&] {
        std::vector<std::thread> callers;
        for (int t = 0; t < threads; ++t)
            callers.emplace_back([&] {
                for (long i = 0; i < per_thread; ++i) one();
            });
        for (auto& c : callers) c.join();
    });
}

Figures run_direct(Transport& line, long count) {
    line.next();
    RawEnd station(line.end(0)), master(line.end(1));
    std::thread serving([&] {
        for (;;) {
            if (station.read_frame() == kQuit) return;
            station.write_all(kAnswer);
        }
    });
    Figures f = measure(line, count, [&] {
        for (long i = 0; i < count; ++i) {
            master.write_all(kRequest);
            if (master.read_frame() != kAnswer) die("direct: wrong answer");
        }
    });
    master.write_all(kQuit);
    serving.join();
    return f;
}

// ----------------------------------------------------------------------------- threads

// An unbounded first-in first-out queue of frames.
class FrameQueue {
public:
    void put(std::string frame) {
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
        }
        ready_.notify_one();
    }
    std::string get() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !frames_.empty(); });
        std::string frame = std::move(frames_.front());
        frames_.pop_front();
        return frame;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> frames_;
};

// One end of a link: a receiver thread sorting frames to the registered listeners, and a sender
// lock so that frames never interleave.
class Link {
public:
    explicit Link(const std::string& name) : end_(name) {}
    void start() {
        receiver_ = std::thread([this] {
            for (;;) {
                std::string frame = end_.read_frame();
                if (frame == kQuit) return;
                std::lock_guard lock(listener_mutex_);
                for (FrameQueue* q : listeners_) q->put(frame);
            }
        });
    }
    void join() { receiver_.join(); }
    void listen(FrameQueue* q) {
        std::lock_guard lock(listener_mutex_);
        listeners_.push_back(q);
    }
    void unlisten(FrameQueue* q) {
        std::lock_guard lock(listener_mutex_);
        listeners_.remove(q);
    }
    void send(const std::string& frame) {
        std::lock_guard lock(sender_mutex_);
        end_.write_all(frame);
    }

private:
    RawEnd end_;
    std::thread receiver_;
    std::mutex listener_mutex_, sender_mutex_;
    std::list<FrameQueue*> listeners_;
};

Figures run_threads(Transport& line, long count, int threads) {
    line.next();
    Link station(line.end(0)), master(line.end(1));
    FrameQueue requests;
    station.listen(&requests);
    station.start();
    master.start();
    std::thread worker([&] {
        for (;;) {
            if (requests.get() == kQuit) return;
            station.send(kAnswer);
        }
    });
    std::mutex query_mutex;
    Figures f = measure_callers(line, count, threads, [&] {
        std::lock_guard lock(query_mutex);
        FrameQueue answers;  // one queue per query
        master.listen(&answers);
        master.send(kRequest);
        const std::string answer = answers.get();
        master.unlisten(&answers);
        if (answer != kAnswer) die("threads: wrong answer");
    });
    requests.put(kQuit);
    worker.join();
    master.send(kQuit);  // ends the station's receiver
    station.send(kQuit);  // ends the master's receiver
    station.join();
    master.join();
    return f;
}

// ----------------------------------------------------------------------------- native

Figures run_native(Transport& line, long count, int threads) {
    line.next();
    auto station_end = ozu::native::open({.port = line.end(0), .timeout = 0.2});
    auto master_end = ozu::native::open({.port = line.end(1), .timeout = 0.2});
    if (!station_end || !master_end) die("native: cannot open the line");
    ozu::cli::MapHandler registers;
    const std::uint16_t value = 0x1234;
    registers.set_multi_uint16(1, "D00000", std::span<const std::uint16_t>(&value, 1));
    ozu::native::Station station(*station_end.value(), registers, {.station = 1});
    std::thread serving([&] {
        if (auto ran = station.run(); !ran) die(ran.error().message);
    });
    ozu::native::Master master(*master_end.value(), {.query_timeout = 2.0});
    Figures f = measure_callers(line, count, threads, [&] {
        auto got = master.get_uint16(1, "DT0");
        if (!got || got.value() != 0x1234) die("native: " + (got ? "wrong value" : got.error().message));
    });
    station.stop();
    serving.join();
    return f;
}

// ----------------------------------------------------------------------------- ozu-mew station

// The native master against `ozu-mew station` running as its own process on the other pty.
// Figures::helper holds socat's CPU plus the station process's.
Figures run_station_process(Transport& line, long count, const std::string& binary) {
    line.next();
    const std::string map = "/tmp/ozu-probe-map-" + std::to_string(getpid()) + ".json";
    std::ofstream(map) << "{\"registers\": {\"DT0\": 4660}}";
    const std::string device = line.end(0);
    char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("station"), const_cast<char*>(device.c_str()),
                    const_cast<char*>("--map"), const_cast<char*>(map.c_str()), nullptr};
    pid_t pid = -1;
    posix_spawn_file_actions_t quiet;  // its closing summary line would interleave with the table
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&pid, binary.c_str(), &quiet, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) die("cannot start " + binary);
    auto master_end = ozu::native::open({.port = line.end(1), .timeout = 0.2});
    if (!master_end) die(master_end.error().message);
    ozu::native::Master master(*master_end.value(), {.query_timeout = 0.2});
    for (int i = 0; !master.get_uint16(1, "DT0"); ++i)
        if (i > 50) die("ozu-mew station does not answer");
    ozu::native::Master patient(*master_end.value(), {.query_timeout = 2.0});
    const double station_cpu = pid_cpu(pid);
    Figures f = measure(line, count, [&] {
        for (long i = 0; i < count; ++i) {
            auto got = patient.get_uint16(1, "DT0");
            if (!got || got.value() != 0x1234) die("ozu-mew station: " + (got ? "wrong value" : got.error().message));
        }
    });
    f.helper += pid_cpu(pid) - station_cpu;
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    unlink(map.c_str());
    return f;
}

// ----------------------------------------------------------------------------- main

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void report(Transport& line, long count, int rounds, int threads, const std::string& only, const std::string& binary) {
    std::map<std::string, std::vector<Figures>> runs;
    (void)run_direct(line, std::min(count, 500L));  // warm up
    for (int r = 0; r < rounds; ++r) {
        if (only.empty() || only == "direct") runs["direct"].push_back(run_direct(line, count));
        if (only.empty() || only == "threads") runs["threads"].push_back(run_threads(line, count, threads));
        if (only.empty() || only == "native") runs["native"].push_back(run_native(line, count, threads));
        if (!binary.empty() && line.kind() == "pty" && (only.empty() || only == "ozu-mew"))
            runs["ozu-mew"].push_back(run_station_process(line, count, binary));
    }
    if (!only.empty()) {
        const Figures& f = runs[only].back();
        std::printf("%s %s %.0f round trips/s %.1f us CPU/rt\n", line.kind().c_str(), only.c_str(), f.per_second(), f.cpu_us());
        return;
    }
    auto rate = [&](const std::string& name) {
        std::vector<double> v;
        for (const Figures& f : runs[name]) v.push_back(f.per_second());
        return median(v);
    };
    auto cpu = [&](const std::string& name) {
        std::vector<double> v;
        for (const Figures& f : runs[name]) v.push_back(f.cpu_us());
        return median(v);
    };
    auto helper = [&](const std::string& name) {
        std::vector<double> v;
        for (const Figures& f : runs[name]) v.push_back(f.helper_us());
        return median(v);
    };
    for (const char* name : {"direct", "threads", "native", "ozu-mew"}) {
        if (runs[name].empty()) continue;
        const int t = std::string(name) == "direct" || std::string(name) == "ozu-mew" ? 1 : threads;
        std::printf("%-4s %-7s %d thread%s %9.0f round trips/s %7.1f us CPU/rt", line.kind().c_str(), name, t,
                    t == 1 ? " " : "s", rate(name), cpu(name));
        if (line.kind() == "pty")
            std::printf(std::string(name) == "ozu-mew" ? "   socat + station process %.1f us/rt" : "   socat %.1f us/rt",
                        helper(name));
        // Ratios round by round (the rows of one round run back to back), then their median: steadier
        // than a ratio of medians on a machine whose load drifts.
        std::vector<double> faster, costlier;
        for (std::size_t r = 0; r < runs[name].size() && r < runs["direct"].size(); ++r) {
            faster.push_back(runs[name][r].per_second() / runs["direct"][r].per_second());
            costlier.push_back(runs[name][r].cpu_us() / runs["direct"][r].cpu_us());
        }
        std::printf("   throughput %.2f x direct, CPU %.2f x direct\n", median(faster), median(costlier));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = "both";
    long count = 20000;
    int rounds = 3, threads = 1;
    std::string only;    // one row alone, for profiling
    std::string binary;  // ozu-mew: adds a row against `ozu-mew station` as its own process (pty)
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], value = argv[i + 1];
        if (opt == "--line") which = value;
        else if (opt == "--count") count = std::stol(value);
        else if (opt == "--rounds") rounds = std::stoi(value);
        else if (opt == "--threads") threads = std::stoi(value);
        else if (opt == "--only") only = value;
        else if (opt == "--station-binary") binary = value;
        else die("unknown option " + opt);
    }
    if (count < 1 || rounds < 1 || threads < 1 || (which != "pty" && which != "pipe" && which != "both"))
        die("usage: ozu_roundtrip_probe [--line pty|pipe|both] [--count N] [--rounds R] [--threads T]");
    std::printf("%d rounds of %ld round trips each, medians; rows run alternately in each round; ratios are the median of the ratios within a round\n", rounds, count);
    for (const char* kind : {"pty", "pipe"}) {
        if (which != "both" && which != kind) continue;
        Transport line(kind);
        report(line, count, rounds, threads, only, binary);
    }
    return 0;
}
