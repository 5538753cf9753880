// H5EventWriter: a stream of events recorded with bounded memory, buffered
// and written in whole chunks to four unlimited datasets.

#include "h5.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <sys/statvfs.h>

namespace morvel::io::h5 {
namespace {

// Largest chunk of the streaming writer: HDF5 chunks stay below 4 GiB.
constexpr long long kMaxChunk = (1LL << 32) / 8 - 1;

// What belongs to the open file.
struct OpenFile {
    Ref file;           // h5py File
    Ref attrs;          // the group's attributes
    Ref create_simple;  // h5py.h5s.create_simple
    Datasets datasets;  // low-level ids and memory types of t, x, y, p
    Stage stage;        // staging columns of `capacity` elements

    template <class F>
    void refs(F&& f) {
        f(file);
        f(attrs);
        f(create_simple);
        datasets.refs(f);
        stage.refs(f);
    }
};

struct WriterFields {
    Ref path;         // str
    Ref config;       // the configuration in use
    Ref sensor_size;  // tuple, or null for None
    std::optional<OpenFile> open;  // empty once closed
    Py_ssize_t chunk_size = 0;
    Py_ssize_t capacity = 0;   // a whole number of chunks
    Py_ssize_t committed = 0;  // events in the datasets that are never rewritten (whole chunks)
    Py_ssize_t buffered = 0;   // events staged after them (the first may already be in the file)
    Py_ssize_t written = 0;    // the datasets' common length after the last successful write
    std::uint64_t t_min = std::numeric_limits<std::uint64_t>::max(), t_max = 0;
    bool busy = false;
};

using WriterType = kit::Type<WriterFields, &WriterFields::path, &WriterFields::config, &WriterFields::sensor_size,
                             &WriterFields::open>;
using Writer = WriterType::Self;

// One call at a time: a second thread (or a re-entrant call) is refused
// instead of racing on the buffers while the GIL is released.
const char* const kBusy = "H5EventWriter is already in use by another call";

Writer* initialised(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->path) kit::raise(PyExc_RuntimeError, "H5EventWriter.__init__() was not called");
    return w;
}

Writer* open_writer(PyObject* self_obj) {
    Writer* w = initialised(self_obj);
    if (!w->open) kit::raise(PyExc_ValueError, "I/O operation on closed H5EventWriter");
    return w;
}

constexpr auto kInit = kit::type_init(
    "H5EventWriter", kit::Param{"path", "Union[str, Path]"}, kit::Param{"config", "Optional[H5Config]", "None"},
    kit::Param{"sensor_size", "Optional[Tuple[int, int]]", "None"},
    kit::Param{"compression", "Optional[str]", "'gzip'"}, kit::Param{"compression_opts", "int", "4"},
    kit::Param{"chunk_size", "int", "100000"});

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            Writer* w = WriterType::of(self_obj);
            if (w->path) kit::raise(PyExc_RuntimeError, "H5EventWriter.__init__() cannot be called twice");
            Ref sensor_size = checked_sensor_size(a[2]);
            const Compression comp = compression_args(a[3], a[4]);
            const long long chunk = kit::arg_int(a[5], "chunk_size", 100000);
            if (chunk < 1 || chunk > kMaxChunk)
                kit::raise(PyExc_ValueError, "chunk_size must be between 1 and %lld, got %lld", kMaxChunk, chunk);
            const H5 h5(ensure_h5py());
            PyObject* config = config_or_default(a[1]);
            const Config c = load_config(config);
            check_for_writing(c);
            Ref path = kit::arg_path(a[0]);

            H5File file(h5, path.get(), "w", ChunkCache::off);
            Ref g = c.group_set ? kit::call_method(file.get(), "create_group", c.events_group.get())
                                : Ref::borrow(file.get());
            OpenFile open;
            open.datasets = create_datasets(h5, g.get(), c, 0, static_cast<npy_intp>(chunk), comp, true);
            open.attrs = kit::getattr(g.get(), "attrs");
            write_attributes(open.attrs.get(), 0, sensor_size.get(), kn::Range{});
            const npy_intp capacity = static_cast<npy_intp>(chunk) * std::max<npy_intp>(1, kBlockEvents / chunk);
            open.stage = Stage(capacity);
            open.create_simple = h5.create_simple.copy();
            open.file = file.release();

            w->path = std::move(path);
            w->config = Ref::borrow(config);
            w->sensor_size = std::move(sensor_size);
            w->open = std::move(open);
            w->chunk_size = static_cast<Py_ssize_t>(chunk);
            w->capacity = capacity;
            return 0;
        },
        -1);
}

// HDF5 files have no journal: a write that runs out of space half-way can
// leave the four datasets at different lengths on disk. Check the room first
// (the data plus a margin for HDF5's own metadata), so a full disk is
// reported while the file still holds every flushed event.
void check_room(const Writer* w) {
    const unsigned long long need = static_cast<unsigned long long>(w->buffered) * sizeof(Event) + (1u << 20);
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(w->path.get(), &encoded)) kit::raise();
    Ref holder = Ref::steal(encoded);
    struct statvfs fs;
    if (::statvfs(PyBytes_AS_STRING(encoded), &fs) == 0) {
        const unsigned long long room = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
        if (room < need) {
            errno = ENOSPC;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, w->path.get());
            kit::raise();
        }
    }
}

// Write the staged events after `committed`; keep a partial last chunk
// staged, so that it is written again, whole, with the events that follow.
void write_stage(Writer* w) {
    if (w->buffered == 0) return;
    check_room(w);
    OpenFile& f = *w->open;
    Ref extent = tuple1(w->committed + w->buffered);
    try {
        for (std::size_t i = 0; i < 4; ++i) {
            kit::call_method(f.datasets.ids[i].get(), "set_extent", extent.get());
            write_column(f.create_simple.get(), f.datasets.ids[i].get(), f.datasets.mtypes[i].get(),
                         f.stage.cols[i].get(), w->committed, w->buffered);
        }
    } catch (const kit::PyError&) {
        // A failed write (a full disk, say) may leave some datasets longer
        // than others, and the file unreadable. Bring all four back to the
        // length they last reached together (shrinking needs no space), so
        // the file still reads back every event written before; the error
        // goes on to the caller.
        Ref back = tuple1(w->written);
        for (const Ref& id : f.datasets.ids) kit::call_method_quietly(id.get(), "set_extent", back.get());
        throw;
    }
    w->written = w->committed + w->buffered;
    const Py_ssize_t whole = w->buffered - w->buffered % w->chunk_size;
    const Py_ssize_t tail = w->buffered - whole;
    if (whole && tail) {
        for (const Ref& col : f.stage.cols) {
            auto* a = np::arr(col);
            const auto size = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
            char* data = static_cast<char*>(PyArray_DATA(a));
            std::memmove(data, data + static_cast<std::size_t>(whole) * size, static_cast<std::size_t>(tail) * size);
        }
    }
    w->committed += whole;
    w->buffered = tail;
}

void append_impl(Writer* w, PyObject* events) {
    kit::Busy busy(w->busy, kBusy);
    const kit::EventTable src = writer_events(events);
    const auto n = static_cast<npy_intp>(src.size());
    for (npy_intp done = 0; done < n;) {
        if (w->buffered == w->capacity) write_stage(w);
        const npy_intp take = std::min<npy_intp>(w->capacity - w->buffered, n - done);
        const kn::Range r = split_block(w->open->stage, w->buffered, src, done, take);
        w->t_min = std::min(w->t_min, r.min);
        w->t_max = std::max(w->t_max, r.max);
        w->buffered += take;
        done += take;
    }
    if (w->buffered == w->capacity) write_stage(w);
}

void flush_impl(Writer* w) {
    write_stage(w);
    kn::Range r;
    r.min = w->t_min;
    r.max = w->t_max;
    write_attributes(w->open->attrs.get(), w->committed + w->buffered, w->sensor_size.get(), r);
    kit::call_method(w->open->file.get(), "flush");
}

// Flush, then close the file whatever the flush gave; a flush error is
// raised after the file is closed.
void close_impl(Writer* w) {
    if (!w->open) return;
    kit::Busy busy(w->busy, kBusy);
    bool flushed = true;
    try {
        flush_impl(w);
    } catch (const kit::PyError&) {
        flushed = false;
    }
    Ref file = std::move(w->open->file);
    w->open.reset();
    if (!flushed) {
        kit::call_method_quietly(file.get(), "close");  // the flush error stays the one raised
        kit::raise();
    }
    kit::call_method(file.get(), "close");
}

void writer_finalize(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->open) return;
    kit::KeepError keep;
    if (!kit::guard([&] { close_impl(w); return true; }, false)) PyErr_WriteUnraisable(self_obj);
}

constexpr auto kAppend = kit::method("append", "None", kit::Param{"events", "np.ndarray"});
constexpr auto kFlush = kit::method("flush", "None");
constexpr auto kClose = kit::method("close", "None");
constexpr auto kEnter = kit::method("__enter__", "H5EventWriter");
constexpr auto kExit = kit::method("__exit__", "bool", kit::Param{"*exc_info"});

PyObject* writer_append(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kAppend, args, nargs, kwnames);
        append_impl(open_writer(self_obj), a[0]);
        return kit::none();
    });
}

PyObject* writer_flush(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        Writer* w = open_writer(self_obj);
        kit::Busy busy(w->busy, kBusy);
        flush_impl(w);
        return kit::none();
    });
}

PyObject* writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_impl(initialised(self_obj));
        return kit::none();
    });
}

PyObject* writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::new_ref(open_writer(self_obj)); });
}

PyObject* writer_exit(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_impl(initialised(self_obj));
        return kit::boolean(false);
    });
}

PyObject* writer_get_n_events(PyObject* self_obj, void*) {
    const Writer* w = WriterType::of(self_obj);
    return PyLong_FromSsize_t(w->committed + w->buffered);
}

PyObject* writer_get_closed(PyObject* self_obj, void*) { return kit::boolean(!WriterType::of(self_obj)->open); }

PyObject* writer_get_sensor_size(PyObject* self_obj, void*) {
    const Writer* w = WriterType::of(self_obj);
    return kit::new_ref(w->sensor_size ? w->sensor_size.get() : Py_None);
}

const char* const kWriterDoc =
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
    "    sensor_size: (width, height), exactly a tuple of two sizes, or None.\n"
    "    compression: None (or ''), 'gzip' or 'lzf'.\n"
    "    compression_opts: The gzip level, 0 to 9 (not used by lzf).\n"
    "    chunk_size: Events per HDF5 chunk (>= 1).\n\n"
    "Raises:\n"
    "    ImportError: h5py is not installed.\n"
    "    TypeError: path is not a str, bytes or os.PathLike, or config not an\n"
    "        H5Config.\n"
    "    ValueError: chunk_size below 1 or too large for an HDF5 chunk, an\n"
    "        unknown compression or a gzip level outside 0..9, a sensor_size\n"
    "        that is not a pair of sizes in 1..65536, a config whose names\n"
    "        would not read back. All arguments are checked before the file\n"
    "        is created.\n\n"
    "Example:\n"
    "    >>> with H5EventWriter(\"recording.h5\", sensor_size=(640, 480)) as w:\n"
    "    ...     for events in camera:\n"
    "    ...         w.append(events)\n";


const char* const kAppendDoc =
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
    "        buffered (see n_events) and are written by the next call.\n";

const char* const kFlushDoc =
    "Write every buffered event, update the attributes and flush the file.\n\n"
    "Raises:\n"
    "    ValueError: the writer is closed.\n";

const char* const kCloseDoc =
    "Flush and close the file. Closing a closed writer does nothing.\n\n"
    "The file is closed even when the flush fails; that error is raised after.\n";

}  // namespace

void add_writer(PyObject* m) {
    static PyMethodDef methods[] = {
        kit::def(kAppend, writer_append, kAppendDoc),
        kit::def(kFlush, writer_flush, kFlushDoc),
        kit::def(kClose, writer_close, kCloseDoc),
        kit::def(kEnter, writer_enter, "Return the writer itself."),
        kit::def(kExit, writer_exit, "Close the writer (flushing it); exceptions are not suppressed."),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        kit::ref_field<WriterFields, &WriterFields::path>("path", "Path of the file, as text."),
        kit::ref_field<WriterFields, &WriterFields::config>("config", "Configuration in use."),
        kit::int_field<WriterFields, &WriterFields::chunk_size>("chunk_size", "Events per HDF5 chunk."),
        {"n_events", writer_get_n_events, nullptr,
         "n_events -> int\n\nNumber of events appended so far (written or buffered).", nullptr},
        {"closed", writer_get_closed, nullptr, "True once the writer is closed.", nullptr},
        {"sensor_size", writer_get_sensor_size, nullptr, "(width, height) or None.", nullptr},
        kit::kEndGetSet,
    };
    WriterType::add(m, "morvel.io.h5.H5EventWriter",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kInit, kWriterDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(writer_init)},
                     {Py_tp_finalize, reinterpret_cast<void*>(writer_finalize)},
                     {Py_tp_methods, methods},
                     {Py_tp_getset, getset}});
}

}  // namespace morvel::io::h5
