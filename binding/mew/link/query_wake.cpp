#include "link/query_wake.hpp"

#include "link/link_support.hpp"
#include "runtime/class_builder.hpp"

#include <unordered_map>
#include <unordered_set>

namespace ozu::mew::link {
namespace {

using namespace ozu::py;

// All of this is touched with the GIL held only.
std::unordered_set<PyObject*>& g_waiting = *new std::unordered_set<PyObject*>;  // borrowed: each query holds its queue while it waits

struct Failure {
    Handle thread_ref;  // weak reference to the receiver thread that ended
    Handle cause;
};
// By receiver thread. Never destroyed: it holds references, and the interpreter may be gone
// when static objects are.
std::unordered_map<PyObject*, Failure>& g_failures = *new std::unordered_map<PyObject*, Failure>;

PyObject* marker(Wake why) {
    static PyObject* const closed = PyUnicode_InternFromString("<ozu_mew: link closed>");
    static PyObject* const broken = PyUnicode_InternFromString("<ozu_mew: link broken>");
    return why == Wake::Closed ? closed : broken;
}

bool alive(const Failure& f, PyObject* thread) {
    return py::weakly_refers_to(f.thread_ref.get(), thread);
}

void forget_dead_threads() {
    for (auto it = g_failures.begin(); it != g_failures.end();) {
        if (alive(it->second, it->first)) ++it;
        else it = g_failures.erase(it);
    }
}

}  // namespace

void waiting_begins(PyObject* queue) { g_waiting.insert(queue); }
void waiting_ends(PyObject* queue) noexcept { g_waiting.erase(queue); }

Wake wake_reason(PyObject* item) noexcept {
    if (item == marker(Wake::Closed)) return Wake::Closed;
    if (item == marker(Wake::Broken)) return Wake::Broken;
    return Wake::None;
}

namespace {

bool wake_listeners(PyObject* link, Wake why) {
    Handle listeners = steal(PyObject_GetAttr(link, OZU_ID("_feedback_listeners")));
    if (!listeners) return false;
    Handle snapshot = steal(PySequence_List(listeners.get()));
    if (!snapshot) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        PyObject* listener = PyList_GET_ITEM(snapshot.get(), i);
        if (!g_waiting.count(listener)) continue;
        if (!steal(PyObject_CallMethodOneArg(listener, OZU_ID("put"), marker(why)))) return false;
    }
    return true;
}

// Whether this is the link's receiver thread, which holds the listener lock while it hands a
// frame to a listener (a listener that closes the link runs there).
int in_receiver(PyObject* link) {
    static PyObject* const current_thread = [] {
        Handle threading = steal(PyImport_ImportModule("threading"));
        return threading ? PyObject_GetAttrString(threading.get(), "current_thread") : nullptr;
    }();
    if (!current_thread) return -1;
    Handle current = steal(PyObject_CallNoArgs(current_thread));
    Handle receiver = steal(PyObject_GetAttr(link, OZU_ID("_receiver_thread")));
    if (!current || !receiver) return -1;
    return current.get() == receiver.get();
}

}  // namespace

bool wake_waiting_queries(PyObject* link, Wake why) {
    if (g_waiting.empty()) return true;
    int inside = in_receiver(link);
    if (inside < 0) return false;
    if (inside) return wake_listeners(link, why);
    WithBlock block;
    if (!enter_attr(block, link, OZU_ID("_listener_lock"))) return false;
    return block.finish(wake_listeners(link, why));
}

void receiver_failed(PyObject* link) {
    if (!PyErr_Occurred()) return;
    py::ErrorScope failure;
    failure.normalize();

    Handle thread = steal(PyObject_GetAttr(link, OZU_ID("_receiver_thread")));
    Handle ref = thread ? steal(PyWeakref_NewRef(thread.get(), nullptr)) : Handle();
    if (ref && failure.value()) {
        forget_dead_threads();
        g_failures[thread.get()] = Failure{std::move(ref), py::borrow(failure.value())};
    }
    PyErr_Clear();  // a thread object without weak references simply keeps no cause
    if (!g_waiting.empty()) {
        WithBlock block;
        if (!enter_attr(block, link, OZU_ID("_listener_lock")) || !block.finish(wake_listeners(link, Wake::Broken)))
            PyErr_Clear();
    }
    failure.restore();
}

Handle receiver_failure(PyObject* link) {
    if (g_failures.empty()) return {};
    ErrorScope keep;
    Handle result;
    Handle flag = steal(PyObject_GetAttr(link, OZU_ID("_stop_flag")));
    int stopped = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (stopped == 0) {
        Handle thread = steal(PyObject_GetAttr(link, OZU_ID("_receiver_thread")));
        auto it = thread ? g_failures.find(thread.get()) : g_failures.end();
        if (it != g_failures.end() && alive(it->second, thread.get())) result = it->second.cause.copy();
    }
    PyErr_Clear();
    keep.restore();
    return result;
}

}  // namespace ozu::mew::link
