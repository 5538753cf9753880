// RawReader: RAW camera recordings (an ASCII header, then EVT 2.0, 2.1 or
// 3.0 words) read without the vendor SDK. The header is parsed by
// kernels/raw_header.hpp; the words are decoded piece by piece into chunks
// of a fixed size by the shared block/carry loop (kit/chunks.hpp).

#include "formats.hpp"

#include "kit/chunks.hpp"
#include "kit/file.hpp"
#include "kit/header.hpp"
#include "kit/split_file.hpp"
#include "kit/threads.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_split.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <variant>
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

// Where the words of a file change the decoder's state, every kIndexStride
// bytes: the state and the events before each such point (a plan of the
// whole file, kit/split.hpp), found by one cheap pass on first use and kept
// while the file keeps its size and modification time.
template <class Decoder>
struct RawIndex {
    long long size = -1;        // of the file when indexed
    long long mtime_ns = 0;
    kit::SplitPlan<Decoder> plan;
    bool monotone = true;       // time highs never go back (only wrap)
};

// The position of read_into(): the file read piece by piece and decoded
// into the caller's buffers.
struct CursorBase {
    virtual ~CursorBase() = default;
    // Fills out[0, room) with the next events; 0 at the end.
    virtual std::size_t read_into(morvel::kernels::Event* out, std::size_t room) = 0;
};

struct ReaderFields {
    Ref path;         // str
    Ref header;       // dict
    Ref sensor_size;  // tuple or None
    std::size_t chunk_size = 0;
    long long data_offset = 0;
    Fmt format = Fmt::evt3;
    // Replaced, never changed, under the GIL: a call without the GIL keeps
    // its own reference.
    std::variant<std::monostate, std::shared_ptr<const RawIndex<kn::Evt2Decoder>>,
                 std::shared_ptr<const RawIndex<kn::Evt21Decoder>>, std::shared_ptr<const RawIndex<kn::Evt3Decoder>>>
        index;
    std::unique_ptr<CursorBase> cursor;
    bool busy = false;  // a read_into() runs with the GIL released
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
// the file's events, or a bound of them (read_all), allocated at once.
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

// ---------------------------------------------------------------------------
// Whole files and time windows on the pool.

constexpr std::size_t kIndexStride = std::size_t{1} << 18;

struct FileStamp {
    long long size = -1, mtime_ns = 0;
};

FileStamp stamp_of(const kit::File& file) {
    struct stat st;
    if (::fstat(file.descriptor(), &st) != 0) return {};
    return {static_cast<long long>(st.st_size),
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

// The data bytes of an open file (its size less the header), refused as
// reading refuses them when they end inside a word.
template <class Decoder>
std::size_t data_bytes(const kit::File& file, const Reader* self) {
    const long long size = file.size();
    const std::size_t n = size > self->data_offset ? static_cast<std::size_t>(size - self->data_offset) : 0;
    if (const std::size_t tail = n % Decoder::kWordBytes) raise_partial_word(self->path.get(), tail, self->format);
    return n;
}

// The index of the file's n data bytes, on up to `threads` threads.
template <class Decoder>
std::shared_ptr<const RawIndex<Decoder>> build_index(const Reader* self, kit::File& file, std::size_t n,
                                                     FileStamp stamp, unsigned threads) {
    static_assert(kIndexStride % Decoder::kWordBytes == 0);
    auto index = std::make_shared<RawIndex<Decoder>>();
    index->size = stamp.size;
    index->mtime_ns = stamp.mtime_ns;
    index->plan = kit::plan_file(file, self->data_offset, Decoder{}, kit::stride_cuts(n, kIndexStride), threads,
                                 &index->monotone);
    return index;
}

template <class Decoder>
std::shared_ptr<const RawIndex<Decoder>> index_of(Reader* self, kit::File& file, std::size_t n, unsigned threads) {
    using Held = std::shared_ptr<const RawIndex<Decoder>>;
    const FileStamp stamp = stamp_of(file);
    if (const Held* held = std::get_if<Held>(&self->index))
        if ((*held)->size == stamp.size && (*held)->mtime_ns == stamp.mtime_ns) return *held;
    Held fresh = build_index<Decoder>(self, file, n, stamp, threads);
    self->index = fresh;
    return fresh;
}

// Every event of the file, decoded in pieces on the pool.
template <class Decoder>
Ref read_all_parallel(Reader* self, kit::File& file, std::size_t n, unsigned threads) {
    auto index = index_of<Decoder>(self, file, n, threads);
    return kit::decode_file(file, self->data_offset, index->plan, 0, index->plan.pieces(), threads);
}

// Keeps the events with t_start <= t < t_end, in order; returns their count.
inline std::size_t keep_window(Event* ev, std::size_t n, std::uint64_t t_start, std::uint64_t t_end) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ev[k] = ev[i];
        k += (ev[i].t >= t_start) & (ev[i].t < t_end);
    }
    return k;
}

// The events of the window, decoded from the index's pieces that can hold
// them: with time highs that only grow, the events after a state's time
// high lie in [floor, next state's floor + span). A piece whose events all
// lie inside the window by that rule is decoded straight into its place in
// the result; those at the window's edges are decoded aside and filtered.
// A file whose time goes back is decoded whole and filtered.
template <class Decoder>
Ref read_window(Reader* self, std::uint64_t t_start, std::uint64_t t_end, unsigned threads) {
    using Scan = kn::Scan<Decoder>;
    kit::File file(self->path.get());
    const std::size_t n = data_bytes<Decoder>(file, self);
    if (t_end <= t_start) return np::empty(0);
    auto index = index_of<Decoder>(self, file, n, threads);
    const auto& plan = index->plan;
    const std::size_t pieces = plan.pieces();
    auto filtered = [&](std::size_t first, std::size_t last) {
        Ref out = kit::decode_file(file, self->data_offset, plan, first, last, threads);
        const std::size_t total = static_cast<std::size_t>(np::length(out));
        std::size_t kept;
        {
            kit::MaybeNoGil nogil(total * sizeof(Event) >= kit::kReleaseGilBytes);
            kept = keep_window(np::events_data(out), total, t_start, t_end);
        }
        np::shrink(out, static_cast<npy_intp>(kept));
        return out;
    };
    if (!index->monotone) return pieces ? filtered(0, pieces) : np::empty(0);

    auto floor = [&](std::size_t i) { return Scan::floor_t(plan.starts[i]); };
    auto top = [&](std::size_t i) {  // above every t of piece i
        const std::uint64_t f = floor(i + 1);
        return f > UINT64_MAX - Scan::kSpan ? UINT64_MAX : f + Scan::kSpan;
    };
    // The first piece of [from, pieces) for which `past` holds (it holds for
    // every piece after it too: floors only grow).
    auto first_past = [&](std::size_t from, auto&& past) {
        std::size_t a = from, b = pieces;
        while (a < b) {
            const std::size_t m = a + (b - a) / 2;
            if (past(m)) b = m;
            else a = m + 1;
        }
        return a;
    };
    // The pieces that can hold events of the window, [lo, hi), and among
    // them those all of whose events are in it, [in, out).
    const std::size_t lo = first_past(0, [&](std::size_t i) { return top(i) > t_start; });
    const std::size_t hi = first_past(lo, [&](std::size_t i) { return floor(i) >= t_end; });
    if (lo >= hi) return np::empty(0);
    const std::size_t in = std::min(first_past(lo, [&](std::size_t i) { return floor(i) >= t_start; }), hi);
    std::size_t out = first_past(in, [&](std::size_t i) { return top(i) > t_end; });
    out = std::max(std::min(out, hi), in);
    if (in == out) return filtered(lo, hi);

    Ref head = in > lo ? filtered(lo, in) : np::empty(0);
    Ref tail = hi > out ? filtered(out, hi) : np::empty(0);
    const std::size_t n_head = static_cast<std::size_t>(np::length(head));
    const std::size_t n_tail = static_cast<std::size_t>(np::length(tail));
    const std::size_t n_in = plan.offsets[out] - plan.offsets[in];
    Ref result = np::empty(static_cast<npy_intp>(n_head + n_in + n_tail));
    Event* ev = np::events_data(result);
    std::memcpy(static_cast<void*>(ev), np::events_data(head), n_head * sizeof(Event));
    kit::decode_file_into(file, self->data_offset, plan, in, out, threads, ev + n_head);
    std::memcpy(static_cast<void*>(ev + n_head + n_in), np::events_data(tail), n_tail * sizeof(Event));
    return result;
}

// (first t, last t) of the file from its index and the two pieces that hold
// those events; None for a file without events.
template <class Decoder>
Ref time_span(Reader* self, unsigned threads) {
    kit::File file(self->path.get());
    const std::size_t n = data_bytes<Decoder>(file, self);
    auto index = index_of<Decoder>(self, file, n, threads);
    const auto& plan = index->plan;
    std::size_t first = 0, last = plan.pieces();
    while (first < last && plan.offsets[first + 1] == plan.offsets[first]) ++first;
    while (last > first && plan.offsets[last] == plan.offsets[last - 1]) --last;
    if (first >= last) return Ref::borrow(Py_None);
    Ref head = kit::decode_file(file, self->data_offset, plan, first, first + 1, 1);
    Ref tail = kit::decode_file(file, self->data_offset, plan, last - 1, last, 1);
    const std::uint64_t t_first = np::events_data(head)[0].t;
    const std::uint64_t t_last = np::events_data(tail)[np::length(tail) - 1].t;
    return kit::check(Py_BuildValue("(KK)", static_cast<unsigned long long>(t_first),
                                    static_cast<unsigned long long>(t_last)));
}

// read_into(): the next events of one pass over the file.
template <class Decoder>
struct Cursor final : CursorBase {
    kit::File file;
    kit::Pieces pieces;
    kit::Decoded<Decoder> src;
    Fmt format;
    bool done = false;
    std::size_t broken = 0;  // bytes of a last, incomplete word

    Cursor(PyObject* path, long long offset, Fmt f) : file(path), pieces(file, offset, kRawPiece), format(f) {}

    // The events before an incomplete last word are handed out first; the
    // call after them raises.
    std::size_t read_into(Event* out, std::size_t room) override {
        std::size_t k = 0;
        while (k < room && !done) {
            if (src.empty()) {
                if (!pieces.next()) {
                    done = true;
                    broken = src.pending_bytes();
                    break;
                }
                src.feed(pieces.data(), pieces.size());
                continue;
            }
            src.plan(room - k);
            kit::NoGil nogil;
            k += src.fill(out + k, room - k);
        }
        if (k == 0 && broken) raise_partial_word(file.path(), broken, format);
        return k;
    }
};

std::unique_ptr<CursorBase> cursor_for(const Reader* self) {
    if (self->format == Fmt::evt2)
        return std::make_unique<Cursor<kn::Evt2Decoder>>(self->path.get(), self->data_offset, self->format);
    if (self->format == Fmt::evt21)
        return std::make_unique<Cursor<kn::Evt21Decoder>>(self->path.get(), self->data_offset, self->format);
    return std::make_unique<Cursor<kn::Evt3Decoder>>(self->path.get(), self->data_offset, self->format);
}

template <class F>
decltype(auto) by_format(Fmt f, F&& fn) {
    if (f == Fmt::evt2) return fn(kn::Evt2Decoder{});
    if (f == Fmt::evt21) return fn(kn::Evt21Decoder{});
    return fn(kn::Evt3Decoder{});
}

constexpr auto kReadAll = kit::method("read_all", "np.ndarray", kit::kThreads);
constexpr auto kCount = kit::method("count_events", "int");
constexpr auto kWindow = kit::method("read_time_window", "np.ndarray", kit::Param{"t_start", "int"},
                                     kit::Param{"t_end", "int"}, kit::kThreads);
constexpr auto kReadInto = kit::method("read_into", "int", kit::Param{"out", "np.ndarray"});
constexpr auto kTimeSpan = kit::method("time_span", "Optional[Tuple[int, int]]");
constexpr auto kRewind = kit::method("rewind", "None");

PyObject* reader_read_all(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadAll, args, nargs, kwnames);
        Reader* self = ReaderType::of(self_obj);
        initialised(self_obj);
        const unsigned threads = kit::arg_threads(a[0]);
        if (threads > 1) {
            kit::File file(self->path.get());
            Ref out = by_format(self->format, [&]<class D>(D) -> Ref {
                const std::size_t n = data_bytes<D>(file, self);
                if (kit::split_cuts(n, D::kWordBytes, threads).size() <= 2) return {};
                return read_all_parallel<D>(self, file, n, threads);
            });
            if (out) return out.release();
        }
        // EVT 2.0 gives at most an event a word, EVT 3.0 twelve, so one
        // array for that bound is filled in place in one pass and cut to what
        // it holds (memory never touched costs nothing but address space; a
        // file that grew meanwhile gets its chunks joined). Bounds above the
        // whole-read limit, and EVT 2.1's (32 events in 8 bytes), take an
        // exact count first (a fast pass), then one allocation and the decode;
        // so does a bound whose address space is refused (strict overcommit,
        // a limit on the process's address space).
        if (self->format != Fmt::evt21) {
            kit::File file(self->path.get());
            const std::size_t bound = by_format(self->format, [&]<class D>(D) {
                return D{}.max_events(data_bytes<D>(file, self)) + 1;
            });
            if (bound <= kit::whole_read_limit()) {
                try {
                    Ref all = kit::make_generator(chunks_for(self, bound, true), "RawReader.read_all");
                    return kit::joined_chunks(all.get()).release();
                } catch (const kit::PyError&) {
                    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
                    PyErr_Clear();
                }
            }
        }
        const std::size_t total = count_file_events(self);
        Ref all = kit::make_generator(chunks_for(self, std::max<std::size_t>(total, 1), true), "RawReader.read_all");
        return kit::counted_chunk(all.get(), self->path.get(), total).release();
    });
}

// A time bound: an int, negative ones taken as 0.
std::uint64_t arg_time(PyObject* o, const char* param) {
    Ref v = kit::arg_int_object(o, param);
    if (PyObject_RichCompareBool(v.get(), kit::from_size(0).get(), Py_LE) == 1) return 0;
    const unsigned long long t = PyLong_AsUnsignedLongLong(v.get());
    if (t == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return UINT64_MAX;  // past every t
    }
    return t;
}

PyObject* reader_read_time_window(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWindow, args, nargs, kwnames);
        Reader* self = ReaderType::of(self_obj);
        initialised(self_obj);
        const std::uint64_t t_start = arg_time(a[0], "t_start"), t_end = arg_time(a[1], "t_end");
        const unsigned threads = kit::arg_threads(a[2]);
        return by_format(self->format, [&]<class D>(D) { return read_window<D>(self, t_start, t_end, threads); })
            .release();
    });
}

PyObject* reader_time_span(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        Reader* self = ReaderType::of(self_obj);
        initialised(self_obj);
        return by_format(self->format, [&]<class D>(D) { return time_span<D>(self, kit::usable_cores()); }).release();
    });
}

PyObject* reader_read_into(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReadInto, args, nargs, kwnames);
        Reader* self = ReaderType::of(self_obj);
        initialised(self_obj);
        std::size_t room = 0;
        Event* out = np::out_events(a[0], "out", room);
        kit::Busy busy(self->busy, "RawReader.read_into() is already running in another thread");
        if (!self->cursor) self->cursor = cursor_for(self);
        return kit::from_size(self->cursor->read_into(out, room)).release();
    });
}

PyObject* reader_rewind(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        Reader* self = ReaderType::of(self_obj);
        initialised(self_obj);
        kit::Busy busy(self->busy, "RawReader.read_into() is already running in another thread");
        self->cursor.reset();
        return kit::none();
    });
}

// The count of the window index, when the reader holds one for the file as
// it is now.
template <class Decoder>
bool indexed_count(const Reader* self, std::size_t& count) {
    using Held = std::shared_ptr<const RawIndex<Decoder>>;
    const Held* held = std::get_if<Held>(&self->index);
    if (!held) return false;
    kit::File file(self->path.get());
    const FileStamp stamp = stamp_of(file);
    if ((*held)->size != stamp.size || (*held)->mtime_ns != stamp.mtime_ns) return false;
    count = (*held)->plan.events();
    return true;
}

PyObject* reader_count(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        std::size_t count = 0;
        if (by_format(self->format, [&]<class D>(D) { return indexed_count<D>(self, count); }))
            return kit::from_size(count).release();
        return kit::from_size(count_file_events(self)).release();
    });
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
    "memory: iterate for large files).\n\n"
    "Args:\n" KIT_THREADS_DOC
    "        With more than one, a large file is read into memory and decoded\n"
    "        in pieces in parallel (the same events as one thread); one thread\n"
    "        decodes piece by piece as it reads.\n\n"
    "Raises:\n"
    "    ValueError: the file ends inside a word.\n"
    "    OSError: the file cannot be read, or changed while it was read.\n";

const char* const kWindowDoc =
    "Events with t_start <= t < t_end, exactly as read_all() gives them (in\n"
    "file order), decoding only the part of the file that can hold them.\n\n"
    "The first call indexes the file: one cheap pass over its words notes the\n"
    "decoder's state (time high, wraps, ...) every 256 KiB. The reader keeps\n"
    "the index while the file keeps its size and modification time, so later\n"
    "windows read only their own bytes: the pieces between the index points\n"
    "around the window, found by bisection. A file whose time high goes back\n"
    "(other than by a wrap) is decoded whole and filtered.\n\n"
    "Args:\n"
    "    t_start, t_end: Bounds in microseconds (ints; below 0 taken as 0).\n"
    KIT_THREADS_DOC "\n"
    "Returns:\n"
    "    EVENT_DTYPE array (empty when t_end <= t_start).\n\n"
    "Raises:\n"
    "    TypeError: a bound is not an int.\n"
    "    ValueError: the file ends inside a word.\n"
    "    OSError: the file cannot be read, or changed while it was read.\n";

const char* const kReadIntoDoc =
    "Decode the next events of the file into ``out`` and return how many were\n"
    "written (fewer than len(out) only at the end of the file; 0 there).\n\n"
    "Successive calls go through the file once, in order, independent of\n"
    "iteration; rewind() starts over. A pipeline that reuses one buffer pays\n"
    "no allocation and no first-touch page faults per chunk.\n\n"
    "Args:\n"
    "    out: A writable, C-contiguous, 1-d EVENT_DTYPE array.\n\n"
    "Raises:\n"
    "    TypeError: out is not an EVENT_DTYPE array.\n"
    "    ValueError: out is not 1-d, contiguous or writable; the file ends\n"
    "        inside a word (after its last whole event).\n"
    "    RuntimeError: another thread is in read_into() on this reader.\n";

const char* const kTimeSpanDoc =
    "(first t, last t) of the file's events, or None when it has none: from\n"
    "the index of read_time_window (built on first use) and the two pieces\n"
    "that hold the first and the last event.\n";

const char* const kRewindDoc = "Make the next read_into() start at the first event of the file again.\n";

const char* const kCountDoc =
    "Number of events in the file, counted from the words without decoding\n"
    "them (a fast pass; memory does not grow with the file), or taken from\n"
    "the window index when the reader holds one. A file that ends inside a\n"
    "word raises ValueError, as reading it does.\n";

}  // namespace

void add_raw_reader(PyObject* m) {
    static PyMethodDef methods[] = {
        kit::def(kReadAll, reader_read_all, kReadAllDoc),
        kit::def(kCount, reader_count, kCountDoc),
        kit::def(kWindow, reader_read_time_window, kWindowDoc),
        kit::def(kReadInto, reader_read_into, kReadIntoDoc),
        kit::def(kTimeSpan, reader_time_span, kTimeSpanDoc),
        kit::def(kRewind, reader_rewind, kRewindDoc),
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
