// NumPy access for the modules: the C API (imported per module), the shared
// event record type, and helpers to allocate and view event arrays.
#pragma once

#include "ref.hpp"

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#endif
// The sources of a module share one NumPy API table: the module's main
// source (the build defines KIT_NUMPY_DEFINE_API for it) holds and imports
// it, the others refer to it.
#define PY_ARRAY_UNIQUE_SYMBOL morvel_kit_numpy_api
#ifndef KIT_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "../kernels/cast.hpp"
#include "../kernels/event.hpp"

#include <optional>

namespace kit {

using ArrayRef = Own<PyArrayObject>;
using DescrRef = Own<PyArray_Descr>;

}  // namespace kit

namespace kit::np {

using morvel::kernels::Event;
using morvel::kernels::NumType;

#ifdef KIT_NUMPY_DEFINE_API
// Import NumPy's C API into this module (call from the exec slot).
inline void import_numpy() {
    if (PyArray_ImportNumPyAPI() < 0) raise();
}
#endif

// The event record type, owned for the life of the process.
inline PyArray_Descr*& event_descr_slot() {
    static PyArray_Descr* descr = nullptr;
    return descr;
}
inline PyArray_Descr* event_descr() { return event_descr_slot(); }

// Build the record type from its field list (only the module that defines it).
inline Ref build_event_dtype() {
    Ref spec = check(Py_BuildValue("[(ss)(ss)(ss)(ss)]", "t", "<u8", "x", "<u2", "y", "<u2", "p", "u1"));
    PyArray_Descr* d = nullptr;
    if (!PyArray_DescrConverter(spec.get(), &d)) raise();
    if (PyDataType_ELSIZE(d) != static_cast<npy_intp>(sizeof(Event))) {
        Py_DECREF(d);
        raise(PyExc_RuntimeError, "unexpected event record size");
    }
    event_descr_slot() = d;
    Py_INCREF(d);  // the slot keeps one reference for the process
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

// Fetch EVENT_DTYPE from morvel.io.streaming (importing it first).
inline void import_event_dtype() {
    Ref streaming = import("morvel.io.streaming");
    Ref d = getattr(streaming.get(), "EVENT_DTYPE");
    if (!PyArray_DescrCheck(d.get())) raise(PyExc_TypeError, "morvel.io.streaming.EVENT_DTYPE is not a dtype");
    event_descr_slot() = reinterpret_cast<PyArray_Descr*>(d.release());
}

inline PyArrayObject* arr(const Ref& r) { return reinterpret_cast<PyArrayObject*>(r.get()); }
inline PyArrayObject* arr(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// The descriptor of a built-in type number.
inline DescrRef descr(int typenum) { return DescrRef::steal(PyArray_DescrFromType(typenum)); }

// `dtype_like` (a dtype, a type, a string, ...) as a descriptor.
inline DescrRef descr_from(PyObject* dtype_like) {
    PyArray_Descr* d = nullptr;
    if (!PyArray_DescrConverter(dtype_like, &d)) raise();
    return DescrRef::steal(d);
}

// The element type of a descriptor as the conversion core knows it; none for
// types it does not read (float16, complex, strings, records, ...). With
// `any_order`, a byte-swapped type is taken as its native twin (for readers
// that convert byte order themselves, as h5py does).
inline std::optional<NumType> num_type(PyArray_Descr* d, bool any_order = false) {
    if (PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) return std::nullopt;
    if (!any_order && !PyArray_ISNBO(d->byteorder)) return std::nullopt;
    NumType t;
    if (!morvel::kernels::num_type_for(d->kind, static_cast<std::size_t>(PyDataType_ELSIZE(d)), t)) return std::nullopt;
    return t;
}

// New uninitialised array of `n` records of `descr` (default: events).
inline Ref empty(npy_intp n, PyArray_Descr* descr = nullptr) {
    if (!descr) descr = event_descr();
    Py_INCREF(descr);  // stolen by the constructor
    return check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, nullptr, 0, nullptr));
}

// New zero-filled array of the given shape and type number.
inline Ref zeros(std::initializer_list<npy_intp> shape, int typenum) {
    npy_intp dims[NPY_MAXDIMS];
    int nd = 0;
    for (npy_intp d : shape) dims[nd++] = d;
    return check(PyArray_Zeros(nd, dims, PyArray_DescrFromType(typenum), 0));
}

inline Event* events_data(const Ref& a) { return static_cast<Event*>(PyArray_DATA(arr(a))); }

inline npy_intp length(const Ref& a) { return PyArray_DIM(arr(a), 0); }

// Shrink a freshly allocated, unshared 1-d array to its first `n` records
// (after filling an upper bound).
inline void shrink(Ref& a, npy_intp n) {
    if (n == length(a)) return;
    PyArray_Dims dims{&n, 1};
    Ref r = check(PyArray_Resize(arr(a), &dims, 0, NPY_CORDER));
}

// Records [start, stop) of a 1-d array as a view sharing its memory.
inline Ref slice_view(const Ref& a, npy_intp start, npy_intp stop) {
    Ref s = check(PySlice_New(from_ssize(start).get(), from_ssize(stop).get(), nullptr));
    return check(PyObject_GetItem(a.get(), s.get()));
}

// An array of `n` records of `descr` (default: events) at `data`, which
// `owner` keeps alive (nullptr: memory the caller keeps alive while the
// array is used); writable unless `readonly`.
inline Ref records_view(Borrowed<> owner, void* data, npy_intp n, PyArray_Descr* descr = nullptr,
                        bool readonly = false) {
    if (!descr) descr = event_descr();
    Py_INCREF(descr);  // stolen by the constructor
    Ref a = check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, data, readonly ? 0 : NPY_ARRAY_CARRAY,
                                       nullptr));
    if (owner && PyArray_SetBaseObject(arr(a), owner.own().release()) < 0) raise();
    return a;
}

// View `len` bytes owned by `owner` (for example a bytes object) as a 1-d
// read-only array of `descr` records, without copying. `len` must be a
// multiple of the record size.
inline Ref view_bytes(PyObject* owner, char* data, npy_intp len, PyArray_Descr* descr) {
    return records_view(owner, data, len / PyDataType_ELSIZE(descr), descr, true);
}

// A C-contiguous array of event records holding `obj`'s events, converting
// when it is of another record type; the result may be `obj` itself.
inline Ref as_events(PyObject* obj) {
    PyArray_Descr* d = event_descr();
    Py_INCREF(d);
    return check(PyArray_FromAny(obj, d, 1, 1, NPY_ARRAY_C_CONTIGUOUS, nullptr));
}

// A caller's buffer to fill with events: a writable, C-contiguous, 1-d
// EVENT_DTYPE array (TypeError or ValueError naming `param` otherwise).
inline Event* out_events(PyObject* out, const char* param, std::size_t& length) {
    if (!PyArray_Check(out)) raise(PyExc_TypeError, "%s must be an EVENT_DTYPE array, got %s", param, Py_TYPE(out)->tp_name);
    PyArrayObject* a = arr(out);
    if (!PyArray_EquivTypes(PyArray_DESCR(a), event_descr()))
        raise(PyExc_TypeError, "%s must be an EVENT_DTYPE array, got dtype %S", param,
              reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, "%s must be 1-d, got %d dimensions", param, PyArray_NDIM(a));
    if (!PyArray_IS_C_CONTIGUOUS(a)) raise(PyExc_ValueError, "%s must be C-contiguous", param);
    if (!PyArray_ISWRITEABLE(a)) raise(PyExc_ValueError, "%s is read-only", param);
    length = static_cast<std::size_t>(PyArray_DIM(a, 0));
    return static_cast<Event*>(PyArray_DATA(a));
}

#ifdef KIT_NUMPY_DEFINE_API
// The module-level names of a module that works on arrays: NumPy's C API
// imported and `np`; with events, also `EVENT_DTYPE` (from
// morvel.io.streaming).
inline void add_numpy_names(PyObject* module) {
    import_numpy();
    check(PyModule_AddObjectRef(module, "np", import("numpy").get()));
}

inline void add_event_names(PyObject* module) {
    add_numpy_names(module);
    import_event_dtype();
    check(PyModule_AddObjectRef(module, "EVENT_DTYPE", reinterpret_cast<PyObject*>(event_descr())));
}
#endif

}  // namespace kit::np
