// iniVation AEDAT4 files read and written without dv-processing:
// Aedat4Reader, Aedat4Writer and write_aedat4. The bytes (FlatBuffers, the
// info node, packets, the data table) are kernels/aedat4_file.hpp's; here
// are the file, the codecs (LZ4 through the compiled-in LZ4 library,
// kernels/lz4.hpp; Zstandard through the zstandard package, imported at
// first use) and the types. Events are decoded packet by packet into
// chunks of a fixed size by the shared re-chunking loop (kit/chunks.hpp).

#include "recordings.hpp"

#include "kit/chunks.hpp"
#include "kit/events.hpp"
#include "kit/file.hpp"
#include "kit/pool.hpp"
#include "kernels/aedat4_file.hpp"
#include "kernels/lz4.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvel::io::recordings {
namespace {

namespace kn = morvel::kernels;
namespace a4 = morvel::kernels::aedat4;
using a4::Compression;
using kn::Event;

// A decompressed packet or data table larger than this is refused: writers
// put 4096 (faery) or 10,000 (dv-processing) events in a packet, 160 KB.
constexpr std::size_t kMaxPayload = std::size_t{1} << 28;
// The IO header (mostly its XML) is refused beyond this.
constexpr std::size_t kMaxHeader = std::size_t{1} << 26;
// Events per packet written: dv-processing's own packet size.
constexpr std::size_t kPacketEvents = 10000;
// Coordinates are 16-bit signed in a packet.
constexpr long long kCoordinateLimit = 32768;

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::none: return "none";
        case Compression::lz4: return "lz4";
        case Compression::lz4_high: return "lz4_high";
        case Compression::zstd: return "zstd";
        case Compression::zstd_high: return "zstd_high";
    }
    return "none";
}

// The name the info node gives a compression (dv-processing's words).
const char* compression_label(Compression c) {
    switch (c) {
        case Compression::none: return "NONE";
        case Compression::lz4: return "LZ4";
        case Compression::lz4_high: return "LZ4_HIGH";
        case Compression::zstd: return "ZSTD";
        case Compression::zstd_high: return "ZSTD_HIGH";
    }
    return "NONE";
}

bool is_lz4(Compression c) { return c == Compression::lz4 || c == Compression::lz4_high; }

Compression compression_from_argument(PyObject* arg) {
    if (!arg) return Compression::lz4;
    if (arg == Py_None) return Compression::none;
    PyObject* s = kit::arg_str(arg, "compression");
    for (int c = 0; c <= 4; ++c)
        if (PyUnicode_CompareWithASCIIString(s, compression_name(static_cast<Compression>(c))) == 0)
            return static_cast<Compression>(c);
    kit::raise(PyExc_ValueError,
               "compression must be 'none', 'lz4', 'lz4_high', 'zstd' or 'zstd_high' (or None), got %R", arg);
}

// The pending error as an object, for raising later (after the events read
// so far have been handed out).
Ref take_error() { return Ref::steal_or_null(PyErr_GetRaisedException()); }

template <class... A>
Ref pending_value_error(const char* fmt, A... args) {
    PyErr_Format(PyExc_ValueError, fmt, args...);
    return take_error();
}

// ValueError(fmt % args) instead of the error being raised, which becomes its
// context: the message says where in the file, the context what the codec
// said.
template <class... A>
[[noreturn]] void raise_damaged(const char* fmt, A... args) {
    Ref original = take_error();
    PyErr_Format(PyExc_ValueError, fmt, args...);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, original.release());
    PyErr_SetRaisedException(exc);
    kit::raise();
}

// fn(arg, kwname=kwvalue), or fn(kwname=kwvalue) without `arg`.
Ref call_with_keyword(PyObject* fn, PyObject* arg, PyObject* kwname, PyObject* kwvalue) {
    Ref names = kit::check(PyTuple_Pack(1, kwname));
    PyObject* argv[] = {arg, kwvalue};
    return arg ? kit::check(PyObject_Vectorcall(fn, argv, 1, names.get()))
               : kit::check(PyObject_Vectorcall(fn, argv + 1, 0, names.get()));
}

// A memoryview of bytes that stay put for the call.
Ref bytes_view(const unsigned char* p, std::size_t n) {
    return kit::check(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<unsigned char*>(p)),
                                              static_cast<Py_ssize_t>(n), PyBUF_READ));
}

// ---------------------------------------------------------------------------
// Decompression: LZ4 here, Zstandard through the zstandard package.

// An LZ4 payload decompressed into `out` (grown to what it needs); r.size
// is its size. Touches no Python: safe on any thread.
kn::lz4::Result lz4_payload(const unsigned char* p, std::size_t n, std::vector<unsigned char>& out) {
    return kn::lz4::decode(p, n, out, kMaxPayload);
}

[[noreturn]] void raise_lz4(PyObject* path, long long at, const kn::lz4::Result& r) {
    using kn::lz4::Status;
    if (r.status == Status::too_large)
        kit::raise(PyExc_ValueError, "%S: the packet at byte %lld decompresses to more than %zd bytes", path, at,
                   static_cast<Py_ssize_t>(kMaxPayload));
    if (r.status == Status::cut) kit::raise(PyExc_ValueError, "%S: the LZ4 frame of the packet at byte %lld is cut short", path, at);
    kit::raise(PyExc_ValueError, "%S: the packet at byte %lld does not decompress as LZ4: %s", path, at, r.reason);
}

struct View {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

class Decompressor {
public:
    explicit Decompressor(Compression c) : c_(c) {}

    // The payload of `n` bytes at `p` (file offset `at`), decompressed. The
    // view holds until the next call.
    View operator()(PyObject* path, const unsigned char* p, std::size_t n, long long at) {
        if (c_ == Compression::none) return {p, n};
        load();
        Ref input = bytes_view(p, n);
        if (is_lz4(c_)) {
            const kn::lz4::Result r = lz4_payload(p, n, lz4_out_);
            if (!r.ok()) raise_lz4(path, at, r);
            return {lz4_out_.data(), r.size};
        }
        Ref size = decompress(path, at, "Zstandard", [&] { return kit::call(zstd_size_.get(), input.get()); });
        const long long declared = PyLong_AsLongLong(size.get());
        if (declared == -1 && PyErr_Occurred()) kit::raise();
        if (declared > static_cast<long long>(kMaxPayload))
            kit::raise(PyExc_ValueError, "%S: the packet at byte %lld says it decompresses to %lld bytes (more than %zd)",
                       path, at, declared, static_cast<Py_ssize_t>(kMaxPayload));
        Ref bound_obj = kit::from_size(kMaxPayload);
        Ref out = decompress(path, at, "Zstandard", [&] {
            return call_with_keyword(zstd_decompress_.get(), input.get(), max_output_.get(), bound_obj.get());
        });
        return hold(std::move(out));
    }

private:
    void load() {
        if (!is_lz4(c_) && !zstd_size_) {
            const char* msg = "reading Zstandard-compressed AEDAT4 files needs the zstandard package: pip install zstandard";
            Ref module = kit::import_optional("zstandard", msg);
            zstd_size_ = kit::import_optional("zstandard", "frame_content_size", msg);
            Ref cls = kit::import_optional("zstandard", "ZstdDecompressor", msg);
            zstd_decompress_ = kit::getattr(kit::call(cls.get()).get(), "decompress");
            max_output_ = kit::str("max_output_size");
        }
    }

    // A codec call: what it raises about the data becomes a ValueError
    // saying where; interruptions and memory errors pass as they are.
    template <class F>
    Ref decompress(PyObject* path, long long at, const char* codec, F&& call) {
        try {
            return call();
        } catch (const kit::PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
            raise_damaged("%S: the packet at byte %lld does not decompress as %s", path, at, codec);
        }
    }

    View hold(Ref out) {
        if (!PyBytes_Check(out.get())) kit::raise(PyExc_TypeError, "the decompressor did not return bytes");
        out_ = std::move(out);
        return {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(out_.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(out_.get()))};
    }

    Compression c_;
    std::vector<unsigned char> lz4_out_;             // the last LZ4 payload decompressed
    Ref zstd_size_, zstd_decompress_, max_output_;  // zstandard
    Ref out_;                                        // the last decompressed bytes
};

// ---------------------------------------------------------------------------
// Reading.

// Where things are in a file, from its header.
struct Layout {
    long long data_start = 0;    // the first packet header
    long long packets_end = 0;   // where packets stop: the data table, or the end of the file
    long long data_table = -1;   // as the header says
    long long file_size = 0;     // when the reader was made
    Compression compression = Compression::none;
    // The header names a data table at or past the end of the file: the
    // file was cut, and reaching its end between packets is an error too.
    bool cut = false;
};

struct Header {
    Layout layout;
    std::string info;  // the info node
};

Header read_header(kit::File& file, PyObject* path) {
    Header h;
    const long long size = file.size();
    if (size < 0) kit::raise(PyExc_ValueError, "%S: AEDAT4 files are read from regular files", path);
    unsigned char start[a4::kMagicSize + 4];
    const std::size_t got = file.read_full(reinterpret_cast<char*>(start), sizeof start);
    if (got < a4::kMagicSize || std::memcmp(start, a4::kMagic, a4::kMagicSize) != 0)
        kit::raise(PyExc_ValueError, "%S is not an AEDAT4 file (it does not start with '#!AER-DAT4.0')", path);
    if (got < sizeof start)
        kit::raise(PyExc_ValueError, "%S: the file ends inside the size of its IO header (byte %zd)", path,
                   static_cast<Py_ssize_t>(got));
    const std::size_t n = kn::load_u32(start + a4::kMagicSize);
    const long long after = static_cast<long long>(sizeof start);
    if (static_cast<long long>(n) > size - after)
        kit::raise(PyExc_ValueError, "%S: the IO header at byte %lld says it holds %zd bytes, past the end of the file (%lld bytes)",
                   path, after, static_cast<Py_ssize_t>(n), size);
    if (n > kMaxHeader)
        kit::raise(PyExc_ValueError, "%S: the IO header at byte %lld says it holds %zd bytes (more than %zd)", path,
                   after, static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(kMaxHeader));
    std::vector<unsigned char> buf(n);
    if (file.read_full(reinterpret_cast<char*>(buf.data()), n) != n)
        kit::raise(PyExc_ValueError, "%S: the file ends inside its IO header", path);
    a4::IoHeader io;
    const a4::Result r = a4::parse_io_header(buf.data(), n, io);
    if (!r.ok())
        kit::raise(PyExc_ValueError, "%S: the IO header is damaged at byte %lld: %s", path,
                   after + static_cast<long long>(r.at), a4::status_message(r.status));
    if (!a4::valid_compression(io.compression))
        kit::raise(PyExc_ValueError, "%S: the IO header names an unknown compression (%d)", path, int{io.compression});
    h.info.assign(reinterpret_cast<const char*>(buf.data() + io.info_at), io.info_size);
    Layout& l = h.layout;
    l.compression = static_cast<Compression>(io.compression);
    l.data_start = after + static_cast<long long>(n);
    l.file_size = size;
    l.data_table = io.data_table;
    const bool table_inside = io.data_table >= l.data_start && io.data_table < size;
    l.packets_end = table_inside ? io.data_table : size;
    l.cut = io.data_table >= size;
    return h;
}

Ref text_of(std::string_view escaped) {
    std::string s(escaped.size(), '\0');
    s.resize(a4::xml_unescape(escaped, s.data()));
    return kit::check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

std::vector<a4::StreamInfo> parse_streams(const std::string& info, PyObject* path) {
    std::vector<a4::StreamInfo> streams(8);
    a4::InfoResult r = a4::parse_info_node(info, streams.data(), streams.size());
    if (r.status == a4::InfoStatus::ok && r.count > streams.size()) {
        streams.resize(r.count);
        r = a4::parse_info_node(info, streams.data(), streams.size());
    }
    if (r.status != a4::InfoStatus::ok)
        kit::raise(PyExc_ValueError, "%S: the info node of the IO header is not XML (at character %zd)", path,
                   static_cast<Py_ssize_t>(r.at));
    streams.resize(r.count);
    return streams;
}

Ref sensor_size_of(const a4::StreamInfo& s) {
    if (s.width == 0 || s.height == 0) return Ref::borrow(Py_None);
    return kit::check(Py_BuildValue("(ii)", s.width, s.height));
}

Ref streams_tuple(const std::vector<a4::StreamInfo>& streams) {
    Ref out = kit::check(PyTuple_New(static_cast<Py_ssize_t>(streams.size())));
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const a4::StreamInfo& s = streams[i];
        Ref d = kit::check(Py_BuildValue("{s:i,s:N,s:N,s:N}", "id", s.id, "name", text_of(s.name).release(), "type",
                                         text_of(s.type).release(), "sensor_size", sensor_size_of(s).release()));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return out;
}

// The stream `arg` picks (None: the first event stream).
const a4::StreamInfo& choose_stream(const std::vector<a4::StreamInfo>& streams, PyObject* arg, PyObject* path) {
    const a4::StreamInfo* found = nullptr;
    if (!arg || arg == Py_None) {
        for (const auto& s : streams)
            if (s.type == "EVTS") {
                found = &s;
                break;
            }
        if (!found) kit::raise(PyExc_ValueError, "%S holds no event stream (streams: %R)", path, streams_tuple(streams).get());
        return *found;
    }
    if (PyLong_Check(arg)) {
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(arg, &overflow);
        if (id == -1 && PyErr_Occurred()) kit::raise();
        for (const auto& s : streams)
            if (!overflow && s.id == id) {
                found = &s;
                break;
            }
    } else if (PyUnicode_Check(arg)) {
        for (const auto& s : streams)
            if (PyUnicode_Compare(text_of(s.name).get(), arg) == 0) {
                found = &s;
                break;
            }
        if (PyErr_Occurred()) kit::raise();
    } else {
        kit::raise_arg_type("stream", "int, str or None", arg);
    }
    if (!found) kit::raise(PyExc_ValueError, "%S has no stream %R (streams: %R)", path, arg, streams_tuple(streams).get());
    if (found->type != "EVTS")
        kit::raise(PyExc_ValueError, "%S: stream %R holds %U packets, not events", path, arg, text_of(found->type).get());
    return *found;
}

struct DataTable {
    std::vector<a4::TableEntry> entries;  // the chosen stream's, in file order
    // Its packets, of every stream, tile the bytes from the first packet
    // to the data table: no packet of the file is missing from it.
    bool complete = false;
    std::vector<a4::TableEntry> all;  // when complete: every entry, in file order
};

// The data table of the file, or nothing when the file has none or a
// damaged one (then reads go sequentially).
std::optional<DataTable> read_data_table(kit::File& file, PyObject* path, const Layout& l, int stream) {
    if (l.data_table < l.data_start || l.data_table >= l.file_size) return std::nullopt;
    const long long n = l.file_size - l.data_table;
    if (n > static_cast<long long>(kMaxPayload)) return std::nullopt;
    std::vector<unsigned char> buf(static_cast<std::size_t>(n));
    file.seek(l.data_table);
    if (file.read_full(reinterpret_cast<char*>(buf.data()), buf.size()) != buf.size()) return std::nullopt;
    Decompressor decompress(l.compression);
    View v;
    try {
        v = decompress(path, buf.data(), buf.size(), l.data_table);
    } catch (const kit::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return std::nullopt;
    }
    std::size_t count = 0;
    if (!a4::parse_data_table(v.data, v.size, nullptr, 0, count).ok()) return std::nullopt;
    std::vector<a4::TableEntry> all(count);
    if (!a4::parse_data_table(v.data, v.size, all.data(), all.size(), count).ok()) return std::nullopt;
    std::vector<a4::TableEntry> mine;
    for (const a4::TableEntry& e : all) {
        const bool inside = e.size >= 0 && e.offset >= l.data_start + static_cast<long long>(a4::kPacketHeaderSize) &&
                            e.offset <= l.packets_end && e.size <= l.packets_end - e.offset && e.count >= 0;
        if (!inside) return std::nullopt;
        if (e.stream == stream) mine.push_back(e);
    }
    const auto by_offset = [](const auto& a, const auto& b) { return a.offset < b.offset; };
    std::stable_sort(mine.begin(), mine.end(), by_offset);
    std::stable_sort(all.begin(), all.end(), by_offset);
    constexpr auto head = static_cast<long long>(a4::kPacketHeaderSize);
    long long at = l.data_start;
    for (const a4::TableEntry& e : all) {
        if (e.offset - head != at) break;
        at = e.offset + e.size;
    }
    const bool complete = at == l.packets_end && !l.cut;
    return DataTable{std::move(mine), complete, complete ? std::move(all) : std::vector<a4::TableEntry>{}};
}

// The bytes of [start, end) of a file for a reader going forward: a block
// at a time read by a helper thread while the caller works on the block
// before. What a request needs of the block before is carried in front of
// the next one; a request the blocks cannot serve (a packet larger than a
// block, a jump) is read on its own, and the blocks start again after it.
class Forward {
public:
    Forward(kit::File& file, long long start, long long end)
        : file_(file), end_(end), a_(kCarry + kBlock), b_(kCarry + kBlock), cur_(a_.data() + kCarry),
          cur_start_(start), cur_end_(start), ahead_(file) {
        read_next(start);
    }

    // Bytes [off, off + n) of the file; off is never below that of the call
    // before, off + n never past the end. Valid until the next call.
    const unsigned char* get(long long off, std::size_t n) {
        const long long stop = off + static_cast<long long>(n);
        if (off >= cur_start_ && stop <= cur_end_) return cur_ + (off - cur_start_);
        if (ahead_.busy() && off >= cur_start_ && off < next_start_ + static_cast<long long>(next_n_)) {
            const std::size_t tail = off < cur_end_ ? static_cast<std::size_t>(cur_end_ - off) : 0;
            if (tail <= kCarry) {
                const std::size_t got = ahead_.wait();
                if (got != next_n_) changed();
                unsigned char* front = b_.data() + kCarry;
                if (tail) std::memcpy(front - tail, cur_ + (off - cur_start_), tail);
                std::swap(a_, b_);
                cur_ = front - tail;
                cur_start_ = tail ? off : next_start_;
                cur_end_ = next_start_ + static_cast<long long>(got);
                read_next(cur_end_);
                if (off >= cur_start_ && stop <= cur_end_) return cur_ + (off - cur_start_);
            }
        }
        if (ahead_.busy()) ahead_.wait();
        own_.resize(n);
        if (file_.read_at(off, reinterpret_cast<char*>(own_.data()), n) != n) changed();
        cur_ = a_.data() + kCarry;
        cur_start_ = cur_end_ = stop;
        read_next(stop);
        return own_.data();
    }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 20, kCarry = std::size_t{1} << 20;

    void read_next(long long at) {
        next_start_ = at;
        next_n_ = static_cast<std::size_t>(std::min<long long>(static_cast<long long>(kBlock), end_ - at));
        if (next_n_) ahead_.start(at, b_.data() + kCarry, next_n_);
    }

    [[noreturn]] void changed() {
        long long largest = file_.size() < end_ ? end_ : 0;
        file_.check_not_truncated(largest);  // it shrank: OSError
        kit::raise(PyExc_OSError, "%S: the file changed while it was read", file_.path());
    }

    kit::File& file_;
    long long end_;
    std::vector<unsigned char> a_, b_;  // the block in use and the one read ahead, each after room for a carry
    std::vector<unsigned char> own_;    // a request read on its own
    unsigned char* cur_;                // the file's byte cur_start_
    long long cur_start_, cur_end_;
    long long next_start_ = 0;
    std::size_t next_n_ = 0;
    kit::ReadAhead ahead_;  // last: it ends (waiting for its read) before the buffers go
};

// The packets of one stream, in file order (read ahead) or through the data
// table.
class Packets {
public:
    // From the packet header at `start` (the first one by default).
    Packets(PyObject* path, const Layout& l, int stream, long long start = -1)
        : file_(path), path_(path), l_(l), stream_(stream), decompress_(l.compression),
          pos_(start < 0 ? l.data_start : start), largest_(file_.size()) {}

    // The next event packet of the stream: its payload's elements. False
    // after the last packet. A damaged file raises ValueError saying where.
    // What an earlier call returned is gone.
    bool next(a4::Elements& e, const unsigned char*& base, long long& payload_at) {
        if (!forward_) forward_.emplace(file_, pos_, l_.packets_end);
        for (;;) {
            if (PyErr_CheckSignals() < 0) kit::raise();
            file_.check_not_truncated(largest_);
            const long long left = l_.packets_end - pos_;
            if (left == 0) {
                if (l_.cut)
                    kit::raise(PyExc_ValueError, "%S: the file ends at byte %lld, before its data table at byte %lld "
                               "(it was cut short)", path_, pos_, l_.data_table);
                return false;
            }
            if (left < static_cast<long long>(a4::kPacketHeaderSize))
                kit::raise(PyExc_ValueError, "%S: the file ends inside the packet header at byte %lld", path_, pos_);
            const unsigned char* head = forward_->get(pos_, a4::kPacketHeaderSize);
            const std::int32_t id = a4::load_i32(head), size = a4::load_i32(head + 4);
            check_size(pos_, id, size);
            const long long at = pos_ + static_cast<long long>(a4::kPacketHeaderSize);
            pos_ = at + size;
            if (id != stream_) continue;
            decode(at, forward_->get(at, static_cast<std::size_t>(size)), static_cast<std::size_t>(size), e, base);
            payload_at = at;
            return true;
        }
    }

    // The packet of a data table entry. False when the packet there is not
    // the one the entry describes.
    bool at(const a4::TableEntry& entry, a4::Elements& e, const unsigned char*& base) {
        if (PyErr_CheckSignals() < 0) kit::raise();
        file_.check_not_truncated(largest_);
        buf_.resize(a4::kPacketHeaderSize + static_cast<std::size_t>(entry.size));
        read_exactly(entry.offset - static_cast<long long>(a4::kPacketHeaderSize), buf_.data(), buf_.size());
        if (a4::load_i32(buf_.data()) != entry.stream || a4::load_i32(buf_.data() + 4) != entry.size) return false;
        decode(entry.offset, buf_.data() + a4::kPacketHeaderSize, static_cast<std::size_t>(entry.size), e, base);
        return true;
    }

private:
    void check_size(long long head, std::int32_t id, std::int32_t size) const {
        if (size < 0)
            kit::raise(PyExc_ValueError, "%S: the packet at byte %lld (stream %d) has a negative size (%d)", path_, head,
                       int{id}, int{size});
        const long long room = l_.packets_end - head - static_cast<long long>(a4::kPacketHeaderSize);
        if (size > room) {
            if (l_.packets_end == l_.data_table)
                kit::raise(PyExc_ValueError, "%S: the packet at byte %lld (stream %d) says it holds %d bytes, past the "
                           "data table at byte %lld", path_, head, int{id}, int{size}, l_.packets_end);
            kit::raise(PyExc_ValueError, "%S: the packet at byte %lld (stream %d) says it holds %d bytes, past the end "
                       "of the file at byte %lld", path_, head, int{id}, int{size}, l_.packets_end);
        }
    }

    [[noreturn]] void changed() {
        file_.check_not_truncated(largest_);  // it shrank: OSError
        kit::raise(PyExc_OSError, "%S: the file changed while it was read", path_);
    }

    void read_exactly(long long offset, unsigned char* p, std::size_t n) {
        if (file_.read_at(offset, reinterpret_cast<char*>(p), n) != n) changed();
    }

    void decode(long long at, const unsigned char* payload, std::size_t size, a4::Elements& e,
                const unsigned char*& base) {
        const View v = decompress_(path_, payload, size, at);
        const a4::Result r = a4::parse_event_packet(v.data, v.size, e);
        if (!r.ok())
            kit::raise(PyExc_ValueError, "%S: the event packet at byte %lld is damaged at byte %zd of its payload: %s",
                       path_, at, static_cast<Py_ssize_t>(r.at), a4::status_message(r.status));
        base = v.data;
    }

    kit::File file_;
    PyObject* path_;  // kept alive by the caller
    Layout l_;
    int stream_;
    Decompressor decompress_;
    long long pos_;  // the next packet header
    long long largest_;
    std::vector<unsigned char> buf_;  // a packet read through the table
    std::optional<Forward> forward_;  // last: it ends before the file goes
};

[[noreturn]] void raise_bad_element(PyObject* path, long long payload_at, std::size_t element,
                                    const unsigned char* base, const a4::Elements& e) {
    const a4::Element v = a4::load_element(base + e.first + element * a4::kElementSize);
    kit::raise(PyExc_ValueError, "%S: event %zd of the packet at byte %lld is not an event (t=%lld, x=%d, y=%d: "
               "negative)", path, static_cast<Py_ssize_t>(element), payload_at, static_cast<long long>(v.t), int{v.x},
               int{v.y});
}

// The elements of one packet as a source of the re-chunking loop.
class PacketEvents {
public:
    void feed(const unsigned char* elements, std::size_t n) noexcept {
        e_ = elements;
        left_ = n;
        done_ = 0;
        bad_ = false;
    }
    bool empty() const noexcept { return left_ == 0; }
    std::size_t plan(std::size_t room) const noexcept { return std::min(left_, room); }
    std::size_t fill(Event* out, std::size_t room) noexcept {
        const std::size_t k = plan(room);
        bool bad = false;
        const std::size_t got = a4::decode_elements(e_, k, out, bad);
        e_ += got * a4::kElementSize;
        done_ += got;
        left_ = bad ? 0 : left_ - got;
        bad_ = bad;
        return got;
    }
    bool heavy(std::size_t k) const noexcept { return k * a4::kElementSize >= kit::kReleaseGilBytes; }
    // The element that stopped decoding, if one did.
    bool bad() const noexcept { return bad_; }
    std::size_t decoded() const noexcept { return done_; }

private:
    const unsigned char* e_ = nullptr;
    std::size_t left_ = 0, done_ = 0;
    bool bad_ = false;
};

// ---------------------------------------------------------------------------
// Packets through a complete data table, decoded on the kit's pool: each
// task reads a run of packets with one pread, decompresses (LZ4) and decodes
// them into their place in the output, checking every packet against its
// entry. Nothing here touches Python.

// Elements [from, to) of entries[entry] go to out[at...]; a packet of
// another stream has its header checked, nothing more.
struct Slice {
    std::size_t entry, from, to, at;
};

// The slices of the next chunk of at most `chunk` events of `stream` from
// (entry, skip) on, which it advances; the events they hold. Every entry on
// the way is in a slice, so that no packet goes unchecked; the chunk holding
// the last events (those before entries[events_end]) takes the entries
// after them too.
std::size_t plan_chunk(const std::vector<a4::TableEntry>& entries, int stream, std::size_t events_end,
                       std::size_t& entry, std::size_t& skip, std::size_t chunk, std::vector<Slice>& out) {
    out.clear();
    std::size_t k = 0;
    while (entry < entries.size() && (k < chunk || entry >= events_end)) {
        if (entries[entry].stream != stream) {
            out.push_back({entry, 0, 0, k});
            ++entry;
            continue;
        }
        const auto count = static_cast<std::size_t>(entries[entry].count);
        const std::size_t take = std::min(count - std::min(skip, count), chunk - k);
        out.push_back({entry, skip, skip + take, k});
        k += take;
        if (skip + take < count) {
            skip += take;
            break;
        }
        ++entry;
        skip = 0;
    }
    return k;
}

// Slices [first, last) into `out`, their packets read at once into `bytes`
// (LZ4 payloads decompressed into `unpacked`). False when a packet disagrees
// with its entry, does not decode, holds an element that is not an event,
// or cannot be read whole.
bool decode_run(int fd, Compression c, int stream, const std::vector<a4::TableEntry>& entries,
                const std::vector<Slice>& slices, std::size_t first, std::size_t last, Event* out,
                std::vector<unsigned char>& bytes, std::vector<unsigned char>& unpacked) {
    constexpr auto head = static_cast<long long>(a4::kPacketHeaderSize);
    const a4::TableEntry& front = entries[slices[first].entry];
    const a4::TableEntry& back = entries[slices[last - 1].entry];
    const long long start = front.offset - head;
    const auto n = static_cast<std::size_t>(back.offset + back.size - start);
    if (bytes.size() < n) bytes.resize(n);
    int err;
    if (kit::pread_full(fd, bytes.data(), n, start, err) != n) return false;
    for (std::size_t i = first; i < last; ++i) {
        const Slice& s = slices[i];
        const a4::TableEntry& e = entries[s.entry];
        const unsigned char* p = bytes.data() + (e.offset - head - start);
        if (a4::load_i32(p) != e.stream || a4::load_i32(p + 4) != e.size) return false;
        if (e.stream != stream) continue;
        const unsigned char* data = p + head;
        std::size_t size = static_cast<std::size_t>(e.size);
        if (c != Compression::none) {
            const kn::lz4::Result r = lz4_payload(data, size, unpacked);
            if (!r.ok()) return false;
            data = unpacked.data();
            size = r.size;
        }
        a4::Elements el;
        if (!a4::parse_event_packet(data, size, el).ok() || el.count != static_cast<std::size_t>(e.count)) return false;
        bool bad = false;
        a4::decode_elements(data + el.first + s.from * a4::kElementSize, s.to - s.from, out + s.at, bad);
        if (bad) return false;
    }
    return true;
}

// Decodes the slices into `out`. False when a packet disagrees with its
// entry, does not decode, holds an element that is not an event, or cannot
// be read whole: then nothing is known and the caller reads sequentially.
bool decode_slices(int fd, Compression c, int stream, const std::vector<a4::TableEntry>& entries,
                   const std::vector<Slice>& slices, Event* out) {
    constexpr auto head = static_cast<long long>(a4::kPacketHeaderSize);
    const auto begin_of = [&](const Slice& s) { return entries[s.entry].offset - head; };
    const auto end_of = [&](const Slice& s) { return entries[s.entry].offset + entries[s.entry].size; };
    if (slices.empty()) return true;
    // Runs of packets read at once: a few per thread, at most 512 KB (or one packet).
    const unsigned cores = kit::usable_cores();
    const long long total = end_of(slices.back()) - begin_of(slices.front());
    const long long run = std::clamp<long long>(total / (4 * static_cast<long long>(cores)), 128 << 10, 512 << 10);
    std::vector<std::pair<std::size_t, std::size_t>> tasks;  // slices [first, last)
    for (std::size_t i = 0; i < slices.size();) {
        std::size_t j = i + 1;
        while (j < slices.size() && end_of(slices[j]) - begin_of(slices[i]) <= run) ++j;
        tasks.emplace_back(i, j);
        i = j;
    }
    std::atomic<bool> failed{false};
    const unsigned threads = total >= (1 << 20) ? cores : 1;
    kit::parallel_for(tasks.size(), threads, [&](std::size_t t) {
        // Kept by each thread for the next task; what an outsized packet
        // needed is given back after it.
        thread_local std::vector<unsigned char> bytes, unpacked;
        struct Trim {
            ~Trim() {
                constexpr std::size_t keep = std::size_t{8} << 20;
                if (bytes.capacity() > keep) std::vector<unsigned char>().swap(bytes);
                if (unpacked.capacity() > keep) std::vector<unsigned char>().swap(unpacked);
            }
        } trim;
        if (!failed.load(std::memory_order_relaxed) &&
            !decode_run(fd, c, stream, entries, slices, tasks[t].first, tasks[t].second, out, bytes, unpacked))
            failed = true;
    });
    return !failed;
}

// The events of the stream, packet by packet, in chunks of exactly `chunk`
// events but the last. A damaged file ends with ValueError after the events
// before the damage; other errors are raised at once.
//
// With a complete data table (and a codec decoded here) the chunks come
// from the pool, as long as the packets agree with the table; from the
// first that does not on, packets are read one after the other, which
// yields the same events or says what is wrong.
kit::Generator chunks_of(Ref path, Layout layout, int stream, std::size_t chunk, bool whole = false,
                         std::vector<a4::TableEntry> entries = {}) {
    long long start = -1;
    std::size_t skip = 0;
    if (!entries.empty() && layout.compression != Compression::zstd && layout.compression != Compression::zstd_high) {
        kit::File file(path.get());
        std::vector<Slice> slices;
        std::size_t entry = 0, events_end = 0;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].stream == stream && entries[i].count > 0) events_end = i + 1;
        bool ok = true;
        while (entry < entries.size()) {
            if (PyErr_CheckSignals() < 0) kit::raise();
            const std::size_t was_entry = entry, was_skip = skip;
            const std::size_t k = plan_chunk(entries, stream, events_end, entry, skip, chunk, slices);
            Ref events = np::empty(static_cast<npy_intp>(k));
            {
                kit::MaybeNoGil nogil(true);
                ok = decode_slices(file.descriptor(), layout.compression, stream, entries, slices,
                                   static_cast<Event*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(events.get()))));
            }
            if (!ok) {
                entry = was_entry;
                skip = was_skip;
                break;
            }
            if (k) co_yield std::move(events);
        }
        if (ok) co_return;
        start = entries[entry].offset - static_cast<long long>(a4::kPacketHeaderSize);
    }
    Packets packets(path.get(), layout, stream, start);
    kit::ChunkBuilder chunks(chunk, whole);
    PacketEvents src;
    Ref failure;
    for (;;) {
        a4::Elements e;
        const unsigned char* base = nullptr;
        long long at = 0;
        try {
            if (!packets.next(e, base, at)) break;
        } catch (const kit::PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
            failure = take_error();
            break;
        }
        const std::size_t skipped = std::min(skip, e.count);
        skip = 0;
        src.feed(base + e.first + skipped * a4::kElementSize, e.count - skipped);
        while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
        if (src.bad()) {
            try {
                raise_bad_element(path.get(), at, skipped + src.decoded(), base, e);
            } catch (const kit::PyError&) {
                failure = take_error();
            }
            break;
        }
    }
    if (Ref last = chunks.finish()) co_yield std::move(last);
    if (failure) {
        PyErr_SetRaisedException(failure.release());
        kit::raise();
    }
}

struct ReaderFields {
    Ref path, streams, sensor_size, compression;
    std::size_t chunk_size = 0;
    int stream = 0;
    Layout layout;
    bool has_table = false;
    bool table_complete = false;          // DataTable::complete
    std::vector<a4::TableEntry> entries;  // the stream's, in file order
    std::vector<a4::TableEntry> all_entries;  // every stream's, when the table is complete
};

using ReaderType = kit::Type<ReaderFields, &ReaderFields::path, &ReaderFields::streams, &ReaderFields::sensor_size,
                             &ReaderFields::compression>;
using Reader = ReaderType::Self;

Reader* initialised(PyObject* self) {
    Reader* r = ReaderType::of(self);
    if (!r->path) kit::raise(PyExc_RuntimeError, "Aedat4Reader.__init__() was not called");
    return r;
}

constexpr kit::Param kPathParam{"path", "Union[str, os.PathLike]"};

constexpr auto kReaderInit =
    kit::type_init("Aedat4Reader", kPathParam, kit::Param{"chunk_size", "int", "1000000", nullptr, false, true},
                   kit::Param{"stream", "Optional[Union[int, str]]", "None", nullptr, false, true});

int reader_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kReaderInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            const std::size_t chunk = kit::arg_chunk_size(a[1], 1000000);
            if (a[2] && a[2] != Py_None && !PyLong_Check(a[2]) && !PyUnicode_Check(a[2]))
                kit::raise_arg_type("stream", "int, str or None", a[2]);
            kit::File file(path.get());
            Header h = read_header(file, path.get());
            const std::vector<a4::StreamInfo> streams = parse_streams(h.info, path.get());
            const a4::StreamInfo& chosen = choose_stream(streams, a[2], path.get());
            auto table = read_data_table(file, path.get(), h.layout, chosen.id);
            Reader* self = ReaderType::of(self_obj);
            self->streams = streams_tuple(streams);
            self->sensor_size = sensor_size_of(chosen);
            self->compression = kit::str(compression_name(h.layout.compression));
            self->chunk_size = chunk;
            self->stream = chosen.id;
            self->layout = h.layout;
            self->has_table = table.has_value();
            self->table_complete = table && table->complete;
            if (table) self->all_entries = std::move(table->all);
            self->entries = table ? std::move(table->entries) : std::vector<a4::TableEntry>{};
            self->path = std::move(path);
            return 0;
        },
        -1);
}

PyObject* reader_iter(PyObject* self_obj) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        return kit::make_generator(chunks_of(self->path.copy(), self->layout, self->stream, self->chunk_size, false,
                                             self->table_complete ? self->all_entries : std::vector<a4::TableEntry>{}),
                                   "Aedat4Reader.__iter__", self_obj)
            .release();
    });
}

long long table_events(const Reader* self) {
    long long n = 0;
    for (const auto& e : self->entries) n += e.count;
    return n;
}

constexpr auto kReadAll = kit::method("read_all", "np.ndarray");
constexpr auto kWindow = kit::method("read_time_window", "np.ndarray", kit::Param{"t_start", "int"},
                                     kit::Param{"t_end", "int"});

PyObject* reader_read_all(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        // One chunk of the size the table gives, allocated at once when the
        // file could hold that many (16 bytes an event, expanded at most 256
        // times); otherwise grown as events come. A table that is wrong costs
        // a concatenation or a shrink, never more memory than the file allows.
        const long long expected = self->has_table ? table_events(self) : 0;
        const bool plausible = expected > 0 && expected <= self->layout.file_size / 16 * 256;
        const std::size_t chunk = expected > 0 ? static_cast<std::size_t>(expected) : static_cast<std::size_t>(PY_SSIZE_T_MAX);
        Ref gen = kit::make_generator(chunks_of(self->path.copy(), self->layout, self->stream, chunk, plausible,
                                                plausible && self->table_complete ? self->all_entries
                                                                                  : std::vector<a4::TableEntry>{}),
                                      "Aedat4Reader.read_all");
        Ref parts = kit::check(PySequence_List(gen.get()));
        const Py_ssize_t k = PyList_GET_SIZE(parts.get());
        if (k == 0) return np::empty(0).release();
        if (k == 1) return kit::new_ref(PyList_GET_ITEM(parts.get(), 0));
        return PyArray_Concatenate(parts.get(), 0);
    });
}

// A time bound as an event time: below 0 is 0, beyond 2**64 - 1 is that.
std::uint64_t time_bound(PyObject* o, const char* param) {
    Ref v = kit::arg_int_exact(o, param);
    int overflow = 0;
    const long long t = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (t == -1 && PyErr_Occurred()) kit::raise();
    if (overflow < 0 || (!overflow && t < 0)) return 0;
    if (overflow > 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(t);
}

// Events of [lo, hi) of the packets read so far, growing as they come.
class Window {
public:
    Window(std::uint64_t lo, std::uint64_t hi) : chunks_(static_cast<std::size_t>(PY_SSIZE_T_MAX)), lo_(lo), hi_(hi) {}

    // The packet's events in the window; the range of all its t.
    a4::WindowCount add(const unsigned char* elements, std::size_t n) {
        a4::WindowCount c;
        {
            kit::MaybeNoGil nogil(n * a4::kElementSize >= kit::kReleaseGilBytes);
            c = a4::count_window(elements, n, lo_, hi_);
        }
        if (c.bad < n || c.inside == 0) return c;
        Event* out = chunks_.reserve(c.inside);
        {
            kit::MaybeNoGil nogil(n * a4::kElementSize >= kit::kReleaseGilBytes);
            a4::decode_window(elements, n, lo_, hi_, out);
        }
        chunks_.added(c.inside);
        return c;
    }

    Ref result() {
        Ref r = chunks_.finish();
        return r ? std::move(r) : np::empty(0);
    }

private:
    kit::ChunkBuilder chunks_;
    std::uint64_t lo_, hi_;
};

// The window through the data table; null when a packet disagrees with it
// (the caller reads sequentially instead).
Ref window_by_table(const Reader* self, std::uint64_t lo, std::uint64_t hi) {
    Packets packets(self->path.get(), self->layout, self->stream);
    Window w(lo, hi);
    for (const a4::TableEntry& entry : self->entries) {
        if (entry.count == 0 || entry.last < 0 || static_cast<std::uint64_t>(entry.last) < lo ||
            (entry.first >= 0 && static_cast<std::uint64_t>(entry.first) >= hi))
            continue;
        a4::Elements e;
        const unsigned char* base = nullptr;
        if (!packets.at(entry, e, base)) return {};
        const a4::WindowCount c = w.add(base + e.first, e.count);
        if (c.bad < e.count) raise_bad_element(self->path.get(), entry.offset, c.bad, base, e);
        if (static_cast<long long>(e.count) != entry.count || static_cast<long long>(c.min_t) < entry.first ||
            static_cast<long long>(c.max_t) > entry.last)
            return {};
    }
    return w.result();
}

Ref window_by_reading(const Reader* self, std::uint64_t lo, std::uint64_t hi) {
    Packets packets(self->path.get(), self->layout, self->stream);
    Window w(lo, hi);
    a4::Elements e;
    const unsigned char* base = nullptr;
    long long at = 0;
    while (packets.next(e, base, at)) {
        const a4::WindowCount c = w.add(base + e.first, e.count);
        if (c.bad < e.count) raise_bad_element(self->path.get(), at, c.bad, base, e);
    }
    return w.result();
}

PyObject* reader_window(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWindow, args, nargs, kwnames);
        const std::uint64_t lo = time_bound(a[0], "t_start"), hi = time_bound(a[1], "t_end");
        const Reader* self = initialised(self_obj);
        if (hi <= lo) return np::empty(0).release();
        if (self->has_table)
            if (Ref r = window_by_table(self, lo, hi)) return r.release();
        return window_by_reading(self, lo, hi).release();
    });
}

PyObject* reader_get_stream(PyObject* self_obj, void*) {
    return kit::guard([&] { return PyLong_FromLong(initialised(self_obj)->stream); });
}

PyObject* reader_get_has_table(PyObject* self_obj, void*) {
    return kit::guard([&] { return kit::boolean(initialised(self_obj)->has_table); });
}

PyObject* reader_get_time_span(PyObject* self_obj, void*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        std::int64_t lo = 0, hi = 0;
        bool any = false;
        for (const auto& e : self->entries) {
            if (e.count == 0) continue;
            lo = any ? std::min(lo, e.first) : e.first;
            hi = any ? std::max(hi, e.last) : e.last;
            any = true;
        }
        if (!self->has_table || !any) return kit::none();
        return Py_BuildValue("(LL)", static_cast<long long>(lo), static_cast<long long>(hi));
    });
}

PyObject* reader_get_n_events(PyObject* self_obj, void*) {
    return kit::guard([&] {
        const Reader* self = initialised(self_obj);
        if (!self->has_table) return kit::none();
        return PyLong_FromLongLong(table_events(self));
    });
}

const char* const kReaderDoc =
    "Reader for iniVation AEDAT4 recordings, without dv-processing.\n\n"
    "The header is read at construction: ``streams`` describes every stream of\n"
    "the file (a dict each: id, name, type such as 'EVTS', 'FRME', 'IMUS' or\n"
    "'TRIG', and sensor_size where the file gives one), ``stream`` is the id of\n"
    "the event stream read (``stream=``: an id, a name, or None for the first\n"
    "event stream), ``sensor_size`` its (width, height) or None, ``compression``\n"
    "'none', 'lz4', 'lz4_high', 'zstd' or 'zstd_high'. Packets of other streams\n"
    "are skipped. LZ4 is decoded here; Zstandard needs the zstandard package.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly ``chunk_size`` events but\n"
    "the last, in file order, decoding one packet at a time (memory does not\n"
    "grow with the file); each iteration reads the file anew. t is the file's\n"
    "timestamp (microseconds), p is 1 for ON events and 0 for OFF.\n\n"
    "The data table at the end of the file (``has_table``) gives ``n_events``\n"
    "and ``time_span`` without reading the events, and lets\n"
    "read_time_window() read only the packets whose time range meets the\n"
    "window. A file without one (a recording that was never closed), or with\n"
    "one that does not parse or points outside the packets, is read\n"
    "sequentially, as are windows whose packets disagree with the table.\n"
    "When the table lists every packet of the file (as a closed recording's\n"
    "does), iteration and read_all() decode uncompressed and LZ4 packets on\n"
    "all the cores the process may use, checking each packet against its\n"
    "entry; from a packet that disagrees on they go on one packet at a time.\n"
    "The events are the same either way.\n\n"
    "Raises:\n"
    "    FileNotFoundError (and other OSError): the file cannot be opened.\n"
    "    ValueError: not an AEDAT4 file, a damaged IO header or info node, no\n"
    "        such stream or not an event stream, chunk_size below 1.\n"
    "        Iteration raises ValueError, after the events of the packets\n"
    "        before, at a packet that runs past the end of the file (a cut\n"
    "        file), does not decompress or parse, or holds an event with a\n"
    "        negative t, x or y; the message names the file and the byte.\n"
    "    ImportError: the file is Zstandard-compressed and zstandard is not\n"
    "        installed.\n\n"
    "Example:\n"
    "    >>> reader = Aedat4Reader(\"recording.aedat4\")\n"
    "    >>> reader.sensor_size, reader.n_events\n"
    "    ((640, 480), 1250000)\n"
    "    >>> for chunk in reader:\n"
    "    ...     frames = events_to_frames(chunk, reader.sensor_size)\n";

const char* const kReadAllDoc =
    "Read every event of the stream into one array (the whole recording in\n"
    "memory: iterate for large files).\n";

const char* const kWindowDoc =
    "Events with t_start <= t < t_end, in file order, as read_all() gives them.\n\n"
    "With a data table only the packets whose first..last time meets the\n"
    "window are read (a packet that disagrees with its entry makes the call\n"
    "read the file sequentially instead); without one every packet is read.\n";

// ---------------------------------------------------------------------------
// Writing.

// Compression: LZ4 here, Zstandard through the zstandard package.
struct Compressor {
    Compression c = Compression::none;
    Ref fn;                             // zstandard: bytes -> compressed bytes
    Ref out;                            // zstandard: the last bytes it gave
    std::vector<unsigned char> frame;  // LZ4: the last frame made

    void refs(auto&& f) {
        f(fn);
        f(out);
    }

    static Compressor load(Compression c) {
        Compressor k;
        k.c = c;
        if (c == Compression::none || is_lz4(c)) return k;
        Ref cls = kit::import_optional("zstandard", "ZstdCompressor",
                                       "writing Zstandard-compressed AEDAT4 files needs the zstandard package: pip install zstandard");
        Ref level = kit::from_ll(c == Compression::zstd_high ? 19 : 3);
        Ref compressor = call_with_keyword(cls.get(), nullptr, Ref(kit::str("level")).get(), level.get());
        k.fn = kit::getattr(compressor.get(), "compress");
        return k;
    }

    // The bytes compressed as the file says; the view holds until the next
    // call.
    View operator()(const unsigned char* p, std::size_t n) {
        if (c == Compression::none) return {p, n};
        if (is_lz4(c)) {
            if (!kn::lz4::encode(p, n, c == Compression::lz4_high ? 9 : 0, frame)) throw std::bad_alloc();
            return {frame.data(), frame.size()};
        }
        Ref input = bytes_view(p, n);
        out = kit::call(fn.get(), input.get());
        if (!PyBytes_Check(out.get())) kit::raise(PyExc_TypeError, "the compressor did not return bytes");
        return {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(out.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(out.get()))};
    }
};

// The info node a writer puts in its header: one event stream, with its size
// when known, padded with blanks to `room` bytes.
std::string info_node(Compression c, std::uint32_t width, std::uint32_t height, std::size_t room = 0) {
    std::string s = "<dv version=\"2.0\">\n"
                    "    <node name=\"outInfo\" path=\"/outInfo/\">\n"
                    "        <node name=\"0\" path=\"/outInfo/0/\">\n"
                    "            <attr key=\"compression\" type=\"string\">";
    s += compression_label(c);
    s += "</attr>\n"
         "            <attr key=\"originalModuleName\" type=\"string\">morvel.io</attr>\n"
         "            <attr key=\"originalOutputName\" type=\"string\">events</attr>\n"
         "            <attr key=\"typeDescription\" type=\"string\">Array of events (polarity ON/OFF).</attr>\n"
         "            <attr key=\"typeIdentifier\" type=\"string\">EVTS</attr>\n"
         "            <node name=\"info\" path=\"/outInfo/0/info/\">\n";
    if (width) {
        s += "                <attr key=\"sizeX\" type=\"int\">" + std::to_string(width) + "</attr>\n";
        s += "                <attr key=\"sizeY\" type=\"int\">" + std::to_string(height) + "</attr>\n";
    }
    s += "                <attr key=\"source\" type=\"string\">morvel.io</attr>\n"
         "            </node>\n"
         "        </node>\n"
         "    </node>\n"
         "</dv>\n";
    if (s.size() < room) s.append(room - s.size(), ' ');
    return s;
}

// A file being written: packets of kPacketEvents events, the data table and
// the final header at the end. Without a sensor size the header's info node
// gets one at the end: one past the largest x and y written (faery reads no
// file without one), in room left for it at the start.
struct Output {
    kit::File file;
    Compression compression = Compression::none;
    Compressor compress;
    std::string info;
    std::uint32_t width = 0, height = 0;
    std::vector<unsigned char> packet;  // packet header + payload of the packet being filled
    std::size_t pending = 0;            // its events
    a4::PacketRange range;              // of the packet being filled
    a4::PacketRange all;                // of every event written
    std::vector<a4::TableEntry> entries;
    long long pos = 0;  // where the next packet goes
    long long n_events = 0;

    void refs(auto&& f) { compress.refs(f); }

    Output(kit::File f, Compression c, std::uint32_t w, std::uint32_t h)
        : file(std::move(f)), compression(c), compress(Compressor::load(c)),
          info(info_node(c, w, h, w ? 0 : info_node(c, 32768, 32768).size())), width(w), height(h),
          packet(a4::kPacketHeaderSize + a4::event_packet_bytes(kPacketEvents)) {}

    void write_header(long long data_table) {
        std::vector<unsigned char> head(a4::kMagicSize + a4::io_header_bytes(info.size()));
        std::memcpy(head.data(), a4::kMagic, a4::kMagicSize);
        a4::write_io_header(head.data() + a4::kMagicSize, static_cast<std::int32_t>(compression), data_table, info);
        file.write_all(reinterpret_cast<const char*>(head.data()), head.size());
    }

    void start() {
        write_header(-1);
        pos = static_cast<long long>(a4::kMagicSize + a4::io_header_bytes(info.size()));
    }

    // Bytes at the end of the file, compressed as the file says; the
    // payload's size.
    std::size_t write_payload(unsigned char* header, const unsigned char* p, std::size_t n) {
        const View packed = compress(p, n);
        const unsigned char* data = packed.data;
        const std::size_t size = packed.size;
        if (size > static_cast<std::size_t>(INT32_MAX)) kit::raise(PyExc_OverflowError, "packet too large");
        if (header) {
            const std::int32_t sid = 0, sz = static_cast<std::int32_t>(size);
            std::memcpy(header, &sid, 4);
            std::memcpy(header + 4, &sz, 4);
            file.write_all(reinterpret_cast<const char*>(header), a4::kPacketHeaderSize);
        }
        file.write_all(reinterpret_cast<const char*>(data), size);
        return size;
    }

    void flush_packet() {
        if (pending == 0) return;
        unsigned char* payload = packet.data() + a4::kPacketHeaderSize;
        a4::write_event_packet_head(payload, pending);
        const std::size_t size = write_payload(packet.data(), payload, a4::event_packet_bytes(pending));
        const long long at = pos + static_cast<long long>(a4::kPacketHeaderSize);
        entries.push_back({at, 0, static_cast<std::int32_t>(size), static_cast<std::int64_t>(pending),
                           static_cast<std::int64_t>(range.min_t), static_cast<std::int64_t>(range.max_t)});
        pos = at + static_cast<long long>(size);
        pending = 0;
        all.add(range);
        range = {};
    }

    // Checked events: into packets, each written as it fills.
    void add(const Event* ev, std::size_t n) {
        while (n) {
            const std::size_t k = std::min(n, kPacketEvents - pending);
            unsigned char* out = packet.data() + a4::kPacketHeaderSize + a4::event_packet_bytes(pending);
            range.add(a4::encode_elements(ev, k, out));
            pending += k;
            n_events += static_cast<long long>(k);
            ev += k;
            n -= k;
            if (pending == kPacketEvents) flush_packet();
        }
    }

    // The last packet, the data table and the header that points to it.
    void finish() {
        flush_packet();
        std::vector<unsigned char> table(a4::data_table_bytes(entries.size()));
        a4::write_data_table(table.data(), entries.data(), entries.size());
        const long long table_at = pos;
        write_payload(nullptr, table.data(), table.size());
        if (!width && n_events) info = info_node(compression, all.max_x + 1u, all.max_y + 1u, info.size());
        file.seek(0);
        write_header(table_at);
        file.close_checked();
    }
};

// Events for a writer, all checked before any is written.
kit::EventRecords checked_events(PyObject* events, std::uint32_t width, std::uint32_t height, long long first_index) {
    kit::EventRecords r = kit::event_records(events, kCoordinateLimit);
    a4::EventCheck c;
    {
        kit::MaybeNoGil nogil(r.n * sizeof(Event) >= kit::kReleaseGilBytes);
        c = a4::check_events(r.data, r.n, width, height);
    }
    if (c.fault != a4::EventFault::none) {
        const Event& e = r.data[c.index];
        if (c.fault == a4::EventFault::outside_sensor)
            kit::raise(PyExc_ValueError, "cannot encode event %lld (x=%u, y=%u): outside the %ux%u sensor",
                       first_index + static_cast<long long>(c.index), unsigned{e.x}, unsigned{e.y}, width, height);
        raise_unencodable(first_index + static_cast<long long>(c.index), e, a4::event_fault_message(c.fault));
    }
    return r;
}

// sensor_size for writing: None, or two sizes in 1..32768.
Ref checked_sensor_size(PyObject* arg, std::uint32_t& width, std::uint32_t& height) {
    width = height = 0;
    if (!arg || arg == Py_None) return Ref::borrow(Py_None);
    const kit::SensorSize s = kit::arg_sensor_size(arg);
    if (s.width < 1 || s.width > a4::kMaxSensorSide || s.height < 1 || s.height > a4::kMaxSensorSide)
        kit::raise(PyExc_ValueError, "sensor_size must be within 1..32768 on both sides, got %R", arg);
    width = static_cast<std::uint32_t>(s.width);
    height = static_cast<std::uint32_t>(s.height);
    return kit::check(Py_BuildValue("(LL)", s.width, s.height));
}

struct WriterFields {
    Ref path, sensor_size, compression;
    std::optional<Output> out;  // empty once closed
    bool initialised = false;
    bool busy = false;  // a call is writing (the GIL is released while data moves)
};

const char* const kBusy = "Aedat4Writer is already in use by another call";

using WriterType = kit::Type<WriterFields, &WriterFields::path, &WriterFields::sensor_size,
                             &WriterFields::compression, &WriterFields::out>;
using Writer = WriterType::Self;

Writer* open_writer(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->initialised) kit::raise(PyExc_RuntimeError, "Aedat4Writer.__init__() was not called");
    if (!w->out) kit::raise(PyExc_ValueError, "I/O operation on closed Aedat4Writer");
    return w;
}

constexpr kit::Param kSensorParam{"sensor_size", "Optional[Tuple[int, int]]", "None", nullptr, false, true};
constexpr kit::Param kCompressionParam{"compression", "Optional[str]", "'lz4'", nullptr, false, true};

constexpr auto kWriterInit = kit::type_init("Aedat4Writer", kPathParam, kSensorParam, kCompressionParam);

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kWriterInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            std::uint32_t width, height;
            Ref size = checked_sensor_size(a[1], width, height);
            const Compression c = compression_from_argument(a[2]);
            Compressor::load(c);  // a missing package is an ImportError before the file is made
            Writer* self = WriterType::of(self_obj);
            kit::Busy busy(self->busy, kBusy);
            if (self->out) {  // a second __init__ finishes the first file
                Output old = std::move(*self->out);
                self->out.reset();
                old.finish();
            }
            Output out(kit::File(path.get(), kit::File::Write), c, width, height);
            out.start();
            self->out.emplace(std::move(out));
            self->path = std::move(path);
            self->sensor_size = std::move(size);
            self->compression = kit::str(compression_name(c));
            self->initialised = true;
            return 0;
        },
        -1);
}

constexpr auto kAppend = kit::method("append", "None", kit::Param{"events", "np.ndarray"});
constexpr auto kClose = kit::method("close", "None");
constexpr auto kEnter = kit::method("__enter__", "Aedat4Writer");
constexpr auto kExit = kit::method("__exit__", "bool", kit::Param{"*exc_info"});

PyObject* writer_append(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kAppend, args, nargs, kwnames);
        Writer* self = open_writer(self_obj);
        kit::Busy busy(self->busy, kBusy);
        Output& out = *self->out;
        const kit::EventRecords r = checked_events(a[0], out.width, out.height, out.n_events);
        out.add(r.data, r.n);
        return kit::none();
    });
}

// Finish and close the file (the file is closed even when finishing fails).
void close_writer(Writer* self) {
    if (!self->out) return;
    kit::Busy busy(self->busy, kBusy);
    Output out = std::move(*self->out);
    self->out.reset();
    out.finish();
}

PyObject* writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_writer(WriterType::of(self_obj));
        return kit::none();
    });
}

PyObject* writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::new_ref(open_writer(self_obj)); });
}

PyObject* writer_exit(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_writer(WriterType::of(self_obj));
        return kit::boolean(false);
    });
}

void writer_finalize(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->out) return;
    kit::KeepError keep;
    if (!kit::guard([&] { close_writer(w); return true; }, false)) PyErr_WriteUnraisable(self_obj);
}

PyObject* writer_get_n_events(PyObject* self_obj, void*) {
    const Writer* self = WriterType::of(self_obj);
    return PyLong_FromLongLong(self->out ? self->out->n_events : 0);
}

PyObject* writer_get_closed(PyObject* self_obj, void*) { return kit::boolean(!WriterType::of(self_obj)->out); }

constexpr auto kWriteAedat4 = kit::function("write_aedat4", "None", kPathParam, kit::Param{"events", "np.ndarray"},
                                            kSensorParam, kCompressionParam);

PyObject* write_aedat4(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWriteAedat4, args, nargs, kwnames);
        Ref path = kit::arg_path(a[0]);
        std::uint32_t width, height;
        Ref size = checked_sensor_size(a[2], width, height);
        const Compression c = compression_from_argument(a[3]);
        Compressor::load(c);
        // Everything is checked before the file is touched.
        const kit::EventRecords r = checked_events(a[1], width, height, 0);
        Output out(kit::File(path.get(), kit::File::Write), c, width, height);
        out.start();
        out.add(r.data, r.n);
        out.finish();
        return kit::none();
    });
}

const char* const kWriterDoc =
    "Streaming writer of iniVation AEDAT4 recordings that dv-processing, faery\n"
    "and evlib read: one event stream ('events', with sensor_size in its info\n"
    "node when given), packets of 10,000 events, a data table and the header\n"
    "pointing to it written at close().\n\n"
    "compression: 'lz4' (the default, as dv-processing's), 'lz4_high', 'zstd',\n"
    "'zstd_high' (the Zstandard ones through the zstandard package) or 'none'\n"
    "/ None.\n"
    "append() takes EVENT_DTYPE arrays or any structured array with fields t,\n"
    "x, y, p and checks a whole array before it takes any of it: t below 2**63,\n"
    "x and y in [0, 32768) and inside sensor_size when given, p 0 or 1\n"
    "(ValueError naming the first event that is not). Events are written in\n"
    "the order given. A context manager; close() is idempotent, append() after\n"
    "it raises ValueError; a writer dropped without close() still finishes its\n"
    "file.\n\n"
    "Raises:\n"
    "    ValueError: an unknown compression, a sensor_size outside 1..32768.\n"
    "    ImportError: a Zstandard compression without the zstandard package\n"
    "        (before the file is created).\n";

const char* const kWriteDoc =
    "Write events as an AEDAT4 recording (as Aedat4Writer writes it).\n\n"
    "Every event is checked before the file is touched: t below 2**63, x and y\n"
    "in [0, 32768) and inside sensor_size when given, p 0 or 1; otherwise\n"
    "ValueError names the first that is not. Aedat4Reader, dv-processing and\n"
    "faery read back the same events.\n";

}  // namespace

void add_aedat4(PyObject* m) {
    static PyMethodDef reader_methods[] = {
        kit::def(kReadAll, reader_read_all, kReadAllDoc),
        kit::def(kWindow, reader_window, kWindowDoc),
        kit::kEndMethods,
    };
    static PyGetSetDef reader_getset[] = {
        kit::ref_field<ReaderFields, &ReaderFields::path>("path", "Path of the file."),
        kit::ref_field<ReaderFields, &ReaderFields::streams>("streams",
                                                             "The file's streams: dicts of id, name, type, sensor_size."),
        kit::ref_field<ReaderFields, &ReaderFields::sensor_size>(
            "sensor_size", "(width, height) of the stream read, from the info node, or None."),
        kit::ref_field<ReaderFields, &ReaderFields::compression>(
            "compression", "'none', 'lz4', 'lz4_high', 'zstd' or 'zstd_high'."),
        kit::int_field<ReaderFields, &ReaderFields::chunk_size>("chunk_size", "Events per chunk."),
        {"stream", reader_get_stream, nullptr, "Id of the event stream read.", nullptr},
        {"has_table", reader_get_has_table, nullptr, "True when the file has a readable data table.", nullptr},
        {"time_span", reader_get_time_span, nullptr,
         "(first t, last t) of the stream from the data table, or None (no table, no events).", nullptr},
        {"n_events", reader_get_n_events, nullptr, "Events of the stream from the data table, or None (no table).",
         nullptr},
        kit::kEndGetSet,
    };
    ReaderType::add(m, "morvel.io.recordings.Aedat4Reader",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kReaderInit, kReaderDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(reader_init)},
                     {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
                     {Py_tp_methods, reader_methods},
                     {Py_tp_getset, reader_getset}});

    static PyMethodDef writer_methods[] = {
        kit::def(kAppend, writer_append,
                 "Write events (EVENT_DTYPE, or any structured array with fields t, x, y,\n"
                 "p). Nothing of the array is taken when one of its events cannot be\n"
                 "written (ValueError).\n"),
        kit::def(kClose, writer_close, "Write the last packet, the data table and the header; close the file.\n"),
        kit::def(kEnter, writer_enter, "Return the writer itself."),
        kit::def(kExit, writer_exit, "Close the writer; exceptions are not suppressed."),
        kit::kEndMethods,
    };
    static PyGetSetDef writer_getset[] = {
        kit::ref_field<WriterFields, &WriterFields::path>("path", "Path of the file."),
        kit::ref_field<WriterFields, &WriterFields::sensor_size>("sensor_size",
                                                                 "(width, height) written to the info node, or None."),
        kit::ref_field<WriterFields, &WriterFields::compression>("compression", "The packets' compression."),
        {"n_events", writer_get_n_events, nullptr, "Events appended so far.", nullptr},
        {"closed", writer_get_closed, nullptr, "True once closed.", nullptr},
        kit::kEndGetSet,
    };
    WriterType::add(m, "morvel.io.recordings.Aedat4Writer",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kWriterInit, kWriterDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(writer_init)},
                     {Py_tp_finalize, reinterpret_cast<void*>(writer_finalize)},
                     {Py_tp_methods, writer_methods},
                     {Py_tp_getset, writer_getset}});
    static PyMethodDef defs[] = {kit::def(kWriteAedat4, write_aedat4, kWriteDoc)};
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::recordings
