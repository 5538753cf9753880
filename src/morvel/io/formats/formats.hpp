// morvel.io.formats, split along its seams: the EVT decoders
// (decoders.cpp), frames and rasters (frames.cpp), RAW reading
// (raw_read.cpp), RAW writing (raw_write.cpp); module.cpp puts them
// together. What more than one of them needs is here.
#pragma once

#include "kit/kit.hpp"
#include "kit/events.hpp"
#include "kit/numpy.hpp"
#include "kernels/raw_header.hpp"

#include <string_view>

namespace morvel::io::formats {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

void add_decoders(PyObject* module);
void add_frames(PyObject* module);
void add_raw_reader(PyObject* module);
void add_raw_writer(PyObject* module);

// The event formats of RAW recordings.
enum class Fmt { evt2, evt21, evt3 };

inline const char* fmt_name(Fmt f) { return f == Fmt::evt2 ? "EVT2" : f == Fmt::evt21 ? "EVT21" : "EVT3"; }

inline Fmt fmt_of(kn::RawFormat f) {
    return f == kn::RawFormat::evt2 ? Fmt::evt2 : f == kn::RawFormat::evt21 ? Fmt::evt21 : Fmt::evt3;
}

// The format named by a `format=` argument: "EVT2"/"EVT21"/"EVT3" in any
// case, or the version numbers of the older `evt` key.
inline Fmt fmt_from_argument(PyObject* arg, const char* param) {
    PyObject* s = kit::arg_str(arg, param);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s, &len);
    if (!text) kit::raise();
    const std::string_view v(text, static_cast<std::size_t>(len));
    kn::RawFormat f = kn::raw_format_from_name(v);
    if (f == kn::RawFormat::unknown) f = kn::raw_format_from_evt_version(v);
    if (f == kn::RawFormat::unknown)
        kit::raise(PyExc_ValueError, "%s must be 'EVT2', 'EVT21' or 'EVT3', got %R", param, arg);
    return fmt_of(f);
}

// Events given to the frame builders and the encoders must be arrays.
inline void check_ndarray(PyObject* events) { kit::require_ndarray(events); }

}  // namespace morvel::io::formats
