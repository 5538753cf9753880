// Dense representations: voxel_grid, time_surface, stacked_histogram,
// event_frames and count_image. Each reads its arguments, fills the
// accumulator of its kernel (kernels/representations.hpp) on the pool, and
// turns it into the output.

#include "transforms.hpp"

#include <cmath>
#include <vector>

namespace morvel::io::transforms {
namespace {

using kit::kThreads;

// Fills `acc` (count elements, zeroed or as the kernel starts it at
// `start`) with `kernel` over the events on up to `threads` threads, then
// runs finish(begin, end) over it in blocks; ValueError for an event outside
// the sensor. Time-sorted events are cut into runs of whole bins where
// `runs`; other events fill per-thread copies where they pay, else bands of
// rows (see kit/rows.hpp).
template <bool runs, class T, class Kernel, class Finish>
void accumulate(const kit::EventRecords& in, kn::Sensor sensor, const Kernel& kernel, T* acc, std::size_t count,
                unsigned threads, Finish&& finish, T start = T{}) {
    std::size_t stop;
    {
        kit::MaybeNoGil nogil(large(in.n) || count * sizeof(T) >= kit::kReleaseGilBytes);
        auto piece = [&](std::size_t b, std::size_t e, T* into) { return b + kernel.fill(in.data + b, e - b, into); };
        auto spread = [&] {
            if (kit::copies_pay(threads, in.n, count * sizeof(T)))
                return kit::fill_copies(acc, count, in.n, threads, start, piece, Kernel::merge);
            return kit::fill_rows(sensor.height, in.n, threads,
                                  [&](kn::Rows rows) { return kernel.fill(in.data, in.n, acc, rows); });
        };
        if (kit::event_threads(threads, in.n) <= 1) {
            stop = kernel.fill(in.data, in.n, acc);
        } else if constexpr (runs) {
            stop = kit::t_sorted(in.data, in.n, threads)
                       ? kit::fill_runs(kit::run_cuts(in.data, in.n, threads, [&](std::uint64_t t) { return kernel.key(t); }),
                                        [&](std::size_t, std::size_t b, std::size_t e) { return piece(b, e, acc); })
                       : spread();
        } else {
            stop = spread();
        }
        if (stop == in.n) kit::for_blocks(count, threads, finish);
    }
    if (stop != in.n) raise_outside(in, stop, sensor);
}

inline npy_intp dim(std::size_t v) { return static_cast<npy_intp>(v); }

// ---------------------------------------------------------------------------

constexpr auto kVoxel = kit::function(
    "voxel_grid", "np.ndarray", kit::Param{"events", "np.ndarray"}, kit::Param{"sensor_size", "Tuple[int, int]"},
    kit::Param{"n_bins", "int"}, kit::Param{"t_range", "Optional[Tuple[int, int]]", "None", nullptr, false, true},
    kThreads);

// (t0, t1) of a t_range argument: exactly a tuple of two times, t0 <= t1.
void time_range_arg(PyObject* o, std::uint64_t& t0, std::uint64_t& t1, bool strict) {
    kit::arg_tuple(o, "t_range");
    if (PyTuple_GET_SIZE(o) != 2) kit::raise(PyExc_ValueError, "t_range must be a (t_start, t_end) tuple, got %R", o);
    t0 = time_arg(PyTuple_GET_ITEM(o, 0), "t_range");
    t1 = time_arg(PyTuple_GET_ITEM(o, 1), "t_range");
    if (strict ? t1 <= t0 : t1 < t0)
        kit::raise(PyExc_ValueError, "t_range must have t_start %s t_end, got %R", strict ? "<" : "<=", o);
}

PyObject* voxel_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kVoxel, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const auto n_bins = static_cast<std::uint32_t>(int_in(a[2], "n_bins", 1, 1 << 20));
        std::uint64_t t0 = 0, t1 = 0;
        const bool given = a[3] && a[3] != Py_None;
        if (given) time_range_arg(a[3], t0, t1, false);
        const unsigned threads = kit::arg_threads(a[4]);
        const kit::EventRecords in = kit::events_in(a[0]);

        Ref out = np::zeros({dim(n_bins), dim(sensor.height), dim(sensor.width)}, NPY_FLOAT32);
        if (in.n == 0) return out.release();
        if (!given) kn::t_span(in.data, in.n, t0, t1);
        kn::VoxelGrid grid{sensor, n_bins, t0, t1};
        auto* o = static_cast<float*>(PyArray_DATA(np::arr(out)));
        std::size_t stop;
        {
            kit::MaybeNoGil nogil(large(in.n));
            if (kit::event_threads(threads, in.n) > 1 && kit::t_sorted(in.data, in.n, threads)) {
                // Runs of whole bins; a run's first bin also takes the last
                // run's right weights, so its own left weights there are
                // added after, in order.
                const auto cuts = kit::run_cuts(in.data, in.n, threads, [&](std::uint64_t t) { return grid.key(t); });
                std::vector<std::uint32_t> first(cuts.size() - 1, UINT32_MAX);
                stop = kit::fill_runs(cuts, [&](std::size_t i, std::size_t b, std::size_t e) {
                    kn::VoxelGrid part = grid;
                    if (i) part.deferred = first[i] = grid.first_bin(in.data + b, e - b);
                    return b + part.fill(in.data + b, e - b, o);
                });
                for (std::size_t i = 1; stop == in.n && i < first.size(); ++i)
                    grid.fill_deferred(in.data + cuts[i], cuts[i + 1] - cuts[i], first[i], o);
            } else {
                stop = kit::fill_rows(sensor.height, in.n, threads,
                                      [&](kn::Rows rows) { return grid.fill(in.data, in.n, o, rows); });
            }
        }
        if (stop != in.n) raise_outside(in, stop, sensor);
        return out.release();
    });
}

const char* const kVoxelDoc =
    "Events as a voxel grid: polarity (+1 ON, -1 OFF) spread over n_bins time\n"
    "bins, bilinear in time.\n\n"
    "With (t0, t1) = t_range, an event at t sits at tau = (n_bins - 1) * (t - t0)\n"
    "/ (t1 - t0) (0 when t1 == t0); bin floor(tau) takes its value times\n"
    "1 - frac(tau), the next bin (if any) its value times frac(tau). Events with\n"
    "t < t0 or t > t1 are left out. Each cell sums in float32 in stream order,\n"
    "whatever the thread count. This is E2VID's formula; tonic's ToVoxelGrid\n"
    "scales by n_bins instead of n_bins - 1 and drops what lands past its last\n"
    "bin (the last event), so its n bins are the first n of n + 1 bins here.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    n_bins: Number of time bins (>= 1).\n"
    "    t_range: (t0, t1) with t0 <= t1; default (min t, max t) of the events,\n"
    "        so give it to keep grids of consecutive windows on one time axis.\n"
    THREADS_DOC
    "Returns:\n"
    "    float32 array (n_bins, height, width); zeros for no events.\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size or t_range not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

// ---------------------------------------------------------------------------

constexpr auto kSurface = kit::function(
    "time_surface", "np.ndarray", kit::Param{"events", "np.ndarray"}, kit::Param{"sensor_size", "Tuple[int, int]"},
    kit::Param{"tau_us", "float"}, kit::Param{"t_ref", "Optional[int]", "None", nullptr, false, true},
    kit::Param{"per_polarity", "bool", "True", nullptr, false, true}, kThreads);

PyObject* time_surface(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kSurface, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const double tau = kit::arg_float(a[2], "tau_us");
        if (!(tau > 0) || !std::isfinite(tau))
            kit::raise(PyExc_ValueError, "tau_us must be a finite number > 0, got %R", a[2]);
        const bool given = a[3] && a[3] != Py_None;
        kn::TimeSurface surface{sensor, kit::arg_bool(a[4], true), given ? time_arg(a[3], "t_ref") : 0};
        const unsigned threads = kit::arg_threads(a[5]);
        const kit::EventRecords in = kit::events_in(a[0]);

        const std::size_t channels = surface.per_polarity ? 2 : 1;
        Ref out = np::zeros({dim(channels), dim(sensor.height), dim(sensor.width)}, NPY_FLOAT32);
        if (in.n == 0) return out.release();
        if (!given) {
            std::uint64_t lo;
            kn::t_span(in.data, in.n, lo, surface.t_ref);
        }
        const std::size_t count = channels * sensor.plane();
        auto* o = static_cast<float*>(PyArray_DATA(np::arr(out)));
        {
            kit::MaybeNoGil nogil(count * sizeof(float) >= kit::kReleaseGilBytes);
            kit::for_blocks(count, threads, [&](std::size_t b, std::size_t e) { kn::TimeSurface::start(o + b, e - b); });
        }
        accumulate<false>(
            in, sensor, surface, o, count, threads,
            [&](std::size_t b, std::size_t e) { kn::TimeSurface::finish(o + b, e - b, tau); }, __builtin_inff());
        return out.release();
    });
}

const char* const kSurfaceDoc =
    "Events as a time surface: each pixel holds exp(-(t_ref - t_last) / tau_us),\n"
    "t_last being the latest t <= t_ref of its events (of each polarity with\n"
    "per_polarity), and 0 where none fired. Events after t_ref are left out.\n\n"
    "This is one surface of the whole sensor at one time; tonic's ToTimesurface\n"
    "makes surfaces at regular times (or per event, around each event), of which\n"
    "each is this one at its t_ref.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    tau_us: Decay constant in microseconds (> 0).\n"
    "    t_ref: Time of the surface; default the latest t of the events.\n"
    "    per_polarity: True: channel 0 OFF, channel 1 ON; False: one channel.\n"
    THREADS_DOC
    "Returns:\n"
    "    float32 array (2, height, width), or (1, height, width).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

// ---------------------------------------------------------------------------

constexpr auto kStacked = kit::function(
    "stacked_histogram", "np.ndarray", kit::Param{"events", "np.ndarray"},
    kit::Param{"sensor_size", "Tuple[int, int]"}, kit::Param{"n_bins", "int"}, kit::Param{"window_us", "int"},
    kit::Param{"t_end", "Optional[int]", "None", nullptr, false, true},
    kit::Param{"count_cutoff", "int", "255", nullptr, false, true}, kThreads);

PyObject* stacked_histogram(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kStacked, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const auto n_bins = static_cast<std::uint32_t>(int_in(a[2], "n_bins", 1, 1 << 20));
        const std::uint64_t window = time_arg(a[3], "window_us");
        if (window < 1) kit::raise(PyExc_ValueError, "window_us must be >= 1, got %R", a[3]);
        const bool given = a[4] && a[4] != Py_None;
        kn::StackedHistogram hist{sensor, n_bins, given ? time_arg(a[4], "t_end") : 0, window};
        const auto cutoff = static_cast<std::uint8_t>(a[5] ? int_in(a[5], "count_cutoff", 0, 255) : 255);
        const unsigned threads = kit::arg_threads(a[6]);
        const kit::EventRecords in = kit::events_in(a[0]);

        Ref out = np::zeros({dim(2 * std::size_t{n_bins}), dim(sensor.height), dim(sensor.width)}, NPY_UINT8);
        if (in.n == 0) return out.release();
        if (!given) {
            std::uint64_t lo;
            kn::t_span(in.data, in.n, lo, hist.t_end);
        }
        const std::size_t count = 2 * std::size_t{n_bins} * sensor.plane();
        auto* o = static_cast<std::uint8_t*>(PyArray_DATA(np::arr(out)));
        accumulate<true>(in, sensor, hist, o, count, threads, [&](std::size_t b, std::size_t e) {
            if (cutoff < 255) kn::StackedHistogram::cut_off(o + b, e - b, cutoff);
        });
        return out.release();
    });
}

const char* const kStackedDoc =
    "Events as a stacked histogram, as event-based detectors take them: counts\n"
    "per polarity in n_bins equal slices of the window (t_end - window_us, t_end].\n\n"
    "An event at t with t_end - window_us < t <= t_end is in slice n_bins - 1 -\n"
    "floor((t_end - t) * n_bins / window_us) (exact integer arithmetic), channel\n"
    "p * n_bins + slice: the OFF slices first, oldest first, then the ON slices.\n"
    "Other events are left out, so windows ending at t_end, t_end + window_us,\n"
    "... count every event once. Counts are clipped at count_cutoff.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    n_bins: Slices per polarity (>= 1).\n"
    "    window_us: Length of the window in microseconds (>= 1).\n"
    "    t_end: End of the window (included); default the latest t.\n"
    "    count_cutoff: Largest count stored (0..255).\n"
    THREADS_DOC
    "Returns:\n"
    "    uint8 array (2 * n_bins, height, width).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

// ---------------------------------------------------------------------------

constexpr auto kFrames = kit::function(
    "event_frames", "np.ndarray", kit::Param{"events", "np.ndarray"}, kit::Param{"sensor_size", "Tuple[int, int]"},
    kit::Param{"t_edges", "Optional[ArrayLike]", "None", nullptr, false, true},
    kit::Param{"n_bins", "Optional[int]", "None", nullptr, false, true},
    kit::Param{"t_range", "Optional[Tuple[int, int]]", "None", nullptr, false, true},
    kit::Param{"per_polarity", "bool", "True", nullptr, false, true}, kThreads);

// t_edges as non-decreasing u64 edges: integers as they are (negative ones
// as 0), floats e as ceil(e) (t >= e holds for integer t exactly then).
std::vector<std::uint64_t> edges_arg(PyObject* o) {
    Ref arr = kit::check(PyArray_FROM_O(o));
    auto* a = np::arr(arr);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) < 2)
        kit::raise(PyExc_ValueError, "t_edges must be a 1-D array of at least 2 edges, got shape %R",
                   kit::getattr(arr.get(), "shape").get());
    const char kind = PyArray_DESCR(a)->kind;
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    std::vector<std::uint64_t> edges(n);
    auto as = [&](int type) { return kit::check(PyArray_FROMANY(arr.get(), type, 1, 1, NPY_ARRAY_CARRAY)); };
    if (kind == 'u' || kind == 'b') {
        Ref c = as(NPY_UINT64);
        const auto* v = static_cast<const std::uint64_t*>(PyArray_DATA(np::arr(c)));
        for (std::size_t i = 0; i < n; ++i) edges[i] = v[i];
    } else if (kind == 'i') {
        Ref c = as(NPY_INT64);
        const auto* v = static_cast<const std::int64_t*>(PyArray_DATA(np::arr(c)));
        for (std::size_t i = 0; i < n; ++i) edges[i] = v[i] < 0 ? 0 : static_cast<std::uint64_t>(v[i]);
    } else if (kind == 'f') {
        Ref c = as(NPY_FLOAT64);
        const auto* v = static_cast<const double*>(PyArray_DATA(np::arr(c)));
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(v[i])) kit::raise(PyExc_ValueError, "t_edges must not hold NaN");
            const double e = std::ceil(v[i]);
            edges[i] = e <= 0 ? 0 : e >= 18446744073709551616.0 ? UINT64_MAX : static_cast<std::uint64_t>(e);
        }
    } else {
        kit::raise(PyExc_TypeError, "t_edges must hold numbers, got dtype %R", kit::as_object(PyArray_DESCR(a)));
    }
    for (std::size_t i = 1; i < n; ++i)
        if (edges[i] < edges[i - 1]) kit::raise(PyExc_ValueError, "t_edges must be non-decreasing");
    return edges;
}

// Counts into `out` (int32, bins x channels x plane) with `bins`.
template <class Bins>
void count_frames(const kit::EventRecords& in, kn::Sensor sensor, bool per_polarity, const Bins& bins, Ref& out,
                  unsigned threads) {
    const kn::EventFrames<Bins> frames{sensor, per_polarity, bins};
    const std::size_t count = bins.size() * (per_polarity ? 2 : 1) * sensor.plane();
    auto* o = static_cast<std::int32_t*>(PyArray_DATA(np::arr(out)));
    // One bin (count_image) has no runs to cut.
    accumulate<!std::is_same_v<Bins, kn::AllTime>>(in, sensor, frames, o, count, threads, [](std::size_t, std::size_t) {});
}

Ref frames_array(std::size_t bins, bool per_polarity, kn::Sensor s, bool stack) {
    if (!stack)
        return per_polarity ? np::zeros({2, dim(s.height), dim(s.width)}, NPY_INT32)
                            : np::zeros({dim(s.height), dim(s.width)}, NPY_INT32);
    return per_polarity ? np::zeros({dim(bins), 2, dim(s.height), dim(s.width)}, NPY_INT32)
                        : np::zeros({dim(bins), dim(s.height), dim(s.width)}, NPY_INT32);
}

PyObject* event_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kFrames, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const bool has_edges = a[2] && a[2] != Py_None, has_bins = a[3] && a[3] != Py_None,
                   has_range = a[4] && a[4] != Py_None;
        if (has_edges == has_bins)
            kit::raise(PyExc_ValueError, "event_frames takes exactly one of t_edges and n_bins");
        if (has_range && !has_bins) kit::raise(PyExc_ValueError, "t_range is taken only with n_bins");
        std::vector<std::uint64_t> edges;
        std::size_t n_bins = 0;
        std::uint64_t t0 = 0, t1 = 0;
        bool closed = false;
        if (has_edges) {
            edges = edges_arg(a[2]);
            n_bins = edges.size() - 1;
        } else {
            n_bins = static_cast<std::size_t>(int_in(a[3], "n_bins", 1, 1 << 20));
            if (has_range) time_range_arg(a[4], t0, t1, true);
        }
        const bool per_polarity = kit::arg_bool(a[5], true);
        const unsigned threads = kit::arg_threads(a[6]);
        const kit::EventRecords in = kit::events_in(a[0]);

        Ref out = frames_array(n_bins, per_polarity, sensor, true);
        if (in.n == 0) return out.release();
        if (has_edges) {
            count_frames(in, sensor, per_polarity, kn::EdgeBins(edges.data(), n_bins), out, threads);
        } else {
            if (!has_range) {
                kn::t_span(in.data, in.n, t0, t1);
                // (min t, max t + 1); a max t of 2**64 - 1 closes the last bin instead.
                closed = t1 == UINT64_MAX;
                if (!closed) ++t1;
            }
            count_frames(in, sensor, per_polarity, kn::UniformBins(t0, t1, n_bins, closed), out, threads);
        }
        return out.release();
    });
}

const char* const kFramesDoc =
    "Events as frames of counts, one per time bin, on bin edges that do not\n"
    "depend on the events unless asked.\n\n"
    "Bin k holds the events with t_edges[k] <= t < t_edges[k + 1]. The edges\n"
    "are given (t_edges), or come from n_bins equal bins over t_range = (t0, t1):\n"
    "bin floor((t - t0) * n_bins / (t1 - t0)) for t0 <= t < t1. Only n_bins\n"
    "without t_range takes the span from the events: (min t, max t + 1), so\n"
    "every event is counted. Events before the first edge or at or after the\n"
    "last are not counted in any frame; no polarity is ever dropped. tonic's\n"
    "ToFrame cuts bins from the events' own first t, so consecutive recordings\n"
    "get frames on different grids; here the grid is the caller's.\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    t_edges: Non-decreasing bin edges (at least 2); float edges e count\n"
    "        t >= e exactly, negative ones act as 0.\n"
    "    n_bins: Number of equal bins (>= 1), instead of t_edges.\n"
    "    t_range: (t0, t1), t0 < t1, for n_bins.\n"
    "    per_polarity: True: a channel per polarity (OFF, ON); False: one.\n"
    THREADS_DOC
    "Returns:\n"
    "    int32 array (n_frames, 2, height, width), or (n_frames, height, width).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size or t_range not a tuple.\n"
    "    ValueError: a bad argument (named), not exactly one of t_edges and\n"
    "        n_bins, or an event outside the sensor.\n";

// ---------------------------------------------------------------------------

constexpr auto kCount = kit::function("count_image", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                      kit::Param{"sensor_size", "Tuple[int, int]"},
                                      kit::Param{"per_polarity", "bool", "True", nullptr, false, true}, kThreads);

PyObject* count_image(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kCount, args, nargs, kwnames);
        const kn::Sensor sensor = sensor_arg(a[1]);
        const bool per_polarity = kit::arg_bool(a[2], true);
        const unsigned threads = kit::arg_threads(a[3]);
        const kit::EventRecords in = kit::events_in(a[0]);
        Ref out = frames_array(1, per_polarity, sensor, false);
        if (in.n) count_frames(in, sensor, per_polarity, kn::AllTime{}, out, threads);
        return out.release();
    });
}

const char* const kCountDoc =
    "Events counted per pixel (and polarity).\n\n"
    "Args:\n"
    EVENTS_DOC
    "    sensor_size: (width, height).\n"
    "    per_polarity: True: a channel per polarity (OFF, ON); False: one.\n"
    THREADS_DOC
    "Returns:\n"
    "    int32 array (2, height, width), or (height, width).\n\n"
    "Raises:\n"
    "    TypeError: events is not an array, sensor_size not a tuple.\n"
    "    ValueError: a bad argument (named), or an event outside the sensor.\n";

}  // namespace

void add_representations(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kVoxel, voxel_grid, kVoxelDoc),
        kit::def(kSurface, time_surface, kSurfaceDoc),
        kit::def(kStacked, stacked_histogram, kStackedDoc),
        kit::def(kFrames, event_frames, kFramesDoc),
        kit::def(kCount, count_image, kCountDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::transforms
