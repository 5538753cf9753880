// Events to dense arrays: events_to_frames (a stack of per-time-bin images)
// and events_to_raster (a binary time-bin x neuron raster), one native pass
// each (kernels/frames.hpp).

#include "formats.hpp"

#include "kit/events.hpp"
#include "kit/rows.hpp"
#include "kit/threads.hpp"
#include "kernels/frames.hpp"

#include <algorithm>

namespace morvel::io::formats {
namespace {

// The events as the kernels read them: EVENT_DTYPE records in place, or,
// for other record types, the fields read by name (in `order`, so that a
// missing field raises NumPy's own error for the first one read) as
// contiguous uint64 t and int64 x, y columns, converted as astype converts
// them.
class Events {
public:
    Events(PyObject* events, const char* order)
        : table_(events, order, kit::kEventFields, {NPY_UINT64, NPY_INT64, NPY_INT64, NPY_UINT8}) {
        if (table_.records()) return;
        const auto& c = table_.columns();
        t_.emplace(c.t, table_.size());
        x_.emplace(c.x, table_.size());
        y_.emplace(c.y, table_.size());
    }

    bool large() const noexcept { return table_.size() * sizeof(kn::Event) >= kit::kReleaseGilBytes; }

    // EVENT_DTYPE records in place, or null.
    const kn::Event* records() const noexcept { return table_.records(); }
    std::size_t size() const noexcept { return table_.size(); }

    template <class F>
    void visit(F&& f) const {
        if (const kn::Event* records = table_.records())
            f(kn::RecordEvents{records, table_.size()});
        else
            f(kn::FieldEvents{t_->data(), x_->data(), y_->data(), table_.size()});
    }

private:
    kit::EventTable table_;
    std::optional<kit::Contiguous<std::uint64_t>> t_;
    std::optional<kit::Contiguous<std::int64_t>> x_, y_;
};

// Sums of 1.0f from one thread stop at 2**24 (2**24 + 1 rounds back to
// it), so per-thread partial sums merge to what one thread gives with a sum
// clipped there.
constexpr float kFloatCountLimit = 16777216.0f;

// Fills `out` (bins of `plane` cells, zeroed) with fill(events, into), the
// kernel over a slice of records, on up to `threads` threads: time-sorted
// events cut into runs of whole bins, which fill disjoint planes, else
// per-thread partial histograms reduced after (`merge`: a clipped sum, or a
// maximum) where they are small next to the events. Otherwise, and for
// other record types, one thread.
template <class Fill, class Merge>
void spread(const Events& ev, std::size_t bins, std::size_t plane, const kn::TimeBinner& bin, unsigned threads,
            float* out, Fill&& fill, Merge&& merge) {
    const kn::Event* rec = ev.records();
    const std::size_t n = ev.size(), count = bins * plane;
    if (!rec || kit::event_threads(threads, n) <= 1) {
        ev.visit([&](const auto& src) { fill(src, out); });
        return;
    }
    auto slice = [&](std::size_t b, std::size_t e, float* into) {
        fill(kn::RecordEvents{rec + b, e - b}, into);
        return e;
    };
    if (bins >= 2 && kit::t_sorted(rec, n, threads)) {
        const std::vector<std::size_t> cuts = kit::run_cuts(rec, n, threads, bin);
        if (cuts.size() > 2) {
            kit::fill_runs(cuts, [&](std::size_t, std::size_t b, std::size_t e) { return slice(b, e, out); });
            return;
        }
    }
    if (kit::copies_pay(threads, n, count * sizeof(float)))
        kit::fill_copies(out, count, n, threads, 0.0f, slice, merge);
    else
        fill(kn::RecordEvents{rec, n}, out);
}

constexpr auto kFrames = kit::function(
    "events_to_frames", "np.ndarray", kit::Param{"events", "np.ndarray"},
    kit::Param{"sensor_size", "Tuple[int, int]"}, kit::Param{"n_frames", "int", "1"},
    kit::Param{"accumulate", "bool", "True"}, kit::kThreads);

PyObject* events_to_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kFrames, args, nargs, kwnames);
        PyObject* events = a[0];
        kit::arg_tuple(a[1], "sensor_size");
        const long long n_frames = kit::arg_int(a[2], "n_frames", 1);
        const bool accumulate = kit::arg_bool(a[3], true);

        check_ndarray(events);
        if (PyTuple_GET_SIZE(a[1]) != 2)
            kit::raise(PyExc_ValueError, "sensor_size must be (width, height) tuple, got %S", a[1]);
        if (n_frames < 1) kit::raise(PyExc_ValueError, "n_frames must be >= 1, got %lld", n_frames);
        const kit::SensorSize size = kit::arg_sensor_size(a[1]);
        if (size.width < 0 || size.height < 0)
            kit::raise(PyExc_ValueError, "sensor_size must hold sizes >= 0, got %S", a[1]);
        Ref frames = np::zeros({static_cast<npy_intp>(n_frames), static_cast<npy_intp>(size.height),
                                static_cast<npy_intp>(size.width)},
                               NPY_FLOAT32);
        if (PyArray_SIZE(np::arr(events)) == 0) return frames.release();

        const unsigned threads = kit::arg_threads(a[4]);
        const Events ev(events, "txy");
        auto* out = static_cast<float*>(PyArray_DATA(np::arr(frames)));
        {
            kit::MaybeNoGil nogil(ev.large());
            kn::EventSpan span;
            ev.visit([&](const auto& src) { kn::scan_events(src, false, span); });
            const auto w = static_cast<std::size_t>(size.width), h = static_cast<std::size_t>(size.height);
            const auto bins = static_cast<std::size_t>(n_frames);
            spread(
                ev, bins, w * h, kn::TimeBinner(span.t_min, span.t_max, bins), threads, out,
                [&](const auto& src, float* into) {
                    kn::events_to_frames(src, w, h, bins, accumulate, span.t_min, span.t_max, into);
                },
                [&](float* into, const float* from, std::size_t len) {
                    if (accumulate)
                        for (std::size_t i = 0; i < len; ++i) into[i] = std::min(into[i] + from[i], kFloatCountLimit);
                    else
                        for (std::size_t i = 0; i < len; ++i) into[i] = std::max(into[i], from[i]);
                });
        }
        return frames.release();
    });
}

constexpr auto kRaster = kit::function("events_to_raster", "np.ndarray", kit::Param{"events", "np.ndarray"},
                                       kit::Param{"n_neurons", "int"}, kit::Param{"time_bins", "int", "100"},
                                       kit::kThreads);

PyObject* events_to_raster(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kRaster, args, nargs, kwnames);
        PyObject* events = a[0];
        const long long n_neurons = kit::arg_int(a[1], "n_neurons");
        const long long time_bins = kit::arg_int(a[2], "time_bins", 100);

        check_ndarray(events);
        if (n_neurons < 1) kit::raise(PyExc_ValueError, "n_neurons must be >= 1, got %lld", n_neurons);
        if (time_bins < 1) kit::raise(PyExc_ValueError, "time_bins must be >= 1, got %lld", time_bins);
        Ref raster = np::zeros({static_cast<npy_intp>(time_bins), static_cast<npy_intp>(n_neurons)}, NPY_FLOAT32);
        if (PyArray_SIZE(np::arr(events)) == 0) return raster.release();

        const unsigned threads = kit::arg_threads(a[3]);
        const Events ev(events, "tyx");
        auto* out = static_cast<float*>(PyArray_DATA(np::arr(raster)));
        {
            kit::MaybeNoGil nogil(ev.large());
            kn::EventSpan span;
            ev.visit([&](const auto& src) { kn::scan_events(src, true, span); });
            const auto height = static_cast<std::int64_t>(static_cast<std::uint64_t>(span.y_max) + 1u);
            const auto neurons = static_cast<std::size_t>(n_neurons), bins = static_cast<std::size_t>(time_bins);
            spread(
                ev, bins, neurons, kn::TimeBinner(span.t_min, span.t_max, bins), threads, out,
                [&](const auto& src, float* into) {
                    kn::events_to_raster(src, neurons, bins, span.t_min, span.t_max, height, into);
                },
                [](float* into, const float* from, std::size_t len) {
                    for (std::size_t i = 0; i < len; ++i) into[i] = std::max(into[i], from[i]);
                });
        }
        return raster.release();
    });
}

const char* const kFramesDoc =
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
    "    accumulate: True: event counts; False: 1.0 where at least one event fell.\n"
    KIT_THREADS_DOC
    "        EVENT_DTYPE records are split over them (per-thread partial\n"
    "        frames reduced after, or runs of whole frames of time-sorted\n"
    "        events); the result is the same for every count.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_frames, height, width); all zero for no events.\n\n"
    "Raises:\n"
    "    TypeError: events is not an np.ndarray.\n"
    "    ValueError: sensor_size not of 2 items or with a negative size,\n"
    "        n_frames < 1, events without fields t, x, y.\n";

const char* const kRasterDoc =
    "Convert events to spike raster (neuron x time).\n\n"
    "Signature as morvel.viz.events_to_raster, for cross-package compatibility.\n"
    "Time bins as events_to_frames with time_bins bins. Neuron of an event:\n"
    "``(x * height + y) % n_neurons`` with height = max(y) + 1, inferred from\n"
    "the events, not from a sensor size.\n\n"
    "Args:\n"
    "    events: Event array (EVENT_DTYPE, or any structured array with fields\n"
    "        t, x, y, read by name).\n"
    "    n_neurons: Number of neurons (>= 1).\n"
    "    time_bins: Number of time bins (>= 1).\n"
    KIT_THREADS_DOC "\n"
    "Returns:\n"
    "    float32 array of shape (time_bins, n_neurons) holding only 0.0 and 1.0.\n\n"
    "Raises:\n"
    "    TypeError: events is not an np.ndarray.\n"
    "    ValueError: n_neurons < 1, time_bins < 1, events without fields t, x, y.\n";

}  // namespace

void add_frames(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kFrames, events_to_frames, kFramesDoc),
        kit::def(kRaster, events_to_raster, kRasterDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::formats
