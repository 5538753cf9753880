// Event-like objects as columns for the conversion core (kernels/cast.hpp):
// EVENT_DTYPE arrays, any structured or record array, a vendor's batch, or
// anything whose items by the field names NumPy turns into arrays of one
// length. Fields are matched by name, never by position.
//
//   kit::EventTable ev(obj);                      // t, x, y, p
//   kn::interleave(ev.columns(), ev.size(), out); // cast as astype casts
#pragma once

#include "numpy.hpp"
#include "../kernels/cast.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kit {

// Names of the fields t, x, y, p in a table (a vendor's own names).
using FieldNames = std::array<const char*, 4>;
inline constexpr FieldNames kEventFields{"t", "x", "y", "p"};

// Types the fields t, x, y, p are converted to by NumPy when the core cannot
// read them in place (float16, objects, other byte orders): the consumer's
// own targets, so that the result is astype's in every case.
using FieldTypes = std::array<int, 4>;
inline constexpr FieldTypes kEventTypes{NPY_UINT64, NPY_UINT16, NPY_UINT16, NPY_UINT8};

class EventTable {
public:
    // The fields named in `read` (letters of "txyp", in the order they are
    // looked up, so that a missing one raises NumPy's own error for the
    // first) of `events`. Fields of a structured array are read in place;
    // other objects are indexed by name. A field must hold one value per
    // event (ValueError naming it otherwise). A multi-dimensional array is
    // read in C order.
    explicit EventTable(PyObject* events, std::string_view read = "txyp", const FieldNames& names = kEventFields,
                        const FieldTypes& cast_to = kEventTypes, bool dict_of_columns = false) {
        if (PyArray_Check(events)) {
            auto* a = np::arr(events);
            if (!PyDataType_HASFIELDS(PyArray_DESCR(a)))
                raise(PyExc_ValueError, "events must be a structured array with fields %s, got dtype %R",
                      field_list(read, names).c_str(), as_object(PyArray_DESCR(a)));
            events_ = PyArray_NDIM(a) == 1 ? Ref::borrow(events) : check(PyArray_Ravel(a, NPY_CORDER));
            size_ = static_cast<std::size_t>(PyArray_DIM(np::arr(events_.get()), 0));
        } else {
            // A dict of columns (when asked for): its length is theirs (the
            // first looked up).
            Ref first;
            if (dict_of_columns && PyDict_Check(events) && !read.empty()) {
                PyObject* c = nullptr;
                if (check(PyDict_GetItemStringRef(events, names[field_index(read[0])], &c)) == 1) first = Ref::steal_or_null(c);
            }
            const Py_ssize_t n = PyObject_Size(first ? first.get() : events);  // TypeError for unsized objects
            if (n < 0) raise();
            events_ = Ref::borrow(events);
            size_ = static_cast<std::size_t>(n);
        }
        std::array<morvel::kernels::Column, 4> c{};
        for (char f : read) {
            const std::size_t i = field_index(f);
            c[i] = field(names[i], cast_to[i], keep_[i]);
            read_ |= 1u << i;
        }
        cols_ = {c[0], c[1], c[2], c[3]};
    }

    std::size_t size() const noexcept { return size_; }
    const morvel::kernels::EventColumns& columns() const noexcept { return cols_; }

    // The columns read, when they are fields of EVENT_DTYPE records in place
    // (t among them): the first record. Null otherwise.
    const morvel::kernels::Event* records() const noexcept {
        namespace kn = morvel::kernels;
        if (!(read_ & 1u)) return nullptr;
        const char* base = static_cast<const char*>(cols_.t.data);
        auto at = [base](const kn::Column& c, std::size_t offset, kn::NumType type) {
            return c.type == type && c.stride == static_cast<std::ptrdiff_t>(kn::kEventSize) &&
                   static_cast<const char*>(c.data) == base + offset;
        };
        const bool ok = at(cols_.t, offsetof(kn::Event, t), kn::NumType::u64) &&
                        (!(read_ & 2u) || at(cols_.x, offsetof(kn::Event, x), kn::NumType::u16)) &&
                        (!(read_ & 4u) || at(cols_.y, offsetof(kn::Event, y), kn::NumType::u16)) &&
                        (!(read_ & 8u) || at(cols_.p, offsetof(kn::Event, p), kn::NumType::u8));
        return ok ? reinterpret_cast<const kn::Event*>(base) : nullptr;
    }

private:
    // 't', 'x', 'y', 'p' -> 0, 1, 2, 3.
    static std::size_t field_index(char f) noexcept { return f == 't' ? 0 : f == 'x' ? 1 : f == 'y' ? 2 : 3; }

    static std::string field_list(std::string_view read, const FieldNames& names) {
        std::string s;
        for (char f : read) s += (s.empty() ? "" : ", ") + std::string(names[field_index(f)]);
        return s;
    }

    morvel::kernels::Column field(const char* name, int cast_to, Ref& keep) {
        PyObject* events = events_.get();
        if (PyArray_Check(events) && PyDataType_HASFIELDS(PyArray_DESCR(np::arr(events)))) {
            auto* a = np::arr(events);
            PyObject* info = nullptr;  // (dtype, offset[, title])
            check(PyDict_GetItemStringRef(PyDataType_FIELDS(PyArray_DESCR(a)), name, &info));
            Ref info_ref = Ref::steal_or_null(info);
            if (info && PyTuple_Check(info) && PyTuple_GET_SIZE(info) >= 2 &&
                PyArray_DescrCheck(PyTuple_GET_ITEM(info, 0))) {
                const auto t = np::num_type(reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(info, 0)));
                if (t) {
                    const Py_ssize_t offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(info, 1));
                    if (offset == -1 && PyErr_Occurred()) raise();
                    return {PyArray_BYTES(a) + offset, PyArray_STRIDE(a, 0), *t};
                }
            }
        }
        Ref item = check(PyObject_GetItem(events, Ref(str(name)).get()));
        Ref arr = check(PyArray_FromAny(item.get(), nullptr, 0, 0, 0, nullptr));
        auto* fa = np::arr(arr);
        if (static_cast<std::size_t>(PyArray_SIZE(fa)) != size_ || (size_ != 1 && PyArray_NDIM(fa) != 1)) {
            Ref shape = getattr(arr.get(), "shape");
            raise(PyExc_ValueError, "field '%s' of events must hold %zd values, its shape is %R", name,
                  static_cast<Py_ssize_t>(size_), shape.get());
        }
        if (PyArray_NDIM(fa) != 1) {
            arr = check(PyArray_Ravel(fa, NPY_CORDER));
            fa = np::arr(arr);
        }
        if (const auto t = np::num_type(PyArray_DESCR(fa))) {
            keep = std::move(arr);
            return {PyArray_BYTES(np::arr(keep.get())), PyArray_STRIDE(np::arr(keep.get()), 0), *t};
        }
        // A type the core does not read: NumPy's own cast to the target.
        keep = check(PyArray_CastToType(fa, np::descr(cast_to).release(), 0));
        auto* ka = np::arr(keep.get());
        return {PyArray_BYTES(ka), PyArray_STRIDE(ka, 0), *np::num_type(PyArray_DESCR(ka))};
    }

    Ref events_;               // keeps the memory the columns point into alive
    std::array<Ref, 4> keep_;  // field arrays or casts
    morvel::kernels::EventColumns cols_{};
    std::size_t size_ = 0;
    unsigned read_ = 0;  // bit i: field i (t, x, y, p) was read
};

// A column as a contiguous array of `To`: the column itself when it is one,
// else a conversion by the core (the GIL released on large columns).
template <class To>
class Contiguous {
public:
    Contiguous(const morvel::kernels::Column& c, std::size_t n) {
        if (c.type == morvel::kernels::num_type_of<To> && c.stride == static_cast<std::ptrdiff_t>(sizeof(To))) {
            data_ = static_cast<const To*>(c.data);
            return;
        }
        storage_.resize(n);
        {
            MaybeNoGil nogil(n * sizeof(To) >= kReleaseGilBytes);
            morvel::kernels::cast_column(c, n, storage_.data());
        }
        data_ = storage_.data();
    }
    const To* data() const noexcept { return data_; }

private:
    const To* data_ = nullptr;
    std::vector<To> storage_;
};

// Events given to a writer must be arrays.
inline void require_ndarray(PyObject* events) {
    if (!PyArray_Check(events)) {
        Ref name = check(PyType_GetName(Py_TYPE(events)));
        raise(PyExc_TypeError, "events must be np.ndarray, got %U", name.get());
    }
}

// Contiguous EVENT_DTYPE records of a table of events, for a writer.
struct EventRecords {
    Ref holder;  // owns the memory (the array given, or a new one)
    const morvel::kernels::Event* data = nullptr;
    std::size_t n = 0;
};

// `events` (an array) as records, matched by field name. Fields of the event
// types are taken as they are (the writer checks the values against what its
// format holds); fields of other types are converted through int64 and
// checked here first (t not negative, x and y in [0, coordinate_limit), p 0
// or 1), so that no value is wrapped into range by a cast. ValueError
// "cannot encode event N: ..." names the first that is not.
inline EventRecords event_records(PyObject* events, long long coordinate_limit) {
    namespace kn = morvel::kernels;
    using kn::Event;
    require_ndarray(events);
    const EventTable table(events, "txyp", kEventFields, {NPY_INT64, NPY_INT64, NPY_INT64, NPY_INT64});
    const std::size_t n = table.size();
    if (const Event* records = table.records()) return {Ref::borrow(events), records, n};
    const kn::EventColumns& c = table.columns();
    Ref out = np::empty(static_cast<npy_intp>(n));
    Event* ev = np::events_data(out);
    if (c.t.type == kn::NumType::u64 && c.x.type == kn::NumType::u16 && c.y.type == kn::NumType::u16 &&
        c.p.type == kn::NumType::u8) {
        kn::interleave(c, n, ev);  // our field types at another layout or stride
        return {std::move(out), ev, n};
    }
    const Contiguous<std::int64_t> t(c.t, n), x(c.x, n), y(c.y, n), p(c.p, n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        if (t.data()[i] < 0) raise(PyExc_ValueError, "cannot encode event %zd: t must not be negative", at);
        if (x.data()[i] < 0 || x.data()[i] >= coordinate_limit)
            raise(PyExc_ValueError, "cannot encode event %zd: x must be in [0, %lld)", at, coordinate_limit);
        if (y.data()[i] < 0 || y.data()[i] >= coordinate_limit)
            raise(PyExc_ValueError, "cannot encode event %zd: y must be in [0, %lld)", at, coordinate_limit);
        if (p.data()[i] != 0 && p.data()[i] != 1)
            raise(PyExc_ValueError, "cannot encode event %zd: p must be 0 or 1", at);
    }
    for (std::size_t i = 0; i < n; ++i)
        ev[i] = Event{static_cast<std::uint64_t>(t.data()[i]), static_cast<std::uint16_t>(x.data()[i]),
                      static_cast<std::uint16_t>(y.data()[i]), static_cast<std::uint8_t>(p.data()[i])};
    return {std::move(out), ev, n};
}

// Rows [0, n) of a consumer's event columns as records (cast as astype
// casts them), a signed or float p column read as p > 0 (so -1/+1
// polarities give 0/1).
inline void consumer_records(const morvel::kernels::EventColumns& c, std::size_t n, morvel::kernels::Event* out) {
    namespace kn = morvel::kernels;
    MaybeNoGil nogil(n * sizeof(kn::Event) >= kReleaseGilBytes);
    kn::interleave(c, n, out);
    using T = kn::NumType;
    if (c.p.type == T::i8 || c.p.type == T::i16 || c.p.type == T::i32 || c.p.type == T::i64 || c.p.type == T::f32 ||
        c.p.type == T::f64) {
        std::int64_t p[2048];
        for (std::size_t i = 0; i < n; i += 2048) {
            const std::size_t m = std::min<std::size_t>(2048, n - i);
            kn::cast_column(c.p.from(i), m, p);
            for (std::size_t j = 0; j < m; ++j) out[i + j].p = p[j] > 0;
        }
    }
}

// The events of any table the conversion core reads (fields t, x, y, p
// matched by name), as contiguous EVENT_DTYPE records: the array itself when
// it holds them, else a copy made by consumer_records. `table` is the
// events' own, where the caller has made it already.
inline EventRecords events_in(PyObject* events, const EventTable& table) {
    namespace kn = morvel::kernels;
    const std::size_t n = table.size();
    if (const kn::Event* records = table.records()) return {Ref::borrow(events), records, n};
    Ref out = np::empty(static_cast<npy_intp>(n));
    kn::Event* ev = np::events_data(out);
    consumer_records(table.columns(), n, ev);
    return {std::move(out), ev, n};
}

inline EventRecords events_in(PyObject* events) {
    require_ndarray(events);
    return events_in(events, EventTable(events));
}

// Every event inside a width x height sensor (width 0: no sensor size).
// first_index: the number of events written before these, for the message.
inline void check_inside_sensor(const EventRecords& records, std::uint32_t width, std::uint32_t height,
                                long long first_index) {
    if (!width) return;
    for (std::size_t i = 0; i < records.n; ++i) {
        const morvel::kernels::Event& e = records.data[i];
        if (e.x >= width || e.y >= height)
            raise(PyExc_ValueError, "cannot encode event %lld (x=%u, y=%u): outside the %ux%u sensor",
                  first_index + static_cast<long long>(i), unsigned{e.x}, unsigned{e.y}, width, height);
    }
}

}  // namespace kit
