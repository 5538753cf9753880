// Prophesee DAT files (being written).

#include "recordings.hpp"

namespace morvel::io::recordings {

void add_dat(PyObject*) {}

}  // namespace morvel::io::recordings
