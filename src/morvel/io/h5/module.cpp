// morvel.io.h5: HDF5 event files. Layout configuration and detection, whole
// file read and write, the chunked reader and the buffered streaming writer;
// the pieces are in the sources beside this one (see h5.hpp). Here: H5Config
// and the module.

#include "h5.hpp"

namespace {

namespace h5 = morvel::io::h5;
using kit::Ref;
namespace np = kit::np;

const char* const kModuleDoc =
    "H5 event file I/O and streaming for neuromorphic cameras.\n\n"
    "Supports two layouts:\n"
    "    1. Separate datasets: /events/t, /events/x, /events/y, /events/p\n"
    "    2. Compound dataset: /events (structured with t, x, y, p fields)\n\n"
    "``read_h5`` and ``write_h5`` read and write whole files, ``H5EventReader``\n"
    "reads chunk by chunk and by time window, and ``H5EventWriter`` records a\n"
    "stream of events with bounded memory. Group and dataset names come from an\n"
    "``H5Config``. h5py is imported on first use.\n";

const char* const kConfigDoc =
    "H5Config(events_group: str = 'events', timestamp_key: str = 't', x_key: str = 'x', y_key: str = 'y', "
    "polarity_key: str = 'p', compound_key: Optional[str] = None)\n\n"
    "Configuration for H5 event file format.\n\n"
    "Attributes:\n"
    "    events_group: HDF5 group path containing event data. An empty text\n"
    "        means the file's root group.\n"
    "    timestamp_key: Dataset name for timestamps within the group.\n"
    "    x_key: Dataset name for x coordinates.\n"
    "    y_key: Dataset name for y coordinates.\n"
    "    polarity_key: Dataset name for polarity values.\n"
    "    compound_key: If set, the name of a single compound dataset to read\n"
    "        instead of separate datasets; None for the separate layout.\n";

int exec_h5(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add_typing_names(m, {"Any", "Generator", "Optional", "Tuple", "Union"});
            kit::add(m, "Path", kit::getattr(kit::import("pathlib").get(), "Path").get());
            np::add_event_names(m);
            kit::add(m, "_h5py", Py_None);
            h5::module_dict() = kit::new_ref(PyModule_GetDict(m));
            kit::init_generator_type(m, "morvel.io.h5.generator");

            // H5Config and the two ready-made configurations.
            PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
            Ref optional = kit::getattr(kit::import("typing").get(), "Optional");
            Ref optional_str = kit::check(PyObject_GetItem(optional.get(), str_type));
            Ref events = kit::str("events"), t = kit::str("t"), x = kit::str("x"), y = kit::str("y"), p = kit::str("p");
            Ref config_cls = kit::make_dataclass(m, "H5Config", kConfigDoc,
                                                 {{"events_group", str_type, events.get()},
                                                  {"timestamp_key", str_type, t.get()},
                                                  {"x_key", str_type, x.get()},
                                                  {"y_key", str_type, y.get()},
                                                  {"polarity_key", str_type, p.get()},
                                                  {"compound_key", optional_str.get(), Py_None}},
                                                 true);
            kit::add(m, "H5Config", config_cls.get());
            h5::config_class() = kit::new_ref(config_cls.get());
            Ref dflt = kit::call(config_cls.get());
            kit::add(m, "DEFAULT_H5_CONFIG", dflt.get());
            h5::default_config() = dflt.release();
            Ref compact_kw = kit::check(Py_BuildValue("{sssO}", "events_group", "", "compound_key", events.get()));
            Ref no_args = kit::check(PyTuple_New(0));
            Ref compact = kit::check(PyObject_Call(config_cls.get(), no_args.get(), compact_kw.get()));
            kit::add(m, "COMPACT_H5_CONFIG", compact.get());

            h5::add_h5py_functions(m);
            h5::add_layout_functions(m);
            h5::add_file_functions(m);
            h5::add_reader(m);
            h5::add_writer(m);
            h5::add_ecf_functions(m);
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(h5, "morvel.io.h5", kModuleDoc, exec_h5)
