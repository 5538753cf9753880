// morvel.io.recordings: vendor recording files read and written natively,
// one source per format (dat.cpp: Prophesee DAT; aedat4.cpp: iniVation
// AEDAT4); module.cpp puts them together. What more than one of them needs
// is here.
#pragma once

#include "kit/kit.hpp"
#include "kit/numpy.hpp"

namespace morvel::io::recordings {

using kit::Ref;
namespace np = kit::np;

void add_dat(PyObject* module);
void add_aedat4(PyObject* module);

}  // namespace morvel::io::recordings
