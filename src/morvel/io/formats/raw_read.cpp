// RawReader: RAW camera recordings (an ASCII header, then EVT 2.0, 2.1 or
// 3.0 words) read without the vendor SDK. The header is parsed by
// kernels/raw_header.hpp; the words are decoded piece by piece into chunks
// of a fixed size by the shared block/carry loop (kit/chunks.hpp).

#include "formats.hpp"

#include "kit/chunks.hpp"
#include "kit/file.hpp"
#include "kit/header.hpp"
#include "kernels/evt.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace morvel::io::formats {
namespace {

// What the header of a RAW file says.
struct RawMeta {
    Ref header;       // dict of the "% key value" lines, in file order (the last of a repeated key wins)
    Ref sensor_size;  // (width, height) or None
    long long data_offset = 0;
    kn::RawHeaderInfo info;
    Ref format_text;  // the header's own format text, for messages (or None)
};

RawMeta read_raw_header(kit::File& file) {
    const kit::TextHeader head = kit::read_text_header(file, "RAW");
    RawMeta meta;
    meta.header = head.dict();
    meta.info = kn::describe_raw_header(head.bytes.data(), head.entries.data(), head.entries.size());
    meta.format_text = meta.info.format_source == kn::RawFormatSource::none ? Ref::borrow(Py_None)
                                                                            : kit::TextHeader::text(meta.info.format_text);
    meta.sensor_size = meta.info.size_source == kn::RawSizeSource::none
                           ? Ref::borrow(Py_None)
                           : kit::check(Py_BuildValue("(II)", meta.info.width, meta.info.height));
    meta.data_offset = static_cast<long long>(head.data_offset);
    return meta;
}

struct ReaderFields {
    Ref path;         // str
    Ref header;       // dict
    Ref sensor_size;  // tuple or None
    std::size_t chunk_size = 0;
    long long data_offset = 0;
    Fmt format = Fmt::evt3;
};

using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::header, &ReaderFields::sensor_size>;
using Reader = ReaderType::Self;

Reader* initialised(PyObject* self) {
    Reader* r = ReaderType::of(self);
    if (!r->path) kit::raise(PyExc_RuntimeError, "RawReader.__init__() was not called");
    return r;
}

constexpr auto kInit = kit::type_init("RawReader", kit::Param{"path", "Union[str, os.PathLike]"},
                                      kit::Param{"chunk_size", "int", "100000"},
                                      kit::Param{"format", "Optional[str]", "None"});

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            const std::size_t chunk = kit::arg_chunk_size(a[1], 100000);
            const bool forced = a[2] && a[2] != Py_None;
            Fmt fmt = forced ? fmt_from_argument(a[2], "format") : Fmt::evt3;
            kit::File file(path.get());
            RawMeta meta = read_raw_header(file);
            if (!forced) {
                switch (meta.info.format) {
                    case kn::RawFormat::evt2:
                    case kn::RawFormat::evt21:
                    case kn::RawFormat::evt3: fmt = fmt_of(meta.info.format); break;
                    case kn::RawFormat::unknown:
                        if (meta.info.format_source == kn::RawFormatSource::none)
                            kit::raise(PyExc_ValueError,
                                       "%S: the header names no event format (no 'format' or 'evt' line); "
                                       "pass format='EVT2', 'EVT21' or 'EVT3'",
                                       path.get());
                        kit::raise(PyExc_ValueError,
                                   "%S: unsupported event format %R in the header's '%s' line; "
                                   "pass format='EVT2', 'EVT21' or 'EVT3' to read it as one of those",
                                   path.get(), meta.format_text.get(),
                                   meta.info.format_source == kn::RawFormatSource::format ? "format" : "evt");
                }
            }
            Reader* self = ReaderType::of(self_obj);
            self->path = std::move(path);
            self->header = std::move(meta.header);
            self->sensor_size = std::move(meta.sensor_size);
            self->chunk_size = chunk;
            self->data_offset = meta.data_offset;
            self->format = fmt;
            return 0;
        },
        -1);
}

// Bytes read per piece: bounded so that one piece decodes to a bounded
// number of events (EVT 3.0 vectors hold up to 12 events in 2 bytes).
constexpr std::size_t kRawPiece = 1 << 18;

[[noreturn]] void raise_partial_word(PyObject* path, std::size_t pending, Fmt f) {
    kit::raise(PyExc_ValueError, "%S: the file ends inside a %s word (%zd trailing bytes)", path, fmt_name(f),
               static_cast<Py_ssize_t>(pending));
}

// The event data of the file, decoded piece by piece into chunks of exactly
// `chunk` events but the last. `whole`: the chunk size is the exact count of
// the file's events (read_all), allocated at once.
template <class Decoder>
kit::Generator chunks_of(Ref path, long long data_offset, Fmt format, std::size_t chunk, bool whole) {
    kit::File file(path.get());
    kit::Pieces pieces(file, data_offset, kRawPiece);
    kit::Decoded<Decoder> src;
    kit::ChunkBuilder chunks(chunk, whole);
    while (pieces.next()) {
        src.feed(pieces.data(), pieces.size());
        while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
    }
    if (Ref last = chunks.finish()) co_yield std::move(last);
    if (src.pending_bytes()) raise_partial_word(path.get(), src.pending_bytes(), format);
}

kit::Generator chunks_for(const Reader* self, std::size_t chunk, bool whole = false) {
    if (self->format == Fmt::evt2)
        return chunks_of<kn::Evt2Decoder>(self->path.copy(), self->data_offset, self->format, chunk, whole);
    if (self->format == Fmt::evt21)
        return chunks_of<kn::Evt21Decoder>(self->path.copy(), self->data_offset, self->format, chunk, whole);
    return chunks_of<kn::Evt3Decoder>(self->path.copy(), self->data_offset, self->format, chunk, whole);
}

PyObject* reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        return kit::make_generator(chunks_for(self, self->chunk_size), "RawReader.__iter__", self_obj).release();
    });
}

// Events in the file, counted without decoding them (pieces start on word
// boundaries, so each is counted on its own). A file that ends inside a word
// is refused as reading it is.
template <class Decoder>
std::size_t count_events(kit::File& file, PyObject* path, long long data_offset, Fmt format) {
    static_assert(kRawPiece % Decoder::kWordBytes == 0);
    kit::Pieces pieces(file, data_offset, kRawPiece);
    const Decoder counter;
    std::size_t total = 0;
    while (pieces.next()) {
        kit::NoGil nogil;
        total += counter.count_events(pieces.data(), pieces.size());
    }
    if (const std::size_t tail = pieces.total() % Decoder::kWordBytes) raise_partial_word(path, tail, format);
    return total;
}

std::size_t count_file_events(const Reader* self) {
    kit::File file(self->path.get());
    switch (self->format) {
        case Fmt::evt2: return count_events<kn::Evt2Decoder>(file, self->path.get(), self->data_offset, self->format);
        case Fmt::evt21: return count_events<kn::Evt21Decoder>(file, self->path.get(), self->data_offset, self->format);
        case Fmt::evt3: break;
    }
    return count_events<kn::Evt3Decoder>(file, self->path.get(), self->data_offset, self->format);
}

constexpr auto kReadAll = kit::method("read_all", "np.ndarray");
constexpr auto kCount = kit::method("count_events", "int");

PyObject* reader_read_all(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        // An exact count first (a fast pass), then one allocation and the decode.
        const std::size_t total = count_file_events(self);
        Ref all = kit::make_generator(chunks_for(self, std::max<std::size_t>(total, 1), true), "RawReader.read_all");
        return kit::counted_chunk(all.get(), self->path.get(), total).release();
    });
}

PyObject* reader_count(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::from_size(count_file_events(initialised(self_obj))).release(); });
}

PyObject* reader_get_format(PyObject* self_obj, void*) {
    return kit::guard([&] { return kit::str(fmt_name(initialised(self_obj)->format)).release(); });
}

const char* const kReaderDoc =
    "Reader for RAW camera recordings (an ASCII header, then EVT 2.0, EVT 2.1 or\n"
    "EVT 3.0 words), without the vendor SDK.\n\n"
    "The header is read at construction: ``header`` holds its ``% key value``\n"
    "lines as a dict, ``format`` is \"EVT2\", \"EVT21\" or \"EVT3\" (the ``format``\n"
    "argument overrides the header's ``format`` / ``evt`` lines), ``sensor_size`` is\n"
    "(width, height) from the ``format`` options or the ``geometry`` line, or\n"
    "None. Iteration yields EVENT_DTYPE chunks of exactly ``chunk_size`` events\n"
    "but the last, decoding the file in bounded pieces (memory does not grow\n"
    "with the file); each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    FileNotFoundError (and other OSError): the file cannot be opened.\n"
    "    ValueError: chunk_size below 1; no or an unsupported event format;\n"
    "        a header longer than 1 MiB. Iteration raises ValueError after the\n"
    "        last whole event when the file ends inside a word, and OSError\n"
    "        when the file shrinks while it is read.\n\n"
    "Example:\n"
    "    >>> reader = RawReader(\"recording.raw\")\n"
    "    >>> reader.format, reader.sensor_size\n"
    "    ('EVT3', (1280, 720))\n"
    "    >>> for chunk in reader:\n"
    "    ...     frames = events_to_frames(chunk, reader.sensor_size)\n";

const char* const kReadAllDoc =
    "Read every event of the file into one array (the whole recording in\n"
    "memory: iterate for large files).\n";

const char* const kCountDoc =
    "Number of events in the file, counted from the words without decoding\n"
    "them (a fast pass; memory does not grow with the file). A file that\n"
    "ends inside a word raises ValueError, as reading it does.\n";

}  // namespace

void add_raw_reader(PyObject* m) {
    static PyMethodDef methods[] = {
        kit::def(kReadAll, reader_read_all, kReadAllDoc),
        kit::def(kCount, reader_count, kCountDoc),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        kit::ref_field<ReaderFields, &ReaderFields::path>("path", "Path of the file."),
        kit::ref_field<ReaderFields, &ReaderFields::header>("header", "The header's '% key value' lines as a dict."),
        kit::ref_field<ReaderFields, &ReaderFields::sensor_size>("sensor_size",
                                                                 "(width, height) from the header, or None."),
        kit::int_field<ReaderFields, &ReaderFields::data_offset>("data_offset", "Byte offset of the first event word."),
        {"format", reader_get_format, nullptr, "\"EVT2\", \"EVT21\" or \"EVT3\".", nullptr},
        kit::int_field<ReaderFields, &ReaderFields::chunk_size>("chunk_size", "Events per chunk."),
        kit::kEndGetSet,
    };
    ReaderType::add(m, "morvel.io.formats.RawReader",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kInit, kReaderDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(reader_init)},
                     {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
                     {Py_tp_methods, methods},
                     {Py_tp_getset, getset}});
}

}  // namespace morvel::io::formats
