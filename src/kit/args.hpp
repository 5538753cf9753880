// A callable's signature, declared once: the same declaration drives the
// argument parser (METH_FASTCALL | METH_KEYWORDS, or tp_init's tuple + dict),
// which raises the interpreter's own wording for wrong counts and keywords,
// and generates the docstring's signature lines (the text signature that
// `inspect.signature` reads, and the typed line shown in `help()`).
//
//   constexpr auto kDecode = kit::method("decode", "np.ndarray", kit::Param{"data", "Buffer"});
//   auto a = kit::parse(kDecode, args, nargs, kwnames);             // a[0]: the object passed, or nullptr
//   PyMethodDef def = kit::def(kDecode, decode_fn, "Decode ...\n");  // "decode($self, /, data)\n--\n\n"
//                                                                     // "decode(self, data: Buffer) -> np.ndarray\n\n..."
//
// Plus the typed-argument converters, all raising
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
#pragma once

#include "ref.hpp"

#include <array>
#include <cstring>
#include <forward_list>
#include <string>
#include <string_view>

namespace kit {

// One parameter. `type` is its annotation in the typed line, `fallback` its
// default as Python source ("None", "100000", "'EVT3'"; nullptr: required),
// `cython` a type written before the name in the typed line
// ("bytes raw_data: bytes"). A name starting with '*' is a `*args` parameter
// (documentation only: the parser takes none).
struct Param {
    const char* name;
    const char* type = nullptr;
    const char* fallback = nullptr;
    const char* cython = nullptr;
    bool positional_only = false;  // before the '/' marker
    bool keyword_only = false;     // after the '*' marker
};

enum class Kind {
    function,  // name(a, b)
    method,    // name($self, /, a, b): self is positional-only
    type,      // ClassName(a, b) documents __init__; messages name "__init__"
};

template <std::size_t N>
struct Signature {
    const char* name;
    const char* returns;  // the typed line's "-> ..." (nullptr: none)
    std::array<Param, N> params;
    Kind kind = Kind::function;
    // False for signatures whose defaults are objects a text signature cannot
    // express: the docstring starts with the typed line, and the module sets
    // __signature__ from `text_params()` instead.
    bool text_signature = true;

    // The name in argument messages.
    constexpr const char* message_name() const noexcept { return kind == Kind::type ? "__init__" : name; }
    // Parameters that may be passed by position.
    constexpr std::size_t positional() const noexcept {
        std::size_t n = 0;
        while (n < N && !params[n].keyword_only && params[n].name[0] != '*') ++n;
        return n;
    }
    // Leading positional parameters without a default.
    constexpr std::size_t required() const noexcept {
        std::size_t n = 0;
        while (n < positional() && !params[n].fallback) ++n;
        return n;
    }
};

template <class... P>
constexpr Signature<sizeof...(P)> function(const char* name, const char* returns, P... params) {
    return {name, returns, {params...}, Kind::function};
}
template <class... P>
constexpr Signature<sizeof...(P)> method(const char* name, const char* returns, P... params) {
    return {name, returns, {params...}, Kind::method};
}
template <class... P>
constexpr Signature<sizeof...(P)> type_init(const char* name, P... params) {
    return {name, nullptr, {params...}, Kind::type};
}

// Borrowed argument slots, in declaration order; nullptr where the caller
// passed nothing.
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
    const char* fname = sig.message_name();
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", fname);
    for (std::size_t i = 0; i < N; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) continue;
        if (sig.params[i].positional_only) break;  // not a keyword at all
        if (out[i]) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
        out[i] = value;
        return;
    }
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
}

template <std::size_t N>
void check_required(const Signature<N>& sig, const Args<N>& out) {
    for (std::size_t i = 0; i < sig.required(); ++i)
        if (!out[i]) raise_count(sig.message_name(), sig.required(), sig.positional(), static_cast<Py_ssize_t>(i));
    for (std::size_t i = sig.positional(); i < N; ++i)
        if (!out[i] && !sig.params[i].fallback && sig.params[i].name[0] != '*')
            raise(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", sig.message_name(),
                  sig.params[i].name);
}

}  // namespace detail

// Vectorcall-style arguments (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<N> out{};
    if (static_cast<std::size_t>(nargs) > sig.positional())
        detail::raise_count(sig.message_name(), sig.required(), sig.positional(), nargs);
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
    if (static_cast<std::size_t>(nargs) > sig.positional())
        detail::raise_count(sig.message_name(), sig.required(), sig.positional(), nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) detail::place_keyword(sig, out, key, value);
    }
    detail::check_required(sig, out);
    return out;
}

// ---------------------------------------------------------------------------
// Docstrings from the declaration.

namespace detail {

// Generated docstrings live as long as the process (method tables and types
// point into them; modules are never re-initialised).
inline const char* keep_text(std::string s) {
    static std::forward_list<std::string> texts;
    texts.push_front(std::move(s));
    return texts.front().c_str();
}

// "a, b=1, *, c=2" (with_types: "a: int, b: int = 1, ..."), markers included.
template <std::size_t N>
std::string param_list(const Signature<N>& sig, bool with_types) {
    std::string s;
    auto add = [&s](std::string_view piece) {
        if (!s.empty()) s += ", ";
        s += piece;
    };
    bool starred = false;
    for (std::size_t i = 0; i < N; ++i) {
        const Param& p = sig.params[i];
        if (p.keyword_only && !starred) {
            add("*");
            starred = true;
        }
        std::string one;
        if (with_types && p.cython) one = std::string(p.cython) + " ";
        one += p.name;
        if (with_types && p.type) one += std::string(": ") + p.type;
        if (p.fallback) one += std::string(with_types && p.type ? " = " : "=") + p.fallback;
        add(one);
        if (p.positional_only && (i + 1 == N || !sig.params[i + 1].positional_only)) add("/");
    }
    return s;
}

}  // namespace detail

// The parameters as Python source ("path, chunk_size=10000"), for signatures
// set from the module namespace.
template <std::size_t N>
std::string text_params(const Signature<N>& sig) {
    return detail::param_list(sig, false);
}

// The docstring: the text signature (unless the declaration has none), the
// typed signature line and `body`.
template <std::size_t N>
const char* docstring(const Signature<N>& sig, const char* body) {
    const std::string params = detail::param_list(sig, false);
    const std::string typed = detail::param_list(sig, true);
    std::string doc;
    if (sig.text_signature) {
        doc = std::string(sig.name) + "(";
        if (sig.kind == Kind::method) doc += params.empty() ? "$self, /" : "$self, /, " + params;
        else doc += params;
        doc += ")\n--\n\n";
    }
    doc += std::string(sig.name) + "(";
    if (sig.kind == Kind::method) doc += typed.empty() ? "self" : "self, " + typed;
    else doc += typed;
    doc += ")";
    if (sig.returns) doc += std::string(" -> ") + sig.returns;
    if (body && *body) doc += std::string("\n\n") + body;
    return detail::keep_text(std::move(doc));
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method-table entry for a fast-call function with keywords.
template <std::size_t N>
PyMethodDef def(const Signature<N>& sig, FastFunction f, const char* body) {
    return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS,
            docstring(sig, body)};
}

// A method-table entry for a function of no arguments (METH_NOARGS) or of
// `*args` (METH_VARARGS).
template <std::size_t N>
PyMethodDef def(const Signature<N>& sig, PyCFunction f, const char* body) {
    const bool varargs = N > 0 && sig.params[N - 1].name[0] == '*';
    static_assert(N <= 1, "a PyCFunction takes no arguments or *args; use a fast-call function");
    return {sig.name, f, varargs ? METH_VARARGS : METH_NOARGS, docstring(sig, body)};
}

// The end of a method table.
inline constexpr PyMethodDef kEndMethods{nullptr, nullptr, 0, nullptr};

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

// How `arg_chunk_size` takes its value.
enum class IntRule {
    number,  // any number, converted with int()
    exact,   // exactly an int (no bool, no float)
};

// A chunk size: at least 1 (ValueError "chunk_size must be >= 1, got N"
// otherwise); sizes beyond the address space mean "as large as can be".
inline std::size_t arg_chunk_size(PyObject* o, std::size_t dflt, IntRule rule = IntRule::number) {
    if (!o) return dflt;
    if (rule == IntRule::exact) arg_exact(o, &PyLong_Type, "chunk_size");
    Ref v = arg_int_exact(o, "chunk_size");
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (c == -1 && PyErr_Occurred()) raise();
    if (overflow > 0) return static_cast<std::size_t>(PY_SSIZE_T_MAX);
    if (overflow < 0 || c < 1) raise(PyExc_ValueError, "chunk_size must be >= 1, got %S", v.get());
    return static_cast<std::size_t>(std::min<long long>(c, PY_SSIZE_T_MAX));
}

// A sensor size: exactly a tuple of two numbers taken with int()
// (ValueError "sensor_size must be (width, height) tuple, got ..." for
// another length).
struct SensorSize {
    long long width = 0, height = 0;
};

inline SensorSize arg_sensor_size(PyObject* o, const char* param = "sensor_size") {
    arg_tuple(o, param);
    if (PyTuple_GET_SIZE(o) != 2) raise(PyExc_ValueError, "%s must be (width, height) tuple, got %R", param, o);
    long long size[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref v = arg_int_object(PyTuple_GET_ITEM(o, i), param);
        int overflow = 0;
        size[i] = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
        if (size[i] == -1 && PyErr_Occurred()) raise();
        if (overflow) raise(PyExc_ValueError, "%s holds a size out of range, got %R", param, o);
    }
    return {size[0], size[1]};
}

// A file-system path: str, bytes or os.PathLike, as the interpreter's open()
// takes it; returned as text (bytes decoded with the file-system encoding).
// Anything else is a TypeError naming the argument.
inline Ref arg_path(PyObject* o, const char* param = "path") {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    if (!PyUnicode_Check(o) && !PyBytes_Check(o) && !PyObject_HasAttrWithError(reinterpret_cast<PyObject*>(Py_TYPE(o)),
                                                                                    Ref(str("__fspath__")).get()))
        raise_arg_type(param, "str, bytes or os.PathLike", o);
    Ref p = check(PyOS_FSPath(o));
    if (PyBytes_Check(p.get()))
        return check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(p.get()), PyBytes_GET_SIZE(p.get())));
    if (PyUnicode_CheckExact(p.get())) return p;
    return check(PyObject_Str(p.get()));  // a str subclass, as text
}

}  // namespace kit
