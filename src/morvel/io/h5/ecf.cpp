// Prophesee's /CD/events: ECF chunks read whole with read_direct_chunk and
// decoded here (kernels/ecf.hpp), so no vendor plugin is needed. A chunk
// stored with its filter skipped (filter mask bit 0) holds the records as
// they are: {x u16, y u16, p i16, t i64} in 16 bytes.

#include "h5.hpp"
#include "kit/buffer.hpp"
#include "kernels/ecf.hpp"
#include "kernels/h5_layouts.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace morvel::io::h5 {

namespace {

// The vendor's record layout, field by field.
bool is_cd_record(PyObject* dtype) {
    kit::DescrRef d = np::descr_from(dtype);
    if (!PyDataType_HASFIELDS(d.get()) || PyDataType_ELSIZE(d.get()) != 16) return false;
    PyObject* fields = PyDataType_FIELDS(d.get());
    const struct {
        const char* name;
        char kind;
        int size;
        long offset;
    } want[] = {{"x", 'u', 2, 0}, {"y", 'u', 2, 2}, {"p", 'i', 2, 4}, {"t", 'i', 8, 8}};
    for (const auto& w : want) {
        PyObject* entry = PyDict_GetItemStringRef(fields, w.name, &entry) == 1 ? entry : nullptr;
        Ref held = Ref::steal_or_null(entry);
        if (!held) {
            PyErr_Clear();
            return false;
        }
        auto* fd = reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(held.get(), 0));
        const long off = PyLong_AsLong(PyTuple_GET_ITEM(held.get(), 1));
        if (fd->kind != w.kind || PyDataType_ELSIZE(fd) != w.size || off != w.offset || !PyArray_ISNBO(fd->byteorder))
            return false;
    }
    return true;
}

}  // namespace

EcfSource::EcfSource(const H5&, Ref ds, PyObject* path) : ds_(std::move(ds)), path_(Ref::borrow(path)) {
    n_ = length_1d(ds_.get());
    chunk_ = chunk_length(ds_.get());
    if (chunk_ < 1 || static_cast<std::size_t>(chunk_) > kn::kEcfMaxEvents)
        refuse(PyExc_ValueError, "%S: ECF datasets come in chunks of 1 to %zu events, %R has %zd", path,
               kn::kEcfMaxEvents, ds_.get(), static_cast<Py_ssize_t>(chunk_));
    Ref dtype = kit::getattr(ds_.get(), "dtype");
    if (!is_cd_record(dtype.get()))
        refuse(PyExc_ValueError, "%S: %R must hold records {x u16, y u16, p i16, t i64} of 16 bytes, not %R", path,
               ds_.get(), dtype.get());
    id_ = kit::getattr(ds_.get(), "id");
    events_.resize(kn::kEcfMaxEvents);
}

// Decodes chunk `c` of the dataset: its events are written to `dest` when
// what its header says fits in `room` events, else to `scratch` (room for
// any chunk). Returns where they are; `count` is what the dataset holds in
// the chunk (the last may hold fewer).
Event* EcfSource::decode(npy_intp c, Event* dest, npy_intp room, npy_intp& count) {
    count = std::min(chunk_, n_ - c * chunk_);
    Ref offsets = tuple1(c * chunk_);
    Ref r = kit::call_method(id_.get(), "read_direct_chunk", offsets.get());
    if (!PyTuple_Check(r.get()) || PyTuple_GET_SIZE(r.get()) != 2)
        kit::raise(PyExc_TypeError, "read_direct_chunk gave %R", r.get());
    const long mask = PyLong_AsLong(PyTuple_GET_ITEM(r.get(), 0));
    if (mask == -1 && PyErr_Occurred()) kit::raise();
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(PyTuple_GET_ITEM(r.get(), 1), &bytes, &size) < 0) kit::raise();
    const auto* u = reinterpret_cast<const unsigned char*>(bytes);
    const auto at = static_cast<Py_ssize_t>(c);
    if (mask & 1) {  // stored as records
        if (size < static_cast<Py_ssize_t>(count) * 16)
            refuse(PyExc_ValueError, "%S: chunk %zd of %R holds %zd bytes, too few for its %zd records", path_.get(),
                   at, ds_.get(), size, static_cast<Py_ssize_t>(count));
        Event* out = count <= room ? dest : events_.data();
        const std::size_t done = kn::cd_records_to_events(u, static_cast<std::size_t>(count), out);
        if (done != static_cast<std::size_t>(count))
            refuse(PyExc_ValueError, "%S: chunk %zd of %R: event %zd has a negative time", path_.get(), at, ds_.get(),
                   static_cast<Py_ssize_t>(c * chunk_ + static_cast<npy_intp>(done)));
        return out;
    }
    kn::EcfHeader h{};
    if (!kn::ecf_read_header(u, static_cast<std::size_t>(size), h))
        refuse(PyExc_ValueError, "%S: ECF chunk %zd of %R is corrupt: %zd bytes, shorter than its header", path_.get(),
               at, ds_.get(), size);
    Event* out = static_cast<npy_intp>(h.n) <= room ? dest : events_.data();
    const npy_intp cap = out == dest ? room : static_cast<npy_intp>(events_.size());
    kn::EcfDecoded d;
    {
        // A chunk (16384 events: about 100 us) is worth letting other threads run.
        kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kit::kReleaseGilBytes / 8);
        d = kn::ecf_decode(u, static_cast<std::size_t>(size), out, static_cast<std::size_t>(cap));
    }
    if (d.error != kn::EcfError::none)
        refuse(PyExc_ValueError, "%S: ECF chunk %zd of %R is corrupt: %s (at byte %zu)", path_.get(), at, ds_.get(),
               kn::ecf_error_text(d.error), d.at);
    if (static_cast<npy_intp>(d.n) < count)
        refuse(PyExc_ValueError, "%S: ECF chunk %zd of %R is corrupt: it holds %zu events, the dataset has %zd there",
               path_.get(), at, ds_.get(), d.n, static_cast<Py_ssize_t>(count));
    return out;
}

void EcfSource::read_into(Event* out, npy_intp start, npy_intp end) {
    while (start < end) {
        const npy_intp c = start / chunk_;
        const npy_intp first = c * chunk_;
        npy_intp count = std::min(chunk_, n_ - first);
        const npy_intp m = std::min(end, first + count) - start;
        if (held_ != c && start == first && m == count) {
            // A whole chunk: straight into `out` where it fits.
            Event* at = decode(c, out, end - start, count);
            if (at != out) {  // the header said more than fits: decoded into the chunk buffer
                held_ = c;
                std::memcpy(out, at, static_cast<std::size_t>(m) * sizeof(Event));
            }
        } else {
            if (held_ != c) {
                held_ = -1;
                Event* at = decode(c, events_.data(), static_cast<npy_intp>(events_.size()), count);
                (void)at;
                held_ = c;
            }
            std::memcpy(out, events_.data() + (start - first), static_cast<std::size_t>(m) * sizeof(Event));
        }
        out += m;
        start += m;
    }
}

// ---------------------------------------------------------------------------
// One chunk from Python, for tests and for tools of one's own.

namespace {

constexpr auto kEncode = kit::function("_ecf_encode", "bytes", kit::Param{"events", "np.ndarray"},
                                       kit::Param{"mode", "Optional[str]", "None"});

PyObject* ecf_encode_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kEncode, args, nargs, kwnames);
        if (!PyArray_Check(a[0])) kit::raise_arg_type("events", "np.ndarray", a[0]);
        Ref events = np::as_events(a[0]);
        const auto n = static_cast<std::size_t>(np::length(events));
        std::optional<kn::EcfMode> mode;
        if (a[1] && a[1] != Py_None) {
            PyObject* m = kit::arg_str(a[1], "mode");
            if (PyUnicode_CompareWithASCIIString(m, "yxp") == 0) mode = kn::EcfMode::yxp_packed;
            else if (PyUnicode_CompareWithASCIIString(m, "xp") == 0) mode = kn::EcfMode::xp_packed;
            else if (PyUnicode_CompareWithASCIIString(m, "codes") == 0) mode = kn::EcfMode::codes;
            else kit::raise(PyExc_ValueError, "mode must be None, 'yxp', 'xp' or 'codes', got %R", a[1]);
        }
        std::vector<unsigned char> out(kn::ecf_max_encoded_size(n));
        const Event* ev = np::events_data(events);
        const kn::EcfEncoded e = mode ? kn::ecf_encode_mode(ev, n, *mode, out.data()) : kn::ecf_encode(ev, n, out.data());
        if (e.error != kn::EcfEncodeError::none) {
            if (e.error == kn::EcfEncodeError::too_many_events)
                kit::raise(PyExc_ValueError, "an ECF chunk holds at most %zu events, got %zu", kn::kEcfMaxEvents, n);
            kit::raise(PyExc_ValueError, "event %zu cannot be written as ECF: %s", e.at, kn::ecf_encode_error_text(e.error));
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(e.size));
    });
}

constexpr auto kDecode = kit::function("_ecf_decode", "np.ndarray", kit::Param{"data", "bytes"});

PyObject* ecf_decode_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDecode, args, nargs, kwnames);
        kit::Buffer data(a[0], "data must be a bytes-like object, not %s");
        kn::EcfHeader h{};
        if (!kn::ecf_read_header(data.data(), data.size(), h))
            kit::raise(PyExc_ValueError, "an ECF chunk starts with a 12-byte header, got %zu bytes", data.size());
        if (h.n > kn::kEcfMaxEvents)
            kit::raise(PyExc_ValueError, "the ECF header says %u events; a chunk holds at most %zu", unsigned{h.n},
                       kn::kEcfMaxEvents);
        Ref out = np::empty(static_cast<npy_intp>(h.n));
        const kn::EcfDecoded d = kn::ecf_decode(data.data(), data.size(), np::events_data(out), h.n);
        if (d.error != kn::EcfError::none)
            kit::raise(PyExc_ValueError, "corrupt ECF chunk: %s (at byte %zu)", kn::ecf_error_text(d.error), d.at);
        return out.release();
    });
}

const char* const kEncodeDoc =
    "Encode events (at most 65535, in time order) as one ECF chunk.\n\n"
    "``mode`` \"yxp\" (y, x and p packed in words), \"xp\" (y codes, x and p\n"
    "packed) or \"codes\" (y, x and p codes); None picks the one of fewest\n"
    "bytes among those that hold the events. ValueError for events a chunk\n"
    "cannot hold (decreasing t, x >= 2048, y >= 4096 or, but for \"yxp\",\n"
    ">= 2048, p other than 0 and 1), naming the first.\n";

const char* const kDecodeDoc =
    "Decode one ECF chunk into an EVENT_DTYPE array.\n\n"
    "ValueError for a corrupt chunk (codes that run past its bytes or past\n"
    "its events), naming the fault and its byte.\n";

}  // namespace

void add_ecf_functions(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kEncode, ecf_encode_fn, kEncodeDoc),
        kit::def(kDecode, ecf_decode_fn, kDecodeDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::h5
