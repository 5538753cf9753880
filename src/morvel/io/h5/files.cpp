// Whole files: read_h5 and write_h5, the private readers of a group or a
// compound dataset, and the column writing both writers share.

#include "h5.hpp"

#include <algorithm>
#include <limits>
#include <unistd.h>
#include <utility>

namespace morvel::io::h5 {

// Largest chunk of the whole-file writer.
constexpr npy_intp kWriteChunk = 100000;

namespace {

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

}  // namespace

Compression compression_args(PyObject* compression, PyObject* level) {
    Ref gzip = kit::str("gzip");
    PyObject* filter = compression ? kit::arg_exact_or_none(compression, &PyUnicode_Type, "compression") : gzip.get();
    return check_compression(filter, kit::arg_int(level, "compression_opts", 4));
}

Ref compression_kwargs(const Compression& comp) {
    if (!comp.filter) return Ref();
    Ref kw = kit::check(PyDict_New());
    kit::check(PyDict_SetItemString(kw.get(), "compression", comp.filter.get()));
    if (comp.level) kit::check(PyDict_SetItemString(kw.get(), "compression_opts", comp.level.get()));
    return kw;
}

Ref create_column(PyObject* group, PyObject* name, int typenum, npy_intp n, npy_intp chunk, const Compression& comp,
                  bool unlimited) {
    Ref kw = kit::check(PyDict_New());
    kit::check(PyDict_SetItemString(kw.get(), "shape", tuple1(n).get()));
    kit::check(PyDict_SetItemString(kw.get(), "dtype", np::descr(typenum).obj()));
    if (chunk > 0) {
        kit::check(PyDict_SetItemString(kw.get(), "chunks", tuple1(chunk).get()));
        if (Ref c = compression_kwargs(comp)) kit::check(PyDict_Update(kw.get(), c.get()));
    }
    if (unlimited) {
        Ref none_max = kit::check(Py_BuildValue("(O)", Py_None));
        kit::check(PyDict_SetItemString(kw.get(), "maxshape", none_max.get()));
    }
    Ref create = kit::getattr(group, "create_dataset");
    Ref args = kit::check(PyTuple_Pack(1, name));
    return kit::check(PyObject_Call(create.get(), args.get(), kw.get()));
}

Datasets create_datasets(const H5& h5, PyObject* group, const Config& c, npy_intp n, npy_intp chunk,
                         const Compression& comp, bool unlimited) {
    Datasets d;
    const auto keys = c.keys();
    for (std::size_t i = 0; i < 4; ++i) {
        Ref ds = create_column(group, keys[i], kFields[i].typenum, n, chunk, comp, unlimited);
        d.ids[i] = kit::getattr(ds.get(), "id");
        d.mtypes[i] = kit::call(h5.py_create.get(), np::descr(kFields[i].typenum).obj());
    }
    return d;
}

Stage::Stage(npy_intp capacity) {
    for (std::size_t i = 0; i < 4; ++i) cols[i] = np::empty(capacity, np::descr(kFields[i].typenum).get());
}

kn::EventFields Stage::at(npy_intp offset) const {
    auto data = [&](std::size_t i) { return PyArray_DATA(np::arr(cols[i])); };
    return {static_cast<std::uint64_t*>(data(0)) + offset, static_cast<std::uint16_t*>(data(1)) + offset,
            static_cast<std::uint16_t*>(data(2)) + offset, static_cast<std::uint8_t*>(data(3)) + offset};
}

kit::EventTable writer_events(PyObject* events) {
    if (PyArray_Check(events)) {
        PyArray_Descr* d = PyArray_DESCR(np::arr(events));
        if (!PyDataType_HASFIELDS(d))
            kit::raise(PyExc_ValueError, "events must be a structured array with fields t, x, y, p (got dtype %R)",
                       kit::as_object(d));
        for (const auto& f : kFields) {
            PyObject* v = nullptr;
            kit::check(PyDict_GetItemStringRef(PyDataType_FIELDS(d), f.name, &v));
            if (!Ref::steal_or_null(v))
                kit::raise(PyExc_ValueError, "events has no field '%s' (fields t, x, y, p are needed, got dtype %R)",
                           f.name, kit::as_object(d));
        }
        if (PyArray_NDIM(np::arr(events)) != 1)
            kit::raise(PyExc_ValueError, "events must be one-dimensional, got %d dimensions",
                       PyArray_NDIM(np::arr(events)));
    }
    return kit::EventTable(events);
}

kn::Range split_block(const Stage& stage, npy_intp offset, const kit::EventTable& src, npy_intp first,
                      npy_intp count) {
    kit::MaybeNoGil nogil(static_cast<std::size_t>(count) * sizeof(Event) >= kit::kReleaseGilBytes);
    return kn::split(src.columns().from(static_cast<std::size_t>(first)), static_cast<std::size_t>(count),
                     stage.at(offset));
}

void write_column(PyObject* create_simple, PyObject* dsid, PyObject* mtype, PyObject* staged, npy_intp offset,
                  npy_intp count) {
    Ref space = kit::call_method(dsid, "get_space");
    kit::call_method(space.get(), "select_hyperslab", tuple1(offset).get(), tuple1(count).get());
    Ref mspace = kit::call(create_simple, tuple1(count).get());
    Ref src = count == PyArray_DIM(np::arr(staged), 0) ? Ref::borrow(staged) : np::slice_view(Ref::borrow(staged), 0, count);
    kit::call_method(dsid, "write", mspace.get(), space.get(), src.get(), mtype);
}

namespace {

void set_attr(PyObject* attrs, const char* name, PyObject* value) {
    Ref key = kit::str(name);
    kit::check(PyObject_SetItem(attrs, key.get(), value));
}

}  // namespace

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

Ref checked_sensor_size(PyObject* arg) {
    if (!arg || arg == Py_None) return Ref();
    const kit::SensorSize s = kit::arg_sensor_size(arg);
    if (s.width < 1 || s.width > 65536 || s.height < 1 || s.height > 65536)
        kit::raise(PyExc_ValueError, "sensor_size must be within 1..65536 on both sides, got %R", arg);
    return kit::check(Py_BuildValue("(LL)", s.width, s.height));
}

void check_for_writing(const Config& c) {
    const std::array<std::pair<const char*, PyObject*>, 5> names{{{"events_group", c.events_group.get()},
                                                                  {"timestamp_key", c.timestamp_key.get()},
                                                                  {"x_key", c.x_key.get()},
                                                                  {"y_key", c.y_key.get()},
                                                                  {"polarity_key", c.polarity_key.get()}}};
    for (const auto& [field, value] : names) {
        const bool group = field == names[0].first;
        if (!PyUnicode_Check(value) || (!group && PyUnicode_GET_LENGTH(value) == 0))
            kit::raise(PyExc_ValueError, "H5Config.%s must be %s to write events, got %R", field,
                       group ? "a str" : "a non-empty str", value);
    }
    for (std::size_t i = 1; i < names.size(); ++i)
        for (std::size_t j = 1; j < i; ++j)
            if (kit::check(PyObject_RichCompareBool(names[i].second, names[j].second, Py_EQ)))
                kit::raise(PyExc_ValueError, "H5Config.%s and H5Config.%s both name the dataset %R", names[j].first,
                           names[i].first, names[i].second);
}

namespace {

void write_file(PyObject* path_arg, PyObject* events, PyObject* config, PyObject* sensor_size,
                const Compression& comp) {
    const H5 h5(ensure_h5py());
    const Config c = load_config(config);
    check_for_writing(c);
    Ref path = kit::arg_path(path_arg);
    // Everything about the events is checked before the file is touched.
    const kit::EventTable src = writer_events(events);
    const auto n = static_cast<npy_intp>(src.size());
    const npy_intp chunk = n < 1 ? 0 : std::min(n, kWriteChunk);

    H5File file(h5, path.get(), "w", ChunkCache::off);
    Ref g = c.group_set ? kit::call_method(file.get(), "create_group", c.events_group.get()) : Ref::borrow(file.get());
    const Datasets ds = create_datasets(h5, g.get(), c, n, chunk, comp, false);
    kn::Range range;
    if (n > 0) {
        // Blocks of whole chunks, split into staging columns and written.
        const npy_intp block = std::min(n, chunk * std::max<npy_intp>(1, kBlockEvents / chunk));
        const Stage stage(block);
        for (npy_intp s = 0; s < n; s += block) {
            const npy_intp m = std::min(block, n - s);
            range.add(split_block(stage, 0, src, s, m));
            for (std::size_t i = 0; i < 4; ++i)
                write_column(h5.create_simple.get(), ds.ids[i].get(), ds.mtypes[i].get(), stage.cols[i].get(), s, m);
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

constexpr kit::Param kConfigParam{"config", "Optional[H5Config]", "None"};
constexpr kit::Param kPathParam{"path", "Union[str, Path]"};

constexpr auto kReadSeparate = kit::function("_read_separate", "np.ndarray", kit::Param{"grp", "Any"},
                                             kit::Param{"config", "H5Config"});

PyObject* read_separate_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadSeparate, args, nargs, kwnames);
        const Config c = load_config(a[1]);
        SeparateSource src(H5(loaded_h5py()), a[0], c, std::numeric_limits<npy_intp>::max(), false);
        return src.read(0, src.size()).release();
    });
}

constexpr auto kReadCompound = kit::function("_read_compound", "np.ndarray", kit::Param{"ds", "Any"});

PyObject* read_compound_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadCompound, args, nargs, kwnames);
        CompoundSource src(H5(loaded_h5py()), Ref::borrow(a[0]), std::numeric_limits<npy_intp>::max(), false);
        return src.read(0, src.size()).release();
    });
}

constexpr auto kReadCompoundSlice = kit::function("_read_compound_slice", "np.ndarray", kit::Param{"ds", "Any"},
                                                  kit::Param{"start", "int"}, kit::Param{"end", "int"});

PyObject* read_compound_slice_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadCompoundSlice, args, nargs, kwnames);
        const long long start = kit::arg_int(a[1], "start");
        const long long end = kit::arg_int(a[2], "end");
        CompoundSource src(H5(loaded_h5py()), Ref::borrow(a[0]), static_cast<npy_intp>(std::max(end - start, 0LL)),
                           false);
        checked_range(src.size(), start, end);
        return src.read(static_cast<npy_intp>(start), static_cast<npy_intp>(end)).release();
    });
}

constexpr auto kReadH5 = kit::function("read_h5", "np.ndarray", kPathParam, kConfigParam,
                                       kit::Param{"stream", "Optional[str]", "None", nullptr, false, true});

PyObject* read_h5_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadH5, args, nargs, kwnames);
        PyObject* stream = a[2] ? kit::arg_exact_or_none(a[2], &PyUnicode_Type, "stream") : nullptr;
        return read_file(a[0], a[1], stream).release();
    });
}

constexpr auto kWriteH5 = kit::function(
    "write_h5", "None", kPathParam, kit::Param{"events", "np.ndarray"}, kConfigParam,
    kit::Param{"sensor_size", "Optional[Tuple[int, int]]", "None"},
    kit::Param{"compression", "Optional[str]", "'gzip'"}, kit::Param{"compression_opts", "int", "4"},
    kit::Param{"layout", "str", "'separate'", nullptr, false, true});

// The other layouts go through the streaming writer, into a file beside the
// target that replaces it only once every event is in: a refused event or a
// failed write leaves an existing file as it was.
void write_through_writer(PyObject* path, PyObject* const* a) {
    writer_events(a[1]);  // the fields, before anything is created
    Ref os = kit::import("os");
    Ref tmp = kit::check(PyUnicode_FromFormat("%U.partial-%d", path, static_cast<int>(getpid())));
    Ref kw = kit::check(PyDict_New());
    const char* names[] = {"config", "sensor_size", "compression", "compression_opts", "layout"};
    const int at[] = {2, 3, 4, 5, 6};
    for (int i = 0; i < 5; ++i)
        if (a[at[i]]) kit::check(PyDict_SetItemString(kw.get(), names[i], a[at[i]]));
    PyObject* cls = PyDict_GetItemString(module_dict(), "H5EventWriter");
    if (!cls) kit::raise(PyExc_RuntimeError, "H5EventWriter is missing from the module");
    Ref args = kit::check(PyTuple_Pack(1, tmp.get()));
    Ref writer = kit::check(PyObject_Call(cls, args.get(), kw.get()));
    try {
        kit::call_method(writer.get(), "append", a[1]);
        kit::call_method(writer.get(), "close");
    } catch (const kit::PyError&) {
        kit::call_method_quietly(writer.get(), "close");
        kit::KeepError keep;
        Ref gone = Ref::steal_or_null(PyObject_CallMethod(os.get(), "unlink", "O", tmp.get()));
        if (!gone) PyErr_Clear();
        throw;
    }
    kit::call_method(os.get(), "replace", tmp.get(), path);
}

PyObject* write_h5_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWriteH5, args, nargs, kwnames);
        Ref path = kit::arg_path(a[0]);
        if (a[6] && (!PyUnicode_Check(a[6]) || PyUnicode_CompareWithASCIIString(a[6], "separate") != 0)) {
            write_through_writer(path.get(), a.data());
            return kit::none();
        }
        Ref sensor_size = checked_sensor_size(a[3]);
        const Compression comp = compression_args(a[4], a[5]);
        write_file(path.get(), a[1], a[2], sensor_size.get(), comp);
        return kit::none();
    });
}

const char* const kReadSeparateDoc =
    "Read events from separate datasets. Single vectorized pass.\n\n"
    "Values of any numeric type are cast to the event fields as NumPy's\n"
    "astype casts them (u64, u16, u16, u8).\n\n"
    "Raises:\n"
    "    KeyError: a dataset is missing.\n"
    "    ValueError: a dataset is not one-dimensional, or its length differs\n"
    "        from the timestamp dataset's.\n";

const char* const kReadCompoundDoc =
    "Read events from a compound dataset. Single vectorized pass.\n\n"
    "Fields are matched by name: t <- \"t\", else \"timestamp\", else the first\n"
    "field; x <- \"x\", else the second; y <- \"y\", else the third; p <- \"p\",\n"
    "else \"polarity\", else the fourth.\n\n"
    "Raises:\n"
    "    IndexError: the element type has too few fields for that matching.\n"
    "    ValueError: the dataset has no fields, or is not one-dimensional.\n";

const char* const kReadCompoundSliceDoc =
    "Read a slice from a compound dataset. O(end - start).\n\n"
    "Records ``start`` (inclusive) to ``end`` (exclusive), matched as by\n"
    "``_read_compound``.\n\n"
    "Raises:\n"
    "    ValueError: not 0 <= start <= end <= len(ds).\n";

const char* const kReadH5Doc =
    "Read all events from an H5 file.\n\n"
    "**O(N) memory**: the complete event set is loaded into one array. For\n"
    "large files use ``H5EventReader``, which reads chunk by chunk.\n\n"
    "Args:\n"
    "    path: The file (converted to text).\n"
    "    config: Layout names; DEFAULT_H5_CONFIG when None. With the default\n"
    "        the layouts of DSEC, M3ED, MVSEC and Prophesee (ECF) files are\n"
    "        found first (see ``H5EventReader``).\n"
    "    stream: The camera of M3ED and MVSEC files, \"left\" or \"right\"; the\n"
    "        first present when None.\n\n"
    "Returns:\n"
    "    EVENT_DTYPE array of every event, in file order. Columns of other\n"
    "    numeric types are cast as NumPy's astype casts them.\n\n"
    "Raises:\n"
    "    ImportError: h5py is not installed, or a dataset needs an HDF5\n"
    "        filter that is not available (the message names it and the pip\n"
    "        command).\n"
    "    ValueError: the layout cannot be detected, the datasets of the\n"
    "        separate layout differ in length, a stream the file does not\n"
    "        have, MVSEC rows that are no events, or a corrupt ECF chunk\n"
    "        (naming the chunk).\n"
    "    FileNotFoundError: the file does not exist (raised by h5py).\n";

const char* const kWriteH5Doc =
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
    "    sensor_size: (width, height), exactly a tuple of two sizes, or None.\n"
    "    compression: None (or ''), 'gzip' or 'lzf'.\n"
    "    compression_opts: The gzip level, 0 to 9 (not used by lzf).\n"
    "    layout: \"separate\" (this layout), or \"compound\", \"dsec\" or\n"
    "        \"prophesee\", written as ``H5EventWriter`` writes them (see there).\n\n"
    "The arguments and the events are checked before the file is created, so\n"
    "a bad call leaves an existing file untouched (the other layouts are\n"
    "written beside it and take its place once complete).\n\n"
    "Raises:\n"
    "    ImportError: h5py is not installed.\n"
    "    TypeError: path is not a str, bytes or os.PathLike, or config not an\n"
    "        H5Config.\n"
    "    ValueError: an unknown compression, a gzip level outside 0..9, a\n"
    "        sensor_size that is not a pair of sizes in 1..65536, a config\n"
    "        whose names would not read back (a key that is empty, not a str,\n"
    "        or names a dataset twice), or events without the four fields.\n";

}  // namespace

void add_file_functions(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kReadSeparate, read_separate_fn, kReadSeparateDoc),
        kit::def(kReadCompound, read_compound_fn, kReadCompoundDoc),
        kit::def(kReadCompoundSlice, read_compound_slice_fn, kReadCompoundSliceDoc),
        kit::def(kReadH5, read_h5_fn, kReadH5Doc),
        kit::def(kWriteH5, write_h5_fn, kWriteH5Doc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::h5
