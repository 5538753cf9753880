// morvel.io.recordings: Prophesee DAT, iniVation AEDAT 2.0 / 3.1 / 4 and
// ATIS binary recordings read (and written) without the vendors' SDKs. The formats are in the sources
// beside this one (see recordings.hpp); morvel.io.open() picks among them.

#include "recordings.hpp"

namespace {

namespace np = kit::np;

const char* const kModuleDoc =
    "Vendor recording files read and written without the vendors' SDKs.\n\n"
    "- DatReader, DatWriter, write_dat: Prophesee DAT files (a '%' header, then\n"
    "  8-byte CD events with 32-bit timestamps, unwrapped on reading);\n"
    "- Aedat4Reader, Aedat4Writer, write_aedat4: iniVation AEDAT4 files (an IO\n"
    "  header, packets of FlatBuffers tables, optionally LZ4 or Zstandard\n"
    "  compressed, and a data table used to seek time windows);\n"
    "- Aedat2Reader, Aedat3Reader: AEDAT 2.0 (jAER) and 3.1 (libcaer) files;\n"
    "- AtisReader, AtisWriter, write_atis: the 5-byte ATIS binary files of\n"
    "  N-MNIST, N-Caltech101 and N-CARS;\n"
    "- CsvReader, CsvWriter, write_csv: plain-text files of one event a line;\n"
    "- to_events: any table of events as EVENT_DTYPE through the conversion\n"
    "  core (the NumPy-file readers of morvel.io.open() use it).\n\n"
    "Readers yield EVENT_DTYPE chunks of a fixed size, decoding the file in\n"
    "bounded pieces; morvel.io.open() chooses the reader from a file's contents.\n";

int exec_recordings(PyObject* m) {
    return kit::guard(
        [&] {
            namespace rec = morvel::io::recordings;
            kit::add_typing_names(m, {"Mapping", "Optional", "Sequence", "Tuple", "Union"});
            np::add_event_names(m);
            kit::init_generator_type(m, "morvel.io.recordings.generator");
            rec::add_dat(m);
            rec::add_aedat4(m);
            rec::add_legacy(m);
            rec::add_tables(m);
            rec::add_text(m);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(recordings, "morvel.io.recordings", kModuleDoc, exec_recordings)
