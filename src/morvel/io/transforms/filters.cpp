// Filters: crop, time_slice, refractory, denoise, hot_pixels, drop_pixels,
// polarity, downsample, flip, and the streaming Refractory and Denoise that
// keep their per-pixel state from one call to the next. Each reads its
// arguments and runs one kernel of kernels/filters.hpp over the events.

#include "transforms.hpp"

#include "kernels/filters.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace morvel::io::transforms {
namespace {

constexpr kit::Param kMask{"mask", "bool", "False", nullptr, false, true};

// The kept events (through `map`) as a new EVENT_DTYPE array, or the mask.
template <class Keep, class Map = kn::SameEvent>
Ref filtered(const kit::EventRecords& in, bool mask, Keep&& keep, Map&& map = {}) {
    if (mask) {
        npy_intp n = static_cast<npy_intp>(in.n);
        Ref m = kit::check(PyArray_SimpleNew(1, &n, NPY_BOOL));
        kit::MaybeNoGil nogil(large(in.n));
        kn::select_mask(in.data, in.n, keep, static_cast<bool*>(PyArray_DATA(np::arr(m))));
        return m;
    }
    Ref out = np::empty(static_cast<npy_intp>(in.n));
    std::size_t k;
    {
        kit::MaybeNoGil nogil(large(in.n));
        k = kn::select(in.data, in.n, keep, np::events_data(out), map);
    }
    np::shrink(out, static_cast<npy_intp>(k));
    return out;
}

// Every event inside the sensor (checked before any state changes).
void require_inside(const kit::EventRecords& in, kn::Sensor s) {
    std::size_t bad;
    {
        kit::MaybeNoGil nogil(large(in.n));
        bad = kn::first_outside(in.data, in.n, s);
    }
    if (bad != in.n) raise_outside(in, bad, s);
}

// ---------------------------------------------------------------------------

constexpr auto kCrop = kit::function("crop", "np.ndarray", kit::Param{"events", "np.ndarray"}, kit::Param{"x0", "int"},
                                     kit::Param{"y0", "int"}, kit::Param{"width", "int"}, kit::Param{"height", "int"},
                                     kit::Param{"shift", "bool", "True", nullptr, false, true}, kMask);

PyObject* crop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kCrop, args, nargs, kwnames);
        const char* names[] = {"x0", "y0", "width", "height"};
        std::uint64_t v[4];
        for (int i = 0; i < 4; ++i) v[i] = static_cast<std::uint64_t>(int_in(a[1 + i], names[i], 0, LLONG_MAX));
        const bool shift = kit::arg_bool(a[5], true), mask = kit::arg_bool(a[6], false);
        const kit::EventRecords in = kit::events_in(a[0]);
        const kn::CropWindow window{v[0], v[1], v[2], v[3]};
        if (!shift || mask) return filtered(in, mask, window).release();
        // Kept events have x0 <= x, y0 <= y < 2**16.
        return filtered(in, mask, window,
                        kn::Shift{static_cast<std::uint16_t>(std::min<std::uint64_t>(v[0], 65535)),
                                  static_cast<std::uint16_t>(std::min<std::uint64_t>(v[1], 65535))})
            .release();
    });
}

const char* const kCropDoc =
    "The events with x0 <= x < x0 + width and y0 <= y < y0 + height.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    x0, y0, width, height: The window (each >= 0).\n"
    "    shift: Give the kept events coordinates relative to (x0, y0).\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    KEPT_DOC
    "Raises:\n"
    "    TypeError: events is not an array.\n"
    "    ValueError: a negative argument (named).\n";

// ---------------------------------------------------------------------------

constexpr auto kSlice = kit::function("time_slice", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                      kit::Param{"t_start", "int"}, kit::Param{"t_end", "int"}, kMask);

// A time bound: any int; below 0 is 0, 2**64 and beyond is `beyond`.
std::uint64_t bound_arg(PyObject* o, const char* param, bool& beyond) {
    Ref v = kit::arg_int_exact(o, param);
    beyond = false;
    if (_PyLong_Sign(v.get()) < 0) return 0;
    const unsigned long long r = PyLong_AsUnsignedLongLong(v.get());
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        beyond = true;
        return UINT64_MAX;
    }
    return r;
}

bool sorted(const kit::EventRecords& in) {
    kit::MaybeNoGil nogil(large(in.n));
    return kit::t_sorted(in.data, in.n, kit::usable_cores());
}

// The t column of n events, read in tiles: whether it never decreases.
bool column_sorted(const kn::Column& t, std::size_t n) {
    kit::MaybeNoGil nogil(large(n));
    std::uint64_t tile[2048], last = 0;
    for (std::size_t i = 0; i < n; i += 2048) {
        const std::size_t m = std::min<std::size_t>(2048, n - i);
        kn::cast_column(t.from(i), m, tile);
        bool ok = i == 0 || last <= tile[0];
        for (std::size_t j = 1; j < m; ++j) ok &= tile[j - 1] <= tile[j];
        if (!ok) return false;
        last = tile[m - 1];
    }
    return true;
}

// The first row whose t (cast) is >= bound, in a sorted t column.
std::size_t column_lower_bound(const kn::Column& t, std::size_t n, std::uint64_t bound) {
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        std::uint64_t v;
        kn::cast_column(t.from(mid), 1, &v);
        if (v < bound) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

PyObject* time_slice(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kSlice, args, nargs, kwnames);
        bool start_beyond, end_beyond;
        const std::uint64_t start = bound_arg(a[1], "t_start", start_beyond);
        const std::uint64_t end = bound_arg(a[2], "t_end", end_beyond);
        const bool mask = kit::arg_bool(a[3], false);
        // [start, end) as a condition: nothing from 2**64 on; everything up to 2**64.
        auto keep = [&](const Event& e) { return !start_beyond && e.t >= start && (end_beyond || e.t < end); };
        auto range = [&](auto&& lower_bound, std::size_t n) {
            const std::size_t lo = start_beyond ? n : lower_bound(start);
            return std::pair{lo, std::max(lo, end_beyond ? n : lower_bound(end))};
        };
        kit::require_ndarray(a[0]);
        const kit::EventTable table(a[0]);
        const std::size_t n = table.size();
        if (!mask && !table.records() && column_sorted(table.columns().t, n)) {
            // Other record types: sorted times are searched in their own
            // column, and only the slice is converted.
            const auto [lo, hi] = range([&](std::uint64_t b) { return column_lower_bound(table.columns().t, n, b); }, n);
            Ref out = np::empty(static_cast<npy_intp>(hi - lo));
            kit::consumer_records(table.columns().from(lo), hi - lo, np::events_data(out));
            return out.release();
        }
        const kit::EventRecords in = kit::events_in(a[0], table);
        if (mask || !sorted(in)) return filtered(in, mask, keep).release();
        const auto [lo, hi] = range([&](std::uint64_t b) { return kn::lower_bound_t(in.data, in.n, b); }, in.n);
        return np::slice_view(in.holder, static_cast<npy_intp>(lo), static_cast<npy_intp>(hi)).release();
    });
}

const char* const kSliceDoc =
    "The events with t_start <= t < t_end.\n\n"
    "Time-sorted events are cut by binary search: for an EVENT_DTYPE array the\n"
    "result is then a view of it, as slicing gives (copy it to change it\n"
    "independently). Otherwise every event is tested, in one pass. Bounds may be\n"
    "any int: one below 0 acts as 0, one of 2**64 or more as beyond every t.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    t_start: First time kept (microseconds).\n"
    "    t_end: First time no longer kept.\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    "Returns:\n"
    "    The kept events in their order, or a bool array of len(events).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, a bound not a number.\n";

// ---------------------------------------------------------------------------
// Per-pixel state of the stateful filters, and their streaming types.

template <class Kernel>
struct PixelState {
    kn::Sensor sensor{};
    std::uint64_t param = 0;  // period_us or window_us
    std::unique_ptr<std::uint64_t[], kit::FreeDeleter> state;
    std::size_t size = 0;

    void init(kn::Sensor s, std::uint64_t p) {
        sensor = s;
        param = p;
        size = Kernel::state_size(s);
        state = kit::zeroed<std::uint64_t>(size);
    }
    void reset() noexcept { std::fill(state.get(), state.get() + size, std::uint64_t{0}); }
    Kernel kernel() const noexcept { return {sensor, param, state.get()}; }

    Ref run(PyObject* events, bool mask) {
        const kit::EventRecords in = kit::events_in(events);
        require_inside(in, sensor);
        const Kernel k = kernel();
        return filtered(in, mask, k);
    }
};

constexpr const char* param_name(bool denoise) { return denoise ? "window_us" : "period_us"; }

template <class Kernel>
std::uint64_t state_param(PyObject* o) {
    constexpr bool denoise = std::is_same_v<Kernel, kn::Denoise>;
    const std::uint64_t v = time_arg(o, param_name(denoise));
    if (denoise && v < 1) kit::raise(PyExc_ValueError, "window_us must be >= 1, got %R", o);
    return v;
}

template <class Kernel>
constexpr auto kFilterFn = kit::function(std::is_same_v<Kernel, kn::Denoise> ? "denoise" : "refractory", "np.ndarray",
                                         kit::Param{"events", "np.ndarray"},
                                         kit::Param{"sensor_size", "Tuple[int, int]"},
                                         kit::Param{param_name(std::is_same_v<Kernel, kn::Denoise>), "int"}, kMask);

template <class Kernel>
PyObject* filter_whole(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kFilterFn<Kernel>, args, nargs, kwnames);
        PixelState<Kernel> s;
        const kn::Sensor sensor = sensor_arg(a[1]);
        s.init(sensor, state_param<Kernel>(a[2]));
        return s.run(a[0], kit::arg_bool(a[3], false)).release();
    });
}

template <class Kernel>
struct StreamFields {
    PixelState<Kernel> s;
    Ref sensor_size;
    bool busy = false;
};

template <class Kernel>
using StreamType = kit::Type<StreamFields<Kernel>, &StreamFields<Kernel>::sensor_size>;

template <class Kernel>
constexpr auto kStreamInit = kit::type_init(std::is_same_v<Kernel, kn::Denoise> ? "Denoise" : "Refractory",
                                            kit::Param{"sensor_size", "Tuple[int, int]"},
                                            kit::Param{param_name(std::is_same_v<Kernel, kn::Denoise>), "int"});

constexpr auto kCall = kit::method("__call__", "np.ndarray", kit::Param{"events", "np.ndarray"}, kMask);
constexpr auto kResetSig = kit::method("reset", "None");

template <class Kernel>
constexpr const char* kBusy = std::is_same_v<Kernel, kn::Denoise> ? "Denoise is already filtering in another thread"
                                                                  : "Refractory is already filtering in another thread";

template <class Kernel>
int stream_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kStreamInit<Kernel>, args, kwargs);
            auto* self = StreamType<Kernel>::of(self_obj);
            kit::Busy busy(self->busy, kBusy<Kernel>);
            const kn::Sensor sensor = sensor_arg(a[0]);
            const std::uint64_t p = state_param<Kernel>(a[1]);
            self->s.init(sensor, p);
            self->sensor_size = kit::check(Py_BuildValue("(II)", sensor.width, sensor.height));
            return 0;
        },
        -1);
}

template <class Kernel>
Ref stream_filter(PyObject* self_obj, const kit::Args<2>& a) {
    auto* self = StreamType<Kernel>::of(self_obj);
    kit::Busy busy(self->busy, kBusy<Kernel>);
    if (!self->s.state) kit::raise(PyExc_RuntimeError, "the filter was not initialised");
    return self->s.run(a[0], kit::arg_bool(a[1], false));
}

template <class Kernel>
PyObject* stream_call(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard([&] { return stream_filter<Kernel>(self_obj, kit::parse(kCall, args, kwargs)).release(); });
}

template <class Kernel>
PyObject* stream_call_method(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard(
        [&] { return stream_filter<Kernel>(self_obj, kit::parse(kCall, args, nargs, kwnames)).release(); });
}

template <class Kernel>
PyObject* stream_reset(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        auto* self = StreamType<Kernel>::of(self_obj);
        kit::Busy busy(self->busy, kBusy<Kernel>);
        if (self->s.state) self->s.reset();
        return kit::none();
    });
}

template <class Kernel>
PyObject* stream_param(PyObject* self_obj, void*) {
    return PyLong_FromUnsignedLongLong(StreamType<Kernel>::of(self_obj)->s.param);
}

const char* const kRefractoryDoc =
    "Drop each event that follows the last kept event of its pixel by less than\n"
    "period_us: an event is kept when t >= t_kept + period_us, t_kept being the\n"
    "t of the last kept event at its (x, y), of either polarity; the first event\n"
    "of a pixel is always kept. For time-sorted events. tonic's\n"
    "RefractoryPeriod differs: it measures from the last event, kept or not,\n"
    "and keeps only t - t_last > period.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    period_us: The refractory period in microseconds (>= 0).\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    KEPT_DOC
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

const char* const kDenoiseDoc =
    "The background-activity filter: keep an event when one of its 8\n"
    "neighbouring pixels (not its own) fired within window_us before it, that\n"
    "is at t_n with t_n <= t < t_n + window_us, t_n being the last event of that\n"
    "neighbour earlier in the stream (kept or not, either polarity). Pixels\n"
    "beyond the sensor's edge have no events. tonic's Denoise looks at the 4\n"
    "direct neighbours only and starts every pixel as if it fired at t = 0.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    window_us: The window in microseconds (>= 1).\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    KEPT_DOC
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

const char* const kRefractoryTypeDoc =
    "refractory() for a stream read in chunks: the time of the last kept event\n"
    "of every pixel is kept from one call to the next, so filtering a recording\n"
    "chunk by chunk gives exactly what filtering it whole gives.\n\n"
    "Example:\n"
    "    >>> f = Refractory(reader.sensor_size, 1000)\n"
    "    >>> for chunk in reader:\n"
    "    ...     kept = f(chunk)\n";

const char* const kDenoiseTypeDoc =
    "denoise() for a stream read in chunks: the time of the last event of every\n"
    "pixel is kept from one call to the next, so filtering a recording chunk by\n"
    "chunk gives exactly what filtering it whole gives.\n\n"
    "Example:\n"
    "    >>> f = Denoise(reader.sensor_size, 10_000)\n"
    "    >>> for chunk in reader:\n"
    "    ...     kept = f(chunk)\n";

const char* const kCallDoc =
    "Filter the next chunk of the stream; see the class.\n\n"
    "Returns:\n"
    "    The kept events in their order (a new EVENT_DTYPE array), or with mask\n"
    "    a bool array of len(events).\n\n"
    "Raises:\n"
    "    ValueError: an event outside the sensor (the state is then unchanged).\n"
    "    RuntimeError: another thread is filtering with this object.\n";

const char* const kResetDoc = "Forget every pixel's past: the filter is then like a new one.\n";

template <class Kernel>
void add_stream_type(PyObject* m, const char* qualified, const char* doc, const char* param_doc) {
    static PyMethodDef methods[] = {
        [] {
            PyMethodDef d = kit::def(kCall, stream_call_method<Kernel>, kCallDoc);
            d.ml_flags |= METH_COEXIST;  // shows the signature; calls go through tp_call
            return d;
        }(),
        kit::def(kResetSig, stream_reset<Kernel>, kResetDoc),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        kit::ref_field<StreamFields<Kernel>, &StreamFields<Kernel>::sensor_size>("sensor_size",
                                                                                  "(width, height) of the sensor."),
        {param_name(std::is_same_v<Kernel, kn::Denoise>), stream_param<Kernel>, nullptr, param_doc, nullptr},
        kit::kEndGetSet,
    };
    StreamType<Kernel>::add(m, qualified,
                            {{Py_tp_doc, const_cast<char*>(kit::docstring(kStreamInit<Kernel>, doc))},
                             {Py_tp_init, reinterpret_cast<void*>(stream_init<Kernel>)},
                             {Py_tp_call, reinterpret_cast<void*>(stream_call<Kernel>)},
                             {Py_tp_methods, methods},
                             {Py_tp_getset, getset}},
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
}

// ---------------------------------------------------------------------------

constexpr auto kHot = kit::function("hot_pixels", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                    kit::Param{"sensor_size", "Tuple[int, int]"},
                                    kit::Param{"threshold", "float", "10.0", nullptr, false, true});

PyObject* hot_pixels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kHot, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const double threshold = a[2] ? kit::arg_float(a[2], "threshold") : 10.0;
        if (!(threshold > 0) || !std::isfinite(threshold))
            kit::raise(PyExc_ValueError, "threshold must be a finite number > 0, got %R", a[2]);
        const kit::EventRecords in = kit::events_in(a[0]);
        const std::size_t plane = sensor.plane();
        auto counts = kit::zeroed<std::int32_t>(plane);
        std::vector<std::uint32_t> hot;  // pixel indices, in raster order
        std::size_t stop;
        {
            kit::MaybeNoGil nogil(large(in.n));
            const kn::EventFrames<kn::AllTime> count{sensor, false, {}};
            stop = count.fill(in.data, in.n, counts.get());
            if (stop == in.n) {
                std::vector<std::int32_t> active;
                for (std::size_t i = 0; i < plane; ++i)
                    if (counts[i]) active.push_back(counts[i]);
                if (!active.empty()) {
                    const std::size_t mid = active.size() / 2;
                    std::nth_element(active.begin(), active.begin() + static_cast<std::ptrdiff_t>(mid), active.end());
                    double median = active[mid];
                    if (active.size() % 2 == 0) {
                        const auto lower = *std::max_element(active.begin(), active.begin() + static_cast<std::ptrdiff_t>(mid));
                        median = (median + lower) / 2;
                    }
                    const double limit = threshold * median;
                    for (std::size_t i = 0; i < plane; ++i)
                        if (counts[i] > limit) hot.push_back(static_cast<std::uint32_t>(i));
                }
            }
        }
        if (stop != in.n) raise_outside(in, stop, sensor);
        Ref out = np::zeros({static_cast<npy_intp>(hot.size()), 2}, NPY_INT64);
        auto* o = static_cast<std::int64_t*>(PyArray_DATA(np::arr(out)));
        for (std::size_t i = 0; i < hot.size(); ++i) {
            o[2 * i] = hot[i] % sensor.width;
            o[2 * i + 1] = hot[i] / sensor.width;
        }
        return out.release();
    });
}

const char* const kHotDoc =
    "The pixels that fire far more often than the others: those whose event\n"
    "count (both polarities) is above threshold times the median count of the\n"
    "pixels with at least one event. Over one recording, counts are rates.\n\n"
    "Args:\n"
    "    events: EVENT_DTYPE array, or any structured array with fields t, x, y,\n"
    "        p (cast as astype casts).\n"
    "    sensor_size: (width, height).\n"
    "    threshold: How many times the median rate makes a pixel hot (> 0).\n\n"
    "Returns:\n"
    "    int64 array (k, 2) of (x, y), ordered by y, then x: ready for\n"
    "    drop_pixels.\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

// ---------------------------------------------------------------------------

constexpr auto kDrop = kit::function("drop_pixels", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                     kit::Param{"pixels", "ArrayLike"}, kMask);

PyObject* drop_pixels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDrop, args, nargs, kwnames);
        Ref arr = kit::check(PyArray_FROM_O(a[1]));
        auto* pa = np::arr(arr);
        const bool empty = PyArray_SIZE(pa) == 0;
        if (!empty && (PyArray_NDIM(pa) != 2 || PyArray_DIM(pa, 1) != 2))
            kit::raise(PyExc_ValueError, "pixels must be a (k, 2) array of (x, y), got shape %R",
                       kit::getattr(arr.get(), "shape").get());
        const char kind = PyArray_DESCR(pa)->kind;
        if (!empty && kind != 'i' && kind != 'u' && kind != 'b')
            kit::raise(PyExc_ValueError, "pixels must hold integers, got dtype %R", kit::as_object(PyArray_DESCR(pa)));
        const std::size_t k = empty ? 0 : static_cast<std::size_t>(PyArray_DIM(pa, 0));
        std::vector<std::uint32_t> keys(k);
        std::uint32_t w = 0, h = 0;
        if (k) {
            Ref c = kit::check(PyArray_FROMANY(arr.get(), NPY_INT64, 2, 2, NPY_ARRAY_CARRAY));
            const auto* v = static_cast<const std::int64_t*>(PyArray_DATA(np::arr(c)));
            for (std::size_t i = 0; i < k; ++i) {
                const std::int64_t x = v[2 * i], y = v[2 * i + 1];
                if (x < 0 || y < 0 || x > 65535 || y > 65535)
                    kit::raise(PyExc_ValueError, "pixels must hold coordinates in [0, 65535], got (%lld, %lld)",
                               static_cast<long long>(x), static_cast<long long>(y));
                keys[i] = static_cast<std::uint32_t>(x) << 16 | static_cast<std::uint32_t>(y);
                w = std::max(w, static_cast<std::uint32_t>(x) + 1);
                h = std::max(h, static_cast<std::uint32_t>(y) + 1);
            }
        }
        const bool mask = kit::arg_bool(a[2], false);
        const kit::EventRecords in = kit::events_in(a[0]);
        // A byte per pixel of the box the pixels span, unless that is large.
        if (std::size_t{w} * h <= (std::size_t{1} << 26)) {
            std::vector<std::uint8_t> map(std::size_t{w} * h);
            for (std::uint32_t key : keys) map[std::size_t{key & 0xFFFF} * w + (key >> 16)] = 1;
            return filtered(in, mask, kn::PixelMask{map.data(), w, h}).release();
        }
        std::sort(keys.begin(), keys.end());
        return filtered(in, mask, kn::PixelKeys{keys.data(), keys.size()}).release();
    });
}

const char* const kDropDoc =
    "The events at none of the given pixels.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    pixels: (k, 2) integers, (x, y) each, as hot_pixels gives them; k may\n"
    "        be 0.\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    KEPT_DOC
    "Raises:\n"
    "    TypeError: events is not an array.\n"
    "    ValueError: pixels not (k, 2) integers in [0, 65535].\n";

// ---------------------------------------------------------------------------

constexpr auto kPolarity = kit::function("polarity", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                         kit::Param{"p", "int"}, kMask);

PyObject* polarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kPolarity, args, nargs, kwnames);
        const bool on = int_in(a[1], "p", 0, 1) == 1;
        const bool mask = kit::arg_bool(a[2], false);
        const kit::EventRecords in = kit::events_in(a[0]);
        return filtered(in, mask, kn::PolarityIs{on}).release();
    });
}

const char* const kPolarityDoc =
    "The events of one polarity: p = 0 (OFF) or 1 (ON; any p other than 0).\n\n"
    "Args:\n"
    EVENTS_DOC
    "    p: 0 or 1.\n"
    "    mask: Return the boolean mask of the kept events instead.\n\n"
    KEPT_DOC
    "Raises:\n"
    "    TypeError: events is not an array.\n"
    "    ValueError: p is not 0 or 1.\n";

// ---------------------------------------------------------------------------

constexpr auto kDownsample = kit::function("downsample", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                           kit::Param{"factor", "int"});

PyObject* downsample(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDownsample, args, nargs, kwnames);
        const auto factor = static_cast<std::uint16_t>(std::min<long long>(int_in(a[1], "factor", 1, LLONG_MAX), 65535));
        const kit::EventRecords in = kit::events_in(a[0]);
        return filtered(in, false, kn::Everything{}, kn::Downsample{factor}).release();
    });
}

const char* const kDownsampleDoc =
    "Every event on a coarser pixel grid: x // factor, y // factor (the sensor\n"
    "becomes ceil(width / factor) x ceil(height / factor)). No event is dropped;\n"
    "events that now share a pixel and a time stay as they are.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    factor: The integer factor (>= 1).\n\n"
    "Returns:\n"
    "    A new EVENT_DTYPE array of len(events).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array.\n"
    "    ValueError: factor < 1.\n";

constexpr auto kFlip = kit::function("flip", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                     kit::Param{"sensor_size", "Tuple[int, int]"}, kit::Param{"axis", "str"});

PyObject* flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kFlip, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        PyObject* axis = kit::arg_str(a[2], "axis");
        const bool y = PyUnicode_CompareWithASCIIString(axis, "y") == 0;
        if (!y && PyUnicode_CompareWithASCIIString(axis, "x") != 0)
            kit::raise(PyExc_ValueError, "axis must be 'x' or 'y', got %R", axis);
        const kit::EventRecords in = kit::events_in(a[0]);
        require_inside(in, sensor);
        return filtered(in, false, kn::Everything{}, kn::Flip{y ? sensor.height : sensor.width, y}).release();
    });
}

const char* const kFlipDoc =
    "Every event mirrored: axis 'x' gives x = width - 1 - x (left-right), 'y'\n"
    "gives y = height - 1 - y (up-down).\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    axis: 'x' or 'y'.\n\n"
    "Returns:\n"
    "    A new EVENT_DTYPE array of len(events).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple, axis not\n"
    "        a str.\n"
    "    ValueError: axis not 'x' or 'y', a bad sensor_size, or an event outside\n"
    "        the sensor.\n";

}  // namespace

void add_filters(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kCrop, crop, kCropDoc),
        kit::def(kSlice, time_slice, kSliceDoc),
        kit::def(kFilterFn<kn::Refractory>, filter_whole<kn::Refractory>, kRefractoryDoc),
        kit::def(kFilterFn<kn::Denoise>, filter_whole<kn::Denoise>, kDenoiseDoc),
        kit::def(kHot, hot_pixels, kHotDoc),
        kit::def(kDrop, drop_pixels, kDropDoc),
        kit::def(kPolarity, polarity, kPolarityDoc),
        kit::def(kDownsample, downsample, kDownsampleDoc),
        kit::def(kFlip, flip, kFlipDoc),
    };
    kit::add_functions(m, defs);
    add_stream_type<kn::Refractory>(m, "morvel.io.transforms.Refractory", kRefractoryTypeDoc,
                                    "The refractory period in microseconds.");
    add_stream_type<kn::Denoise>(m, "morvel.io.transforms.Denoise", kDenoiseTypeDoc,
                                 "The window in microseconds.");
}

}  // namespace morvel::io::transforms
