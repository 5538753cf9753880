// Real `dataclasses` classes built from a C++ field table, so fields(),
// equality, hashing (when frozen) and repr are the standard ones. Methods and
// properties implemented in C++ are attached afterwards.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace kit {

struct Field {
    const char* name;
    PyObject* annotation;  // borrowed: a type or a typing construct
    PyObject* default_value = nullptr;  // borrowed; nullptr = no default
};

// dataclasses.make_dataclass(name, fields, frozen=..., module=...), with a
// docstring set on the class.
inline Ref make_dataclass(PyObject* module, const char* name, const char* doc, std::initializer_list<Field> fields,
                          bool frozen) {
    Ref dataclasses = import("dataclasses");
    Ref list = check(PyList_New(0));
    for (const Field& f : fields) {
        Ref item;
        if (f.default_value) {
            Ref kw = check(Py_BuildValue("{sO}", "default", f.default_value));
            Ref empty = check(PyTuple_New(0));
            Ref fld = check(PyObject_Call(getattr(dataclasses.get(), "field").get(), empty.get(), kw.get()));
            item = check(Py_BuildValue("(sOO)", f.name, f.annotation, fld.get()));
        } else {
            item = check(Py_BuildValue("(sO)", f.name, f.annotation));
        }
        check(PyList_Append(list.get(), item.get()));
    }
    Ref modname = check(PyModule_GetNameObject(module));
    Ref args = check(Py_BuildValue("(sO)", name, list.get()));
    Ref kw = check(Py_BuildValue("{sOsO}", "frozen", frozen ? Py_True : Py_False, "module", modname.get()));
    Ref cls = check(PyObject_Call(getattr(dataclasses.get(), "make_dataclass").get(), args.get(), kw.get()));
    Ref d = str(doc);
    check(PyObject_SetAttrString(cls.get(), "__doc__", d.get()));
    return cls;
}

// Attach a method implemented in C++ (bound like a Python method).
inline void add_method(PyObject* cls, PyMethodDef* def) {
    Ref descr = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    check(PyObject_SetAttrString(cls, def->ml_name, descr.get()));
}

// Attach a read-only property whose getter is a METH_O function of the instance.
inline void add_property(PyObject* cls, PyMethodDef* getter) {
    Ref f = check(PyCFunction_New(getter, nullptr));
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), f.get());
    check(PyObject_SetAttrString(cls, getter->ml_name, prop.get()));
}

}  // namespace kit
