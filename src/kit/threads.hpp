// The `threads=` keyword every parallel call takes, and what its docstrings
// say of it.
#pragma once

#include "args.hpp"
#include "pool.hpp"

// The docstring line of `threads`, in an Args section.
#define KIT_THREADS_DOC "    threads: Threads to use (default: the cores this process may run on).\n"

namespace kit {

// threads: Optional[int] = None, keyword-only.
inline constexpr Param kThreads{"threads", "Optional[int]", "None", nullptr, false, true};

// `threads=` as every call takes it: None for the cores this process may
// use, else an int >= 1.
inline unsigned arg_threads(PyObject* o, const char* param = "threads") {
    if (!o || o == Py_None) return usable_cores();
    Ref v = arg_int_object(o, param);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && n < 1)) raise(PyExc_ValueError, "%s must be >= 1, got %S", param, v.get());
    return overflow || n > 1024 ? 1024u : static_cast<unsigned>(n);
}

}  // namespace kit
