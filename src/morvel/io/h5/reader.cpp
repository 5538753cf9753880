// H5EventReader: a file of either layout read chunk by chunk, and time
// windows found by a binary search over the timestamp dataset on disk.

#include "h5.hpp"

#include <algorithm>

namespace morvel::io::h5 {
namespace {

struct ReaderFields {
    Ref path;      // str
    Ref config;    // the configuration in use
    Ref n_events;  // cached count; null until first counted
    std::size_t chunk_size = 0;
};

using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::config, &ReaderFields::n_events>;
using Reader = ReaderType::Self;

constexpr auto kInit = kit::type_init("H5EventReader", kit::Param{"path", "Union[str, Path]"},
                                      kit::Param{"chunk_size", "int", "50000"},
                                      kit::Param{"config", "Optional[H5Config]", "None"});

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            const std::size_t chunk = kit::arg_chunk_size(a[1], 50000);
            PyObject* config = config_or_default(a[2]);
            Ref path = kit::arg_path(a[0]);
            Reader* self = ReaderType::of(self_obj);
            self->path = std::move(path);
            self->config = Ref::borrow(config);
            self->n_events.reset();
            self->chunk_size = chunk;
            return 0;
        },
        -1);
}

Reader* initialised(PyObject* self_obj) {
    Reader* self = ReaderType::of(self_obj);
    if (!self->path) kit::raise(PyExc_RuntimeError, "H5EventReader.__init__() was not called");
    return self;
}

PyObject* reader_get_n_events(PyObject* self_obj, void*) {
    return kit::guard([&] {
        Reader* self = initialised(self_obj);
        if (self->n_events) return self->n_events.copy().release();
        const H5 h5(ensure_h5py());
        const Config c = load_config(self->config.get());
        Ref count = reading(self->path.get(), c, [&] {
            H5File file(h5, self->path.get(), "r", ChunkCache::on);
            Ref n;
            {
                Ref g = group_of(file.get(), c);
                const Layout layout = detect_layout(file.get(), c);
                Ref ds = layout == Layout::separate ? item(g.get(), c.timestamp_key.get())
                                                    : compound_dataset(g.get(), c, layout);
                n = kit::from_ssize(length_1d(ds.get()));
            }
            file.close();
            return n;
        });
        self->n_events = count.copy();
        return count.release();
    });
}

PyObject* reader_get_cached_count(PyObject* self_obj, void*) {
    const Reader* self = ReaderType::of(self_obj);
    return kit::new_ref(self->n_events ? self->n_events.get() : Py_None);
}

// The chunked read. Runs from the first next(); the file is a local, so it is
// closed on every way out.
kit::Generator reader_chunks(PyObject* self_obj) {
    Reader* self = ReaderType::of(self_obj);
    const H5 h5(ensure_h5py());
    const Config c = load_config(self->config.get());
    PyObject* path = self->path.get();
    const auto chunk = static_cast<npy_intp>(std::min<std::size_t>(self->chunk_size, PY_SSIZE_T_MAX));
    H5File file = reading(path, c, [&] { return H5File(h5, path, "r", ChunkCache::off); });
    const long long size_at_open = open_file_size(file.get());
    {
        FileSource src = reading(path, c, [&] { return FileSource(h5, file.get(), c, chunk, true); });
        for (npy_intp start = 0; start < src.size();) {
            const npy_intp end = start + std::min(chunk, src.size() - start);
            check_not_shrunk(file.get(), path, size_at_open);
            Ref block = reading(path, c, [&] { return src.read(start, end); });
            check_not_shrunk(file.get(), path, size_at_open);
            co_yield std::move(block);
            start = end;
        }
    }
    file.close();
}

PyObject* reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        initialised(self_obj);
        return kit::make_generator(reader_chunks(self_obj), "H5EventReader.__iter__", self_obj).release();
    });
}

PyObject* reader_read_all(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        return read_file(self->path.get(), self->config.get()).release();
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

constexpr auto kWindow = kit::method("read_time_window", "np.ndarray", kit::Param{"t_start", "int"},
                                     kit::Param{"t_end", "int"});

PyObject* reader_read_time_window(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWindow, args, nargs, kwnames);
        const Reader* self = initialised(self_obj);
        Ref t_start = kit::arg_int_object(a[0], "t_start");
        Ref t_end = kit::arg_int_object(a[1], "t_end");
        const H5 h5(ensure_h5py());
        const Config c = load_config(self->config.get());
        return reading(self->path.get(), c, [&] {
            H5File file(h5, self->path.get(), "r", ChunkCache::on);
            Ref out;
            {
                if (detect_layout(file.get(), c) != Layout::separate)
                    refuse(PyExc_KeyError, "%R: read_time_window needs the separate layout (a dataset %R)",
                           self->path.get(), c.timestamp_key.get());
                Ref g = group_of(file.get(), c);
                Ref t_ds = item(g.get(), c.timestamp_key.get());
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
            return out;
        }).release();
    });
}

constexpr auto kIter = kit::method("__iter__", "Generator[np.ndarray, None, None]");
constexpr auto kReadAll = kit::method("read_all", "np.ndarray");

PyObject* reader_iter_method(PyObject* self_obj, PyObject*) { return reader_iter(self_obj); }

const char* const kReaderDoc =
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

const char* const kIterDoc =
    "Yield event chunks via h5py dataset slicing.\n\n"
    "A generator: the file is opened at the first step and stays open until\n"
    "the generator is exhausted, closed, fails or is collected. Every chunk\n"
    "is a new EVENT_DTYPE array of chunk_size events (the last holds the\n"
    "rest); an empty file yields nothing.\n";

const char* const kReadAllDoc =
    "Read entire file into one array.\n\n"
    "The same as ``read_h5(path, config=config)``: O(N) memory.\n";

const char* const kWindowDoc =
    "Read events within a time window using binary search. O(log N + K).\n\n"
    "Returns the events with t_start <= t < t_end (microseconds), assuming\n"
    "the timestamps in the file are sorted ascending. Each bound is found by a\n"
    "lower-bound search that reads single timestamps from the file (at most\n"
    "ceil(log2(N + 1)) per bound); only the window itself is read in bulk.\n"
    "Works on the separate layout only.\n\n"
    "Raises:\n"
    "    KeyError: the file has no timestamp dataset (compound layouts).\n";

}  // namespace

void add_reader(PyObject* m) {
    static PyMethodDef methods[] = {
        // Takes the place of the slot wrapper, to carry the documentation.
        [] {
            PyMethodDef d = kit::def(kIter, reader_iter_method, kIterDoc);
            d.ml_flags |= METH_COEXIST;
            return d;
        }(),
        kit::def(kReadAll, reader_read_all, kReadAllDoc),
        kit::def(kWindow, reader_read_time_window, kWindowDoc),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        kit::ref_field<ReaderFields, &ReaderFields::path>("path", "Path of the file, as text."),
        kit::ref_field<ReaderFields, &ReaderFields::config>("config", "Configuration in use."),
        {"n_events", reader_get_n_events, nullptr,
         "n_events -> int\n\nTotal number of events in the file. Cached after first access.", nullptr},
        {"_n_events", reader_get_cached_count, nullptr, "The cached count, None until n_events is first read.",
         nullptr},
        kit::chunk_size_field<ReaderFields, &ReaderFields::chunk_size>("Events per chunk (>= 1)."),
        kit::kEndGetSet,
    };
    ReaderType::add(m, "morvel.io.h5.H5EventReader",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kInit, kReaderDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(reader_init)},
                     {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
                     {Py_tp_methods, methods},
                     {Py_tp_getset, getset}});
}

}  // namespace morvel::io::h5
