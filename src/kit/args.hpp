// Declarative argument parsing for METH_FASTCALL | METH_KEYWORDS functions
// (and for tp_init's tuple + dict), with the interpreter's own wording for
// wrong counts and keywords, plus the typed-argument converters.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstring>

namespace kit {

// A function's parameters: their names in order, how many have no default
// (they come first) and how many may be passed by position.
template <std::size_t N>
struct Signature {
    const char* name;  // function name used in messages
    std::array<const char*, N> params;
    std::size_t required;
    std::size_t positional = N;
};

// Borrowed argument slots; nullptr where the caller passed nothing.
template <std::size_t N>
using Args = std::array<PyObject*, N>;

namespace detail {

[[noreturn]] inline void raise_count(const char* fname, std::size_t min, std::size_t max, Py_ssize_t given) {
    const char* more_or_less;
    std::size_t expected;
    if (min == max) {
        more_or_less = "exactly";
        expected = min;
    } else if (static_cast<std::size_t>(given) < min) {
        more_or_less = "at least";
        expected = min;
    } else {
        more_or_less = "at most";
        expected = max;
    }
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, more_or_less,
          static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
}

// Place one keyword argument in its slot.
template <std::size_t N>
void place_keyword(const Signature<N>& sig, Args<N>& out, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    for (std::size_t i = 0; i < N; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            if (out[i]) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
            out[i] = value;
            return;
        }
    }
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
}

template <std::size_t N>
void check_required(const Signature<N>& sig, const Args<N>& out) {
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) raise_count(sig.name, sig.required, sig.positional, static_cast<Py_ssize_t>(i));
}

}  // namespace detail

// Vectorcall-style arguments (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<N> out{};
    if (static_cast<std::size_t>(nargs) > sig.positional)
        detail::raise_count(sig.name, sig.required, sig.positional, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            detail::place_keyword(sig, out, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
    detail::check_required(sig, out);
    return out;
}

// Tuple + dict arguments (tp_init, tp_new).
template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    Args<N> out{};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.positional)
        detail::raise_count(sig.name, sig.required, sig.positional, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) detail::place_keyword(sig, out, key, value);
    }
    detail::check_required(sig, out);
    return out;
}

// A function that takes no arguments at all (METH_NOARGS does this itself;
// this is for fast-call entry points that must refuse any).
inline void parse_none(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs) detail::raise_count(fname, 0, 0, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames))
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, PyTuple_GET_ITEM(kwnames, 0));
}

// ---------------------------------------------------------------------------
// Typed-argument converters.

[[noreturn]] inline void raise_arg_type(const char* param, const char* expected, PyObject* given) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
          Py_TYPE(given)->tp_name);
}

// `int` parameter: any number, converted with int() (floats truncate).
inline Ref arg_int_object(PyObject* o, const char* param) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    if (!PyNumber_Check(o)) raise_arg_type(param, "int", o);
    return check(PyNumber_Long(o));
}

// `int` parameter as a plain int object: a bool or an int subclass becomes an
// exact int too (for messages that show the number: 0, not False).
inline Ref arg_int_exact(PyObject* o, const char* param) {
    Ref v = arg_int_object(o, param);
    return PyLong_CheckExact(v.get()) ? std::move(v) : check(PyNumber_Long(v.get()));
}

inline long long arg_int(PyObject* o, const char* param) {
    Ref v = arg_int_object(o, param);
    const long long r = PyLong_AsLongLong(v.get());
    if (r == -1 && PyErr_Occurred()) raise();
    return r;
}

inline long long arg_int(PyObject* o, const char* param, long long dflt) {
    return o ? arg_int(o, param) : dflt;
}

// `float` parameter: any number, converted with float().
inline double arg_float(PyObject* o, const char* param) {
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (!PyNumber_Check(o)) raise_arg_type(param, "float", o);
    const double r = PyFloat_AsDouble(o);
    if (r == -1.0 && PyErr_Occurred()) raise();
    return r;
}

inline double arg_float(PyObject* o, const char* param, double dflt) { return o ? arg_float(o, param) : dflt; }

// `bool` parameter: the truth value of anything.
inline bool arg_bool(PyObject* o, bool dflt) { return o ? check(PyObject_IsTrue(o)) != 0 : dflt; }

// Exactly this type: no subclasses, no None.
inline PyObject* arg_exact(PyObject* o, PyTypeObject* type, const char* param) {
    if (!Py_IS_TYPE(o, type)) raise_arg_type(param, type->tp_name, o);
    return o;
}

// Exactly this type, or None (returns nullptr for None).
inline PyObject* arg_exact_or_none(PyObject* o, PyTypeObject* type, const char* param) {
    if (o == Py_None) return nullptr;
    return arg_exact(o, type, param);
}

inline PyObject* arg_str(PyObject* o, const char* param) { return arg_exact(o, &PyUnicode_Type, param); }
inline PyObject* arg_bytes(PyObject* o, const char* param) { return arg_exact(o, &PyBytes_Type, param); }
inline PyObject* arg_tuple(PyObject* o, const char* param) { return arg_exact(o, &PyTuple_Type, param); }

// Item i of a tuple, with the interpreter's IndexError when it is too short.
inline PyObject* tuple_item(PyObject* tup, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(tup)) raise(PyExc_IndexError, "tuple index out of range");
    return PyTuple_GET_ITEM(tup, i);
}

}  // namespace kit
