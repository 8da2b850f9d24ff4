// The station classes that sit on a link: MewFullDuplexBase (a master that also answers requests
// on the same link) and RandomMewSlaveDemo (a ready-made station answering with random values).
// Each started object runs one worker thread that takes request frames from its own queue,
// registered with the link's receiver for the duration of the run, and sends the answers.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "link/link_support.hpp"
#include "module/subsystems.hpp"
#include "runtime/error_scope.hpp"
#include "runtime/queue_get.hpp"
#include "slave/slave_support.hpp"

namespace ozu::mew {
namespace slave {
namespace {

using py::BoundArgs;
using py::Check;
using py::FunctionDecl;

// ---------------------------------------------------------------------------------- helpers

// `with self._listener_lock: self._query_listeners.<op>(queue)`
bool update_listeners(PyObject* self, PyObject* op, PyObject* queue) {
    link::WithBlock block;
    if (!link::enter_attr(block, self, OZU_ID("_listener_lock"))) return false;
    Handle done;
    if (Handle listeners = py::steal(PyObject_GetAttr(self, OZU_ID("_query_listeners"))))
        done = call_method(listeners.get(), op, queue);
    return block.finish(static_cast<bool>(done));
}

// Unregisters the run's queue on the way out of a worker, whatever ended it. The exception that
// ended the run keeps propagating; one raised by the unregistering replaces it (as in a finally
// clause).
PyObject* finish_run(PyObject* self, PyObject* queue, bool run_ok) {
    if (run_ok) {
        if (!update_listeners(self, OZU_ID("remove"), queue)) return nullptr;
        Py_RETURN_NONE;
    }
    py::ErrorScope ended;
    if (update_listeners(self, OZU_ID("remove"), queue))
        ended.restore();
    else
        ended.chain_into_current();
    return nullptr;
}

// Reads self.<flag> as a truth value: 1, 0, or -1 on error.
int flag_is_set(PyObject* self, PyObject* flag) {
    Handle value = py::steal(PyObject_GetAttr(self, flag));
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// After a request failed: MewSlaveNoFeedback means no answer and no message; any other Exception
// is reported as one line; anything else ends the worker (returns false with it pending).
bool handle_request_failure() {
    PyObject* no_feedback = py::global(OZU_ID("MewSlaveNoFeedback"));
    if (!no_feedback) return false;
    if (PyErr_ExceptionMatches(no_feedback)) {
        PyErr_Clear();
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Handle exc = py::ErrorScope().take();
    return report_unexpected(exc.get());
}

// Whether the calling thread is the link's receiver (a listener calling start() or stop()).
bool called_from_receiver(PyObject* self) {
    Handle receiver = py::steal(PyObject_GetAttr(self, OZU_ID("_receiver_thread")));
    PyErr_Clear();
    return receiver && link::is_calling_thread(receiver.get());
}

// Lets start() return only once the worker it started has registered its request queue, so that
// a request sent right after start() is answered instead of dropped for want of a listener. The
// worker marks its run open; start() waits for the mark without the GIL.
class WorkerRunGate {
public:
    void expect(const PyObject* self) {
        std::lock_guard lock(mutex_);
        opened_[self] = false;
    }
    void mark_open(const PyObject* self) {
        std::lock_guard lock(mutex_);
        if (auto it = opened_.find(self); it != opened_.end()) {
            it->second = true;
            changed_.notify_all();
        }
    }
    bool wait_open(const PyObject* self, std::chrono::milliseconds slice) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, slice, [&] {
            auto it = opened_.find(self);
            return it == opened_.end() || it->second;
        });
    }
    void forget(const PyObject* self) {
        std::lock_guard lock(mutex_);
        opened_.erase(self);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<const PyObject*, bool> opened_;
};

WorkerRunGate& run_gate() {
    static WorkerRunGate* gate = new WorkerRunGate;  // outlives every worker thread
    return *gate;
}

// Whether start() can wait for the worker's queue: the worker is this module's own, bound to
// self, and runs on a standard thread (or one derived from it). A derived class's worker, a
// thread of another kind or a call from the receiver (which holds _listener_lock, needed by the
// registration) starts without waiting.
bool can_wait_for_run(PyObject* self, PyObject* target, PyObject* thread, const FunctionDecl& worker) {
    if (!PyMethod_Check(target) || PyMethod_GET_SELF(target) != self ||
        !py::is_function_of(PyMethod_GET_FUNCTION(target), worker))
        return false;
    Handle threading = py::steal(PyImport_ImportModule("threading"));
    Handle standard = threading ? py::steal(PyObject_GetAttr(threading.get(), OZU_ID("Thread"))) : Handle{};
    const int standard_thread = standard ? PyObject_IsInstance(thread, standard.get()) : 0;
    PyErr_Clear();
    return standard_thread > 0 && !called_from_receiver(self);
}

// Waits until the worker has registered its queue or has ended (a worker that failed before
// registering, or a thread whose run() never calls its target). Like stop(), it must not be called
// by a thread that holds _listener_lock.
bool wait_for_run(PyObject* self, PyObject* thread) {
    for (;;) {
        bool opened;
        {
            py::GilRelease unlocked;
            opened = run_gate().wait_open(self, std::chrono::milliseconds(20));
        }
        if (opened) return true;
        Handle alive = call_method(thread, OZU_ID("is_alive"));
        if (!alive) return false;
        const int running = PyObject_IsTrue(alive.get());
        if (running <= 0) return running == 0;
    }
}

// Waits for the previous worker to end before a new one starts, so that two never serve at once (a
// stop whose own wait was interrupted leaves it running). Not when the caller is that worker (a
// hook restarting its station) or the receiver (the worker's last step needs _listener_lock,
// which the receiver holds): the previous worker then ends once it sees itself replaced.
bool wait_for_previous_worker(PyObject* self) {
    Handle previous = py::steal(PyObject_GetAttr(self, OZU_ID("_slave_thread")));
    if (!previous) return false;
    return called_from_receiver(self) || link::wait_for_run_end(previous.get());
}

// Thread(target=self.<worker>), stored in _slave_thread, then the flag cleared and the thread
// started; waits for its queue where it can. The thread is named before the flag is cleared: a
// previous worker that has not looked yet (its start() was interrupted) then finds either the flag
// set or itself replaced.
bool launch_worker(PyObject* self, PyObject* worker_name, const FunctionDecl& worker) {
    Handle target = py::steal(PyObject_GetAttr(self, worker_name));
    if (!target) return false;
    Handle kwnames = py::steal(PyTuple_Pack(1, OZU_ID("target")));
    if (!kwnames) return false;
    PyObject* args[] = {target.get()};
    Handle thread = py::call_global(OZU_ID("Thread"), args, 0, kwnames.get());
    if (!thread || PyObject_SetAttr(self, OZU_ID("_slave_thread"), thread.get()) < 0) return false;
    if (PyObject_SetAttr(self, OZU_ID("_slave_stop_flag"), Py_False) < 0) return false;
    if (!can_wait_for_run(self, target.get(), thread.get(), worker))
        return static_cast<bool>(call_method(thread.get(), OZU_ID("start")));
    run_gate().expect(self);
    const bool ok = call_method(thread.get(), OZU_ID("start")) && wait_for_run(self, thread.get());
    run_gate().forget(self);
    return ok;
}

// Unless the flag says a worker is meant to run: a new worker run, once the previous one has ended.
bool start_worker(PyObject* self, PyObject* worker_name, const FunctionDecl& worker) {
    const int stopped = flag_is_set(self, OZU_ID("_slave_stop_flag"));
    if (stopped <= 0) return stopped == 0;
    if (!wait_for_previous_worker(self)) return false;
    if (launch_worker(self, worker_name, worker)) return true;
    // No run after a start that failed (or was interrupted): a worker that began anyway ends on
    // the flag. The start's own error stays the one reported.
    py::ErrorScope error;
    if (PyObject_SetAttr(self, OZU_ID("_slave_stop_flag"), Py_True) < 0)
        error.chain_into_current();
    else
        error.restore();
    return false;
}

// Sets the flag and waits, without a time limit, for the worker, unless the flag was already set.
// The flag alone ends the worker after the current request when the caller is the worker itself
// (a hook stopping its station: waiting would wait on ourselves) or the link's receiver (a
// listener stopping the station: the worker's last step takes _listener_lock, which the receiver
// holds while it delivers, so waiting would never end).
bool stop_worker(PyObject* self) {
    const int stopped = flag_is_set(self, OZU_ID("_slave_stop_flag"));
    if (stopped != 0) return stopped > 0;
    if (PyObject_SetAttr(self, OZU_ID("_slave_stop_flag"), Py_True) < 0) return false;
    Handle thread = py::steal(PyObject_GetAttr(self, OZU_ID("_slave_thread")));
    if (!thread) return false;
    if (link::is_calling_thread(thread.get()) || called_from_receiver(self)) return true;
    // After join(), the worker's own word: a join interrupted earlier may have left it running.
    return call_method(thread.get(), OZU_ID("join")) && link::wait_for_run_end(thread.get());
}

bool set_initial_worker_state(PyObject* self) {
    return PyObject_SetAttr(self, OZU_ID("_slave_thread"), Py_None) == 0 &&
           PyObject_SetAttr(self, OZU_ID("_slave_stop_flag"), Py_True) == 0;
}

// Creates and registers the run's request queue.
Handle open_run(PyObject* self) {
    Handle queue = py::call_global(OZU_ID("Queue"), nullptr, 0);
    if (!queue || !update_listeners(self, OZU_ID("append"), queue.get())) return {};
    run_gate().mark_open(self);
    return queue;
}

// ------------------------------------------------------------------------- MewFullDuplexBase

PyObject* fd_init_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    PyObject* kwargs = args.kwargs.get();
    Handle station = py::steal(PyLong_FromLong(0));
    if (!station) return nullptr;
    PyObject* given = PyDict_GetItemWithError(kwargs, OZU_ID("slave_station"));
    if (given) {
        station = py::borrow(given);
        if (py::assertions_enabled()) {
            Handle zero = py::steal(PyLong_FromLong(0));
            if (!zero) return nullptr;
            const int ok = PyObject_RichCompareBool(station.get(), zero.get(), Py_GE);
            if (ok < 0) return nullptr;
            if (!ok) return py::raise_assertion();
        }
        if (PyDict_DelItem(kwargs, OZU_ID("slave_station")) < 0) return nullptr;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    // The station's type is settled before the link is made: a failure after the master part
    // has started would leave a running receiver and an open port behind.
    if (!PyLong_CheckExact(station.get())) return py::raise_arg_type("station", "int", station.get());
    if (!py::call_global_member(OZU_ID("MewMaster"), OZU_ID("__init__"), self, args.star_args.get(), kwargs))
        return nullptr;
    Handle one_tuple = py::steal(PyTuple_Pack(1, station.get()));
    if (!one_tuple || !py::call_global_member(OZU_ID("MewSlaveBase"), OZU_ID("__init__"), self, one_tuple.get()))
        return nullptr;
    if (!set_initial_worker_state(self)) return nullptr;
    Py_RETURN_NONE;
}

// One request of the full-duplex worker: process it and send the result, whatever it is (the
// channel writes nothing for an empty text). Returns false when the worker must end.
bool fd_serve_one(PyObject* self, PyObject* frame) {
    Handle answer = call_method(self, OZU_ID("process_request"), frame);
    if (answer) {
        Handle sent = call_method(self, OZU_ID("_send"), answer.get());
        if (sent) return true;
    }
    return handle_request_failure();
}

PyObject* fd_worker_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    const link::RunOwner run(self, OZU_ID("_slave_thread"));
    Handle queue = open_run(self);
    if (!queue) return nullptr;
    Handle timeout = py::steal(PyFloat_FromDouble(0.1));
    bool ok = static_cast<bool>(timeout);
    while (ok) {
        const int wanted = run.wanted(OZU_ID("_slave_stop_flag"));
        if (wanted <= 0) {
            ok = wanted == 0;
            break;
        }
        bool timed_out = false;
        Handle frame = py::queue_get(queue.get(), timeout.get(), timed_out);
        if (!frame) {
            if (!timed_out) {
                ok = false;
                break;
            }
            continue;
        }
        // A request that reached a replaced run is the new run's to answer: both queues got it.
        const int current = run.current();
        if (current <= 0) {
            ok = current == 0;
            break;
        }
        ok = fd_serve_one(self, frame.get());
    }
    return finish_run(self, queue.get(), ok);
}

extern const FunctionDecl kFdWorker;

PyObject* fd_start_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!py::call_global_member(OZU_ID("MewMaster"), OZU_ID("start"), self)) return nullptr;
    if (!start_worker(self, OZU_ID("check_and_process_request"), kFdWorker)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fd_stop_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!py::call_global_member(OZU_ID("MewMaster"), OZU_ID("stop"), self)) return nullptr;
    if (!stop_worker(self)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fd_channel_name_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle handle = py::steal(PyObject_GetAttr(self, OZU_ID("dev_handle")));
    if (!handle) return nullptr;
    Handle port = py::steal(PyObject_GetAttr(handle.get(), OZU_ID("port")));
    if (!port) return nullptr;
    return PyUnicode_FromFormat("MewFullDuplex[%S]", port.get());
}

const FunctionDecl kFdInit{.name = "__init__", .params = {{"self"}}, .impl = fd_init_impl, .star_args = true, .star_kwargs = true};
const FunctionDecl kFdWorker{"check_and_process_request", {{"self"}}, fd_worker_impl};
const FunctionDecl kFdStart{"start", {{"self"}}, fd_start_impl};
const FunctionDecl kFdStop{"stop", {{"self"}}, fd_stop_impl};
const FunctionDecl kFdChannelName{"channel_name", {{"self"}}, fd_channel_name_impl};

// ------------------------------------------------------------------------ RandomMewSlaveDemo

PyObject* demo_init_impl(BoundArgs& args) {
    auto [self, station] = args.take<2>();
    if (!py::call_global_member(OZU_ID("MewBase"), OZU_ID("__init__"), self, args.star_args.get(), args.kwargs.get()))
        return nullptr;
    Handle one_tuple = py::steal(PyTuple_Pack(1, station));
    if (!one_tuple || !py::call_global_member(OZU_ID("MewSlaveBase"), OZU_ID("__init__"), self, one_tuple.get()))
        return nullptr;
    if (!set_initial_worker_state(self)) return nullptr;
    Py_RETURN_NONE;
}

// One request of the demonstration worker: a non-empty answer is sent. Returns false when the
// worker must end.
bool demo_serve_one(PyObject* self, PyObject* frame) {
    Handle answer = call_method(self, OZU_ID("process_request"), frame);
    if (answer) {
        Handle nothing = py::steal(PyUnicode_FromStringAndSize(nullptr, 0));
        if (!nothing) return false;
        const int send = PyObject_RichCompareBool(answer.get(), nothing.get(), Py_NE);
        if (send == 0) return true;
        if (send > 0 && call_method(self, OZU_ID("_send"), answer.get())) return true;
    }
    return handle_request_failure();
}

PyObject* demo_worker_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    const link::RunOwner run(self, OZU_ID("_slave_thread"));
    Handle queue = open_run(self);
    if (!queue) return nullptr;
    Handle poll = py::steal(PyFloat_FromDouble(0.01));
    bool ok = static_cast<bool>(poll);
    while (ok) {
        const int wanted = run.wanted(OZU_ID("_slave_stop_flag"));
        if (wanted <= 0) {
            ok = wanted == 0;
            break;
        }
        Handle empty = call_method(queue.get(), OZU_ID("empty"));
        const int idle = empty ? PyObject_IsTrue(empty.get()) : -1;
        if (idle < 0) {
            ok = false;
        } else if (idle) {
            PyObject* args[] = {poll.get()};
            ok = static_cast<bool>(py::call_global(OZU_ID("sleep"), args, 1));
        } else {
            Handle frame = call_method(queue.get(), OZU_ID("get"));
            ok = frame && demo_serve_one(self, frame.get());
        }
    }
    return finish_run(self, queue.get(), ok);
}

extern const FunctionDecl kDemoWorker;

PyObject* demo_start_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!py::call_global_member(OZU_ID("MewBase"), OZU_ID("start"), self)) return nullptr;
    if (!start_worker(self, OZU_ID("_check_and_process_request"), kDemoWorker)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* demo_stop_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!stop_worker(self)) return nullptr;
    if (!py::call_global_member(OZU_ID("MewBase"), OZU_ID("stop"), self)) return nullptr;
    Py_RETURN_NONE;
}

// _random.randint(low, high), through the module's `_random` as currently bound.
Handle randint(long low, long high) {
    PyObject* random = py::global(OZU_ID("_random"));
    if (!random) return {};
    Handle lo = py::steal(PyLong_FromLong(low));
    Handle hi = py::steal(PyLong_FromLong(high));
    if (!lo || !hi) return {};
    return call_method(random, OZU_ID("randint"), lo.get(), hi.get());
}

PyObject* demo_get_coil_impl(BoundArgs&) {
    Handle drawn = randint(0, 1);
    if (!drawn) return nullptr;
    Handle one = py::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    return PyObject_RichCompare(drawn.get(), one.get(), Py_EQ);
}

PyObject* demo_get_multi_coil_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    const Py_ssize_t n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Handle words = py::steal(PyList_New(0));
    if (!words) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle word = randint(0, 65535);
        if (!word || PyList_Append(words.get(), word.get()) < 0) return nullptr;
    }
    return words.release();
}

PyObject* demo_get_multi_uint16_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    Handle words = call_method(self, OZU_ID("on_get_multi_coil_uint16"), station, name, count);
    if (!words) return nullptr;
    if (words.get() != Py_None && !PyList_CheckExact(words.get())) return py::raise_expected("list", words.get());
    return words.release();
}

PyObject* demo_set_coil_impl(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    return print_formatted("Slave: Contact %s is set to %s", name, value);
}
PyObject* demo_set_multi_coil_impl(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    return print_formatted("Slave: Contact Crow %s wrote to %s", name, values);
}
PyObject* demo_set_multi_uint16_impl(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    return print_formatted("Slave: Registers %s wrote to %s", name, values);
}

const FunctionDecl kDemoInit{.name = "__init__", .params = {{"self"}, {"station", Check::Int}}, .impl = demo_init_impl, .star_args = true, .star_kwargs = true};
const FunctionDecl kDemoWorker{"_check_and_process_request", {{"self"}}, demo_worker_impl};
const FunctionDecl kDemoStart{"start", {{"self"}}, demo_start_impl};
const FunctionDecl kDemoStop{"stop", {{"self"}}, demo_stop_impl};
const FunctionDecl kDemoGetCoil{"on_get_coil", {{"self"}, {"station", Check::Int}, {"name", Check::Str}},
                                demo_get_coil_impl};
const FunctionDecl kDemoGetMultiCoil{"on_get_multi_coil_uint16",
                                     {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"count", Check::Int}},
                                     demo_get_multi_coil_impl};
const FunctionDecl kDemoGetMultiUint16{"on_get_multi_uint16",
                                       {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"count", Check::Int}},
                                       demo_get_multi_uint16_impl};
const FunctionDecl kDemoSetCoil{"on_set_coil",
                                {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"value"}},
                                demo_set_coil_impl};
const FunctionDecl kDemoSetMultiCoil{"on_set_multi_coil_uint16",
                                     {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"values", Check::List}},
                                     demo_set_multi_coil_impl};
const FunctionDecl kDemoSetMultiUint16{
    "on_set_multi_uint16",
    {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"values", Check::List}},
    demo_set_multi_uint16_impl};

}  // namespace
}  // namespace slave

bool register_slave_links(PyObject* module_dict) {
    using py::ClassBuilder;
    PyObject* master = py::global(OZU_ID("MewMaster"));
    PyObject* station = master ? py::global(OZU_ID("MewSlaveBase")) : nullptr;
    PyObject* abc = station ? py::global(OZU_ID("ABC")) : nullptr;
    if (!abc) return false;
    py::Handle full_duplex = ClassBuilder("MewFullDuplexBase")
                                 .base(master)
                                 .base(station)
                                 .base(abc)
                                 .method(slave::kFdInit)
                                 .method(slave::kFdWorker)
                                 .method(slave::kFdStart)
                                 .method(slave::kFdStop)
                                 .property(slave::kFdChannelName)
                                 .build();
    if (!full_duplex || PyDict_SetItemString(module_dict, "MewFullDuplexBase", full_duplex.get()) < 0) return false;

    PyObject* link = py::global(OZU_ID("MewBase"));
    if (!link) return false;
    py::Handle demo = ClassBuilder("RandomMewSlaveDemo")
                          .base(link)
                          .base(station)
                          .method(slave::kDemoInit)
                          .method(slave::kDemoWorker)
                          .method(slave::kDemoStart)
                          .method(slave::kDemoStop)
                          .method(slave::kDemoGetCoil)
                          .method(slave::kDemoGetMultiCoil)
                          .method(slave::kDemoGetMultiUint16)
                          .method(slave::kDemoSetCoil)
                          .method(slave::kDemoSetMultiCoil)
                          .method(slave::kDemoSetMultiUint16)
                          .build();
    return demo && PyDict_SetItemString(module_dict, "RandomMewSlaveDemo", demo.get()) == 0;
}

}  // namespace ozu::mew
