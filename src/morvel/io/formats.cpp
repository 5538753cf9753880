// morvel.io.formats: EVT 2.0 / EVT 3.0 camera words to events (whole buffers
// and streaming decoders), and events to dense frames and spike rasters.

#include "kit/buffer.hpp"
#include "kit/file.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_encode.hpp"
#include "kernels/raw_header.hpp"
#include "kernels/frames.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <new>
#include <type_traits>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

using kit::kReleaseGilBytes;

// ---------------------------------------------------------------------------
// Decoding runs. Each takes the decoder state by reference; callers keep the
// state they hand in private to this call.

// EVT 2.0: at most one event per complete word, whatever the words say, so
// the bound holds even if the bytes change meanwhile. Fill, then shrink.
Ref run_decoder(kn::Evt2Decoder& dec, const unsigned char* data, std::size_t n) {
    Ref out = np::empty(static_cast<npy_intp>(dec.max_events(n)));
    std::size_t got;
    {
        kit::MaybeNoGil nogil(n >= kReleaseGilBytes);
        got = dec.decode(data, n, np::events_data(out));
    }
    np::shrink(out, static_cast<npy_intp>(got));
    return out;
}

// EVT 3.0: the bound is 12 events a word, so the output is sized by an exact
// count. The count holds only for the same bytes: these must not change
// meanwhile (a bytes object); see run_decoder_live for others.
Ref run_decoder(kn::Evt3Decoder& dec, const unsigned char* data, std::size_t n) {
    const bool release = n >= kReleaseGilBytes;
    std::size_t count;
    {
        kit::MaybeNoGil nogil(release);
        count = dec.count_events(data, n);
    }
    Ref out = np::empty(static_cast<npy_intp>(count));
    {
        kit::MaybeNoGil nogil(release);
        dec.decode(data, n, np::events_data(out));
    }
    return out;
}

// EVT 3.0 from bytes that someone else may write while they are decoded (a
// bytearray, a shared mapping, ...): the count from the live bytes sizes the
// output; then each block is copied aside, counted exactly and decoded from
// the copy, so the output is never overrun. Bytes that changed to more
// events than counted raise RuntimeError (the state is then not kept).
Ref run_decoder_live(kn::Evt3Decoder& dec, const unsigned char* data, std::size_t n) {
    constexpr std::size_t kBlock = 1 << 15;
    const bool release = n >= kReleaseGilBytes;
    std::size_t count;
    {
        kit::MaybeNoGil nogil(release);
        count = dec.count_events(data, n);
    }
    Ref out = np::empty(static_cast<npy_intp>(count));
    std::vector<unsigned char> block(n < kBlock ? n : kBlock);
    Event* ev = np::events_data(out);
    std::size_t k = 0;
    bool overrun = false;
    {
        kit::MaybeNoGil nogil(release);
        for (std::size_t pos = 0; pos < n;) {
            const std::size_t len = n - pos < kBlock ? n - pos : kBlock;
            std::memcpy(block.data(), data + pos, len);
            if (dec.count_events(block.data(), len) > count - k) {
                overrun = true;
                break;
            }
            k += dec.decode(block.data(), len, ev + k);
            pos += len;
        }
    }
    if (overrun) kit::raise(PyExc_RuntimeError, "the data changed while it was being decoded");
    np::shrink(out, static_cast<npy_intp>(k));
    return out;
}

// decode_evt2 / decode_evt3: a fresh decoder over one whole `bytes` object.
template <class Decoder>
PyObject* decode_whole(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        const kit::Signature<1> sig{name, {"raw_data"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* raw = kit::arg_bytes(a[0], "raw_data");
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(raw));
        if (n % Decoder::kWordBytes != 0)
            kit::raise(PyExc_ValueError, "buffer size must be a multiple of element size");
        Decoder dec;
        return run_decoder(dec, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(raw)), n).release();
    });
}

PyObject* decode_evt2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_whole<kn::Evt2Decoder>("decode_evt2", args, nargs, kwnames);
}

PyObject* decode_evt3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_whole<kn::Evt3Decoder>("decode_evt3", args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Evt2Decoder / Evt3Decoder: the kernel state in a Python object.

template <class Decoder>
struct DecoderObject {
    PyObject_HEAD
    Decoder state;
    bool busy;  // a decode() is running with the GIL released
};

template <class Decoder>
const char* type_name();
template <>
const char* type_name<kn::Evt2Decoder>() {
    return "Evt2Decoder";
}
template <>
const char* type_name<kn::Evt3Decoder>() {
    return "Evt3Decoder";
}

template <class Decoder>
DecoderObject<Decoder>* as_decoder(PyObject* self) {
    return reinterpret_cast<DecoderObject<Decoder>*>(self);
}

template <class Decoder>
void refuse_if_busy(DecoderObject<Decoder>* self) {
    if (self->busy)
        kit::raise(PyExc_RuntimeError, "%s is already decoding in another thread", type_name<Decoder>());
}

template <class Decoder>
PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return kit::guard([&]() -> PyObject* {
        static const kit::Signature<0> sig{type_name<Decoder>(), {}, 0};
        kit::parse(sig, args, kwargs);
        Ref self = kit::check(type->tp_alloc(type, 0));
        auto* d = as_decoder<Decoder>(self.get());
        new (&d->state) Decoder{};
        d->busy = false;
        return self.release();
    });
}

int decoder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// The state is copied out, advanced without the GIL and stored back, so the
// object itself is only ever touched under the GIL.
template <class Decoder>
PyObject* decoder_decode(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<1> sig{"decode", {"data"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        auto* self = as_decoder<Decoder>(self_obj);
        refuse_if_busy(self);
        kit::Buffer input(a[0]);
        const unsigned char* data = input.data();
        const std::size_t n = input.size();
        Decoder state = self->state;
        self->busy = true;
        struct Idle {
            bool& busy;
            ~Idle() { busy = false; }
        } idle{self->busy};
        // EVT 3.0 sizes its output from the words: bytes that someone else
        // may write while they are decoded are decoded from copies.
        Ref out;
        if constexpr (std::is_same_v<Decoder, kn::Evt3Decoder>)
            out = input.immutable() ? run_decoder(state, data, n) : run_decoder_live(state, data, n);
        else
            out = run_decoder(state, data, n);
        self->state = state;
        return out.release();
    });
}

template <class Decoder>
PyObject* decoder_reset(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        auto* self = as_decoder<Decoder>(self_obj);
        refuse_if_busy(self);
        self->state.reset();
        Py_RETURN_NONE;
    });
}

template <class Decoder>
PyObject* decoder_pending(PyObject* self_obj, void*) {
    return PyLong_FromSize_t(as_decoder<Decoder>(self_obj)->state.pending_bytes());
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef evt2_methods[] = {
    {"decode", FASTCALL(decoder_decode<kn::Evt2Decoder>),
     "decode($self, /, data)\n--\n\n"
     "decode(self, data: Buffer) -> np.ndarray\n\n"
     "Decode the next piece of an EVT 2.0 stream.\n\n"
     "Args:\n"
     "    data: The next bytes of the stream, of any length: bytes, bytearray,\n"
     "        memoryview or any object exporting a C-contiguous buffer.\n\n"
     "Returns:\n"
     "    EVENT_DTYPE array of the events of the words completed by ``data``, in\n"
     "    stream order. Bytes that do not complete a word are kept for the next\n"
     "    call (see ``pending_bytes``).\n\n"
     "Raises:\n"
     "    TypeError: ``data`` exports no buffer.\n"
     "    BufferError: ``data`` is not C-contiguous (NumPy arrays raise\n"
     "        ValueError).\n"
     "    RuntimeError: another thread is decoding with this decoder.\n"},
    {"reset", decoder_reset<kn::Evt2Decoder>, METH_NOARGS,
     "reset($self, /)\n--\n\n"
     "reset(self) -> None\n\n"
     "Forget all state (time high, wraps, pending bytes): the decoder is then\n"
     "like a new one, ready for another stream or a position found by seeking.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef evt3_methods[] = {
    {"decode", FASTCALL(decoder_decode<kn::Evt3Decoder>),
     "decode($self, /, data)\n--\n\n"
     "decode(self, data: Buffer) -> np.ndarray\n\n"
     "Decode the next piece of an EVT 3.0 stream.\n\n"
     "Args:\n"
     "    data: The next bytes of the stream, of any length: bytes, bytearray,\n"
     "        memoryview, mmap or any object exporting a C-contiguous buffer.\n"
     "        The output is sized from the words themselves, so anything but\n"
     "        bytes (or a memoryview of bytes) is decoded block by block from\n"
     "        private copies: a writer changing the bytes meanwhile can never\n"
     "        make the decoder overrun its output.\n\n"
     "Returns:\n"
     "    EVENT_DTYPE array of the events of the words completed by ``data``, in\n"
     "    stream order. An odd trailing byte is kept for the next call (see\n"
     "    ``pending_bytes``).\n\n"
     "Raises:\n"
     "    TypeError: ``data`` exports no buffer.\n"
     "    BufferError: ``data`` is not C-contiguous (NumPy arrays raise\n"
     "        ValueError).\n"
     "    RuntimeError: another thread is decoding with this decoder, or the\n"
     "        bytes changed while they were decoded (the state is then kept as\n"
     "        it was before the call).\n"},
    {"reset", decoder_reset<kn::Evt3Decoder>, METH_NOARGS,
     "reset($self, /)\n--\n\n"
     "reset(self) -> None\n\n"
     "Forget all state (time, wraps, y, base x, polarity, pending byte): the\n"
     "decoder is then like a new one, ready for another stream or a position\n"
     "found by seeking.\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char* const kPendingDoc =
    "pending_bytes -> int\n\n"
    "Bytes held from the last decode() that do not yet make a whole word.";

PyGetSetDef evt2_getset[] = {
    {"pending_bytes", decoder_pending<kn::Evt2Decoder>, nullptr, kPendingDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef evt3_getset[] = {
    {"pending_bytes", decoder_pending<kn::Evt3Decoder>, nullptr, kPendingDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* const kEvt2DecoderDoc =
    "Evt2Decoder()\n--\n\n"
    "Evt2Decoder()\n\n"
    "Streaming decoder of EVT 2.0 data (Prophesee, 32-bit little-endian words).\n\n"
    "Recordings are read in pieces; the decoder carries the time high word, the\n"
    "count of timestamp wraps and any incomplete trailing word from one\n"
    "decode() to the next, so decoding a stream in pieces of any sizes gives\n"
    "exactly the events of decoding it whole with decode_evt2.\n\n"
    "Word types (bits 31-28):\n"
    "    0x0 CD_OFF, 0x1 CD_ON: one event, p = type, x = bits 21-11,\n"
    "        y = bits 10-0, t = (time_high << 6) | bits 27-22.\n"
    "    0x8 EVT_TIME_HIGH: time_high = bits 27-0 (timestamp bits 33-6); 0 until\n"
    "        the first one. A time high lower than the previous one by at least\n"
    "        2**27 is a wrap of the 34-bit counter: 2**34 is added from then on.\n"
    "    Any other type (EXT_TRIGGER, OTHERS, CONTINUED, ...): no event.\n\n"
    "Example:\n"
    "    >>> dec = Evt2Decoder()\n"
    "    >>> with open(\"recording.raw\", \"rb\") as f:\n"
    "    ...     skip_header(f)\n"
    "    ...     while chunk := f.read(1 << 20):\n"
    "    ...         events = dec.decode(chunk)\n";

const char* const kEvt3DecoderDoc =
    "Evt3Decoder()\n--\n\n"
    "Evt3Decoder()\n\n"
    "Streaming decoder of EVT 3.0 data (Prophesee, 16-bit little-endian words).\n\n"
    "Recordings are read in pieces; the decoder carries y, the vector base x and\n"
    "polarity, the time words, the count of timestamp wraps and an odd trailing\n"
    "byte from one decode() to the next, so decoding a stream in pieces of any\n"
    "sizes gives exactly the events of decoding it whole with decode_evt3.\n\n"
    "Word types (bits 15-12):\n"
    "    0x0 EVT_ADDR_Y: y = bits 10-0 (bit 11, the master/slave flag, ignored).\n"
    "    0x2 EVT_ADDR_X: one event at x = bits 10-0, p = bit 11.\n"
    "    0x3 VECT_BASE_X: base x = bits 10-0, vector polarity = bit 11.\n"
    "    0x4 VECT_12: an event at base x + i for each set bit i of bits 11-0,\n"
    "        then base x += 12.\n"
    "    0x5 VECT_8: the same with bits 7-0, then base x += 8.\n"
    "    0x6 EVT_TIME_LOW, 0x8 EVT_TIME_HIGH: the low and high 12 bits of the\n"
    "        24-bit time; t = wraps * 2**24 + (time_high << 12) + time_low. A new\n"
    "        time high resets time low to 0; one lower than the previous by at\n"
    "        least 2048 is a wrap. Time is 0 until the first time words.\n"
    "    Any other type (CONTINUED_4/12, EXT_TRIGGER, OTHERS, padding): no event.\n";

// ---------------------------------------------------------------------------
// Frames and rasters

// The events as the kernels read them: contiguous EVENT_DTYPE records, or,
// for other record types, the fields read by name (in `order`, so a missing
// field raises NumPy's own error for the first one read) as contiguous
// uint64 t and int64 x, y columns, converted as astype converts them.
struct Events {
    Ref records;
    Ref t, x, y;
    std::size_t n = 0;

    kn::RecordEvents as_records() const {
        return {static_cast<const Event*>(PyArray_DATA(np::arr(records))), n};
    }
    kn::FieldEvents as_fields() const {
        return {static_cast<const std::uint64_t*>(PyArray_DATA(np::arr(t))),
                static_cast<const std::int64_t*>(PyArray_DATA(np::arr(x))),
                static_cast<const std::int64_t*>(PyArray_DATA(np::arr(y))), n};
    }
    template <class F>
    void visit(F&& f) const {
        if (records)
            f(as_records());
        else
            f(as_fields());
    }
};

bool is_event_records(PyArrayObject* a) {
    PyArray_Descr* d = PyArray_DESCR(a);
    PyArray_Descr* ed = np::event_descr();
    if (d == ed) return true;
    if (!PyDataType_HASFIELDS(d) || !PyArray_EquivTypes(d, ed)) return false;
    const int same = PyObject_RichCompareBool(PyDataType_NAMES(d), PyDataType_NAMES(ed), Py_EQ);
    if (same < 0) kit::raise();
    return same == 1;
}

Ref field_column(PyObject* events, const char* name, int type) {
    Ref key = kit::str(name);
    Ref field = kit::check(PyObject_GetItem(events, key.get()));
    return kit::check(PyArray_FROM_OTF(field.get(), type, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
}

// `fields`: the order in which the fields are read, e.g. "txy".
Events read_events(PyObject* events, const char* fields) {
    auto* a = reinterpret_cast<PyArrayObject*>(events);
    Events ev;
    if (is_event_records(a)) {
        Ref flat = PyArray_NDIM(a) == 1 ? Ref::borrow(events) : kit::check(PyArray_Ravel(a, NPY_CORDER));
        ev.records = np::as_events(flat.get());
        ev.n = static_cast<std::size_t>(np::length(ev.records));
        return ev;
    }
    for (const char* f = fields; *f; ++f) {
        switch (*f) {
            case 't': ev.t = field_column(events, "t", NPY_UINT64); break;
            case 'x': ev.x = field_column(events, "x", NPY_INT64); break;
            case 'y': ev.y = field_column(events, "y", NPY_INT64); break;
        }
    }
    ev.n = static_cast<std::size_t>(PyArray_SIZE(np::arr(ev.t)));
    if (static_cast<std::size_t>(PyArray_SIZE(np::arr(ev.x))) != ev.n ||
        static_cast<std::size_t>(PyArray_SIZE(np::arr(ev.y))) != ev.n)
        kit::raise(PyExc_ValueError, "fields t, x and y must have the same number of elements");
    return ev;
}

void check_ndarray(PyObject* events) {
    if (!PyArray_Check(events)) {
        Ref name = kit::check(PyType_GetName(Py_TYPE(events)));
        kit::raise(PyExc_TypeError, "events must be np.ndarray, got %U", name.get());
    }
}

bool large_events(const Events& ev) { return ev.n * sizeof(Event) >= kReleaseGilBytes; }

PyObject* events_to_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<4> sig{
            "events_to_frames", {"events", "sensor_size", "n_frames", "accumulate"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* events = a[0];
        PyObject* sensor_size = kit::arg_tuple(a[1], "sensor_size");
        const long long n_frames = kit::arg_int(a[2], "n_frames", 1);
        const bool accumulate = kit::arg_bool(a[3], true);

        check_ndarray(events);
        if (PyTuple_GET_SIZE(sensor_size) != 2)
            kit::raise(PyExc_ValueError, "sensor_size must be (width, height) tuple, got %S", sensor_size);
        if (n_frames < 1) kit::raise(PyExc_ValueError, "n_frames must be >= 1, got %lld", n_frames);
        const long long width = kit::arg_int(PyTuple_GET_ITEM(sensor_size, 0), "sensor_size");
        const long long height = kit::arg_int(PyTuple_GET_ITEM(sensor_size, 1), "sensor_size");
        Ref frames = np::zeros({static_cast<npy_intp>(n_frames), static_cast<npy_intp>(height),
                                static_cast<npy_intp>(width)},
                               NPY_FLOAT32);
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(events)) == 0) return frames.release();

        const Events ev = read_events(events, "txy");
        auto* out = static_cast<float*>(PyArray_DATA(np::arr(frames)));
        {
            kit::MaybeNoGil nogil(large_events(ev));
            ev.visit([&](const auto& src) {
                kn::events_to_frames(src, static_cast<std::size_t>(width), static_cast<std::size_t>(height),
                                     static_cast<std::size_t>(n_frames), accumulate, out);
            });
        }
        return frames.release();
    });
}

PyObject* events_to_raster(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<3> sig{"events_to_raster", {"events", "n_neurons", "time_bins"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* events = a[0];
        const long long n_neurons = kit::arg_int(a[1], "n_neurons");
        const long long time_bins = kit::arg_int(a[2], "time_bins", 100);

        check_ndarray(events);
        if (n_neurons < 1) kit::raise(PyExc_ValueError, "n_neurons must be >= 1, got %lld", n_neurons);
        if (time_bins < 1) kit::raise(PyExc_ValueError, "time_bins must be >= 1, got %lld", time_bins);
        Ref raster =
            np::zeros({static_cast<npy_intp>(time_bins), static_cast<npy_intp>(n_neurons)}, NPY_FLOAT32);
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(events)) == 0) return raster.release();

        const Events ev = read_events(events, "tyx");
        auto* out = static_cast<float*>(PyArray_DATA(np::arr(raster)));
        {
            kit::MaybeNoGil nogil(large_events(ev));
            ev.visit([&](const auto& src) {
                kn::events_to_raster(src, static_cast<std::size_t>(n_neurons), static_cast<std::size_t>(time_bins),
                                     out);
            });
        }
        return raster.release();
    });
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef decode_evt2_def = {
    "decode_evt2", FASTCALL(decode_evt2),
    "decode_evt2(raw_data)\n--\n\n"
    "decode_evt2(bytes raw_data: bytes) -> np.ndarray\n\n"
    "Decode EVT2 (Prophesee 32-bit) raw data to MORVEL events.\n\n"
    "Decodes EVT 2.0 as cameras write it: CD_OFF and CD_ON words give events\n"
    "with their polarity, EVT_TIME_HIGH words the upper timestamp bits (with\n"
    "wraps of the 34-bit counter unrolled), all other words no event. The same\n"
    "as a new Evt2Decoder decoding the whole buffer; see Evt2Decoder for the\n"
    "word layout.\n\n"
    "Args:\n"
    "    raw_data: The words, exactly a bytes object (the data after a RAW\n"
    "        file's header).\n\n"
    "Returns:\n"
    "    EVENT_DTYPE array of the events, in input order (empty for empty input).\n\n"
    "Raises:\n"
    "    TypeError: raw_data is not exactly bytes.\n"
    "    ValueError: the length is not a multiple of 4 (nothing is decoded).\n"};

PyMethodDef decode_evt3_def = {
    "decode_evt3", FASTCALL(decode_evt3),
    "decode_evt3(raw_data)\n--\n\n"
    "decode_evt3(bytes raw_data: bytes) -> np.ndarray\n\n"
    "Decode EVT3 (Prophesee 16-bit) raw data to MORVEL events.\n\n"
    "Decodes EVT 3.0 as cameras write it: address words set y and give single\n"
    "events, vector words give up to 12 events each from a base x, time words\n"
    "build a 24-bit timestamp whose wraps are unrolled, all other words (and\n"
    "padding) give no event. The same as a new Evt3Decoder decoding the whole\n"
    "buffer; see Evt3Decoder for the word layout.\n\n"
    "Args:\n"
    "    raw_data: The words, exactly a bytes object (the data after a RAW\n"
    "        file's header).\n\n"
    "Returns:\n"
    "    EVENT_DTYPE array of the events, in input order (empty for empty input).\n\n"
    "Raises:\n"
    "    TypeError: raw_data is not exactly bytes.\n"
    "    ValueError: the length is odd (nothing is decoded).\n"};

PyMethodDef frames_def = {
    "events_to_frames", FASTCALL(events_to_frames),
    "events_to_frames(events, sensor_size, n_frames=1, accumulate=True)\n--\n\n"
    "events_to_frames(events: np.ndarray, sensor_size: Tuple[int, int], n_frames: int = 1, "
    "accumulate: bool = True) -> np.ndarray\n\n"
    "Convert events to dense frame representation.\n\n"
    "The span of the timestamps is cut into n_frames equal bins: an event goes\n"
    "to frame ``(t - t_min) * n_frames // max(t_max - t_min, 1)`` (exact integer\n"
    "arithmetic; the last event falls into the last frame, and with all\n"
    "timestamps equal every event is in frame 0). Each event inside the sensor\n"
    "adds 1.0 at [frame, y, x]; events with x >= width or y >= height are\n"
    "dropped.\n\n"
    "Args:\n"
    "    events: Event array. EVENT_DTYPE records are read in place; other\n"
    "        structured arrays by field name (t, x, y), as astype converts them.\n"
    "    sensor_size: (width, height), exactly a tuple.\n"
    "    n_frames: Number of time bins (>= 1).\n"
    "    accumulate: True: event counts; False: 1.0 where at least one event fell.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_frames, height, width); all zero for no events.\n\n"
    "Raises:\n"
    "    TypeError: events is not an np.ndarray.\n"
    "    ValueError: sensor_size not of 2 items, n_frames < 1.\n"};

PyMethodDef raster_def = {
    "events_to_raster", FASTCALL(events_to_raster),
    "events_to_raster(events, n_neurons, time_bins=100)\n--\n\n"
    "events_to_raster(events: np.ndarray, n_neurons: int, time_bins: int = 100) -> np.ndarray\n\n"
    "Convert events to spike raster (neuron x time).\n\n"
    "Signature as morvel.viz.events_to_raster, for cross-package compatibility.\n"
    "Time bins as events_to_frames with time_bins bins. Neuron of an event:\n"
    "``(x * height + y) % n_neurons`` with height = max(y) + 1, inferred from\n"
    "the events, not from a sensor size.\n\n"
    "Args:\n"
    "    events: Event array (EVENT_DTYPE, or any structured array with fields\n"
    "        t, x, y, read by name).\n"
    "    n_neurons: Number of neurons (>= 1).\n"
    "    time_bins: Number of time bins (>= 1).\n\n"
    "Returns:\n"
    "    float32 array of shape (time_bins, n_neurons) holding only 0.0 and 1.0.\n\n"
    "Raises:\n"
    "    TypeError: events is not an np.ndarray.\n"
    "    ValueError: n_neurons < 1, time_bins < 1.\n"};

// ---------------------------------------------------------------------------
// RAW recordings: an ASCII header, then EVT 2.0 or EVT 3.0 words.

enum class Fmt { evt2, evt3 };

const char* fmt_name(Fmt f) { return f == Fmt::evt2 ? "EVT2" : "EVT3"; }

// The format named by a `format=` argument: "EVT2"/"EVT3" in any case, or
// the version numbers of the older `evt` key.
Fmt fmt_from_argument(PyObject* arg, const char* param) {
    PyObject* s = kit::arg_str(arg, param);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s, &len);
    if (!text) kit::raise();
    const std::string_view v(text, static_cast<std::size_t>(len));
    kn::RawFormat f = kn::raw_format_from_name(v);
    if (f == kn::RawFormat::unknown) f = kn::raw_format_from_evt_version(v);
    if (f == kn::RawFormat::unknown) kit::raise(PyExc_ValueError, "%s must be 'EVT2' or 'EVT3', got %R", param, arg);
    return f == kn::RawFormat::evt2 ? Fmt::evt2 : Fmt::evt3;
}

Ref text_of(std::string_view v) {
    return kit::check(PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace"));
}

// What the header of a RAW file says.
struct RawMeta {
    Ref header;       // dict of the "% key value" lines, in file order (the last of a repeated key wins)
    Ref sensor_size;  // (width, height) or None
    long long data_offset = 0;
    kn::RawHeaderInfo info;
    Ref format_text;  // the header's own format text, for messages (or None)
};

RawMeta read_raw_header(kit::File& file) {
    std::vector<unsigned char> head;
    std::size_t want = 1 << 16;
    std::vector<kn::RawHeaderEntry> entries(64);
    kn::RawHeader h{};
    for (;;) {
        const std::size_t have = head.size();
        head.resize(want);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(head.data()) + have, want - have);
        head.resize(have + got);
        const bool eof = head.size() < want;
        h = kn::parse_raw_header(head.data(), head.size(), eof, entries.data(), entries.size());
        if (h.status == kn::RawHeaderStatus::ok && h.n_entries > entries.size()) {
            entries.resize(h.n_entries);
            h = kn::parse_raw_header(head.data(), head.size(), eof, entries.data(), entries.size());
        }
        if (h.status != kn::RawHeaderStatus::need_more) break;
        want = std::min(want * 4, kn::kRawHeaderMaxBytes + 2);
    }
    if (h.status == kn::RawHeaderStatus::too_large)
        kit::raise(PyExc_ValueError, "RAW header longer than %zd bytes", static_cast<Py_ssize_t>(kn::kRawHeaderMaxBytes));
    RawMeta meta;
    meta.header = kit::check(PyDict_New());
    for (std::size_t i = 0; i < h.n_entries; ++i) {
        Ref key = text_of(kn::raw_entry_key(head.data(), entries[i]));
        Ref value = text_of(kn::raw_entry_value(head.data(), entries[i]));
        kit::check(PyDict_SetItem(meta.header.get(), key.get(), value.get()));
    }
    meta.info = kn::describe_raw_header(head.data(), entries.data(), h.n_entries);
    meta.format_text = meta.info.format_source == kn::RawFormatSource::none ? Ref::borrow(Py_None)
                                                                            : text_of(meta.info.format_text);
    meta.sensor_size = meta.info.size_source == kn::RawSizeSource::none
                           ? Ref::borrow(Py_None)
                           : kit::check(Py_BuildValue("(II)", meta.info.width, meta.info.height));
    meta.data_offset = static_cast<long long>(h.data_offset);
    return meta;
}

struct RawReaderObject {
    PyObject_HEAD
    PyObject* path;         // str
    PyObject* header;       // dict
    PyObject* sensor_size;  // tuple or None
    Py_ssize_t chunk_size;
    long long data_offset;
    Fmt format;
};

const char* const kRawReaderDoc =
    "RawReader(path, chunk_size=100000, format=None)\n--\n\n"
    "RawReader(path: Union[str, os.PathLike], chunk_size: int = 100000, format: Optional[str] = None)\n\n"
    "Reader for RAW camera recordings (an ASCII header, then EVT 2.0 or EVT 3.0\n"
    "words), without the vendor SDK.\n\n"
    "The header is read at construction: ``header`` holds its ``% key value``\n"
    "lines as a dict, ``format`` is \"EVT2\" or \"EVT3\" (the ``format`` argument\n"
    "overrides the header's ``format`` / ``evt`` lines), ``sensor_size`` is\n"
    "(width, height) from the ``format`` options or the ``geometry`` line, or\n"
    "None. Iteration yields EVENT_DTYPE chunks of exactly ``chunk_size`` events\n"
    "but the last, decoding the file in bounded pieces (memory does not grow\n"
    "with the file); each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    FileNotFoundError (and other OSError): the file cannot be opened.\n"
    "    ValueError: chunk_size below 1; no or an unsupported event format;\n"
    "        a header longer than 1 MiB. Iteration raises ValueError after the\n"
    "        last whole event when the file ends inside a word, and OSError\n"
    "        when the file shrinks while it is read.\n\n"
    "Example:\n"
    "    >>> reader = RawReader(\"recording.raw\")\n"
    "    >>> reader.format, reader.sensor_size\n"
    "    ('EVT3', (1280, 720))\n"
    "    >>> for chunk in reader:\n"
    "    ...     frames = events_to_frames(chunk, reader.sensor_size)\n";

RawReaderObject* as_raw_reader(PyObject* self) {
    auto* r = reinterpret_cast<RawReaderObject*>(self);
    if (!r->path) kit::raise(PyExc_RuntimeError, "RawReader.__init__() was not called");
    return r;
}

Py_ssize_t checked_chunk_size(PyObject* arg, long long dflt) {
    const long long c = arg ? kit::arg_int(arg, "chunk_size") : dflt;
    if (c < 1) kit::raise(PyExc_ValueError, "chunk_size must be >= 1, got %lld", c);
    return static_cast<Py_ssize_t>(std::min<long long>(c, PY_SSIZE_T_MAX / 16));
}

// A path argument: str or os.PathLike, kept as str.
Ref path_text(PyObject* arg) {
    Ref p = kit::check(PyOS_FSPath(arg));
    if (PyBytes_Check(p.get())) return kit::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(p.get()),
                                                                                   PyBytes_GET_SIZE(p.get())));
    return p;
}

int raw_reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            static const kit::Signature<3> sig{"__init__", {"path", "chunk_size", "format"}, 1};
            auto a = kit::parse(sig, args, kwargs);
            Ref path = path_text(a[0]);
            const Py_ssize_t chunk = checked_chunk_size(a[1], 100000);
            const bool forced = a[2] && a[2] != Py_None;
            Fmt fmt = forced ? fmt_from_argument(a[2], "format") : Fmt::evt3;
            kit::File file(path.get());
            RawMeta meta = read_raw_header(file);
            if (!forced) {
                switch (meta.info.format) {
                    case kn::RawFormat::evt2: fmt = Fmt::evt2; break;
                    case kn::RawFormat::evt3: fmt = Fmt::evt3; break;
                    case kn::RawFormat::unknown:
                        if (meta.info.format_source == kn::RawFormatSource::none)
                            kit::raise(PyExc_ValueError,
                                       "%S: the header names no event format (no 'format' or 'evt' line); "
                                       "pass format='EVT2' or format='EVT3'",
                                       path.get());
                        kit::raise(PyExc_ValueError,
                                   "%S: unsupported event format %R in the header's '%s' line; "
                                   "pass format='EVT2' or format='EVT3' to read it as one of those",
                                   path.get(), meta.format_text.get(),
                                   meta.info.format_source == kn::RawFormatSource::format ? "format" : "evt");
                }
            }
            auto* self = reinterpret_cast<RawReaderObject*>(self_obj);
            Py_XSETREF(self->path, path.release());
            Py_XSETREF(self->header, meta.header.release());
            Py_XSETREF(self->sensor_size, meta.sensor_size.release());
            self->chunk_size = chunk;
            self->data_offset = meta.data_offset;
            self->format = fmt;
            return 0;
        },
        -1);
}

constexpr auto raw_reader_traverse =
    kit::gc_traverse<RawReaderObject, &RawReaderObject::path, &RawReaderObject::header, &RawReaderObject::sensor_size>;
constexpr auto raw_reader_clear =
    kit::gc_clear<RawReaderObject, &RawReaderObject::path, &RawReaderObject::header, &RawReaderObject::sensor_size>;

// Bytes read per piece: bounded so that one piece decodes to a bounded
// number of events (EVT 3.0 vectors hold up to 12 events in 2 bytes).
constexpr std::size_t kRawPiece = 1 << 18;

[[noreturn]] void raise_partial_word(PyObject* path, std::size_t pending, Fmt f) {
    kit::raise(PyExc_ValueError, "%S: the file ends inside a %s word (%zd trailing bytes)", path, fmt_name(f),
               static_cast<Py_ssize_t>(pending));
}

// Decodes the event data of a RAW file piece by piece. `sink(events, n)` gets
// the events of each piece (scratch memory, valid during the call).
template <class Decoder, class Sink>
void decode_raw_file(kit::File& file, PyObject* path, Fmt fmt, long long data_offset, Sink&& sink) {
    file.seek(data_offset);
    long long largest = file.size();
    std::vector<unsigned char> piece(kRawPiece);
    std::vector<Event> events;
    Decoder dec;
    for (;;) {
        file.check_not_truncated(largest);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(piece.data()), piece.size());
        if (got == 0) break;
        std::size_t n;
        {
            kit::NoGil nogil;
            events.resize(dec.count_events(piece.data(), got));
            n = dec.decode(piece.data(), got, events.data());
        }
        sink(static_cast<const Event*>(events.data()), n);
    }
    if (dec.pending_bytes()) raise_partial_word(path, dec.pending_bytes(), fmt);
}

// The generator: chunks of exactly chunk_size events but the last.
template <class Decoder>
kit::Generator raw_chunks_of(PyObject* self_obj) {
    auto* self = reinterpret_cast<RawReaderObject*>(self_obj);
    const auto chunk = static_cast<std::size_t>(self->chunk_size);
    kit::File file(self->path);
    file.seek(self->data_offset);
    long long largest = file.size();
    std::vector<unsigned char> piece(kRawPiece);
    std::vector<Event> scratch;
    Decoder dec;
    Ref current;       // the chunk being filled
    std::size_t fill = 0;
    for (bool eof = false; !eof;) {
        file.check_not_truncated(largest);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(piece.data()), piece.size());
        eof = got == 0;
        std::size_t n = 0;
        if (!eof) {
            if (!current) {
                current = np::empty(static_cast<npy_intp>(chunk));
                fill = 0;
            }
            kit::NoGil nogil;
            const std::size_t count = dec.count_events(piece.data(), got);
            if (count <= chunk - fill) {  // the usual case: straight into the chunk
                fill += dec.decode(piece.data(), got, np::events_data(current) + fill);
            } else {
                scratch.resize(count);
                n = dec.decode(piece.data(), got, scratch.data());
            }
        }
        if (current && fill == chunk) {
            Ref full = std::move(current);
            co_yield std::move(full);
        }
        std::size_t used = 0;
        while (used < n) {
            if (!current) {
                current = np::empty(static_cast<npy_intp>(chunk));
                fill = 0;
            }
            const std::size_t take = std::min(n - used, chunk - fill);
            std::memcpy(np::events_data(current) + fill, scratch.data() + used, take * sizeof(Event));
            fill += take;
            used += take;
            if (fill == chunk) {
                Ref full = std::move(current);
                co_yield std::move(full);
            }
        }
    }
    if (current && fill) {
        np::shrink(current, static_cast<npy_intp>(fill));
        Ref last = std::move(current);
        co_yield std::move(last);
    }
    if (dec.pending_bytes()) raise_partial_word(self->path, dec.pending_bytes(), self->format);
}

PyObject* raw_reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        RawReaderObject* self = as_raw_reader(self_obj);
        kit::Generator gen = self->format == Fmt::evt2 ? raw_chunks_of<kn::Evt2Decoder>(self_obj)
                                                       : raw_chunks_of<kn::Evt3Decoder>(self_obj);
        return kit::make_generator(std::move(gen), "RawReader.__iter__", self_obj).release();
    });
}

// Events in the file, counted without decoding them (pieces start on word
// boundaries, so each is counted on its own).
template <class Decoder>
std::size_t count_raw_events(kit::File& file, long long data_offset) {
    static_assert(kRawPiece % Decoder::kWordBytes == 0);
    file.seek(data_offset);
    long long largest = file.size();
    std::vector<unsigned char> piece(kRawPiece);
    const Decoder counter;
    std::size_t total = 0;
    for (;;) {
        file.check_not_truncated(largest);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(piece.data()), piece.size());
        if (got == 0) break;
        kit::NoGil nogil;
        total += counter.count_events(piece.data(), got);
    }
    return total;
}

template <class Decoder>
Ref read_all_of(RawReaderObject* self) {
    kit::File file(self->path);
    // An exact count first (a fast pass), then one allocation and the decode.
    const std::size_t total = count_raw_events<Decoder>(file, self->data_offset);
    Ref out = np::empty(static_cast<npy_intp>(total));
    std::size_t k = 0;
    decode_raw_file<Decoder>(file, self->path, self->format, self->data_offset, [&](const Event* ev, std::size_t n) {
        if (n > total - k) kit::raise(PyExc_OSError, "%S: the file changed while it was read", self->path);
        std::memcpy(np::events_data(out) + k, ev, n * sizeof(Event));
        k += n;
    });
    np::shrink(out, static_cast<npy_intp>(k));
    return out;
}

PyObject* raw_reader_read_all(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        RawReaderObject* self = as_raw_reader(self_obj);
        return (self->format == Fmt::evt2 ? read_all_of<kn::Evt2Decoder>(self) : read_all_of<kn::Evt3Decoder>(self))
            .release();
    });
}

PyObject* raw_reader_count(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        RawReaderObject* self = as_raw_reader(self_obj);
        kit::File file(self->path);
        const std::size_t n = self->format == Fmt::evt2 ? count_raw_events<kn::Evt2Decoder>(file, self->data_offset)
                                                        : count_raw_events<kn::Evt3Decoder>(file, self->data_offset);
        return kit::check(PyLong_FromSize_t(n)).release();
    });
}

PyObject* raw_reader_get_format(PyObject* self_obj, void*) {
    return kit::guard([&] { return kit::str(fmt_name(as_raw_reader(self_obj)->format)).release(); });
}

PyObject* raw_reader_get_chunk_size(PyObject* self_obj, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<RawReaderObject*>(self_obj)->chunk_size);
}

PyMethodDef raw_reader_methods[] = {
    {"read_all", raw_reader_read_all, METH_NOARGS,
     "read_all($self, /)\n--\n\n"
     "read_all(self) -> np.ndarray\n\n"
     "Read every event of the file into one array (the whole recording in\n"
     "memory: iterate for large files).\n"},
    {"count_events", raw_reader_count, METH_NOARGS,
     "count_events($self, /)\n--\n\n"
     "count_events(self) -> int\n\n"
     "Number of events in the file, counted from the words without decoding\n"
     "them (a fast pass; memory does not grow with the file).\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef raw_reader_members[] = {
    {"path", Py_T_OBJECT_EX, offsetof(RawReaderObject, path), Py_READONLY, "Path of the file."},
    {"header", Py_T_OBJECT_EX, offsetof(RawReaderObject, header), Py_READONLY,
     "The header's '% key value' lines as a dict."},
    {"sensor_size", Py_T_OBJECT_EX, offsetof(RawReaderObject, sensor_size), Py_READONLY,
     "(width, height) from the header, or None."},
    {"data_offset", Py_T_LONGLONG, offsetof(RawReaderObject, data_offset), Py_READONLY,
     "Byte offset of the first event word."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef raw_reader_getset[] = {
    {"format", raw_reader_get_format, nullptr, "\"EVT2\" or \"EVT3\".", nullptr},
    {"chunk_size", raw_reader_get_chunk_size, nullptr, "Events per chunk.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Writing RAW: encode_evt2 / encode_evt3, RawWriter, write_raw.

// The events as contiguous records ready for the encoders. Records of the
// event type are used as they are (the encoder checks them); other record
// types are read by field name and checked here first, so that no value is
// wrapped into range by a cast.
Ref records_for_encoding(PyObject* events) {
    check_ndarray(events);
    auto* a = reinterpret_cast<PyArrayObject*>(events);
    if (is_event_records(a)) {
        Ref flat = PyArray_NDIM(a) == 1 ? Ref::borrow(events) : kit::check(PyArray_Ravel(a, NPY_CORDER));
        return np::as_events(flat.get());
    }
    Ref cols[4];
    const char* names[4] = {"t", "x", "y", "p"};
    for (int k = 0; k < 4; ++k) cols[k] = field_column(events, names[k], NPY_INT64);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(np::arr(cols[0])));
    for (int k = 1; k < 4; ++k)
        if (static_cast<std::size_t>(PyArray_SIZE(np::arr(cols[k]))) != n)
            kit::raise(PyExc_ValueError, "fields t, x, y and p must have the same number of elements");
    auto col = [&](int k) { return static_cast<const std::int64_t*>(PyArray_DATA(np::arr(cols[k]))); };
    const std::int64_t *t = col(0), *x = col(1), *y = col(2), *p = col(3);
    for (std::size_t i = 0; i < n; ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        if (t[i] < 0) kit::raise(PyExc_ValueError, "cannot encode event %zd: t must not be negative", at);
        if (x[i] < 0 || x[i] > kn::kEvtMaxCoordinate)
            kit::raise(PyExc_ValueError, "cannot encode event %zd: x must be in [0, 2048)", at);
        if (y[i] < 0 || y[i] > kn::kEvtMaxCoordinate)
            kit::raise(PyExc_ValueError, "cannot encode event %zd: y must be in [0, 2048)", at);
        if (p[i] != 0 && p[i] != 1) kit::raise(PyExc_ValueError, "cannot encode event %zd: p must be 0 or 1", at);
    }
    Ref out = np::empty(static_cast<npy_intp>(n));
    Event* ev = np::events_data(out);
    for (std::size_t i = 0; i < n; ++i)
        ev[i] = Event{static_cast<std::uint64_t>(t[i]), static_cast<std::uint16_t>(x[i]),
                      static_cast<std::uint16_t>(y[i]), static_cast<std::uint8_t>(p[i])};
    return out;
}

// Encoded bytes of `records`, continuing from the encoder's state. Errors
// name the first event that cannot be encoded (counted from first_index).
template <class Encoder>
Ref encode_records(Encoder& enc, const Ref& records, long long first_index = 0) {
    const Event* ev = np::events_data(records);
    const auto n = static_cast<std::size_t>(np::length(records));
    const bool release = n * sizeof(Event) >= kReleaseGilBytes;
    kn::EvtEncodeResult r;
    {
        kit::MaybeNoGil nogil(release);
        r = enc.encoded_size(ev, n);
    }
    if (r.error != kn::EvtEncodeError::none) {
        const Event& e = ev[r.index];
        kit::raise(PyExc_ValueError, "cannot encode event %lld (t=%llu, x=%u, y=%u, p=%u): %s",
                   first_index + static_cast<long long>(r.index), static_cast<unsigned long long>(e.t),
                   unsigned{e.x}, unsigned{e.y}, unsigned{e.p}, kn::evt_encode_error_message(r.error));
    }
    Ref out = kit::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(r.bytes)));
    {
        kit::MaybeNoGil nogil(release);
        r = enc.encode(ev, n, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get())), r.bytes);
    }
    if (r.error != kn::EvtEncodeError::none)  // cannot happen after a successful size pass
        kit::raise(PyExc_RuntimeError, "encoding failed: %s", kn::evt_encode_error_message(r.error));
    return out;
}

template <class Encoder>
PyObject* encode_whole(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        const kit::Signature<1> sig{name, {"events"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        Ref records = records_for_encoding(a[0]);
        Encoder enc;
        return encode_records(enc, records).release();
    });
}

PyObject* encode_evt2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_whole<kn::Evt2Encoder>("encode_evt2", args, nargs, kwnames);
}

PyObject* encode_evt3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_whole<kn::Evt3Encoder>("encode_evt3", args, nargs, kwnames);
}

// The header a writer puts before the words.
std::string raw_header_text(Fmt fmt, std::uint32_t width, std::uint32_t height) {
    std::string h = std::string("% evt ") + (fmt == Fmt::evt2 ? "2.0" : "3.0") + "\n% format " + fmt_name(fmt);
    if (width) {
        h += ";height=" + std::to_string(height) + ";width=" + std::to_string(width) + "\n% geometry " +
             std::to_string(width) + "x" + std::to_string(height);
    }
    return h + "\n% end\n";
}

// sensor_size for writing: None, or a tuple of two ints in 1..2048 (the
// coordinates the formats carry); width 0 stands for None.
Ref checked_sensor_size(PyObject* arg, std::uint32_t& width, std::uint32_t& height) {
    width = height = 0;
    if (!arg || arg == Py_None) return Ref::borrow(Py_None);
    kit::arg_tuple(arg, "sensor_size");
    if (PyTuple_GET_SIZE(arg) != 2)
        kit::raise(PyExc_ValueError, "sensor_size must be (width, height) tuple, got %R", arg);
    const long long w = kit::arg_int(PyTuple_GET_ITEM(arg, 0), "sensor_size");
    const long long h = kit::arg_int(PyTuple_GET_ITEM(arg, 1), "sensor_size");
    if (w < 1 || w > 2048 || h < 1 || h > 2048)
        kit::raise(PyExc_ValueError, "sensor_size must be within 1..2048 on both sides, got %R", arg);
    width = static_cast<std::uint32_t>(w);
    height = static_cast<std::uint32_t>(h);
    return kit::check(Py_BuildValue("(LL)", w, h));
}

void check_inside_sensor(const Ref& records, std::uint32_t width, std::uint32_t height, long long first_index) {
    if (!width) return;
    const Event* ev = np::events_data(records);
    const auto n = static_cast<std::size_t>(np::length(records));
    for (std::size_t i = 0; i < n; ++i)
        if (ev[i].x >= width || ev[i].y >= height)
            kit::raise(PyExc_ValueError, "cannot encode event %lld (x=%u, y=%u): outside the %ux%u sensor",
                       first_index + static_cast<long long>(i), unsigned{ev[i].x}, unsigned{ev[i].y}, width,
                       height);
}

// Header and encoded events for one write, from copies of the encoder state
// (a failed write leaves the state as it was).
struct RawWriterState {
    kn::Evt2Encoder evt2;
    kn::Evt3Encoder evt3;
    Fmt format = Fmt::evt3;
    std::uint32_t width = 0, height = 0;
    long long n_events = 0;

    Ref encode(const Ref& records) {
        check_inside_sensor(records, width, height, n_events);
        Ref data;
        if (format == Fmt::evt2) {
            kn::Evt2Encoder enc = evt2;
            data = encode_records(enc, records, n_events);
            evt2 = enc;
        } else {
            kn::Evt3Encoder enc = evt3;
            data = encode_records(enc, records, n_events);
            evt3 = enc;
        }
        n_events += static_cast<long long>(np::length(records));
        return data;
    }
};

struct RawWriterObject {
    PyObject_HEAD
    PyObject* path;
    PyObject* sensor_size;
    kit::File* file;  // null once closed
    RawWriterState* state;
};

const char* const kRawWriterDoc =
    "RawWriter(path, format='EVT3', sensor_size=None)\n--\n\n"
    "RawWriter(path: Union[str, os.PathLike], format: str = 'EVT3', "
    "sensor_size: Optional[Tuple[int, int]] = None)\n\n"
    "Streaming writer of RAW recordings: the header at creation, then the\n"
    "events of every write() encoded as EVT 2.0 or EVT 3.0 words.\n\n"
    "The header holds ``% evt``, ``% format NAME;height=H;width=W`` and\n"
    "``% geometry WxH`` (the sizes only with a sensor_size) and ``% end``.\n"
    "Events must have non-decreasing t across all writes, coordinates below\n"
    "2048 (and inside sensor_size when given) and p of 0 or 1; write() checks\n"
    "a whole array before it writes a byte of it and raises ValueError naming\n"
    "the first event that cannot be encoded. A context manager; close() is\n"
    "idempotent and write() after it raises ValueError.\n";

RawWriterObject* open_raw_writer(PyObject* self_obj) {
    auto* w = reinterpret_cast<RawWriterObject*>(self_obj);
    if (!w->state) kit::raise(PyExc_RuntimeError, "RawWriter.__init__() was not called");
    if (!w->file) kit::raise(PyExc_ValueError, "I/O operation on closed RawWriter");
    return w;
}

int raw_writer_clear(PyObject* self_obj);

int raw_writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            static const kit::Signature<3> sig{"__init__", {"path", "format", "sensor_size"}, 1};
            auto a = kit::parse(sig, args, kwargs);
            Ref path = path_text(a[0]);
            auto state = std::make_unique<RawWriterState>();
            state->format = a[1] ? fmt_from_argument(a[1], "format") : Fmt::evt3;
            Ref size = checked_sensor_size(a[2], state->width, state->height);
            auto file = std::make_unique<kit::File>(path.get(), kit::File::Write);
            const std::string head = raw_header_text(state->format, state->width, state->height);
            file->write_all(head.data(), head.size());
            raw_writer_clear(self_obj);  // a second __init__ starts over
            auto* self = reinterpret_cast<RawWriterObject*>(self_obj);
            self->path = path.release();
            self->sensor_size = size.release();
            self->file = file.release();
            self->state = state.release();
            return 0;
        },
        -1);
}

PyObject* raw_writer_write(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<1> sig{"write", {"events"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        RawWriterObject* self = open_raw_writer(self_obj);
        Ref records = records_for_encoding(a[0]);
        RawWriterState next = *self->state;
        Ref data = next.encode(records);
        self->file->write_all(PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
        *self->state = next;
        Py_RETURN_NONE;
    });
}

void raw_writer_close_file(RawWriterObject* self) {
    if (!self->file) return;
    std::unique_ptr<kit::File> file(self->file);
    self->file = nullptr;
    file->close_checked();
}

PyObject* raw_writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        raw_writer_close_file(reinterpret_cast<RawWriterObject*>(self_obj));
        Py_RETURN_NONE;
    });
}

PyObject* raw_writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        open_raw_writer(self_obj);
        return Py_NewRef(self_obj);
    });
}

PyObject* raw_writer_exit(PyObject* self_obj, PyObject* const*, Py_ssize_t) {
    return kit::guard([&] {
        raw_writer_close_file(reinterpret_cast<RawWriterObject*>(self_obj));
        Py_RETURN_FALSE;
    });
}

PyObject* raw_writer_get_n_events(PyObject* self_obj, void*) {
    auto* self = reinterpret_cast<RawWriterObject*>(self_obj);
    return PyLong_FromLongLong(self->state ? self->state->n_events : 0);
}

PyObject* raw_writer_get_format(PyObject* self_obj, void*) {
    auto* self = reinterpret_cast<RawWriterObject*>(self_obj);
    return PyUnicode_FromString(fmt_name(self->state ? self->state->format : Fmt::evt3));
}

PyObject* raw_writer_get_closed(PyObject* self_obj, void*) {
    return PyBool_FromLong(reinterpret_cast<RawWriterObject*>(self_obj)->file == nullptr);
}

int raw_writer_traverse(PyObject* self_obj, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<RawWriterObject*>(self_obj);
    Py_VISIT(Py_TYPE(self_obj));
    Py_VISIT(self->sensor_size);
    return PyObject_VisitManagedDict(self_obj, visit, arg);
}

int raw_writer_clear(PyObject* self_obj) {
    auto* self = reinterpret_cast<RawWriterObject*>(self_obj);
    delete self->file;  // closes the descriptor: every write is already in the file
    self->file = nullptr;
    delete self->state;
    self->state = nullptr;
    Py_CLEAR(self->path);
    Py_CLEAR(self->sensor_size);
    PyObject_ClearManagedDict(self_obj);
    return 0;
}

PyMethodDef raw_writer_methods[] = {
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_writer_write)),
     METH_FASTCALL | METH_KEYWORDS,
     "write($self, /, events)\n--\n\n"
     "write(self, events: np.ndarray) -> None\n\n"
     "Encode and write events (EVENT_DTYPE, or any structured array with\n"
     "fields t, x, y, p). Nothing of the array is written when one of its\n"
     "events cannot be encoded (ValueError).\n"},
    {"close", raw_writer_close, METH_NOARGS,
     "close($self, /)\n--\n\nclose(self) -> None\n\nClose the file (idempotent).\n"},
    {"__enter__", raw_writer_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_writer_exit)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef raw_writer_members[] = {
    {"path", Py_T_OBJECT_EX, offsetof(RawWriterObject, path), Py_READONLY, "Path of the file."},
    {"sensor_size", Py_T_OBJECT_EX, offsetof(RawWriterObject, sensor_size), Py_READONLY,
     "(width, height) written to the header, or None."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef raw_writer_getset[] = {
    {"n_events", raw_writer_get_n_events, nullptr, "Events written so far.", nullptr},
    {"format", raw_writer_get_format, nullptr, "\"EVT2\" or \"EVT3\".", nullptr},
    {"closed", raw_writer_get_closed, nullptr, "True once closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* write_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<4> sig{"write_raw", {"path", "events", "format", "sensor_size"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        Ref path = path_text(a[0]);
        RawWriterState state;
        state.format = a[2] ? fmt_from_argument(a[2], "format") : Fmt::evt3;
        Ref size = checked_sensor_size(a[3], state.width, state.height);
        // Everything is checked and encoded before the file is touched.
        Ref data = state.encode(records_for_encoding(a[1]));
        const std::string head = raw_header_text(state.format, state.width, state.height);
        kit::File file(path.get(), kit::File::Write);
        file.write_all(head.data(), head.size());
        file.write_all(PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
        file.close_checked();
        Py_RETURN_NONE;
    });
}

#define RAW_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef encode_evt2_def = {
    "encode_evt2", RAW_FASTCALL(encode_evt2),
    "encode_evt2(events)\n--\n\n"
    "encode_evt2(events: np.ndarray) -> bytes\n\n"
    "Encode events as EVT 2.0 words (32-bit little-endian): EVT_TIME_HIGH\n"
    "words when t >> 6 changes, one CD_OFF / CD_ON word per event.\n\n"
    "Events need non-decreasing t, x and y below 2048 and p of 0 or 1;\n"
    "anything else raises ValueError naming the first such event.\n"
    "decode_evt2 of the result gives the same events.\n"};

PyMethodDef encode_evt3_def = {
    "encode_evt3", RAW_FASTCALL(encode_evt3),
    "encode_evt3(events)\n--\n\n"
    "encode_evt3(events: np.ndarray) -> bytes\n\n"
    "Encode events as EVT 3.0 words (16-bit little-endian): time high / low\n"
    "and row words when they change, and runs of events on one row with one\n"
    "time and polarity as VECT_BASE_X + VECT_12 / VECT_8 words.\n\n"
    "Events need non-decreasing t, x and y below 2048 and p of 0 or 1;\n"
    "anything else raises ValueError naming the first such event.\n"
    "decode_evt3 of the result gives the same events.\n"};

PyMethodDef write_raw_def = {
    "write_raw", RAW_FASTCALL(write_raw),
    "write_raw(path, events, format='EVT3', sensor_size=None)\n--\n\n"
    "write_raw(path: Union[str, os.PathLike], events: np.ndarray, format: str = 'EVT3', "
    "sensor_size: Optional[Tuple[int, int]] = None) -> None\n\n"
    "Write events as a RAW recording: a header with ``% evt``, ``% format\n"
    "NAME;height=H;width=W``, ``% geometry WxH`` (sizes only with a\n"
    "sensor_size) and ``% end``, then the EVT 2.0 or EVT 3.0 words.\n\n"
    "Every event is checked and encoded before a byte is written: t must not\n"
    "decrease, x and y must be below 2048 (and inside sensor_size when\n"
    "given), p 0 or 1; otherwise ValueError names the first such event and\n"
    "the file is not touched. RawReader reads back the same events.\n"};

void add_raw_api(PyObject* m) {
    kit::init_generator_type(m, "morvel.io.formats.generator");
    static PyType_Slot reader_slots[] = {
        {Py_tp_doc, const_cast<char*>(kRawReaderDoc)},
        {Py_tp_init, reinterpret_cast<void*>(raw_reader_init)},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kit::gc_dealloc<raw_reader_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(raw_reader_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(raw_reader_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(raw_reader_iter)},
        {Py_tp_methods, raw_reader_methods},
        {Py_tp_members, raw_reader_members},
        {Py_tp_getset, raw_reader_getset},
        {0, nullptr},
    };
    static PyType_Spec reader_spec = {"morvel.io.formats.RawReader", sizeof(RawReaderObject), 0,
                                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                          Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
                                      reader_slots};
    kit::add_type(m, &reader_spec);
    static PyType_Slot writer_slots[] = {
        {Py_tp_doc, const_cast<char*>(kRawWriterDoc)},
        {Py_tp_init, reinterpret_cast<void*>(raw_writer_init)},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kit::gc_dealloc<raw_writer_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(raw_writer_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(raw_writer_clear)},
        {Py_tp_methods, raw_writer_methods},
        {Py_tp_members, raw_writer_members},
        {Py_tp_getset, raw_writer_getset},
        {0, nullptr},
    };
    static PyType_Spec writer_spec = {"morvel.io.formats.RawWriter", sizeof(RawWriterObject), 0,
                                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                          Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
                                      writer_slots};
    kit::add_type(m, &writer_spec);
    kit::add_function(m, &encode_evt2_def);
    kit::add_function(m, &encode_evt3_def);
    kit::add_function(m, &write_raw_def);
}

const char* const kModuleDoc =
    "Event format conversion: camera words to events, events to dense arrays.\n\n"
    "- decode_evt2, decode_evt3: Prophesee EVT 2.0 / EVT 3.0 raw words (a whole\n"
    "  buffer) to EVENT_DTYPE events;\n"
    "- Evt2Decoder, Evt3Decoder: the same for a stream read in pieces, carrying\n"
    "  the decoder state and partial words from one piece to the next;\n"
    "- events_to_frames: events to a stack of per-time-bin count (or binary)\n"
    "  images of shape (n_frames, height, width);\n"
    "- events_to_raster: events to a binary time-bin x neuron spike raster;\n"
    "- RawReader, RawWriter, write_raw, encode_evt2, encode_evt3: RAW camera\n"
    "  recordings (an ASCII header, then EVT 2.0 / EVT 3.0 words) read and\n"
    "  written without the vendor SDK.\n\n"
    "All work is done in native code, in one pass over the data, with the GIL\n"
    "released on large inputs.\n";

template <class Decoder>
void add_decoder_type(PyObject* m, const char* qualified, const char* doc, PyMethodDef* methods,
                      PyGetSetDef* getset) {
    // Slots and spec live as long as the type (the module lives for the process).
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(decoder_new<Decoder>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kit::gc_dealloc<>)},
        {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified, sizeof(DecoderObject<Decoder>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_MANAGED_WEAKREF,
                               slots};
    kit::add_type(m, &spec);
}

int exec_formats(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Tuple"});
            np::import_numpy();
            kit::add(m, "np", kit::import("numpy").get());
            np::import_event_dtype();
            kit::add(m, "EVENT_DTYPE", reinterpret_cast<PyObject*>(np::event_descr()));
            kit::add_function(m, &decode_evt2_def);
            kit::add_function(m, &decode_evt3_def);
            add_decoder_type<kn::Evt2Decoder>(m, "morvel.io.formats.Evt2Decoder", kEvt2DecoderDoc, evt2_methods,
                                              evt2_getset);
            add_decoder_type<kn::Evt3Decoder>(m, "morvel.io.formats.Evt3Decoder", kEvt3DecoderDoc, evt3_methods,
                                              evt3_getset);
            kit::add_function(m, &frames_def);
            kit::add_function(m, &raster_def);
            add_raw_api(m);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(formats, "morvel.io.formats", kModuleDoc, exec_formats)
