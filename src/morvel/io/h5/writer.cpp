// H5EventWriter: a stream of events recorded with bounded memory, buffered
// and written in whole chunks, in one of four layouts:
//   separate   four unlimited datasets t, x, y, p in the configured group
//   compound   one unlimited dataset of event records
//   dsec       /events/{p,t,x,y} with t as u32 after /t_offset (the first
//              event's time) and /ms_to_idx, built as events stream in
//   prophesee  /CD/events in ECF chunks of 16384 events, written directly
//              (the filter is declared, so the vendor's plugin reads them),
//              and /CD/indexes every 2000 us
// Events staged as columns; each layout writes them its way.

#include "h5.hpp"
#include "kernels/ecf.hpp"
#include "kernels/h5_layouts.hpp"

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

constexpr npy_intp kCdChunk = 16384;        // the vendor's chunk of /CD/events
constexpr std::uint64_t kCdIndexStep = 2000;  // us between entries of /CD/indexes
constexpr std::uint64_t kMsStep = 1000;       // us between entries of ms_to_idx
constexpr npy_intp kIndexChunk = 4096;

// What belongs to the open file.
struct OpenFile {
    Ref file;           // h5py File
    Ref attrs;          // the group's attributes
    Ref create_simple;  // h5py.h5s.create_simple
    Datasets datasets;  // low-level ids and memory types of t, x, y, p (separate, dsec)
    Stage stage;        // staging columns of `capacity` elements
    Ref records_id, records_mtype;  // compound and Prophesee: the one dataset
    Ref scratch;        // compound, Prophesee: events; dsec: relative times
    Ref index_id, index_mtype;      // dsec, Prophesee: the time index
    Ref offset_ds;      // dsec: /t_offset

    template <class F>
    void refs(F&& f) {
        f(file);
        f(attrs);
        f(create_simple);
        datasets.refs(f);
        stage.refs(f);
        f(records_id);
        f(records_mtype);
        f(scratch);
        f(index_id);
        f(index_mtype);
        f(offset_ds);
    }
};

struct WriterFields {
    Ref path;         // str
    Ref config;       // the configuration in use
    Ref sensor_size;  // tuple, or null for None
    std::optional<OpenFile> open;  // empty once closed
    Layout layout = Layout::separate;
    Py_ssize_t chunk_size = 0;
    Py_ssize_t capacity = 0;   // a whole number of chunks
    Py_ssize_t committed = 0;  // events in the datasets that are never rewritten (whole chunks)
    Py_ssize_t buffered = 0;   // events staged after them (the first may already be in the file)
    Py_ssize_t written = 0;    // the datasets' common length after the last successful write
    std::uint64_t t_min = std::numeric_limits<std::uint64_t>::max(), t_max = 0;
    kn::StreamCheck check;     // what the layout holds, and the events so far
    std::optional<kn::TimeIndexBuilder> index;  // from the first event on (dsec, Prophesee)
    std::vector<std::uint64_t> index_pending;   // entries not yet in the file
    Py_ssize_t index_written = 0;
    std::uint64_t index_origin = 0;              // the time of entry 0
    std::vector<unsigned char> encoded;          // one ECF chunk
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
    kit::Param{"chunk_size", "int", "100000"},
    kit::Param{"layout", "str", "'separate'", nullptr, false, true});

Layout layout_arg(PyObject* o) {
    if (!o) return Layout::separate;
    PyObject* s = kit::arg_str(o, "layout");
    for (Layout l : {Layout::separate, Layout::compound, Layout::dsec, Layout::prophesee})
        if (PyUnicode_CompareWithASCIIString(s, layout_name(l)) == 0) return l;
    kit::raise(PyExc_ValueError, "layout must be 'separate', 'compound', 'dsec' or 'prophesee', got %R", o);
}

// Blosc with Zstandard and byte shuffling when hdf5plugin is there (DSEC's
// own choice); gzip otherwise.
Ref blosc_zstd() {
    Ref plugins = Ref::steal_or_null(PyImport_ImportModule("hdf5plugin"));
    if (!plugins) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) kit::raise();
        PyErr_Clear();
        return Ref();
    }
    Ref blosc = kit::getattr(plugins.get(), "Blosc");
    Ref kw = kit::check(Py_BuildValue("{sssisO}", "cname", "zstd", "clevel", 5, "shuffle",
                                      kit::getattr(blosc.get(), "SHUFFLE").get()));
    Ref no_args = kit::check(PyTuple_New(0));
    Ref filter = kit::check(PyObject_Call(blosc.get(), no_args.get(), kw.get()));  // a mapping of keywords
    return kit::check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), filter.get()));
}

Ref create_dataset(PyObject* group, const char* name, PyObject* dtype, npy_intp chunk, PyObject* extra) {
    Ref kw = kit::check(Py_BuildValue("{s(n)s(O)s(n)sO}", "shape", static_cast<Py_ssize_t>(0), "maxshape", Py_None,
                                      "chunks", static_cast<Py_ssize_t>(chunk), "dtype", dtype));
    if (extra) kit::check(PyDict_Update(kw.get(), extra));
    Ref create = kit::getattr(group, "create_dataset");
    Ref args = kit::check(Py_BuildValue("(s)", name));
    return kit::check(PyObject_Call(create.get(), args.get(), kw.get()));
}

void open_dsec(const H5& h5, OpenFile& open, PyObject* file, npy_intp chunk, PyObject* comp) {
    Ref g = kit::call_method(file, "create_group", kit::str("events").get());
    // DSEC's order of the datasets, and its types.
    const std::array<std::pair<const char*, int>, 4> cols{{{"p", NPY_UINT8}, {"t", NPY_UINT32}, {"x", NPY_UINT16}, {"y", NPY_UINT16}}};
    const std::array<std::size_t, 4> field{3, 0, 1, 2};  // where each goes in t, x, y, p
    for (std::size_t i = 0; i < 4; ++i) {
        kit::DescrRef d = np::descr(cols[i].second);
        Ref ds = create_dataset(g.get(), cols[i].first, d.obj(), chunk, comp);
        open.datasets.ids[field[i]] = kit::getattr(ds.get(), "id");
        open.datasets.mtypes[field[i]] = kit::call(h5.py_create.get(), d.obj());
    }
    kit::DescrRef u64 = np::descr(NPY_UINT64);
    Ref idx = create_dataset(file, "ms_to_idx", u64.obj(), kIndexChunk, nullptr);
    open.index_id = kit::getattr(idx.get(), "id");
    open.index_mtype = kit::call(h5.py_create.get(), u64.obj());
    // /t_offset: an int64 scalar, set at the first event.
    Ref zero = kit::call_method(kit::import("numpy").get(), "int64", kit::from_ll(0).get());
    Ref kw = kit::check(Py_BuildValue("{sO}", "data", zero.get()));
    Ref args = kit::check(Py_BuildValue("(s)", "t_offset"));
    open.offset_ds = kit::check(PyObject_Call(kit::getattr(file, "create_dataset").get(), args.get(), kw.get()));
    open.attrs = kit::getattr(g.get(), "attrs");
}

Ref cd_dtype() {
    Ref spec = kit::check(Py_BuildValue("{s[ssss]s[ssss]s[iiii]si}", "names", "x", "y", "p", "t", "formats", "<u2", "<u2",
                                        "<i2", "<i8", "offsets", 0, 2, 4, 8, "itemsize", 16));
    return np::descr_from(spec.get()).as<PyObject>();
}

Ref cd_index_dtype() {
    Ref spec = kit::check(Py_BuildValue("{s[ss]s[ss]}", "names", "id", "ts", "formats", "<i8", "<i8"));
    return np::descr_from(spec.get()).as<PyObject>();
}

void open_prophesee(const H5& h5, OpenFile& open, PyObject* file, npy_intp chunk, PyObject* sensor_size) {
    Ref g = kit::call_method(file, "create_group", kit::str("CD").get());
    Ref ecf = kit::check(Py_BuildValue("{slsO}", "compression", 0x8ECFL, "allow_unknown_filter", Py_True));
    Ref dtype = cd_dtype();
    Ref ds = create_dataset(g.get(), "events", dtype.get(), chunk, ecf.get());
    open.records_id = kit::getattr(ds.get(), "id");
    Ref idx_dtype = cd_index_dtype();
    Ref idx = create_dataset(g.get(), "indexes", idx_dtype.get(), kIndexChunk, nullptr);
    open.index_id = kit::getattr(idx.get(), "id");
    open.index_mtype = kit::call(h5.py_create.get(), idx_dtype.get());
    Ref attrs = kit::getattr(idx.get(), "attrs");
    kit::check(PyObject_SetItem(attrs.get(), kit::str("offset").get(), kit::str("0").get()));
    open.attrs = kit::getattr(g.get(), "attrs");
    if (sensor_size) {
        Ref geometry = kit::check(PyUnicode_FromFormat("%Sx%S", PyTuple_GET_ITEM(sensor_size, 0), PyTuple_GET_ITEM(sensor_size, 1)));
        Ref root = kit::getattr(file, "attrs");
        kit::check(PyObject_SetItem(root.get(), kit::str("geometry").get(), geometry.get()));
    }
}

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            Writer* w = WriterType::of(self_obj);
            if (w->path) kit::raise(PyExc_RuntimeError, "H5EventWriter.__init__() cannot be called twice");
            Ref sensor_size = checked_sensor_size(a[2]);
            const Layout layout = layout_arg(a[6]);
            if (layout == Layout::prophesee && a[3] && a[3] != Py_None)
                kit::raise(PyExc_ValueError, "the Prophesee layout is always compressed with ECF; compression must be None, got %R", a[3]);
            const Compression comp = compression_args(a[3], a[4]);
            const long long chunk_max = layout == Layout::prophesee ? static_cast<long long>(kn::kEcfMaxEvents) : kMaxChunk;
            // Prophesee's chunks, and the same for DSEC: time windows read a chunk per column.
            const long long chunk = kit::arg_int(a[5], "chunk_size",
                                                 layout == Layout::prophesee || layout == Layout::dsec ? kCdChunk : 100000);
            if (chunk < 1 || chunk > chunk_max)
                kit::raise(PyExc_ValueError, "chunk_size must be between 1 and %lld, got %lld", chunk_max, chunk);
            const H5 h5(ensure_h5py());
            PyObject* config = config_or_default(a[1]);
            const Config c = load_config(config);
            check_for_writing(c);
            if ((layout == Layout::dsec || layout == Layout::prophesee) && !c.is_default)
                kit::raise(PyExc_ValueError, "the %s layout has fixed dataset names: config must be None", layout_name(layout));
            Ref path = kit::arg_path(a[0]);
            // DSEC's own compression where none is asked for.
            Ref dsec_comp = layout == Layout::dsec && !a[3] ? blosc_zstd() : Ref();

            H5File file(h5, path.get(), "w", ChunkCache::off);
            OpenFile open;
            kn::StreamCheck check;
            switch (layout) {
                case Layout::dsec: {
                    Ref kw = dsec_comp ? std::move(dsec_comp) : compression_kwargs(comp);
                    open_dsec(h5, open, file.get(), static_cast<npy_intp>(chunk), kw.get());
                    check.reach = UINT32_MAX;
                    break;
                }
                case Layout::prophesee:
                    open_prophesee(h5, open, file.get(), static_cast<npy_intp>(chunk), sensor_size.get());
                    check.x_end = kn::kEcfXLimit;
                    check.y_end = kn::kEcfYLimitPacked;
                    check.p_end = 2;
                    check.t_max = static_cast<std::uint64_t>(INT64_MAX);
                    break;
                case Layout::compound: {
                    Ref kw = compression_kwargs(comp);
                    PyObject* parent = file.get();
                    Ref g;
                    Ref name = c.compound_set ? c.compound_key.copy() : (c.group_set ? c.events_group.copy() : kit::str("events"));
                    if (c.compound_set && c.group_set) {
                        g = kit::call_method(file.get(), "create_group", c.events_group.get());
                        parent = g.get();
                    }
                    Ref utf8 = kit::check(PyUnicode_AsUTF8String(name.get()));
                    Ref ds = create_dataset(parent, PyBytes_AS_STRING(utf8.get()), kit::as_object(np::event_descr()),
                                            static_cast<npy_intp>(chunk), kw.get());
                    open.records_id = kit::getattr(ds.get(), "id");
                    open.records_mtype = kit::call(h5.py_create.get(), kit::as_object(np::event_descr()));
                    open.attrs = kit::getattr(ds.get(), "attrs");
                    break;
                }
                default: {
                    Ref g = c.group_set ? kit::call_method(file.get(), "create_group", c.events_group.get())
                                        : Ref::borrow(file.get());
                    open.datasets = create_datasets(h5, g.get(), c, 0, static_cast<npy_intp>(chunk), comp, true);
                    open.attrs = kit::getattr(g.get(), "attrs");
                }
            }
            write_attributes(open.attrs.get(), 0, sensor_size.get(), kn::Range{});
            const npy_intp capacity = static_cast<npy_intp>(chunk) * std::max<npy_intp>(1, kBlockEvents / chunk);
            open.stage = Stage(capacity);
            if (layout == Layout::dsec) open.scratch = np::empty(capacity, np::descr(NPY_UINT32).get());
            if (layout == Layout::compound || layout == Layout::prophesee) open.scratch = np::empty(capacity);
            open.create_simple = h5.create_simple.copy();
            open.file = file.release();

            w->path = std::move(path);
            w->config = Ref::borrow(config);
            w->sensor_size = std::move(sensor_size);
            w->open = std::move(open);
            w->layout = layout;
            w->chunk_size = static_cast<Py_ssize_t>(chunk);
            w->capacity = capacity;
            w->check = check;
            if (layout == Layout::prophesee) w->encoded.resize(kn::ecf_max_encoded_size(static_cast<std::size_t>(chunk)));
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

// The staged events [from, from + count) as records in the scratch array.
Event* staged_records(Writer* w, Py_ssize_t from, Py_ssize_t count) {
    OpenFile& f = *w->open;
    Event* out = np::events_data(f.scratch);
    const kn::EventFields c = f.stage.at(0);
    const kn::EventColumns cols{{c.t + from, 8, kn::NumType::u64},
                                {c.x + from, 2, kn::NumType::u16},
                                {c.y + from, 2, kn::NumType::u16},
                                {c.p + from, 1, kn::NumType::u8}};
    kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kit::kReleaseGilBytes);
    kn::interleave(cols, static_cast<std::size_t>(count), out);
    return out;
}

// The staged events as ECF chunks, written straight into /CD/events.
void write_ecf_chunks(Writer* w) {
    OpenFile& f = *w->open;
    const Event* ev = staged_records(w, 0, w->buffered);
    for (Py_ssize_t first = 0; first < w->buffered; first += w->chunk_size) {
        const auto count = static_cast<std::size_t>(std::min(w->chunk_size, w->buffered - first));
        kn::EcfEncoded e;
        {
            kit::MaybeNoGil nogil(count * sizeof(Event) >= kit::kReleaseGilBytes / 8);
            e = kn::ecf_encode(ev + first, count, w->encoded.data());
        }
        if (e.error != kn::EcfEncodeError::none)  // checked at append: not reached
            kit::raise(PyExc_ValueError, "event %zd cannot be written as ECF: %s",
                       static_cast<Py_ssize_t>(w->committed + first + static_cast<Py_ssize_t>(e.at)),
                       kn::ecf_encode_error_text(e.error));
        Ref data = kit::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(w->encoded.data()),
                                                        static_cast<Py_ssize_t>(e.size)));
        kit::call_method(f.records_id.get(), "write_direct_chunk", tuple1(w->committed + first).get(), data.get());
    }
}

// The index entries not yet in the file, appended to its table.
void write_index(Writer* w) {
    if (w->index_pending.empty()) return;
    OpenFile& f = *w->open;
    const auto m = static_cast<npy_intp>(w->index_pending.size());
    Ref entries;
    if (w->layout == Layout::dsec) {
        entries = np::empty(m, np::descr(NPY_UINT64).get());
        std::memcpy(PyArray_DATA(np::arr(entries)), w->index_pending.data(), w->index_pending.size() * 8);
    } else {
        Ref dtype = cd_index_dtype();
        entries = np::empty(m, reinterpret_cast<PyArray_Descr*>(dtype.get()));
        auto* rec = static_cast<std::int64_t*>(PyArray_DATA(np::arr(entries)));
        const std::uint64_t origin = w->index_origin;
        for (npy_intp i = 0; i < m; ++i) {
            rec[2 * i] = static_cast<std::int64_t>(w->index_pending[static_cast<std::size_t>(i)]);
            rec[2 * i + 1] = static_cast<std::int64_t>(origin + static_cast<std::uint64_t>(w->index_written + i) * kCdIndexStep);
        }
    }
    kit::call_method(f.index_id.get(), "set_extent", tuple1(w->index_written + m).get());
    write_column(f.create_simple.get(), f.index_id.get(), f.index_mtype.get(), entries.get(), w->index_written, m);
}

// Write the staged events after `committed`; keep a partial last chunk
// staged, so that it is written again, whole, with the events that follow.
void write_stage(Writer* w) {
    if (w->buffered == 0 && w->index_pending.empty()) return;
    check_room(w);
    OpenFile& f = *w->open;
    Ref extent = tuple1(w->committed + w->buffered);
    try {
        switch (w->layout) {
            case Layout::compound:
                kit::call_method(f.records_id.get(), "set_extent", extent.get());
                staged_records(w, 0, w->buffered);
                write_column(f.create_simple.get(), f.records_id.get(), f.records_mtype.get(), f.scratch.get(),
                             w->committed, w->buffered);
                break;
            case Layout::prophesee:
                kit::call_method(f.records_id.get(), "set_extent", extent.get());
                write_ecf_chunks(w);
                break;
            default:
                if (w->layout == Layout::dsec)
                    kn::relative_u32(f.stage.at(0).t, static_cast<std::size_t>(w->buffered), w->check.first,
                                     static_cast<std::uint32_t*>(PyArray_DATA(np::arr(f.scratch))));
                for (std::size_t i = 0; i < 4; ++i) {
                    PyObject* col = w->layout == Layout::dsec && i == 0 ? f.scratch.get() : f.stage.cols[i].get();
                    kit::call_method(f.datasets.ids[i].get(), "set_extent", extent.get());
                    write_column(f.create_simple.get(), f.datasets.ids[i].get(), f.datasets.mtypes[i].get(), col,
                                 w->committed, w->buffered);
                }
        }
        write_index(w);
    } catch (const kit::PyError&) {
        // A failed write (a full disk, say) may leave some datasets longer
        // than others, and the file unreadable. Bring them all back to the
        // length they last reached together (shrinking needs no space), so
        // the file still reads back every event written before; the error
        // goes on to the caller.
        Ref back = tuple1(w->written);
        for (const Ref& id : f.datasets.ids)
            if (id) kit::call_method_quietly(id.get(), "set_extent", back.get());
        if (f.records_id) kit::call_method_quietly(f.records_id.get(), "set_extent", back.get());
        if (f.index_id) kit::call_method_quietly(f.index_id.get(), "set_extent", tuple1(w->index_written).get());
        throw;
    }
    w->written = w->committed + w->buffered;
    w->index_written += static_cast<Py_ssize_t>(w->index_pending.size());
    w->index_pending.clear();
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

// Whether the layout can hold every event of the append, checked before any
// is staged: ValueError naming the first that it cannot.
void check_events(Writer* w, const kit::EventTable& src) {
    if (w->layout != Layout::dsec && w->layout != Layout::prophesee) return;
    kn::StreamCheck check = w->check;
    std::vector<Event> tile(2048);
    const std::size_t n = src.size();
    for (std::size_t first = 0; first < n; first += tile.size()) {
        const std::size_t m = std::min(tile.size(), n - first);
        kn::interleave(src.columns().from(first), m, tile.data());
        kn::StreamFault fault;
        const std::size_t ok = check.scan(tile.data(), m, fault);
        if (ok == m) continue;
        const Event& e = tile[ok];
        const auto at = static_cast<Py_ssize_t>(first + ok);
        const char* layout = w->layout == Layout::dsec ? "DSEC" : "Prophesee";
        switch (fault) {
            case kn::StreamFault::decreasing:
                kit::raise(PyExc_ValueError,
                           "the %s layout needs events in time order: event %zd has t = %llu, after t = %llu", layout,
                           at, static_cast<unsigned long long>(e.t), static_cast<unsigned long long>(check.prev));
            case kn::StreamFault::late:
                kit::raise(PyExc_ValueError,
                           "the DSEC layout keeps t as u32 microseconds after /t_offset = %llu (the first event's "
                           "t): event %zd at t = %llu is 2**32 us or more later",
                           static_cast<unsigned long long>(check.first), at, static_cast<unsigned long long>(e.t));
            case kn::StreamFault::t:
                kit::raise(PyExc_ValueError, "event %zd: t = %llu does not fit the int64 times of the %s layout", at,
                           static_cast<unsigned long long>(e.t), layout);
            case kn::StreamFault::x:
                kit::raise(PyExc_ValueError, "event %zd: x = %u; ECF keeps x below %u", at, unsigned{e.x},
                           unsigned{kn::kEcfXLimit});
            case kn::StreamFault::y:
                kit::raise(PyExc_ValueError, "event %zd: y = %u; ECF keeps y below %u", at, unsigned{e.y},
                           unsigned{kn::kEcfYLimitPacked});
            default:
                kit::raise(PyExc_ValueError, "event %zd: p = %u; ECF keeps polarities 0 and 1", at, unsigned{e.p});
        }
    }
}

// The time index from the first event on: DSEC counts from /t_offset, the
// first event's time (written now); Prophesee's table starts at 0 for
// camera times (below 2**32 us), else at the first event's 2 ms.
void start_index(Writer* w, std::uint64_t first) {
    w->check.any = true;
    w->check.first = first;
    if (w->layout == Layout::dsec) {
        Ref value = kit::call_method(kit::import("numpy").get(), "int64", kit::from_ull(first).get());
        Ref empty = kit::check(PyTuple_New(0));
        kit::check(PyObject_SetItem(w->open->offset_ds.get(), empty.get(), value.get()));
        w->index_origin = first;
        w->index.emplace(first, kMsStep);
    } else {
        w->index_origin = first < (std::uint64_t{1} << 32) ? 0 : first / kCdIndexStep * kCdIndexStep;
        w->index.emplace(w->index_origin, kCdIndexStep);
    }
}

void append_impl(Writer* w, PyObject* events) {
    kit::Busy busy(w->busy, kBusy);
    const kit::EventTable src = writer_events(events);
    check_events(w, src);
    const auto n = static_cast<npy_intp>(src.size());
    for (npy_intp done = 0; done < n;) {
        if (w->buffered == w->capacity) write_stage(w);
        const npy_intp take = std::min<npy_intp>(w->capacity - w->buffered, n - done);
        const kn::Range r = split_block(w->open->stage, w->buffered, src, done, take);
        if (w->layout == Layout::dsec || w->layout == Layout::prophesee) {
            const std::uint64_t* t = w->open->stage.at(w->buffered).t;
            if (!w->index) start_index(w, t[0]);
            w->index->add(t, static_cast<std::size_t>(take), static_cast<std::uint64_t>(w->committed + w->buffered),
                          w->index_pending);
            w->check.prev = t[take - 1];  // checked above: in time order
        }
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
    "With ``layout`` other than \"separate\" the file takes another shape:\n\n"
    "- \"compound\": one unlimited dataset of event records (t u64, x u16,\n"
    "  y u16, p u8), ``compound_key`` in ``events_group`` when set, else a\n"
    "  dataset named ``events_group`` (\"events\" when empty) at the root;\n"
    "- \"dsec\": DSEC's /events/{p,t,x,y} (u8, u32, u16, u16), t counted from\n"
    "  /t_offset (int64, the first event's t), and /ms_to_idx (u64; entry k is\n"
    "  the index of the first event with t >= t_offset + k * 1000), built as\n"
    "  events stream in, in chunks of ``chunk_size`` (default 16384) events.\n"
    "  Compressed with Blosc/Zstandard when hdf5plugin is\n"
    "  installed and no compression is given. Events must come in time order,\n"
    "  within 2**32 us of the first;\n"
    "- \"prophesee\": Prophesee's /CD/events ({x u16, y u16, p i16, t i64}) in\n"
    "  ECF chunks of ``chunk_size`` events (default 16384, at most 65535),\n"
    "  written directly with the filter 0x8ECF declared, so the vendor's plugin\n"
    "  reads them, and /CD/indexes ({id, ts} int64 records, one every 2000 us:\n"
    "  id is the first event with t >= ts). Events must come in time order,\n"
    "  with x < 2048, y < 4096 and p 0 or 1.\n\n"
    "Events a layout cannot hold are refused by ``append`` with ValueError\n"
    "before any of them is taken.\n\n"
    "Args:\n"
    "    path: The file (converted to text).\n"
    "    config: Layout names; DEFAULT_H5_CONFIG when None (and it must be None\n"
    "        for \"dsec\" and \"prophesee\", whose names are fixed).\n"
    "    sensor_size: (width, height), exactly a tuple of two sizes, or None.\n"
    "    compression: None (or ''), 'gzip' or 'lzf'.\n"
    "    compression_opts: The gzip level, 0 to 9 (not used by lzf).\n"
    "    chunk_size: Events per HDF5 chunk (>= 1).\n"
    "    layout: \"separate\", \"compound\", \"dsec\" or \"prophesee\".\n\n"
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
