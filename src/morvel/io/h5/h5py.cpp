// The h5py binding: the module, imported on first use, and its files.

#include "h5.hpp"

#include <sys/stat.h>

namespace morvel::io::h5 {

PyObject*& module_dict() noexcept {
    static PyObject* dict = nullptr;
    return dict;
}

PyObject*& default_config() noexcept {
    static PyObject* config = nullptr;
    return config;
}

PyObject*& config_class() noexcept {
    static PyObject* cls = nullptr;
    return cls;
}

Ref tuple1(npy_intp v) { return kit::check(Py_BuildValue("(n)", static_cast<Py_ssize_t>(v))); }

Ref slice(npy_intp start, npy_intp stop) {
    return kit::check(PySlice_New(kit::from_ssize(start).get(), kit::from_ssize(stop).get(), nullptr));
}

const char* const kMissingH5py = "h5py is required for H5 event I/O. Install it with: pip install h5py";

Ref ensure_h5py() {
    PyObject* cur = nullptr;
    kit::check(PyDict_GetItemStringRef(module_dict(), "_h5py", &cur));
    Ref current = Ref::steal_or_null(cur);
    if (current && current.get() != Py_None) return current;
    Ref m = kit::import_optional("h5py", kMissingH5py);
    // hdf5plugin registers its filters (Blosc, Zstandard, LZ4, ...) with
    // HDF5 when imported; without it, files that need them are refused by
    // check_filters with the pip command.
    Ref plugins = Ref::steal_or_null(PyImport_ImportModule("hdf5plugin"));
    if (!plugins) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) kit::raise();
        PyErr_Clear();
    }
    kit::check(PyDict_SetItemString(module_dict(), "_h5py", m.get()));
    return m;
}

Ref loaded_h5py() {
    Ref name = kit::str("h5py");
    Ref m = Ref::steal_or_null(PyImport_GetModule(name.get()));
    if (!m && PyErr_Occurred()) kit::raise();
    return m;
}

H5::H5(Ref m) : mod(std::move(m)) {
    if (!mod) return;
    file_type = kit::getattr(mod.get(), "File");
    dataset_type = kit::getattr(mod.get(), "Dataset");
    create_simple = kit::getattr(kit::getattr(mod.get(), "h5s").get(), "create_simple");
    py_create = kit::getattr(kit::getattr(mod.get(), "h5t").get(), "py_create");
}

bool H5::is_dataset(PyObject* o) const {
    return dataset_type && kit::check(PyObject_IsInstance(o, dataset_type.get())) == 1;
}

H5File::H5File(const H5& h5, PyObject* path, const char* mode, ChunkCache cache) {
    Ref args = kit::check(Py_BuildValue("(Os)", path, mode));
    Ref kw = cache == ChunkCache::off ? kit::check(Py_BuildValue("{si}", "rdcc_nbytes", 0)) : Ref();
    file_ = kit::check(PyObject_Call(h5.file_type.get(), args.get(), kw.get()));
}

H5File::~H5File() {
    if (file_) kit::call_method_quietly(file_.get(), "close");
}

void H5File::close() {
    Ref f = std::move(file_);
    kit::call_method(f.get(), "close");
}

void raise_broken_file(PyObject* path, const Config& c) {
    PyObject* exc = PyErr_GetRaisedException();
    Ref original = Ref::steal_or_null(exc);
    const bool ours_to_keep = !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception)) ||
                              PyErr_GivenExceptionMatches(exc, PyExc_MemoryError) ||
                              (PyErr_GivenExceptionMatches(exc, PyExc_OSError) && !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError)));
    if (ours_to_keep) {
        PyErr_SetRaisedException(original.release());
        kit::raise();
    }
    Ref what = c.compound_set
                   ? kit::check(PyUnicode_FromFormat("dataset %R", c.compound_key.get()))
                   : kit::check(PyUnicode_FromFormat("datasets %R, %R, %R, %R or a compound one", c.timestamp_key.get(),
                                                     c.x_key.get(), c.y_key.get(), c.polarity_key.get()));
    PyErr_Format(PyExc_OSError, "%S: cannot read the events of this HDF5 file (group %R, %U): %s: %S", path,
                 c.events_group.get(), what.get(), Py_TYPE(exc)->tp_name, exc);
    PyObject* wrapped = PyErr_GetRaisedException();
    PyException_SetCause(wrapped, original.copy().release());
    PyException_SetContext(wrapped, original.release());
    PyErr_SetRaisedException(wrapped);
    kit::raise();
}

long long open_file_size(PyObject* h5file) {
    Ref id = Ref::steal_or_null(PyObject_GetAttrString(h5file, "id"));
    Ref fd = id ? Ref::steal_or_null(kit::call_method_raw(id.get(), "get_vfd_handle")) : Ref();
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

void check_not_shrunk(PyObject* h5file, PyObject* path, long long at_open) {
    if (at_open < 0) return;
    const long long now = open_file_size(h5file);
    if (now >= 0 && now < at_open)
        refuse(PyExc_OSError, "%S: file shrank from %lld to %lld bytes while being read", path, at_open, now);
}

namespace {

constexpr auto kEnsure = kit::function("_ensure_h5py", "Any");

PyObject* ensure_h5py_fn(PyObject*, PyObject*) {
    return kit::guard([&] { return ensure_h5py().release(); });
}

const char* const kEnsureDoc =
    "Lazy-import h5py, raising a clear error if unavailable.\n\n"
    "The module is imported on the first call and kept in ``_h5py``; later\n"
    "calls return it without importing again.\n\n"
    "Raises:\n"
    "    ImportError: h5py cannot be imported (\"h5py is required for H5 event\n"
    "        I/O. Install it with: pip install h5py\"). Other errors raised while\n"
    "        importing h5py pass through unchanged.\n";

}  // namespace

void add_h5py_functions(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kEnsure, ensure_h5py_fn, kEnsureDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::h5
