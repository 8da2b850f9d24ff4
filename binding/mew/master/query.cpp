// MewMasterBase: one request out, the first answer back within the query time-out, checked.
#include "codec/codec_support.hpp"
#include "link/link_support.hpp"
#include "link/query_wake.hpp"
#include "master/errors.hpp"
#include "master/master.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/error_scope.hpp"
#include "runtime/module_globals.hpp"
#include "runtime/queue_get.hpp"
#include "ozu/codec/frame.hpp"
#include "ozu/protocol/answer_check.hpp"

#include <chrono>
#include <string>
#include <unordered_map>

namespace ozu::mew::master {
namespace {

using namespace ozu::py;
using link::WithBlock;
using protocol::AnswerStatus;
namespace core = ozu::codec;

// text[start:start + 2]
Handle two_from(PyObject* text, PyObject* start) {
    static PyObject* const two = PyLong_FromLong(2);
    Handle stop = steal(PyNumber_Add(start, two));
    if (!stop) return {};
    return codec::get_slice(text, start, stop.get());
}

// The error code of an error answer: its two characters read as hexadecimal, None when they are
// not two hexadecimal digits.
template <class Unit>
Handle code_value(core::Text<Unit> text, core::Span code) {
    if (code.size() != 2) return none();
    const auto value = core::read_piece(text, code, 16, core::Arg::data);
    return value.ok() ? codec::int_obj(static_cast<long long>(value.value)) : none();
}

Handle error_code(PyObject* two) {
    if (!PyUnicode_Check(two) || PyUnicode_GET_LENGTH(two) != 2) return none();
    return codec::with_text(two, [](auto text) { return code_value(text, {0, 2}); });
}

// The request's command letters, for a station's error; None when the request has none.
Handle command_letters(PyObject* command) {
    Handle idx = codec::call_op(OZU_ID("command_start_position"), command);
    Handle letters = idx ? two_from(command, idx.get()) : Handle();
    if (letters) return letters;
    PyErr_Clear();
    return none();
}

// UTF-8 of a str with lone surrogates kept as their three bytes, so that the text decoded back
// from a message built of such pieces is the text that went in.
bool append_utf8(std::string& out, PyObject* text) {
    Handle bytes = steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

Handle from_utf8(const std::string& text) {
    return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// The port text of the master as UTF-8: how its messages name the link.
bool port_utf8(PyObject* self, std::string& out) {
    Handle port = port_text_of(self);
    return port && append_utf8(out, port.get());
}

// str(piece) as UTF-8.
bool str_utf8(PyObject* piece, std::string& out) {
    Handle text = steal(PyObject_Str(piece));
    return text && append_utf8(out, text.get());
}

// The message of `status` with the port text and the text of the pieces, in that order.
Handle failure_message(PyObject* self, AnswerStatus status, PyObject* first = nullptr, PyObject* second = nullptr) {
    std::string port, a, b;
    if (!port_utf8(self, port) || (first && !str_utf8(first, a)) || (second && !str_utf8(second, b))) return {};
    return from_utf8(protocol::failure_message(status, port, a, b));
}

// The answer's checks, in their order; the first that fails decides the error:
//
//   Accepted       the result is the command part;
//   Failed         an exception is set;
//   FailedNotOurs  as Failed, and the answer belongs to another exchange (another station or
//                  another command), so this request's own answer may still come.

enum class Verdict { Accepted, Failed, FailedNotOurs };

// Parsing the answer failed with a ValueError or IndexError: the same failure, typed as a line
// failure (the request's own fields are not the line's, and keep their errors).
PyObject* answer_parse_failed() { return retype_parse_error(); }

// ------------------------------------------------------- the checks through the class
// A replaced MewStatic (or a replaced operation or constant of it) is called for every step.

// The answer's block check: "**" skips it; otherwise it must be two hexadecimal digits that
// match. 1 accepted, 0 rejected, -1 error. A check field that is neither is a mismatch, tested
// here before the codec would refuse it; any other failure of the codec's check passes unchanged.
int block_check_ok(PyObject* answer) {
    if (PyUnicode_Check(answer) && PyUnicode_GET_LENGTH(answer) >= 3) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(answer);
        const Py_UCS4 hi = PyUnicode_READ_CHAR(answer, n - 3);
        const Py_UCS4 lo = PyUnicode_READ_CHAR(answer, n - 2);
        const bool skipped = hi == core::kIgnoreBcc && lo == core::kIgnoreBcc;
        if (!skipped && !(core::digit_value(hi, 16) >= 0 && core::digit_value(lo, 16) >= 0)) return 0;
    }
    Handle ok = codec::call_op(OZU_ID("crc_is_ok"), answer);
    return ok ? PyObject_IsTrue(ok.get()) : -1;
}

Verdict failed(PyObject* self, AnswerStatus status, PyObject* first = nullptr, PyObject* second = nullptr) {
    raise_answer_error(failure_message(self, status, first, second));
    return Verdict::Failed;
}

Verdict check_answer_through_class(PyObject* self, PyObject* command, PyObject* fb, Handle& result) {
    Handle station = codec::call_op(OZU_ID("parse_station"), fb);
    if (!station) return answer_parse_failed(), Verdict::Failed;

    Handle head = codec::class_attr(OZU_ID("HEAD"));
    if (!head) return Verdict::Failed;
    Handle first = steal(PySequence_GetItem(fb, 0));
    if (!first) return answer_parse_failed(), Verdict::Failed;
    const int wrong_head = PyObject_RichCompareBool(first.get(), head.get(), Py_NE);
    if (wrong_head < 0) return Verdict::Failed;
    if (wrong_head) return failed(self, AnswerStatus::bad_head, first.get());

    const Py_ssize_t length = PyObject_Size(fb);
    if (length < 0) return Verdict::Failed;
    if (length < static_cast<Py_ssize_t>(protocol::kMinAnswerLength)) {
        Handle n = codec::int_obj(length);
        return n ? failed(self, AnswerStatus::too_short, n.get()) : Verdict::Failed;
    }

    const int check = block_check_ok(fb);
    if (check < 0) return answer_parse_failed(), Verdict::Failed;
    if (!check) return failed(self, AnswerStatus::block_check_mismatch);

    Handle src_station = codec::call_op(OZU_ID("parse_station"), command);
    if (!src_station) return Verdict::Failed;
    Handle cmd_idx = codec::call_op(OZU_ID("command_start_position"), fb);
    if (!cmd_idx) return answer_parse_failed(), Verdict::Failed;
    const int other_station = PyObject_RichCompareBool(src_station.get(), station.get(), Py_NE);
    if (other_station < 0) return Verdict::Failed;
    if (other_station) {
        failed(self, AnswerStatus::other_station, src_station.get(), station.get());
        return Verdict::FailedNotOurs;
    }

    Handle is_error = codec::call_op(OZU_ID("is_error"), fb);
    if (!is_error) return answer_parse_failed(), Verdict::Failed;
    const int error_answer = PyObject_IsTrue(is_error.get());
    if (error_answer < 0) return Verdict::Failed;
    Handle got = two_from(fb, cmd_idx.get());
    if (!got) return Verdict::Failed;
    if (error_answer) {
        Handle message = failure_message(self, AnswerStatus::error_answer, got.get());
        if (!message) return Verdict::Failed;
        Handle code = error_code(got.get());
        Handle letters = command_letters(command);
        if (!code || !letters) return Verdict::Failed;
        raise_station_error(std::move(message), code.get(), station.get(), letters.get());
        return Verdict::Failed;
    }

    // The answer must be to this request's command: a read answer is no write's success, and a
    // late answer to an earlier query is not this one's.
    Handle req_idx = codec::call_op(OZU_ID("command_start_position"), command);
    if (!req_idx) return Verdict::Failed;
    Handle expected = two_from(command, req_idx.get());
    if (!expected) return Verdict::Failed;
    const int other_command = PyObject_RichCompareBool(expected.get(), got.get(), Py_NE);
    if (other_command < 0) return Verdict::Failed;
    if (other_command) {
        failed(self, AnswerStatus::other_command, expected.get(), got.get());
        return Verdict::FailedNotOurs;
    }

    static PyObject* const minus3 = PyLong_FromLong(-3);
    result = codec::get_slice(fb, cmd_idx.get(), minus3);
    return result ? Verdict::Accepted : Verdict::Failed;
}

// ------------------------------------------------------------------ the core's checks
// While MewStatic is the class built at import and both texts are exact str, its operations are
// the core's, and the core's check_answer makes the same checks in the same order, with the same
// results and exceptions as the calls through the class.

template <class UnitRequest, class UnitAnswer>
Verdict check_answer_core(PyObject* self, PyObject* command, PyObject* fb, core::Text<UnitRequest> request,
                          core::Text<UnitAnswer> answer, Handle& result) {
    const protocol::CheckedAnswer checked = protocol::check_answer(request, answer);
    switch (checked.status) {
        case AnswerStatus::accepted:
            result = codec::substring(fb, checked.part);
            return result ? Verdict::Accepted : Verdict::Failed;
        case AnswerStatus::answer_unreadable:
            codec::raise_failure(checked.failure, fb);
            return answer_parse_failed(), Verdict::Failed;
        case AnswerStatus::request_unreadable:
            codec::raise_failure(checked.failure, command);
            return Verdict::Failed;
        case AnswerStatus::bad_head:
        case AnswerStatus::too_short:
        case AnswerStatus::block_check_mismatch:
        case AnswerStatus::other_station:
        case AnswerStatus::error_answer:
        case AnswerStatus::other_command: break;
    }
    std::string port;
    if (!port_utf8(self, port)) return Verdict::Failed;
    Handle message = from_utf8(protocol::answer_message(checked, request, answer, port));
    if (checked.status == AnswerStatus::error_answer) {
        if (!message) return Verdict::Failed;
        const protocol::StationField& from = checked.answer_station;
        Handle station = codec::station_number(fb, from.value, from.fits, from.digits);
        Handle code = code_value(answer, checked.code);
        const auto letters_at = core::command_position(request);
        Handle letters = codec::substring(command, core::slice(request.size(), letters_at, letters_at + 2));
        if (!station || !code || !letters) return Verdict::Failed;
        raise_station_error(std::move(message), code.get(), station.get(), letters.get());
        return Verdict::Failed;
    }
    raise_answer_error(std::move(message));
    const bool not_ours =
        checked.status == AnswerStatus::other_station || checked.status == AnswerStatus::other_command;
    return not_ours ? Verdict::FailedNotOurs : Verdict::Failed;
}

// Checks `fb`, the answer taken for `command` (the frame as sent).
Verdict check_answer(PyObject* self, PyObject* command, PyObject* fb, Handle& result) {
    if (PyUnicode_CheckExact(fb) && PyUnicode_CheckExact(command) && codec::class_untouched()) {
        return codec::with_text(command, [&](auto request) {
            return codec::with_text(fb, [&](auto answer) {
                return check_answer_core(self, command, fb, request, answer, result);
            });
        });
    }
    return check_answer_through_class(self, command, fb, result);
}

// ---------------------------------------------------------------- the wait and late answers
//
// The protocol carries no sequence number, so an answer that comes after its query gave up
// would be taken by the next query. A master therefore remembers that an answer is owed when a
// query ends without its own answer (a time-out, or an answer that was another exchange's), and
// before the next request goes out it takes and drops what arrives, until every owed answer has
// come or the owing query's own time-out has passed once more since it gave up. Only then is
// the next request sent, so every answer that query receives was sent after its request.

struct Owed {
    Handle master_ref;  // weak: the entry is stale once its master is gone
    long count = 0;
    double until = 0;   // monotonic seconds
};
// By master; touched with the GIL held only. Never destroyed: it holds references, and the
// interpreter may be gone when static objects are.
std::unordered_map<PyObject*, Owed>& g_owed = *new std::unordered_map<PyObject*, Owed>;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Owed* owed_of(PyObject* self) {
    auto it = g_owed.find(self);
    if (it == g_owed.end()) return nullptr;
    if (!weakly_refers_to(it->second.master_ref.get(), self)) {
        g_owed.erase(it);  // another object at the address of one that is gone
        return nullptr;
    }
    return &it->second;
}

// How long an answer stays owed: as long as its query waited, or 1 second for a query without
// a numeric time-out.
double owed_window(PyObject* timeout) {
    double seconds = timeout == Py_None ? -1.0 : PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();
    if (!(seconds >= 0.0) || seconds > 3600.0) seconds = 1.0;
    return seconds;
}

void owe_answer(PyObject* self, PyObject* timeout) {
    ErrorScope keep;
    Owed* owed = owed_of(self);
    if (!owed) {
        Handle ref = steal(PyWeakref_NewRef(self, nullptr));
        if (!ref) {
            PyErr_Clear();  // an object without weak references keeps no record
            keep.restore();
            return;
        }
        for (auto it = g_owed.begin(); it != g_owed.end();) {
            if (weakly_refers_to(it->second.master_ref.get(), it->first)) ++it;
            else it = g_owed.erase(it);
        }
        owed = &g_owed[self];
        owed->master_ref = std::move(ref);
    }
    owed->count += 1;
    owed->until = now() + owed_window(timeout);
    keep.restore();
}

// queue.get(timeout=timeout): the item, None when nothing came (Empty), or null with an error.
Handle take(PyObject* queue, PyObject* timeout) {
    bool timed_out = false;
    Handle item = queue_get(queue, timeout, timed_out);
    if (!item && timed_out) return none();
    return item;
}

// Takes and drops the answers owed to earlier queries from `queue` (registered, nothing sent
// yet). Returns None when the way is clear, a wake-up marker when the link went away, or null
// with an error.
Handle drop_owed_answers(PyObject* self, PyObject* queue) {
    if (!owed_of(self)) return none();
    // A link that is not running receives nothing: there is nothing to wait for (and start()
    // discards what came meanwhile).
    Handle flag = steal(PyObject_GetAttr(self, OZU_ID("_stop_flag")));
    int stopped = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (stopped < 0) return {};
    if (stopped) {
        g_owed.erase(self);
        return none();
    }
    for (;;) {
        Owed* owed = owed_of(self);
        if (!owed) return none();
        double left = owed->until - now();
        if (owed->count <= 0 || left <= 0) {
            g_owed.erase(self);
            return none();
        }
        Handle wait = steal(PyFloat_FromDouble(left));
        if (!wait) return {};
        Handle item = take(queue, wait.get());
        if (!item) return {};
        if (item.get() == Py_None) continue;  // the window has passed: nothing more is owed
        if (link::wake_reason(item.get()) != link::Wake::None) return item;
        if ((owed = owed_of(self)) != nullptr) owed->count -= 1;
    }
}

// Registers a new answer queue, drops answers still owed to earlier queries, sends, takes the
// first answer or none, and unregisters the queue on every way out. Returns the answer (None
// after the time-out, a wake-up marker when the link went away) or null with an error.
Handle exchange(PyObject* self, PyObject* command, PyObject* timeout) {
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
    link::waiting_begins(queue.get());

    Handle answer = drop_owed_answers(self, queue.get());
    if (answer && answer.get() == Py_None) {
        answer = {};
        Handle sent = steal(PyObject_CallMethodOneArg(self, OZU_ID("_send"), command));
        if (sent) answer = take(queue.get(), timeout);
    }

    link::waiting_ends(queue.get());
    ErrorScope pending;
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

// What `Queue.get(timeout=timeout)` raises for an unusable time-out, raised before anything is
// registered or sent: a negative value, a value that does not compare with 0, or one that the
// wait itself refuses (too large, not a number). True when the value is usable.
bool check_timeout(PyObject* timeout) {
    if (timeout == Py_None) return true;
    // Plain numbers from none to a day are what the wait always takes; only others need the
    // full test below.
    if (PyFloat_CheckExact(timeout)) {
        double v = PyFloat_AS_DOUBLE(timeout);
        if (v >= 0.0 && v <= 86400.0) return true;
    } else if (PyLong_CheckExact(timeout)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(timeout, &overflow);
        if (!overflow && v >= 0 && v <= 86400) return true;
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    static PyObject* const zero = PyLong_FromLong(0);
    int negative = PyObject_RichCompareBool(timeout, zero, Py_LT);
    if (negative < 0) return false;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "'timeout' must be a non-negative number");
        return false;
    }
    // The queue's wait computes its end time and waits on a lock for what is left of it.
    Handle start = steal(PyFloat_FromDouble(now()));
    if (!start) return false;
    Handle end = steal(PyNumber_Add(start.get(), timeout));
    if (!end) return false;
    Handle later = steal(PyFloat_FromDouble(now()));
    if (!later) return false;
    Handle left = steal(PyNumber_Subtract(end.get(), later.get()));
    if (!left) return false;
    static PyObject* const no_time = PyFloat_FromDouble(0.0);
    int over = PyObject_RichCompareBool(left.get(), no_time, Py_LE);
    if (over < 0) return false;
    if (over) return true;
    static PyObject* const allocate = [] {
        Handle thread = steal(PyImport_ImportModule("_thread"));
        return thread ? PyObject_GetAttrString(thread.get(), "allocate_lock") : nullptr;
    }();
    if (!allocate) return false;
    Handle lock = steal(PyObject_CallNoArgs(allocate));
    if (!lock) return false;
    Handle got = steal(PyObject_CallMethod(lock.get(), "acquire", "OO", Py_True, left.get()));
    return static_cast<bool>(got);
}

PyObject* link_gone(PyObject* self, link::Wake why) {
    Handle port = port_text_of(self);
    if (!port) return nullptr;
    if (why == link::Wake::Closed)
        return raise_link_error(steal(PyUnicode_FromFormat("MewMasterBase:%U:link was closed.", port.get())), nullptr);
    Handle cause = link::receiver_failure(self);
    if (!cause) return raise_link_error(steal(PyUnicode_FromFormat("MewMasterBase:%U:link is down.", port.get())), nullptr);
    return raise_link_error(steal(PyUnicode_FromFormat("MewMasterBase:%U:link is down: %s: %S", port.get(),
                                                       Py_TYPE(cause.get())->tp_name, cause.get())),
                            cause.get());
}

PyObject* query_impl_body(PyObject* self, PyObject* command_in) {
    Handle command = borrow(command_in);
    Handle tail = codec::class_attr(OZU_ID("TAIL"));
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

    Handle timeout = steal(PyObject_GetAttr(self, OZU_ID("_query_timeout")));
    if (!timeout || !check_timeout(timeout.get())) return nullptr;
    if (link::receiver_failure(self)) return link_gone(self, link::Wake::Broken);

    Handle answer = exchange(self, command.get(), timeout.get());
    if (!answer) return nullptr;
    PyObject* fb = answer.get();
    if (link::Wake why = link::wake_reason(fb); why != link::Wake::None) return link_gone(self, why);
    if (fb == Py_None) {
        owe_answer(self, timeout.get());
        std::string port;
        if (!port_utf8(self, port)) return nullptr;
        return raise_timeout(from_utf8(protocol::timeout_message(port)));
    }

    Handle result;
    Verdict verdict = check_answer(self, command.get(), fb, result);
    if (verdict == Verdict::FailedNotOurs) owe_answer(self, timeout.get());
    return verdict == Verdict::Accepted ? result.release() : nullptr;
}

PyObject* query_impl(BoundArgs& args) {
    auto [self, command] = args.take<2>();
    WithBlock block;
    if (!link::enter_attr(block, self, OZU_ID("_query_lock"))) return nullptr;
    Handle result = steal(PyObject_CallMethodOneArg(self, OZU_ID("_query"), command));
    if (!block.finish(static_cast<bool>(result))) return nullptr;
    return result ? result.release() : none().release();
}

PyObject* raw_query_impl(BoundArgs& args) {
    auto [self, command] = args.take<2>();
    return query_impl_body(self, command);
}

PyObject* init_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    PyObject* kwargs = args.kwargs.get();
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

    if (!call_global_member(OZU_ID("MewBase"), OZU_ID("__init__"), self, args.star_args.get(), kwargs)) return nullptr;

    Handle lock = call_global(OZU_ID("Lock"), nullptr, 0);
    if (!lock || PyObject_SetAttr(self, OZU_ID("_query_lock"), lock.get()) < 0) return nullptr;
    return none().release();
}

const FunctionDecl kInit = {.name = "__init__", .params = {{"self"}}, .impl = init_impl, .star_args = true, .star_kwargs = true};
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
