// Waiting on a POSIX descriptor with a wake-up pipe, shared by the tty and TCP backends.
#pragma once
#ifndef _WIN32

#include "port_internal.hpp"

#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace ozu::serial::detail {

// A self-pipe that close() writes once; every wait also watches its read end, which then stays
// readable, so a wait that starts after close() ends at once as well.
class WakePipe {
public:
    WakePipe() = default;
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool open(IoError& err);
    void signal() noexcept;
    // Closes both ends once the port is closed and nothing waits on it any more.
    void release() noexcept;
    int fd() const noexcept { return read_fd_; }

private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

enum class WaitResult { Ready, TimedOut, Woken, Failed };

// Waits until fd has one of `events` (POLLIN / POLLOUT), the deadline passes or the pipe is woken.
// Ready also covers hang-up and error conditions: the following read or write reports them.
WaitResult wait_fd(int fd, short events, const Deadline& deadline, const WakePipe& wake, IoError& err);

// Closes a descriptor, ignoring EINTR.
void close_fd(int& fd) noexcept;

}  // namespace ozu::serial::detail

#endif
