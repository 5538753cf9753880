// Heap types, defined one way: an instance is the object header followed by
// a plain C++ struct of fields, constructed when the object is created and
// destroyed when it dies. The fields the collector must see are listed once;
// tp_traverse and tp_clear are generated from that list.
//
//   struct ReaderFields { kit::Ref path, header; std::size_t chunk_size = 0; };
//   using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::header>;
//   ReaderType::Self* self = ReaderType::of(obj);       // self->path, self->chunk_size
//   ReaderType::add(module, "morvel.io.formats.RawReader", {{Py_tp_init, ...}, {Py_tp_methods, ...}});
//
// Listed fields may be Refs, arrays and optionals of them, or structs with a
// `refs(f)` member that calls f on each of their references.
#pragma once

#include "args.hpp"
#include "ref.hpp"

#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <vector>

namespace kit {

template <class F>
struct Object : PyObject, F {};

namespace detail {

template <class T>
concept HasRefs = requires(T& t) { t.refs([](Ref&) {}); };

template <class T>
int visit_refs(const Own<T>& r, visitproc visit, void* arg) {
    return r ? visit(r.obj(), arg) : 0;
}
template <class T, std::size_t N>
int visit_refs(const std::array<T, N>& a, visitproc visit, void* arg);
template <class T>
int visit_refs(const std::optional<T>& o, visitproc visit, void* arg);
template <HasRefs T>
int visit_refs(const T& s, visitproc visit, void* arg) {
    int rc = 0;
    const_cast<T&>(s).refs([&](Ref& r) { rc = rc ? rc : visit_refs(r, visit, arg); });
    return rc;
}
template <class T, std::size_t N>
int visit_refs(const std::array<T, N>& a, visitproc visit, void* arg) {
    for (const T& x : a)
        if (int rc = visit_refs(x, visit, arg)) return rc;
    return 0;
}
template <class T>
int visit_refs(const std::optional<T>& o, visitproc visit, void* arg) {
    return o ? visit_refs(*o, visit, arg) : 0;
}

template <class T>
void clear_refs(Own<T>& r) noexcept {
    r.reset();
}
template <class T, std::size_t N>
void clear_refs(std::array<T, N>& a) noexcept;
template <class T>
void clear_refs(std::optional<T>& o) noexcept {
    o.reset();
}
template <HasRefs T>
void clear_refs(T& s) noexcept {
    s.refs([](Ref& r) { r.reset(); });
}
template <class T, std::size_t N>
void clear_refs(std::array<T, N>& a) noexcept {
    for (T& x : a) clear_refs(x);
}

}  // namespace detail

// A heap type whose instances carry the fields `F`; `Members` are the fields
// that hold references (visited by the collector, dropped by tp_clear).
template <class F, auto... Members>
struct Type {
    static_assert(std::is_nothrow_default_constructible_v<F>, "fields are built before any argument is seen");
    using Self = Object<F>;

    static Self* of(PyObject* o) noexcept { return static_cast<Self*>(o); }
    static bool has_dict(PyObject* o) noexcept { return (Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0; }

    static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
        PyObject* o = type->tp_alloc(type, 0);
        if (o) new (static_cast<F*>(of(o))) F();
        return o;
    }

    static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        F& f = *of(self);
        int rc = 0;
        ((rc = rc ? rc : detail::visit_refs(f.*Members, visit, arg)), ...);
        if (rc || !has_dict(self)) return rc;
        return PyObject_VisitManagedDict(self, visit, arg);
    }

    static int tp_clear(PyObject* self) {
        F& f = *of(self);
        (detail::clear_refs(f.*Members), ...);
        if (has_dict(self)) PyObject_ClearManagedDict(self);
        return 0;
    }

    // Untrack, clear weak references (their callbacks run, and they stop
    // pointing at the dying object), destroy the fields, free the object and
    // release the type. A type with a finalizer runs it first (it may
    // resurrect the object).
    static void tp_dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        if (tp->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
        PyObject_ClearWeakRefs(self);
        if (has_dict(self)) PyObject_ClearManagedDict(self);
        static_cast<F*>(of(self))->~F();
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    // Create the type from `slots` (its doc, init, methods, ... ; new,
    // dealloc, traverse and clear are added) and add it to `module` under
    // the last part of `qualname`. Instances are tracked by the collector
    // and take weak references; `flags` adds to that (by default: a
    // subclassable type whose instances have a __dict__).
    static TypeRef add(PyObject* module, const char* qualname, std::initializer_list<PyType_Slot> slots,
                       unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_MANAGED_DICT) {
        std::vector<PyType_Slot> all = {
            {Py_tp_new, reinterpret_cast<void*>(tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(tp_clear)},
        };
        all.insert(all.end(), slots.begin(), slots.end());
        all.push_back({0, nullptr});
        PyType_Spec spec = {qualname, sizeof(Self), 0,
                            static_cast<unsigned int>(flags | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF),
                            all.data()};
        TypeRef t = Own<PyObject>::steal(PyType_FromModuleAndSpec(module, &spec, nullptr)).as<PyTypeObject>();
        const char* dot = std::strrchr(qualname, '.');
        check(PyModule_AddObjectRef(module, dot ? dot + 1 : qualname, t.obj()));
        return t;
    }
};

// A read-only attribute showing a reference field (AttributeError while it
// is unset, as for a slot never assigned).
template <class F, Ref F::*M>
PyObject* get_ref_field(PyObject* self, void* name) {
    const Ref& r = static_cast<Object<F>*>(self)->*M;
    if (!r) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     static_cast<const char*>(name));
        return nullptr;
    }
    return r.copy().release();
}

template <class F, Ref F::*M>
constexpr PyGetSetDef ref_field(const char* name, const char* doc) {
    return {name, get_ref_field<F, M>, nullptr, doc, const_cast<char*>(name)};
}

// A read-only attribute showing an integer field.
template <class F, auto M>
PyObject* get_int_field(PyObject* self, void*) {
    return PyLong_FromLongLong(static_cast<long long>(static_cast<Object<F>*>(self)->*M));
}

template <class F, auto M>
constexpr PyGetSetDef int_field(const char* name, const char* doc) {
    return {name, get_int_field<F, M>, nullptr, doc, nullptr};
}

// A chunk size attribute: read as an int, set by arg_chunk_size's rules (at
// least 1), never deleted.
template <class F, std::size_t F::*M>
int set_chunk_size_field(PyObject* self, PyObject* value, void*) {
    return guard(
        [&] {
            if (!value) raise(PyExc_AttributeError, "cannot delete attribute 'chunk_size'");
            static_cast<Object<F>*>(self)->*M = arg_chunk_size(value, 0);
            return 0;
        },
        -1);
}

template <class F, std::size_t F::*M>
constexpr PyGetSetDef chunk_size_field(const char* doc) {
    return {"chunk_size", get_int_field<F, M>, set_chunk_size_field<F, M>, doc, nullptr};
}

inline constexpr PyGetSetDef kEndGetSet{nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace kit
