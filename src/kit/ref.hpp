// Owning references and the "a Python error is set" exception.
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

// Move-only owning reference. Module code never calls Py_DECREF by hand.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Take ownership of a new reference; NULL means an error is set.
    static Ref steal(PyObject* p) {
        if (!p) raise();
        Ref r;
        r.p_ = p;
        return r;
    }
    // Take ownership of a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Add a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Ref r;
        r.p_ = Py_XNewRef(p);
        return r;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

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
Ref call_method(PyObject* o, const char* name, A... args) {
    Ref n = check(PyUnicode_FromString(name));
    PyObject* argv[] = {o, args...};
    return check(PyObject_VectorcallMethod(n.get(), argv, 1 + sizeof...(A), nullptr));
}
inline Ref from_ll(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref from_ull(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline Ref from_ssize(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
inline Ref str(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace kit
