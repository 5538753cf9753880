// morvel.io.dvs: readers of iniVation (AEDAT4) and Prophesee (RAW) recordings
// through the vendors' SDKs, yielding EVENT_DTYPE chunks of a fixed size.
//
// Each vendor batch is converted straight into the chunk under construction
// (one pass over the batch, no concatenation); a batch that holds many chunks
// is cut lazily, one chunk per step.

#include "kit/chunks.hpp"
#include "kit/events.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"

#include <cstddef>

namespace {

using kit::Ref;
namespace np = kit::np;

const char* const kDvMissing =
    "dv-processing is required for iniVation files. Install via: pip install dv-processing";
const char* const kMetavisionMissing =
    "metavision_core is required for Prophesee files. Install via: pip install metavision_core";

// A vendor's names for the fields t, x, y, p (in that order).
constexpr kit::FieldNames kDvFields{"timestamp", "x", "y", "polarity"};
constexpr kit::FieldNames kMetavisionFields{"t", "x", "y", "p"};

// One vendor batch as rows of columns (fields read in place where the
// conversion core knows their type, through NumPy otherwise).
struct Batch {
    kit::EventTable table;
    kit::Rows rows;

    Batch(PyObject* events, const kit::FieldNames& names)
        : table(one_dimensional(events), "txyp", names), rows(table.columns(), table.size()) {}

    static PyObject* one_dimensional(PyObject* events) {
        if (PyArray_Check(events) && PyArray_NDIM(np::arr(events)) != 1)
            kit::raise(PyExc_ValueError, "events must be one-dimensional, got %d dimensions",
                       PyArray_NDIM(np::arr(events)));
        return events;
    }
};

bool truth(const Ref& v) { return kit::check(PyObject_IsTrue(v.get())) != 0; }

kit::Generator inivation_chunks(Ref path, std::size_t chunk_size) {
    Ref sdk = kit::import_optional("dv_processing", kDvMissing);
    Ref recording_type = kit::getattr(kit::getattr(sdk.get(), "io").get(), "MonoCameraRecording");
    Ref recording = kit::call(recording_type.get(), path.get());
    kit::ChunkBuilder chunks(chunk_size);
    while (truth(kit::call_method(recording.get(), "isRunning"))) {
        Ref batch = kit::call_method(recording.get(), "getNextEventBatch");
        if (batch.get() == Py_None) break;  // no more data: the tail is still flushed
        Batch events(kit::call_method(batch.get(), "numpy").get(), kDvFields);
        while (Ref chunk = kit::next_chunk(chunks, events.rows)) co_yield std::move(chunk);
    }
    if (Ref tail = chunks.finish()) co_yield std::move(tail);
}

kit::Generator prophesee_chunks(Ref path, std::size_t chunk_size) {
    Ref iterator_type = kit::import_optional("metavision_core.event_io", "EventsIterator", kMetavisionMissing);
    Ref names = kit::check(Py_BuildValue("(ss)", "delta_t", "max_duration"));
    Ref zero = kit::from_ll(0);
    PyObject* argv[] = {path.get(), zero.get(), Py_None};
    Ref source = kit::check(PyObject_Vectorcall(iterator_type.get(), argv, 1, names.get()));
    Ref it = kit::check(PyObject_GetIter(source.get()));
    kit::ChunkBuilder chunks(chunk_size);
    for (;;) {
        Ref batch = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!batch) {
            if (PyErr_Occurred()) kit::raise();
            break;
        }
        Batch events(batch.get(), kMetavisionFields);
        while (Ref chunk = kit::next_chunk(chunks, events.rows)) co_yield std::move(chunk);
    }
    if (Ref tail = chunks.finish()) co_yield std::move(tail);
}

// ---------------------------------------------------------------------------
// Entry points

// chunk_size is exactly an int here; sizes beyond the address space mean
// "everything in one chunk".
template <kit::Generator (*Body)(Ref, std::size_t)>
PyObject* reader(const kit::Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* path = kit::arg_str(a[0], "path");
        const std::size_t chunk_size = kit::arg_chunk_size(a[1], 10000, kit::IntRule::exact);
        return kit::make_generator(Body(Ref::borrow(path), chunk_size), sig.name).release();
    });
}

constexpr kit::Param kPath{"path", "str"};
constexpr kit::Param kChunkSize{"chunk_size", "int", "10000"};
constexpr auto kInivation = kit::function("read_iniVation", "Generator[np.ndarray, None, None]", kPath, kChunkSize);
constexpr auto kProphesee = kit::function("read_prophesee", "Generator[np.ndarray, None, None]", kPath, kChunkSize);

PyObject* read_inivation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader<inivation_chunks>(kInivation, args, nargs, kwnames);
}

PyObject* read_prophesee(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader<prophesee_chunks>(kProphesee, args, nargs, kwnames);
}

#define DVS_COMMON_DOC                                                                                   \
    "Args:\n"                                                                                           \
    "    path: Path of the recording (exactly a str).\n"                                                \
    "    chunk_size: Events per chunk (exactly an int, >= 1).\n\n"                                      \
    "Yields:\n"                                                                                         \
    "    NumPy structured arrays of MORVEL events (EVENT_DTYPE): chunks of\n"                           \
    "    exactly chunk_size events in recording order; the last may be shorter.\n"                         \
    "    Every chunk is a new writable array owning its memory.\n\n"                                    \
    "Calling only checks the arguments; the SDK is imported and the file\n"                             \
    "opened on the first next(). Each vendor batch is cast field by field\n"                            \
    "as NumPy's astype does on x86-64 (t to uint64, x and y to uint16, p to\n"                          \
    "uint8), floats without an integer counterpart (NaN, infinities, out of\n"                          \
    "range) included.\n\n"                                                                              \
    "Raises:\n"                                                                                         \
    "    TypeError: path or chunk_size of the wrong type (at the call).\n"                              \
    "    ValueError: chunk_size below 1 (at the call).\n"

const char* const kInivationDoc =
    "Read events from an iniVation AEDAT4 file.\n\n"
    "Requires dv-processing to be installed. The recording is read with\n"
    "dv_processing.io.MonoCameraRecording, batch by batch, while it is\n"
    "running; a batch of None ends the reading (the last chunk is still\n"
    "yielded). Fields timestamp, x, y, polarity become t, x, y, p.\n\n" DVS_COMMON_DOC
    "    ImportError: dv-processing is not installed (on the first next()).\n"
    "    Errors of the SDK (missing or corrupt file) propagate unchanged and\n"
    "    finish the generator.\n";

const char* const kPropheseeDoc =
    "Read events from a Prophesee RAW file using Metavision SDK.\n\n"
    "Requires metavision_core to be installed. The recording is read with\n"
    "metavision_core.event_io.EventsIterator(path, delta_t=0,\n"
    "max_duration=None); fields t, x, y, p keep their names.\n\n" DVS_COMMON_DOC
    "    ImportError: metavision_core is not installed (on the first next()).\n"
    "    Errors of the SDK (missing or corrupt file) propagate unchanged and\n"
    "    finish the generator.\n";

const char* const kModuleDoc =
    "Readers of vendor event-camera recordings.\n\n"
    "iniVation AEDAT4 files through dv-processing, Prophesee RAW files through\n"
    "metavision_core. Each SDK is optional and imported only when a reader\n"
    "starts; both readers yield EVENT_DTYPE chunks of a fixed number of events.\n";

int exec_dvs(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Generator"});
            np::add_event_names(m);
            kit::init_generator_type(m, "morvel.io.dvs.generator");
            static PyMethodDef defs[] = {
                kit::def(kInivation, read_inivation, kInivationDoc),
                kit::def(kProphesee, read_prophesee, kPropheseeDoc),
            };
            kit::add_functions(m, defs);
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(dvs, "morvel.io.dvs", kModuleDoc, exec_dvs)
