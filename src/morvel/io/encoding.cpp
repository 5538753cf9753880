// morvel.io.encoding: spike encoders turning arrays of values in [0, 1] into
// spike trains of shape (n_steps, *data.shape), float32.

#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kit/random.hpp"
#include "kernels/encoding.hpp"
#include "kernels/random.hpp"

#include <cmath>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;

using kit::kReleaseGilBytes;

// The input as a C-contiguous float32 or float64 array (other types are
// converted to float64 with NumPy's safe casting).
Ref as_values(PyObject* data) {
    // None would become an array of NaN, reported as a value out of range.
    if (data == Py_None) kit::raise_arg_type("data", "np.ndarray", data);
    int type = NPY_FLOAT64;
    if (PyArray_Check(data)) {
        const int t = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(data));
        if (t == NPY_FLOAT32) type = NPY_FLOAT32;
    }
    Ref a = kit::check(PyArray_FROM_OTF(data, type, NPY_ARRAY_IN_ARRAY));
    if (PyArray_NDIM(np::arr(a)) >= NPY_MAXDIMS)
        kit::raise(PyExc_ValueError, "data has too many dimensions (%d) for a spike array", PyArray_NDIM(np::arr(a)));
    return a;
}

constexpr kit::Param kData{"data", "np.ndarray"};
constexpr kit::Param kSteps{"n_steps", "int", "10"};

std::size_t checked_steps(PyObject* arg) {
    const long long n = kit::arg_int(arg, "n_steps", 10);
    if (n < 1) kit::raise(PyExc_ValueError, "n_steps must be >= 1, got %lld", n);
    return static_cast<std::size_t>(n);
}

template <class F>
void with_values(const Ref& a, F&& f) {
    if (PyArray_TYPE(np::arr(a)) == NPY_FLOAT32)
        f(static_cast<const float*>(PyArray_DATA(np::arr(a))));
    else
        f(static_cast<const double*>(PyArray_DATA(np::arr(a))));
}

// Values must lie in [0, 1]: anything else (NaN included) is refused, never clipped.
void check_unit_range(const Ref& a, const char* name) {
    const auto n = static_cast<std::size_t>(PyArray_SIZE(np::arr(a)));
    std::size_t bad = n;
    double value = 0;
    with_values(a, [&](auto* v) {
        bad = kn::first_out_of_unit_range(v, n);
        if (bad < n) value = static_cast<double>(v[bad]);
    });
    if (bad < n) {
        Ref shown = kit::check(PyFloat_FromDouble(value));
        kit::raise(PyExc_ValueError, "%s values must be in [0, 1]; element %zd (flat index) is %R", name,
                   static_cast<Py_ssize_t>(bad), shown.get());
    }
}

// Output of shape (n_steps, *shape), zero-filled or not.
Ref spikes_for(const Ref& a, std::size_t steps, bool zeroed) {
    npy_intp dims[NPY_MAXDIMS];
    const int nd = PyArray_NDIM(np::arr(a));
    dims[0] = static_cast<npy_intp>(steps);
    for (int d = 0; d < nd; ++d) dims[d + 1] = PyArray_DIM(np::arr(a), d);
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    return zeroed ? kit::check(PyArray_Zeros(nd + 1, dims, f32, 0))
                  : kit::check(PyArray_Empty(nd + 1, dims, f32, 0));
}

float* out_data(const Ref& out) { return static_cast<float*>(PyArray_DATA(np::arr(out))); }
std::size_t n_values(const Ref& a) { return static_cast<std::size_t>(PyArray_SIZE(np::arr(a))); }
bool large(std::size_t steps, std::size_t n) { return steps * n * sizeof(float) >= kReleaseGilBytes; }

constexpr auto kRate = kit::function("rate_encode", "np.ndarray", kData, kSteps, kit::Param{"gain", "float", "1.0"});

PyObject* rate_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kRate, args, nargs, kwnames);
        Ref values = as_values(a[0]);
        const std::size_t steps = checked_steps(a[1]);
        const double gain = kit::arg_float(a[2], "gain", 1.0);
        // inf * 0 is NaN: an infinite gain has no probability for a value of 0.
        if (!(gain >= 0.0) || std::isinf(gain))
            kit::raise(PyExc_ValueError, "gain must be >= 0 and finite, got %R", a[2]);
        check_unit_range(values, "data");
        const std::size_t n = n_values(values);
        if (n > static_cast<std::size_t>(NPY_MAX_INTP) / steps) kit::raise(PyExc_MemoryError, "spike array too large");
        Ref out = spikes_for(values, steps, false);
        std::vector<std::uint32_t> limit(n), live(n);
        kit::GlobalBitGenerator global;
        auto seed = [&global] { return global.next64(); };
        kn::Xoshiro256x8 rng(seed);  // seeded from the global generator: np.random.seed reproduces it
        {
            kit::MaybeNoGil nogil(large(steps, n));
            with_values(values, [&](auto* v) {
                kn::rate_encode(v, n, steps, gain, rng, out_data(out), limit.data(), live.data());
            });
        }
        return out.release();
    });
}

template <class Kernel, class Scratch>
PyObject* deterministic_encode(const kit::Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, bool zeroed, Kernel kernel, Scratch scratch) {
    return kit::guard([&] {
        auto a = kit::parse(sig, args, nargs, kwnames);
        Ref values = as_values(a[0]);
        const std::size_t steps = checked_steps(a[1]);
        check_unit_range(values, "data");
        const std::size_t n = n_values(values);
        Ref out = spikes_for(values, steps, zeroed);
        scratch(n, steps);  // the kernel's memory, allocated before the GIL is released
        {
            kit::MaybeNoGil nogil(large(steps, n));
            with_values(values, [&](auto* v) { kernel(v, n, steps, out_data(out)); });
        }
        return out.release();
    });
}

constexpr auto kLatency = kit::function("latency_encode", "np.ndarray", kData, kSteps);
constexpr auto kTemporal = kit::function("temporal_encode", "np.ndarray", kData, kSteps);

PyObject* latency_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<std::int32_t> fire_at;
    std::vector<kn::LatencyStep> fire_at_wide;
    return deterministic_encode(kLatency, args, nargs, kwnames, true,
                                [&](auto* v, std::size_t n, std::size_t steps, float* out) {
                                    kn::latency_encode(v, n, steps, out, fire_at.data(), fire_at_wide.data());
                                },
                                [&](std::size_t n, std::size_t steps) {
                                    if (kn::latency_steps_narrow(steps))
                                        fire_at.resize(n);
                                    else
                                        fire_at_wide.resize(n);
                                });
}

PyObject* temporal_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return deterministic_encode(kTemporal, args, nargs, kwnames, false,
                                [](auto* v, std::size_t n, std::size_t steps, float* out) {
                                    kn::temporal_encode(v, n, steps, out);
                                },
                                [](std::size_t, std::size_t) {});
}

constexpr auto kDelta = kit::function("delta_encode", "np.ndarray", kData, kSteps,
                                      kit::Param{"threshold", "float", "0.1"},
                                      kit::Param{"previous", "Optional[np.ndarray]", "None"});

PyObject* delta_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDelta, args, nargs, kwnames);
        Ref values = as_values(a[0]);
        const std::size_t steps = checked_steps(a[1]);
        const double threshold = kit::arg_float(a[2], "threshold", 0.1);
        // Below 2**-53 the crossings of a unit step no longer count exactly
        // in doubles (and 1 / threshold overflows near the smallest ones).
        if (!(threshold >= 0x1p-53) || std::isinf(threshold))
            kit::raise(PyExc_ValueError, "threshold must be a finite number >= 2**-53, got %R", a[2]);
        check_unit_range(values, "data");
        Ref previous;
        if (a[3] && a[3] != Py_None) {
            // The same element type as data, so one kernel instance reads both.
            // The element type of data (float64 values become float32 ones
            // when data is float32), so one kernel instance reads both.
            previous = kit::check(PyArray_FROM_OTF(a[3], PyArray_TYPE(np::arr(values)),
                                                   NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
            if (!PyArray_SAMESHAPE(np::arr(previous), np::arr(values))) {
                Ref ps = kit::getattr(previous.get(), "shape"), ds = kit::getattr(values.get(), "shape");
                kit::raise(PyExc_ValueError, "previous must have the shape of data: %R, not %R", ds.get(),
                           ps.get());
            }
            check_unit_range(previous, "previous");
        }
        const std::size_t n = n_values(values);
        Ref out = spikes_for(values, steps, false);
        std::vector<double> level(n);
        {
            kit::MaybeNoGil nogil(large(steps, n));
            with_values(values, [&](auto* v) {
                using T = std::remove_cv_t<std::remove_pointer_t<decltype(v)>>;
                const T* prev = previous ? static_cast<const T*>(PyArray_DATA(np::arr(previous))) : nullptr;
                kn::delta_encode(v, prev, n, steps, threshold, out_data(out), level.data());
            });
        }
        return out.release();
    });
}

const char* const kRateDoc =
    "Rate code: Bernoulli spikes with probability proportional to the value.\n\n"
    "At every step each element spikes (1.0) independently with probability\n"
    "``min(1, gain * value)``, else 0.0.\n\n"
    "Args:\n"
    "    data: Values in [0, 1], any shape, any float or integer dtype.\n"
    "    n_steps: Number of time steps (>= 1).\n"
    "    gain: Probability per unit value (>= 0, finite).\n\n"
    "Returns:\n"
    "    float32 array of shape (n_steps, *data.shape).\n\n"
    "Randomness comes from NumPy's global legacy generator (it seeds the\n"
    "native generator that draws the spikes), so np.random.seed reproduces\n"
    "the output.\n\n"
    "Raises:\n"
    "    TypeError: data is None.\n"
    "    ValueError: a value outside [0, 1] or NaN, n_steps < 1, gain < 0 or\n"
    "        infinite.\n";

const char* const kLatencyDoc =
    "Latency code (time to first spike): the strongest inputs fire first.\n\n"
    "Each element with value > 0 spikes once, at step\n"
    "``round((1 - value) * (n_steps - 1))`` (ties to even); a value of 0 never\n"
    "fires.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_steps, *data.shape).\n\n"
    "Raises:\n"
    "    ValueError: a value outside [0, 1] or NaN, n_steps < 1.\n";

const char* const kTemporalDoc =
    "Temporal code: deterministic integrate-and-fire.\n\n"
    "An accumulator starts at 0, adds ``value`` every step and emits a spike\n"
    "(subtracting 1) whenever it reaches 1: step k (1-based) fires when\n"
    "``floor(k * value) > floor((k - 1) * value)``, so an element fires\n"
    "``floor(value * n_steps)`` times, evenly spread.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_steps, *data.shape).\n\n"
    "Raises:\n"
    "    ValueError: a value outside [0, 1] or NaN, n_steps < 1.\n";

const char* const kDeltaDoc =
    "Delta code: change detection as an event camera does it.\n\n"
    "The input ramps linearly from ``previous`` (zeros when None) to ``data``\n"
    "over the steps: ``v_s = previous + (data - previous) * s / n_steps`` for\n"
    "s = 1 .. n_steps (``v_0 = previous``, ``v_n_steps = data``). Each crossing\n"
    "of a multiple of ``threshold`` emits +1.0 for a rise or -1.0 for a fall at\n"
    "the step where it happens: step s holds\n"
    "``floor(v_s / threshold) - floor(v_{s-1} / threshold)`` (crossings within\n"
    "one step add up, so no change is lost).\n\n"
    "Args:\n"
    "    data: Values in [0, 1].\n"
    "    n_steps: Number of time steps (>= 1).\n"
    "    threshold: Contrast step (>= 2**-53, finite).\n"
    "    previous: Values in [0, 1] of the same shape as data, or None.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_steps, *data.shape).\n\n"
    "Raises:\n"
    "    ValueError: values outside [0, 1] or NaN, n_steps < 1, threshold not\n"
    "        a finite number >= 2**-53, previous of another shape.\n";

const char* const kModuleDoc =
    "Spike encoding: arrays of values in [0, 1] to spike trains.\n\n"
    "Every encoder takes an array of any shape and returns a float32 spike\n"
    "array of shape (n_steps, *data.shape):\n\n"
    "- rate_encode: Bernoulli spikes with probability min(1, gain * value);\n"
    "- latency_encode: one spike, earlier for stronger inputs;\n"
    "- temporal_encode: deterministic integrate-and-fire;\n"
    "- delta_encode: threshold crossings of a ramp from a previous input.\n\n"
    "Values outside [0, 1] (or NaN) are refused with ValueError, never clipped.\n";

int exec_encoding(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Optional"});
            np::add_numpy_names(m);
            static PyMethodDef defs[] = {
                kit::def(kRate, rate_encode, kRateDoc),
                kit::def(kLatency, latency_encode, kLatencyDoc),
                kit::def(kTemporal, temporal_encode, kTemporalDoc),
                kit::def(kDelta, delta_encode, kDeltaDoc),
            };
            kit::add_functions(m, defs);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(encoding, "morvel.io.encoding", kModuleDoc, exec_encoding)
