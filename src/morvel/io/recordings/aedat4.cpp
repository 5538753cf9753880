// iniVation AEDAT4 files (being written).

#include "recordings.hpp"

namespace morvel::io::recordings {

void add_aedat4(PyObject*) {}

}  // namespace morvel::io::recordings
