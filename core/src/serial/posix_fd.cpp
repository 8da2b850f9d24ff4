#ifndef _WIN32
#include "posix_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace ozu::serial::detail {

namespace {
bool set_flags(int fd) {
    int fl = fcntl(fd, F_GETFL);
    int fdfl = fcntl(fd, F_GETFD);
    return fl >= 0 && fdfl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, fdfl | FD_CLOEXEC) == 0;
}
}  // namespace

WakePipe::~WakePipe() { release(); }

void WakePipe::release() noexcept {
    close_fd(read_fd_);
    close_fd(write_fd_);
}

bool WakePipe::open(IoError& err) {
    int fds[2];
    if (::pipe(fds) != 0) return fail_os(err, errno);
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    if (!set_flags(read_fd_) || !set_flags(write_fd_)) return fail_os(err, errno);
    return true;
}

void WakePipe::signal() noexcept {
    if (write_fd_ < 0) return;
    const char byte = 1;
    ssize_t ignored = ::write(write_fd_, &byte, 1);  // a full pipe is already signalled
    (void)ignored;
}

WaitResult wait_fd(int fd, short events, const Deadline& deadline, const WakePipe& wake, IoError& err) {
    for (;;) {
        pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {fd, events, 0}};
        int n = ::poll(fds, 2, deadline.poll_ms());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_os(err, errno);
            return WaitResult::Failed;
        }
        if (fds[0].revents != 0) {
            fail_closed(err);
            return WaitResult::Woken;
        }
        if (fds[1].revents & POLLNVAL) {
            fail_os(err, EBADF);
            return WaitResult::Failed;
        }
        if (fds[1].revents != 0) return WaitResult::Ready;
        if (n == 0) {
            if (deadline.poll_ms() == 0) return WaitResult::TimedOut;
            // poll() may return a little early on coarse clocks; wait out the rest.
        }
    }
}

void close_fd(int& fd) noexcept {
    if (fd < 0) return;
    ::close(fd);  // on Linux the descriptor is released even when close() reports EINTR
    fd = -1;
}

}  // namespace ozu::serial::detail
#endif
