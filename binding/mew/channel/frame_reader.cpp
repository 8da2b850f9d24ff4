// `_receive_frame_by_serial(serial)`: one frame, read byte by byte up to its carriage return.
//
// An ozu_brix port object (exactly that type) is read natively: the core reader collects the frame
// with the GIL released, taking each byte exactly as the port's read() would hand it out, and its
// outcome is turned into the same text or exception. Any other port object goes through
// its Python `read()`, exactly as a Python loop over `serial.read()` would: `len()` of each piece decides whether the read timed out, pieces are collected with
// `data += piece`, and only a piece equal to b"\r" ends the frame.
//
// A frame holds at most kMaxFrameLength bytes, carriage return included, as in the core reader.
// When a peer sends more, the rest of that frame is read and dropped up to and including the next
// carriage return (stopping early at a read time-out or after kMaxDiscardLength bytes), so that
// the next call starts at a frame boundary, and the call fails with the "format invalid" error.
#include "channel/frame_reader.hpp"

#include "channel/channel_fast_path.hpp"
#include "ozu/serial/frame_reader.hpp"
#include "ozu/serial/sliced_read.hpp"
#include "runtime/brix_capi.hpp"
#include "runtime/class_builder.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#if defined(_MSC_VER)
#define OZU_NOINLINE __declspec(noinline)
#else
#define OZU_NOINLINE [[gnu::noinline]]
#endif

namespace ozu::mew::channel {
namespace {

using py::borrow;
using py::Handle;
using py::steal;

constexpr auto kFrameLimit = static_cast<Py_ssize_t>(serial::kMaxFrameLength);
constexpr auto kDiscardLimit = static_cast<Py_ssize_t>(serial::kMaxDiscardLength);

const brix::CApi* g_brix = nullptr;  // set when ozu_brix ports can be read natively

const char kNoResponse[] = "Error: device no response.:";
const char kFormatInvalid[] = "Error: device response format invalid.:";

// IOError(text + str(serial.port)); returns null.
PyObject* raise_line_error(const char* text, PyObject* serial) {
    Handle port = steal(PyObject_GetAttr(serial, OZU_ID("port")));
    if (!port) return nullptr;
    Handle name = steal(PyObject_Str(port.get()));
    if (!name) return nullptr;
    Handle message = steal(PyUnicode_FromFormat("%s%U", text, name.get()));
    if (message) PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
}

PyObject* carriage_return() {
    static PyObject* const cr = PyBytes_FromStringAndSize("\r", 1);
    return cr;
}

Handle read_piece(PyObject* serial) { return steal(PyObject_CallMethodNoArgs(serial, OZU_ID("read"))); }

// len(piece), or -1 with an error set.
Py_ssize_t piece_length(PyObject* piece) {
    return PyBytes_CheckExact(piece) ? PyBytes_GET_SIZE(piece) : PyObject_Size(piece);
}

// piece == b"\r" as a truth value: 1, 0, or -1 with an error set.
int is_carriage_return(PyObject* piece) {
    if (PyBytes_CheckExact(piece)) return PyBytes_GET_SIZE(piece) == 1 && PyBytes_AS_STRING(piece)[0] == '\r';
    Handle equal = steal(PyObject_RichCompare(piece, carriage_return(), Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// The collected data of one frame. Byte strings are gathered in native memory; a piece of another
// kind is added the way `data += piece` adds it, and should that sum not be a byte string (an
// object with its own __radd__), the data stays that object and is treated generically.
class Collected {
public:
    bool add(PyObject* piece) {
        if (!other_ && PyBytes_CheckExact(piece)) {
            bytes_.append(PyBytes_AS_STRING(piece), static_cast<std::size_t>(PyBytes_GET_SIZE(piece)));
            return true;
        }
        Handle data = other_ ? std::move(other_) : as_bytes();
        if (!data) return false;
        Handle sum = steal(PyNumber_InPlaceAdd(data.get(), piece));
        if (!sum) return false;
        if (PyBytes_Check(sum.get())) {
            bytes_.assign(PyBytes_AS_STRING(sum.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(sum.get())));
            return true;
        }
        other_ = std::move(sum);
        return true;
    }

    // len(data), or -1 with an error set.
    Py_ssize_t size() const {
        return other_ ? PyObject_Size(other_.get()) : static_cast<Py_ssize_t>(bytes_.size());
    }

    // data[-1] != 0x0D: 1, 0, or -1 with an error set. The data is not empty.
    int lacks_carriage_return() const {
        if (!other_) return bytes_.back() != '\r';
        Handle index = steal(PyLong_FromLong(-1));
        Handle last = index ? steal(PyObject_GetItem(other_.get(), index.get())) : Handle();
        Handle cr = steal(PyLong_FromLong('\r'));
        if (!last || !cr) return -1;
        return PyObject_RichCompareBool(last.get(), cr.get(), Py_NE);
    }

    // data.decode("latin")
    PyObject* decode() const {
        if (!other_) return PyUnicode_DecodeLatin1(bytes_.data(), static_cast<Py_ssize_t>(bytes_.size()), nullptr);
        Handle text = steal(PyObject_CallMethodOneArg(other_.get(), OZU_ID("decode"), OZU_ID("latin")));
        if (!text || text.get() == Py_None || PyUnicode_CheckExact(text.get())) return text.release();
        return py::raise_expected("str", text.get());
    }

    // Hands the collected bytes to note(data, n, count) as they are thrown away.
    template <class Note>
    void drop_into(Note note) const {
        if (!other_) note(bytes_.data(), bytes_.size(), bytes_.size());
        else note("", 0, static_cast<std::size_t>(size() < 0 ? (PyErr_Clear(), 0) : size()));
    }

private:
    Handle as_bytes() const {
        return steal(PyBytes_FromStringAndSize(bytes_.data(), static_cast<Py_ssize_t>(bytes_.size())));
    }

    std::string bytes_;
    Handle other_;
};

// piece == b"%" as a truth value: 1, 0, or -1 with an error set.
int is_header(PyObject* piece) {
    if (PyBytes_CheckExact(piece))
        return PyBytes_GET_SIZE(piece) == 1 && PyBytes_AS_STRING(piece)[0] == static_cast<char>(serial::kFrameHeader);
    static PyObject* const header = PyBytes_FromStringAndSize("%", 1);
    Handle equal = steal(PyObject_RichCompare(piece, header, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// What the latest read on this thread threw away, for the link's report.
thread_local DroppedBytes t_dropped;

void note_dropped(const char* data, std::size_t n, std::size_t count) {
    std::size_t room = serial::kMaxDroppedKept - t_dropped.head.size();
    t_dropped.head.append(data, n < room ? n : room);
    t_dropped.count += count;
}

// The generic reader, piece by piece as the core reader goes byte by byte: a piece equal to
// b"%" starts the frame afresh, and after an over-long frame the skipping ends at a piece equal
// to b"\r" (the frame fails) or to b"%" (the next frame starts).
PyObject* receive_generic(PyObject* serial) {
    Collected data;
    Py_ssize_t discarded = 0;
    bool skipping = false;
    for (;;) {
        if (skipping && discarded >= kDiscardLimit) return raise_line_error(kFormatInvalid, serial);
        Handle piece = read_piece(serial);
        if (!piece) return nullptr;
        Py_ssize_t n = piece_length(piece.get());
        if (n < 0) return nullptr;
        if (n == 0) break;
        int header = is_header(piece.get());
        if (header < 0) return nullptr;
        if (header) {
            Py_ssize_t size = data.size();
            if (size < 0) return nullptr;
            if (size > 0) {
                if (discarded + size > kDiscardLimit) {
                    if (!skipping) return raise_line_error(kFormatInvalid, serial);
                    discarded += n;  // skipped like any other byte
                    continue;
                }
                data.drop_into(note_dropped);
                discarded += size;
                data = Collected();
            }
            skipping = false;
        } else if (skipping) {
            int cr = is_carriage_return(piece.get());
            if (cr < 0) return nullptr;
            if (PyBytes_CheckExact(piece.get()))
                note_dropped(PyBytes_AS_STRING(piece.get()), static_cast<std::size_t>(n), static_cast<std::size_t>(n));
            else
                note_dropped("", 0, static_cast<std::size_t>(n));
            if (cr) return raise_line_error(kFormatInvalid, serial);
            discarded += n;
            continue;
        }
        if (!data.add(piece.get())) return nullptr;
        int cr = is_carriage_return(piece.get());
        if (cr < 0) return nullptr;
        if (cr) break;
        Py_ssize_t size = data.size();
        if (size < 0) return nullptr;
        if (size >= kFrameLimit) skipping = true;
    }
    if (skipping) return raise_line_error(kFormatInvalid, serial);
    Py_ssize_t size = data.size();
    if (size < 0) return nullptr;
    if (size == 0) return raise_line_error(kNoResponse, serial);
    int unterminated = data.lacks_carriage_return();
    if (unterminated < 0) return nullptr;
    if (unterminated) return raise_line_error(kFormatInvalid, serial);
    return data.decode();
}

// One byte as the port object's read() delivers it: from the buffer at once, otherwise waiting up
// to the port's read time-out in slices, between which signal handlers run (Ctrl-C ends a long
// wait as it ends the wait of read()).
class NativeSource {
public:
    NativeSource(serial::Port& port, py::GilRelease& nogil, double slice = serial::kSignalSlice,
                 KeepReading keep_reading = nullptr, void* context = nullptr) noexcept
        : port_(port), nogil_(nogil), slice_(slice), keep_reading_(keep_reading), context_(context) {}

    int next(std::uint8_t& byte, serial::IoError& err) {
        if (port_.read_buffered(&byte, 1) == 1) return took(byte);
        return wait_for(byte, err);
    }

    bool interrupted() const noexcept { return interrupted_; }
    bool abandoned() const noexcept { return abandoned_; }
    // Every byte this source handed out, when it reads for a run that may give the frame up: all
    // of them are thrown away then.
    DroppedBytes taken() const { return {std::string(taken_head_.data(), taken_kept_), taken_count_}; }

private:
    // Kept out of line so that the usual byte, taken from the buffer, stays a few instructions.
    OZU_NOINLINE int wait_for(std::uint8_t& byte, serial::IoError& err) {
        nogil_.release();  // from the first wait on, the frame is read without the GIL
        const serial::SlicedWait wait(port_.timeout(), slice_);
        std::ptrdiff_t got = serial::read_sliced(port_, &byte, 1, wait, err, [this] { return between_slices(); });
        if (got == serial::kReadStopped) {
            interrupted_ = true;
            return -1;
        }
        return got == 1 ? took(byte) : got < 0 ? -1 : static_cast<int>(got);
    }

    bool between_slices() {
        return nogil_.with_gil([this] {
            if (PyErr_CheckSignals() != 0) return false;
            if (!keep_reading_) return true;
            const int keep = keep_reading_(context_);
            abandoned_ = keep == 0;
            return keep > 0;
        });
    }

    int took(std::uint8_t byte) {
        if (!keep_reading_) return 1;
        if (taken_kept_ < taken_head_.size()) taken_head_[taken_kept_++] = static_cast<char>(byte);
        ++taken_count_;
        return 1;
    }

    serial::Port& port_;
    py::GilRelease& nogil_;
    std::array<char, serial::kMaxDroppedKept> taken_head_;
    std::size_t taken_kept_ = 0;
    std::size_t taken_count_ = 0;
    double slice_;
    KeepReading keep_reading_;
    void* context_;
    bool interrupted_ = false;
    bool abandoned_ = false;
};

PyObject* receive_frame_by_serial_impl(py::BoundArgs& args) {
    auto [serial] = args.take<1>();
    return receive_frame_by_serial(serial);
}

}  // namespace

const py::FunctionDecl kReceiveFrameBySerial = {"_receive_frame_by_serial", {{"serial"}}, receive_frame_by_serial_impl};

PyObject* receive_frame_by_serial(PyObject* serial) {
    t_dropped = DroppedBytes();
    if (serial::Port* port = native_port(serial)) return receive_frame_native(serial, *port);
    return receive_generic(serial);
}

DroppedBytes take_dropped() noexcept { return std::exchange(t_dropped, DroppedBytes()); }

PyObject* receive_frame_native(PyObject* port_object, serial::Port& port, double slice, KeepReading keep_reading,
                               void* context, bool& abandoned) {
    Handle keep = borrow(port_object);
    serial::FrameResult result;
    bool interrupted = false;
    DroppedBytes taken;
    {
        // A frame that is already buffered whole (the usual case once its first byte has come) is
        // taken with the GIL held: it needs no wait, and releasing the GIL would make this thread
        // queue for it again behind whichever thread took it.
        py::GilRelease nogil(std::defer_lock);
        NativeSource source(port, nogil, slice, keep_reading, context);
        result = serial::read_frame_from(source, std::string(), serial::kMaxFrameLength);
        interrupted = source.interrupted();
        abandoned = source.abandoned();
        if (abandoned) taken = source.taken();
    }
    if (abandoned) {
        t_dropped = std::move(taken);
        return nullptr;
    }
    t_dropped = DroppedBytes{std::move(result.dropped), result.discarded};
    if (interrupted) return nullptr;
    switch (result.status) {
        case serial::FrameStatus::Frame:
            return PyUnicode_DecodeLatin1(result.bytes.data(), static_cast<Py_ssize_t>(result.bytes.size()), nullptr);
        case serial::FrameStatus::NoResponse: return raise_line_error(kNoResponse, port_object);
        case serial::FrameStatus::FormatInvalid: return raise_line_error(kFormatInvalid, port_object);
        case serial::FrameStatus::IoFailure: break;
    }
    return g_brix->raise_port_error(port_object, result.error);
}

PyObject* receive_frame_native(PyObject* port_object, serial::Port& port) {
    bool abandoned = false;
    return receive_frame_native(port_object, port, serial::kSignalSlice, nullptr, nullptr, abandoned);
}

void init_native_ports() {
    g_brix = brix::import_brix_capi();
    if (!g_brix) PyErr_Clear();  // without the serial library's C API every port is read through Python
}

serial::Port* native_port(PyObject* obj) noexcept {
    return g_brix && Py_IS_TYPE(obj, g_brix->port_type) ? g_brix->core_port(obj) : nullptr;
}

}  // namespace ozu::mew::channel
