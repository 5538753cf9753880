// Reading event columns into records: one dataset of the separate layout at
// a time (ColumnReader), the four of a group side by side (SeparateSource),
// the records of a compound dataset (CompoundSource), and a whole file.

#include "h5.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace morvel::io::h5 {

Column column_of(Ref arr, int typenum) {
    auto* a = np::arr(arr);
    auto t = np::num_type(PyArray_DESCR(a));
    if (!t) {
        arr = kit::check(PyArray_CastToType(a, np::descr(typenum).release(), 0));
        a = np::arr(arr);
        t = np::num_type(PyArray_DESCR(a));
    }
    const kn::Column col{PyArray_DATA(a), PyArray_STRIDE(a, 0), *t};
    return Column{std::move(arr), col};
}

namespace {

// The first `count` elements of a contiguous 1-d array (the array itself when whole).
Ref prefix(const Ref& a, npy_intp count) {
    if (count == np::length(a)) return a.copy();
    return np::slice_view(a, 0, count);
}

// Interleaves `count` events from the columns, starting `offset` rows in.
void interleave_block(Event* out, npy_intp count, const kn::EventColumns& c, npy_intp offset) {
    kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kit::kReleaseGilBytes);
    kn::interleave(c.from(static_cast<std::size_t>(offset)), static_cast<std::size_t>(count), out);
}

}  // namespace

// ---------------------------------------------------------------------------
// ColumnReader: an h5py dataset of a plain numeric type is read by h5py's
// low-level call straight into a reusable buffer of its own (native) type;
// anything else (other element types, array-like objects) is sliced and
// converted by NumPy.

ColumnReader::ColumnReader(const H5& h5, Ref ds, int typenum, npy_intp capacity)
    : ds_(std::move(ds)), typenum_(typenum), capacity_(capacity) {
    if (!h5.is_dataset(ds_.get())) return;
    kit::DescrRef descr = np::descr_from(kit::getattr(ds_.get(), "dtype").get());
    auto t = np::num_type(descr.get(), true);
    if (!t) return;
    kit::DescrRef native = kit::DescrRef::steal(PyArray_DescrNewByteorder(descr.get(), NPY_NATIVE));
    buffer_ = np::empty(capacity_, native.get());
    mtype_ = kit::call(h5.py_create.get(), native.obj());
    id_ = kit::getattr(ds_.get(), "id");
    create_simple_ = h5.create_simple.copy();
    col_ = kn::Column{PyArray_DATA(np::arr(buffer_)), static_cast<std::ptrdiff_t>(PyDataType_ELSIZE(native.get())), *t};
}

void ColumnReader::read(npy_intp start, npy_intp count) {
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
    if (np::num_type(PyArray_DESCR(np::arr(arr)))) {
        held_ = column_of(std::move(arr), typenum_);
        col_ = held_.col;
        return;
    }
    if (!cast_) cast_ = np::empty(capacity_, np::descr(typenum_).get());
    Ref dest = prefix(cast_, count);
    kit::check(PyArray_CopyInto(np::arr(dest), np::arr(arr)));
    col_ = kn::Column{PyArray_DATA(np::arr(cast_)), static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(np::arr(cast_))),
                      *np::num_type(PyArray_DESCR(np::arr(cast_)))};
}

// ---------------------------------------------------------------------------
// SeparateSource: events are read into a window of column buffers and
// interleaved from there.

namespace {

std::array<Ref, 4> datasets_of(PyObject* group, const Config& c) {
    std::array<Ref, 4> ds;
    const auto keys = c.keys();
    for (std::size_t i = 0; i < 4; ++i) ds[i] = item(group, keys[i]);
    return ds;
}

}  // namespace

SeparateSource::SeparateSource(const H5& h5, PyObject* group, const Config& c, npy_intp max_request, bool read_ahead)
    : SeparateSource(h5, datasets_of(group, c), max_request, read_ahead) {}

SeparateSource::SeparateSource(const H5& h5, std::array<Ref, 4> ds, npy_intp max_request, bool read_ahead)
    : read_ahead_(read_ahead) {
    n_ = length_1d(ds[0].get());
    for (std::size_t i = 1; i < 4; ++i) {
        const npy_intp len = length_1d(ds[i].get());
        if (len != n_)
            refuse(PyExc_ValueError, "%R has %zd elements but the timestamp dataset has %zd", ds[i].get(),
                       static_cast<Py_ssize_t>(len), static_cast<Py_ssize_t>(n_));
    }
    const npy_intp block = block_for({chunk_length(ds[0].get()), chunk_length(ds[1].get()),
                                      chunk_length(ds[2].get()), chunk_length(ds[3].get())});
    block_ = std::max<npy_intp>(1, std::min(block, n_));
    if (!read_ahead_) block_ = std::min(block_, std::max<npy_intp>(max_request, 1));
    readers_.reserve(4);
    for (std::size_t i = 0; i < 4; ++i) readers_.emplace_back(h5, std::move(ds[i]), kFields[i].typenum, block_);
}

void SeparateSource::read_into(Event* out, npy_intp start, npy_intp end) {
    while (start < end) {
        if (start < win_start_ || start >= win_end_) {
            win_start_ = start;
            win_end_ = std::min(read_ahead_ ? n_ : end, start + block_);
            for (auto& r : readers_) r.read(win_start_, win_end_ - win_start_);
        }
        const npy_intp m = std::min(end, win_end_) - start;
        interleave_block(out, m,
                         {readers_[0].column(), readers_[1].column(), readers_[2].column(), readers_[3].column()},
                         start - win_start_);
        out += m;
        start += m;
    }
}

Ref SeparateSource::read(npy_intp start, npy_intp end) {
    Ref out = np::empty(end - start);
    read_into(np::events_data(out), start, end);
    return out;
}

// ---------------------------------------------------------------------------
// CompoundSource: records are read into a window of raw records and
// interleaved from there, with read-ahead as for SeparateSource. When each
// chosen field is unsigned of its target's width, h5py reads them straight
// into our record layout (and a window is then copied as it is).

CompoundSource::CompoundSource(const H5& h5, Ref ds, npy_intp max_request, bool read_ahead)
    : ds_(std::move(ds)), read_ahead_(read_ahead) {
    n_ = length_1d(ds_.get());
    Ref dtype = kit::getattr(ds_.get(), "dtype");
    Ref names = kit::getattr(dtype.get(), "names");
    if (!PyTuple_Check(names.get()))
        refuse(PyExc_ValueError, "%R is not a compound dataset: its element type has no fields", ds_.get());
    auto pick = [&](const char* first, const char* second, Py_ssize_t index) {
        for (const char* want : {first, second}) {
            if (!want) continue;
            Ref w = kit::str(want);
            if (kit::check(PySequence_Contains(names.get(), w.get())) == 1) return w;
        }
        if (index >= PyTuple_GET_SIZE(names.get())) refuse(PyExc_IndexError, "tuple index out of range");
        return Ref::borrow(PyTuple_GET_ITEM(names.get(), index));
    };
    names_[0] = pick("t", "timestamp", 0);
    names_[1] = pick("x", nullptr, 1);
    names_[2] = pick("y", nullptr, 2);
    names_[3] = pick("p", "polarity", 3);
    block_ = std::max<npy_intp>(1, std::min(block_for({chunk_length(ds_.get())}), n_));
    if (!read_ahead_) block_ = std::min(block_, std::max<npy_intp>(max_request, 1));
    if (!h5.is_dataset(ds_.get())) return;
    direct_ = direct_descr(dtype.get());
    kit::DescrRef descr = np::descr_from(dtype.get());
    if (!PyDataType_REFCHK(descr.get())) raw_descr_ = std::move(descr).as<PyObject>();  // else h5py's slicing converts
}

void CompoundSource::read_into(Event* out, npy_intp start, npy_intp end) {
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

Ref CompoundSource::read(npy_intp start, npy_intp end) {
    Ref out = np::empty(end - start);
    read_into(np::events_data(out), start, end);
    return out;
}

// Records [start, stop) of the dataset into `dest` (records of our layout).
void CompoundSource::read_direct(Event* dest, npy_intp start, npy_intp stop) {
    Ref view = np::records_view(nullptr, dest, stop - start, reinterpret_cast<PyArray_Descr*>(direct_.get()));
    kit::call_method(ds_.get(), "read_direct", view.get(), slice(start, stop).get());
}

void CompoundSource::load(npy_intp start, npy_intp stop) {
    win_start_ = win_end_ = 0;
    if (!window_ && (direct_ || raw_descr_))
        window_ = direct_ ? np::empty(block_) : np::empty(block_, reinterpret_cast<PyArray_Descr*>(raw_descr_.get()));
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

// A record type laid out as ours whose fields carry the chosen source names,
// when each chosen field is unsigned of its target's width and no field feeds
// two targets: h5py then reads straight into the result. Null otherwise.
Ref CompoundSource::direct_descr(PyObject* dtype) const {
    kit::DescrRef d = np::descr_from(dtype);
    PyObject* fields = PyDataType_FIELDS(d.get());
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < i; ++j)
            if (kit::check(PyObject_RichCompareBool(names_[i].get(), names_[j].get(), Py_EQ))) return Ref();
        PyObject* entry = PyDict_GetItemWithError(fields, names_[i].get());  // (descr, offset[, title])
        if (!entry) {
            if (PyErr_Occurred()) kit::raise();
            return Ref();
        }
        auto* fd = reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(entry, 0));
        const kit::DescrRef want = np::descr(kFields[i].typenum);
        const bool same = fd->kind == 'u' && !PyDataType_HASFIELDS(fd) && !PyDataType_HASSUBARRAY(fd) &&
                          PyDataType_ELSIZE(fd) == PyDataType_ELSIZE(want.get());
        if (!same) return Ref();
    }
    Ref spec = kit::check(Py_BuildValue("{s[OOOO]s[ssss]s[iiii]si}", "names", names_[0].get(), names_[1].get(),
                                        names_[2].get(), names_[3].get(), "formats", "<u8", "<u2", "<u2", "u1",
                                        "offsets", 0, 8, 10, 12, "itemsize", 13));
    return np::descr_from(spec.get()).as<PyObject>();
}

}  // namespace morvel::io::h5
