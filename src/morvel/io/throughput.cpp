// morvel.io.throughput: measures how fast the package ingests events, turns
// them into RGB and event-count frames and encodes images to spikes, and
// renders the measurements as a fixed-layout report.

#include "kit/events.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/frames.hpp"
#include "kernels/rgb.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;

PyObject* result_class = nullptr;  // ThroughputResult
PyObject* generate_random_events = nullptr;
PyObject* event_buffer_class = nullptr;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// ---------------------------------------------------------------------------
// ThroughputResult.summary

void append_line(PyObject* lines, Ref line) { kit::check(PyList_Append(lines, line.get())); }

Ref field(PyObject* self, const char* name) { return kit::getattr(self, name); }

// label + format(value, spec) + suffix
Ref formatted(const char* label, PyObject* value, const char* spec, const char* suffix = "") {
    Ref s = kit::str(spec);
    Ref v = kit::check(PyObject_Format(value, s.get()));
    return kit::check(PyUnicode_FromFormat("%s%U%s", label, v.get(), suffix));
}

PyObject* summary(PyObject* self, PyObject*) {
    return kit::guard([&] {
        Ref lines = kit::check(PyList_New(0));
        Ref heavy = kit::check(PyUnicode_FromFormat("%s", std::string(55, '=').c_str()));
        Ref light = kit::check(PyUnicode_FromFormat("%s", std::string(55, '-').c_str()));
        append_line(lines.get(), heavy.copy());
        append_line(lines.get(), kit::str("  MORVEL I/O Throughput Report"));
        append_line(lines.get(), heavy.copy());
        append_line(lines.get(), formatted("  Events processed:    ", field(self, "total_events").get(), ","));
        append_line(lines.get(), formatted("  Wall-clock time:     ", field(self, "duration_sec").get(), ".3f", " s"));
        append_line(lines.get(), formatted("  Events/sec:          ", field(self, "events_per_sec").get(), ",.0f"));
        append_line(lines.get(), formatted("  RGB frames/sec:      ", field(self, "rgb_fps").get(), ",.1f"));
        append_line(lines.get(), formatted("  Event frames/sec:    ", field(self, "event_fps").get(), ",.1f"));
        Ref skipped = field(self, "encoding_skipped");
        Ref fps = field(self, "encoding_fps");
        if (kit::check(PyObject_IsTrue(skipped.get()))) {
            Ref reason = field(self, "encoding_skip_reason");
            const bool given = reason.get() != Py_None && kit::check(PyObject_IsTrue(reason.get()));
            Ref text = given ? kit::check(PyObject_Str(reason.get())) : kit::str("unknown reason");
            append_line(lines.get(), kit::check(PyUnicode_FromFormat("  Encoding FPS:        N/A (skipped: %U)",
                                                                     text.get())));
        } else {
            Ref zero = kit::check(PyLong_FromLong(0));
            if (kit::check(PyObject_RichCompareBool(fps.get(), zero.get(), Py_GT)))
                append_line(lines.get(), formatted("  Encoding FPS:        ", fps.get(), ",.1f"));
        }
        append_line(lines.get(), light.copy());
        Ref sensor = field(self, "sensor_size");
        Ref w = kit::check(PySequence_GetItem(sensor.get(), 0));
        Ref h = kit::check(PySequence_GetItem(sensor.get(), 1));
        append_line(lines.get(), kit::check(PyUnicode_FromFormat("  Sensor:              %S%s%S", w.get(), "x",
                                                                 h.get())));
        Ref acc = field(self, "accumulation_us");
        append_line(lines.get(), kit::check(PyUnicode_FromFormat("  Accumulation window: %S us", acc.get())));
        append_line(lines.get(), heavy.copy());
        Ref sep = kit::str("\n");
        return kit::check(PyUnicode_Join(sep.get(), lines.get())).release();
    });
}

constexpr auto kSummary = kit::method("summary", "str");

const char* const kSummaryDoc =
    "Human-readable throughput summary.\n\n"
    "A fixed-layout report: rules of 55 characters, values from column 24.\n";

// ---------------------------------------------------------------------------
// _events_to_rgb_frame

// Fills an (height, width, 3) uint8 frame from the events' x, y and p.
// `counts` is zero-filled scratch of height * width * 3, kept between calls.
Ref rgb_frame(PyObject* events, long long width, long long height, std::vector<std::uint32_t>& counts) {
    Ref frame = np::zeros({static_cast<npy_intp>(height), static_cast<npy_intp>(width), 3}, NPY_UINT8);
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(np::arr(frame)));
    auto scratch = [&] {
        const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
        if (counts.size() != size) counts.assign(size, 0);
        return counts.data();
    };
    if (PyArray_Check(events) && PyArray_NDIM(np::arr(events)) == 1 && PyArray_IS_C_CONTIGUOUS(np::arr(events)) &&
        PyArray_EquivTypes(PyArray_DESCR(np::arr(events)), np::event_descr())) {
        const auto n = static_cast<std::size_t>(PyArray_DIM(np::arr(events), 0));
        if (n == 0) return frame;
        std::uint32_t* c = scratch();
        kit::NoGil nogil;
        kn::rgb_frame(n, kn::RecordAt{static_cast<const kn::Event*>(PyArray_DATA(np::arr(events)))}, width, height,
                      c, out);
        return frame;
    }
    // Any other record type: the fields by name, as signed 64-bit columns.
    const kit::EventTable table(events, "xyp", kit::kEventFields, {NPY_UINT64, NPY_INT64, NPY_INT64, NPY_INT64});
    const std::size_t n = table.size();
    if (n == 0) return frame;
    const auto& cols = table.columns();
    const kit::Contiguous<std::int64_t> x(cols.x, n), y(cols.y, n), p(cols.p, n);
    std::uint32_t* c = scratch();
    kit::NoGil nogil;
    kn::rgb_frame(n, kn::ColumnsAt{x.data(), y.data(), p.data()}, width, height, c, out);
    return frame;
}

long long exact_int(PyObject* o, const char* name) {
    kit::arg_exact(o, &PyLong_Type, name);
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) kit::raise();
    return v;
}

constexpr auto kRgb = kit::function("_events_to_rgb_frame", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                    kit::Param{"width", "int"}, kit::Param{"height", "int"});

PyObject* events_to_rgb_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kRgb, args, nargs, kwnames);
        const long long width = exact_int(a[1], "width");
        const long long height = exact_int(a[2], "height");
        // Per-thread scratch, reused across calls (it is all zero between
        // them); very large sensors get a temporary one.
        thread_local std::vector<std::uint32_t> scratch;
        std::vector<std::uint32_t> temporary;
        const bool big = width > 0 && height > 0 &&
                         static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) > (1u << 22);
        return rgb_frame(a[0], width, height, big ? temporary : scratch).release();
    });
}

const char* const kRgbDoc =
    "Accumulate events into an 8-bit RGB frame.\n\n"
    "ON events (p=1) go to the blue channel, OFF events (p=0) to the red\n"
    "channel, counted per pixel in O(N); events outside the sensor are\n"
    "ignored. The busiest pixel-channel becomes 255 and the others scale\n"
    "linearly (truncated). Returns an array of shape (height, width, 3),\n"
    "dtype uint8 (channel 0 red, 1 green, 2 blue).\n";

// ---------------------------------------------------------------------------
// benchmark_throughput

struct Windows {
    std::vector<std::size_t> bounds;  // window i is [bounds[i], bounds[i + 1])
};

// Windows of accumulation_us from the first timestamp: boundaries t_min,
// t_min + a, ... up to (excluding) t_max + a, each placed at the first event
// at or after it.
Windows time_windows(const kn::Event* ev, std::size_t n, unsigned long long acc) {
    Windows w;
    if (n == 0) return w;
    const unsigned long long t_min = ev[0].t, t_max = ev[n - 1].t;
    const unsigned long long span = t_max - t_min;
    const unsigned long long count = span / acc + (span % acc ? 1 : 0) + 1;  // boundaries
    w.bounds.reserve(count);
    std::size_t lo = 0;
    for (unsigned long long k = 0; k < count; ++k) {
        const unsigned long long b = t_min + k * acc;
        lo = static_cast<std::size_t>(
            std::lower_bound(ev + lo, ev + n, b, [](const kn::Event& e, unsigned long long v) { return e.t < v; }) -
            ev);
        w.bounds.push_back(lo);
    }
    return w;
}

Ref window_view(const Ref& events, std::size_t start, std::size_t stop) {
    return np::records_view(events.get(), np::events_data(events) + start, static_cast<npy_intp>(stop - start));
}

constexpr auto kBenchmark = kit::function(
    "benchmark_throughput", "ThroughputResult", kit::Param{"n_events", "int", "5000000"},
    kit::Param{"sensor_size", "Tuple[int, int]", "(640, 480)"}, kit::Param{"accumulation_us", "int", "33333"},
    kit::Param{"include_encoding", "bool", "False"}, kit::Param{"chunk_size", "int", "100000"});

PyObject* benchmark_throughput(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kBenchmark, args, nargs, kwnames);
        const long long n_events = a[0] ? exact_int(a[0], "n_events") : 5000000;
        Ref default_size = kit::check(Py_BuildValue("(ii)", 640, 480));
        PyObject* sensor_size = a[1] ? kit::arg_tuple(a[1], "sensor_size") : default_size.get();
        const long long acc = a[2] ? exact_int(a[2], "accumulation_us") : 33333;
        const bool include_encoding = kit::arg_bool(a[3], false);
        const long long chunk = a[4] ? exact_int(a[4], "chunk_size") : 100000;

        const Py_ssize_t dims = PyTuple_GET_SIZE(sensor_size);
        if (dims < 2)
            kit::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", dims, dims == 1 ? "" : "s");
        if (dims > 2) kit::raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        // Sizes that would make a phase loop for ever or read out of range.
        if (n_events < 1) kit::raise(PyExc_ValueError, "n_events must be >= 1, got %lld", n_events);
        if (acc < 1) kit::raise(PyExc_ValueError, "accumulation_us must be >= 1, got %lld", acc);
        if (chunk < 1) kit::raise(PyExc_ValueError, "chunk_size must be >= 1, got %lld", chunk);

        // Data: as many microseconds as events.
        Ref n_obj = kit::from_ll(n_events);
        Ref kw = kit::check(Py_BuildValue("{sOsO}", "sensor_size", sensor_size, "duration_us", n_obj.get()));
        Ref pos = kit::check(PyTuple_Pack(1, n_obj.get()));
        Ref events = kit::check(PyObject_Call(generate_random_events, pos.get(), kw.get()));
        const long long width = kit::arg_int(PyTuple_GET_ITEM(sensor_size, 0), "sensor_size");
        const long long height = kit::arg_int(PyTuple_GET_ITEM(sensor_size, 1), "sensor_size");
        const auto n = static_cast<std::size_t>(n_events);
        const kn::Event* ev = np::events_data(events);

        // Ingestion: every chunk goes into an EventBuffer, flushed at the end.
        double t0 = now();
        {
            Ref buffer = kit::call(event_buffer_class);
            for (std::size_t offset = 0; offset < n; offset += static_cast<std::size_t>(chunk)) {
                Ref piece = window_view(events, offset, std::min(n, offset + static_cast<std::size_t>(chunk)));
                kit::call_method(buffer.get(), "append", piece.get());
            }
            Ref all = kit::call_method(buffer.get(), "flush");
        }
        const double raw_duration = now() - t0;

        const Windows windows = time_windows(ev, n, static_cast<unsigned long long>(acc));
        const std::size_t n_windows = windows.bounds.empty() ? 0 : windows.bounds.size() - 1;

        // RGB frames.
        std::vector<std::uint32_t> counts;
        long long frame_count = 0;
        const double t1 = now();
        for (std::size_t i = 0; i < n_windows; ++i) {
            Ref window = window_view(events, windows.bounds[i], windows.bounds[i + 1]);
            Ref frame = rgb_frame(window.get(), width, height, counts);
            ++frame_count;
        }
        const double rgb_duration = now() - t1;

        // Event-count frames, through the frame kernel.
        long long event_frame_count = 0;
        const double t2 = now();
        for (std::size_t i = 0; i < n_windows; ++i) {
            Ref frame = np::zeros({static_cast<npy_intp>(height), static_cast<npy_intp>(width)}, NPY_FLOAT32);
            const std::size_t lo = windows.bounds[i], hi = windows.bounds[i + 1];
            {
                kit::NoGil nogil;
                kn::events_to_frames(ev + lo, hi - lo, static_cast<std::size_t>(width),
                                     static_cast<std::size_t>(height), 1, true, 0, 0,
                                     static_cast<float*>(PyArray_DATA(np::arr(frame))));
            }
            ++event_frame_count;
        }
        const double event_duration = now() - t2;

        // Spike encoding of one sensor-sized image, when asked for.
        double encoding_fps = 0.0;
        bool encoding_skipped = false;
        Ref skip_reason = Ref::borrow(Py_None);
        if (include_encoding) {
            Ref encoding = Ref::steal_or_null(PyImport_ImportModule("morvel.io.encoding"));
            Ref rate_encode = encoding ? Ref::steal_or_null(PyObject_GetAttrString(encoding.get(), "rate_encode"))
                                       : Ref();
            if (!rate_encode) {
                if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
                    kit::raise();
                PyObject* exc = PyErr_GetRaisedException();
                Ref exc_ref = Ref::steal(exc);
                encoding_skipped = true;
                skip_reason = kit::check(PyUnicode_FromFormat("import failed: %S", exc));
            } else {
                Ref np_module = kit::import("numpy");
                Ref random = kit::getattr(np_module.get(), "random");
                Ref h_obj = kit::from_ll(height), w_obj = kit::from_ll(width);
                Ref image64 = kit::call_method(random.get(), "rand", h_obj.get(), w_obj.get());
                Ref f32 = kit::getattr(np_module.get(), "float32");
                Ref image = kit::call_method(image64.get(), "astype", f32.get());
                constexpr int trials = 100;
                Ref steps_kw = kit::check(Py_BuildValue("{si}", "n_steps", 10));
                Ref call_args = kit::check(PyTuple_Pack(1, image.get()));
                const double t3 = now();
                for (int k = 0; k < trials; ++k)
                    Ref spikes = kit::check(PyObject_Call(rate_encode.get(), call_args.get(), steps_kw.get()));
                const double encode_duration = now() - t3;
                encoding_fps = trials / std::max(encode_duration, 1e-9);
            }
        }

        auto rate = [](double count, double seconds) { return count / (1e-9 > seconds ? 1e-9 : seconds); };
        Ref result_kw = kit::check(Py_BuildValue(
            "{sdsdsdsdsOsOsLsdsOsL}", "events_per_sec", rate(static_cast<double>(n_events), raw_duration),
            "rgb_fps", rate(static_cast<double>(frame_count), rgb_duration), "event_fps",
            rate(static_cast<double>(event_frame_count), event_duration), "encoding_fps", encoding_fps,
            "encoding_skipped", encoding_skipped ? Py_True : Py_False, "encoding_skip_reason", skip_reason.get(),
            "total_events", n_events, "duration_sec", raw_duration + rgb_duration + event_duration, "sensor_size",
            sensor_size, "accumulation_us", acc));
        Ref empty = kit::check(PyTuple_New(0));
        return kit::check(PyObject_Call(result_class, empty.get(), result_kw.get())).release();
    });
}

const char* const kBenchmarkDoc =
    "Benchmark event I/O throughput.\n\n"
    "On n_events synthetic events spanning n_events microseconds, measures with\n"
    "the wall clock:\n\n"
    "- ingestion: every chunk of chunk_size events is appended to an\n"
    "  EventBuffer, which is flushed at the end, so events/sec is the rate at\n"
    "  which the package takes in events;\n"
    "- RGB frames: the events of each accumulation_us window become an 8-bit\n"
    "  RGB frame (_events_to_rgb_frame);\n"
    "- event frames: each window becomes an event-count frame through the\n"
    "  package's frame kernel;\n"
    "- with include_encoding, 100 rate encodings (10 steps) of a sensor-sized\n"
    "  image; a failing import of the encoder is reported, not raised.\n\n"
    "Rates divide by at least 1e-9 s. duration_sec is the sum of the first\n"
    "three phases.\n\n"
    "Args:\n"
    "    n_events, accumulation_us, chunk_size: exact ints (>= 1).\n"
    "    sensor_size: exact tuple (width, height).\n"
    "    include_encoding: truth value.\n\n"
    "Raises:\n"
    "    TypeError: arguments of the wrong type.\n"
    "    ValueError: a sensor_size that is not a pair; sizes below 1.\n";

const char* const kModuleDoc =
    "Throughput measurement for event I/O pipelines.\n\n"
    "Measures, on synthetic events, how fast the package ingests events, turns\n"
    "them into 8-bit RGB frames and event-count frames and, optionally,\n"
    "encodes images to spikes. All benchmarks run vectorised native kernels\n"
    "(no per-event work in Python), and results are deterministic across runs\n"
    "for the same data (timings aside).\n\n"
    "Example:\n"
    "    >>> from morvel.io.throughput import benchmark_throughput\n"
    "    >>> print(benchmark_throughput(1_000_000).summary())\n";

int exec_throughput(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Optional", "Tuple"});
            kit::add(m, "time", kit::import("time").get());
            np::add_event_names(m);
            Ref streaming = kit::import("morvel.io.streaming");
            generate_random_events = kit::getattr(streaming.get(), "generate_random_events").release();
            event_buffer_class = kit::getattr(streaming.get(), "EventBuffer").release();
            kit::add(m, "generate_random_events", generate_random_events);

            Ref typing = kit::import("typing");
            Ref optional_str = kit::check(PyObject_GetItem(kit::getattr(typing.get(), "Optional").get(),
                                                           reinterpret_cast<PyObject*>(&PyUnicode_Type)));
            Ref int_pair = kit::check(Py_BuildValue("(OO)", &PyLong_Type, &PyLong_Type));
            Ref tuple_ii = kit::check(PyObject_GetItem(kit::getattr(typing.get(), "Tuple").get(), int_pair.get()));
            PyObject* f = reinterpret_cast<PyObject*>(&PyFloat_Type);
            PyObject* i = reinterpret_cast<PyObject*>(&PyLong_Type);
            PyObject* b = reinterpret_cast<PyObject*>(&PyBool_Type);
            Ref cls = kit::make_dataclass(
                m, "ThroughputResult",
                "Throughput measurement results.\n\n"
                "Attributes:\n"
                "    events_per_sec: raw event ingestion rate.\n"
                "    rgb_fps: RGB frames per second (events binned to sensor_size with\n"
                "        accumulation_us windows).\n"
                "    event_fps: event-count frames per second (same binning).\n"
                "    encoding_fps: images encoded to spikes per second; 0.0 when not\n"
                "        benchmarked or skipped.\n"
                "    encoding_skipped: True when encoding was requested but its import failed.\n"
                "    encoding_skip_reason: why it was skipped, or None.\n"
                "    total_events: number of events processed.\n"
                "    duration_sec: wall-clock time of the three timed phases.\n"
                "    sensor_size: (width, height) used for frame conversion.\n"
                "    accumulation_us: accumulation window in microseconds.\n",
                {{"events_per_sec", f},
                 {"rgb_fps", f},
                 {"event_fps", f},
                 {"encoding_fps", f},
                 {"encoding_skipped", b},
                 {"encoding_skip_reason", optional_str.get()},
                 {"total_events", i},
                 {"duration_sec", f},
                 {"sensor_size", tuple_ii.get()},
                 {"accumulation_us", i}},
                false);
            static PyMethodDef summary_def = kit::def(kSummary, summary, kSummaryDoc);
            kit::add_method(cls.get(), &summary_def);
            kit::add(m, "ThroughputResult", cls.get());
            result_class = cls.release();
            static PyMethodDef defs[] = {
                kit::def(kRgb, events_to_rgb_frame, kRgbDoc),
                kit::def(kBenchmark, benchmark_throughput, kBenchmarkDoc),
            };
            kit::add_functions(m, defs);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(throughput, "morvel.io.throughput", kModuleDoc, exec_throughput)
