// morvel.io.transforms, split along its seams: the dense representations
// (representations.cpp), the filters and their streaming forms
// (filters.cpp); module.cpp puts them together. What both need is here.
#pragma once

#include "kit/kit.hpp"
#include "kit/events.hpp"
#include "kit/numpy.hpp"
#include "kit/rows.hpp"
#include "kernels/representations.hpp"

#include <cstdint>

// Docstring pieces every function shares.
#define EVENTS_DOC                                                              \
    "    events: EVENT_DTYPE array, or any structured array with fields t, x, y,\n" \
    "        p (cast as astype casts; a signed p column is read as p > 0).\n"
#define KEPT_DOC                                                                  \
    "Returns:\n"                                                                  \
    "    The kept events in their order (a new EVENT_DTYPE array), or a bool\n"  \
    "    array of len(events).\n\n"
#define THREADS_DOC KIT_THREADS_DOC "\n"

namespace morvel::io::transforms {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

void add_representations(PyObject* module);
void add_filters(PyObject* module);

// An int argument in [lo, hi] (ValueError naming it otherwise).
inline long long int_in(PyObject* o, const char* param, long long lo, long long hi) {
    Ref v = kit::arg_int_exact(o, param);
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (r == -1 && PyErr_Occurred()) kit::raise();
    if (overflow || r < lo || r > hi) {
        if (hi == LLONG_MAX) kit::raise(PyExc_ValueError, "%s must be >= %lld, got %S", param, lo, v.get());
        kit::raise(PyExc_ValueError, "%s must be in [%lld, %lld], got %S", param, lo, hi, v.get());
    }
    return r;
}

// A time in microseconds: an int in [0, 2**64).
inline std::uint64_t time_arg(PyObject* o, const char* param) {
    Ref v = kit::arg_int_exact(o, param);
    const unsigned long long r = PyLong_AsUnsignedLongLong(v.get());
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        kit::raise(PyExc_ValueError, "%s must be a time in [0, 2**64), got %S", param, v.get());
    }
    return r;
}

// sensor_size: exactly a tuple (width, height), each in [1, 65536].
inline kn::Sensor sensor_arg(PyObject* o) {
    const kit::SensorSize s = kit::arg_sensor_size(o);
    if (s.width < 1 || s.height < 1 || s.width > 65536 || s.height > 65536)
        kit::raise(PyExc_ValueError, "sensor_size must hold sizes in [1, 65536], got %R", o);
    return {static_cast<std::uint32_t>(s.width), static_cast<std::uint32_t>(s.height)};
}

[[noreturn]] inline void raise_outside(const kit::EventRecords& in, std::size_t i, kn::Sensor s) {
    kit::raise(PyExc_ValueError, "event %zd (x=%u, y=%u) is outside the %ux%u sensor_size",
               static_cast<Py_ssize_t>(i), unsigned{in.data[i].x}, unsigned{in.data[i].y}, s.width, s.height);
}

// Work on this many events is done with the GIL released.
inline bool large(std::size_t n) { return n * sizeof(Event) >= kit::kReleaseGilBytes; }

}  // namespace morvel::io::transforms
