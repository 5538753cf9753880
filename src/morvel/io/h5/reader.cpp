// H5EventReader: a file of either layout read chunk by chunk, and time
// windows found by a binary search over the timestamp dataset on disk.

#include "h5.hpp"

#include <algorithm>

namespace morvel::io::h5 {
namespace {

struct ReaderFields {
    Ref path;      // str
    Ref config;    // the configuration in use
    Ref stream;    // the camera asked for, or null for the first
    Ref n_events;  // cached count; null until first counted
    std::size_t chunk_size = 0;
};

using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::config, &ReaderFields::stream,
                             &ReaderFields::n_events>;
using Reader = ReaderType::Self;

constexpr auto kInit = kit::type_init("H5EventReader", kit::Param{"path", "Union[str, Path]"},
                                      kit::Param{"chunk_size", "int", "50000"},
                                      kit::Param{"config", "Optional[H5Config]", "None"},
                                      kit::Param{"stream", "Optional[str]", "None", nullptr, false, true});

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            const std::size_t chunk = kit::arg_chunk_size(a[1], 50000);
            PyObject* config = config_or_default(a[2]);
            Ref path = kit::arg_path(a[0]);
            PyObject* stream = a[3] ? kit::arg_exact_or_none(a[3], &PyUnicode_Type, "stream") : nullptr;
            Reader* self = ReaderType::of(self_obj);
            self->path = std::move(path);
            self->config = Ref::borrow(config);
            self->stream = stream ? Ref::borrow(stream) : Ref();
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
                const Plan plan = plan_file(h5, file.get(), self->path.get(), c, self->stream.get());
                n = kit::from_ssize(plan_length(plan));
            }
            file.close();
            return n;
        });
        self->n_events = count.copy();
        return count.release();
    });
}

PyObject* reader_get_layout(PyObject* self_obj, void*) {
    return kit::guard([&] {
        Reader* self = initialised(self_obj);
        const H5 h5(ensure_h5py());
        const Config c = load_config(self->config.get());
        return reading(self->path.get(), c, [&] {
            H5File file(h5, self->path.get(), "r", ChunkCache::on);
            Ref name;
            {
                const Plan plan = plan_file(h5, file.get(), self->path.get(), c, self->stream.get());
                name = kit::str(layout_name(plan.layout));
            }
            file.close();
            return name;
        }).release();
    });
}

PyObject* reader_get_stream(PyObject* self_obj, void*) {
    const Reader* self = ReaderType::of(self_obj);
    return kit::new_ref(self->stream ? self->stream.get() : Py_None);
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
        const Plan plan = reading(path, c, [&] { return plan_file(h5, file.get(), path, c, self->stream.get()); });
        FileSource src = reading(path, c, [&] { return FileSource(h5, plan, path, chunk, true); });
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
        return read_file(self->path.get(), self->config.get(), self->stream.get()).release();
    });
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
                const Plan plan = plan_file(h5, file.get(), self->path.get(), c, self->stream.get());
                const auto [lo, hi] = window_bounds(h5, plan, self->path.get(), t_start.get(), t_end.get());
                if (lo >= hi) {
                    out = np::empty(0);
                } else {
                    FileSource src(h5, plan, self->path.get(), hi - lo, false);
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
    "    config: Layout names; DEFAULT_H5_CONFIG when None.\n"
    "    stream: The camera of M3ED and MVSEC files, \"left\" or \"right\"; the\n"
    "        first present when None (ValueError for other files).\n\n"
    "With the default configuration the layouts of the public datasets are\n"
    "read as they ship: DSEC (/events/{p,t,x,y}, t plus /t_offset), M3ED\n"
    "(/prophesee/{left,right}/{x,y,t,p}), MVSEC (/davis/{left,right}/events,\n"
    "seconds rounded to microseconds, polarity -1/+1 as 0/1) and Prophesee's\n"
    "ECF-compressed /CD/events, decoded here without the vendor's plugin.\n"
    "Datasets compressed with the filters of hdf5plugin (Blosc, Zstandard,\n"
    "LZ4, ...) are read when it is installed (``pip install hdf5plugin``);\n"
    "without it they raise ImportError naming the filter.\n\n"
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
    "the timestamps in the file are sorted ascending: exactly what a full\n"
    "read gives for the window. Where the file has a time index (DSEC's\n"
    "/ms_to_idx, M3ED's ms_map_idx, Prophesee's /CD/indexes), each bound is\n"
    "one lookup and a search among the events of one step (1 ms, 2 ms); the\n"
    "entries used are checked against those events. Elsewhere each bound is\n"
    "found by a lower-bound search that reads single timestamps from the file\n"
    "(at most ceil(log2(N + 1)) per bound). Only the window itself is read in\n"
    "bulk. Works on every layout but the compound ones.\n\n"
    "Raises:\n"
    "    KeyError: the file has no timestamp dataset (compound layouts).\n"
    "    ValueError: the time index does not match the events.\n";

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
        {"layout", reader_get_layout, nullptr,
         "layout -> str\n\nThe file's layout, as _detect_layout names it (\"separate\", \"dsec\", \"prophesee\", ...).",
         nullptr},
        {"stream", reader_get_stream, nullptr, "The camera asked for (M3ED, MVSEC), or None for the first.", nullptr},
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
