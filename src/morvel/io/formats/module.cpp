// morvel.io.formats: EVT 2.0 / EVT 3.0 camera words to events (whole buffers
// and streaming decoders), events to dense frames and spike rasters, and RAW
// recordings (a header, then EVT words) read and written without the vendor
// SDK. The pieces are in the sources beside this one (see formats.hpp).

#include "formats.hpp"

namespace {

namespace np = kit::np;

const char* const kModuleDoc =
    "Event format conversion: camera words to events, events to dense arrays.\n\n"
    "- decode_evt2, decode_evt3: Prophesee EVT 2.0 / EVT 3.0 raw words (a whole\n"
    "  buffer) to EVENT_DTYPE events;\n"
    "- Evt2Decoder, Evt3Decoder: the same for a stream read in pieces, carrying\n"
    "  the decoder state and partial words from one piece to the next;\n"
    "- events_to_frames: events to a stack of per-time-bin count (or binary)\n"
    "  images of shape (n_frames, height, width);\n"
    "- events_to_raster: events to a binary time-bin x neuron spike raster;\n"
    "- RawReader, RawWriter, write_raw, encode_evt2, encode_evt3: RAW camera\n"
    "  recordings (an ASCII header, then EVT 2.0 / EVT 3.0 words) read and\n"
    "  written without the vendor SDK.\n\n"
    "All work is done in native code, in one pass over the data, with the GIL\n"
    "released on large inputs.\n";

int exec_formats(PyObject* m) {
    return kit::guard(
        [&] {
            namespace formats = morvel::io::formats;
            kit::add_typing_names(m, {"Tuple"});
            np::add_event_names(m);
            formats::add_decoders(m);
            formats::add_frames(m);
            kit::init_generator_type(m, "morvel.io.formats.generator");
            formats::add_raw_reader(m);
            formats::add_raw_writer(m);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(formats, "morvel.io.formats", kModuleDoc, exec_formats)
