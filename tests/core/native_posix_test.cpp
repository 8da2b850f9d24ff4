// The native Master and Station over two pseudo-terminals linked by socat.
#include "native_test_util.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace {

using namespace ozu::native;
using namespace ozu::native::test_support;
using namespace std::chrono_literals;

class SocatPair : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat not installed";
        char dir_template[] = "/tmp/ozu-native-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        dir = dir_template;
        a = dir + "/a";
        b = dir + "/b";
        const std::string left = "pty,raw,echo=0,link=" + a, right = "pty,raw,echo=0,link=" + b;
        char* argv[] = {const_cast<char*>("socat"), const_cast<char*>(left.c_str()), const_cast<char*>(right.c_str()),
                        nullptr};
        ASSERT_EQ(::posix_spawnp(&pid, "socat", nullptr, nullptr, argv, environ), 0);
        struct stat st;
        for (int i = 0; i < 100 && (::stat(a.c_str(), &st) != 0 || ::stat(b.c_str(), &st) != 0); ++i)
            std::this_thread::sleep_for(20ms);
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) ::rmdir(dir.c_str());
    }

    pid_t pid = -1;
    std::string dir, a, b;
};

TEST_F(SocatPair, MasterAndStationOverPseudoTerminals) {
    auto master_end = open_port(a);
    auto station_end = open_port(b);
    ASSERT_TRUE(master_end && station_end);
    Memory memory;
    Serving serving(*station_end, memory, {.station = 1});
    Master master(*master_end, {.query_timeout = 2.0});
    for (std::uint16_t v = 0; v < 200; ++v) {
        ASSERT_TRUE(master.set_uint16(1, "DT10", v));
        ASSERT_EQ(master.get_uint16(1, "DT10").value(), v);
    }
    EXPECT_TRUE(serving.finish());
}

}  // namespace
