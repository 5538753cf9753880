// iniVation AEDAT4 files, byte by byte: reading and building the FlatBuffers
// tables they are made of, the XML that names their streams, and the event
// packets.
//
// A file is laid out as
//     "#!AER-DAT4.0\r\n"
//     u32 n, then an n-byte FlatBuffer "IOHE": the compression of every
//         packet (i32: 0 none, 1 LZ4, 2 LZ4 high, 3 Zstd, 4 Zstd high), the
//         file offset of the data table (i64, -1 while there is none) and
//         the info node (an XML string naming the streams);
//     packets, one after the other: i32 stream id, i32 size, and `size`
//         bytes of payload: one size-prefixed FlatBuffer (u32 n, n bytes),
//         compressed as the header says. Event packets ("EVTS") hold one
//         table whose field 0 is a vector of 16-byte structs
//         {i64 t, i16 x, i16 y, bool on, 3 bytes of padding};
//     the data table, at the offset the header gives, running to the end of
//         the file, compressed like the packets, with no packet header: a
//         size-prefixed FlatBuffer "FTAB" whose field 0 is a vector of one
//         table per packet {i64 payload offset, struct {i32 stream, i32
//         size}, i64 element count, i64 first t, i64 last t}. The offset is
//         that of the payload (just past the packet header).
// All little-endian. Alignment inside a FlatBuffer counts from its size
// prefix; readers here load every value unaligned, writers keep it.
//
// The reading side never trusts a length or an offset: every one is checked
// against the buffer it points into before it is followed, and the result
// says where (as a byte offset in that buffer) a check failed. Nothing here
// allocates or throws: output goes to caller memory, sized by a first call
// where a count is not known in advance.
#pragma once

#include "event.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace morvel::kernels::aedat4 {

inline constexpr char kMagic[] = "#!AER-DAT4.0\r\n";
inline constexpr std::size_t kMagicSize = sizeof(kMagic) - 1;  // 14
inline constexpr std::size_t kPacketHeaderSize = 8;            // i32 stream id, i32 size
inline constexpr std::size_t kElementSize = 16;                // one event in a packet

enum class Compression : std::int32_t { none = 0, lz4 = 1, lz4_high = 2, zstd = 3, zstd_high = 4 };

inline bool valid_compression(std::int64_t c) noexcept { return c >= 0 && c <= 4; }

inline std::int32_t load_i32(const unsigned char* p) noexcept { return static_cast<std::int32_t>(load_u32(p)); }
inline std::int64_t load_i64(const unsigned char* p) noexcept { return static_cast<std::int64_t>(load_u64(p)); }

// What a parse found. `at` is the byte offset, in the buffer parsed, of the
// value that failed a check (0 when fine).
enum class Status : std::uint8_t {
    ok,
    short_buffer,      // too small for its size prefix, root offset or identifier
    bad_size_prefix,   // the size prefix runs past the bytes given
    bad_identifier,    // another file identifier than expected
    bad_table,         // a table or its vtable outside the buffer or malformed
    bad_field,         // a field outside its table
    bad_offset,        // an offset to a vector, string or table outside the buffer
    bad_vector,        // a vector whose elements run past the buffer
    bad_string,        // a string running past the buffer
    bad_entry,         // a data table entry without its packet header
};

struct Result {
    Status status = Status::ok;
    std::size_t at = 0;
    bool ok() const noexcept { return status == Status::ok; }
};

inline const char* status_message(Status s) noexcept {
    switch (s) {
        case Status::ok: return "fine";
        case Status::short_buffer: return "too short for a FlatBuffer";
        case Status::bad_size_prefix: return "its size prefix runs past its bytes";
        case Status::bad_identifier: return "it has another file identifier";
        case Status::bad_table: return "a table or its vtable lies outside the buffer";
        case Status::bad_field: return "a field lies outside its table";
        case Status::bad_offset: return "an offset points outside the buffer";
        case Status::bad_vector: return "a vector runs past the buffer";
        case Status::bad_string: return "a string runs past the buffer";
        case Status::bad_entry: return "a data table entry has no packet header";
    }
    return "unknown";
}

// ---------------------------------------------------------------------------
// FlatBuffers, read with a check before every step.

// A table found at `pos` in a buffer of `size` bytes.
struct Table {
    std::size_t pos = 0;     // the table (its soffset to the vtable)
    std::size_t vtable = 0;  // its vtable
    std::size_t vsize = 0;   // vtable bytes (4 + 2 per field slot)
    std::size_t tsize = 0;   // table bytes, as the vtable says
};

class Buffer {
public:
    Buffer(const unsigned char* data, std::size_t size) noexcept : d_(data), n_(size) {}

    const unsigned char* data() const noexcept { return d_; }
    std::size_t size() const noexcept { return n_; }
    bool has(std::size_t pos, std::size_t len) const noexcept { return pos <= n_ && len <= n_ - pos; }

    // The table at `pos`: its soffset leads to a vtable inside the buffer,
    // whose two sizes are sane, and the table's bytes are inside it too.
    Result table(std::size_t pos, Table& t) const noexcept {
        if (!has(pos, 4)) return {Status::bad_table, pos};
        const std::int64_t vt = static_cast<std::int64_t>(pos) - load_i32(d_ + pos);
        if (vt < 0 || !has(static_cast<std::size_t>(vt), 4)) return {Status::bad_table, pos};
        const auto v = static_cast<std::size_t>(vt);
        const std::size_t vsize = load_u16(d_ + v), tsize = load_u16(d_ + v + 2);
        if (vsize < 4 || (vsize & 1) || !has(v, vsize)) return {Status::bad_table, v};
        if (tsize < 4 || !has(pos, tsize)) return {Status::bad_table, v + 2};
        t = {pos, v, vsize, tsize};
        return {};
    }

    // Offset of field `index` in table `t` (0: absent), checked to hold `width`
    // bytes inside the table.
    Result field(const Table& t, std::size_t index, std::size_t width, std::size_t& at) const noexcept {
        at = 0;
        const std::size_t slot = 4 + 2 * index;
        if (slot + 2 > t.vsize) return {};  // beyond the vtable: absent
        const std::size_t off = load_u16(d_ + t.vtable + slot);
        if (off == 0) return {};
        if (off < 4 || off > t.tsize || width > t.tsize - off) return {Status::bad_field, t.vtable + slot};
        at = t.pos + off;
        return {};
    }

    template <class T>
    Result scalar(const Table& t, std::size_t index, T fallback, T& out) const noexcept {
        std::size_t at;
        const Result r = field(t, index, sizeof(T), at);
        if (!r.ok()) return r;
        if (at == 0) {
            out = fallback;
        } else {
            std::memcpy(&out, d_ + at, sizeof(T));
        }
        return {};
    }

    // The position an offset field points to (0: the field is absent).
    Result reference(const Table& t, std::size_t index, std::size_t& target) const noexcept {
        std::size_t at;
        target = 0;
        const Result r = field(t, index, 4, at);
        if (!r.ok() || at == 0) return r;
        const std::uint32_t off = load_u32(d_ + at);
        if (off == 0 || off > n_ - at) return {Status::bad_offset, at};
        target = at + off;
        return {};
    }

    // A vector of `count` elements of `width` bytes at `pos`; `first` is the
    // position of its first element.
    Result vector(std::size_t pos, std::size_t width, std::size_t& first, std::size_t& count) const noexcept {
        if (!has(pos, 4)) return {Status::bad_vector, pos};
        const std::size_t c = load_u32(d_ + pos);
        if (width != 0 && c > (n_ - pos - 4) / width) return {Status::bad_vector, pos};
        first = pos + 4;
        count = c;
        return {};
    }

    Result string(std::size_t pos, std::size_t& first, std::size_t& len) const noexcept {
        if (!has(pos, 4)) return {Status::bad_string, pos};
        const std::size_t c = load_u32(d_ + pos);
        if (c > n_ - pos - 4) return {Status::bad_string, pos};
        first = pos + 4;
        len = c;
        return {};
    }

    // The root table of a FlatBuffer with file identifier `ident` (4 bytes).
    Result root(const char* ident, Table& t) const noexcept {
        if (n_ < 8) return {Status::short_buffer, 0};
        if (std::memcmp(d_ + 4, ident, 4) != 0) return {Status::bad_identifier, 4};
        const std::size_t pos = load_u32(d_);
        if (pos < 8 || pos > n_ - 4) return {Status::bad_offset, 0};
        return table(pos, t);
    }

private:
    const unsigned char* d_;
    std::size_t n_;
};

// A size-prefixed FlatBuffer of `n` bytes: the buffer after its prefix (at
// offset 4). Trailing bytes past what the prefix says are ignored.
inline Result size_prefixed(const unsigned char* p, std::size_t n, Buffer& out) noexcept {
    if (n < 4) return {Status::short_buffer, 0};
    const std::size_t inner = load_u32(p);
    if (inner > n - 4) return {Status::bad_size_prefix, 0};
    out = Buffer(p + 4, inner);
    return {};
}

// Offsets in a size-prefixed buffer, reported from its first byte.
inline Result from_prefix(Result r) noexcept {
    if (!r.ok()) r.at += 4;
    return r;
}

// ---------------------------------------------------------------------------
// The IO header.

struct IoHeader {
    std::int32_t compression = 0;
    std::int64_t data_table = -1;  // file offset of the data table, -1: none
    std::size_t info_at = 0;       // the info node's text, as offsets in the buffer
    std::size_t info_size = 0;
};

// The header's FlatBuffer (after its size prefix). Fields: 0 compression
// (default none), 1 data table position (default -1), 2 info node.
inline Result parse_io_header(const unsigned char* p, std::size_t n, IoHeader& out) noexcept {
    const Buffer b(p, n);
    Table t;
    Result r = b.root("IOHE", t);
    if (!r.ok()) return r;
    IoHeader h;
    if (!(r = b.scalar<std::int32_t>(t, 0, 0, h.compression)).ok()) return r;
    if (!(r = b.scalar<std::int64_t>(t, 1, -1, h.data_table)).ok()) return r;
    std::size_t s;
    if (!(r = b.reference(t, 2, s)).ok()) return r;
    if (s != 0 && !(r = b.string(s, h.info_at, h.info_size)).ok()) return r;
    out = h;
    return {};
}

// ---------------------------------------------------------------------------
// Event packets.

// Where the events of a packet are: `count` elements from `first` (offsets in
// the payload given).
struct Elements {
    std::size_t first = 0;
    std::size_t count = 0;
};

// A decompressed event packet payload (with its size prefix): identifier
// "EVTS", elements in field 0 of the root table (absent: no events).
inline Result parse_event_packet(const unsigned char* p, std::size_t n, Elements& out) noexcept {
    Buffer b(nullptr, 0);
    Result r = size_prefixed(p, n, b);
    if (!r.ok()) return r;
    Table t;
    if (!(r = from_prefix(b.root("EVTS", t))).ok()) return r;
    std::size_t v;
    if (!(r = from_prefix(b.reference(t, 0, v))).ok()) return r;
    out = {};
    if (v == 0) return {};
    std::size_t first, count;
    if (!(r = from_prefix(b.vector(v, kElementSize, first, count))).ok()) return r;
    out = {first + 4, count};
    return {};
}

// One packet element as an event: t, x, y as stored (signed), on as 0/1.
struct Element {
    std::int64_t t;
    std::int16_t x, y;
    std::uint8_t on;
};

MORVEL_INLINE Element load_element(const unsigned char* e) noexcept {
    std::int16_t x, y;
    std::memcpy(&x, e + 8, 2);
    std::memcpy(&y, e + 10, 2);
    return {load_i64(e), x, y, static_cast<std::uint8_t>(e[12] != 0)};
}

// An element that is not an event: a negative t, x or y.
MORVEL_INLINE bool bad_element(const Element& v) noexcept { return (v.t < 0) | (v.x < 0) | (v.y < 0); }

namespace detail {

// The one element at a time decode, with every rule: stops before an element
// that is not an event, takes any nonzero `on` as 1.
inline std::size_t decode_elements_exact(const unsigned char* e, std::size_t n, Event* out, bool& bad) noexcept {
    for (std::size_t i = 0; i < n; ++i, e += kElementSize) {
        const Element v = load_element(e);
        if (bad_element(v)) {
            bad = true;
            return i;
        }
        out[i] = Event{static_cast<std::uint64_t>(v.t), static_cast<std::uint16_t>(v.x),
                       static_cast<std::uint16_t>(v.y), v.on};
    }
    return n;
}

}  // namespace detail

// Decodes `n` elements at `e` into `out`, stopping before the first that is
// not an event. Returns the events written; `bad` says whether it stopped.
//
// An element's first 13 bytes are an event record already (t, x, y, then on
// as 0 or 1), so blocks are copied 16 bytes at a time, each copy overlapping
// the next record (the last of all copies 13). The sign bits of t, x and y
// and the high bits of `on` are gathered on the way; a block where one is
// set is decoded again one element at a time.
inline std::size_t decode_elements(const unsigned char* e, std::size_t n, Event* out, bool& bad) noexcept {
    constexpr std::size_t kBlock = 64;
    constexpr std::uint64_t kLowMask = std::uint64_t{1} << 63;         // t < 0
    constexpr std::uint64_t kHighMask = 0x000000FE80008000ull;          // x < 0, y < 0, on > 1
    bad = false;
    auto* o = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    while (n - i > kBlock) {  // a record follows every block copied whole
        std::uint64_t seen = 0;
        const unsigned char* b = e + i * kElementSize;
        unsigned char* w = o + i * kEventSize;
        for (std::size_t j = 0; j < kBlock; ++j) {
            std::uint64_t lo, hi;
            std::memcpy(&lo, b + j * kElementSize, 8);
            std::memcpy(&hi, b + j * kElementSize + 8, 8);
            seen |= (lo & kLowMask) | (hi & kHighMask);
            std::memcpy(w + j * kEventSize, &lo, 8);
            std::memcpy(w + j * kEventSize + 8, &hi, 8);  // 3 bytes into the next record, rewritten by it
        }
        if (seen) {
            const std::size_t k = detail::decode_elements_exact(b, kBlock, out + i, bad);
            if (bad) return i + k;
        }
        i += kBlock;
    }
    // The last block (at most kBlock elements; a record past the end is never touched).
    const std::size_t k = detail::decode_elements_exact(e + i * kElementSize, n - i, out + i, bad);
    return i + k;
}

// What a time window takes from a packet's elements: how many are in
// [lo, hi), the smallest and largest t of all, and the index of the first
// element that is not an event (n when there is none; counting stops there).
struct WindowCount {
    std::size_t inside = 0;
    std::uint64_t min_t = std::numeric_limits<std::uint64_t>::max(), max_t = 0;
    std::size_t bad = 0;
};

inline WindowCount count_window(const unsigned char* e, std::size_t n, std::uint64_t lo, std::uint64_t hi) noexcept {
    WindowCount c;
    for (std::size_t i = 0; i < n; ++i, e += kElementSize) {
        const Element v = load_element(e);
        if (bad_element(v)) {
            c.bad = i;
            return c;
        }
        const auto t = static_cast<std::uint64_t>(v.t);
        c.inside += (t >= lo) & (t < hi);
        c.min_t = t < c.min_t ? t : c.min_t;
        c.max_t = t > c.max_t ? t : c.max_t;
    }
    c.bad = n;
    return c;
}

// Writes the events of the first `n` elements (all events: count_window said
// so) whose t is in [lo, hi) to `out`, in order. Returns how many.
inline std::size_t decode_window(const unsigned char* e, std::size_t n, std::uint64_t lo, std::uint64_t hi,
                                 Event* out) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i, e += kElementSize) {
        const Element v = load_element(e);
        const auto t = static_cast<std::uint64_t>(v.t);
        if (t >= lo && t < hi)
            out[k++] = Event{t, static_cast<std::uint16_t>(v.x), static_cast<std::uint16_t>(v.y), v.on};
    }
    return k;
}

// ---------------------------------------------------------------------------
// The data table.

struct TableEntry {
    std::int64_t offset = 0;  // file offset of the payload
    std::int32_t stream = 0;
    std::int32_t size = 0;    // payload bytes
    std::int64_t count = 0;   // elements
    std::int64_t first = 0, last = 0;
};

// The data table (decompressed, with its size prefix). Entries go to
// out[0, cap); `count` is set to the number in the table, which may be more
// than cap (call again with room for all).
inline Result parse_data_table(const unsigned char* p, std::size_t n, TableEntry* out, std::size_t cap,
                               std::size_t& count) noexcept {
    count = 0;
    Buffer b(nullptr, 0);
    Result r = size_prefixed(p, n, b);
    if (!r.ok()) return r;
    Table t;
    if (!(r = from_prefix(b.root("FTAB", t))).ok()) return r;
    std::size_t v;
    if (!(r = from_prefix(b.reference(t, 0, v))).ok()) return r;
    if (v == 0) return {};
    std::size_t first, m;
    if (!(r = from_prefix(b.vector(v, 4, first, m))).ok()) return r;
    for (std::size_t i = 0; i < m && i < cap; ++i) {
        const std::size_t slot = first + 4 * i;
        const std::uint32_t off = load_u32(b.data() + slot);
        if (off == 0 || off > b.size() - slot) return {Status::bad_offset, slot + 4};
        Table e;
        if (!(r = from_prefix(b.table(slot + off, e))).ok()) return r;
        TableEntry x;
        std::size_t head;
        if (!(r = from_prefix(b.scalar<std::int64_t>(e, 0, 0, x.offset))).ok()) return r;
        if (!(r = from_prefix(b.field(e, 1, 8, head))).ok()) return r;
        if (head == 0) return {Status::bad_entry, e.pos + 4};
        x.stream = load_i32(b.data() + head);
        x.size = load_i32(b.data() + head + 4);
        if (!(r = from_prefix(b.scalar<std::int64_t>(e, 2, 0, x.count))).ok()) return r;
        if (!(r = from_prefix(b.scalar<std::int64_t>(e, 3, 0, x.first))).ok()) return r;
        if (!(r = from_prefix(b.scalar<std::int64_t>(e, 4, 0, x.last))).ok()) return r;
        out[i] = x;
    }
    count = m;
    return {};
}

// ---------------------------------------------------------------------------
// The info node: XML such as
//   <dv version="2.0">
//     <node name="outInfo" path="/outInfo/">
//       <node name="0" path="/outInfo/0/">
//         <attr key="compression" type="string">LZ4</attr>
//         <attr key="originalOutputName" type="string">events</attr>
//         <attr key="typeIdentifier" type="string">EVTS</attr>
//         <node name="info" path="/outInfo/0/info/">
//           <attr key="sizeX" type="int">640</attr>
//           <attr key="sizeY" type="int">480</attr>
// A stream is a <node> whose name is its id (a decimal number) inside the
// <node name="outInfo">; its attributes and those of its "info" child say
// what it is. Everything else is skipped. Texts are returned as found (XML
// escapes included: see xml_unescape) with surrounding blanks removed.

struct StreamInfo {
    std::int32_t id = 0;
    std::string_view name, type, compression;
    std::int32_t width = 0, height = 0;  // 0: not given
};

enum class InfoStatus : std::uint8_t { ok, malformed };

struct InfoResult {
    InfoStatus status = InfoStatus::ok;
    std::size_t count = 0;  // streams found (may exceed the capacity given)
    std::size_t at = 0;     // where the XML stops making sense
};

namespace detail {

inline bool xml_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && xml_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && xml_blank(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal number in [lo, hi], blanks around it allowed.
inline bool parse_number(std::string_view s, std::int64_t lo, std::int64_t hi, std::int64_t& out) noexcept {
    s = trim(s);
    bool neg = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 18) return false;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

// What an element is to the info node.
enum class Role : std::uint8_t { other, out_info, stream, info };

}  // namespace detail

// Sizes of a stream's info node: up to 32768 (coordinates are 16-bit signed).
inline constexpr std::int64_t kMaxSensorSide = 32768;

inline InfoResult parse_info_node(std::string_view xml, StreamInfo* out, std::size_t cap) noexcept {
    using detail::Role;
    constexpr std::size_t kDepth = 64;  // roles of deeper elements are not kept (they are "other")
    Role roles[kDepth];
    std::size_t depth = 0;
    InfoResult res;
    const char* s = xml.data();
    const std::size_t n = xml.size();
    auto role_at = [&](std::size_t d) { return d < kDepth ? roles[d] : Role::other; };
    auto fail = [&](std::size_t at) {
        res.status = InfoStatus::malformed;
        res.at = at;
        return res;
    };
    auto find = [&](std::size_t from, std::string_view what) -> std::size_t {
        const std::size_t k = xml.find(what, from);
        return k == std::string_view::npos ? n : k;
    };
    std::size_t pos = 0;
    for (;;) {
        const std::size_t lt = find(pos, "<");
        if (lt >= n) break;
        const std::string_view rest = xml.substr(lt);
        if (rest.starts_with("<!--")) {
            const std::size_t e = find(lt + 4, "-->");
            if (e >= n) return fail(lt);
            pos = e + 3;
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            const std::size_t e = find(lt + 9, "]]>");
            if (e >= n) return fail(lt);
            pos = e + 3;
            continue;
        }
        if (rest.starts_with("<?") || rest.starts_with("<!")) {
            const std::size_t e = find(lt + 2, ">");
            if (e >= n) return fail(lt);
            pos = e + 1;
            continue;
        }
        if (rest.starts_with("</")) {
            const std::size_t e = find(lt + 2, ">");
            if (e >= n || depth == 0) return fail(lt);
            --depth;
            pos = e + 1;
            continue;
        }
        // A start tag: its name, then name="value" attributes up to > or />.
        std::size_t i = lt + 1;
        const std::size_t name_at = i;
        while (i < n && !detail::xml_blank(s[i]) && s[i] != '>' && s[i] != '/') ++i;
        const std::string_view tag(s + name_at, i - name_at);
        if (tag.empty()) return fail(lt);
        std::string_view node_name, attr_key;
        bool has_name = false, self_closing = false;
        for (;;) {
            while (i < n && detail::xml_blank(s[i])) ++i;
            if (i >= n) return fail(lt);
            if (s[i] == '>') {
                ++i;
                break;
            }
            if (s[i] == '/') {
                if (i + 1 >= n || s[i + 1] != '>') return fail(i);
                self_closing = true;
                i += 2;
                break;
            }
            const std::size_t k0 = i;
            while (i < n && !detail::xml_blank(s[i]) && s[i] != '=' && s[i] != '>' && s[i] != '/') ++i;
            const std::string_view key(s + k0, i - k0);
            while (i < n && detail::xml_blank(s[i])) ++i;
            if (key.empty() || i >= n || s[i] != '=') return fail(i);
            ++i;
            while (i < n && detail::xml_blank(s[i])) ++i;
            if (i >= n || (s[i] != '"' && s[i] != '\'')) return fail(i);
            const char q = s[i++];
            const std::size_t v0 = i;
            while (i < n && s[i] != q) ++i;
            if (i >= n) return fail(v0 - 1);
            const std::string_view value(s + v0, i - v0);
            ++i;
            if (key == "name") {
                node_name = value;
                has_name = true;
            } else if (key == "key") {
                attr_key = value;
            }
        }
        const Role parent = depth == 0 ? Role::other : role_at(depth - 1);
        Role role = Role::other;
        if (tag == "node" && has_name) {
            std::int64_t id;
            if (node_name == "outInfo") {
                role = Role::out_info;
            } else if (parent == Role::out_info && detail::parse_number(node_name, 0, INT32_MAX, id) &&
                       detail::trim(node_name) == node_name) {
                role = Role::stream;
                if (res.count < cap) out[res.count] = StreamInfo{static_cast<std::int32_t>(id), {}, {}, {}, 0, 0};
                ++res.count;
            } else if (parent == Role::stream && node_name == "info") {
                role = Role::info;
            }
        } else if (tag == "attr" && !self_closing && (parent == Role::stream || parent == Role::info)) {
            // Its text runs to the next tag (checked whatever the capacity:
            // only what is written depends on it).
            const std::size_t e = find(i, "<");
            if (e >= n) return fail(i);
            if (res.count > 0 && res.count <= cap) {
                const std::string_view value = detail::trim(xml.substr(i, e - i));
                StreamInfo& st = out[res.count - 1];
                std::int64_t v = 0;
                const bool size_ok = detail::parse_number(value, 1, kMaxSensorSide, v);
                if (parent == Role::stream) {
                    if (attr_key == "typeIdentifier") st.type = value;
                    else if (attr_key == "originalOutputName") st.name = value;
                    else if (attr_key == "compression") st.compression = value;
                } else if (attr_key == "sizeX") {
                    st.width = size_ok ? static_cast<std::int32_t>(v) : 0;
                } else if (attr_key == "sizeY") {
                    st.height = size_ok ? static_cast<std::int32_t>(v) : 0;
                }
            }
        }
        if (!self_closing) {
            if (depth < kDepth) roles[depth] = role;
            ++depth;
        }
        pos = i;
    }
    return res;
}

// XML text without its escapes (&lt; &gt; &amp; &quot; &apos; &#N; &#xN;;
// anything else is kept as it is). `out` has room for in.size() bytes: the
// result is never longer. Returns its length.
inline std::size_t xml_unescape(std::string_view in, char* out) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < in.size();) {
        if (in[i] != '&') {
            out[k++] = in[i++];
            continue;
        }
        const std::size_t semi = in.find(';', i);
        const std::string_view ent = semi == std::string_view::npos ? std::string_view{} : in.substr(i + 1, semi - i - 1);
        char c = 0;
        if (ent == "lt") c = '<';
        else if (ent == "gt") c = '>';
        else if (ent == "amp") c = '&';
        else if (ent == "quot") c = '"';
        else if (ent == "apos") c = '\'';
        if (c) {
            out[k++] = c;
            i = semi + 1;
            continue;
        }
        std::uint32_t cp = 0;
        bool numeric = ent.size() >= 2 && ent.size() <= 8 && ent[0] == '#';
        if (numeric) {
            const bool hex = ent[1] == 'x' || ent[1] == 'X';
            const std::string_view digits = ent.substr(hex ? 2 : 1);
            numeric = !digits.empty();
            for (char d : digits) {
                std::uint32_t v;
                if (d >= '0' && d <= '9') v = static_cast<std::uint32_t>(d - '0');
                else if (hex && d >= 'a' && d <= 'f') v = static_cast<std::uint32_t>(d - 'a' + 10);
                else if (hex && d >= 'A' && d <= 'F') v = static_cast<std::uint32_t>(d - 'A' + 10);
                else {
                    numeric = false;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + v;
            }
            numeric = numeric && cp >= 1 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (!numeric) {
            out[k++] = in[i++];
            continue;
        }
        // UTF-8 of cp: at most 4 bytes for at least 4 bytes of "&#N;".
        if (cp < 0x80) {
            out[k++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            out[k++] = static_cast<char>(0xC0 | (cp >> 6));
            out[k++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[k++] = static_cast<char>(0xE0 | (cp >> 12));
            out[k++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[k++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out[k++] = static_cast<char>(0xF0 | (cp >> 18));
            out[k++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out[k++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[k++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        i = semi + 1;
    }
    return k;
}

// ---------------------------------------------------------------------------
// Writing: the FlatBuffers of a file, laid out as iniVation's own writer lays
// them out (size prefix, root offset, identifier, vtable, table, data), with
// every scalar aligned to its size from the size prefix on.

namespace detail {

inline void put_u16(unsigned char* p, std::uint16_t v) noexcept { std::memcpy(p, &v, 2); }
inline void put_u32(unsigned char* p, std::uint32_t v) noexcept { std::memcpy(p, &v, 4); }
inline void put_i32(unsigned char* p, std::int32_t v) noexcept { std::memcpy(p, &v, 4); }
inline void put_i64(unsigned char* p, std::int64_t v) noexcept { std::memcpy(p, &v, 8); }

inline constexpr std::size_t round_up(std::size_t n, std::size_t a) noexcept { return (n + a - 1) / a * a; }

}  // namespace detail

// The IO header with an info node of `info_size` bytes: size prefix
// included, a multiple of 4 bytes. Its size depends only on the info node,
// so a writer can write it first and rewrite it at the end.
inline constexpr std::size_t io_header_bytes(std::size_t info_size) noexcept {
    return detail::round_up(48 + info_size + 1, 4);
}

//  0 size prefix | 4 root offset (20) | 8 "IOHE" | 12 vtable {10, 20, 4, 8, 16} | 22 pad
// 24 table: soffset 12 | 28 compression | 32 data table (i64) | 40 info offset (4)
// 44 string: length | 48 text | NUL | padding
inline void write_io_header(unsigned char* out, std::int32_t compression, std::int64_t data_table,
                            std::string_view info) noexcept {
    using namespace detail;
    const std::size_t total = io_header_bytes(info.size());
    std::memset(out, 0, total);
    put_u32(out, static_cast<std::uint32_t>(total - 4));
    put_u32(out + 4, 20);
    std::memcpy(out + 8, "IOHE", 4);
    put_u16(out + 12, 10);
    put_u16(out + 14, 20);
    put_u16(out + 16, 4);
    put_u16(out + 18, 8);
    put_u16(out + 20, 16);
    put_i32(out + 24, 12);
    put_i32(out + 28, compression);
    put_i64(out + 32, data_table);
    put_u32(out + 40, 4);
    put_u32(out + 44, static_cast<std::uint32_t>(info.size()));
    if (!info.empty()) std::memcpy(out + 48, info.data(), info.size());
}

// An event packet payload (before compression) of `n` events: 32 bytes, then
// 16 per event.
inline constexpr std::size_t event_packet_bytes(std::size_t n) noexcept { return 32 + kElementSize * n; }

//  0 size prefix | 4 root offset (16) | 8 "EVTS" | 12 pad | 14 vtable {6, 8, 4}
// 20 table: soffset 6 | 24 vector offset (4) | 28 count | 32 elements
inline void write_event_packet_head(unsigned char* out, std::size_t n) noexcept {
    using namespace detail;
    std::memset(out, 0, 32);
    put_u32(out, static_cast<std::uint32_t>(event_packet_bytes(n) - 4));
    put_u32(out + 4, 16);
    std::memcpy(out + 8, "EVTS", 4);
    put_u16(out + 14, 6);
    put_u16(out + 16, 8);
    put_u16(out + 18, 4);
    put_i32(out + 20, 6);
    put_u32(out + 24, 4);
    put_u32(out + 28, static_cast<std::uint32_t>(n));
}

// Events as packet elements (the caller has checked them: t below 2**63, x
// and y below 32768, p 0 or 1), and what a writer keeps of them: the
// smallest and largest t (for the data table) and the largest x and y.
struct PacketRange {
    std::uint64_t min_t = std::numeric_limits<std::uint64_t>::max(), max_t = 0;
    std::uint16_t max_x = 0, max_y = 0;

    void add(const PacketRange& o) noexcept {
        min_t = o.min_t < min_t ? o.min_t : min_t;
        max_t = o.max_t > max_t ? o.max_t : max_t;
        max_x = o.max_x > max_x ? o.max_x : max_x;
        max_y = o.max_y > max_y ? o.max_y : max_y;
    }
};

inline PacketRange encode_elements(const Event* ev, std::size_t n, unsigned char* out) noexcept {
    PacketRange r;
    for (std::size_t i = 0; i < n; ++i, out += kElementSize) {
        const Event e = ev[i];
        std::memcpy(out, &e.t, 8);
        std::memcpy(out + 8, &e.x, 2);
        std::memcpy(out + 10, &e.y, 2);
        out[12] = e.p;
        out[13] = out[14] = out[15] = 0;
        r.min_t = e.t < r.min_t ? e.t : r.min_t;
        r.max_t = e.t > r.max_t ? e.t : r.max_t;
        r.max_x = e.x > r.max_x ? e.x : r.max_x;
        r.max_y = e.y > r.max_y ? e.y : r.max_y;
    }
    return r;
}

// Why an event cannot be written to a packet.
enum class EventFault : std::uint8_t { none, t_too_large, x_too_large, y_too_large, p_not_bit, outside_sensor };

inline const char* event_fault_message(EventFault f) noexcept {
    switch (f) {
        case EventFault::none: return "fine";
        case EventFault::t_too_large: return "t must be below 2**63";
        case EventFault::x_too_large: return "x must be below 32768";
        case EventFault::y_too_large: return "y must be below 32768";
        case EventFault::p_not_bit: return "p must be 0 or 1";
        case EventFault::outside_sensor: return "outside the sensor";
    }
    return "unknown";
}

struct EventCheck {
    EventFault fault = EventFault::none;
    std::size_t index = 0;  // of the first event that cannot be written
};

// The first event that cannot be written (width 0: no sensor size to keep to).
inline EventCheck check_events(const Event* ev, std::size_t n, std::uint32_t width, std::uint32_t height) noexcept {
    constexpr std::uint64_t kMaxT = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = ev[i];
        EventFault f = EventFault::none;
        if (e.t > kMaxT) f = EventFault::t_too_large;
        else if (e.x > 32767) f = EventFault::x_too_large;
        else if (e.y > 32767) f = EventFault::y_too_large;
        else if (e.p > 1) f = EventFault::p_not_bit;
        else if (width && (e.x >= width || e.y >= height)) f = EventFault::outside_sensor;
        if (f != EventFault::none) return {f, i};
    }
    return {};
}

// The data table of `n` entries: size prefix included.
inline constexpr std::size_t data_table_bytes(std::size_t n) noexcept {
    // entries start at a position = 4 (mod 8) after the shared vtable
    const std::size_t vtable = 32 + 4 * n;
    return detail::round_up(vtable + 14, 8) + 4 + 48 * n;
}

//  0 size prefix | 4 root offset (16) | 8 "FTAB" | 12 pad | 14 vtable {6, 8, 4}
// 20 table: soffset 6 | 24 vector offset (4) | 28 count | 32 n entry offsets
// then one vtable {14, 44, 12, 4, 20, 28, 36} shared by all entries, and the
// entries, 48 bytes each: soffset | {stream, size} | offset | count | first | last | pad
inline void write_data_table(unsigned char* out, const TableEntry* entries, std::size_t n) noexcept {
    using namespace detail;
    const std::size_t total = data_table_bytes(n);
    std::memset(out, 0, total);
    put_u32(out, static_cast<std::uint32_t>(total - 4));
    put_u32(out + 4, 16);
    std::memcpy(out + 8, "FTAB", 4);
    put_u16(out + 14, 6);
    put_u16(out + 16, 8);
    put_u16(out + 18, 4);
    put_i32(out + 20, 6);
    put_u32(out + 24, 4);
    put_u32(out + 28, static_cast<std::uint32_t>(n));
    const std::size_t vt = 32 + 4 * n;
    const std::uint16_t vtable[7] = {14, 44, 12, 4, 20, 28, 36};
    std::memcpy(out + vt, vtable, sizeof vtable);
    const std::size_t first = round_up(vt + 14, 8) + 4;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = first + 48 * i;
        const TableEntry& x = entries[i];
        put_u32(out + 32 + 4 * i, static_cast<std::uint32_t>(e - (32 + 4 * i)));
        put_i32(out + e, static_cast<std::int32_t>(e - vt));
        put_i32(out + e + 4, x.stream);
        put_i32(out + e + 8, x.size);
        put_i64(out + e + 12, x.offset);
        put_i64(out + e + 20, x.count);
        put_i64(out + e + 28, x.first);
        put_i64(out + e + 36, x.last);
    }
}

}  // namespace morvel::kernels::aedat4
