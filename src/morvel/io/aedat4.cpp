// morvel.io.aedat4: frames of 2-bit packed pixels, as an FPGA front end
// delivers them, turned into event arrays.

#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kit/split_array.hpp"
#include "kit/threads.hpp"
#include "kernels/packed_frames.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace pf = morvel::kernels;

using kit::kReleaseGilBytes;

// Event coordinates are 16-bit: pixel columns and rows beyond 65535 cannot be
// represented, so wider or taller frames are refused rather than wrapped.
constexpr long long kMaxDimension = 65536;

// Width and height as given (after int()), checked against [0, 65536].
struct Dimensions {
    Ref width_obj, height_obj;  // for messages
    std::uint32_t width = 0, height = 0;
};

long long dimension_value(PyObject* v) {
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (r == -1 && PyErr_Occurred()) kit::raise();
    if (overflow) return overflow > 0 ? kMaxDimension + 1 : -1;
    return r;
}

// `width` and `height` already converted with int().
Dimensions check_dimensions(Ref width, Ref height) {
    Dimensions d;
    d.width_obj = std::move(width);
    d.height_obj = std::move(height);
    const long long w = dimension_value(d.width_obj.get());
    const long long h = dimension_value(d.height_obj.get());
    if (w < 0 || h < 0 || w > kMaxDimension || h > kMaxDimension)
        kit::raise(PyExc_ValueError,
                   "Frame dimensions out of range: got %Sx%S; width and height must be between 0 and 65536 "
                   "(event coordinates are 16-bit).",
                   d.width_obj.get(), d.height_obj.get());
    d.width = static_cast<std::uint32_t>(w);
    d.height = static_cast<std::uint32_t>(h);
    return d;
}

// A timestamp, start frame or interval: any int, taken modulo 2^64 (what
// NumPy's int64 arithmetic and cast to uint64 give for in-range values).
std::uint64_t wrapped_u64(PyObject* o, const char* param) {
    Ref v = kit::arg_int_object(o, param);
    const unsigned long long r = PyLong_AsUnsignedLongLongMask(v.get());
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) kit::raise();
    return r;
}

// The event count is a population count per 64-bit word. The baseline x86-64
// target has no POPCNT instruction (std::popcount becomes a library call
// several times slower), so a copy of the counter built for POPCNT is chosen
// at run time where the processor has it.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__POPCNT__)
__attribute__((target("popcnt"), flatten)) std::size_t count_events_popcnt(const unsigned char* data,
                                                                          std::size_t n) {
    return pf::count_events(data, n);
}

std::size_t count_events(const unsigned char* data, std::size_t n) {
    static const bool has_popcnt = __builtin_cpu_supports("popcnt");
    return has_popcnt ? count_events_popcnt(data, n) : pf::count_events(data, n);
}
#else
std::size_t count_events(const unsigned char* data, std::size_t n) { return pf::count_events(data, n); }
#endif

// Count the events of n_frames whole frames, allocate exactly, unpack: on
// up to `threads` threads, each taking a run of whole frames (counted, then
// unpacked into its slice of the output).
Ref unpack_events(const unsigned char* data, std::size_t frame_bytes, std::size_t n_frames, std::uint32_t width,
                  std::uint64_t start_frame, std::uint64_t interval, unsigned threads = 1) {
    const std::size_t n_bytes = frame_bytes * n_frames;
    const bool release = n_bytes >= kReleaseGilBytes;
    const std::size_t runs =
        std::max<std::size_t>(1, std::min({std::size_t{threads}, n_frames, n_bytes / kit::kMinSplitBytes}));
    std::vector<std::size_t> first(runs + 1), offset(runs + 1, 0);
    for (std::size_t r = 0; r <= runs; ++r) first[r] = n_frames * r / runs;
    {
        kit::MaybeNoGil nogil(release);
        kit::parallel_for(runs, static_cast<unsigned>(runs), [&](std::size_t r) {
            offset[r + 1] = count_events(data + first[r] * frame_bytes, (first[r + 1] - first[r]) * frame_bytes);
        });
    }
    for (std::size_t r = 0; r < runs; ++r) offset[r + 1] += offset[r];
    const std::size_t count = offset[runs];
    Ref events = np::empty(static_cast<npy_intp>(count));
    if (count != 0) {
        morvel::kernels::Event* out = np::events_data(events);
        kit::MaybeNoGil nogil(release);
        kit::parallel_for(runs, static_cast<unsigned>(runs), [&](std::size_t r) {
            pf::unpack(data + first[r] * frame_bytes, frame_bytes, first[r + 1] - first[r], width,
                       start_frame + first[r], interval, out + offset[r], offset[r + 1] - offset[r]);
        });
    }
    if (release) kit::check_signals();
    return events;
}

const unsigned char* bytes_data(PyObject* b) {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
}

// ---------------------------------------------------------------------------
// unpack_frame

constexpr kit::Param kData{"data", "bytes", nullptr, "bytes"};
constexpr kit::Param kWidth{"width", "int", nullptr, "int"};
constexpr kit::Param kHeight{"height", "int", nullptr, "int"};

constexpr auto kUnpackFrame =
    kit::function("unpack_frame", "np.ndarray", kData, kWidth, kHeight, kit::Param{"timestamp", "int", nullptr, "int"});

PyObject* unpack_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kUnpackFrame, args, nargs, kwnames);
        PyObject* data = kit::arg_bytes(a[0], "data");
        Ref width = kit::arg_int_exact(a[1], "width");
        Ref height = kit::arg_int_exact(a[2], "height");
        const std::uint64_t timestamp = wrapped_u64(a[3], "timestamp");
        const Dimensions dims = check_dimensions(std::move(width), std::move(height));

        std::size_t frame_bytes = 0;
        pf::packed_frame_bytes(dims.width, dims.height, frame_bytes);  // at most 2^30: never fails
        const Py_ssize_t len = PyBytes_GET_SIZE(data);
        if (static_cast<std::size_t>(len) < frame_bytes)
            kit::raise(PyExc_ValueError,
                       "Frame data too short: expected %zu bytes for %Sx%S frame, got %zd.  Possible causes: "
                       "truncated read, wrong dimensions, or corrupt data.",
                       frame_bytes, dims.width_obj.get(), dims.height_obj.get(), len);
        return unpack_events(bytes_data(data), frame_bytes, frame_bytes ? 1 : 0, dims.width, timestamp, 1)
            .release();
    });
}

const char* const kUnpackFrameDoc =
    "Unpack a single 2-bit packed frame to events (fully vectorized NumPy).\n\n"
    "Four pixels a byte, most significant bit pair first, pixels in row-major\n"
    "order. Codes: 00 no event, 01 positive (p=1), 10 negative (p=0), 11 unused.\n\n"
    "Args:\n"
    "    data: Packed frame, exactly bytes; (width * height) // 4 bytes are read\n"
    "        and any further bytes ignored.\n"
    "    width: Frame width in pixels (0 to 65536).\n"
    "    height: Frame height in pixels (0 to 65536).\n"
    "    timestamp: Time in microseconds given to every event of the frame,\n"
    "        taken modulo 2**64 (a negative value wraps as NumPy's cast to uint64).\n\n"
    "Returns:\n"
    "    EVENT_DTYPE array in pixel order (row by row, left to right). When\n"
    "    width * height is not a multiple of 4 the last pixels have no bits and\n"
    "    give no events.\n\n"
    "Raises:\n"
    "    ValueError: data shorter than one frame (\"Frame data too short: ...\"),\n"
    "        or a width or height outside 0 to 65536.\n";

// ---------------------------------------------------------------------------
// unpack_frames

constexpr auto kUnpackFrames =
    kit::function("unpack_frames", "np.ndarray", kData, kWidth, kHeight,
                  kit::Param{"frame_interval_us", "int", "1000", "int"}, kit::Param{"start_frame", "int", "0", "int"},
                  kit::kThreads);

PyObject* unpack_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kUnpackFrames, args, nargs, kwnames);
        PyObject* data = kit::arg_bytes(a[0], "data");
        Ref width = kit::arg_int_exact(a[1], "width");
        Ref height = kit::arg_int_exact(a[2], "height");
        const std::uint64_t interval = a[3] ? wrapped_u64(a[3], "frame_interval_us") : 1000;
        const std::uint64_t start_frame = a[4] ? wrapped_u64(a[4], "start_frame") : 0;
        const unsigned threads = kit::arg_threads(a[5]);
        const Dimensions dims = check_dimensions(std::move(width), std::move(height));

        std::size_t frame_bytes = 0;
        pf::packed_frame_bytes(dims.width, dims.height, frame_bytes);
        if (frame_bytes == 0)
            kit::raise(PyExc_ValueError,
                       "Frame of %Sx%S pixels holds no whole byte (fewer than 4 pixels): data cannot be split "
                       "into frames.",
                       dims.width_obj.get(), dims.height_obj.get());
        const auto len = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
        const std::size_t n_frames = len / frame_bytes;  // a trailing partial frame is ignored
        return unpack_events(bytes_data(data), frame_bytes, n_frames, dims.width, start_frame, interval, threads)
            .release();
    });
}

const char* const kUnpackFramesDoc =
    "Unpack multiple consecutive 2-bit packed frames (fully vectorized).\n\n"
    "Frames of (width * height) // 4 bytes follow each other with no header or\n"
    "padding; a trailing partial frame is ignored, so data shorter than one\n"
    "frame gives an empty array. Event-free stretches are skipped a word at a\n"
    "time; the GIL is released on large inputs.\n\n"
    "Args:\n"
    "    data: Packed frames, exactly bytes.\n"
    "    width: Frame width in pixels (0 to 65536).\n"
    "    height: Frame height in pixels (0 to 65536); width * height must be at\n"
    "        least 4, so that a frame holds at least one byte.\n"
    "    frame_interval_us: Microseconds between frames.\n"
    "    start_frame: Number of the first frame.\n"
    KIT_THREADS_DOC
    "        Each takes a run of whole frames; the events are the same.\n\n"
    "Returns:\n"
    "    Concatenated event array from all frames, sorted by timestamp.\n"
    "    Frame f (from 0) gives t = (start_frame + f) * frame_interval_us modulo\n"
    "    2**64; events are ordered by frame, then by pixel, so t never decreases\n"
    "    when frame_interval_us >= 0 and nothing wraps.\n\n"
    "Raises:\n"
    "    ValueError: a width or height outside 0 to 65536, or width * height\n"
    "        below 4 (a frame of no bytes).\n";

// ---------------------------------------------------------------------------
// FrameConfig

PyObject* frame_size_bytes(PyObject*, PyObject* self) {
    return kit::guard([&] {
        Ref w = kit::getattr(self, "width");
        Ref h = kit::getattr(self, "height");
        Ref area = kit::check(PyNumber_Multiply(w.get(), h.get()));
        Ref four = kit::from_ll(4);
        return kit::check(PyNumber_FloorDivide(area.get(), four.get())).release();
    });
}

PyMethodDef frame_size_bytes_def = {"frame_size_bytes", frame_size_bytes, METH_O,
                                    "Bytes per frame: (width * height) // 4."};

const char* const kFrameConfigDoc =
    "FrameConfig(width: int, height: int, frame_interval_us: int = 1000)\n\n"
    "Configuration for 2-bit packed frame format.\n\n"
    "Attributes:\n"
    "    width: Frame width in pixels.\n"
    "    height: Frame height in pixels.\n"
    "    frame_interval_us: Microseconds between frames.\n"
    "    frame_size_bytes: Bytes per frame, (width * height) // 4 (read-only).\n";

// ---------------------------------------------------------------------------
// Module

const char* const kModuleDoc =
    "AEDAT4 format: unpack 2-bit packed FPGA frames to event streams.\n\n"
    "A frame holds width x height pixels, four a byte, row-major, with no header\n"
    "and no padding between frames. In byte k the bit pairs 7-6, 5-4, 3-2, 1-0 are\n"
    "pixels 4k, 4k+1, 4k+2, 4k+3. Codes: 00 no event, 01 positive event (p=1),\n"
    "10 negative event (p=0), 11 unused. A 1280 x 720 frame takes 230,400 bytes.\n";

int exec_aedat4(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add(m, "dataclass", kit::getattr(kit::import("dataclasses").get(), "dataclass").get());
            kit::add_typing_names(m, {"Optional"});
            np::add_event_names(m);

            PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
            Ref default_interval = kit::from_ll(1000);
            Ref config = kit::make_dataclass(m, "FrameConfig", kFrameConfigDoc,
                                             {{"width", int_type},
                                              {"height", int_type},
                                              {"frame_interval_us", int_type, default_interval.get()}},
                                             false);
            kit::add_property(config.get(), &frame_size_bytes_def);
            kit::add(m, "FrameConfig", config.get());

            Ref kwargs = kit::check(Py_BuildValue("{sisi}", "width", 1280, "height", 720));
            Ref no_args = kit::check(PyTuple_New(0));
            kit::add(m, "DEFAULT_CONFIG", kit::check(PyObject_Call(config.get(), no_args.get(), kwargs.get())).get());

            static PyMethodDef defs[] = {
                kit::def(kUnpackFrame, unpack_frame, kUnpackFrameDoc),
                kit::def(kUnpackFrames, unpack_frames, kUnpackFramesDoc),
            };
            kit::add_functions(m, defs);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(aedat4, "morvel.io.aedat4", kModuleDoc, exec_aedat4)
