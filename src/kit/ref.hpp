// Owning and borrowed references, the "a Python error is set" exception, and
// the small object-protocol helpers every module uses. Module code never
// calls the reference-count macros: it holds objects in these.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace kit {

// Thrown by kit and module code when a Python exception has been set. Entry
// points catch it at the boundary (see `guard`) and return NULL.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Set `type` with a formatted message and throw.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw PyError{};
}

template <class T>
inline PyObject* as_object(T* p) noexcept {
    return reinterpret_cast<PyObject*>(p);
}

// Move-only owning reference to a T (PyObject, PyArrayObject, PyArray_Descr,
// PyTypeObject, ...). `Ref` is the untyped one.
template <class T = PyObject>
class Own {
public:
    Own() noexcept = default;
    Own(std::nullptr_t) noexcept {}
    ~Own() { Py_XDECREF(as_object(p_)); }
    Own(Own&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Own& operator=(Own&& o) noexcept {
        if (this != &o) {
            T* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(as_object(old));
        }
        return *this;
    }
    Own(const Own&) = delete;
    Own& operator=(const Own&) = delete;

    // Take ownership of a new reference; NULL means an error is set.
    static Own steal(T* p) {
        if (!p) raise();
        Own r;
        r.p_ = p;
        return r;
    }
    // Take ownership of a new reference that may legitimately be NULL.
    static Own steal_or_null(T* p) noexcept {
        Own r;
        r.p_ = p;
        return r;
    }
    // Add a reference to a borrowed object.
    static Own borrow(T* p) noexcept {
        Own r;
        r.p_ = p;
        Py_XINCREF(as_object(p));
        return r;
    }

    T* get() const noexcept { return p_; }
    PyObject* obj() const noexcept { return as_object(p_); }
    T* release() noexcept { return std::exchange(p_, nullptr); }
    Own copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        T* old = std::exchange(p_, nullptr);
        Py_XDECREF(as_object(old));
    }

    // The same reference under another C type (PyObject* -> PyArrayObject*).
    template <class U>
    Own<U> as() && noexcept {
        return Own<U>::steal_or_null(reinterpret_cast<U*>(release()));
    }

private:
    T* p_ = nullptr;
};

using Ref = Own<PyObject>;
using TypeRef = Own<PyTypeObject>;

// A reference someone else owns, for the length of a call. Says in a
// signature that nothing is taken; `own()` takes a reference of one's own.
template <class T = PyObject>
class Borrowed {
public:
    Borrowed(std::nullptr_t) noexcept : p_(nullptr) {}
    Borrowed(T* p) noexcept : p_(p) {}
    Borrowed(const Own<T>& r) noexcept : p_(r.get()) {}
    T* get() const noexcept { return p_; }
    PyObject* obj() const noexcept { return as_object(p_); }
    Own<T> own() const noexcept { return Own<T>::borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_;
};

// A new reference to `o` (for returning a borrowed object).
inline PyObject* new_ref(PyObject* o) noexcept { return Ref::borrow(o).release(); }
inline PyObject* none() noexcept { return new_ref(Py_None); }
inline PyObject* boolean(bool v) noexcept { return new_ref(v ? Py_True : Py_False); }

// Result of a C-API call that returns a new reference (NULL on error).
inline Ref check(PyObject* p) { return Ref::steal(p); }
// Result of a C-API call that returns -1 on error.
inline int check(int rc) {
    if (rc == -1 && PyErr_Occurred()) raise();
    return rc;
}

// Translate whatever escaped from C++ into a Python error. Called from the
// catch-all at every entry point.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Run `f` at a C-API boundary: a C++ exception becomes a Python error and the
// call returns `fail` (NULL or -1).
template <class F, class R = decltype(std::declval<F>()())>
R guard(F&& f, R fail = R{}) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

// Puts the error being raised (if any) aside for the scope and restores it
// at the end, so that clean-up code (closing a file, releasing a lock) runs
// as if no error were set and cannot lose it. Whatever error the scope
// leaves is dropped: the state is as it was before.
class KeepError {
public:
    KeepError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~KeepError() { PyErr_SetRaisedException(exc_); }
    KeepError(const KeepError&) = delete;
    KeepError& operator=(const KeepError&) = delete;
    bool pending() const noexcept { return exc_ != nullptr; }

private:
    PyObject* exc_;
};

// Release the GIL for the lifetime of the scope (only around code that touches
// no Python object).
class NoGil {
public:
    NoGil() noexcept : state_(PyEval_SaveThread()) {}
    ~NoGil() { PyEval_RestoreThread(state_); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* state_;
};

// Work on at least this many bytes is worth releasing the GIL for.
inline constexpr std::size_t kReleaseGilBytes = std::size_t{1} << 20;

// Release the GIL only when the work is large enough to be worth the switch.
class MaybeNoGil {
public:
    explicit MaybeNoGil(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~MaybeNoGil() {
        if (state_) PyEval_RestoreThread(state_);
    }
    MaybeNoGil(const MaybeNoGil&) = delete;
    MaybeNoGil& operator=(const MaybeNoGil&) = delete;

private:
    PyThreadState* state_;
};

// One call at a time on an object whose work runs without the GIL: a second
// caller (another thread, or a re-entrant call) gets RuntimeError `message`
// instead of racing on the object's buffers.
class Busy {
public:
    Busy(bool& flag, const char* message) : flag_(flag) {
        if (flag_) raise(PyExc_RuntimeError, "%s", message);
        flag_ = true;
    }
    ~Busy() { flag_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    bool& flag_;
};

// Small object-protocol helpers that throw on error.
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }
inline Ref import(const char* name) { return check(PyImport_ImportModule(name)); }
inline Ref call(PyObject* f) { return check(PyObject_CallNoArgs(f)); }
template <class... A>
Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {args...};
    return check(PyObject_Vectorcall(f, argv, sizeof...(A), nullptr));
}
template <class... A>
PyObject* call_method_raw(PyObject* o, const char* name, A... args) noexcept {
    PyObject* n = PyUnicode_FromString(name);
    if (!n) return nullptr;
    PyObject* argv[] = {o, args...};
    PyObject* r = PyObject_VectorcallMethod(n, argv, 1 + sizeof...(A), nullptr);
    Py_DECREF(n);
    return r;
}
template <class... A>
Ref call_method(PyObject* o, const char* name, A... args) {
    return check(call_method_raw(o, name, args...));
}

// o.name(*args) on a way out that may already carry an error (closing a file,
// releasing a lock): that error stays the one raised. A failure of the call
// is dropped when an error was pending, and reported as unraisable when none
// was. Returns whether the call succeeded.
template <class... A>
bool call_method_quietly(PyObject* o, const char* name, A... args) noexcept {
    KeepError keep;
    Ref r = Ref::steal_or_null(call_method_raw(o, name, args...));
    if (r) return true;
    if (keep.pending())
        PyErr_Clear();
    else
        PyErr_WriteUnraisable(o);
    return false;
}

inline Ref from_ll(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref from_ull(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline Ref from_ssize(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
inline Ref from_size(std::size_t v) { return check(PyLong_FromSize_t(v)); }
inline Ref str(const char* s) { return check(PyUnicode_FromString(s)); }

// Replace the error being raised by `type`(`message`); the original becomes
// its context.
[[noreturn]] inline void raise_instead(PyObject* type, const char* message) {
    PyObject* original = PyErr_GetRaisedException();
    PyErr_SetString(type, message);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, original);  // steals `original`
    PyErr_SetRaisedException(exc);
    raise();
}

// An optional dependency: `import module`, where a missing module (an
// ImportError of any kind) becomes ImportError `message`; other errors raised
// by the import pass through.
inline Ref import_optional(const char* module, const char* message) {
    Ref m = Ref::steal_or_null(PyImport_ImportModule(module));
    if (m) return m;
    if (PyErr_ExceptionMatches(PyExc_ImportError)) raise_instead(PyExc_ImportError, message);
    raise();
}

// `from module import name` of an optional dependency: a missing name is an
// ImportError `message` too.
inline Ref import_optional(const char* module, const char* name, const char* message) {
    Ref m = import_optional(module, message);
    Ref v = Ref::steal_or_null(PyObject_GetAttrString(m.get(), name));
    if (v) return v;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) raise_instead(PyExc_ImportError, message);
    raise();
}

}  // namespace kit
