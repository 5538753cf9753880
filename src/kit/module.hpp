// Multi-phase module initialisation with the package's rules: a module is
// initialised once per process, and only ever in one interpreter.
//
//   static int exec(PyObject* m) { return kit::guard([&] { ...; return 0; }, -1); }
//   KIT_MODULE(streaming, "morvel.io.streaming", doc, exec)
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace kit {

namespace detail {

inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    // All modules of the package share the interpreter they were first
    // loaded into: their state is process-wide.
    static std::int64_t owner = -1;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (owner == -1) {
        owner = id;
    } else if (owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* m = PyModule_NewObject(name);
    Py_DECREF(name);
    return m;
}

}  // namespace detail

// Guard for the exec slot: refuses a second initialisation in the process.
template <int (*Exec)(PyObject*)>
int exec_once(PyObject* module, bool& done, const char* short_name) {
    if (done) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
        return -1;
    }
    const int rc = Exec(module);
    if (rc == 0) done = true;
    return rc;
}

// Add a module-level function from a method table entry.
inline void add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = check(PyModule_GetNameObject(module));
    Ref f = check(PyCMethod_New(def, nullptr, modname.get(), nullptr));
    check(PyModule_AddObjectRef(module, def->ml_name, f.get()));
}

// Add the module-level functions of a method table.
template <std::size_t N>
void add_functions(PyObject* module, PyMethodDef (&defs)[N]) {
    for (PyMethodDef& def : defs) add_function(module, &def);
}

// Add an object under a name (the reference is kept by the module).
inline void add(PyObject* module, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(module, name, value));
}

// The module-level names taken from typing for annotations.
inline void add_typing_names(PyObject* module, std::initializer_list<const char*> names) {
    Ref typing = import("typing");
    for (const char* n : names) add(module, n, getattr(typing.get(), n).get());
}

// Give `obj` an explicit __signature__ (for signatures whose defaults are
// objects that a text signature cannot express), from a parameter list in
// Python syntax evaluated in the module's namespace.
inline void set_signature(PyObject* module, PyObject* obj, const char* params) {
    Ref src = check(PyUnicode_FromFormat("lambda %s: None", params));
    Ref code = check(Py_CompileStringObject(PyUnicode_AsUTF8(src.get()), Ref(str("<signature>")).get(),
                                            Py_eval_input, nullptr, -1));
    Ref fn = check(PyEval_EvalCode(code.get(), PyModule_GetDict(module), nullptr));
    Ref inspect = import("inspect");
    Ref sig = call(getattr(inspect.get(), "signature").get(), fn.get());
    check(PyObject_SetAttrString(obj, "__signature__", sig.get()));
}

}  // namespace kit

#ifdef Py_mod_gil
#define KIT_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define KIT_MOD_GIL_SLOT
#endif

#define KIT_MODULE(short_name, full_name, doc, exec_fn)                                                   \
    static bool kit_module_done_ = false;                                                                 \
    static int kit_module_exec_(PyObject* m) {                                                            \
        return kit::exec_once<exec_fn>(m, kit_module_done_, #short_name);                                 \
    }                                                                                                     \
    static PyModuleDef_Slot kit_module_slots_[] = {                                                       \
        {Py_mod_create, reinterpret_cast<void*>(kit::detail::module_create)},                             \
        {Py_mod_exec, reinterpret_cast<void*>(kit_module_exec_)},                                         \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                             \
        KIT_MOD_GIL_SLOT                                                                                  \
        {0, nullptr},                                                                                     \
    };                                                                                                    \
    static PyModuleDef kit_module_def_ = {PyModuleDef_HEAD_INIT, full_name, doc, 0, nullptr,              \
                                          kit_module_slots_, nullptr, nullptr, nullptr};                  \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&kit_module_def_); }
