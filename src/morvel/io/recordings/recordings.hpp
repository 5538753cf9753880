// morvel.io.recordings: vendor recording files read and written natively,
// one source per format family (dat.cpp: Prophesee DAT; aedat4.cpp:
// iniVation AEDAT4; legacy.cpp: AEDAT 2.0 / 3.1 and ATIS binary; text.cpp:
// CSV and plain text; the last two through the reader and writer templates
// of stream.hpp; tables.cpp: to_events). module.cpp puts them together.
// What more than one of them needs is here.
#pragma once

#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/event.hpp"

namespace morvel::io::recordings {

using kit::Ref;
namespace np = kit::np;

// ValueError for an event a writer cannot store: which, what it holds, why.
[[noreturn]] inline void raise_unencodable(long long index, const morvel::kernels::Event& e, const char* why) {
    kit::raise(PyExc_ValueError, "cannot encode event %lld (t=%llu, x=%u, y=%u, p=%u): %s", index,
               static_cast<unsigned long long>(e.t), unsigned{e.x}, unsigned{e.y}, unsigned{e.p}, why);
}

void add_dat(PyObject* module);
void add_aedat4(PyObject* module);
void add_legacy(PyObject* module);
void add_tables(PyObject* module);
void add_text(PyObject* module);

}  // namespace morvel::io::recordings
