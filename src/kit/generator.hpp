// Python generators driven by C++20 coroutines.
//
// A coroutine returning `kit::Generator` yields owned references with
// `co_yield ref;`. Wrapped by `make_generator`, it behaves like a generator
// of the interpreter: nothing runs before the first next(); send(), throw()
// and close() work and are worded as the interpreter words them. Resources
// held as RAII locals of the coroutine (files, sockets, buffers) are released
// on every way out: exhaustion, an error, close(), or garbage collection
// (destroying the coroutine frame runs their destructors).
#pragma once

#include "ref.hpp"

#include <coroutine>
#include <utility>

namespace kit {

class Generator {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    // Suspends at a yield; on resumption after throw(), rethrows the Python
    // exception inside the coroutine at the yield point.
    struct YieldAwaiter {
        promise_type* promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(handle_type) const noexcept {}
        void await_resume() const {
            if (promise->throw_pending) {
                promise->throw_pending = false;
                throw PyError{};
            }
        }
    };

    struct promise_type {
        Ref value;                   // the value of the last co_yield
        bool failed = false;         // the body ended with a Python error set
        bool throw_pending = false;  // resumed by throw(): raise at the yield

        Generator get_return_object() { return Generator(handle_type::from_promise(*this)); }
        std::suspend_always initial_suspend() const noexcept { return {}; }
        std::suspend_always final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        void unhandled_exception() noexcept {
            set_error_from_current_exception();
            failed = true;
        }
        YieldAwaiter yield_value(Ref v) noexcept {
            value = std::move(v);
            return YieldAwaiter{this};
        }
    };

    Generator(Generator&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Generator& operator=(Generator&&) = delete;
    Generator(const Generator&) = delete;
    ~Generator() {
        if (h_) h_.destroy();
    }
    handle_type release() noexcept { return std::exchange(h_, {}); }

private:
    explicit Generator(handle_type h) noexcept : h_(h) {}
    handle_type h_;
};

namespace detail {

struct GenObject {
    PyObject_HEAD
    Generator::handle_type h;  // null once finished
    PyObject* owner;           // the object the coroutine works for (it borrows it), or null
    const char* qualname;
    bool started;
    bool running;
};

inline PyTypeObject*& generator_type_slot() {
    static PyTypeObject* type = nullptr;
    return type;
}

inline void gen_finish(GenObject* g) noexcept {
    if (g->h) {
        auto h = std::exchange(g->h, {});
        h.destroy();  // runs the destructors of the coroutine's locals
    }
}

// Resume the coroutine once. Returns the yielded value (new reference), or
// nullptr: with an error set on failure, without one when it is exhausted.
inline PyObject* gen_step(GenObject* g, bool throwing) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!g->h) return nullptr;  // finished: StopIteration, or the thrown error as it stands
    if (throwing && !g->started) {
        // An exception thrown into a generator that never ran ends it at once.
        gen_finish(g);
        return nullptr;
    }
    auto& promise = g->h.promise();
    g->started = true;
    g->running = true;
    promise.throw_pending = throwing;
    g->h.resume();
    g->running = false;
    if (!g->h.done()) return promise.value.release();
    const bool failed = promise.failed;
    gen_finish(g);
    if (failed && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // As for generators of the interpreter, StopIteration may not escape
        // the generator's body.
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

inline PyObject* gen_iternext(PyObject* self) { return gen_step(reinterpret_cast<GenObject*>(self), false); }

inline PyObject* gen_send(PyObject* self, PyObject* value) {
    auto* g = reinterpret_cast<GenObject*>(self);
    if (!g->started && g->h && !g->running && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* r = gen_step(g, false);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

inline PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* g = reinterpret_cast<GenObject*>(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Py_NewRef(val);
        } else {
            exc = val == Py_None ? PyObject_CallNoArgs(typ)
                  : PyTuple_Check(val) ? PyObject_Call(typ, val, nullptr)
                                       : PyObject_CallOneArg(typ, val);
            if (!exc) return nullptr;
            if (!PyExceptionInstance_Check(exc)) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s", typ,
                             Py_TYPE(exc)->tp_name);
                Py_DECREF(exc);
                return nullptr;
            }
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    if (g->running) {
        Py_DECREF(exc);
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    PyErr_SetRaisedException(exc);
    PyObject* r = gen_step(g, true);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

inline PyObject* gen_close(PyObject* self, PyObject*) {
    auto* g = reinterpret_cast<GenObject*>(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    gen_finish(g);
    Py_RETURN_NONE;
}

inline PyObject* gen_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<GenObject*>(self)->running);
}

inline PyObject* gen_repr(PyObject* self) {
    auto* g = reinterpret_cast<GenObject*>(self);
    return PyUnicode_FromFormat("<generator object %s at %p>", g->qualname, self);
}

// The owner is the one reference of the generator that the collector can
// see, so a cycle such as reader -> generator -> reader is collected: clearing
// finishes the coroutine (its locals are released) and drops the owner.
inline int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<GenObject*>(self)->owner);
    return 0;
}

inline int gen_clear(PyObject* self) {
    auto* g = reinterpret_cast<GenObject*>(self);
    if (g->running) return 0;  // its coroutine is using the owner right now
    gen_finish(g);
    Py_CLEAR(g->owner);
    return 0;
}

inline void gen_dealloc(PyObject* self) {
    auto* g = reinterpret_cast<GenObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Destroying the frame runs destructors that may touch Python objects;
    // keep any exception that is being handled intact around them. The
    // frame goes before the owner it borrows.
    {
        KeepError keep;
        gen_finish(g);
        Py_CLEAR(g->owner);
    }
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(value)\n--\n\nsend(value)\n\nSend a value into the generator; return the next yielded value or raise "
     "StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise an exception in the generator at the point where it is "
     "suspended; return the next yielded value or raise StopIteration."},
    {"close", gen_close, METH_NOARGS,
     "close($self, /)\n--\n\nclose()\n\nFinish the generator and release everything it holds."},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef gen_getset[] = {
    {"gi_running", gen_running, nullptr, "True while the generator is executing.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace detail

// Create the module's generator type (once, from the module's exec slot).
// `type_name` is the qualified name, for example "morvel.io.streaming.generator".
inline void init_generator_type(PyObject* module, const char* type_name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(detail::gen_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(detail::gen_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(detail::gen_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(detail::gen_repr)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(detail::gen_iternext)},
        {Py_tp_methods, detail::gen_methods},
        {Py_tp_getset, detail::gen_getset},
        {Py_tp_doc, const_cast<char*>("Generator driven by native code.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {type_name, sizeof(detail::GenObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                               slots};
    auto* type = reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
    detail::generator_type_slot() = type;  // lives as long as the process: modules are never re-initialised
}

// Wrap a coroutine in a new generator object. `qualname` is shown in repr.
// `owner` (optional) is kept alive by the generator for the coroutine, which
// takes it as a borrowed pointer: keeping it here rather than in the
// coroutine's frame lets the collector see it and break cycles.
inline Ref make_generator(Generator gen, const char* qualname, Borrowed<> owner = nullptr) {
    PyTypeObject* type = detail::generator_type_slot();
    auto* g = PyObject_GC_New(detail::GenObject, type);
    if (!g) raise();
    g->h = gen.release();
    g->owner = owner.own().release();
    g->qualname = qualname;
    g->started = false;
    g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace kit
