// morvel.io.h5: HDF5 event files. Layout configuration and detection, whole
// file read and write, the chunked reader and the buffered streaming writer.
//
// h5py does the file work, called through the C API; columns travel between
// h5py and event records through reusable buffers of a few megabytes, so a
// whole-file read allocates only its result, and the casting, interleaving
// and splitting run in the column kernels (src/kernels/columns.hpp).

#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/columns.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <numeric>
#include <optional>
#include <vector>

#include <structmember.h>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

using kit::kReleaseGilBytes;
// Events moved between h5py and the records per block (about 3 MB of columns).
constexpr npy_intp kBlockEvents = 1 << 18;
// Largest chunk of the whole-file writer.
constexpr npy_intp kWriteChunk = 100000;
// Largest chunk of the streaming writer: HDF5 chunks stay below 4 GiB.
constexpr long long kMaxChunk = (1LL << 32) / 8 - 1;
constexpr const char* kFormat = "z1a_events_v1";

// The module's namespace (for _h5py) and DEFAULT_H5_CONFIG, for the life of
// the process (the module is initialised once).
PyObject* g_module_dict = nullptr;
PyObject* g_default_config = nullptr;

// The event fields in record order and their column types.
struct FieldSpec {
    const char* name;
    int typenum;
};
constexpr std::array<FieldSpec, 4> kFields{{{"t", NPY_UINT64}, {"x", NPY_UINT16}, {"y", NPY_UINT16}, {"p", NPY_UINT8}}};

kn::NumType target_type(int typenum) {
    switch (typenum) {
        case NPY_UINT64: return kn::NumType::u64;
        case NPY_UINT16: return kn::NumType::u16;
        default: return kn::NumType::u8;
    }
}

Ref descr_of_type(int typenum) { return Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum))); }
PyArray_Descr* as_descr(const Ref& r) { return reinterpret_cast<PyArray_Descr*>(r.get()); }

Ref tuple1(npy_intp v) { return kit::check(Py_BuildValue("(n)", static_cast<Py_ssize_t>(v))); }

Ref slice(npy_intp start, npy_intp stop) {
    return kit::check(PySlice_New(kit::from_ssize(start).get(), kit::from_ssize(stop).get(), nullptr));
}

// The first `count` elements of a contiguous 1-d array (the array itself when whole).
Ref prefix(const Ref& a, npy_intp count) {
    if (count == np::length(a)) return a.copy();
    return np::slice_view(a, 0, count);
}

// Element type of a NumPy descriptor as the kernels know it; none for types
// they do not handle (float16, complex, strings, records, ...). With
// `any_order`, a byte-swapped type is taken as its native twin (h5py converts
// byte order on reading).
std::optional<kn::NumType> num_type(PyArray_Descr* d, bool any_order) {
    if (PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) return std::nullopt;
    if (!any_order && !PyArray_ISNBO(d->byteorder)) return std::nullopt;
    const auto size = PyDataType_ELSIZE(d);
    switch (d->kind) {
        case 'b':
            if (size == 1) return kn::NumType::u8;
            break;
        case 'i':
            if (size == 1) return kn::NumType::i8;
            if (size == 2) return kn::NumType::i16;
            if (size == 4) return kn::NumType::i32;
            if (size == 8) return kn::NumType::i64;
            break;
        case 'u':
            if (size == 1) return kn::NumType::u8;
            if (size == 2) return kn::NumType::u16;
            if (size == 4) return kn::NumType::u32;
            if (size == 8) return kn::NumType::u64;
            break;
        case 'f':
            if (size == 4) return kn::NumType::f32;
            if (size == 8) return kn::NumType::f64;
            break;
        default: break;
    }
    return std::nullopt;
}

Ref descr_from(PyObject* dtype_like) {
    PyArray_Descr* d = nullptr;
    if (!PyArray_DescrConverter(dtype_like, &d)) kit::raise();
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

// `path` as text for h5py: str() of it, with bytes (and paths made of bytes)
// decoded with the file-system encoding rather than shown as "b'...'".
Ref path_text(PyObject* path) {
    if (PyUnicode_CheckExact(path)) return Ref::borrow(path);
    Ref fs = Ref::steal_or_null(PyOS_FSPath(path));
    if (!fs) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) kit::raise();
        PyErr_Clear();
        fs = Ref::borrow(path);
    }
    if (PyBytes_Check(fs.get()))
        return kit::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fs.get()), PyBytes_GET_SIZE(fs.get())));
    return kit::check(PyObject_Str(fs.get()));
}

// ---------------------------------------------------------------------------
// h5py, loaded on first use.

const char* const kMissingH5py = "h5py is required for H5 event I/O. Install it with: pip install h5py";

Ref ensure_h5py() {
    PyObject* cur = nullptr;
    kit::check(PyDict_GetItemStringRef(g_module_dict, "_h5py", &cur));
    Ref current = Ref::steal_or_null(cur);
    if (current && current.get() != Py_None) return current;
    PyObject* mod = PyImport_ImportModule("h5py");
    if (!mod) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* original = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_ImportError, kMissingH5py);
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetContext(exc, original);  // steals `original`
            PyErr_SetRaisedException(exc);
        }
        kit::raise();
    }
    Ref m = Ref::steal(mod);
    kit::check(PyDict_SetItemString(g_module_dict, "_h5py", m.get()));
    return m;
}

// The parts of h5py the readers and writers call.
struct H5 {
    Ref mod;
    Ref file_type;      // h5py.File
    Ref dataset_type;   // h5py.Dataset
    Ref create_simple;  // h5py.h5s.create_simple
    Ref py_create;      // h5py.h5t.py_create

    // From the h5py module; from null, a stand-in for which nothing is an
    // h5py dataset.
    explicit H5(Ref m) : mod(std::move(m)) {
        if (!mod) return;
        file_type = kit::getattr(mod.get(), "File");
        dataset_type = kit::getattr(mod.get(), "Dataset");
        create_simple = kit::getattr(kit::getattr(mod.get(), "h5s").get(), "create_simple");
        py_create = kit::getattr(kit::getattr(mod.get(), "h5t").get(), "py_create");
    }
    bool is_dataset(PyObject* o) const {
        return dataset_type && kit::check(PyObject_IsInstance(o, dataset_type.get())) == 1;
    }
};

// Close an h5py File on a way out that may already carry an error: that
// error is kept; a failure to close is reported as unraisable only when there
// is none to report.
void close_quietly(Ref& file) noexcept {
    if (!file) return;
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallMethod(file.get(), "close", nullptr);
    if (r) {
        Py_DECREF(r);
    } else if (pending) {
        PyErr_Clear();
    } else {
        PyErr_WriteUnraisable(file.get());
    }
    file.reset();
    PyErr_SetRaisedException(pending);
}

// Whether HDF5's chunk cache is used. Bulk reads and writes move whole
// chunks, which HDF5 then copies straight between file and buffer; through
// the cache they cost a second copy. Single-element probes want the cache.
enum class ChunkCache { off, on };

// An h5py File, closed when the scope ends (errors included). `close()` on
// the normal way out reports a failure to close.
class H5File {
public:
    H5File(const H5& h5, PyObject* path, const char* mode, ChunkCache cache) {
        Ref args = kit::check(Py_BuildValue("(Os)", path, mode));
        Ref kw = cache == ChunkCache::off ? kit::check(Py_BuildValue("{si}", "rdcc_nbytes", 0)) : Ref();
        file_ = kit::check(PyObject_Call(h5.file_type.get(), args.get(), kw.get()));
    }
    H5File(const H5File&) = delete;
    H5File& operator=(const H5File&) = delete;
    ~H5File() { close_quietly(file_); }

    PyObject* get() const noexcept { return file_.get(); }
    void close() {
        Ref f = std::move(file_);
        kit::call_method(f.get(), "close");
    }
    Ref release() noexcept { return std::move(file_); }

private:
    Ref file_;
};

// ---------------------------------------------------------------------------
// Configuration and layout detection.

struct Config {
    Ref events_group, timestamp_key, x_key, y_key, polarity_key, compound_key;
    bool group_set = false;     // events_group non-empty: a group, else the root
    bool compound_set = false;  // compound_key truthy

    std::array<PyObject*, 4> keys() const {
        return {timestamp_key.get(), x_key.get(), y_key.get(), polarity_key.get()};
    }
};

// The configuration given, or DEFAULT_H5_CONFIG for None (or any false value).
PyObject* config_or_default(PyObject* config) {
    if (config && config != Py_None && kit::check(PyObject_IsTrue(config))) return config;
    return g_default_config;
}

Config load_config(PyObject* config) {
    PyObject* c = config_or_default(config);
    Config r;
    r.events_group = kit::getattr(c, "events_group");
    r.timestamp_key = kit::getattr(c, "timestamp_key");
    r.x_key = kit::getattr(c, "x_key");
    r.y_key = kit::getattr(c, "y_key");
    r.polarity_key = kit::getattr(c, "polarity_key");
    r.compound_key = kit::getattr(c, "compound_key");
    r.group_set = kit::check(PyObject_IsTrue(r.events_group.get())) == 1;
    r.compound_set = kit::check(PyObject_IsTrue(r.compound_key.get())) == 1;
    return r;
}

Ref group_of(PyObject* file, const Config& c) {
    if (c.group_set) return kit::check(PyObject_GetItem(file, c.events_group.get()));
    return Ref::borrow(file);
}

bool contains(PyObject* group, PyObject* name) { return kit::check(PySequence_Contains(group, name)) == 1; }

// The item's element type has field names. Items without an element type
// (groups) have none.
bool has_field_names(PyObject* item) {
    Ref dtype = Ref::steal_or_null(PyObject_GetAttrString(item, "dtype"));
    if (!dtype) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
        PyErr_Clear();
        return false;
    }
    return kit::getattr(dtype.get(), "names").get() != Py_None;
}

enum class Layout { compound, separate, compound_fallback };

const char* layout_name(Layout l) {
    switch (l) {
        case Layout::compound: return "compound";
        case Layout::separate: return "separate";
        default: return "compound_fallback";
    }
}

Layout detect_layout(PyObject* file, const Config& c) {
    Ref g = group_of(file, c);
    if (c.compound_set && contains(g.get(), c.compound_key.get())) {
        Ref item = kit::check(PyObject_GetItem(g.get(), c.compound_key.get()));
        if (has_field_names(item.get())) return Layout::compound;
    }
    if (contains(g.get(), c.timestamp_key.get())) return Layout::separate;
    Ref events = kit::str("events");
    if (contains(g.get(), events.get())) {
        Ref item = kit::check(PyObject_GetItem(g.get(), events.get()));
        if (has_field_names(item.get())) return Layout::compound_fallback;
    }
    kit::raise(PyExc_ValueError,
               "Cannot detect H5 event layout. Expected either separate datasets (%S, %S, ...) or a compound "
               "dataset in group '%S'",
               c.timestamp_key.get(), c.x_key.get(), c.events_group.get());
}

// The dataset of a compound layout: `compound_key` for "compound", "events"
// for the fallback.
Ref compound_dataset(PyObject* group, const Config& c, Layout layout) {
    if (layout == Layout::compound) return kit::check(PyObject_GetItem(group, c.compound_key.get()));
    Ref events = kit::str("events");
    return kit::check(PyObject_GetItem(group, events.get()));
}

// Length of a one-dimensional dataset (or array).
npy_intp length_1d(PyObject* ds) {
    Ref shape = kit::getattr(ds, "shape");
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1)
        kit::raise(PyExc_ValueError, "%R must be one-dimensional (shape %R)", ds, shape.get());
    const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    if (n == -1 && PyErr_Occurred()) kit::raise();
    return n;
}

// Chunk length of a one-dimensional dataset; 0 when it is not chunked (or
// not an h5py dataset).
npy_intp chunk_length(PyObject* ds) {
    Ref chunks = Ref::steal_or_null(PyObject_GetAttrString(ds, "chunks"));
    if (!chunks) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
        PyErr_Clear();
        return 0;
    }
    if (!PyTuple_Check(chunks.get()) || PyTuple_GET_SIZE(chunks.get()) != 1) return 0;
    const Py_ssize_t c = PyLong_AsSsize_t(PyTuple_GET_ITEM(chunks.get(), 0));
    if (c == -1 && PyErr_Occurred()) kit::raise();
    return std::max<npy_intp>(c, 0);
}

// Events per block for datasets read side by side: about kBlockEvents, and a
// whole number of chunks of each of them, so that blocks starting at 0 read
// every chunk once (a compressed chunk read in parts would be decompressed
// for each part, the chunk cache being off).
npy_intp block_for(std::initializer_list<npy_intp> chunk_lengths) {
    npy_intp align = 0, largest = 0;
    for (npy_intp c : chunk_lengths) {
        if (c <= 0) continue;
        largest = std::max(largest, c);
        align = align ? std::lcm(align, c) : c;
        if (align > 4 * kBlockEvents) align = -1;  // no common multiple worth having
        if (align < 0) break;
    }
    if (align < 0) align = largest;
    if (align == 0) return kBlockEvents;
    return align * std::max<npy_intp>(1, kBlockEvents / align);
}

// ---------------------------------------------------------------------------
// Reading columns.

// A source column held alive with the object that owns its memory.
struct Column {
    Ref holder;
    kn::SrcColumn col{};
};

// A 1-d array as a source column for a field of type `typenum`; arrays of
// types the kernels do not handle are first cast by NumPy.
Column column_of(Ref arr, int typenum) {
    auto* a = np::arr(arr);
    auto t = num_type(PyArray_DESCR(a), false);
    if (!t) {
        arr = kit::check(PyArray_CastToType(a, PyArray_DescrFromType(typenum), 0));
        a = np::arr(arr);
        t = target_type(typenum);
    }
    const kn::SrcColumn col{PyArray_DATA(a), PyArray_STRIDE(a, 0), *t};
    return Column{std::move(arr), col};
}

// Reads one dataset of the separate layout block by block. An h5py dataset
// of a plain numeric type is read by h5py's low-level call straight into a
// reusable buffer of its own (native) type; anything else (other element
// types, array-like objects) is sliced and converted by NumPy.
class ColumnReader {
public:
    ColumnReader(const H5& h5, Ref ds, int typenum, npy_intp capacity)
        : ds_(std::move(ds)), typenum_(typenum), capacity_(capacity) {
        if (!h5.is_dataset(ds_.get())) return;
        Ref descr = descr_from(kit::getattr(ds_.get(), "dtype").get());
        auto t = num_type(as_descr(descr), true);
        if (!t) return;
        Ref native = kit::check(reinterpret_cast<PyObject*>(PyArray_DescrNewByteorder(as_descr(descr), NPY_NATIVE)));
        buffer_ = np::empty(capacity_, as_descr(native));
        mtype_ = kit::call(h5.py_create.get(), native.get());
        id_ = kit::getattr(ds_.get(), "id");
        create_simple_ = h5.create_simple.copy();
        col_ = kn::SrcColumn{PyArray_DATA(np::arr(buffer_)), static_cast<std::ptrdiff_t>(PyDataType_ELSIZE(as_descr(native))), *t};
    }

    // Read elements [start, start + count), count <= capacity.
    void read(npy_intp start, npy_intp count) {
        if (count == 0) return;
        if (buffer_) {
            Ref space = kit::call_method(id_.get(), "get_space");
            kit::call_method(space.get(), "select_hyperslab", tuple1(start).get(), tuple1(count).get());
            if (count != mspace_count_) {
                mspace_ = kit::call(create_simple_.get(), tuple1(count).get());
                mspace_count_ = count;
            }
            Ref dest = prefix(buffer_, count);
            kit::call_method(id_.get(), "read", mspace_.get(), space.get(), dest.get(), mtype_.get());
            return;
        }
        Ref raw = kit::check(PyObject_GetItem(ds_.get(), slice(start, start + count).get()));
        Ref arr = kit::check(PyArray_FromAny(raw.get(), nullptr, 1, 1, 0, nullptr));
        if (PyArray_DIM(np::arr(arr), 0) != count)
            kit::raise(PyExc_ValueError, "%R gave %zd values for %zd requested", ds_.get(),
                       static_cast<Py_ssize_t>(PyArray_DIM(np::arr(arr), 0)), static_cast<Py_ssize_t>(count));
        if (num_type(PyArray_DESCR(np::arr(arr)), false)) {
            held_ = column_of(std::move(arr), typenum_);
            col_ = held_.col;
            return;
        }
        if (!cast_) cast_ = np::empty(capacity_, as_descr(descr_of_type(typenum_)));
        Ref dest = prefix(cast_, count);
        kit::check(PyArray_CopyInto(np::arr(dest), np::arr(arr)));
        col_ = kn::SrcColumn{PyArray_DATA(np::arr(cast_)), static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(np::arr(cast_))),
                             target_type(typenum_)};
    }

    const kn::SrcColumn& column() const noexcept { return col_; }

private:
    Ref ds_;
    int typenum_;
    npy_intp capacity_;
    Ref id_, mtype_, buffer_, create_simple_, mspace_;
    npy_intp mspace_count_ = -1;
    Ref cast_;     // target-typed buffer for NumPy conversions
    Column held_;  // a slice used in place
    kn::SrcColumn col_{};
};

// Interleaves `count` events from the columns, starting `offset` rows in.
void interleave_block(Event* out, npy_intp count, std::array<kn::SrcColumn, 4> c, npy_intp offset) {
    for (kn::SrcColumn& col : c) col.data = static_cast<const char*>(col.data) + offset * col.stride;
    kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kReleaseGilBytes);
    kn::interleave(out, static_cast<std::size_t>(count), c[0], c[1], c[2], c[3]);
}

// The four datasets of the separate layout in a group. Events are read into
// a window of column buffers and interleaved from there. With read-ahead (for
// consecutive chunks) each window is a whole block of HDF5 chunks, whatever
// the sizes asked for; without, a window never reaches past the request.
class SeparateSource {
public:
    // `max_request`: the most events one read_into call will ask for.
    SeparateSource(const H5& h5, PyObject* group, const Config& c, npy_intp max_request, bool read_ahead)
        : read_ahead_(read_ahead) {
        std::array<Ref, 4> ds;
        const auto keys = c.keys();
        for (std::size_t i = 0; i < 4; ++i) ds[i] = kit::check(PyObject_GetItem(group, keys[i]));
        n_ = length_1d(ds[0].get());
        for (std::size_t i = 1; i < 4; ++i) {
            const npy_intp len = length_1d(ds[i].get());
            if (len != n_)
                kit::raise(PyExc_ValueError, "%R has %zd elements but the timestamp dataset has %zd", ds[i].get(),
                           static_cast<Py_ssize_t>(len), static_cast<Py_ssize_t>(n_));
        }
        const npy_intp block = block_for({chunk_length(ds[0].get()), chunk_length(ds[1].get()),
                                          chunk_length(ds[2].get()), chunk_length(ds[3].get())});
        block_ = std::max<npy_intp>(1, std::min(block, n_));
        if (!read_ahead_) block_ = std::min(block_, std::max<npy_intp>(max_request, 1));
        readers_.reserve(4);
        for (std::size_t i = 0; i < 4; ++i) readers_.emplace_back(h5, std::move(ds[i]), kFields[i].typenum, block_);
    }

    npy_intp size() const noexcept { return n_; }

    // Events [start, end) into out[0, end - start).
    void read_into(Event* out, npy_intp start, npy_intp end) {
        while (start < end) {
            if (start < win_start_ || start >= win_end_) {
                win_start_ = start;
                win_end_ = std::min(read_ahead_ ? n_ : end, start + block_);
                for (auto& r : readers_) r.read(win_start_, win_end_ - win_start_);
            }
            const npy_intp m = std::min(end, win_end_) - start;
            const npy_intp offset = start - win_start_;
            interleave_block(out, m, {readers_[0].column(), readers_[1].column(), readers_[2].column(),
                                      readers_[3].column()}, offset);
            out += m;
            start += m;
        }
    }

    Ref read(npy_intp start, npy_intp end) {
        Ref out = np::empty(end - start);
        read_into(np::events_data(out), start, end);
        return out;
    }

private:
    bool read_ahead_;
    npy_intp n_ = 0;
    npy_intp block_ = 1;
    npy_intp win_start_ = 0, win_end_ = 0;  // events held by the column buffers
    std::vector<ColumnReader> readers_;
};

// A compound dataset: which field feeds which event field, and how to read
// it. Records are read into a window of raw records and interleaved from
// there, with read-ahead as for SeparateSource. When each chosen field is
// unsigned of its target's width, h5py reads them straight into our record
// layout (and a window is then copied as it is).
class CompoundSource {
public:
    CompoundSource(const H5& h5, Ref ds, npy_intp max_request, bool read_ahead)
        : ds_(std::move(ds)), read_ahead_(read_ahead) {
        n_ = length_1d(ds_.get());
        Ref dtype = kit::getattr(ds_.get(), "dtype");
        Ref names = kit::getattr(dtype.get(), "names");
        if (!PyTuple_Check(names.get()))
            kit::raise(PyExc_ValueError, "%R is not a compound dataset: its element type has no fields", ds_.get());
        auto pick = [&](const char* first, const char* second, Py_ssize_t index) {
            for (const char* want : {first, second}) {
                if (!want) continue;
                Ref w = kit::str(want);
                if (contains(names.get(), w.get())) return w;
            }
            return Ref::borrow(kit::tuple_item(names.get(), index));
        };
        names_[0] = pick("t", "timestamp", 0);
        names_[1] = pick("x", nullptr, 1);
        names_[2] = pick("y", nullptr, 2);
        names_[3] = pick("p", "polarity", 3);
        block_ = std::max<npy_intp>(1, std::min(block_for({chunk_length(ds_.get())}), n_));
        if (!read_ahead_) block_ = std::min(block_, std::max<npy_intp>(max_request, 1));
        if (!h5.is_dataset(ds_.get())) return;
        direct_ = direct_descr(dtype.get());
        Ref descr = descr_from(dtype.get());
        if (!PyDataType_REFCHK(as_descr(descr))) raw_descr_ = std::move(descr);  // else h5py's slicing converts
    }

    npy_intp size() const noexcept { return n_; }

    // Records [start, end) into out[0, end - start).
    void read_into(Event* out, npy_intp start, npy_intp end) {
        if (direct_ && !read_ahead_) {  // no window needed: straight into the result
            if (end > start) read_direct(out, start, end);
            return;
        }
        while (start < end) {
            if (start < win_start_ || start >= win_end_) load(start, std::min(read_ahead_ ? n_ : end, start + block_));
            const npy_intp m = std::min(end, win_end_) - start;
            const npy_intp offset = start - win_start_;
            if (direct_) {
                std::memcpy(out, np::events_data(window_) + offset, static_cast<std::size_t>(m) * sizeof(Event));
            } else {
                interleave_block(out, m, {cols_[0].col, cols_[1].col, cols_[2].col, cols_[3].col}, offset);
            }
            out += m;
            start += m;
        }
    }

    Ref read(npy_intp start, npy_intp end) {
        Ref out = np::empty(end - start);
        read_into(np::events_data(out), start, end);
        return out;
    }

private:
    // Records [start, stop) of the dataset into `dest` (records of our layout).
    void read_direct(Event* dest, npy_intp start, npy_intp stop) {
        npy_intp count = stop - start;
        Py_INCREF(direct_.get());  // stolen by the constructor
        Ref view = kit::check(PyArray_NewFromDescr(&PyArray_Type, as_descr(direct_), 1, &count, nullptr, dest,
                                                   NPY_ARRAY_CARRAY, nullptr));
        kit::call_method(ds_.get(), "read_direct", view.get(), slice(start, stop).get());
    }

    void load(npy_intp start, npy_intp stop) {
        win_start_ = win_end_ = 0;
        if (!window_ && (direct_ || raw_descr_)) window_ = direct_ ? np::empty(block_) : np::empty(block_, as_descr(raw_descr_));
        if (direct_) {
            read_direct(np::events_data(window_), start, stop);
        } else {
            Ref raw;
            if (window_) {
                raw = prefix(window_, stop - start);
                kit::call_method(ds_.get(), "read_direct", raw.get(), slice(start, stop).get());
            } else {
                raw = kit::check(PyObject_GetItem(ds_.get(), slice(start, stop).get()));
            }
            for (std::size_t i = 0; i < 4; ++i) {
                Ref field = kit::check(PyObject_GetItem(raw.get(), names_[i].get()));
                Ref arr = kit::check(PyArray_FromAny(field.get(), nullptr, 1, 1, 0, nullptr));
                if (PyArray_DIM(np::arr(arr), 0) != stop - start)
                    kit::raise(PyExc_ValueError, "%R gave %zd records for %zd requested", ds_.get(),
                               static_cast<Py_ssize_t>(PyArray_DIM(np::arr(arr), 0)),
                               static_cast<Py_ssize_t>(stop - start));
                cols_[i] = column_of(std::move(arr), kFields[i].typenum);
            }
        }
        win_start_ = start;
        win_end_ = stop;
    }

private:
    // A record type laid out as ours whose fields carry the chosen source
    // names, when each chosen field is unsigned of its target's width and no
    // field feeds two targets: h5py then reads straight into the result.
    // Null otherwise.
    Ref direct_descr(PyObject* dtype) const {
        Ref d = descr_from(dtype);
        PyObject* fields = PyDataType_FIELDS(as_descr(d));
        for (std::size_t i = 0; i < 4; ++i) {
            for (std::size_t j = 0; j < i; ++j)
                if (kit::check(PyObject_RichCompareBool(names_[i].get(), names_[j].get(), Py_EQ))) return Ref();
            PyObject* entry = PyDict_GetItemWithError(fields, names_[i].get());  // (descr, offset[, title])
            if (!entry) {
                if (PyErr_Occurred()) kit::raise();
                return Ref();
            }
            auto* fd = reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(entry, 0));
            PyArray_Descr* want = PyArray_DescrFromType(kFields[i].typenum);
            const bool same = fd->kind == 'u' && !PyDataType_HASFIELDS(fd) && !PyDataType_HASSUBARRAY(fd) &&
                              PyDataType_ELSIZE(fd) == PyDataType_ELSIZE(want);
            Py_DECREF(want);
            if (!same) return Ref();
        }
        Ref spec = kit::check(Py_BuildValue("{s[OOOO]s[ssss]s[iiii]si}", "names", names_[0].get(), names_[1].get(),
                                            names_[2].get(), names_[3].get(), "formats", "<u8", "<u2", "<u2", "u1",
                                            "offsets", 0, 8, 10, 12, "itemsize", 13));
        return descr_from(spec.get());
    }

    Ref ds_;
    bool read_ahead_;
    npy_intp n_ = 0;
    npy_intp block_ = 1;
    std::array<Ref, 4> names_;
    Ref direct_;     // our record layout under the chosen names, or null
    Ref raw_descr_;  // the dataset's record type, when h5py can read into it
    Ref window_;     // reusable records (h5py datasets), `block_` of them
    npy_intp win_start_ = 0, win_end_ = 0;
    std::array<Column, 4> cols_;  // the window's chosen fields
};

// ---------------------------------------------------------------------------
// Writing columns.

struct Compression {
    Ref filter;  // null: uncompressed
    Ref level;   // null: no options
};

Compression check_compression(PyObject* compression, long long level) {
    Compression c;
    if (!compression || PyUnicode_GET_LENGTH(compression) == 0) return c;
    if (PyUnicode_CompareWithASCIIString(compression, "gzip") == 0) {
        if (level < 0 || level > 9)
            kit::raise(PyExc_ValueError, "compression_opts must be a gzip level from 0 to 9, got %lld", level);
        c.level = kit::from_ll(level);
    } else if (PyUnicode_CompareWithASCIIString(compression, "lzf") != 0) {
        kit::raise(PyExc_ValueError, "compression must be None, 'gzip' or 'lzf', got %R", compression);
    }
    c.filter = Ref::borrow(compression);
    return c;
}

// Create a one-dimensional dataset of `n` elements; chunked when chunk > 0
// (compressed as asked), unlimited when asked.
Ref create_column(PyObject* group, PyObject* name, int typenum, npy_intp n, npy_intp chunk, const Compression& comp,
                  bool unlimited) {
    Ref kw = kit::check(PyDict_New());
    kit::check(PyDict_SetItemString(kw.get(), "shape", tuple1(n).get()));
    kit::check(PyDict_SetItemString(kw.get(), "dtype", descr_of_type(typenum).get()));
    if (chunk > 0) {
        kit::check(PyDict_SetItemString(kw.get(), "chunks", tuple1(chunk).get()));
        if (comp.filter) {
            kit::check(PyDict_SetItemString(kw.get(), "compression", comp.filter.get()));
            if (comp.level) kit::check(PyDict_SetItemString(kw.get(), "compression_opts", comp.level.get()));
        }
    }
    if (unlimited) {
        Ref none_max = kit::check(Py_BuildValue("(O)", Py_None));
        kit::check(PyDict_SetItemString(kw.get(), "maxshape", none_max.get()));
    }
    Ref create = kit::getattr(group, "create_dataset");
    Ref args = kit::check(PyTuple_Pack(1, name));
    return kit::check(PyObject_Call(create.get(), args.get(), kw.get()));
}

// The four sources of events given to a writer.
struct EventSource {
    npy_intp n = 0;
    std::array<Column, 4> cols;

    std::array<kn::SrcColumn, 4> from(npy_intp first) const {
        std::array<kn::SrcColumn, 4> r;
        for (std::size_t i = 0; i < 4; ++i) {
            r[i] = cols[i].col;
            r[i].data = static_cast<const char*>(r[i].data) + first * r[i].stride;
        }
        return r;
    }
};

// Fields t, x, y, p of `events` (a structured array, or anything with a
// length whose items by those names are arrays of that length).
EventSource resolve_events(PyObject* events) {
    if (PyArray_Check(events)) {
        auto* a = reinterpret_cast<PyArrayObject*>(events);
        PyArray_Descr* d = PyArray_DESCR(a);
        if (!PyDataType_HASFIELDS(d))
            kit::raise(PyExc_ValueError, "events must be a structured array with fields t, x, y, p (got dtype %R)",
                       reinterpret_cast<PyObject*>(d));
        for (const auto& f : kFields) {
            PyObject* v = nullptr;
            kit::check(PyDict_GetItemStringRef(PyDataType_FIELDS(d), f.name, &v));
            if (!v)
                kit::raise(PyExc_ValueError, "events has no field '%s' (fields t, x, y, p are needed, got dtype %R)",
                           f.name, reinterpret_cast<PyObject*>(d));
            Py_DECREF(v);
        }
        if (PyArray_NDIM(a) != 1)
            kit::raise(PyExc_ValueError, "events must be one-dimensional, got %d dimensions", PyArray_NDIM(a));
    }
    EventSource s;
    s.n = PyObject_Size(events);
    if (s.n < 0) kit::raise();
    for (std::size_t i = 0; i < 4; ++i) {
        Ref name = kit::str(kFields[i].name);
        Ref field = kit::check(PyObject_GetItem(events, name.get()));
        Ref arr = kit::check(PyArray_FromAny(field.get(), nullptr, 0, 0, 0, nullptr));
        auto* a = np::arr(arr);
        if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != s.n) {
            Ref shape = kit::getattr(arr.get(), "shape");
            kit::raise(PyExc_ValueError, "field '%s' of events must hold %zd values, its shape is %R", kFields[i].name,
                       static_cast<Py_ssize_t>(s.n), shape.get());
        }
        s.cols[i] = column_of(std::move(arr), kFields[i].typenum);
    }
    return s;
}

// Contiguous staging columns of `capacity` elements.
struct Stage {
    std::array<Ref, 4> cols;

    explicit Stage(npy_intp capacity) {
        for (std::size_t i = 0; i < 4; ++i) cols[i] = np::empty(capacity, as_descr(descr_of_type(kFields[i].typenum)));
    }
    Stage() = default;

    template <class T>
    T* data(std::size_t i) const {
        return static_cast<T*>(PyArray_DATA(np::arr(cols[i])));
    }
    kn::EventColumns at(npy_intp offset) const {
        return kn::EventColumns{data<std::uint64_t>(0) + offset, data<std::uint16_t>(1) + offset,
                                data<std::uint16_t>(2) + offset, data<std::uint8_t>(3) + offset};
    }
};

kn::Range split_block(const Stage& stage, npy_intp offset, const EventSource& src, npy_intp first, npy_intp count) {
    const auto c = src.from(first);
    kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kReleaseGilBytes);
    return kn::split(stage.at(offset), static_cast<std::size_t>(count), c[0], c[1], c[2], c[3]);
}

// Write the first `count` staged elements of column `i` at `offset` of a dataset.
void write_column(const Ref& create_simple, PyObject* dsid, PyObject* mtype, const Ref& staged, npy_intp offset,
                  npy_intp count) {
    Ref space = kit::call_method(dsid, "get_space");
    kit::call_method(space.get(), "select_hyperslab", tuple1(offset).get(), tuple1(count).get());
    Ref mspace = kit::call(create_simple.get(), tuple1(count).get());
    Ref src = prefix(staged, count);
    kit::call_method(dsid, "write", mspace.get(), space.get(), src.get(), mtype);
}

void set_attr(PyObject* attrs, const char* name, PyObject* value) {
    Ref key = kit::str(name);
    kit::check(PyObject_SetItem(attrs, key.get(), value));
}

// "n_events", "format", the sensor size and the time span of a group.
void write_attributes(PyObject* attrs, npy_intp n, PyObject* sensor_size, const kn::Range& t) {
    set_attr(attrs, "n_events", kit::from_ssize(n).get());
    set_attr(attrs, "format", kit::str(kFormat).get());
    if (sensor_size) {
        set_attr(attrs, "sensor_width", PyTuple_GET_ITEM(sensor_size, 0));
        set_attr(attrs, "sensor_height", PyTuple_GET_ITEM(sensor_size, 1));
    }
    if (n > 0 && !t.empty()) {
        set_attr(attrs, "t_start", kit::from_ull(t.min).get());
        set_attr(attrs, "t_end", kit::from_ull(t.max).get());
    }
}

// sensor_size: None or a tuple of at least two items.
PyObject* checked_sensor_size(PyObject* arg) {
    if (!arg) return nullptr;
    PyObject* s = kit::arg_exact_or_none(arg, &PyTuple_Type, "sensor_size");
    if (s) kit::tuple_item(s, 1);  // IndexError before any file is touched
    return s;
}


// h5py as far as it is already imported (private readers given h5py objects
// use its low-level calls; given other objects they need no h5py).
Ref loaded_h5py() {
    Ref name = kit::str("h5py");
    PyObject* m = PyImport_GetModule(name.get());
    if (!m && PyErr_Occurred()) kit::raise();
    return Ref::steal_or_null(m);
}

// ---------------------------------------------------------------------------
// Whole-file read and write.

Ref read_separate(const H5& h5, PyObject* group, const Config& c) {
    SeparateSource src(h5, group, c, std::numeric_limits<npy_intp>::max(), false);
    return src.read(0, src.size());
}

Ref read_compound(const H5& h5, Ref ds) {
    CompoundSource src(h5, std::move(ds), std::numeric_limits<npy_intp>::max(), false);
    return src.read(0, src.size());
}

Ref read_file(PyObject* path_arg, PyObject* config) {
    const H5 h5(ensure_h5py());
    const Config c = load_config(config);
    Ref path = path_text(path_arg);
    H5File file(h5, path.get(), "r", ChunkCache::off);
    const Layout layout = detect_layout(file.get(), c);
    Ref g = group_of(file.get(), c);
    Ref out = layout == Layout::separate ? read_separate(h5, g.get(), c)
                                         : read_compound(h5, compound_dataset(g.get(), c, layout));
    file.close();
    return out;
}

void write_file(PyObject* path_arg, PyObject* events, PyObject* config, PyObject* sensor_size, PyObject* compression,
                long long level) {
    const H5 h5(ensure_h5py());
    const Config c = load_config(config);
    Ref path = path_text(path_arg);
    const Compression comp = check_compression(compression, level);
    // Everything about the events is checked before the file is touched.
    const EventSource src = resolve_events(events);
    const npy_intp n = src.n;
    const npy_intp chunk = n < 1 ? 0 : std::min(n, kWriteChunk);

    H5File file(h5, path.get(), "w", ChunkCache::off);
    Ref g = c.group_set ? kit::call_method(file.get(), "create_group", c.events_group.get()) : Ref::borrow(file.get());
    std::array<Ref, 4> ids, mtypes;
    const auto keys = c.keys();
    for (std::size_t i = 0; i < 4; ++i) {
        Ref ds = create_column(g.get(), keys[i], kFields[i].typenum, n, chunk, comp, false);
        ids[i] = kit::getattr(ds.get(), "id");
        mtypes[i] = kit::call(h5.py_create.get(), descr_of_type(kFields[i].typenum).get());
    }
    kn::Range range;
    if (n > 0) {
        // Blocks of whole chunks, split into staging columns and written.
        const npy_intp block = std::min(n, chunk * std::max<npy_intp>(1, kBlockEvents / chunk));
        const Stage stage(block);
        for (npy_intp s = 0; s < n; s += block) {
            const npy_intp m = std::min(block, n - s);
            range.add(split_block(stage, 0, src, s, m));
            for (std::size_t i = 0; i < 4; ++i)
                write_column(h5.create_simple, ids[i].get(), mtypes[i].get(), stage.cols[i], s, m);
        }
    }
    write_attributes(kit::getattr(g.get(), "attrs").get(), n, sensor_size, range);
    file.close();
}

npy_intp checked_range(npy_intp n, long long start, long long end) {
    if (start < 0 || start > end || end > static_cast<long long>(n))
        kit::raise(PyExc_ValueError, "records [%lld, %lld) are not within the dataset's %zd records", start, end,
                   static_cast<Py_ssize_t>(n));
    return static_cast<npy_intp>(end - start);
}

// ---------------------------------------------------------------------------
// Module-level functions.

PyObject* ensure_h5py_fn(PyObject*, PyObject*) {
    return kit::guard([&] { return ensure_h5py().release(); });
}

PyObject* detect_layout_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<2> sig{"_detect_layout", {"h5file", "config"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        const Config c = load_config(a[1]);
        return kit::str(layout_name(detect_layout(a[0], c))).release();
    });
}

PyObject* read_separate_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<2> sig{"_read_separate", {"grp", "config"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        const Config c = load_config(a[1]);
        return read_separate(H5(loaded_h5py()), a[0], c).release();
    });
}

PyObject* read_compound_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<1> sig{"_read_compound", {"ds"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        return read_compound(H5(loaded_h5py()), Ref::borrow(a[0])).release();
    });
}

PyObject* read_compound_slice_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<3> sig{"_read_compound_slice", {"ds", "start", "end"}, 3};
        auto a = kit::parse(sig, args, nargs, kwnames);
        const long long start = kit::arg_int(a[1], "start");
        const long long end = kit::arg_int(a[2], "end");
        CompoundSource src(H5(loaded_h5py()), Ref::borrow(a[0]), static_cast<npy_intp>(std::max(end - start, 0LL)),
                           false);
        checked_range(src.size(), start, end);
        return src.read(static_cast<npy_intp>(start), static_cast<npy_intp>(end)).release();
    });
}

PyObject* read_h5_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<2> sig{"read_h5", {"path", "config"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        return read_file(a[0], a[1]).release();
    });
}

PyObject* write_h5_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<6> sig{
            "write_h5", {"path", "events", "config", "sensor_size", "compression", "compression_opts"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        PyObject* sensor_size = checked_sensor_size(a[3]);
        Ref gzip = kit::str("gzip");
        PyObject* compression = a[4] ? kit::arg_exact_or_none(a[4], &PyUnicode_Type, "compression") : gzip.get();
        const long long level = kit::arg_int(a[5], "compression_opts", 4);
        write_file(a[0], a[1], a[2], sensor_size, compression, level);
        Py_RETURN_NONE;
    });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef module_functions[] = {
    {"_ensure_h5py", ensure_h5py_fn, METH_NOARGS,
     "_ensure_h5py()\n--\n\n"
     "_ensure_h5py() -> Any\n\n"
     "Lazy-import h5py, raising a clear error if unavailable.\n\n"
     "The module is imported on the first call and kept in ``_h5py``; later\n"
     "calls return it without importing again.\n\n"
     "Raises:\n"
     "    ImportError: h5py cannot be imported (\"h5py is required for H5 event\n"
     "        I/O. Install it with: pip install h5py\"). Other errors raised while\n"
     "        importing h5py pass through unchanged.\n"},
    {"_detect_layout", fastcall(detect_layout_fn), METH_FASTCALL | METH_KEYWORDS,
     "_detect_layout(h5file, config)\n--\n\n"
     "_detect_layout(h5file: Any, config: H5Config) -> str\n\n"
     "Detect whether the file uses 'separate' or 'compound' layout. O(1).\n\n"
     "Looks in the configured group (the root when ``events_group`` is empty)\n"
     "and returns, the first that holds:\n\n"
     "- \"compound\": ``compound_key`` is set and names an item with fields;\n"
     "- \"separate\": the group holds ``timestamp_key``;\n"
     "- \"compound_fallback\": the group holds an item \"events\" with fields.\n\n"
     "Only names and element types are inspected; no data is read. Items\n"
     "without an element type (groups) count as having no fields.\n\n"
     "Raises:\n"
     "    ValueError: none of the above holds.\n"
     "    KeyError: the configured group does not exist.\n"},
    {"_read_separate", fastcall(read_separate_fn), METH_FASTCALL | METH_KEYWORDS,
     "_read_separate(grp, config)\n--\n\n"
     "_read_separate(grp: Any, config: H5Config) -> np.ndarray\n\n"
     "Read events from separate datasets. Single vectorized pass.\n\n"
     "Values of any numeric type are cast to the event fields as NumPy's\n"
     "astype casts them (u64, u16, u16, u8).\n\n"
     "Raises:\n"
     "    KeyError: a dataset is missing.\n"
     "    ValueError: a dataset is not one-dimensional, or its length differs\n"
     "        from the timestamp dataset's.\n"},
    {"_read_compound", fastcall(read_compound_fn), METH_FASTCALL | METH_KEYWORDS,
     "_read_compound(ds)\n--\n\n"
     "_read_compound(ds: Any) -> np.ndarray\n\n"
     "Read events from a compound dataset. Single vectorized pass.\n\n"
     "Fields are matched by name: t <- \"t\", else \"timestamp\", else the first\n"
     "field; x <- \"x\", else the second; y <- \"y\", else the third; p <- \"p\",\n"
     "else \"polarity\", else the fourth.\n\n"
     "Raises:\n"
     "    IndexError: the element type has too few fields for that matching.\n"
     "    ValueError: the dataset has no fields, or is not one-dimensional.\n"},
    {"_read_compound_slice", fastcall(read_compound_slice_fn), METH_FASTCALL | METH_KEYWORDS,
     "_read_compound_slice(ds, start, end)\n--\n\n"
     "_read_compound_slice(ds: Any, start: int, end: int) -> np.ndarray\n\n"
     "Read a slice from a compound dataset. O(end - start).\n\n"
     "Records ``start`` (inclusive) to ``end`` (exclusive), matched as by\n"
     "``_read_compound``.\n\n"
     "Raises:\n"
     "    ValueError: not 0 <= start <= end <= len(ds).\n"},
    {"read_h5", fastcall(read_h5_fn), METH_FASTCALL | METH_KEYWORDS,
     "read_h5(path, config=None)\n--\n\n"
     "read_h5(path: Union[str, Path], config: Optional[H5Config] = None) -> np.ndarray\n\n"
     "Read all events from an H5 file.\n\n"
     "**O(N) memory**: the complete event set is loaded into one array. For\n"
     "large files use ``H5EventReader``, which reads chunk by chunk.\n\n"
     "Args:\n"
     "    path: The file (converted to text).\n"
     "    config: Layout names; DEFAULT_H5_CONFIG when None.\n\n"
     "Returns:\n"
     "    EVENT_DTYPE array of every event, in file order. Columns of other\n"
     "    numeric types are cast as NumPy's astype casts them.\n\n"
     "Raises:\n"
     "    ImportError: h5py is not installed.\n"
     "    ValueError: the layout cannot be detected, or the datasets of the\n"
     "        separate layout differ in length.\n"
     "    FileNotFoundError: the file does not exist (raised by h5py).\n"},
    {"write_h5", fastcall(write_h5_fn), METH_FASTCALL | METH_KEYWORDS,
     "write_h5(path, events, config=None, sensor_size=None, compression='gzip', compression_opts=4)\n--\n\n"
     "write_h5(path: Union[str, Path], events: np.ndarray, config: Optional[H5Config] = None, "
     "sensor_size: Optional[Tuple[int, int]] = None, compression: Optional[str] = 'gzip', "
     "compression_opts: int = 4) -> None\n\n"
     "Write events to an H5 file using separate datasets (standard layout).\n\n"
     "Creates the file (replacing any existing one), the group ``events_group``\n"
     "(the root when empty) and four one-dimensional datasets t (u64), x (u16),\n"
     "y (u16), p (u8), in chunks of min(n, 100000) events, then the attributes\n"
     "\"n_events\", \"format\" = \"z1a_events_v1\", \"sensor_width\" and\n"
     "\"sensor_height\" (when sensor_size is given) and \"t_start\"/\"t_end\", the\n"
     "smallest and largest timestamp written (when there are events). An empty\n"
     "array gives empty datasets without chunking or compression.\n\n"
     "Args:\n"
     "    path: The file (converted to text).\n"
     "    events: Any structured array with fields t, x, y, p (of any numeric\n"
     "        types, cast as NumPy's astype casts them).\n"
     "    config: Layout names; DEFAULT_H5_CONFIG when None.\n"
     "    sensor_size: (width, height), exactly a tuple, or None.\n"
     "    compression: None (or ''), 'gzip' or 'lzf'.\n"
     "    compression_opts: The gzip level, 0 to 9 (not used by lzf).\n\n"
     "The arguments and the events are checked before the file is created, so\n"
     "a bad call leaves an existing file untouched.\n\n"
     "Raises:\n"
     "    ImportError: h5py is not installed.\n"
     "    IndexError: sensor_size has fewer than two items.\n"
     "    ValueError: an unknown compression, a gzip level outside 0..9, or\n"
     "        events without the four fields.\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// H5EventReader

struct Reader {
    PyObject_HEAD
    PyObject* path;      // str
    PyObject* config;    // the configuration in use
    PyObject* n_events;  // cached count; NULL until first counted
    Py_ssize_t chunk_size;
};

const char* const kReaderDoc =
    "H5EventReader(path, chunk_size=50000, config=None)\n--\n\n"
    "H5EventReader(path: Union[str, Path], chunk_size: int = 50000, config: Optional[H5Config] = None)\n\n"
    "Chunked streaming reader for H5 event files.\n\n"
    "Reads a file of either layout in chunks of at most ``chunk_size`` events,\n"
    "so memory per step is O(chunk_size) whatever the file size, and answers\n"
    "time-window queries by a binary search over the timestamp dataset on disk.\n"
    "Every operation opens the file read-only and closes it again; the\n"
    "constructor does not open it.\n\n"
    "Args:\n"
    "    path: The file (converted to text).\n"
    "    chunk_size: Events per chunk (>= 1), taken when an iteration starts.\n"
    "    config: Layout names; DEFAULT_H5_CONFIG when None.\n\n"
    "Raises:\n"
    "    ValueError: chunk_size below 1.\n\n"
    "Example:\n"
    "    >>> reader = H5EventReader(\"recording.h5\", chunk_size=50000)\n"
    "    >>> for chunk in reader:\n"
    "    ...     frames = formats.events_to_frames(chunk, sensor_size=(640, 480))\n";

PyTypeObject* reader_type = nullptr;

Py_ssize_t checked_chunk_size(PyObject* value) {
    const long long c = kit::arg_int(value, "chunk_size");
    if (c < 1) kit::raise(PyExc_ValueError, "chunk_size must be >= 1, got %lld", c);
    return static_cast<Py_ssize_t>(std::min<long long>(c, PY_SSIZE_T_MAX));
}

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            static const kit::Signature<3> sig{"__init__", {"path", "chunk_size", "config"}, 1};
            auto a = kit::parse(sig, args, kwargs);
            auto* self = reinterpret_cast<Reader*>(self_obj);
            const Py_ssize_t chunk = a[1] ? checked_chunk_size(a[1]) : 50000;
            PyObject* config = config_or_default(a[2]);
            Ref path = path_text(a[0]);
            Py_XSETREF(self->path, path.release());
            Py_XSETREF(self->config, Py_NewRef(config));
            Py_CLEAR(self->n_events);
            self->chunk_size = chunk;
            return 0;
        },
        -1);
}

constexpr auto reader_traverse = kit::gc_traverse<Reader, &Reader::path, &Reader::config, &Reader::n_events>;
constexpr auto reader_clear = kit::gc_clear<Reader, &Reader::path, &Reader::config, &Reader::n_events>;


Reader* initialised_reader(PyObject* self_obj) {
    auto* self = reinterpret_cast<Reader*>(self_obj);
    if (!self->path) kit::raise(PyExc_RuntimeError, "H5EventReader.__init__() was not called");
    return self;
}

PyObject* reader_get_n_events(PyObject* self_obj, void*) {
    return kit::guard([&] {
        Reader* self = initialised_reader(self_obj);
        if (self->n_events) return Py_NewRef(self->n_events);
        const H5 h5(ensure_h5py());
        const Config c = load_config(self->config);
        H5File file(h5, self->path, "r", ChunkCache::on);
        Ref g = group_of(file.get(), c);
        const Layout layout = detect_layout(file.get(), c);
        Ref ds = layout == Layout::separate ? kit::check(PyObject_GetItem(g.get(), c.timestamp_key.get()))
                                            : compound_dataset(g.get(), c, layout);
        Ref count = kit::from_ssize(length_1d(ds.get()));
        ds.reset();
        g.reset();
        file.close();
        Py_XSETREF(self->n_events, count.copy().release());
        return count.release();
    });
}

PyObject* reader_get_cached_count(PyObject* self_obj, void*) {
    auto* self = reinterpret_cast<Reader*>(self_obj);
    return Py_NewRef(self->n_events ? self->n_events : Py_None);
}

PyObject* reader_get_chunk_size(PyObject* self_obj, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<Reader*>(self_obj)->chunk_size);
}

int reader_set_chunk_size(PyObject* self_obj, PyObject* value, void*) {
    return kit::guard(
        [&] {
            if (!value) kit::raise(PyExc_AttributeError, "cannot delete attribute 'chunk_size'");
            reinterpret_cast<Reader*>(self_obj)->chunk_size = checked_chunk_size(value);
            return 0;
        },
        -1);
}

// The chunked read. Runs from the first next(); the file is a local, so it is
// closed on every way out.
// Size of the file under an open h5py File (its descriptor), or -1.
long long open_file_size(PyObject* h5file) {
    Ref id = Ref::steal_or_null(PyObject_GetAttrString(h5file, "id"));
    Ref fd = id ? Ref::steal_or_null(PyObject_CallMethod(id.get(), "get_vfd_handle", nullptr)) : Ref();
    if (!fd) {
        PyErr_Clear();
        return -1;
    }
    const long v = PyLong_AsLong(fd.get());
    struct stat st;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return ::fstat(static_cast<int>(v), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// HDF5 reads past the end of a file that shrank as zeros: a reader that
// keeps a file open checks its size at every step, so a file cut under it
// is reported instead of read as zeros.
void check_not_shrunk(PyObject* h5file, PyObject* path, long long at_open) {
    if (at_open < 0) return;
    const long long now = open_file_size(h5file);
    if (now >= 0 && now < at_open)
        kit::raise(PyExc_OSError, "%S: file shrank from %lld to %lld bytes while being read", path, at_open, now);
}

kit::Generator reader_chunks(PyObject* self_obj) {
    auto* self = reinterpret_cast<Reader*>(self_obj);
    const H5 h5(ensure_h5py());
    const Config c = load_config(self->config);
    const npy_intp chunk = self->chunk_size;
    H5File file(h5, self->path, "r", ChunkCache::off);
    const long long size_at_open = open_file_size(file.get());
    {
        Ref g = group_of(file.get(), c);
        const Layout layout = detect_layout(file.get(), c);
        if (layout == Layout::separate) {
            SeparateSource src(h5, g.get(), c, chunk, true);
            const npy_intp n = src.size();
            for (npy_intp start = 0; start < n;) {
                const npy_intp end = start + std::min(chunk, n - start);
                check_not_shrunk(file.get(), self->path, size_at_open);
                Ref block = src.read(start, end);
                check_not_shrunk(file.get(), self->path, size_at_open);
                co_yield std::move(block);
                start = end;
            }
        } else {
            CompoundSource src(h5, compound_dataset(g.get(), c, layout), chunk, true);
            const npy_intp n = src.size();
            for (npy_intp start = 0; start < n;) {
                const npy_intp end = start + std::min(chunk, n - start);
                check_not_shrunk(file.get(), self->path, size_at_open);
                Ref block = src.read(start, end);
                check_not_shrunk(file.get(), self->path, size_at_open);
                co_yield std::move(block);
                start = end;
            }
        }
    }
    file.close();
}

PyObject* reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        initialised_reader(self_obj);
        return kit::make_generator(reader_chunks(self_obj), "H5EventReader.__iter__", self_obj).release();
    });
}

PyObject* reader_read_all(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        Reader* self = initialised_reader(self_obj);
        return read_file(self->path, self->config).release();
    });
}

// First index in [0, n) whose timestamp, read as a single element and taken
// as an integer, is >= val (n if none).
npy_intp lower_bound(PyObject* ds, PyObject* val, npy_intp n) {
    npy_intp lo = 0, hi = n;
    while (lo < hi) {
        const npy_intp mid = lo + (hi - lo) / 2;
        Ref item = kit::check(PyObject_GetItem(ds, kit::from_ssize(mid).get()));
        Ref v = kit::check(PyNumber_Long(item.get()));
        if (kit::check(PyObject_RichCompareBool(v.get(), val, Py_LT)))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

PyObject* reader_read_time_window(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<2> sig{"read_time_window", {"t_start", "t_end"}, 2};
        auto a = kit::parse(sig, args, nargs, kwnames);
        Reader* self = initialised_reader(self_obj);
        Ref t_start = kit::arg_int_object(a[0], "t_start");
        Ref t_end = kit::arg_int_object(a[1], "t_end");
        const H5 h5(ensure_h5py());
        const Config c = load_config(self->config);
        H5File file(h5, self->path, "r", ChunkCache::on);
        Ref out;
        {
            Ref g = group_of(file.get(), c);
            Ref t_ds = kit::check(PyObject_GetItem(g.get(), c.timestamp_key.get()));
            const npy_intp n = length_1d(t_ds.get());
            const npy_intp lo = n ? lower_bound(t_ds.get(), t_start.get(), n) : 0;
            const npy_intp hi = n ? lower_bound(t_ds.get(), t_end.get(), n) : 0;
            if (lo >= hi) {
                out = np::empty(0);
            } else {
                SeparateSource src(h5, g.get(), c, hi - lo, false);
                out = src.read(lo, hi);
            }
        }
        file.close();
        return out.release();
    });
}

PyObject* reader_iter_method(PyObject* self_obj, PyObject*) { return reader_iter(self_obj); }

PyMethodDef reader_methods[] = {
    // Takes the place of the slot wrapper, to carry the documentation.
    {"__iter__", reader_iter_method, METH_NOARGS | METH_COEXIST,
     "__iter__($self, /)\n--\n\n"
     "__iter__(self) -> Generator[np.ndarray, None, None]\n\n"
     "Yield event chunks via h5py dataset slicing.\n\n"
     "A generator: the file is opened at the first step and stays open until\n"
     "the generator is exhausted, closed, fails or is collected. Every chunk\n"
     "is a new EVENT_DTYPE array of chunk_size events (the last holds the\n"
     "rest); an empty file yields nothing.\n"},
    {"read_all", reader_read_all, METH_NOARGS,
     "read_all($self, /)\n--\n\n"
     "read_all(self) -> np.ndarray\n\n"
     "Read entire file into one array.\n\n"
     "The same as ``read_h5(path, config=config)``: O(N) memory.\n"},
    {"read_time_window", fastcall(reader_read_time_window), METH_FASTCALL | METH_KEYWORDS,
     "read_time_window($self, /, t_start, t_end)\n--\n\n"
     "read_time_window(self, t_start: int, t_end: int) -> np.ndarray\n\n"
     "Read events within a time window using binary search. O(log N + K).\n\n"
     "Returns the events with t_start <= t < t_end (microseconds), assuming\n"
     "the timestamps in the file are sorted ascending. Each bound is found by a\n"
     "lower-bound search that reads single timestamps from the file (at most\n"
     "ceil(log2(N + 1)) per bound); only the window itself is read in bulk.\n"
     "Works on the separate layout only.\n\n"
     "Raises:\n"
     "    KeyError: the file has no timestamp dataset (compound layouts).\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef reader_members[] = {
    {"path", Py_T_OBJECT_EX, offsetof(Reader, path), Py_READONLY, "Path of the file, as text."},
    {"config", Py_T_OBJECT_EX, offsetof(Reader, config), Py_READONLY, "Configuration in use."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"n_events", reader_get_n_events, nullptr,
     "n_events -> int\n\nTotal number of events in the file. Cached after first access.", nullptr},
    {"_n_events", reader_get_cached_count, nullptr, "The cached count, None until n_events is first read.",
     nullptr},
    {"chunk_size", reader_get_chunk_size, reader_set_chunk_size, "Events per chunk (>= 1).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// H5EventWriter

struct Writer {
    PyObject_HEAD
    PyObject* path;           // str
    PyObject* config;         // the configuration in use
    PyObject* sensor_size;    // tuple, or NULL for None
    PyObject* file;           // h5py File; NULL once closed
    PyObject* attrs;          // the group's attributes
    PyObject* create_simple;  // h5py.h5s.create_simple
    PyObject* ids[4];         // low-level ids of the t, x, y, p datasets
    PyObject* mtypes[4];      // their memory types
    PyObject* stage[4];       // staging columns of `capacity` elements
    Py_ssize_t chunk_size;
    Py_ssize_t capacity;   // a whole number of chunks
    Py_ssize_t committed;  // events in the datasets that are never rewritten (whole chunks)
    Py_ssize_t buffered;   // events staged after them (the first may already be in the file)
    Py_ssize_t written;    // the datasets' common length after the last successful write
    std::uint64_t t_min, t_max;
    bool busy;
};

const char* const kWriterDoc =
    "H5EventWriter(path, config=None, sensor_size=None, compression='gzip', compression_opts=4, "
    "chunk_size=100000)\n--\n\n"
    "H5EventWriter(path: Union[str, Path], config: Optional[H5Config] = None, "
    "sensor_size: Optional[Tuple[int, int]] = None, compression: Optional[str] = 'gzip', "
    "compression_opts: int = 4, chunk_size: int = 100000)\n\n"
    "Buffered streaming writer for H5 event files.\n\n"
    "For recording from a live camera: events are appended in pieces of any\n"
    "size, buffered in memory and written to the file in whole chunks of\n"
    "``chunk_size`` events. The file is created (replacing any existing one)\n"
    "by the constructor, with the separate layout: the group ``events_group``\n"
    "(the root when empty) holding four empty, chunked datasets without a size\n"
    "limit, t (u64), x (u16), y (u16) and p (u8), and the attributes \"n_events\"\n"
    "= 0, \"format\" = \"z1a_events_v1\" and, when sensor_size is given,\n"
    "\"sensor_width\" and \"sensor_height\".\n\n"
    "``flush()`` writes what is buffered, updates \"n_events\", \"t_start\" and\n"
    "\"t_end\" (the smallest and largest timestamp so far) and flushes the file:\n"
    "from then on every event appended so far is in the file, and ``read_h5`` or\n"
    "``H5EventReader`` read exactly them back. ``close()`` flushes and closes;\n"
    "the writer is also a context manager that closes on exit. A writer that is\n"
    "garbage-collected while open is flushed and closed (errors are then only\n"
    "reported as unraisable).\n\n"
    "Args:\n"
    "    path: The file (converted to text).\n"
    "    config: Layout names; DEFAULT_H5_CONFIG when None. compound_key is not\n"
    "        used: the writer always writes separate datasets.\n"
    "    sensor_size: (width, height), exactly a tuple, or None.\n"
    "    compression: None (or ''), 'gzip' or 'lzf'.\n"
    "    compression_opts: The gzip level, 0 to 9 (not used by lzf).\n"
    "    chunk_size: Events per HDF5 chunk (>= 1).\n\n"
    "Raises:\n"
    "    ImportError: h5py is not installed.\n"
    "    IndexError: sensor_size has fewer than two items.\n"
    "    ValueError: chunk_size below 1 or too large for an HDF5 chunk, an\n"
    "        unknown compression or a gzip level outside 0..9. All arguments\n"
    "        are checked before the file is created.\n\n"
    "Example:\n"
    "    >>> with H5EventWriter(\"recording.h5\", sensor_size=(640, 480)) as w:\n"
    "    ...     for events in camera:\n"
    "    ...         w.append(events)\n";

int writer_traverse(PyObject* self_obj, visitproc visit, void* arg) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    Py_VISIT(Py_TYPE(self_obj));
    Py_VISIT(w->path);
    Py_VISIT(w->config);
    Py_VISIT(w->sensor_size);
    Py_VISIT(w->file);
    Py_VISIT(w->attrs);
    Py_VISIT(w->create_simple);
    for (int i = 0; i < 4; ++i) {
        Py_VISIT(w->ids[i]);
        Py_VISIT(w->mtypes[i]);
        Py_VISIT(w->stage[i]);
    }
    return PyObject_VisitManagedDict(self_obj, visit, arg);
}

// Drop everything that belongs to the open file.
void writer_release_file_objects(Writer* w) {
    Py_CLEAR(w->attrs);
    Py_CLEAR(w->create_simple);
    for (int i = 0; i < 4; ++i) {
        Py_CLEAR(w->ids[i]);
        Py_CLEAR(w->mtypes[i]);
        Py_CLEAR(w->stage[i]);
    }
}

int writer_clear(PyObject* self_obj) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    writer_release_file_objects(w);
    Py_CLEAR(w->file);
    Py_CLEAR(w->path);
    Py_CLEAR(w->config);
    Py_CLEAR(w->sensor_size);
    PyObject_ClearManagedDict(self_obj);
    return 0;
}

// One call at a time: a second thread (or a re-entrant call) is refused
// instead of racing on the buffers while the GIL is released.
class Busy {
public:
    explicit Busy(Writer* w) : w_(w) {
        if (w_->busy) kit::raise(PyExc_RuntimeError, "H5EventWriter is already in use by another call");
        w_->busy = true;
    }
    ~Busy() { w_->busy = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    Writer* w_;
};

Writer* initialised_writer(PyObject* self_obj) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    if (!w->path) kit::raise(PyExc_RuntimeError, "H5EventWriter.__init__() was not called");
    return w;
}

Writer* open_writer(PyObject* self_obj) {
    Writer* w = initialised_writer(self_obj);
    if (!w->file) kit::raise(PyExc_ValueError, "I/O operation on closed H5EventWriter");
    return w;
}

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            static const kit::Signature<6> sig{
                "__init__", {"path", "config", "sensor_size", "compression", "compression_opts", "chunk_size"}, 1};
            auto a = kit::parse(sig, args, kwargs);
            auto* w = reinterpret_cast<Writer*>(self_obj);
            if (w->path) kit::raise(PyExc_RuntimeError, "H5EventWriter.__init__() cannot be called twice");
            PyObject* sensor_size = checked_sensor_size(a[2]);
            Ref gzip = kit::str("gzip");
            PyObject* compression = a[3] ? kit::arg_exact_or_none(a[3], &PyUnicode_Type, "compression") : gzip.get();
            const long long level = kit::arg_int(a[4], "compression_opts", 4);
            const long long chunk = kit::arg_int(a[5], "chunk_size", 100000);
            if (chunk < 1 || chunk > kMaxChunk)
                kit::raise(PyExc_ValueError, "chunk_size must be between 1 and %lld, got %lld", kMaxChunk, chunk);
            const H5 h5(ensure_h5py());
            PyObject* config = config_or_default(a[1]);
            const Config c = load_config(config);
            Ref path = path_text(a[0]);
            const Compression comp = check_compression(compression, level);

            H5File file(h5, path.get(), "w", ChunkCache::off);
            Ref g = c.group_set ? kit::call_method(file.get(), "create_group", c.events_group.get())
                                : Ref::borrow(file.get());
            std::array<Ref, 4> ids, mtypes;
            const auto keys = c.keys();
            for (std::size_t i = 0; i < 4; ++i) {
                Ref ds = create_column(g.get(), keys[i], kFields[i].typenum, 0, static_cast<npy_intp>(chunk), comp, true);
                ids[i] = kit::getattr(ds.get(), "id");
                mtypes[i] = kit::call(h5.py_create.get(), descr_of_type(kFields[i].typenum).get());
            }
            Ref attrs = kit::getattr(g.get(), "attrs");
            write_attributes(attrs.get(), 0, sensor_size, kn::Range{});
            const npy_intp capacity = static_cast<npy_intp>(chunk) * std::max<npy_intp>(1, kBlockEvents / chunk);
            Stage stage(capacity);

            w->path = path.release();
            w->config = Py_NewRef(config);
            w->sensor_size = Py_XNewRef(sensor_size);
            w->attrs = attrs.release();
            w->create_simple = h5.create_simple.copy().release();
            for (std::size_t i = 0; i < 4; ++i) {
                w->ids[i] = ids[i].release();
                w->mtypes[i] = mtypes[i].release();
                w->stage[i] = stage.cols[i].release();
            }
            w->chunk_size = static_cast<Py_ssize_t>(chunk);
            w->capacity = capacity;
            w->committed = 0;
            w->buffered = 0;
            w->written = 0;
            w->t_min = std::numeric_limits<std::uint64_t>::max();
            w->t_max = 0;
            w->file = file.release().release();
            return 0;
        },
        -1);
}

kn::EventColumns writer_stage_at(const Writer* w, npy_intp offset) {
    auto data = [&](int i) { return static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(w->stage[i]))); };
    return kn::EventColumns{reinterpret_cast<std::uint64_t*>(data(0)) + offset,
                            reinterpret_cast<std::uint16_t*>(data(1)) + offset,
                            reinterpret_cast<std::uint16_t*>(data(2)) + offset,
                            reinterpret_cast<std::uint8_t*>(data(3)) + offset};
}

// Write the staged events after `committed`; keep a partial last chunk
// staged, so that it is written again, whole, with the events that follow.
void writer_write_stage(Writer* w) {
    if (w->buffered == 0) return;
    // HDF5 files have no journal: a write that runs out of space half-way
    // can leave the four datasets at different lengths on disk. Check the
    // room first (the data plus a margin for HDF5's own metadata), so a full
    // disk is reported while the file still holds every flushed event.
    {
        const unsigned long long need = static_cast<unsigned long long>(w->buffered) * sizeof(Event) + (1u << 20);
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(w->path, &encoded)) kit::raise();
        Ref holder = Ref::steal(encoded);
        struct statvfs fs;
        if (::statvfs(PyBytes_AS_STRING(encoded), &fs) == 0) {
            const unsigned long long room = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
            if (room < need) {
                errno = ENOSPC;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, w->path);
                kit::raise();
            }
        }
    }
    Ref extent = tuple1(w->committed + w->buffered);
    Ref create_simple = Ref::borrow(w->create_simple);
    try {
        for (int i = 0; i < 4; ++i) {
            kit::call_method(w->ids[i], "set_extent", extent.get());
            write_column(create_simple, w->ids[i], w->mtypes[i], Ref::borrow(w->stage[i]), w->committed,
                         w->buffered);
        }
    } catch (const kit::PyError&) {
        // A failed write (a full disk, say) may leave some datasets longer
        // than others, and the file unreadable. Bring all four back to the
        // length they last reached together (shrinking needs no space), so
        // the file still reads back every event written before; the error
        // goes on to the caller.
        PyObject* pending = PyErr_GetRaisedException();
        Ref back = kit::check(Py_BuildValue("(n)", w->written));
        for (int i = 0; i < 4; ++i) {
            PyObject* r = PyObject_CallMethod(w->ids[i], "set_extent", "O", back.get());
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear();
        }
        PyErr_SetRaisedException(pending);
        throw;
    }
    w->written = w->committed + w->buffered;
    const Py_ssize_t whole = w->buffered - w->buffered % w->chunk_size;
    const Py_ssize_t tail = w->buffered - whole;
    if (whole && tail) {
        for (int i = 0; i < 4; ++i) {
            auto* a = reinterpret_cast<PyArrayObject*>(w->stage[i]);
            const auto size = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
            char* data = static_cast<char*>(PyArray_DATA(a));
            std::memmove(data, data + static_cast<std::size_t>(whole) * size, static_cast<std::size_t>(tail) * size);
        }
    }
    w->committed += whole;
    w->buffered = tail;
}

void writer_append_impl(Writer* w, PyObject* events) {
    Busy busy(w);
    const EventSource src = resolve_events(events);
    for (npy_intp done = 0; done < src.n;) {
        if (w->buffered == w->capacity) writer_write_stage(w);
        const npy_intp take = std::min<npy_intp>(w->capacity - w->buffered, src.n - done);
        const auto c = src.from(done);
        kn::Range r;
        {
            kit::MaybeNoGil nogil(static_cast<std::size_t>(take) * sizeof(Event) >= kReleaseGilBytes);
            r = kn::split(writer_stage_at(w, w->buffered), static_cast<std::size_t>(take), c[0], c[1], c[2], c[3]);
        }
        w->t_min = std::min(w->t_min, r.min);
        w->t_max = std::max(w->t_max, r.max);
        w->buffered += take;
        done += take;
    }
    if (w->buffered == w->capacity) writer_write_stage(w);
}

void writer_flush_impl(Writer* w) {
    writer_write_stage(w);
    kn::Range r;
    r.min = w->t_min;
    r.max = w->t_max;
    write_attributes(w->attrs, w->committed + w->buffered, w->sensor_size, r);
    kit::call_method(w->file, "flush");
}

// Flush, then close the file whatever the flush gave; a flush error is
// raised after the file is closed.
void writer_close_impl(Writer* w) {
    if (!w->file) return;
    Busy busy(w);
    bool flushed = true;
    try {
        writer_flush_impl(w);
    } catch (const kit::PyError&) {
        flushed = false;
    }
    PyObject* pending = flushed ? nullptr : PyErr_GetRaisedException();
    Ref file = Ref::steal_or_null(std::exchange(w->file, nullptr));
    writer_release_file_objects(w);
    if (pending) {
        PyObject* r = PyObject_CallMethod(file.get(), "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_SetRaisedException(pending);
        kit::raise();
    }
    kit::call_method(file.get(), "close");
}

void writer_finalize(PyObject* self_obj) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    if (!w->file) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (!kit::guard([&] { writer_close_impl(w); return true; }, false)) PyErr_WriteUnraisable(self_obj);
    PyErr_SetRaisedException(pending);
}

void writer_dealloc(PyObject* self_obj) {
    if (PyObject_CallFinalizerFromDealloc(self_obj) < 0) return;  // resurrected
    kit::gc_dealloc<writer_clear>(self_obj);
}

PyObject* writer_append(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        static const kit::Signature<1> sig{"append", {"events"}, 1};
        auto a = kit::parse(sig, args, nargs, kwnames);
        writer_append_impl(open_writer(self_obj), a[0]);
        Py_RETURN_NONE;
    });
}

PyObject* writer_flush(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        Writer* w = open_writer(self_obj);
        Busy busy(w);
        writer_flush_impl(w);
        Py_RETURN_NONE;
    });
}

PyObject* writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        writer_close_impl(initialised_writer(self_obj));
        Py_RETURN_NONE;
    });
}

PyObject* writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        open_writer(self_obj);
        return Py_NewRef(self_obj);
    });
}

PyObject* writer_exit(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        writer_close_impl(initialised_writer(self_obj));
        Py_RETURN_FALSE;
    });
}

PyObject* writer_get_n_events(PyObject* self_obj, void*) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    return PyLong_FromSsize_t(w->committed + w->buffered);
}

PyObject* writer_get_closed(PyObject* self_obj, void*) {
    return PyBool_FromLong(reinterpret_cast<Writer*>(self_obj)->file == nullptr);
}

PyObject* writer_get_sensor_size(PyObject* self_obj, void*) {
    auto* w = reinterpret_cast<Writer*>(self_obj);
    return Py_NewRef(w->sensor_size ? w->sensor_size : Py_None);
}

PyMethodDef writer_methods[] = {
    {"append", fastcall(writer_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, /, events)\n--\n\n"
     "append(self, events: np.ndarray) -> None\n\n"
     "Append events: buffered, and written to the file in whole chunks.\n\n"
     "Args:\n"
     "    events: Any structured array with fields t, x, y, p (of any numeric\n"
     "        types, cast as NumPy's astype casts them); it is copied, so it\n"
     "        may be reused at once.\n\n"
     "Raises:\n"
     "    ValueError: the writer is closed (\"I/O operation on closed\n"
     "        H5EventWriter\"), or events lack one of the fields. Nothing is\n"
     "        appended then.\n"
     "    RuntimeError: another call is using the writer.\n"
     "    Errors of h5py while writing: the events taken up to that point stay\n"
     "        buffered (see n_events) and are written by the next call.\n"},
    {"flush", writer_flush, METH_NOARGS,
     "flush($self, /)\n--\n\n"
     "flush(self) -> None\n\n"
     "Write every buffered event, update the attributes and flush the file.\n\n"
     "Raises:\n"
     "    ValueError: the writer is closed.\n"},
    {"close", writer_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "close(self) -> None\n\n"
     "Flush and close the file. Closing a closed writer does nothing.\n\n"
     "The file is closed even when the flush fails; that error is raised after.\n"},
    {"__enter__", writer_enter, METH_NOARGS,
     "__enter__($self, /)\n--\n\n__enter__(self) -> H5EventWriter\n\nReturn the writer itself."},
    {"__exit__", writer_exit, METH_VARARGS,
     "__exit__($self, /, *exc_info)\n--\n\n__exit__(self, *exc_info) -> bool\n\n"
     "Close the writer (flushing it); exceptions are not suppressed."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef writer_members[] = {
    {"path", Py_T_OBJECT_EX, offsetof(Writer, path), Py_READONLY, "Path of the file, as text."},
    {"config", Py_T_OBJECT_EX, offsetof(Writer, config), Py_READONLY, "Configuration in use."},
    {"chunk_size", Py_T_PYSSIZET, offsetof(Writer, chunk_size), Py_READONLY, "Events per HDF5 chunk."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"n_events", writer_get_n_events, nullptr,
     "n_events -> int\n\nNumber of events appended so far (written or buffered).", nullptr},
    {"closed", writer_get_closed, nullptr, "True once the writer is closed.", nullptr},
    {"sensor_size", writer_get_sensor_size, nullptr, "(width, height) or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Module

const char* const kModuleDoc =
    "H5 event file I/O and streaming for neuromorphic cameras.\n\n"
    "Supports two layouts:\n"
    "    1. Separate datasets: /events/t, /events/x, /events/y, /events/p\n"
    "    2. Compound dataset: /events (structured with t, x, y, p fields)\n\n"
    "``read_h5`` and ``write_h5`` read and write whole files, ``H5EventReader``\n"
    "reads chunk by chunk and by time window, and ``H5EventWriter`` records a\n"
    "stream of events with bounded memory. Group and dataset names come from an\n"
    "``H5Config``. h5py is imported on first use.\n";

const char* const kConfigDoc =
    "H5Config(events_group: str = 'events', timestamp_key: str = 't', x_key: str = 'x', y_key: str = 'y', "
    "polarity_key: str = 'p', compound_key: Optional[str] = None)\n\n"
    "Configuration for H5 event file format.\n\n"
    "Attributes:\n"
    "    events_group: HDF5 group path containing event data. An empty text\n"
    "        means the file's root group.\n"
    "    timestamp_key: Dataset name for timestamps within the group.\n"
    "    x_key: Dataset name for x coordinates.\n"
    "    y_key: Dataset name for y coordinates.\n"
    "    polarity_key: Dataset name for polarity values.\n"
    "    compound_key: If set, the name of a single compound dataset to read\n"
    "        instead of separate datasets; None for the separate layout.\n";

int exec_h5(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Any", "Generator", "Optional", "Tuple", "Union"});
            kit::add(m, "Path", kit::getattr(kit::import("pathlib").get(), "Path").get());
            np::import_numpy();
            kit::add(m, "np", kit::import("numpy").get());
            np::import_event_dtype();
            kit::add(m, "EVENT_DTYPE", reinterpret_cast<PyObject*>(np::event_descr()));
            kit::add(m, "_h5py", Py_None);
            g_module_dict = Py_NewRef(PyModule_GetDict(m));
            kit::init_generator_type(m, "morvel.io.h5.generator");

            // H5Config and the two ready-made configurations.
            PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
            Ref optional = kit::getattr(kit::import("typing").get(), "Optional");
            Ref optional_str = kit::check(PyObject_GetItem(optional.get(), str_type));
            Ref events = kit::str("events"), t = kit::str("t"), x = kit::str("x"), y = kit::str("y"), p = kit::str("p");
            Ref config_cls = kit::make_dataclass(m, "H5Config", kConfigDoc,
                                                 {{"events_group", str_type, events.get()},
                                                  {"timestamp_key", str_type, t.get()},
                                                  {"x_key", str_type, x.get()},
                                                  {"y_key", str_type, y.get()},
                                                  {"polarity_key", str_type, p.get()},
                                                  {"compound_key", optional_str.get(), Py_None}},
                                                 true);
            kit::add(m, "H5Config", config_cls.get());
            Ref dflt = kit::call(config_cls.get());
            kit::add(m, "DEFAULT_H5_CONFIG", dflt.get());
            g_default_config = dflt.release();
            Ref compact_kw = kit::check(Py_BuildValue("{sssO}", "events_group", "", "compound_key", events.get()));
            Ref no_args = kit::check(PyTuple_New(0));
            Ref compact = kit::check(PyObject_Call(config_cls.get(), no_args.get(), compact_kw.get()));
            kit::add(m, "COMPACT_H5_CONFIG", compact.get());

            for (PyMethodDef* def = module_functions; def->ml_name; ++def) kit::add_function(m, def);

            static PyType_Slot reader_slots[] = {
                {Py_tp_doc, const_cast<char*>(kReaderDoc)},
                {Py_tp_init, reinterpret_cast<void*>(reader_init)},
                {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
                {Py_tp_dealloc, reinterpret_cast<void*>(kit::gc_dealloc<reader_clear>)},
                {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
                {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
                {Py_tp_methods, reader_methods},
                {Py_tp_members, reader_members},
                {Py_tp_getset, reader_getset},
                {0, nullptr},
            };
            static PyType_Spec reader_spec = {
                "morvel.io.h5.H5EventReader", sizeof(Reader), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
                    Py_TPFLAGS_MANAGED_WEAKREF,
                reader_slots};
            reader_type = reinterpret_cast<PyTypeObject*>(kit::add_type(m, &reader_spec).release());

            static PyType_Slot writer_slots[] = {
                {Py_tp_doc, const_cast<char*>(kWriterDoc)},
                {Py_tp_init, reinterpret_cast<void*>(writer_init)},
                {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
                {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
                {Py_tp_finalize, reinterpret_cast<void*>(writer_finalize)},
                {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
                {Py_tp_methods, writer_methods},
                {Py_tp_members, writer_members},
                {Py_tp_getset, writer_getset},
                {0, nullptr},
            };
            static PyType_Spec writer_spec = {
                "morvel.io.h5.H5EventWriter", sizeof(Writer), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
                    Py_TPFLAGS_MANAGED_WEAKREF,
                writer_slots};
            kit::add_type(m, &writer_spec);
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(h5, "morvel.io.h5", kModuleDoc, exec_h5)
