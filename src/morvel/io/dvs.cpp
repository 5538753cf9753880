// morvel.io.dvs: readers of iniVation (AEDAT4) and Prophesee (RAW) recordings
// through the vendors' SDKs, yielding EVENT_DTYPE chunks of a fixed size.
//
// Each vendor batch is converted straight into the chunk under construction
// (one pass over the batch, no concatenation); a batch that holds many chunks
// is cut lazily, one chunk per step.

#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/rechunk.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

using kit::kReleaseGilBytes;

const char* const kDvMissing =
    "dv-processing is required for iniVation files. Install via: pip install dv-processing";
const char* const kMetavisionMissing =
    "metavision_core is required for Prophesee files. Install via: pip install metavision_core";

// A vendor's names for the fields t, x, y, p (in that order).
using FieldNames = std::array<const char*, 4>;
constexpr FieldNames kDvFields{"timestamp", "x", "y", "polarity"};
constexpr FieldNames kMetavisionFields{"t", "x", "y", "p"};
constexpr std::array<int, 4> kRecordTypes{NPY_UINT64, NPY_UINT16, NPY_UINT16, NPY_UINT8};

// ---------------------------------------------------------------------------
// Vendor batches

// The column type of an element the kernel reads in place: a plain numeric
// type of NumPy's own, in native byte order.
bool plain_scalar(PyArray_Descr* d, kn::Scalar& out) {
    const int num = d->type_num;
    if (!(PyTypeNum_ISBOOL(num) || PyTypeNum_ISINTEGER(num) || num == NPY_FLOAT || num == NPY_DOUBLE)) return false;
    if (!PyDataType_ISNOTSWAPPED(d)) return false;
    return kn::scalar_for(d->kind, static_cast<std::size_t>(PyDataType_ELSIZE(d)), out);
}

// One vendor batch (a structured array, or anything indexable by field name
// that NumPy can convert) and how far it has been cut into chunks.
class Batch {
public:
    Batch(Ref events, const FieldNames& names) : events_(std::move(events)) {
        const Py_ssize_t n = PyObject_Size(events_.get());  // TypeError for unsized objects, as len() gives
        if (n < 0) kit::raise();
        size_ = static_cast<std::size_t>(n);
        kn::Column* cols[] = {&cols_.t, &cols_.x, &cols_.y, &cols_.p};
        for (std::size_t i = 0; i < 4; ++i) *cols[i] = column(names[i], kRecordTypes[i], keep_[i]);
    }

    std::size_t left() const noexcept { return size_ - pos_; }
    std::size_t pos() const noexcept { return pos_; }
    void advance(std::size_t k) noexcept { pos_ += k; }
    const kn::EventColumns& columns() const noexcept { return cols_; }

private:
    // The field `name` as a column. A field of a plain structured array is
    // read in place; anything else goes through NumPy's indexing, and values
    // of a type the kernel does not read are first cast by NumPy (unsafe
    // casting, with broadcasting, as assigning the field would do).
    kn::Column column(const char* name, int record_type, Ref& keep) {
        if (PyArray_CheckExact(events_.get())) {
            auto* a = reinterpret_cast<PyArrayObject*>(events_.get());
            PyArray_Descr* d = PyArray_DESCR(a);
            if (PyArray_NDIM(a) == 1 && PyDataType_HASFIELDS(d)) {
                PyObject* info = nullptr;  // (dtype, offset[, title])
                kit::check(PyDict_GetItemStringRef(PyDataType_FIELDS(d), name, &info));
                Ref info_ref = Ref::steal_or_null(info);
                kn::Scalar s;
                if (info && PyTuple_Check(info) && PyTuple_GET_SIZE(info) >= 2 &&
                    PyArray_DescrCheck(PyTuple_GET_ITEM(info, 0)) &&
                    plain_scalar(reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(info, 0)), s)) {
                    const Py_ssize_t offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(info, 1));
                    if (offset == -1 && PyErr_Occurred()) kit::raise();
                    return {reinterpret_cast<const unsigned char*>(PyArray_BYTES(a)) + offset, PyArray_STRIDE(a, 0),
                            s};
                }
            }
        }
        Ref field = kit::check(PyObject_GetItem(events_.get(), kit::str(name).get()));
        Ref arr = kit::check(PyArray_FROM_O(field.get()));
        auto* fa = np::arr(arr);
        kn::Scalar s;
        if (PyArray_NDIM(fa) == 1 && static_cast<std::size_t>(PyArray_DIM(fa, 0)) == size_ &&
            plain_scalar(PyArray_DESCR(fa), s)) {
            keep = std::move(arr);
            return {reinterpret_cast<const unsigned char*>(PyArray_BYTES(fa)), PyArray_STRIDE(fa, 0), s};
        }
        Ref descr = kit::check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(record_type)));
        Ref cast = np::empty(static_cast<npy_intp>(size_), reinterpret_cast<PyArray_Descr*>(descr.get()));
        kit::check(PyArray_CopyInto(np::arr(cast), fa));
        keep = std::move(cast);
        kn::Scalar rs = kn::Scalar::U8;
        plain_scalar(PyArray_DESCR(np::arr(keep)), rs);
        return {reinterpret_cast<const unsigned char*>(PyArray_BYTES(np::arr(keep))),
                static_cast<std::ptrdiff_t>(PyDataType_ELSIZE(PyArray_DESCR(np::arr(keep)))), rs};
    }

    Ref events_;               // keeps the vendor's memory alive while it is cut
    std::array<Ref, 4> keep_;  // field arrays or casts the columns point into
    kn::EventColumns cols_;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Re-chunking

// Fills chunks of exactly `size` records from successive batches; each chunk
// handed out is a new array owning its memory.
class Chunker {
public:
    explicit Chunker(std::size_t size) noexcept : size_(size) {}

    // Convert events of `b` into the chunk under construction until the
    // chunk is full (returned) or the batch is used up (null).
    Ref feed(Batch& b) {
        while (b.left() > 0) {
            const std::size_t k = std::min(size_ - fill_, b.left());
            reserve(k);
            Event* out = np::events_data(chunk_) + fill_;
            {
                kit::MaybeNoGil nogil(k * sizeof(Event) >= kReleaseGilBytes);
                kn::convert_events(b.columns(), b.pos(), k, out);
            }
            fill_ += k;
            b.advance(k);
            if (fill_ == size_) return take();
        }
        return {};
    }

    // The last, partial chunk (null when there is none).
    Ref finish() {
        if (fill_ == 0) return {};
        np::shrink(chunk_, static_cast<npy_intp>(fill_));
        return take();
    }

private:
    Ref take() noexcept {
        fill_ = 0;
        capacity_ = 0;
        return std::move(chunk_);
    }

    void reserve(std::size_t need) {
        const std::size_t cap = kn::chunk_capacity(size_, capacity_, fill_, need);
        if (cap == capacity_) return;
        if (!chunk_) {
            chunk_ = np::empty(static_cast<npy_intp>(cap));
        } else {
            npy_intp dim = static_cast<npy_intp>(cap);
            PyArray_Dims dims{&dim, 1};
            Ref none = kit::check(PyArray_Resize(np::arr(chunk_), &dims, 0, NPY_CORDER));
        }
        capacity_ = cap;
    }

    const std::size_t size_;
    Ref chunk_;
    std::size_t capacity_ = 0;  // records allocated in chunk_
    std::size_t fill_ = 0;      // records converted into chunk_
};

// ---------------------------------------------------------------------------
// SDK access

// Replace the ImportError being raised by one with `message` (the original
// stays as its context).
[[noreturn]] void raise_missing_sdk(const char* message) {
    PyObject* original = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, message);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, original);
    PyErr_SetRaisedException(exc);
    kit::raise();
}

Ref import_sdk(const char* module, const char* message) {
    PyObject* m = PyImport_ImportModule(module);
    if (!m) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) raise_missing_sdk(message);
        kit::raise();
    }
    return Ref::steal(m);
}

// `from module import name`: a missing name is an ImportError too.
Ref import_from_sdk(const char* module, const char* name, const char* message) {
    Ref m = import_sdk(module, message);
    PyObject* v = PyObject_GetAttrString(m.get(), name);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) raise_missing_sdk(message);
        kit::raise();
    }
    return Ref::steal(v);
}

bool truth(const Ref& v) { return kit::check(PyObject_IsTrue(v.get())) != 0; }

kit::Generator inivation_chunks(Ref path, std::size_t chunk_size) {
    Ref sdk = import_sdk("dv_processing", kDvMissing);
    Ref recording_type = kit::getattr(kit::getattr(sdk.get(), "io").get(), "MonoCameraRecording");
    Ref recording = kit::call(recording_type.get(), path.get());
    Chunker chunker(chunk_size);
    while (truth(kit::call_method(recording.get(), "isRunning"))) {
        Ref batch = kit::call_method(recording.get(), "getNextEventBatch");
        if (batch.get() == Py_None) break;  // no more data: the tail is still flushed
        Batch events(kit::call_method(batch.get(), "numpy"), kDvFields);
        while (Ref chunk = chunker.feed(events)) co_yield std::move(chunk);
    }
    if (Ref tail = chunker.finish()) co_yield std::move(tail);
}

kit::Generator prophesee_chunks(Ref path, std::size_t chunk_size) {
    Ref iterator_type = import_from_sdk("metavision_core.event_io", "EventsIterator", kMetavisionMissing);
    Ref names = kit::check(Py_BuildValue("(ss)", "delta_t", "max_duration"));
    Ref zero = kit::from_ll(0);
    PyObject* argv[] = {path.get(), zero.get(), Py_None};
    Ref source = kit::check(PyObject_Vectorcall(iterator_type.get(), argv, 1, names.get()));
    Ref it = kit::check(PyObject_GetIter(source.get()));
    Chunker chunker(chunk_size);
    for (;;) {
        Ref batch = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!batch) {
            if (PyErr_Occurred()) kit::raise();
            break;
        }
        Batch events(std::move(batch), kMetavisionFields);
        while (Ref chunk = chunker.feed(events)) co_yield std::move(chunk);
    }
    if (Ref tail = chunker.finish()) co_yield std::move(tail);
}

// ---------------------------------------------------------------------------
// Entry points

// `chunk_size`: exactly an int, at least 1; sizes beyond the address space
// mean "everything in one chunk".
std::size_t chunk_size_arg(PyObject* o) {
    if (!o) return 10000;
    kit::arg_exact(o, &PyLong_Type, "chunk_size");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) kit::raise();
    if (overflow > 0) return PY_SSIZE_T_MAX;
    if (overflow < 0 || v < 1) kit::raise(PyExc_ValueError, "chunk_size must be >= 1, got %S", o);
    return static_cast<std::size_t>(std::min<long long>(v, PY_SSIZE_T_MAX));
}

template <kit::Generator (*Body)(Ref, std::size_t)>
PyObject* reader(const kit::Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* path = kit::arg_str(a[0], "path");
        const std::size_t chunk_size = chunk_size_arg(a[1]);
        return kit::make_generator(Body(Ref::borrow(path), chunk_size), sig.name).release();
    });
}

PyObject* read_inivation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const kit::Signature<2> sig{"read_iniVation", {"path", "chunk_size"}, 1};
    return reader<inivation_chunks>(sig, args, nargs, kwnames);
}

PyObject* read_prophesee(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const kit::Signature<2> sig{"read_prophesee", {"path", "chunk_size"}, 1};
    return reader<prophesee_chunks>(sig, args, nargs, kwnames);
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
    "as NumPy's astype does (t to uint64, x and y to uint16, p to uint8);\n"                            \
    "float values that have no integer counterpart (NaN, infinities, beyond\n"                          \
    "the 64-bit range) become 0.\n\n"                                                                   \
    "Raises:\n"                                                                                         \
    "    TypeError: path or chunk_size of the wrong type (at the call).\n"                              \
    "    ValueError: chunk_size below 1 (at the call).\n"

PyMethodDef inivation_def = {
    "read_iniVation", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_inivation)),
    METH_FASTCALL | METH_KEYWORDS,
    "read_iniVation(path, chunk_size=10000)\n--\n\n"
    "read_iniVation(path: str, chunk_size: int = 10000) -> Generator[np.ndarray, None, None]\n\n"
    "Read events from an iniVation AEDAT4 file.\n\n"
    "Requires dv-processing to be installed. The recording is read with\n"
    "dv_processing.io.MonoCameraRecording, batch by batch, while it is\n"
    "running; a batch of None ends the reading (the last chunk is still\n"
    "yielded). Fields timestamp, x, y, polarity become t, x, y, p.\n\n" DVS_COMMON_DOC
    "    ImportError: dv-processing is not installed (on the first next()).\n"
    "    Errors of the SDK (missing or corrupt file) propagate unchanged and\n"
    "    finish the generator.\n"};

PyMethodDef prophesee_def = {
    "read_prophesee", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_prophesee)),
    METH_FASTCALL | METH_KEYWORDS,
    "read_prophesee(path, chunk_size=10000)\n--\n\n"
    "read_prophesee(path: str, chunk_size: int = 10000) -> Generator[np.ndarray, None, None]\n\n"
    "Read events from a Prophesee RAW file using Metavision SDK.\n\n"
    "Requires metavision_core to be installed. The recording is read with\n"
    "metavision_core.event_io.EventsIterator(path, delta_t=0,\n"
    "max_duration=None); fields t, x, y, p keep their names.\n\n" DVS_COMMON_DOC
    "    ImportError: metavision_core is not installed (on the first next()).\n"
    "    Errors of the SDK (missing or corrupt file) propagate unchanged and\n"
    "    finish the generator.\n"};

const char* const kModuleDoc =
    "Readers of vendor event-camera recordings.\n\n"
    "iniVation AEDAT4 files through dv-processing, Prophesee RAW files through\n"
    "metavision_core. Each SDK is optional and imported only when a reader\n"
    "starts; both readers yield EVENT_DTYPE chunks of a fixed number of events.\n";

int exec_dvs(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Generator"});
            np::import_numpy();
            kit::add(m, "np", kit::import("numpy").get());
            np::import_event_dtype();
            kit::add(m, "EVENT_DTYPE", reinterpret_cast<PyObject*>(np::event_descr()));
            kit::init_generator_type(m, "morvel.io.dvs.generator");
            kit::add_function(m, &inivation_def);
            kit::add_function(m, &prophesee_def);
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(dvs, "morvel.io.dvs", kModuleDoc, exec_dvs)
