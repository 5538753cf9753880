// The layouts the public datasets ship in, found from a file's names:
//   DSEC       /events/{p,t,x,y}, t u32 relative to /t_offset (i64), and
//              /ms_to_idx: entry k is the first event with t >= k ms
//   M3ED       /prophesee/{left,right}/{x,y,t,p}, each with ms_map_idx
//   MVSEC      /davis/{left,right}/events: (N, 4) float64 rows of x, y,
//              t in seconds and p in {-1, +1}
//   Prophesee  /CD/events: {x u16, y u16, p i16, t i64} records in ECF
//              chunks (ecf.cpp), /CD/indexes every 2000 us
// then the configured layouts. Also here: the filters a dataset needs, the
// events of a file whatever its layout, and time windows through the index
// tables.

#include "h5.hpp"
#include "kernels/h5_layouts.hpp"

#include <algorithm>
#include <limits>

namespace morvel::io::h5 {

namespace {

constexpr unsigned kEcfFilter = 0x8ECF;

Ref child(PyObject* group, const char* name) {
    Ref n = kit::str(name);
    return kit::check(PyObject_GetItem(group, n.get()));
}

bool is_group(PyObject* o) { return kit::check(PyObject_HasAttrStringWithError(o, "keys")) == 1; }

// The camera of a file with two: `stream`, or the first of left and right
// that `has` finds. ValueError for a camera the file does not have.
template <class Has>
Ref pick_stream(PyObject* path, PyObject* stream, const char* layout, Has has) {
    std::vector<const char*> present;
    for (const char* s : {"left", "right"})
        if (has(s)) present.push_back(s);
    if (present.empty()) refuse(PyExc_ValueError, "%S: a %s file without a 'left' or 'right' camera", path, layout);
    if (!stream) return kit::str(present[0]);
    if (!PyUnicode_Check(stream)) kit::raise_arg_type("stream", "str", stream);
    for (const char* s : present)
        if (PyUnicode_CompareWithASCIIString(stream, s) == 0) return Ref::borrow(stream);
    Ref names = kit::check(PyUnicode_FromString(present[0]));
    if (present.size() > 1) names = kit::check(PyUnicode_FromFormat("%s, %s", present[0], present[1]));
    refuse(PyExc_ValueError, "%S: no stream %R in this %s file (it has: %U)", path, stream, layout, names.get());
}

// A scalar integer dataset's value.
std::int64_t scalar_int(PyObject* ds, PyObject* path, const char* name) {
    Ref empty = kit::check(PyTuple_New(0));
    Ref v = kit::check(PyObject_GetItem(ds, empty.get()));
    Ref i = Ref::steal_or_null(PyNumber_Index(v.get()));
    if (!i) {
        PyErr_Clear();
        refuse(PyExc_ValueError, "%S: %s must be an integer scalar, got %R", path, name, v.get());
    }
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (overflow) refuse(PyExc_ValueError, "%S: %s = %R is outside the int64 range", path, name, i.get());
    if (r == -1 && PyErr_Occurred()) kit::raise();
    return r;
}

// An index table of `step` us per entry, from origin 0 of the stored times.
void set_index(Plan& p, Ref table, std::uint64_t step) {
    p.index = std::move(table);
    p.index_step = step;
    p.index_origin = 0;
}

// Element k of a one-dimensional integer dataset (or field `field` of it).
// (A one-element slice: h5py reads those much faster than an element.)
long long table_entry(PyObject* table, npy_intp k, const char* field = nullptr) {
    Ref rows = kit::check(PyObject_GetItem(table, slice(k, k + 1).get()));
    if (field) rows = kit::check(PyObject_GetItem(rows.get(), kit::str(field).get()));
    Ref v = kit::check(PySequence_GetItem(rows.get(), 0));
    Ref i = kit::check(PyNumber_Index(v.get()));
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (r == -1 && PyErr_Occurred()) kit::raise();
    return overflow ? (overflow > 0 ? std::numeric_limits<long long>::max() : -1) : r;
}

bool configured_plan(Plan& p, PyObject* file, PyObject* path, PyObject* stream) {
    // The root's names at once: one call instead of a lookup (and a KeyError) for each layout.
    Ref keys = kit::call_method(file, "keys");
    Ref names = kit::check(PySet_New(keys.get()));
    const auto find = [&](PyObject* group, const char* name) {
        if (group == file) {
            Ref n = kit::str(name);
            if (!kit::check(PySet_Contains(names.get(), n.get()))) return Ref();
        }
        return morvel::io::h5::find(group, name);
    };
    const auto single = [&](const char* layout) {
        if (stream)
            refuse(PyExc_ValueError, "%S: stream= picks the camera of M3ED and MVSEC files; this %s file has one",
                   path, layout);
    };
    if (Ref cd = find(file, "CD")) {  // Prophesee
        if (Ref events = find(cd.get(), "events")) {
            single("Prophesee");
            p.layout = Layout::prophesee;
            p.dataset = std::move(events);
            if (Ref idx = find(cd.get(), "indexes")) {
                Ref names = kit::getattr(kit::getattr(idx.get(), "dtype").get(), "names");
                Ref shape = kit::getattr(idx.get(), "shape");
                const npy_intp len = PyTuple_Check(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 1
                                         ? PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) : 0;
                if (len < 0) kit::raise();
                bool fields = false;
                if (names.get() != Py_None) {
                    Ref id = kit::str("id"), ts = kit::str("ts");
                    fields = kit::check(PySequence_Contains(names.get(), id.get())) == 1 &&
                             kit::check(PySequence_Contains(names.get(), ts.get())) == 1;
                }
                // A table of another form is not used (windows then search the events).
                const long long origin = fields && len > 0 ? table_entry(idx.get(), 0, "ts") : -1;
                if (origin >= 0) {
                    p.index = std::move(idx);
                    p.index_times = kit::str("ts");
                    p.index_step = 2000;
                    p.index_origin = static_cast<std::uint64_t>(origin);
                }
            }
            return true;
        }
    }
    if (Ref davis = find(file, "davis")) {  // MVSEC
        if (is_group(davis.get())) {
            Ref s = pick_stream(path, stream, "MVSEC", [&](const char* cam) {
                Ref g = morvel::io::h5::find(davis.get(), cam);
                return g && holds(g.get(), "events");
            });
            Ref g = kit::check(PyObject_GetItem(davis.get(), s.get()));
            p.layout = Layout::mvsec;
            p.dataset = child(g.get(), "events");
            p.stream = std::move(s);
            return true;
        }
    }
    if (Ref cams = find(file, "prophesee")) {  // M3ED
        if (is_group(cams.get())) {
            Ref s = pick_stream(path, stream, "M3ED", [&](const char* cam) {
                Ref g = morvel::io::h5::find(cams.get(), cam);
                return g && holds(g.get(), "t");
            });
            p.layout = Layout::m3ed;
            p.group = kit::check(PyObject_GetItem(cams.get(), s.get()));
            p.stream = std::move(s);
            if (Ref idx = find(p.group.get(), "ms_map_idx")) set_index(p, std::move(idx), 1000);
            return true;
        }
    }
    if (Ref events = find(file, "events")) {  // DSEC
        Ref offset = find(file, "t_offset"), idx = find(file, "ms_to_idx");
        if ((offset || idx) && is_group(events.get()) && holds(events.get(), "t")) {
            single("DSEC");
            p.layout = Layout::dsec;
            p.group = std::move(events);
            if (offset) p.t_offset = scalar_int(offset.get(), path, "/t_offset");
            if (idx) set_index(p, std::move(idx), 1000);
            return true;
        }
    }
    return false;
}

}  // namespace

Plan plan_file(const H5& h5, PyObject* file, PyObject* path, const Config& c, PyObject* stream) {
    if (stream == Py_None) stream = nullptr;
    Plan p;
    if (c.is_default && configured_plan(p, file, path, stream)) {
        p.config = load_config(nullptr);
    } else {
        if (stream)
            refuse(PyExc_ValueError, "%S: stream= picks the camera of M3ED and MVSEC files; this file has one", path);
        p.layout = detect_layout(file, c);
        p.config = copy_config(c);
        Ref g = group_of(file, c);
        if (p.layout == Layout::separate)
            p.group = std::move(g);
        else
            p.dataset = compound_dataset(g.get(), c, p.layout);
    }
    // What HDF5 needs to read the datasets.
    if (p.separate_columns()) {
        const auto keys = p.config.keys();
        for (std::size_t i = 0; i < 4; ++i)
            if ((p.columns[i] = find(p.group.get(), keys[i]))) check_filters(h5, p.columns[i].get(), path, false);
    } else {
        const Pipeline pipeline = check_filters(h5, p.dataset.get(), path, p.layout == Layout::prophesee);
        p.ecf = p.layout == Layout::prophesee && pipeline.ecf;
        // Direct chunk reads give the bytes after every filter: ECF must be the only one.
        if (p.ecf && pipeline.filters != 1)
            refuse(PyExc_ValueError, "%S: %R has filters besides ECF in its pipeline (%ld in all); they are not read here",
                   path, p.dataset.get(), pipeline.filters);
    }
    if (p.index) check_filters(h5, p.index.get(), path, false);
    return p;
}

// A column of the plan: opened by plan_file, or KeyError when the file has none.
static Ref column(const Plan& p, std::size_t i) {
    if (!p.columns[i]) refuse(PyExc_KeyError, "%R", p.config.keys()[i]);
    return p.columns[i].copy();
}

npy_intp plan_length(const Plan& p) {
    if (p.separate_columns()) return length_1d(column(p, 0).get());
    if (p.layout == Layout::mvsec) {
        Ref shape = kit::getattr(p.dataset.get(), "shape");
        if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2)
            refuse(PyExc_ValueError, "%R must be two-dimensional (N, 4) (shape %R)", p.dataset.get(), shape.get());
        const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
        if (n == -1 && PyErr_Occurred()) kit::raise();
        return n;
    }
    return length_1d(p.dataset.get());
}

Pipeline check_filters(const H5& h5, PyObject* ds, PyObject* path, bool native_ecf) {
    Pipeline pipeline;
    if (!h5.is_dataset(ds)) return pipeline;
    Ref id = kit::getattr(ds, "id");
    Ref plist = kit::call_method(id.get(), "get_create_plist");
    Ref count = kit::call_method(plist.get(), "get_nfilters");
    const long nf = PyLong_AsLong(count.get());
    if (nf == -1 && PyErr_Occurred()) kit::raise();
    pipeline.filters = nf;
    Ref avail = kit::getattr(kit::getattr(h5.mod.get(), "h5z").get(), "filter_avail");
    for (long i = 0; i < nf; ++i) {
        Ref f = kit::call_method(plist.get(), "get_filter", kit::from_ll(i).get());
        PyObject* code_obj = PyTuple_GET_ITEM(f.get(), 0);
        const long code = PyLong_AsLong(code_obj);
        if (code == -1 && PyErr_Occurred()) kit::raise();
        if (code == static_cast<long>(kEcfFilter)) pipeline.ecf = true;
        if (code == static_cast<long>(kEcfFilter) && native_ecf) continue;
        Ref ok = kit::call(avail.get(), code_obj);
        if (kit::check(PyObject_IsTrue(ok.get()))) continue;
        Ref name = Ref::borrow(PyTuple_GET_ITEM(f.get(), 3));
        if (PyBytes_Check(name.get())) name = kit::check(PyUnicode_DecodeASCII(PyBytes_AS_STRING(name.get()), PyBytes_GET_SIZE(name.get()), "replace"));
        Ref ds_name = kit::getattr(ds, "name");
        if (code == static_cast<long>(kEcfFilter))
            refuse(PyExc_ImportError,
                   "%S: dataset %S is compressed with the HDF5 filter %ld (ECF, %R), which this package decodes "
                   "only as Prophesee's /CD/events; for other datasets install the vendor's hdf5_ecf plugin",
                   path, ds_name.get(), code, name.get());
        refuse(PyExc_ImportError,
               "%S: dataset %S is compressed with the HDF5 filter %ld (%R), which is not available. Install it "
               "with: pip install hdf5plugin",
               path, ds_name.get(), code, name.get());
    }
    return pipeline;
}

// ---------------------------------------------------------------------------
// MVSEC rows.

MvsecSource::MvsecSource(Ref ds, npy_intp max_request, bool read_ahead) : ds_(std::move(ds)), read_ahead_(read_ahead) {
    Ref shape = kit::getattr(ds_.get(), "shape");
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2 ||
        PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1)) != 4) {
        if (PyErr_Occurred()) kit::raise();
        refuse(PyExc_ValueError, "%R must be an (N, 4) array of x, y, t, p rows (shape %R)", ds_.get(), shape.get());
    }
    n_ = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    if (n_ == -1 && PyErr_Occurred()) kit::raise();
    // Rows of 32 bytes: blocks of a quarter of the usual events.
    block_ = std::min(n_, kBlockEvents / 4);
    if (!read_ahead_) block_ = std::min(block_, max_request);
    block_ = std::max<npy_intp>(block_, 1);
    rows_ = np::zeros({block_, 4}, NPY_FLOAT64);
}

void MvsecSource::read_into(Event* out, npy_intp start, npy_intp end) {
    while (start < end) {
        if (start < win_start_ || start >= win_end_) {
            win_start_ = win_end_ = 0;
            const npy_intp ws = start, we = std::min(read_ahead_ ? n_ : end, start + block_);
            Ref dest = we - ws == block_ ? rows_.copy() : np::slice_view(rows_, 0, we - ws);
            kit::call_method(ds_.get(), "read_direct", dest.get(), slice(ws, we).get());
            win_start_ = ws;
            win_end_ = we;
        }
        const npy_intp m = std::min(end, win_end_) - start;
        const double* rows = static_cast<const double*>(PyArray_DATA(np::arr(rows_))) + 4 * (start - win_start_);
        kn::RowFault fault;
        const std::size_t done = kn::mvsec_rows(rows, static_cast<std::size_t>(m), out, fault);
        if (done != static_cast<std::size_t>(m)) {
            static const char* const what[] = {"", "x is not a pixel coordinate", "y is not a pixel coordinate",
                                               "t is not a time of 0 s or later", "p is not -1 or +1"};
            const double* r = rows + 4 * done;
            Ref row = kit::check(Py_BuildValue("(dddd)", r[0], r[1], r[2], r[3]));
            refuse(PyExc_ValueError, "%R: row %zd %R is no event: %s", ds_.get(),
                   static_cast<Py_ssize_t>(start + static_cast<npy_intp>(done)), row.get(),
                   what[static_cast<int>(fault)]);
        }
        out += m;
        start += m;
    }
}

// ---------------------------------------------------------------------------
// Files.

FileSource::FileSource(const H5& h5, const Plan& p, PyObject* path, npy_intp max_request, bool read_ahead)
    : t_offset_(p.t_offset) {
    switch (p.layout) {
        case Layout::separate:
        case Layout::dsec:
        case Layout::m3ed:
            separate_.emplace(h5, std::array<Ref, 4>{column(p, 0), column(p, 1), column(p, 2), column(p, 3)},
                              max_request, read_ahead);
            n_ = separate_->size();
            break;
        case Layout::mvsec:
            mvsec_.emplace(p.dataset.copy(), max_request, read_ahead);
            n_ = mvsec_->size();
            break;
        case Layout::prophesee:
            if (p.ecf) {
                ecf_.emplace(h5, p.dataset.copy(), path);
                n_ = ecf_->size();
                break;
            }
            [[fallthrough]];
        default:
            compound_.emplace(h5, p.dataset.copy(), max_request, read_ahead);
            n_ = compound_->size();
    }
}

void FileSource::read_into(Event* out, npy_intp start, npy_intp end) {
    if (separate_)
        separate_->read_into(out, start, end);
    else if (compound_)
        compound_->read_into(out, start, end);
    else if (mvsec_)
        mvsec_->read_into(out, start, end);
    else
        ecf_->read_into(out, start, end);
    std::size_t at = 0;
    if (!kn::offset_times(out, static_cast<std::size_t>(end - start), t_offset_, at))
        refuse(PyExc_ValueError, "event %zd: its time plus /t_offset %lld leaves the range of times",
               static_cast<Py_ssize_t>(start + static_cast<npy_intp>(at)), static_cast<long long>(t_offset_));
}

Ref FileSource::read(npy_intp start, npy_intp end) {
    Ref out = np::empty(end - start);
    read_into(np::events_data(out), start, end);
    return out;
}

Ref read_file(PyObject* path_arg, PyObject* config, PyObject* stream) {
    const H5 h5(ensure_h5py());
    const Config c = load_config(config);
    Ref path = kit::arg_path(path_arg);
    return reading(path.get(), c, [&] {
        H5File file(h5, path.get(), "r", ChunkCache::off);
        Ref out;
        {
            const Plan plan = plan_file(h5, file.get(), path.get(), c, stream);
            FileSource src(h5, plan, path.get(), std::numeric_limits<npy_intp>::max(), false);
            out = src.read(0, src.size());
        }
        file.close();
        return out;
    });
}

// ---------------------------------------------------------------------------
// Time windows.

namespace {

__extension__ typedef __int128 Time;  // times and bounds, with room on both sides

Time time_arg(PyObject* v) {
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (r == -1 && PyErr_Occurred()) kit::raise();
    if (overflow) return overflow > 0 ? Time(1) << 100 : -(Time(1) << 100);
    return r;
}

// Finds the first event with t >= a bound.
class Search {
public:
    Search(const H5& h5, const Plan& p, PyObject* path) : h5_(h5), p_(p), path_(path), n_(plan_length(p)) {
        if (p.separate_columns()) t_ds_ = column(p, 0);
        if (p.index) {
            // A table that is no table of indices is reported here, when a window would use it.
            if (!p.index_times) {
                Ref dtype = kit::getattr(p.index.get(), "dtype");
                Ref kind = kit::getattr(dtype.get(), "kind");
                if (PyUnicode_CompareWithASCIIString(kind.get(), "u") != 0 &&
                    PyUnicode_CompareWithASCIIString(kind.get(), "i") != 0)
                    refuse(PyExc_ValueError, "%S: the time index %R must hold integers, not %R", path,
                           p.index.get(), dtype.get());
            }
            table_len_ = length_1d(p.index.get());
        }
    }

    npy_intp size() const noexcept { return n_; }

    npy_intp lower_bound(Time bound) {
        if (n_ == 0) return 0;
        if (p_.index && table_len_ > 0) return indexed(bound);
        npy_intp lo = 0, hi = n_;
        while (lo < hi) {
            const npy_intp mid = lo + (hi - lo) / 2;
            if (time_at(mid) < bound)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }

private:
    // The time of event i (offset added).
    Time time_at(npy_intp i) {
        if (t_ds_) {
            Ref rows = kit::check(PyObject_GetItem(t_ds_.get(), slice(i, i + 1).get()));
            Ref v = kit::check(PySequence_GetItem(rows.get(), 0));
            Ref n = kit::check(PyNumber_Long(v.get()));
            return time_arg(n.get()) + p_.t_offset;
        }
        Event e;
        events(i, i + 1, &e);
        return static_cast<Time>(e.t);
    }

    void events(npy_intp a, npy_intp b, Event* out) {
        if (!src_) src_.emplace(h5_, p_, path_, b - a, false);
        src_->read_into(out, a, b);
    }

    // The times of events [a, b) (offset added) into times_: the time column
    // alone where there is one.
    void times(npy_intp a, npy_intp b) {
        times_.resize(static_cast<std::size_t>(b - a));
        if (b <= a) return;
        if (t_ds_) {
            Ref raw = kit::check(PyObject_GetItem(t_ds_.get(), slice(a, b).get()));
            Ref arr = kit::check(PyArray_FromAny(raw.get(), np::descr(NPY_UINT64).release(), 1, 1,
                                                 NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_FORCECAST, nullptr));
            if (PyArray_DIM(np::arr(arr), 0) != b - a)
                refuse(PyExc_ValueError, "%R gave %zd times for %zd requested", t_ds_.get(),
                       static_cast<Py_ssize_t>(PyArray_DIM(np::arr(arr), 0)), static_cast<Py_ssize_t>(b - a));
            const auto* raw_t = static_cast<const std::uint64_t*>(PyArray_DATA(np::arr(arr)));
            for (std::size_t i = 0; i < times_.size(); ++i) times_[i] = static_cast<Time>(raw_t[i]) + p_.t_offset;
            return;
        }
        buffer_.resize(times_.size());
        events(a, b, buffer_.data());
        for (std::size_t i = 0; i < times_.size(); ++i) times_[i] = static_cast<Time>(buffer_[i].t);
    }

    long long entry(npy_intp k) {
        const long long v = table_entry(p_.index.get(), k, p_.index_times ? "id" : nullptr);
        if (p_.index_times) {
            const long long ts = table_entry(p_.index.get(), k, "ts");
            if (static_cast<Time>(ts) != boundary_stored(k))
                refuse(PyExc_ValueError,
                       "%S: the time index does not match the events: entry %zd is for t = %lld, not %lld", path_,
                       static_cast<Py_ssize_t>(k), ts, static_cast<long long>(boundary_stored(k)));
        }
        if (v < 0 || v > static_cast<long long>(n_))
            refuse(PyExc_ValueError,
                   "%S: the time index does not match the events: entry %zd is %lld, but there are %zd events",
                   path_, static_cast<Py_ssize_t>(k), v, static_cast<Py_ssize_t>(n_));
        return v;
    }

    Time boundary_stored(npy_intp k) const {
        return static_cast<Time>(p_.index_origin) + static_cast<Time>(k) * static_cast<Time>(p_.index_step);
    }
    Time boundary(npy_intp k) const { return boundary_stored(k) + p_.t_offset; }

    [[noreturn]] void mismatch(npy_intp k, npy_intp at, Time t) {
        refuse(PyExc_ValueError,
               "%S: the time index does not match the events: entry %zd says event %zd is the first at or after "
               "t = %lld, but that event or the one before it has t = %lld",
               path_, static_cast<Py_ssize_t>(k), static_cast<Py_ssize_t>(at), static_cast<long long>(boundary(k)),
               static_cast<long long>(t));
    }

    // One lookup, the events of one step read, and a search among them; the
    // entries used are checked against those events.
    npy_intp indexed(Time bound) {
        const Time first = boundary(0);
        npy_intp k = 0;
        if (bound > first) {
            const Time steps = (bound - first) / static_cast<Time>(p_.index_step);
            k = steps >= static_cast<Time>(table_len_) ? table_len_ : static_cast<npy_intp>(steps);
        }
        const npy_intp kk = std::min(k, table_len_ - 1);
        npy_intp a = bound <= first ? 0 : static_cast<npy_intp>(entry(kk));
        const bool has_next = k + 1 < table_len_ && k < table_len_;
        const npy_intp b = has_next ? static_cast<npy_intp>(entry(k + 1)) : n_;
        if (b < a)
            refuse(PyExc_ValueError, "%S: the time index does not match the events: entries %zd and %zd decrease",
                   path_, static_cast<Py_ssize_t>(kk), static_cast<Py_ssize_t>(k + 1));
        const npy_intp lo = std::max<npy_intp>(a - 1, 0), hi = std::min(b + 1, n_);
        times(lo, hi);
        auto t = [&](npy_intp i) { return times_[static_cast<std::size_t>(i - lo)]; };
        if (bound > first) {  // entry kk: a is the first event at or after its boundary
            if (a > 0 && t(a - 1) >= boundary(kk)) mismatch(kk, a, t(a - 1));
            if (a < n_ && t(a) < boundary(kk)) mismatch(kk, a, t(a));
        }
        if (has_next) {
            if (b > 0 && b - 1 >= a && t(b - 1) >= boundary(k + 1)) mismatch(k + 1, b, t(b - 1));
            if (b < n_ && t(b) < boundary(k + 1)) mismatch(k + 1, b, t(b));
        }
        npy_intp i = a, j = b;  // the first of [a, b) at or after the bound
        while (i < j) {
            const npy_intp mid = i + (j - i) / 2;
            if (t(mid) < bound)
                i = mid + 1;
            else
                j = mid;
        }
        return i;
    }

    const H5& h5_;
    const Plan& p_;
    PyObject* path_;
    npy_intp n_ = 0;
    npy_intp table_len_ = 0;
    Ref t_ds_;
    std::optional<FileSource> src_;
    std::vector<Event> buffer_;
    std::vector<Time> times_;
};

}  // namespace

std::pair<npy_intp, npy_intp> window_bounds(const H5& h5, const Plan& p, PyObject* path, PyObject* t_start,
                                            PyObject* t_end) {
    if (p.layout == Layout::compound || p.layout == Layout::compound_fallback)
        refuse(PyExc_KeyError, "%R: read_time_window needs the separate layout (a dataset %R)", path,
               p.config.timestamp_key.get());
    Search s(h5, p, path);
    const Time ts = time_arg(t_start), te = time_arg(t_end);
    const npy_intp lo = s.lower_bound(ts);
    const npy_intp hi = te <= ts ? lo : s.lower_bound(te);
    return {lo, std::max(lo, hi)};
}

}  // namespace morvel::io::h5
