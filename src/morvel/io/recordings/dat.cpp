// Prophesee DAT files: DatReader (the header, then the event records decoded
// piece by piece into chunks by the shared block/carry loop), the streaming
// DatWriter and the whole-array write_dat. The bytes are kernels/dat.hpp's.

#include "recordings.hpp"

#include "kit/chunks.hpp"
#include "kit/events.hpp"
#include "kit/file.hpp"
#include "kit/header.hpp"
#include "kit/split_file.hpp"
#include "kit/threads.hpp"
#include "kernels/dat.hpp"
#include "kernels/evt_split.hpp"

#include <optional>
#include <string>

namespace morvel::io::recordings {
namespace {

namespace kn = morvel::kernels;

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

struct ReaderFields {
    Ref path;         // str
    Ref header;       // dict
    Ref sensor_size;  // tuple or None
    Ref event_type;   // int, or None for a file that ends after its header
    std::size_t chunk_size = 0;
    long long data_offset = 0;  // first byte of the first record
    long long event_size = 0;
    long long version = -1;
    long long t0 = 0;
};

using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::header, &ReaderFields::sensor_size,
                             &ReaderFields::event_type>;
using Reader = ReaderType::Self;

Reader* initialised(PyObject* self) {
    Reader* r = ReaderType::of(self);
    if (!r->path) kit::raise(PyExc_RuntimeError, "DatReader.__init__() was not called");
    return r;
}

constexpr auto kInit = kit::type_init("DatReader", kit::Param{"path", "Union[str, os.PathLike]"},
                                      kit::Param{"chunk_size", "int", "1000000", nullptr, false, true});

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            const std::size_t chunk = kit::arg_chunk_size(a[1], 1000000);
            kit::File file(path.get());
            kit::TextHeader head = kit::read_text_header(file, "DAT");
            const kn::DatHeaderInfo info =
                kn::describe_dat_header(head.bytes.data(), head.entries.data(), head.entries.size());
            // The event type and size bytes (within the bytes read, or just after them).
            unsigned char ts[2] = {};
            std::size_t have = 0;
            for (; have < 2 && head.data_offset + have < head.bytes.size(); ++have)
                ts[have] = head.bytes[head.data_offset + have];
            if (have < 2 && head.bytes.size() >= head.data_offset)
                have += file.read_full(reinterpret_cast<char*>(ts) + have, 2 - have);
            Ref type = Ref::borrow(Py_None);
            long long size = 0;
            if (have == 1)
                kit::raise(PyExc_ValueError, "%S: the file ends inside the event type and size bytes (byte offset %zd)",
                           path.get(), static_cast<Py_ssize_t>(head.data_offset));
            if (have == 2) {
                type = kit::check(PyLong_FromLong(ts[0]));
                size = ts[1];
                const bool cd = kn::dat_is_cd(ts[0]);
                if (size == 0 || (cd && size < 8))
                    kit::raise(PyExc_ValueError, "%S: event size %lld at byte offset %zd is too small for %s events",
                               path.get(), size, static_cast<Py_ssize_t>(head.data_offset + 1),
                               cd ? "CD" : "any");
            }
            Reader* self = ReaderType::of(self_obj);
            self->path = std::move(path);
            self->header = head.dict();
            self->sensor_size = info.width ? kit::check(Py_BuildValue("(II)", info.width, info.height))
                                           : Ref::borrow(Py_None);
            self->event_type = std::move(type);
            self->chunk_size = chunk;
            self->data_offset = static_cast<long long>(head.data_offset) + (have == 2 ? 2 : 0);
            self->event_size = size;
            self->version = info.version;
            self->t0 = static_cast<long long>(info.t0 & (~std::uint64_t{0} >> 1));
            return 0;
        },
        -1);
}

bool has_cd_events(const Reader* self) {
    return self->event_type.get() != Py_None && kn::dat_is_cd(static_cast<std::uint8_t>(
                                                    PyLong_AsLong(self->event_type.get())));
}

kn::DatDecoder decoder_for(const Reader* self) {
    kn::DatDecoder d;
    d.record = self->event_size > 0 ? static_cast<std::size_t>(self->event_size) : 8;
    d.cd = has_cd_events(self);
    d.old_layout = self->version >= 0 && self->version < 2;
    d.t0 = static_cast<std::uint64_t>(self->t0);
    return d;
}

constexpr std::size_t kDatPiece = std::size_t{1} << 20;

[[noreturn]] void raise_partial_record(PyObject* path, long long offset, std::size_t pending) {
    kit::raise(PyExc_ValueError, "%S: the file ends inside an event record (%zd trailing bytes from byte offset %lld)",
               path, static_cast<Py_ssize_t>(pending), offset);
}

kit::Generator chunks_of(Ref path, long long data_offset, kn::DatDecoder decoder, std::size_t chunk, bool whole) {
    kit::File file(path.get());
    kit::Pieces pieces(file, data_offset, kDatPiece);
    kit::Decoded<kn::DatDecoder> src;
    src.decoder() = decoder;
    kit::ChunkBuilder chunks(chunk, whole);
    while (pieces.next()) {
        src.feed(pieces.data(), pieces.size());
        while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
    }
    if (Ref last = chunks.finish()) co_yield std::move(last);
    if (const std::size_t left = src.pending_bytes())
        raise_partial_record(path.get(), data_offset + static_cast<long long>(pieces.total() - left), left);
}

PyObject* reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        return kit::make_generator(chunks_of(self->path.copy(), self->data_offset, decoder_for(self),
                                             self->chunk_size, false),
                                   "DatReader.__iter__", self_obj)
            .release();
    });
}

// Events in the file, from its size (a file that ends inside a record is
// refused, as reading it is).
std::size_t count_file_events(const Reader* self) {
    kit::File file(self->path.get());
    const long long size = file.size();
    const long long body = size > self->data_offset ? size - self->data_offset : 0;
    if (self->event_size == 0) return 0;
    if (const long long tail = body % self->event_size)
        raise_partial_record(self->path.get(), size - tail, static_cast<std::size_t>(tail));
    return has_cd_events(self) ? static_cast<std::size_t>(body / self->event_size) : 0;
}

constexpr auto kReadAll = kit::method("read_all", "np.ndarray", kit::kThreads);
constexpr auto kCount = kit::method("count_events", "int");

PyObject* reader_read_all(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadAll, args, nargs, kwnames);
        const Reader* self = initialised(self_obj);
        const unsigned threads = kit::arg_threads(a[0]);
        const std::size_t total = count_file_events(self);
        const kn::DatDecoder decoder = decoder_for(self);
        const std::size_t bytes = total * decoder.record;
        if (threads > 1 && bytes >= 2 * kit::kMinSplitBytes) {
            // Pieces of whole records, each unwrapping from the state the
            // records before it leave (kernels/evt_split.hpp).
            kit::File file(self->path.get());
            const std::size_t stride = std::max<std::size_t>(1, kit::kMinSplitBytes / decoder.record) * decoder.record;
            const auto plan = kit::plan_file(file, self->data_offset, decoder, kit::stride_cuts(bytes, stride), threads);
            return kit::decode_file(file, self->data_offset, plan, 0, plan.pieces(), threads).release();
        }
        Ref all = kit::make_generator(
            chunks_of(self->path.copy(), self->data_offset, decoder, std::max<std::size_t>(total, 1), true),
            "DatReader.read_all");
        return kit::counted_chunk(all.get(), self->path.get(), total).release();
    });
}

PyObject* reader_count(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::from_size(count_file_events(initialised(self_obj))).release(); });
}

const char* const kReaderDoc =
    "Reader for Prophesee DAT files: '%' header lines, then one byte of event\n"
    "type, one byte of event size, and the event records.\n\n"
    "The header is read at construction: ``header`` holds its ``% key value``\n"
    "lines as a dict, ``sensor_size`` is (width, height) from the ``Width`` and\n"
    "``Height`` lines (or None), ``version`` the ``Version`` line (-1 without\n"
    "one), ``event_type`` and ``event_size`` the two bytes after the header\n"
    "(None and 0 for a file that ends after its header). Records of type 0x00\n"
    "or 0x0C are CD events: a u32 timestamp and a u32 word with x in bits\n"
    "13..0, y in 27..14, p in 31..28 (version 0 and 1: x in 8..0, y in 16..9,\n"
    "p in bit 17); p is 1 when its bits are not 0. Records of other types are\n"
    "skipped. The 32-bit timestamps are unwrapped (a timestamp lower than the\n"
    "previous one by more than 2**31 adds 2**32 from then on) and ``t0`` (a\n"
    "``% T0`` line, 0 without one) is added to every t.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly ``chunk_size`` events but\n"
    "the last, in file order, decoding the file in bounded pieces; each\n"
    "iteration reads the file anew.\n\n"
    "Raises:\n"
    "    FileNotFoundError (and other OSError): the file cannot be opened.\n"
    "    ValueError: chunk_size below 1; a header longer than 1 MiB; an event\n"
    "        size below 8 for CD events. Iteration raises ValueError after the\n"
    "        last whole event when the file ends inside a record.\n\n"
    "Example:\n"
    "    >>> reader = DatReader(\"moorea_2019-02-19_000_td_671500000_731500000_td.dat\")\n"
    "    >>> reader.sensor_size\n"
    "    (304, 240)\n"
    "    >>> for chunk in reader:\n"
    "    ...     print(len(chunk), chunk['t'][-1])\n";

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// sensor_size for writing: None, or a pair of ints in 1..16384 (the
// coordinates the records carry); width 0 stands for None.
Ref checked_sensor_size(PyObject* arg, std::uint32_t& width, std::uint32_t& height) {
    width = height = 0;
    if (!arg || arg == Py_None) return Ref::borrow(Py_None);
    const kit::SensorSize s = kit::arg_sensor_size(arg);
    constexpr long long kMax = kn::kDatMaxCoordinate + 1;
    if (s.width < 1 || s.width > kMax || s.height < 1 || s.height > kMax)
        kit::raise(PyExc_ValueError, "sensor_size must be within 1..16384 on both sides, got %R", arg);
    width = static_cast<std::uint32_t>(s.width);
    height = static_cast<std::uint32_t>(s.height);
    return kit::check(Py_BuildValue("(LL)", s.width, s.height));
}

std::string dat_header_text(std::uint32_t width, std::uint32_t height, std::uint64_t t0) {
    std::string h = "% Version 2\n";
    if (width) h += "% Width " + std::to_string(width) + "\n% Height " + std::to_string(height) + "\n";
    if (t0) h += "% T0 " + std::to_string(t0) + "\n";
    h += static_cast<char>(kn::kDatTypeCd);
    h += static_cast<char>(kn::DatEncoder::kRecordBytes);
    return h;
}

// The state of a file being written; a failed write leaves it as it was.
struct WriterState {
    kn::DatEncoder enc;
    std::uint32_t width = 0, height = 0;
    long long n_events = 0;
    bool header_written = false;

    // The bytes for these events (the header first, before the first
    // events: its T0 depends on them).
    std::string encode(const kit::EventRecords& records) {
        kit::check_inside_sensor(records, width, height, n_events);
        kn::DatEncoder next = enc;
        std::string out;
        if (!header_written && records.n) next.t0 = kn::DatEncoder::t0_for(records.data[0].t);
        if (!header_written) out = dat_header_text(width, height, next.t0);
        const bool release = records.n * sizeof(kn::Event) >= kit::kReleaseGilBytes;
        kn::DatEncodeResult r;
        {
            kit::MaybeNoGil nogil(release);
            r = next.check(records.data, records.n);
        }
        if (r.error != kn::DatEncodeError::none) {
            raise_unencodable(n_events + static_cast<long long>(r.index), records.data[r.index],
                              kn::dat_encode_error_message(r.error));
        }
        const std::size_t head = out.size();
        out.resize(head + records.n * kn::DatEncoder::kRecordBytes);
        {
            kit::MaybeNoGil nogil(release);
            next.encode(records.data, records.n, reinterpret_cast<unsigned char*>(out.data() + head));
        }
        enc = next;
        n_events += static_cast<long long>(records.n);
        header_written = true;
        return out;
    }
};

struct WriterFields {
    Ref path;
    Ref sensor_size;
    std::optional<kit::File> file;  // empty once closed
    std::optional<WriterState> state;
};

using WriterType = kit::Type<WriterFields, &WriterFields::path, &WriterFields::sensor_size>;
using Writer = WriterType::Self;

Writer* open_writer(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->state) kit::raise(PyExc_RuntimeError, "DatWriter.__init__() was not called");
    if (!w->file) kit::raise(PyExc_ValueError, "I/O operation on closed DatWriter");
    return w;
}

constexpr kit::Param kPathParam{"path", "Union[str, os.PathLike]"};
constexpr kit::Param kSensorParam{"sensor_size", "Optional[Tuple[int, int]]", "None", nullptr, false, true};

constexpr auto kWriterInit = kit::type_init("DatWriter", kPathParam, kSensorParam);

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kWriterInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            WriterState state;
            Ref size = checked_sensor_size(a[1], state.width, state.height);
            kit::File file(path.get(), kit::File::Write);
            Writer* self = WriterType::of(self_obj);  // a second __init__ starts over
            self->path = std::move(path);
            self->sensor_size = std::move(size);
            self->file.emplace(std::move(file));
            self->state = state;
            return 0;
        },
        -1);
}

void write_text(kit::File& file, const std::string& data) { file.write_all(data.data(), data.size()); }

constexpr auto kAppend = kit::method("append", "None", kit::Param{"events", "np.ndarray"});
constexpr auto kClose = kit::method("close", "None");
constexpr auto kEnter = kit::method("__enter__", "DatWriter");
constexpr auto kExit = kit::method("__exit__", "bool", kit::Param{"*exc_info"});

PyObject* writer_append(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kAppend, args, nargs, kwnames);
        Writer* self = open_writer(self_obj);
        const kit::EventRecords records = kit::event_records(a[0], kn::kDatMaxCoordinate + 1);
        WriterState next = *self->state;
        const std::string data = next.encode(records);
        write_text(*self->file, data);
        *self->state = next;
        return kit::none();
    });
}

// Closing writes the header of a file that got no events.
void close_file(Writer* self) {
    if (!self->file) return;
    kit::File file = std::move(*self->file);
    self->file.reset();
    if (self->state && !self->state->header_written) {
        self->state->header_written = true;
        write_text(file, dat_header_text(self->state->width, self->state->height, 0));
    }
    file.close_checked();
}

PyObject* writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_file(WriterType::of(self_obj));
        return kit::none();
    });
}

PyObject* writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::new_ref(open_writer(self_obj)); });
}

PyObject* writer_exit(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_file(WriterType::of(self_obj));
        return kit::boolean(false);
    });
}

// A writer dropped without close() still finishes its file.
void writer_finalize(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->file) return;
    kit::KeepError keep;
    if (!kit::guard([&] { close_file(w); return true; }, false)) PyErr_WriteUnraisable(self_obj);
}

PyObject* writer_get_n_events(PyObject* self_obj, void*) {
    const Writer* self = WriterType::of(self_obj);
    return PyLong_FromLongLong(self->state ? self->state->n_events : 0);
}

PyObject* writer_get_closed(PyObject* self_obj, void*) { return kit::boolean(!WriterType::of(self_obj)->file); }

constexpr auto kWriteDat = kit::function("write_dat", "None", kPathParam, kit::Param{"events", "np.ndarray"},
                                         kSensorParam);

PyObject* write_dat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWriteDat, args, nargs, kwnames);
        Ref path = kit::arg_path(a[0]);
        WriterState state;
        Ref size = checked_sensor_size(a[2], state.width, state.height);
        // Everything is checked and encoded before the file is touched.
        const std::string data = state.encode(kit::event_records(a[1], kn::kDatMaxCoordinate + 1));
        kit::File file(path.get(), kit::File::Write);
        write_text(file, data);
        file.close_checked();
        return kit::none();
    });
}

const char* const kWriterDoc =
    "Streaming writer of Prophesee DAT files (version 2, CD events: type 0x0C,\n"
    "8-byte records).\n\n"
    "The header (``% Version 2``, ``% Width`` and ``% Height`` with a\n"
    "sensor_size, and ``% T0`` when the first t is 2**32 or more: the multiple\n"
    "of 2**32 at or below it, added back by readers that know the line) goes\n"
    "before the first events. DAT keeps 32-bit timestamps that readers unwrap,\n"
    "so events must read back as they are: x and y below 16384 (and inside\n"
    "sensor_size when given), p 0 or 1, and no step in t of 2**31 us or more\n"
    "forward, none back across a wrap. append() checks a whole array before it\n"
    "writes a byte of it and raises ValueError naming the first event that\n"
    "cannot be written. A context manager; close() is idempotent, append()\n"
    "after it raises ValueError, and a writer dropped without close() still\n"
    "finishes its file.\n";

const char* const kWriteDatDoc =
    "Write events as a Prophesee DAT file (as DatWriter writes them). Every\n"
    "event is checked and encoded before a byte is written; otherwise\n"
    "ValueError names the first event that cannot be written and the file is\n"
    "not touched. DatReader reads back the same events.\n";

}  // namespace

void add_dat(PyObject* m) {
    static PyMethodDef reader_methods[] = {
        kit::def(kReadAll, reader_read_all,
                 "Read every event of the file into one array (the whole recording in\n"
                 "memory: iterate for large files).\n\n"
                 "Args:\n" KIT_THREADS_DOC
                 "        A large file is read and decoded in pieces of whole records\n"
                 "        in parallel, each unwrapping its timestamps from the state the\n"
                 "        records before it leave: the same events as one thread.\n"),
        kit::def(kCount, reader_count,
                 "Number of events in the file, from its size. A file that ends inside\n"
                 "a record raises ValueError, as reading it does.\n"),
        kit::kEndMethods,
    };
    static PyGetSetDef reader_getset[] = {
        kit::ref_field<ReaderFields, &ReaderFields::path>("path", "Path of the file."),
        kit::ref_field<ReaderFields, &ReaderFields::header>("header", "The header's '% key value' lines as a dict."),
        kit::ref_field<ReaderFields, &ReaderFields::sensor_size>("sensor_size",
                                                                 "(width, height) from the header, or None."),
        kit::ref_field<ReaderFields, &ReaderFields::event_type>("event_type",
                                                                "The event type byte (0x00 or 0x0C: CD), or None."),
        kit::int_field<ReaderFields, &ReaderFields::event_size>("event_size", "Bytes per event record (0: none)."),
        kit::int_field<ReaderFields, &ReaderFields::version>("version", "The header's Version (-1: none)."),
        kit::int_field<ReaderFields, &ReaderFields::t0>("t0", "The header's T0, added to every t (0: none)."),
        kit::int_field<ReaderFields, &ReaderFields::data_offset>("data_offset", "Byte offset of the first record."),
        kit::int_field<ReaderFields, &ReaderFields::chunk_size>("chunk_size", "Events per chunk."),
        kit::kEndGetSet,
    };
    ReaderType::add(m, "morvel.io.recordings.DatReader",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kInit, kReaderDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(reader_init)},
                     {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
                     {Py_tp_methods, reader_methods},
                     {Py_tp_getset, reader_getset}});

    static PyMethodDef writer_methods[] = {
        kit::def(kAppend, writer_append,
                 "Check and write events (EVENT_DTYPE, or any structured array with\n"
                 "fields t, x, y, p). Nothing of the array is written when one of its\n"
                 "events cannot be written (ValueError).\n"),
        kit::def(kClose, writer_close, "Finish and close the file (idempotent).\n"),
        kit::def(kEnter, writer_enter, "Return the writer itself."),
        kit::def(kExit, writer_exit, "Close the writer; exceptions are not suppressed."),
        kit::kEndMethods,
    };
    static PyGetSetDef writer_getset[] = {
        kit::ref_field<WriterFields, &WriterFields::path>("path", "Path of the file."),
        kit::ref_field<WriterFields, &WriterFields::sensor_size>("sensor_size",
                                                                 "(width, height) written to the header, or None."),
        {"n_events", writer_get_n_events, nullptr, "Events written so far.", nullptr},
        {"closed", writer_get_closed, nullptr, "True once closed.", nullptr},
        kit::kEndGetSet,
    };
    WriterType::add(m, "morvel.io.recordings.DatWriter",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kWriterInit, kWriterDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(writer_init)},
                     {Py_tp_finalize, reinterpret_cast<void*>(writer_finalize)},
                     {Py_tp_methods, writer_methods},
                     {Py_tp_getset, writer_getset}});
    static PyMethodDef defs[] = {
        kit::def(kWriteDat, write_dat, kWriteDatDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::recordings
