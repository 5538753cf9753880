// morvel.io.h5, split along its seams:
//   h5py.cpp     the h5py binding (loaded on first use) and its files
//   layout.cpp   configurations and layout detection
//   datasets.cpp the layouts datasets ship in (DSEC, M3ED, MVSEC, Prophesee),
//                their filters, index tables and time windows
//   ecf.cpp      Prophesee's ECF chunks, read and written directly
//   columns.cpp  reading columns and compound records into events
//   files.cpp    whole-file read_h5 / write_h5 and the private readers
//   reader.cpp   the chunked H5EventReader
//   writer.cpp   the streaming H5EventWriter
//   module.cpp   H5Config and the module itself
// h5py does the file work, called through the C API; columns travel between
// h5py and event records through reusable buffers of a few megabytes, and
// the casting, interleaving and splitting run in the conversion core
// (kernels/cast.hpp).
#pragma once

#include "kit/events.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/cast.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace morvel::io::h5 {

using kit::Ref;
namespace np = kit::np;
namespace kn = morvel::kernels;
using kn::Event;

// Events moved between h5py and the records per block (about 3 MB of columns).
inline constexpr npy_intp kBlockEvents = 1 << 18;
// The value of the "format" attribute.
inline constexpr const char* kFormat = "z1a_events_v1";

// The event fields in record order and their column types.
struct FieldSpec {
    const char* name;
    int typenum;
};
inline constexpr std::array<FieldSpec, 4> kFields{
    {{"t", NPY_UINT64}, {"x", NPY_UINT16}, {"y", NPY_UINT16}, {"p", NPY_UINT8}}};

// The module's namespace (where `_h5py` lives) and DEFAULT_H5_CONFIG, set
// once by the module's exec slot; they live as long as the process.
PyObject*& module_dict() noexcept;
PyObject*& default_config() noexcept;
PyObject*& config_class() noexcept;  // H5Config

Ref tuple1(npy_intp v);
Ref slice(npy_intp start, npy_intp stop);

// What this module finds wrong with a file (its layout, a missing or
// misshapen dataset) is raised as a Finding: it reaches the caller as it is.
// Anything else raised while a file is read comes from h5py (see `reading`).
struct Finding : kit::PyError {};

template <class... A>
[[noreturn]] void refuse(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw Finding{};
}

// ---------------------------------------------------------------------------
// h5py (h5py.cpp)

extern const char* const kMissingH5py;

// The h5py module, imported on first use and kept in `_h5py`.
Ref ensure_h5py();
// h5py as far as it is already imported (the private readers, given other
// objects than h5py's, need none).
Ref loaded_h5py();

// The parts of h5py the readers and writers call.
struct H5 {
    Ref mod;
    Ref file_type;      // h5py.File
    Ref dataset_type;   // h5py.Dataset
    Ref create_simple;  // h5py.h5s.create_simple
    Ref py_create;      // h5py.h5t.py_create

    // From the h5py module; from null, a stand-in for which nothing is an
    // h5py dataset.
    explicit H5(Ref m);
    bool is_dataset(PyObject* o) const;
};

// Whether HDF5's chunk cache is used. Bulk reads and writes move whole
// chunks, which HDF5 then copies straight between file and buffer; through
// the cache they cost a second copy. Single-element probes want the cache.
enum class ChunkCache { off, on };

// An h5py File, closed when the scope ends (errors included: a failure to
// close is then reported as unraisable, or dropped behind the pending
// error). `close()` on the normal way out reports a failure to close.
class H5File {
public:
    H5File(const H5& h5, PyObject* path, const char* mode, ChunkCache cache);
    H5File(const H5File&) = delete;
    H5File& operator=(const H5File&) = delete;
    ~H5File();

    PyObject* get() const noexcept { return file_.get(); }
    void close();
    Ref release() noexcept { return std::move(file_); }

private:
    Ref file_;
};

// Runs `f`, which reads the events of the HDF5 file at `path` as `c`
// describes them. What h5py raises there for a broken file (OSError,
// RuntimeError, KeyError, ValueError, UnicodeDecodeError, ...) becomes one
// OSError naming the file, the group and the datasets, with h5py's error as
// its cause. Findings, the OSError subclasses of the system (a missing file,
// no permission), interrupts and memory errors pass through as they are.
struct Config;
[[noreturn]] void raise_broken_file(PyObject* path, const Config& c);

template <class F>
auto reading(PyObject* path, const Config& c, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Finding&) {
        throw;
    } catch (const kit::PyError&) {
        raise_broken_file(path, c);
    }
}

// Size of the file under an open h5py File (its descriptor), or -1.
long long open_file_size(PyObject* h5file);
// HDF5 reads past the end of a file that shrank as zeros: a reader that keeps
// a file open checks its size at every step (OSError when it shrank).
void check_not_shrunk(PyObject* h5file, PyObject* path, long long at_open);

// ---------------------------------------------------------------------------
// Configurations and layouts (layout.cpp)

struct Config {
    Ref events_group, timestamp_key, x_key, y_key, polarity_key, compound_key;
    bool group_set = false;     // events_group non-empty: a group, else the root
    bool compound_set = false;  // compound_key truthy
    bool is_default = false;    // equal to DEFAULT_H5_CONFIG: dataset layouts are looked for

    std::array<PyObject*, 4> keys() const {
        return {timestamp_key.get(), x_key.get(), y_key.get(), polarity_key.get()};
    }
};

// The configuration given (an H5Config; TypeError otherwise), or
// DEFAULT_H5_CONFIG for None.
PyObject* config_or_default(PyObject* config);
Config load_config(PyObject* config);
Config copy_config(const Config& c);
// Whether `group` (an HDF5 group, or any mapping) has an item `name`: asked
// of the group's keys, never of a dataset (`in` would compare its rows).
bool holds(PyObject* group, PyObject* name);
bool holds(PyObject* group, const char* name);
// group[name] when the group (a mapping) has it, else null: one lookup.
Ref find(PyObject* group, PyObject* name);
Ref find(PyObject* group, const char* name);
Ref group_of(PyObject* file, const Config& c);
// group[name], or KeyError (a Finding) when the group has no such item.
Ref item(PyObject* group, PyObject* name);

enum class Layout { compound, separate, compound_fallback, dsec, m3ed, mvsec, prophesee };
const char* layout_name(Layout l);
// The configured layouts only (see plan_file for all of them).
Layout detect_layout(PyObject* file, const Config& c);
// The dataset of a compound layout: `compound_key` for "compound", "events"
// for the fallback.
Ref compound_dataset(PyObject* group, const Config& c, Layout layout);

// Length of a one-dimensional dataset (or array).
npy_intp length_1d(PyObject* ds);
// Chunk length of a one-dimensional dataset; 0 when it is not chunked (or
// not an h5py dataset).
npy_intp chunk_length(PyObject* ds);
// Events per block for datasets read side by side: about kBlockEvents, and a
// whole number of chunks of each.
npy_intp block_for(std::initializer_list<npy_intp> chunk_lengths);

// ---------------------------------------------------------------------------
// Reading (columns.cpp)

// A source column held alive with the object that owns its memory.
struct Column {
    Ref holder;
    kn::Column col{};
};

// A 1-d array as a source column for a field of type `typenum`; arrays of
// types the core does not read are first cast by NumPy.
Column column_of(Ref arr, int typenum);

// Reads one dataset of the separate layout block by block.
class ColumnReader {
public:
    ColumnReader(const H5& h5, Ref ds, int typenum, npy_intp capacity);
    // Read elements [start, start + count), count <= capacity.
    void read(npy_intp start, npy_intp count);
    const kn::Column& column() const noexcept { return col_; }

private:
    Ref ds_;
    int typenum_;
    npy_intp capacity_;
    Ref id_, mtype_, buffer_, create_simple_, mspace_;
    npy_intp mspace_count_ = -1;
    Ref cast_;     // target-typed buffer for NumPy conversions
    Column held_;  // a slice used in place
    kn::Column col_{};
};

// The four datasets of the separate layout in a group. With read-ahead (for
// consecutive chunks) each window is a whole block of HDF5 chunks, whatever
// the sizes asked for; without, a window never reaches past the request.
class SeparateSource {
public:
    // `max_request`: the most events one read_into call will ask for.
    SeparateSource(const H5& h5, PyObject* group, const Config& c, npy_intp max_request, bool read_ahead);
    // The four datasets t, x, y, p themselves.
    SeparateSource(const H5& h5, std::array<Ref, 4> datasets, npy_intp max_request, bool read_ahead);
    npy_intp size() const noexcept { return n_; }
    // Events [start, end) into out[0, end - start).
    void read_into(Event* out, npy_intp start, npy_intp end);
    Ref read(npy_intp start, npy_intp end);

private:
    bool read_ahead_;
    npy_intp n_ = 0;
    npy_intp block_ = 1;
    npy_intp win_start_ = 0, win_end_ = 0;  // events held by the column buffers
    std::vector<ColumnReader> readers_;
};

// A compound dataset: which field feeds which event field, and how to read
// it (straight into our record layout where the field types allow).
class CompoundSource {
public:
    CompoundSource(const H5& h5, Ref ds, npy_intp max_request, bool read_ahead);
    npy_intp size() const noexcept { return n_; }
    // Records [start, end) into out[0, end - start).
    void read_into(Event* out, npy_intp start, npy_intp end);
    Ref read(npy_intp start, npy_intp end);

private:
    void read_direct(Event* dest, npy_intp start, npy_intp stop);
    void load(npy_intp start, npy_intp stop);
    Ref direct_descr(PyObject* dtype) const;

    Ref ds_;
    bool read_ahead_;
    npy_intp n_ = 0;
    npy_intp block_ = 1;
    std::array<Ref, 4> names_;
    Ref direct_;     // our record layout under the chosen names, or null
    Ref raw_descr_;  // the dataset's record type, when h5py can read into it
    Ref window_;     // reusable records (h5py datasets), `block_` of them
    npy_intp win_start_ = 0, win_end_ = 0;
    std::array<Column, 4> cols_;  // the window's chosen fields
};

// ---------------------------------------------------------------------------
// The layouts datasets ship in (datasets.cpp)

// Where the events of a file are, and what reading them takes.
struct Plan {
    Layout layout = Layout::separate;
    Config config;        // the dataset names of the separate layouts
    Ref group;            // the group of the separate layouts' datasets
    std::array<Ref, 4> columns;  // ... t, x, y, p, opened once (null where missing)
    Ref dataset;          // the one dataset of the others
    Ref stream;           // the camera chosen (M3ED, MVSEC), or null
    std::int64_t t_offset = 0;  // added to every stored time (DSEC)
    bool ecf = false;     // Prophesee: the events are in ECF chunks (the only filter)
    // A time index: entry k is the first event with stored t >= origin + k * step.
    Ref index;            // its table (an h5py dataset of integers), or null
    Ref index_times;      // Prophesee: the table's times, checked against origin + k * step
    std::uint64_t index_step = 0;
    std::uint64_t index_origin = 0;

    bool separate_columns() const noexcept {
        return layout == Layout::separate || layout == Layout::dsec || layout == Layout::m3ed;
    }
};

// The plan for an open file: with the default configuration the dataset
// layouts are looked for first, then the configured ones. `stream` (null for
// None) picks the camera of files with two. ValueError (a Finding) for a
// layout not found or inconsistent, ImportError for a missing filter.
Plan plan_file(const H5& h5, PyObject* file, PyObject* path, const Config& c, PyObject* stream);
// Events in the file of a plan (no data is read).
npy_intp plan_length(const Plan& p);

// Each filter of the dataset's pipeline must be available to HDF5 (those
// hdf5plugin brings are registered when h5py is loaded): ImportError naming
// the filter and the pip command otherwise. `native_ecf`: ECF is decoded here.
// Returns what the pipeline holds.
struct Pipeline {
    long filters = 0;  // filters in the pipeline
    bool ecf = false;  // ECF among them
};
Pipeline check_filters(const H5& h5, PyObject* ds, PyObject* path, bool native_ecf);

// MVSEC: rows of (x, y, t in seconds, p in {-1, +1}), read in blocks.
class MvsecSource {
public:
    MvsecSource(Ref ds, npy_intp max_request, bool read_ahead);
    npy_intp size() const noexcept { return n_; }
    void read_into(Event* out, npy_intp start, npy_intp end);

private:
    Ref ds_;
    bool read_ahead_;
    npy_intp n_ = 0, block_ = 1;
    Ref rows_;  // float64 (block_, 4)
    npy_intp win_start_ = 0, win_end_ = 0;
};

// Prophesee: /CD/events in ECF chunks, read and decoded here (ecf.cpp).
class EcfSource {
public:
    EcfSource(const H5& h5, Ref ds, PyObject* path);
    npy_intp size() const noexcept { return n_; }
    void read_into(Event* out, npy_intp start, npy_intp end);

private:
    Event* decode(npy_intp c, Event* dest, npy_intp room, npy_intp& count);

    Ref ds_, id_, path_;
    npy_intp n_ = 0, chunk_ = 0;
    std::vector<Event> events_;  // room for any chunk; holds chunk `held_`
    npy_intp held_ = -1;
};

// The events of a file, as its plan finds them.
class FileSource {
public:
    FileSource(const H5& h5, const Plan& plan, PyObject* path, npy_intp max_request, bool read_ahead);
    npy_intp size() const noexcept { return n_; }
    void read_into(Event* out, npy_intp start, npy_intp end);
    Ref read(npy_intp start, npy_intp end);

private:
    npy_intp n_ = 0;
    std::int64_t t_offset_ = 0;
    std::optional<SeparateSource> separate_;
    std::optional<CompoundSource> compound_;
    std::optional<MvsecSource> mvsec_;
    std::optional<EcfSource> ecf_;
};

// Events [lo, hi) of a plan with t_start <= t < t_end, exactly as a full read
// gives them, for time-sorted files: through the index table where the file
// has one (one lookup, then a search within one step, the entries used
// checked against the events), else a binary search. KeyError for layouts
// without a time column to search (compound).
std::pair<npy_intp, npy_intp> window_bounds(const H5& h5, const Plan& p, PyObject* path, PyObject* t_start,
                                            PyObject* t_end);

// Every event of a file, in file order.
Ref read_file(PyObject* path, PyObject* config, PyObject* stream);

// ---------------------------------------------------------------------------
// Writing (files.cpp)

struct Compression {
    Ref filter;  // null: uncompressed
    Ref level;   // null: no options
};

// The `compression` and `compression_opts` arguments of the writers: None
// (or ''), 'gzip' with a level from 0 to 9, or 'lzf'.
Compression compression_args(PyObject* compression, PyObject* level);
// The compression as create_dataset keywords (null: none).
Ref compression_kwargs(const Compression& comp);

// Create a one-dimensional dataset of `n` elements; chunked when chunk > 0
// (compressed as asked), unlimited when asked.
Ref create_column(PyObject* group, PyObject* name, int typenum, npy_intp n, npy_intp chunk, const Compression& comp,
                  bool unlimited);

// The four datasets of a writer: their low-level ids and memory types.
struct Datasets {
    std::array<Ref, 4> ids, mtypes;
    template <class F>
    void refs(F&& f) {
        for (Ref& r : ids) f(r);
        for (Ref& r : mtypes) f(r);
    }
};

Datasets create_datasets(const H5& h5, PyObject* group, const Config& c, npy_intp n, npy_intp chunk,
                         const Compression& comp, bool unlimited);

// Contiguous staging columns of `capacity` elements.
struct Stage {
    std::array<Ref, 4> cols;

    explicit Stage(npy_intp capacity);
    Stage() = default;
    kn::EventFields at(npy_intp offset) const;
    template <class F>
    void refs(F&& f) {
        for (Ref& r : cols) f(r);
    }
};

// The events given to a writer, as columns (fields t, x, y, p by name).
kit::EventTable writer_events(PyObject* events);

// Split `count` events of `src` from row `first` into the stage at `offset`;
// the range of their timestamps.
kn::Range split_block(const Stage& stage, npy_intp offset, const kit::EventTable& src, npy_intp first,
                      npy_intp count);

// Write the first `count` staged elements of a column at `offset` of a dataset.
void write_column(PyObject* create_simple, PyObject* dsid, PyObject* mtype, PyObject* staged, npy_intp offset,
                  npy_intp count);

// "n_events", "format", the sensor size and the time span of a group.
void write_attributes(PyObject* attrs, npy_intp n, PyObject* sensor_size, const kn::Range& t);

// sensor_size for writing: None (null) or a pair of sizes in 1..65536.
Ref checked_sensor_size(PyObject* arg);
// A configuration the writers can use: every name a str, the keys non-empty
// and distinct, so that the file reads back with the same configuration.
void check_for_writing(const Config& c);

// ---------------------------------------------------------------------------
// The parts of the module (each source adds its own).

void add_h5py_functions(PyObject* module);
void add_layout_functions(PyObject* module);
void add_file_functions(PyObject* module);
void add_reader(PyObject* module);
void add_writer(PyObject* module);
void add_ecf_functions(PyObject* module);

}  // namespace morvel::io::h5
