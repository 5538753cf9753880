// morvel.io.formats: EVT 2.0 / EVT 3.0 camera words to events (whole buffers
// and streaming decoders), and events to dense frames and spike rasters.

#include "kit/buffer.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/evt.hpp"
#include "kernels/frames.hpp"

#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

// Above this many input bytes a kernel runs with the GIL released.
constexpr std::size_t kReleaseGilBytes = 1 << 20;

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

const char* const kModuleDoc =
    "Event format conversion: camera words to events, events to dense arrays.\n\n"
    "- decode_evt2, decode_evt3: Prophesee EVT 2.0 / EVT 3.0 raw words (a whole\n"
    "  buffer) to EVENT_DTYPE events;\n"
    "- Evt2Decoder, Evt3Decoder: the same for a stream read in pieces, carrying\n"
    "  the decoder state and partial words from one piece to the next;\n"
    "- events_to_frames: events to a stack of per-time-bin count (or binary)\n"
    "  images of shape (n_frames, height, width);\n"
    "- events_to_raster: events to a binary time-bin x neuron spike raster.\n\n"
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
    Ref t = kit::check(PyType_FromModuleAndSpec(m, &spec, nullptr));
    kit::add(m, type_name<Decoder>(), t.get());
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
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(formats, "morvel.io.formats", kModuleDoc, exec_formats)
