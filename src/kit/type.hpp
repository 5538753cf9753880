// Pieces shared by the package's heap types.
#pragma once

#include "ref.hpp"

#include <cstring>

namespace kit {

// tp_dealloc of a GC-tracked heap type with managed weak references: untrack,
// clear weak references (their callbacks run, and they stop pointing at the
// dying object), drop the members through `Clear` (the type's tp_clear, or
// nullptr), free the object and release the type.
template <int (*Clear)(PyObject*) = nullptr>
void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    if constexpr (Clear != nullptr) Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// tp_traverse and tp_clear of a GC heap type with a managed dict whose
// object members are `Members`:
//   {Py_tp_traverse, gc_traverse<Reader, &Reader::path, &Reader::dtype>}
template <class T, PyObject* T::*... Members>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* o = reinterpret_cast<T*>(self);
    int rc = 0;
    ((rc = rc ? rc : (o->*Members ? visit(o->*Members, arg) : 0)), ...);
    return rc ? rc : PyObject_VisitManagedDict(self, visit, arg);
}

template <class T, PyObject* T::*... Members>
int gc_clear(PyObject* self) {
    auto* o = reinterpret_cast<T*>(self);
    auto clear = [](PyObject*& member) { Py_CLEAR(member); };
    (clear(o->*Members), ...);
    PyObject_ClearManagedDict(self);
    return 0;
}

// Create a heap type from `spec` for `module` and add it to the module under
// the last part of its qualified name.
inline Ref add_type(PyObject* module, PyType_Spec* spec) {
    Ref t = check(PyType_FromModuleAndSpec(module, spec, nullptr));
    const char* dot = std::strrchr(spec->name, '.');
    check(PyModule_AddObjectRef(module, dot ? dot + 1 : spec->name, t.get()));
    return t;
}

}  // namespace kit
