// MewMasterBase: one request out, the first answer back within the query time-out, checked.
#include "link/link_support.hpp"
#include "master/master.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"

namespace ozu::mew::master {
namespace {

using namespace ozu::py;
using link::PendingError;
using link::WithBlock;

// The shortest answer: header, two station digits, type, two command letters, check, terminator.
constexpr Py_ssize_t kMinAnswer = 9;

Handle codec_call(PyObject* op, PyObject* arg) {
    PyObject* codec = global(OZU_ID("MewStatic"));
    if (!codec) return {};
    Handle keep = borrow(codec);
    return steal(PyObject_CallMethodOneArg(codec, op, arg));
}

Handle codec_attr(PyObject* name) {
    PyObject* codec = global(OZU_ID("MewStatic"));
    if (!codec) return {};
    return steal(PyObject_GetAttr(codec, name));
}

// text[start:stop] with the interpreter's slicing (never fails for text).
Handle slice(PyObject* text, PyObject* start, PyObject* stop) {
    Handle s = steal(PySlice_New(start, stop, nullptr));
    if (!s) return {};
    return steal(PyObject_GetItem(text, s.get()));
}

// text[start:start + 2]
Handle two_from(PyObject* text, PyObject* start) {
    static PyObject* const two = PyLong_FromLong(2);
    Handle stop = steal(PyNumber_Add(start, two));
    if (!stop) return {};
    return slice(text, start, stop.get());
}

// Raises IOError("Error:" + port + ":" + detail) built by format with the port text first.
template <typename... Args>
PyObject* fail(PyObject* self, const char* format, Args... args) {
    Handle port = port_text_of(self);
    if (!port) return nullptr;
    return link::raise_io_error(steal(PyUnicode_FromFormat(format, port.get(), args...)));
}

bool is_hex(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The answer's block check: "**" skips it; otherwise it must be two hexadecimal digits that
// match. 1 accepted, 0 rejected, -1 error. A check field that is neither is a mismatch, tested
// here before the codec would refuse it; any other failure of the codec's check passes unchanged.
int block_check_ok(PyObject* answer) {
    if (PyUnicode_Check(answer) && PyUnicode_GET_LENGTH(answer) >= 3) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(answer);
        Py_UCS4 hi = PyUnicode_READ_CHAR(answer, n - 3);
        Py_UCS4 lo = PyUnicode_READ_CHAR(answer, n - 2);
        bool skipped = hi == '*' && lo == '*';
        if (!skipped && !(is_hex(hi) && is_hex(lo))) return 0;
    }
    Handle ok = codec_call(OZU_ID("crc_is_ok"), answer);
    return ok ? PyObject_IsTrue(ok.get()) : -1;
}

// Registers a new answer queue, sends, takes the first answer or none, and unregisters the
// queue on every way out. Returns the answer (None after the time-out) or null with an error.
Handle exchange(PyObject* self, PyObject* command) {
    Handle queue = call_global(OZU_ID("Queue"), nullptr, 0);
    if (!queue) return {};
    Handle listeners;
    {
        WithBlock block;
        if (!link::enter_attr(block, self, OZU_ID("_listener_lock")))
            return {};
        listeners = steal(PyObject_GetAttr(self, OZU_ID("_feedback_listeners")));
        Handle added;
        if (listeners) added = steal(PyObject_CallMethodOneArg(listeners.get(), OZU_ID("append"), queue.get()));
        if (!block.finish(static_cast<bool>(added))) return {};
    }

    Handle answer;
    Handle sent = steal(PyObject_CallMethodOneArg(self, OZU_ID("_send"), command));
    if (sent) {
        Handle timeout = steal(PyObject_GetAttr(self, OZU_ID("_query_timeout")));
        if (timeout) {
            static PyObject* const kwnames = PyTuple_Pack(1, OZU_ID("timeout"));
            PyObject* args[] = {queue.get(), timeout.get()};
            answer = steal(PyObject_VectorcallMethod(OZU_ID("get"), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     kwnames));
            if (!answer) {
                PendingError waited;
                PyObject* empty = global(OZU_ID("Empty"));
                if (!empty)
                    waited.chain_into_current();
                else if (waited.matches(empty))
                    answer = none();  // nothing arrived in time
                else
                    waited.restore();
            }
        }
    }

    PendingError pending;
    WithBlock block;
    bool removed = link::enter_attr(block, self, OZU_ID("_listener_lock"));
    if (removed) {
        Handle current = steal(PyObject_GetAttr(self, OZU_ID("_feedback_listeners")));
        Handle done;
        if (current) done = steal(PyObject_CallMethodOneArg(current.get(), OZU_ID("remove"), queue.get()));
        removed = block.finish(static_cast<bool>(done));
    }
    if (!removed) {
        pending.chain_into_current();
        return {};
    }
    pending.restore();
    return answer;
}

PyObject* query_impl_body(PyObject* self, PyObject* command_in) {
    Handle command = borrow(command_in);
    Handle tail = codec_attr(OZU_ID("TAIL"));
    if (!tail) return nullptr;
    Handle ends = steal(PyObject_CallMethodOneArg(command.get(), OZU_ID("endswith"), tail.get()));
    if (!ends) return nullptr;
    int has_tail = PyObject_IsTrue(ends.get());
    if (has_tail < 0) return nullptr;
    if (!has_tail) {
        static PyObject* const cr = PyUnicode_InternFromString("\r");
        command = steal(PyNumber_InPlaceAdd(command.get(), cr));
        if (!command) return nullptr;
    }

    Handle answer = exchange(self, command.get());
    if (!answer) return nullptr;
    PyObject* fb = answer.get();
    if (fb == Py_None) {
        Handle port = port_text_of(self);
        if (!port) return nullptr;
        return link::raise_io_error(steal(PyUnicode_FromFormat("MewMasterBase:%U:device response timeout.", port.get())));
    }

    Handle station = codec_call(OZU_ID("parse_station"), fb);
    if (!station) return nullptr;

    Handle head = codec_attr(OZU_ID("HEAD"));
    if (!head) return nullptr;
    Handle first = steal(PySequence_GetItem(fb, 0));
    if (!first) return nullptr;
    int wrong_head = PyObject_RichCompareBool(first.get(), head.get(), Py_NE);
    if (wrong_head < 0) return nullptr;
    if (wrong_head) return fail(self, "Error:%U:device response format invalid:begin with [%S]", first.get());

    Py_ssize_t length = PyObject_Size(fb);
    if (length < 0) return nullptr;
    if (length < kMinAnswer)
        return fail(self, "Error:%U:device response format invalid:length too small:[%zd]", length);

    int check = block_check_ok(fb);
    if (check < 0) return nullptr;
    if (!check) return fail(self, "Error:%U:device response format invalid:block check mismatch");

    Handle src_station = codec_call(OZU_ID("parse_station"), command.get());
    if (!src_station) return nullptr;
    Handle cmd_idx = codec_call(OZU_ID("command_start_position"), fb);
    if (!cmd_idx) return nullptr;
    int other_station = PyObject_RichCompareBool(src_station.get(), station.get(), Py_NE);
    if (other_station < 0) return nullptr;
    if (other_station)
        return fail(self, "Error:%U:station not match:expected %S, got %S", src_station.get(), station.get());

    Handle is_error = codec_call(OZU_ID("is_error"), fb);
    if (!is_error) return nullptr;
    int error_answer = PyObject_IsTrue(is_error.get());
    if (error_answer < 0) return nullptr;
    Handle got = two_from(fb, cmd_idx.get());
    if (!got) return nullptr;
    if (error_answer) return fail(self, "%U:MEW communication error code(hex):[%S]", got.get());

    // The answer must be to this request's command: a read answer is no write's success, and a
    // late answer to an earlier query is not this one's.
    Handle req_idx = codec_call(OZU_ID("command_start_position"), command.get());
    if (!req_idx) return nullptr;
    Handle expected = two_from(command.get(), req_idx.get());
    if (!expected) return nullptr;
    int other_command = PyObject_RichCompareBool(expected.get(), got.get(), Py_NE);
    if (other_command < 0) return nullptr;
    if (other_command)
        return fail(self, "Error:%U:command not match:expected %S, got %S", expected.get(), got.get());

    static PyObject* const minus3 = PyLong_FromLong(-3);
    return slice(fb, cmd_idx.get(), minus3).release();
}

PyObject* query_impl(BoundArgs& a) {
    PyObject* self = a[0];
    WithBlock block;
    if (!link::enter_attr(block, self, OZU_ID("_query_lock"))) return nullptr;
    Handle result = steal(PyObject_CallMethodOneArg(self, OZU_ID("_query"), a[1]));
    if (!block.finish(static_cast<bool>(result))) return nullptr;
    return result ? result.release() : none().release();
}

PyObject* raw_query_impl(BoundArgs& a) { return query_impl_body(a[0], a[1]); }

PyObject* init_impl(BoundArgs& a) {
    PyObject* self = a[0];
    PyObject* kwargs = a.kwargs.get();
    PyObject* given = PyDict_GetItemWithError(kwargs, OZU_ID("query_timeout"));
    if (!given && PyErr_Occurred()) return nullptr;
    if (given) {
        Handle value = borrow(given);
        if (PyObject_SetAttr(self, OZU_ID("_query_timeout"), value.get()) < 0 ||
            PyDict_DelItem(kwargs, OZU_ID("query_timeout")) < 0)
            return nullptr;
    } else {
        Handle one = steal(PyLong_FromLong(1));
        if (!one || PyObject_SetAttr(self, OZU_ID("_query_timeout"), one.get()) < 0) return nullptr;
    }

    if (!call_global_member(OZU_ID("MewBase"), OZU_ID("__init__"), self, a.star_args.get(), kwargs)) return nullptr;

    Handle lock = call_global(OZU_ID("Lock"), nullptr, 0);
    if (!lock || PyObject_SetAttr(self, OZU_ID("_query_lock"), lock.get()) < 0) return nullptr;
    return none().release();
}

const FunctionDecl kInit = {"__init__", {{"self"}}, init_impl, nullptr, true, true};
const FunctionDecl kQuery = {"query", {{"self"}, {"command"}}, query_impl};
const FunctionDecl kRawQuery = {"_query", {{"self"}, {"command"}}, raw_query_impl};

}  // namespace

Handle port_text_of(PyObject* self) {
    Handle handle = steal(PyObject_GetAttr(self, OZU_ID("dev_handle")));
    if (!handle) return {};
    return link::port_text(handle.get());
}

bool add_master_base(PyObject* module_dict) {
    PyObject* base = PyDict_GetItemString(module_dict, "MewBase");
    if (!base) {
        PyErr_SetString(PyExc_ImportError, "MewBase must be defined before MewMasterBase");
        return false;
    }
    Handle cls = ClassBuilder("MewMasterBase").base(base).method(kInit).method(kQuery).method(kRawQuery).build();
    return cls && PyDict_SetItemString(module_dict, "MewMasterBase", cls.get()) == 0;
}

}  // namespace ozu::mew::master
