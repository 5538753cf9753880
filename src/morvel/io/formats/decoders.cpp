// EVT 2.0 / EVT 3.0 camera words to events: decode_evt2 and decode_evt3 over
// a whole buffer, and the streaming Evt2Decoder / Evt3Decoder that carry the
// decoder state (kernels/evt.hpp) from one piece to the next.

#include "formats.hpp"

#include "kit/buffer.hpp"
#include "kit/split_array.hpp"
#include "kit/threads.hpp"
#include "kernels/evt.hpp"

#include <cstring>
#include <type_traits>
#include <vector>

namespace morvel::io::formats {
namespace {
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

// ---------------------------------------------------------------------------
// decode_evt2 / decode_evt3: a fresh decoder over one whole `bytes` object.

constexpr auto kDecodeEvt2 = kit::function("decode_evt2", "np.ndarray", kit::Param{"raw_data", "bytes", nullptr, "bytes"},
                                           kit::kThreads);
constexpr auto kDecodeEvt3 = kit::function("decode_evt3", "np.ndarray", kit::Param{"raw_data", "bytes", nullptr, "bytes"},
                                           kit::kThreads);

template <class Decoder>
PyObject* decode_whole(const kit::Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* raw = kit::arg_bytes(a[0], "raw_data");
        const unsigned threads = kit::arg_threads(a[1]);
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(raw));
        if (n % Decoder::kWordBytes != 0)
            kit::raise(PyExc_ValueError, "buffer size must be a multiple of element size");
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(raw));
        if (kit::split_cuts(n, Decoder::kWordBytes, threads).size() > 2)
            return kit::decode_parallel(Decoder{}, data, n, threads).release();
        Decoder dec;
        return run_decoder(dec, data, n).release();
    });
}

PyObject* decode_evt2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_whole<kn::Evt2Decoder>(kDecodeEvt2, args, nargs, kwnames);
}

PyObject* decode_evt3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_whole<kn::Evt3Decoder>(kDecodeEvt3, args, nargs, kwnames);
}

// What decode_evt2 and decode_evt3 share: their argument, result and errors.
#define DECODE_WHOLE_DOC(what_is_refused)                                              \
    "Args:\n"                                                                      \
    "    raw_data: The words, exactly a bytes object (the data after a RAW\n"     \
    "        file's header).\n"                                                   \
    KIT_THREADS_DOC                                                                \
    "        Large buffers are cut into pieces decoded in parallel, with the\n" \
    "        same events as one decoder over the whole buffer.\n\n"             \
    "Returns:\n"                                                                   \
    "    EVENT_DTYPE array of the events, in input order (empty for empty input).\n\n" \
    "Raises:\n"                                                                    \
    "    TypeError: raw_data is not exactly bytes.\n"                             \
    "    ValueError: " what_is_refused " (nothing is decoded).\n"

const char* const kDecodeEvt2Doc =
    "Decode EVT2 (Prophesee 32-bit) raw data to MORVEL events.\n\n"
    "Decodes EVT 2.0 as cameras write it: CD_OFF and CD_ON words give events\n"
    "with their polarity, EVT_TIME_HIGH words the upper timestamp bits (with\n"
    "wraps of the 34-bit counter unrolled), all other words no event. The same\n"
    "as a new Evt2Decoder decoding the whole buffer; see Evt2Decoder for the\n"
    "word layout.\n\n" DECODE_WHOLE_DOC("the length is not a multiple of 4");

const char* const kDecodeEvt3Doc =
    "Decode EVT3 (Prophesee 16-bit) raw data to MORVEL events.\n\n"
    "Decodes EVT 3.0 as cameras write it: address words set y and give single\n"
    "events, vector words give up to 12 events each from a base x, time words\n"
    "build a 24-bit timestamp whose wraps are unrolled, all other words (and\n"
    "padding) give no event. The same as a new Evt3Decoder decoding the whole\n"
    "buffer; see Evt3Decoder for the word layout.\n\n" DECODE_WHOLE_DOC("the length is odd");

// ---------------------------------------------------------------------------
// Evt2Decoder / Evt3Decoder: the kernel state in a Python object.

template <class Decoder>
struct DecoderFields {
    Decoder state{};
    bool busy = false;  // a decode() is running with the GIL released
};

template <class Decoder>
using DecoderType = kit::Type<DecoderFields<Decoder>>;

template <class Decoder>
constexpr const char* kBusyMessage = std::is_same_v<Decoder, kn::Evt2Decoder>
                                         ? "Evt2Decoder is already decoding in another thread"
                                         : "Evt3Decoder is already decoding in another thread";

template <class Decoder>
constexpr auto kDecoderInit = kit::function(std::is_same_v<Decoder, kn::Evt2Decoder> ? "Evt2Decoder" : "Evt3Decoder",
                                            nullptr);

template <class Decoder>
int decoder_init(PyObject*, PyObject* args, PyObject* kwargs) {
    return kit::guard([&] { kit::parse(kDecoderInit<Decoder>, args, kwargs); return 0; }, -1);
}

constexpr auto kDecode = kit::method("decode", "np.ndarray", kit::Param{"data", "Buffer"});
constexpr auto kReset = kit::method("reset", "None");

// The state is copied out, advanced without the GIL and stored back, so the
// object itself is only ever touched under the GIL.
template <class Decoder>
PyObject* decoder_decode(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDecode, args, nargs, kwnames);
        auto* self = DecoderType<Decoder>::of(self_obj);
        kit::Busy busy(self->busy, kBusyMessage<Decoder>);
        kit::Buffer input(a[0]);
        Decoder state = self->state;
        // EVT 3.0 sizes its output from the words: bytes that someone else
        // may write while they are decoded are decoded from copies.
        Ref out;
        if constexpr (std::is_same_v<Decoder, kn::Evt3Decoder>)
            out = input.immutable() ? run_decoder(state, input.data(), input.size())
                                    : run_decoder_live(state, input.data(), input.size());
        else
            out = run_decoder(state, input.data(), input.size());
        self->state = state;
        return out.release();
    });
}

template <class Decoder>
PyObject* decoder_reset(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        auto* self = DecoderType<Decoder>::of(self_obj);
        kit::Busy busy(self->busy, kBusyMessage<Decoder>);
        self->state.reset();
        return kit::none();
    });
}

template <class Decoder>
PyObject* decoder_pending(PyObject* self_obj, void*) {
    return PyLong_FromSize_t(DecoderType<Decoder>::of(self_obj)->state.pending_bytes());
}

const char* const kEvt2DecodeDoc =
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
    "    RuntimeError: another thread is decoding with this decoder.\n";

const char* const kEvt3DecodeDoc =
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
    "        it was before the call).\n";

const char* const kEvt2ResetDoc =
    "Forget all state (time high, wraps, pending bytes): the decoder is then\n"
    "like a new one, ready for another stream or a position found by seeking.\n";

const char* const kEvt3ResetDoc =
    "Forget all state (time, wraps, y, base x, polarity, pending byte): the\n"
    "decoder is then like a new one, ready for another stream or a position\n"
    "found by seeking.\n";

const char* const kPendingDoc =
    "pending_bytes -> int\n\n"
    "Bytes held from the last decode() that do not yet make a whole word.";

const char* const kEvt2DecoderDoc =
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

template <class Decoder>
void add_decoder_type(PyObject* m, const char* qualified, const char* doc, const char* decode_doc,
                      const char* reset_doc) {
    // The tables live as long as the type (the module lives for the process).
    static PyMethodDef methods[] = {
        kit::def(kDecode, decoder_decode<Decoder>, decode_doc),
        kit::def(kReset, decoder_reset<Decoder>, reset_doc),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        {"pending_bytes", decoder_pending<Decoder>, nullptr, kPendingDoc, nullptr},
        kit::kEndGetSet,
    };
    DecoderType<Decoder>::add(m, qualified,
                              {{Py_tp_doc, const_cast<char*>(kit::docstring(kDecoderInit<Decoder>, doc))},
                               {Py_tp_init, reinterpret_cast<void*>(decoder_init<Decoder>)},
                               {Py_tp_methods, methods},
                               {Py_tp_getset, getset}},
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
}

// ---------------------------------------------------------------------------
// _simd: whether the decoders take their wide (AVX-512) paths, for tests that
// compare them with the plain ones.

constexpr auto kSimd = kit::function("_simd", "bool", kit::Param{"enabled", "Optional[bool]", "None"});

PyObject* simd_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kSimd, args, nargs, kwnames);
        const bool was = a[0] && a[0] != Py_None ? kn::simd::set_avx512(kit::arg_bool(a[0], true))
                                                 : kn::simd::avx512();
        return kit::check(PyBool_FromLong(was)).release();
    });
}

const char* const kSimdDoc =
    "Whether the decoders of this module take their AVX-512 paths.\n\n"
    "With ``enabled`` True or False, turns them on (where the CPU has them)\n"
    "or off for the whole process and returns whether they were on. Both\n"
    "paths give the same events; MORVEL_SIMD=0 in the environment turns the\n"
    "wide ones off from the start.\n";

}  // namespace

void add_decoders(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kDecodeEvt2, decode_evt2, kDecodeEvt2Doc),
        kit::def(kDecodeEvt3, decode_evt3, kDecodeEvt3Doc),
        kit::def(kSimd, simd_fn, kSimdDoc),
    };
    kit::add_functions(m, defs);
    add_decoder_type<kn::Evt2Decoder>(m, "morvel.io.formats.Evt2Decoder", kEvt2DecoderDoc, kEvt2DecodeDoc,
                                      kEvt2ResetDoc);
    add_decoder_type<kn::Evt3Decoder>(m, "morvel.io.formats.Evt3Decoder", kEvt3DecoderDoc, kEvt3DecodeDoc,
                                      kEvt3ResetDoc);
}

}  // namespace morvel::io::formats
