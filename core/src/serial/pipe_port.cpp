// brix:pipe:NAME:a and brix:pipe:NAME:b: the two ends of an in-process virtual null-modem.
//
// Like a cable between two serial ports:
// - bytes written to one end are read from the other, in order;
// - bytes written while the other end is not open are lost, as on a line with nothing attached,
//   and an end that opens starts with empty input;
// - bytes already delivered stay readable after the writer closes its end;
// - a read while the other end is closed simply times out, like a quiet line;
// - each direction holds at most kCapacity unread bytes; a writer then waits for the reader (as
//   with hardware flow control) up to its write time-out.
#include "port_internal.hpp"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace ozu::serial::detail {

namespace {

constexpr std::size_t kCapacity = 1 << 20;

struct Direction {
    std::vector<std::uint8_t> bytes;
    std::size_t head = 0;

    std::size_t size() const { return bytes.size() - head; }
    void clear() {
        bytes.clear();
        head = 0;
    }
};

struct Cable {
    std::mutex mutex;
    // Each end waits on its own conditions, so that traffic in one direction wakes nobody who
    // waits for the other: readable[e] for data at end e (or a wake-up), writable[e] for room in
    // the direction end e writes to (or the peer closing, or a wake-up).
    std::condition_variable readable[2];
    std::condition_variable writable[2];
    Direction to[2];  // to[e]: bytes waiting to be read at end e
    bool open[2] = {false, false};
    bool woken[2] = {false, false};

    void notify_everyone() {
        for (int e = 0; e < 2; ++e) {
            readable[e].notify_all();
            writable[e].notify_all();
        }
    }
};

std::mutex g_cables_mutex;
std::map<std::string, std::shared_ptr<Cable>>& cables() {
    static auto* map = new std::map<std::string, std::shared_ptr<Cable>>();  // outlives static teardown
    return *map;
}

template <class Predicate>
bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const Deadline& deadline,
                Predicate ready) {
    if (deadline.unlimited()) {
        cv.wait(lock, ready);
        return true;
    }
    while (!ready()) {
        auto left = deadline.remaining();
        if (*left <= 0) return false;
        cv.wait_for(lock, std::chrono::duration<double>(*left));
    }
    return true;
}

class PipePort final : public Port {
public:
    PipePort(const Settings& settings, std::string name, int end)
        : Port(settings), name_(std::move(name)), end_(end) {}
    ~PipePort() override { close(); }

    bool open(IoError& err);

protected:
    std::ptrdiff_t os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout,
                           IoError& err) override;
    std::ptrdiff_t os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                 IoError& err) override;
    std::ptrdiff_t os_pending(IoError& err) override;
    bool os_flush_input(IoError& err) override;
    bool os_flush_output(IoError&) override { return true; }  // written bytes are delivered at once
    void wake() noexcept override;
    void os_close() noexcept override;

private:
    std::string name_;
    int end_;
    std::shared_ptr<Cable> cable_;
};

bool PipePort::open(IoError& err) {
    std::lock_guard registry(g_cables_mutex);
    auto& slot = cables()[name_];
    if (!slot) slot = std::make_shared<Cable>();
    std::lock_guard lock(slot->mutex);
    if (slot->open[end_]) return fail(err, ErrorKind::Os, EBUSY, "pipe end is already open");
    slot->open[end_] = true;
    slot->woken[end_] = false;
    slot->to[end_].clear();
    cable_ = slot;
    slot->notify_everyone();
    return true;
}

void PipePort::wake() noexcept {
    if (!cable_) return;
    std::lock_guard lock(cable_->mutex);
    cable_->woken[end_] = true;
    cable_->readable[end_].notify_all();
    cable_->writable[end_].notify_all();
}

void PipePort::os_close() noexcept {
    if (!cable_) return;
    std::lock_guard registry(g_cables_mutex);
    {
        std::lock_guard lock(cable_->mutex);
        cable_->open[end_] = false;
        cable_->woken[end_] = false;
        cable_->to[end_].clear();
        cable_->notify_everyone();
        if (!cable_->open[1 - end_]) {
            auto it = cables().find(name_);
            if (it != cables().end() && it->second == cable_) cables().erase(it);
        }
    }
    cable_.reset();
}

std::ptrdiff_t PipePort::os_read(std::uint8_t* dst, std::size_t cap, std::optional<double> timeout, IoError& err) {
    Deadline deadline(timeout);
    std::unique_lock lock(cable_->mutex);
    Direction& in = cable_->to[end_];
    bool ready =
        wait_until(lock, cable_->readable[end_], deadline, [&] { return in.size() > 0 || cable_->woken[end_]; });
    if (cable_->woken[end_]) {
        fail_closed(err);
        return -1;
    }
    if (!ready) return 0;
    const bool was_full = in.size() >= kCapacity;
    std::size_t count = std::min(cap, in.size());
    std::copy_n(in.bytes.data() + in.head, count, dst);
    in.head += count;
    if (in.head == in.bytes.size()) in.clear();
    lock.unlock();
    // Room for the peer's writer, which only waits on a full direction. Woken after the unlock, so
    // that it does not wake only to wait for the mutex.
    if (was_full) cable_->writable[1 - end_].notify_all();
    return static_cast<std::ptrdiff_t>(count);
}

std::ptrdiff_t PipePort::os_write_some(const std::uint8_t* src, std::size_t n, std::optional<double> timeout,
                                       IoError& err) {
    Deadline deadline(timeout);
    const int peer = 1 - end_;
    std::unique_lock lock(cable_->mutex);
    std::size_t done = 0;
    while (done < n) {
        bool ready = wait_until(lock, cable_->writable[end_], deadline, [&] {
            return cable_->woken[end_] || !cable_->open[peer] || cable_->to[peer].size() < kCapacity;
        });
        if (cable_->woken[end_]) {
            fail_closed(err);
            return -1;
        }
        if (!ready) return static_cast<std::ptrdiff_t>(done);
        if (!cable_->open[peer]) break;  // nobody on the line: the rest is lost
        Direction& out = cable_->to[peer];
        if (out.head > 0 && out.head >= out.bytes.size() / 2) {  // reclaim consumed space
            out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(out.head));
            out.head = 0;
        }
        std::size_t count = std::min(n - done, kCapacity - out.size());
        out.bytes.insert(out.bytes.end(), src + done, src + done + count);
        done += count;
        if (done < n) cable_->readable[peer].notify_all();  // the reader may make room for the rest
    }
    lock.unlock();
    cable_->readable[peer].notify_all();
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t PipePort::os_pending(IoError&) {
    std::lock_guard lock(cable_->mutex);
    return static_cast<std::ptrdiff_t>(cable_->to[end_].size());
}

bool PipePort::os_flush_input(IoError&) {
    std::lock_guard lock(cable_->mutex);
    cable_->to[end_].clear();
    cable_->writable[1 - end_].notify_all();
    return true;
}

}  // namespace

std::unique_ptr<Port> open_pipe(const Settings& settings, const std::string& name, int end, IoError& err) {
    auto port = std::make_unique<PipePort>(settings, name, end);
    if (!port->open(err)) return nullptr;
    return port;
}

}  // namespace ozu::serial::detail
