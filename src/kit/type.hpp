// Pieces shared by the package's heap types.
#pragma once

#include "ref.hpp"

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

}  // namespace kit
