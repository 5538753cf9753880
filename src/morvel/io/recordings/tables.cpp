// to_events: any table of events (a structured or record array, in memory or
// memory-mapped) as EVENT_DTYPE records through the conversion core, fields
// matched by the names given. The NumPy-file readers of morvel.io.open()
// convert their chunks with it.

#include "recordings.hpp"

#include "kit/events.hpp"
#include "kernels/cast.hpp"

#include <array>
#include <string>

namespace morvel::io::recordings {
namespace {

namespace kn = morvel::kernels;

constexpr auto kToEvents =
    kit::function("to_events", "np.ndarray", kit::Param{"table", "Union[np.ndarray, Mapping[str, np.ndarray]]"},
                  kit::Param{"fields", "Optional[Tuple[str, str, str, str]]", "None", nullptr, false, true});

PyObject* to_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kToEvents, args, nargs, kwnames);
        kit::FieldNames names = kit::kEventFields;
        std::array<std::string, 4> keep;
        if (a[1] && a[1] != Py_None) {
            PyObject* t = kit::arg_tuple(a[1], "fields");
            if (PyTuple_GET_SIZE(t) != 4)
                kit::raise(PyExc_ValueError, "fields must name the table's fields for t, x, y and p, got %R", t);
            for (Py_ssize_t i = 0; i < 4; ++i) {
                const char* s = PyUnicode_AsUTF8(kit::arg_str(PyTuple_GET_ITEM(t, i), "fields"));
                if (!s) kit::raise();
                keep[static_cast<std::size_t>(i)] = s;
                names[static_cast<std::size_t>(i)] = keep[static_cast<std::size_t>(i)].c_str();
            }
        }
        if (!PyArray_Check(a[0]) && !PyDict_Check(a[0]))
            kit::raise(PyExc_TypeError, "table must be np.ndarray or a dict of columns, got %s",
                       Py_TYPE(a[0])->tp_name);
        const kit::EventTable table(a[0], "txyp", names, kit::kEventTypes, true);
        const std::size_t n = table.size();
        Ref out = np::empty(static_cast<npy_intp>(n));
        {
            kit::MaybeNoGil nogil(n * sizeof(kn::Event) >= kit::kReleaseGilBytes);
            kn::interleave(table.columns(), n, np::events_data(out));
        }
        return out.release();
    });
}

const char* const kToEventsDoc =
    "A table of events as a new EVENT_DTYPE array, through the conversion core:\n"
    "the fields named by `fields` (the table's names for t, x, y and p; by\n"
    "default 't', 'x', 'y', 'p') of any structured or record array, in memory\n"
    "or memory-mapped, or of a dict of columns (1-D arrays of one length, as\n"
    "the columns of a 2-D array are), of any integer, float or bool types,\n"
    "cast as NumPy's astype casts them, strided columns read in place. A\n"
    "multi-dimensional table is read in C order.\n\n"
    "Raises:\n"
    "    TypeError: table is neither an ndarray nor a dict, or fields not a\n"
    "        tuple of str.\n"
    "    ValueError: table has no fields, or fields does not name four.\n"
    "    KeyError: a field is not in the table.\n";

}  // namespace

void add_tables(PyObject* m) {
    static PyMethodDef defs[] = {kit::def(kToEvents, to_events, kToEventsDoc)};
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::recordings
