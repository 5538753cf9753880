// Configurations (H5Config objects) and the detection of a file's layout.

#include "h5.hpp"

#include <algorithm>
#include <numeric>

namespace morvel::io::h5 {

PyObject* config_or_default(PyObject* config) {
    if (!config || config == Py_None) return default_config();
    if (!kit::check(PyObject_IsInstance(config, config_class())))
        kit::raise_arg_type("config", "H5Config", config);
    return config;
}

Config load_config(PyObject* config) {
    PyObject* c = config_or_default(config);
    Config r;
    r.events_group = kit::getattr(c, "events_group");
    r.timestamp_key = kit::getattr(c, "timestamp_key");
    r.x_key = kit::getattr(c, "x_key");
    r.y_key = kit::getattr(c, "y_key");
    r.polarity_key = kit::getattr(c, "polarity_key");
    r.compound_key = kit::getattr(c, "compound_key");
    r.group_set = kit::check(PyObject_IsTrue(r.events_group.get())) == 1;
    r.compound_set = kit::check(PyObject_IsTrue(r.compound_key.get())) == 1;
    r.is_default = c == default_config() || kit::check(PyObject_RichCompareBool(c, default_config(), Py_EQ)) == 1;
    return r;
}

Config copy_config(const Config& c) {
    Config r;
    r.events_group = c.events_group.copy();
    r.timestamp_key = c.timestamp_key.copy();
    r.x_key = c.x_key.copy();
    r.y_key = c.y_key.copy();
    r.polarity_key = c.polarity_key.copy();
    r.compound_key = c.compound_key.copy();
    r.group_set = c.group_set;
    r.compound_set = c.compound_set;
    r.is_default = c.is_default;
    return r;
}

bool holds(PyObject* group, PyObject* name) {
    if (!kit::check(PyObject_HasAttrStringWithError(group, "keys"))) return false;
    return kit::check(PySequence_Contains(group, name)) == 1;
}

bool holds(PyObject* group, const char* name) {
    Ref n = kit::str(name);
    return holds(group, n.get());
}

Ref find(PyObject* group, PyObject* name) {
    if (!kit::check(PyObject_HasAttrStringWithError(group, "keys"))) return Ref();
    Ref r = Ref::steal_or_null(PyObject_GetItem(group, name));
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) kit::raise();
        PyErr_Clear();
    }
    return r;
}

Ref find(PyObject* group, const char* name) {
    Ref n = kit::str(name);
    return find(group, n.get());
}

Ref item(PyObject* group, PyObject* name) {
    Ref r = find(group, name);
    if (!r) refuse(PyExc_KeyError, "%R", name);
    return r;
}

Ref group_of(PyObject* file, const Config& c) {
    if (c.group_set) return item(file, c.events_group.get());
    return Ref::borrow(file);
}

namespace {

// The item's element type has field names. Items without an element type
// (groups) have none.
bool has_field_names(PyObject* item) {
    Ref dtype = Ref::steal_or_null(PyObject_GetAttrString(item, "dtype"));
    if (!dtype) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
        PyErr_Clear();
        return false;
    }
    return kit::getattr(dtype.get(), "names").get() != Py_None;
}

}  // namespace

const char* layout_name(Layout l) {
    switch (l) {
        case Layout::compound: return "compound";
        case Layout::separate: return "separate";
        case Layout::compound_fallback: return "compound_fallback";
        case Layout::dsec: return "dsec";
        case Layout::m3ed: return "m3ed";
        case Layout::mvsec: return "mvsec";
        default: return "prophesee";
    }
}

// From names and element types only: no data is read.
Layout detect_layout(PyObject* file, const Config& c) {
    Ref g = group_of(file, c);
    // The configured group may itself be the compound dataset: what h5py
    // writes from a structured array under the name "events".
    if (has_field_names(g.get())) return Layout::compound_fallback;
    if (c.compound_set && holds(g.get(), c.compound_key.get())) {
        Ref it = kit::check(PyObject_GetItem(g.get(), c.compound_key.get()));
        if (has_field_names(it.get())) return Layout::compound;
    }
    if (holds(g.get(), c.timestamp_key.get())) return Layout::separate;
    Ref events = kit::str("events");
    if (holds(g.get(), events.get())) {
        Ref it = kit::check(PyObject_GetItem(g.get(), events.get()));
        if (has_field_names(it.get())) return Layout::compound_fallback;
    }
    refuse(PyExc_ValueError,
               "Cannot detect H5 event layout. Expected either separate datasets (%S, %S, ...) or a compound "
               "dataset in group '%S'",
               c.timestamp_key.get(), c.x_key.get(), c.events_group.get());
}

Ref compound_dataset(PyObject* group, const Config& c, Layout layout) {
    if (layout == Layout::compound) return item(group, c.compound_key.get());
    if (has_field_names(group)) return Ref::borrow(group);  // the group is the dataset
    Ref events = kit::str("events");
    return item(group, events.get());
}

npy_intp length_1d(PyObject* ds) {
    Ref shape = Ref::steal_or_null(PyObject_GetAttrString(ds, "shape"));
    if (!shape) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
        PyErr_Clear();
        refuse(PyExc_ValueError, "%R is not a dataset (an HDF5 group where a dataset was expected?)", ds);
    }
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1)
        refuse(PyExc_ValueError, "%R must be one-dimensional (shape %R)", ds, shape.get());
    const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    if (n == -1 && PyErr_Occurred()) kit::raise();
    return n;
}

npy_intp chunk_length(PyObject* ds) {
    Ref chunks = Ref::steal_or_null(PyObject_GetAttrString(ds, "chunks"));
    if (!chunks) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
        PyErr_Clear();
        return 0;
    }
    if (!PyTuple_Check(chunks.get()) || PyTuple_GET_SIZE(chunks.get()) != 1) return 0;
    const Py_ssize_t c = PyLong_AsSsize_t(PyTuple_GET_ITEM(chunks.get(), 0));
    if (c == -1 && PyErr_Occurred()) kit::raise();
    return std::max<npy_intp>(c, 0);
}

// Blocks starting at 0 read every chunk once (a compressed chunk read in
// parts would be decompressed for each part, the chunk cache being off).
npy_intp block_for(std::initializer_list<npy_intp> chunk_lengths) {
    npy_intp align = 0, largest = 0;
    for (npy_intp c : chunk_lengths) {
        if (c <= 0) continue;
        largest = std::max(largest, c);
        align = align ? std::lcm(align, c) : c;
        if (align > 4 * kBlockEvents) align = -1;  // no common multiple worth having
        if (align < 0) break;
    }
    if (align < 0) align = largest;
    if (align == 0) return kBlockEvents;
    return align * std::max<npy_intp>(1, kBlockEvents / align);
}

namespace {

constexpr auto kDetect = kit::function("_detect_layout", "str", kit::Param{"h5file", "Any"},
                                       kit::Param{"config", "H5Config"});

PyObject* detect_layout_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kDetect, args, nargs, kwnames);
        const Config c = load_config(a[1]);
        if (!c.is_default) return kit::str(layout_name(detect_layout(a[0], c))).release();
        Ref name = Ref::steal_or_null(PyObject_GetAttrString(a[0], "filename"));
        if (!name) {
            PyErr_Clear();
            name = kit::check(PyObject_Repr(a[0]));
        }
        const Plan p = plan_file(H5(loaded_h5py()), a[0], name.get(), c, nullptr);
        return kit::str(layout_name(p.layout)).release();
    });
}

const char* const kDetectDoc =
    "Detect whether the file uses 'separate' or 'compound' layout. O(1).\n\n"
    "With the default configuration the layouts of the public datasets come\n"
    "first: \"prophesee\" (/CD/events), \"mvsec\" (/davis/{left,right}/events),\n"
    "\"m3ed\" (/prophesee/{left,right}/t, ...) and \"dsec\" (/events/t, ... with\n"
    "/t_offset or /ms_to_idx). Then it looks in the configured group (the\n"
    "root when ``events_group`` is empty) and returns, the first that holds:\n\n"
    "- \"compound\": ``compound_key`` is set and names an item with fields;\n"
    "- \"separate\": the group holds ``timestamp_key``;\n"
    "- \"compound_fallback\": the group holds an item \"events\" with fields.\n\n"
    "Only names and element types are inspected; no data is read. Items\n"
    "without an element type (groups) count as having no fields.\n\n"
    "Raises:\n"
    "    ValueError: none of the above holds.\n"
    "    KeyError: the configured group does not exist.\n";

}  // namespace

void add_layout_functions(PyObject* m) {
    static PyMethodDef defs[] = {
        kit::def(kDetect, detect_layout_fn, kDetectDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::h5
