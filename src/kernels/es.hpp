// Event Stream (.es) files: the header, a stream parser of DVS and ATIS
// event bytes, and the encoder of DVS files.
//
// Header (all versions):
//   bytes 0..11   "Event Stream"
//   bytes 12..14  major, minor, patch version
// Version 2.x (the only one read; minor versions only add, so any 2.x.y):
//   byte 15       event type: 0 generic, 1 DVS, 2 ATIS, 3 display, 4 color
//   bytes 16..19  width, height (u16 LE), for DVS, ATIS and color
// and the event bytes follow (byte 16 for generic, byte 20 otherwise).
// Display streams (3) and unknown types are refused.
//
// The event bytes are deltas: each event gives the time since the previous
// one (the first: since 0), and a gap too long for its field is made of
// overflow bytes in front of it, each adding a fixed step. The reader's
// clock therefore only grows; it starts at 0 with the first event byte.
//
// DVS events, 5 bytes (a byte 0 below 0xFE starts one):
//   byte 0      dt (bits 7..1, 0..126) and is_increase (bit 0, p)
//   bytes 1..2  x (u16 LE), bytes 3..4 y (u16 LE)
//   0xFF        overflow: 127 us
//   0xFE        reset: nothing (the writers send them in fives so that a
//               reader out of step lands between events again)
// ATIS events, 5 bytes (a byte 0 below 0xFC starts one):
//   byte 0      dt (bits 7..2, 0..62), polarity (bit 1), is_tc (bit 0)
//   bytes 1..2  x (u16 LE), bytes 3..4 y (u16 LE)
//   0xFD, 0xFE, 0xFF  overflow: 63 us times bits 1..0 (1, 2 or 3)
//   0xFC        reset: nothing
// An ATIS event with is_tc 0 is a change detection, read as a DVS event
// (p = polarity); is_tc 1 is a threshold crossing (half of an exposure
// measurement): its time still moves the clock and its coordinates are still
// checked, but it gives no event.
//
// Inside an event every byte is data, whatever its value (0xFE and 0xFF
// included); between events every byte value means something. So the only
// bytes the format does not allow are coordinates outside the width and
// height of the header (x < width, y < height), and a file that ends inside
// an event. Overflow bytes or resets at the end are fine.
//
// y is given as the file has it. Faery writes height - 1 - y and turns it
// back when it reads; flip_y does the same both ways.
//
// The clock cannot wrap: from 0 it grows by at most 189 per byte, so 2^64
// would take more than 10^17 bytes.
#pragma once

#include "event.hpp"
#include "stream_parser.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace morvel::kernels {

inline constexpr unsigned char kEsMagic[12] = {'E', 'v', 'e', 'n', 't', ' ', 'S', 't', 'r', 'e', 'a', 'm'};
inline constexpr std::size_t kEsMaxHeaderBytes = 20;  // enough for parse_es_header to decide
inline constexpr std::size_t kEsEventBytes = 5;       // DVS and ATIS events

enum class EsStatus : std::uint8_t {
    ok,
    need_more,            // a prefix of a header: give more bytes (at most kEsMaxHeaderBytes)
    not_es,               // no "Event Stream" at the start
    unsupported_version,  // a major version other than 2
    unsupported_type,     // display streams, unknown types
};

// The type byte's values.
enum class EsEventType : std::uint8_t { generic = 0, dvs = 1, atis = 2, display = 3, color = 4 };

struct EsHeader {
    EsStatus status = EsStatus::need_more;
    std::uint8_t major = 0, minor = 0, patch = 0;  // when 15 bytes were given
    std::uint8_t type_byte = 0;                    // when 16 bytes were given
    EsEventType type = EsEventType::generic;       // when ok
    bool has_size = false;                         // DVS, ATIS and color
    std::uint16_t width = 0, height = 0;           // when has_size
    std::size_t data_offset = 0;                   // when ok: where the event bytes start (16 or 20)
};

inline const char* es_status_message(EsStatus s) noexcept {
    switch (s) {
        case EsStatus::ok: return "no error";
        case EsStatus::need_more: return "the file ends inside the Event Stream header";
        case EsStatus::not_es: return "not an Event Stream file (it does not start with \"Event Stream\")";
        case EsStatus::unsupported_version: return "unsupported Event Stream version (only 2.x is read)";
        case EsStatus::unsupported_type:
            return "unsupported Event Stream event type (generic, DVS, ATIS and color streams are known)";
    }
    return "unknown status";
}

inline EsHeader parse_es_header(const unsigned char* p, std::size_t n) noexcept {
    EsHeader h;
    const std::size_t m = n < sizeof kEsMagic ? n : sizeof kEsMagic;
    if (m != 0 && std::memcmp(p, kEsMagic, m) != 0) {
        h.status = EsStatus::not_es;
        return h;
    }
    if (n < 15) return h;  // need_more
    h.major = p[12];
    h.minor = p[13];
    h.patch = p[14];
    if (h.major != 2) {
        h.status = EsStatus::unsupported_version;
        return h;
    }
    if (n < 16) return h;
    h.type_byte = p[15];
    switch (h.type_byte) {
        case 0: h.data_offset = 16; break;
        case 1:
        case 2:
        case 4:
            h.has_size = true;
            h.data_offset = 20;
            break;
        default: h.status = EsStatus::unsupported_type; return h;
    }
    if (n < h.data_offset) {
        h.has_size = false;
        h.data_offset = 0;
        return h;
    }
    h.type = static_cast<EsEventType>(h.type_byte);
    if (h.has_size) {
        h.width = load_u16(p + 16);
        h.height = load_u16(p + 18);
    }
    h.status = EsStatus::ok;
    return h;
}

// The types EsParser reads.
inline bool es_type_has_events(EsEventType t) noexcept { return t == EsEventType::dvs || t == EsEventType::atis; }

// ---------------------------------------------------------------------------
// Parsing (the interface of stream_parser.hpp)
// ---------------------------------------------------------------------------
enum class EsParseError : std::uint8_t { none, x_outside, y_outside, cut_event };

struct EsParser {
    // Set before the first call.
    EsEventType type = EsEventType::dvs;  // dvs or atis
    std::uint16_t width = 0, height = 0;
    bool flip_y = false;  // y = height - 1 - the file's y

    // Carried between calls.
    std::uint64_t t = 0;         // the clock: the time of the last event, overflow bytes since added
    std::uint64_t consumed = 0;  // event bytes taken by earlier calls
    std::uint64_t held_at = 0;   // offset of the first byte in held
    std::size_t pending = 0;     // bytes of an incomplete event in held (0..4)
    unsigned char held[kEsEventBytes] = {};

    // Set by the first error.
    EsParseError error = EsParseError::none;
    std::uint64_t error_at = 0;     // offset of the event's first byte
    std::uint32_t error_value = 0;  // x or y, or the trailing bytes of a cut event
    std::uint32_t error_limit = 0;  // width or height

    EsParser() = default;
    explicit EsParser(const EsHeader& h, bool flip = false) noexcept
        : type(h.type), width(h.width), height(h.height), flip_y(flip) {}

    bool failed() const noexcept { return error != EsParseError::none; }
    std::size_t pending_bytes() const noexcept { return pending; }

    // Every event takes 5 bytes.
    std::size_t max_events(std::size_t n) const noexcept {
        if (failed()) return 0;
        return n / kEsEventBytes + (n % kEsEventBytes + pending) / kEsEventBytes;
    }

    std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (failed() || n == 0) return 0;
        const std::uint64_t base = consumed;
        consumed += n;
        const unsigned char* p = data;
        const unsigned char* const end = data + n;
        std::size_t k = 0;
        if (pending != 0) {
            const std::size_t need = kEsEventBytes - pending;
            if (n < need) {
                std::memcpy(held + pending, p, n);
                pending += n;
                return 0;
            }
            std::memcpy(held + pending, p, need);
            p += need;
            pending = 0;
            if (!event(held, held_at, out, k)) return k;
        }
        k = type == EsEventType::atis ? run<true>(p, end, base + static_cast<std::uint64_t>(p - data), out, k)
                                      : run<false>(p, end, base + static_cast<std::uint64_t>(p - data), out, k);
        return k;
    }

    // Nothing completes at the end: held bytes are a cut event.
    std::size_t finish(Event*) noexcept {
        if (failed() || pending == 0) return 0;
        error = EsParseError::cut_event;
        error_at = held_at;
        error_value = static_cast<std::uint32_t>(pending);
        return 0;
    }

    std::string error_message() const {
        char what[128];
        switch (error) {
            case EsParseError::none: return {};
            case EsParseError::x_outside:
                std::snprintf(what, sizeof what, "event x %u is outside the width %u given in the header",
                              unsigned{error_value}, unsigned{error_limit});
                return at_byte(what, error_at);
            case EsParseError::y_outside:
                std::snprintf(what, sizeof what, "event y %u is outside the height %u given in the header",
                              unsigned{error_value}, unsigned{error_limit});
                return at_byte(what, error_at);
            case EsParseError::cut_event: return cut_record(error_value, error_at);
        }
        return "unknown error";
    }

private:
    // Threshold crossings (ATIS, is_tc set) count as events here: they are
    // checked like the others.
    static constexpr unsigned first_marker(bool atis) noexcept { return atis ? 0xFCu : 0xFEu; }

    // One whole event at r (5 bytes, r[0] below the markers), found at byte
    // offset `at`. Appends it to out unless it is a threshold crossing;
    // false on an error.
    MORVEL_INLINE bool event(const unsigned char* r, std::uint64_t at, Event* out, std::size_t& k) noexcept {
        return type == EsEventType::atis ? event_of<true>(r, at, out, k) : event_of<false>(r, at, out, k);
    }

    template <bool Atis>
    MORVEL_INLINE bool event_of(const unsigned char* r, std::uint64_t at, Event* out, std::size_t& k) noexcept {
        const unsigned b = r[0];
        const std::uint16_t x = load_u16(r + 1);
        const std::uint16_t y = load_u16(r + 3);
        if (x >= width || y >= height) [[unlikely]] {
            fail(x, y, at);
            return false;
        }
        const auto yy = static_cast<std::uint16_t>(flip_y ? height - 1u - y : y);
        if constexpr (Atis) {
            t += b >> 2;
            if ((b & 1u) == 0) out[k++] = Event{t, x, yy, static_cast<std::uint8_t>((b >> 1) & 1u)};
        } else {
            t += b >> 1;
            out[k++] = Event{t, x, yy, static_cast<std::uint8_t>(b & 1u)};
        }
        return true;
    }

    // A byte between events at or above the first marker.
    template <bool Atis>
    MORVEL_INLINE void marker(unsigned b) noexcept {
        if constexpr (Atis) {
            t += 63u * (b & 3u);  // 0xFC (reset) adds 0
        } else {
            if (b == 0xFFu) t += 127;
        }
    }

    void fail(std::uint16_t x, std::uint16_t y, std::uint64_t at) noexcept {
        if (x >= width) {
            error = EsParseError::x_outside;
            error_value = x;
            error_limit = width;
        } else {
            error = EsParseError::y_outside;
            error_value = y;
            error_limit = height;
        }
        error_at = at;
        pending = 0;
    }

    // The bytes [p, end) between events to start with, p at byte offset at.
    template <bool Atis>
    std::size_t run(const unsigned char* p, const unsigned char* const end, std::uint64_t at, Event* out,
                    std::size_t k) noexcept {
        constexpr unsigned kMarker = first_marker(Atis);
        const unsigned char* const start = p;
        while (end - p >= static_cast<std::ptrdiff_t>(kEsEventBytes)) {
            const unsigned b = *p;
            if (b < kMarker) [[likely]] {
                if (!event_of<Atis>(p, at + static_cast<std::uint64_t>(p - start), out, k)) return k;
                p += kEsEventBytes;
            } else if (!Atis && b == 0xFFu && end - p >= 8 && load_u64(p) == ~std::uint64_t{0}) {
                // A long gap: eight overflow bytes at a time.
                t += 8 * 127;
                p += 8;
            } else {
                marker<Atis>(b);
                ++p;
            }
        }
        // Fewer than 5 bytes left: markers, then maybe the start of an event.
        for (; p != end && *p >= kMarker; ++p) marker<Atis>(*p);
        if (p != end) {
            pending = static_cast<std::size_t>(end - p);
            std::memcpy(held, p, pending);
            held_at = at + static_cast<std::uint64_t>(p - start);
        }
        return k;
    }
};

// ---------------------------------------------------------------------------
// Encoding (DVS, version 2.0.0)
// ---------------------------------------------------------------------------
inline constexpr std::size_t kEsDvsHeaderBytes = 20;

// The header of a DVS file of this size.
inline void write_es_dvs_header(std::uint16_t width, std::uint16_t height, unsigned char* out) noexcept {
    std::memcpy(out, kEsMagic, sizeof kEsMagic);
    out[12] = 2;
    out[13] = 0;
    out[14] = 0;
    out[15] = static_cast<unsigned char>(EsEventType::dvs);
    std::memcpy(out + 16, &width, 2);
    std::memcpy(out + 18, &height, 2);
}

enum class EsEncodeError : std::uint8_t { none, x_outside, y_outside, bad_polarity, time_backwards };

inline const char* es_encode_error_message(EsEncodeError e) noexcept {
    switch (e) {
        case EsEncodeError::none: return "no error";
        case EsEncodeError::x_outside: return "x must be below the width";
        case EsEncodeError::y_outside: return "y must be below the height";
        case EsEncodeError::bad_polarity: return "p must be 0 or 1";
        case EsEncodeError::time_backwards:
            return "Event Stream keeps the time from one event to the next, so t must not decrease (nor be below "
                   "the file's first t)";
    }
    return "unknown error";
}

struct EsEncodeResult {
    EsEncodeError error;
    std::size_t index;  // the offending event, else n
};

struct EsEncodeProgress {
    std::size_t events;  // events written whole
    std::size_t bytes;   // bytes written (with the overflow bytes of the next event's gap, if they were cut)
};

struct EsEncoder {
    // Set before the first event.
    std::uint16_t width = 0, height = 0;
    bool flip_y = false;  // write height - 1 - y (as faery does)

    // The reader's clock after the bytes written so far. 0 for a file whose
    // times are the events' own; set it to the first event's t to start the
    // file at 0 (the reader then gives t - that).
    std::uint64_t t = 0;

    static constexpr std::uint64_t kStep = 127;  // one overflow byte

    // The first event that cannot follow the events encoded so far (the
    // state is not changed).
    EsEncodeResult check(const Event* ev, std::size_t n) const noexcept {
        std::uint64_t last = t;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            EsEncodeError err = EsEncodeError::none;
            if (e.x >= width) err = EsEncodeError::x_outside;
            else if (e.y >= height) err = EsEncodeError::y_outside;
            else if (e.p > 1) err = EsEncodeError::bad_polarity;
            else if (e.t < last) err = EsEncodeError::time_backwards;
            if (err != EsEncodeError::none) return {err, i};
            last = e.t;
        }
        return {EsEncodeError::none, n};
    }

    // Exactly what encode() writes for these checked events (saturating at
    // SIZE_MAX, for gaps no memory holds).
    std::size_t encoded_size(const Event* ev, std::size_t n) const noexcept {
        std::size_t total = 0;
        std::uint64_t last = t;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t gap = (ev[i].t - last) / kStep;
            last = ev[i].t;
            if (!add(total, gap) || !add(total, kEsEventBytes)) return std::numeric_limits<std::size_t>::max();
        }
        return total;
    }

    // A bound of encoded_size() from the last event alone: the overflow bytes
    // of the gaps add up to at most (last t - t) / 127.
    std::size_t max_bytes(const Event* ev, std::size_t n) const noexcept {
        if (n == 0) return 0;
        constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
        if (n > kMax / kEsEventBytes) return kMax;
        std::size_t total = n * kEsEventBytes;
        return add(total, (ev[n - 1].t - t) / kStep) ? total : kMax;
    }

    // Writes checked events into out (room for encoded_size() bytes) and
    // moves the state past them.
    std::size_t encode(const Event* ev, std::size_t n, unsigned char* out) noexcept {
        return encode(ev, n, out, std::numeric_limits<std::size_t>::max()).bytes;
    }

    // The same within cap bytes: stops before the first event that does not
    // fit whole, having written what fits of its gap's overflow bytes (the
    // state keeps the rest), so that the bytes of calls one after the other
    // are those of one call.
    EsEncodeProgress encode(const Event* ev, std::size_t n, unsigned char* out, std::size_t cap) noexcept {
        std::size_t o = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            const std::uint64_t delta = e.t - t;
            const std::uint64_t gap = delta / kStep;
            const std::size_t room = cap - o;
            if (gap > room || room - gap < kEsEventBytes) {
                const std::size_t fill = gap < room ? static_cast<std::size_t>(gap) : room;
                if (fill != 0) std::memset(out + o, 0xFF, fill);
                t += kStep * fill;
                return {i, o + fill};
            }
            if (gap != 0) std::memset(out + o, 0xFF, static_cast<std::size_t>(gap));
            o += static_cast<std::size_t>(gap);
            const auto y = static_cast<std::uint16_t>(flip_y ? height - 1u - e.y : e.y);
            out[o] = static_cast<unsigned char>(((delta - gap * kStep) << 1) | (e.p & 1u));
            std::memcpy(out + o + 1, &e.x, 2);
            std::memcpy(out + o + 3, &y, 2);
            o += kEsEventBytes;
            t = e.t;
        }
        return {n, o};
    }

private:
    static bool add(std::size_t& total, std::uint64_t v) noexcept {
        constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
        if (v > kMax - total) return false;
        total += static_cast<std::size_t>(v);
        return true;
    }
};

}  // namespace morvel::kernels
