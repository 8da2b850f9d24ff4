#include "link/link_support.hpp"

#include "runtime/class_builder.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

namespace ozu::mew::link {
bool enter_attr(WithBlock& block, PyObject* obj, PyObject* attr_name) {
    Handle manager = py::steal(PyObject_GetAttr(obj, attr_name));
    return manager && block.enter(manager.get());
}

bool is_calling_thread(PyObject* thread) {
    py::ErrorGuard keep;  // a failed lookup means "not the caller" and leaves the pending state alone
    Handle ident = py::steal(PyObject_GetAttr(thread, OZU_ID("ident")));
    bool same = false;
    if (ident && PyLong_CheckExact(ident.get())) {
        const unsigned long id = PyLong_AsUnsignedLong(ident.get());
        same = !PyErr_Occurred() && id == PyThread_get_thread_ident();
    }
    PyErr_Clear();
    return same;
}

namespace {

// The runs in progress, by their thread object. A thread's own word that its run is over: after a
// join interrupted by a signal, the interpreter may take a running thread for ended.
class LiveRuns {
public:
    void add(const void* thread) {
        std::lock_guard lock(mutex_);
        runs_.insert(thread);
    }
    void remove(const void* thread) {
        std::lock_guard lock(mutex_);
        if (auto it = runs_.find(thread); it != runs_.end()) runs_.erase(it);
        ended_.notify_all();
    }
    // Waits up to `slice` for no run of `thread` to be in progress; true once none is.
    bool wait_gone(const void* thread, std::chrono::milliseconds slice) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, slice, [&] { return runs_.count(thread) == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::unordered_multiset<const void*> runs_;
};

LiveRuns& live_runs() {
    static auto* runs = new LiveRuns;  // outlives every thread
    return *runs;
}

// Whether obj is a threading.Thread (or derived) object; false without error otherwise.
bool is_standard_thread(PyObject* obj) {
    static PyObject* const thread_type = [] {
        Handle threading = py::steal(PyImport_ImportModule("threading"));
        return threading ? PyObject_GetAttrString(threading.get(), "Thread") : nullptr;  // kept for the process
    }();
    const int standard = thread_type ? PyObject_IsInstance(obj, thread_type) : 0;
    PyErr_Clear();
    return standard > 0;
}

}  // namespace

bool wait_for_run_end(PyObject* thread) {
    if (thread == Py_None || is_calling_thread(thread)) return true;
    if (!is_standard_thread(thread)) return static_cast<bool>(py::steal(PyObject_CallMethodNoArgs(thread, OZU_ID("join"))));
    for (;;) {
        bool gone;
        {
            py::GilRelease nogil;
            gone = live_runs().wait_gone(thread, std::chrono::milliseconds(20));
        }
        if (gone) return true;
        if (PyErr_CheckSignals() != 0) return false;
    }
}

RunOwner::RunOwner(PyObject* self, PyObject* thread_attr) : self_(self), thread_attr_(thread_attr) {
    py::ErrorGuard keep;
    Handle thread = py::steal(PyObject_GetAttr(self, thread_attr));
    PyErr_Clear();
    if (!thread) return;
    if (is_calling_thread(thread.get())) {
        thread_ = std::move(thread);
        live_runs().add(thread_.get());
    } else {
        replaced_ = is_standard_thread(thread.get());
    }
}

RunOwner::~RunOwner() {
    if (thread_) live_runs().remove(thread_.get());
}

int RunOwner::current() const {
    if (replaced_) return 0;
    if (!thread_) return 1;
    Handle named = py::steal(PyObject_GetAttr(self_, thread_attr_));
    if (!named) return -1;
    return named.get() == thread_.get() ? 1 : 0;
}

int RunOwner::wanted(PyObject* stop_attr) const {
    Handle flag = py::steal(PyObject_GetAttr(self_, stop_attr));
    if (!flag) return -1;
    const int stopped = PyObject_IsTrue(flag.get());
    if (stopped != 0) return stopped > 0 ? 0 : -1;
    return current();
}

Handle port_text(PyObject* channel) {
    Handle port = py::steal(PyObject_GetAttr(channel, OZU_ID("port")));
    if (!port) return {};
    return py::steal(PyObject_Str(port.get()));
}

PyObject* raise_io_error(Handle text) {
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return nullptr;
}

}  // namespace ozu::mew::link
