// ECF chunks: up to 65535 events compressed on their own, the decoder and the
// encoder. All integers are little-endian and there is no padding anywhere:
// every field follows the previous one at any byte offset.
//
// Header, 12 bytes:
//   u32  n << 2 | yxp << 1 | xp   n events (at most 65535); yxp: y, x and p
//                                  packed; xp: x and p packed (only when yxp
//                                  is 0)
//   u64  t0                        the time the time codes start from
// Then the streams, one after the other: time codes; then either the yxp
// words, or y codes followed by either the xp words or x codes and p codes.
// Each stream gives n values; event i takes the i-th of each.
//
// Time codes, one byte each, high nibble h, low nibble l:
//   h < 15   time += h, then l events at that time; l == 15: the count is
//            the u16 that follows instead (0 to 65535; 0 only moves time)
//   h == 15  a jump: this byte and the ones after it with h == 15 give dt in
//            their low nibbles, first byte lowest, and time += dt (no
//            events); the first byte with h < 15 ends it and is read as above
// A jump of more than 16 nibbles does not fit in 64 bits and is refused.
// Time adds up modulo 2^64.
//
// yxp words: per 4 events, three u32 holding v = y << 12 | x << 1 | p (24
// bits each): w0 = v0 << 8 | v1 & 0xFF, w1 = v1 >> 8 << 16 | v2 & 0xFFFF,
// w2 = v2 >> 16 << 24 | v3 & 0xFFFFFF. The last group is padded: there are
// ceil(n / 4) groups (12 bytes each).
//
// y codes, u16 each: y = code >> 5 for code & 31 events, or for the u16 that
// follows when that is 31.
//
// xp words: per 4 events, three u16 holding v = x << 1 | p (12 bits each):
// h0 = v0 << 4 | v1 & 0xF, h1 = v1 >> 4 << 8 | v2 & 0xFF,
// h2 = v2 >> 8 << 12 | v3 & 0xFFF; ceil(n / 4) groups of 6 bytes.
//
// x codes, u16 each: one event at x = code >> 5, then for j = 0..4 one more
// at x + j + 1 when bit 4 - j is set (so up to 6 events, x rising).
//
// p codes, u8 each: p = code >> 7 for code & 127 events, or for the u16 that
// follows when that is 127.
//
// Decoding refuses a chunk whose header is cut or counts more than 65535
// events (or more than the room given), and any stream whose codes run past
// the chunk or give more values than the n events have. The error comes with
// the byte offset of what failed: the header's (0), the code that is cut or
// gives too many values (its first byte, also when only its u16 count is
// missing; the chunk's size when no byte is left for the next code), the
// 17th nibble of a jump, the first yxp or xp group that is not whole. Bytes
// after the last stream are not looked at; on success the decoder reports
// where the streams end.
//
// Decoding is one tight pass per stream over the output (t, then y, x and p,
// or the packed fields), with no allocation. The time, y and p passes write
// short runs as fixed blocks of stores (4, or 14 for times and 8 for y and
// p) when the room left allows, the next runs overwriting what lies past the
// run; the x pass writes six values per code from a table of the 32 masks.
//
// Encoding takes the events in their order and checks them first: n at most
// 65535, t never decreasing, x < 2048 and p 0 or 1 in every mode, y < 4096
// with yxp words (24-bit v) and y < 2048 with the other two. It writes
//   time codes  one per distinct time: h = the step from the previous time
//               (t0 is the first t), when below 15; longer steps get a jump
//               of as few nibbles as carry them, h taking what a jump of
//               that many nibbles cannot (usually 0); counts of 15 and more
//               as l == 15 and a u16
//   y codes     one per run of equal y (31 and more: 31 and a u16)
//   x codes     one per event, folding into its mask the events right after
//               it with the same t and y whose x is x + 1 .. x + 5, rising
//               (greedy: each taken while it fits)
//   p codes     one per run of equal p (127 and more: 127 and a u16)
// and of the three layouts the one of fewest bytes (ties: yxp words, then xp
// words, then codes) among those that hold the y's.
#pragma once

#include "event.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace morvel::kernels {

inline constexpr std::size_t kEcfMaxEvents = 65535;
inline constexpr std::size_t kEcfHeaderBytes = 12;
inline constexpr std::uint32_t kEcfXLimit = 2048;         // x < 2048 in every layout
inline constexpr std::uint32_t kEcfYLimitPacked = 4096;   // y < 4096 with yxp words
inline constexpr std::uint32_t kEcfYLimitCodes = 2048;    // y < 2048 with y codes

enum class EcfMode : std::uint8_t {
    yxp_packed,  // time codes, yxp words
    xp_packed,   // time codes, y codes, xp words
    codes,       // time codes, y codes, x codes, p codes
};

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------
enum class EcfError : std::uint8_t {
    none,
    short_header,     // fewer than 12 bytes
    too_many_events,  // more than 65535 events, or more than the room given
    cut_time_codes,
    time_overrun,     // a time code for more events than are left
    jump_too_long,    // a jump of more than 16 nibbles
    cut_y_codes,
    y_overrun,
    cut_x_codes,
    x_overrun,
    cut_p_codes,
    p_overrun,
    cut_packed,  // the yxp or xp words
};

inline const char* ecf_error_text(EcfError e) noexcept {
    switch (e) {
        case EcfError::none: return "no error";
        case EcfError::short_header: return "the chunk is shorter than its 12-byte header";
        case EcfError::too_many_events: return "the chunk holds more events than allowed (65535, or the room given)";
        case EcfError::cut_time_codes: return "time codes run past the chunk";
        case EcfError::time_overrun: return "time codes give more events than the chunk holds";
        case EcfError::jump_too_long: return "a time jump is longer than 64 bits";
        case EcfError::cut_y_codes: return "y codes run past the chunk";
        case EcfError::y_overrun: return "y codes give more events than the chunk holds";
        case EcfError::cut_x_codes: return "x codes run past the chunk";
        case EcfError::x_overrun: return "x codes give more events than the chunk holds";
        case EcfError::cut_p_codes: return "p codes run past the chunk";
        case EcfError::p_overrun: return "p codes give more events than the chunk holds";
        case EcfError::cut_packed: return "packed event words run past the chunk";
    }
    return "unknown error";
}

struct EcfHeader {
    std::uint32_t n = 0;      // events (the header allows up to 2^30 - 1; chunks hold 65535)
    bool yxp_packed = false;  // bit 1
    bool xp_packed = false;   // bit 0 when bit 1 is clear (false when yxp_packed)
    std::uint64_t t0 = 0;
};

inline EcfMode ecf_mode(const EcfHeader& h) noexcept {
    return h.yxp_packed ? EcfMode::yxp_packed : h.xp_packed ? EcfMode::xp_packed : EcfMode::codes;
}

// False (h untouched) when size < 12.
inline bool ecf_read_header(const unsigned char* data, std::size_t size, EcfHeader& h) noexcept {
    if (size < kEcfHeaderBytes) return false;
    const std::uint32_t w = load_u32(data);
    h.n = w >> 2;
    h.yxp_packed = (w & 2u) != 0;
    h.xp_packed = (w & 3u) == 1u;
    h.t0 = load_u64(data + 4);
    return true;
}

struct EcfDecoded {
    std::size_t n;   // events written: the header's count, 0 on an error
    EcfError error;
    std::size_t at;  // on an error: the byte offset of the fault; else where the streams end
};

namespace ecf_detail {

// The chunk being read: bytes [0, size), pos the next one to read, at set
// with the error.
struct Input {
    const unsigned char* d;
    std::size_t size;
    std::size_t pos;
    std::size_t at;
};

MORVEL_INLINE void put_y(Event* e, std::uint32_t y) noexcept { e->y = static_cast<std::uint16_t>(y); }
MORVEL_INLINE void put_x(Event* e, std::uint32_t x) noexcept { e->x = static_cast<std::uint16_t>(x); }
MORVEL_INLINE void put_p(Event* e, std::uint32_t p) noexcept { e->p = static_cast<std::uint8_t>(p); }

// x, y and p of one event in two stores.
MORVEL_INLINE void put_xyp(Event* e, std::uint32_t x, std::uint32_t y, std::uint32_t p) noexcept {
    unsigned char* b = reinterpret_cast<unsigned char*>(e) + offsetof(Event, x);
    const std::uint32_t xy = x | y << 16;
    std::memcpy(b, &xy, sizeof xy);
    b[4] = static_cast<unsigned char>(p);
}

// x and p of one event.
MORVEL_INLINE void put_xp(Event* e, std::uint32_t x, std::uint32_t p) noexcept {
    put_x(e, x);
    put_p(e, p);
}

// Writes value into the field of out[0, count) with Put, room events being
// left from out. Runs of up to Small (the most common), then up to Block,
// take that many stores when the room allows, without a loop on the count:
// what lies past the run is written again by the next runs. Longer runs, and
// runs at the very end, take a loop.
template <std::size_t Small, std::size_t Block, class V, class Put>
MORVEL_INLINE void fill(Event* out, std::size_t count, std::size_t room, V value, Put put) noexcept {
    if (count <= Small && room >= Small) [[likely]] {
        for (std::size_t k = 0; k < Small; ++k) put(out + k, value);
    } else if (count <= Block && room >= Block) {
        for (std::size_t k = 0; k < Block; ++k) put(out + k, value);
    } else {
        for (std::size_t k = 0; k < count; ++k) put(out + k, value);
    }
}

inline EcfError decode_times(Input& in, std::uint64_t t, Event* out, std::size_t n) noexcept {
    const unsigned char* const d = in.d;
    const std::size_t size = in.size;
    std::size_t pos = in.pos;
    std::size_t have = 0;
    const auto put_t = [](Event* e, std::uint64_t v) { e->t = v; };
    while (have < n) {
        if (pos >= size) [[unlikely]] {
            in.at = pos;
            return EcfError::cut_time_codes;
        }
        std::uint32_t b = d[pos];
        if (b >= 0xF0u) [[unlikely]] {
            std::uint64_t dt = 0;
            unsigned shift = 0;
            do {
                if (shift == 64) {
                    in.at = pos;
                    return EcfError::jump_too_long;
                }
                dt |= std::uint64_t{b & 15u} << shift;
                shift += 4;
                if (++pos >= size) {
                    in.at = pos;
                    return EcfError::cut_time_codes;
                }
                b = d[pos];
            } while (b >= 0xF0u);
            t += dt;
        }
        t += b >> 4;
        std::size_t count = b & 15u;
        std::size_t len = 1;
        if (count == 15) [[unlikely]] {
            if (size - pos < 3) {
                in.at = pos;
                return EcfError::cut_time_codes;
            }
            count = load_u16(d + pos + 1);
            len = 3;
        }
        const std::size_t room = n - have;
        if (count > room) [[unlikely]] {
            in.at = pos;
            return EcfError::time_overrun;
        }
        pos += len;
        fill<4, 14>(out + have, count, room, t, put_t);
        have += count;
    }
    in.pos = pos;
    return EcfError::none;
}

inline EcfError decode_ys(Input& in, Event* out, std::size_t n) noexcept {
    const unsigned char* const d = in.d;
    const std::size_t size = in.size;
    std::size_t pos = in.pos;
    std::size_t have = 0;
    while (have < n) {
        if (size - pos < 2) [[unlikely]] {
            in.at = pos;
            return EcfError::cut_y_codes;
        }
        const std::uint32_t code = load_u16(d + pos);
        std::size_t count = code & 31u;
        std::size_t len = 2;
        if (count == 31) [[unlikely]] {
            if (size - pos < 4) {
                in.at = pos;
                return EcfError::cut_y_codes;
            }
            count = load_u16(d + pos + 2);
            len = 4;
        }
        const std::size_t room = n - have;
        if (count > room) [[unlikely]] {
            in.at = pos;
            return EcfError::y_overrun;
        }
        pos += len;
        fill<4, 8>(out + have, count, room, code >> 5, [](Event* e, std::uint32_t y) { put_y(e, y); });
        have += count;
    }
    in.pos = pos;
    return EcfError::none;
}

inline EcfError decode_ps(Input& in, Event* out, std::size_t n) noexcept {
    const unsigned char* const d = in.d;
    const std::size_t size = in.size;
    std::size_t pos = in.pos;
    std::size_t have = 0;
    while (have < n) {
        if (pos >= size) [[unlikely]] {
            in.at = pos;
            return EcfError::cut_p_codes;
        }
        const std::uint32_t code = d[pos];
        std::size_t count = code & 127u;
        std::size_t len = 1;
        if (count == 127) [[unlikely]] {
            if (size - pos < 3) {
                in.at = pos;
                return EcfError::cut_p_codes;
            }
            count = load_u16(d + pos + 1);
            len = 3;
        }
        const std::size_t room = n - have;
        if (count > room) [[unlikely]] {
            in.at = pos;
            return EcfError::p_overrun;
        }
        pos += len;
        fill<4, 8>(out + have, count, room, code >> 7, [](Event* e, std::uint32_t p) { put_p(e, p); });
        have += count;
    }
    in.pos = pos;
    return EcfError::none;
}

// The events of an x code by its low 5 bits: how many, and their x minus
// the code's x (the unused places repeat the last).
struct XMask {
    std::uint8_t count;
    std::array<std::uint8_t, 6> add;
};

constexpr std::array<XMask, 32> make_x_masks() noexcept {
    std::array<XMask, 32> table{};
    for (unsigned m = 0; m < 32; ++m) {
        XMask e{1, {}};
        for (unsigned j = 0; j < 5; ++j) {
            if (m & (1u << (4 - j))) e.add[e.count++] = static_cast<std::uint8_t>(j + 1);
        }
        for (unsigned k = e.count; k < 6; ++k) e.add[k] = e.add[e.count - 1u];
        table[m] = e;
    }
    return table;
}

inline constexpr std::array<XMask, 32> kXMasks = make_x_masks();

inline EcfError decode_xs(Input& in, Event* out, std::size_t n) noexcept {
    const unsigned char* const d = in.d;
    const std::size_t size = in.size;
    std::size_t pos = in.pos;
    std::size_t have = 0;
    // Six events of room: every code fits, six stores each.
    while (n - have >= 6 && size - pos >= 2) {
        const std::uint32_t code = load_u16(d + pos);
        pos += 2;
        const std::uint32_t x = code >> 5;
        const XMask& m = kXMasks[code & 31u];
        Event* const o = out + have;
        for (std::size_t k = 0; k < 6; ++k) put_x(o + k, x + m.add[k]);
        have += m.count;
    }
    while (have < n) {
        if (size - pos < 2) {
            in.at = pos;
            return EcfError::cut_x_codes;
        }
        const std::uint32_t code = load_u16(d + pos);
        const XMask& m = kXMasks[code & 31u];
        if (m.count > n - have) {
            in.at = pos;
            return EcfError::x_overrun;
        }
        pos += 2;
        for (std::size_t k = 0; k < m.count; ++k) put_x(out + have + k, (code >> 5) + m.add[k]);
        have += m.count;
    }
    in.pos = pos;
    return EcfError::none;
}

MORVEL_INLINE void yxp_event(Event* e, std::uint32_t v) noexcept { put_xyp(e, (v >> 1) & 0x7FFu, v >> 12, v & 1u); }

inline EcfError decode_yxp(Input& in, Event* out, std::size_t n) noexcept {
    const std::size_t groups = (n + 3) / 4;
    const std::size_t left = in.size - in.pos;
    if (left / 12 < groups) {
        in.at = in.pos + left / 12 * 12;
        return EcfError::cut_packed;
    }
    const unsigned char* p = in.d + in.pos;
    const std::size_t whole = n / 4;
    for (std::size_t g = 0; g < whole; ++g, p += 12) {
        const std::uint32_t w0 = load_u32(p), w1 = load_u32(p + 4), w2 = load_u32(p + 8);
        Event* const o = out + 4 * g;
        yxp_event(o, w0 >> 8);
        yxp_event(o + 1, (w1 >> 16) << 8 | (w0 & 0xFFu));
        yxp_event(o + 2, (w2 >> 24) << 16 | (w1 & 0xFFFFu));
        yxp_event(o + 3, w2 & 0xFFFFFFu);
    }
    if (const std::size_t rest = n % 4; rest != 0) {
        const std::uint32_t w0 = load_u32(p), w1 = load_u32(p + 4), w2 = load_u32(p + 8);
        const std::uint32_t v[3] = {w0 >> 8, (w1 >> 16) << 8 | (w0 & 0xFFu), (w2 >> 24) << 16 | (w1 & 0xFFFFu)};
        for (std::size_t k = 0; k < rest; ++k) yxp_event(out + 4 * whole + k, v[k]);
    }
    in.pos += groups * 12;
    return EcfError::none;
}

MORVEL_INLINE void xp_event(Event* e, std::uint32_t v) noexcept { put_xp(e, v >> 1, v & 1u); }

inline EcfError decode_xp(Input& in, Event* out, std::size_t n) noexcept {
    const std::size_t groups = (n + 3) / 4;
    const std::size_t left = in.size - in.pos;
    if (left / 6 < groups) {
        in.at = in.pos + left / 6 * 6;
        return EcfError::cut_packed;
    }
    const unsigned char* p = in.d + in.pos;
    const std::size_t whole = n / 4;
    for (std::size_t g = 0; g < whole; ++g, p += 6) {
        const std::uint32_t h0 = load_u16(p), h1 = load_u16(p + 2), h2 = load_u16(p + 4);
        Event* const o = out + 4 * g;
        xp_event(o, h0 >> 4);
        xp_event(o + 1, (h1 >> 8) << 4 | (h0 & 0xFu));
        xp_event(o + 2, (h2 >> 12) << 8 | (h1 & 0xFFu));
        xp_event(o + 3, h2 & 0xFFFu);
    }
    if (const std::size_t rest = n % 4; rest != 0) {
        const std::uint32_t h0 = load_u16(p), h1 = load_u16(p + 2), h2 = load_u16(p + 4);
        const std::uint32_t v[3] = {h0 >> 4, (h1 >> 8) << 4 | (h0 & 0xFu), (h2 >> 12) << 8 | (h1 & 0xFFu)};
        for (std::size_t k = 0; k < rest; ++k) xp_event(out + 4 * whole + k, v[k]);
    }
    in.pos += groups * 6;
    return EcfError::none;
}

}  // namespace ecf_detail

// Decodes one chunk, data[0, size), into out[0, n) for the header's n; out
// has room for capacity events. A count above kEcfMaxEvents or capacity is
// too_many_events, with nothing written. On any other error out[0, n) may
// have been written in part.
inline EcfDecoded ecf_decode(const unsigned char* data, std::size_t size, Event* out, std::size_t capacity) noexcept {
    EcfHeader h;
    if (!ecf_read_header(data, size, h)) return {0, EcfError::short_header, 0};
    const std::size_t n = h.n;
    if (n > kEcfMaxEvents || n > capacity) return {0, EcfError::too_many_events, 0};
    ecf_detail::Input in{data, size, kEcfHeaderBytes, 0};
    EcfError e = ecf_detail::decode_times(in, h.t0, out, n);
    if (e == EcfError::none) {
        if (h.yxp_packed) {
            e = ecf_detail::decode_yxp(in, out, n);
        } else {
            e = ecf_detail::decode_ys(in, out, n);
            if (e == EcfError::none) {
                if (h.xp_packed) {
                    e = ecf_detail::decode_xp(in, out, n);
                } else {
                    e = ecf_detail::decode_xs(in, out, n);
                    if (e == EcfError::none) e = ecf_detail::decode_ps(in, out, n);
                }
            }
        }
    }
    if (e != EcfError::none) return {0, e, in.at};
    return {n, EcfError::none, in.pos};
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------
enum class EcfEncodeError : std::uint8_t {
    none,
    too_many_events,  // more than 65535 events
    decreasing_time,  // t below the previous event's
    x_range,          // x >= 2048
    y_range,          // y >= 4096 (yxp words) or 2048 (y codes)
    polarity,         // p is not 0 or 1
};

inline const char* ecf_encode_error_text(EcfEncodeError e) noexcept {
    switch (e) {
        case EcfEncodeError::none: return "no error";
        case EcfEncodeError::too_many_events: return "an ECF chunk holds at most 65535 events";
        case EcfEncodeError::decreasing_time: return "t is below the previous event's t";
        case EcfEncodeError::x_range: return "x must be below 2048";
        case EcfEncodeError::y_range: return "y must be below 4096 (packed with x and p) or 2048 (other layouts)";
        case EcfEncodeError::polarity: return "p must be 0 or 1";
    }
    return "unknown error";
}

struct EcfEncoded {
    std::size_t size;      // bytes written (0 on an error: nothing is)
    EcfEncodeError error;
    std::size_t at;        // the offending event (kEcfMaxEvents for too_many_events), else n
    EcfMode mode;          // the layout written, or asked for (ecf_encode refusing: yxp_packed)
};

namespace ecf_detail {

struct Checked {
    EcfEncodeError error;
    std::size_t at;
    bool wide_y;  // some y >= 2048: only yxp words hold it
};

// The first event that cannot be written, t before x, y and p.
inline Checked check(const Event* ev, std::size_t n, std::uint32_t y_limit) noexcept {
    if (n > kEcfMaxEvents) return {EcfEncodeError::too_many_events, kEcfMaxEvents, false};
    std::uint32_t ys = 0;
    std::uint64_t last = n != 0 ? ev[0].t : 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Event e = ev[i];
        const bool bad = (e.t < last) | (e.x >= kEcfXLimit) | (e.y >= y_limit) | (e.p > 1);
        if (bad) [[unlikely]] {
            const EcfEncodeError why = e.t < last               ? EcfEncodeError::decreasing_time
                                       : e.x >= kEcfXLimit      ? EcfEncodeError::x_range
                                       : e.y >= y_limit         ? EcfEncodeError::y_range
                                                                : EcfEncodeError::polarity;
            return {why, i, false};
        }
        ys |= e.y;
        last = e.t;
    }
    return {EcfEncodeError::none, n, ys >= kEcfYLimitCodes};
}

MORVEL_INLINE void store_u16(unsigned char* o, std::size_t v) noexcept {
    const auto w = static_cast<std::uint16_t>(v);
    std::memcpy(o, &w, sizeof w);
}
MORVEL_INLINE void store_u32(unsigned char* o, std::uint32_t v) noexcept { std::memcpy(o, &v, sizeof v); }

// Each stream's writer returns its size; with Emit false it only counts
// (and o may be null), so that sizes and bytes always agree.

template <bool Emit>
std::size_t time_codes(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    std::size_t size = 0;
    std::uint64_t prev = n != 0 ? ev[0].t : 0;
    for (std::size_t i = 0; i < n;) {
        const std::uint64_t t = ev[i].t;
        std::size_t j = i + 1;
        while (j < n && ev[j].t == t) ++j;
        const std::size_t count = j - i;
        std::uint64_t step = t - prev;
        prev = t;
        if (step >= 15) {
            // Nibbles enough for step - 14 (the most the code can add);
            // the jump takes as much of step as they hold.
            const auto nibbles = static_cast<unsigned>((std::bit_width(step - 14) + 3) / 4);
            const std::uint64_t most = nibbles == 16 ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * nibbles)) - 1;
            const std::uint64_t jump = step < most ? step : most;
            if constexpr (Emit) {
                for (unsigned k = 0; k < nibbles; ++k)
                    o[size + k] = static_cast<unsigned char>(0xF0u | ((jump >> (4 * k)) & 15u));
            }
            size += nibbles;
            step -= jump;
        }
        if constexpr (Emit) o[size] = static_cast<unsigned char>(step << 4 | (count < 15 ? count : 15));
        ++size;
        if (count >= 15) {
            if constexpr (Emit) store_u16(o + size, count);
            size += 2;
        }
        i = j;
    }
    return size;
}

template <bool Emit>
std::size_t y_codes(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    std::size_t size = 0;
    for (std::size_t i = 0; i < n;) {
        const std::uint16_t y = ev[i].y;
        std::size_t j = i + 1;
        while (j < n && ev[j].y == y) ++j;
        const std::size_t count = j - i;
        if constexpr (Emit) store_u16(o + size, std::size_t{y} << 5 | (count < 31 ? count : 31));
        size += 2;
        if (count >= 31) {
            if constexpr (Emit) store_u16(o + size, count);
            size += 2;
        }
        i = j;
    }
    return size;
}

template <bool Emit>
std::size_t x_codes(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    std::size_t size = 0;
    for (std::size_t i = 0; i < n;) {
        const Event first = ev[i];
        std::uint32_t mask = 0;
        std::uint32_t last = 0;  // the last event's x minus first.x
        std::size_t j = i + 1;
        for (; j < n && last < 5; ++j) {
            const Event e = ev[j];
            const std::uint32_t add = std::uint32_t{e.x} - std::uint32_t{first.x};  // wraps when below
            if (e.t != first.t || e.y != first.y || add <= last || add > 5) break;
            mask |= 1u << (5 - add);
            last = add;
        }
        if constexpr (Emit) store_u16(o + size, std::size_t{first.x} << 5 | mask);
        size += 2;
        i = j;
    }
    return size;
}

template <bool Emit>
std::size_t p_codes(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    std::size_t size = 0;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t p = ev[i].p;
        std::size_t j = i + 1;
        while (j < n && ev[j].p == p) ++j;
        const std::size_t count = j - i;
        if constexpr (Emit) o[size] = static_cast<unsigned char>(std::size_t{p} << 7 | (count < 127 ? count : 127));
        ++size;
        if (count >= 127) {
            if constexpr (Emit) store_u16(o + size, count);
            size += 2;
        }
        i = j;
    }
    return size;
}

MORVEL_INLINE std::uint32_t yxp_value(const Event& e) noexcept {
    return std::uint32_t{e.y} << 12 | std::uint32_t{e.x} << 1 | e.p;
}
MORVEL_INLINE std::uint32_t xp_value(const Event& e) noexcept { return std::uint32_t{e.x} << 1 | e.p; }

inline std::size_t yxp_words(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    const std::size_t groups = (n + 3) / 4;
    for (std::size_t g = 0; g < groups; ++g, o += 12) {
        std::uint32_t v[4] = {0, 0, 0, 0};
        const std::size_t m = n - 4 * g < 4 ? n - 4 * g : 4;
        for (std::size_t k = 0; k < m; ++k) v[k] = yxp_value(ev[4 * g + k]) & 0xFFFFFFu;
        store_u32(o, v[0] << 8 | (v[1] & 0xFFu));
        store_u32(o + 4, (v[1] >> 8) << 16 | (v[2] & 0xFFFFu));
        store_u32(o + 8, (v[2] >> 16) << 24 | v[3]);
    }
    return groups * 12;
}

inline std::size_t xp_words(const Event* ev, std::size_t n, unsigned char* o) noexcept {
    const std::size_t groups = (n + 3) / 4;
    for (std::size_t g = 0; g < groups; ++g, o += 6) {
        std::uint32_t v[4] = {0, 0, 0, 0};
        const std::size_t m = n - 4 * g < 4 ? n - 4 * g : 4;
        for (std::size_t k = 0; k < m; ++k) v[k] = xp_value(ev[4 * g + k]) & 0xFFFu;
        store_u16(o, v[0] << 4 | (v[1] & 0xFu));
        store_u16(o + 2, (v[1] >> 4) << 8 | (v[2] & 0xFFu));
        store_u16(o + 4, (v[2] >> 8) << 12 | v[3]);
    }
    return groups * 6;
}

// Bytes after the header and the time codes.
inline std::size_t body_size(const Event* ev, std::size_t n, EcfMode mode) noexcept {
    const std::size_t groups = (n + 3) / 4;
    switch (mode) {
        case EcfMode::yxp_packed: return 12 * groups;
        case EcfMode::xp_packed: return y_codes<false>(ev, n, nullptr) + 6 * groups;
        case EcfMode::codes:
            return y_codes<false>(ev, n, nullptr) + x_codes<false>(ev, n, nullptr) + p_codes<false>(ev, n, nullptr);
    }
    return 0;
}

// Writes checked events in mode; returns the bytes.
inline std::size_t emit(const Event* ev, std::size_t n, EcfMode mode, unsigned char* out) noexcept {
    const std::uint32_t flags = mode == EcfMode::yxp_packed ? 2u : mode == EcfMode::xp_packed ? 1u : 0u;
    store_u32(out, static_cast<std::uint32_t>(n) << 2 | flags);
    const std::uint64_t t0 = n != 0 ? ev[0].t : 0;
    std::memcpy(out + 4, &t0, sizeof t0);
    std::size_t o = kEcfHeaderBytes;
    o += time_codes<true>(ev, n, out + o);
    if (mode == EcfMode::yxp_packed) return o + yxp_words(ev, n, out + o);
    o += y_codes<true>(ev, n, out + o);
    if (mode == EcfMode::xp_packed) return o + xp_words(ev, n, out + o);
    o += x_codes<true>(ev, n, out + o);
    return o + p_codes<true>(ev, n, out + o);
}

}  // namespace ecf_detail

// At least what any layout takes for n events: the header, 17 bytes of time
// codes per event (a 16-nibble jump and a code), then the larger of 5 bytes
// per event (y, x and p codes) and 12 per group of 4 (yxp words). Saturates
// at SIZE_MAX.
inline std::size_t ecf_max_encoded_size(std::size_t n) noexcept {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    if (n > (kMax - 2 * kEcfHeaderBytes) / 22) return kMax;
    const std::size_t codes = 5 * n;
    const std::size_t words = 12 * ((n + 3) / 4);
    return kEcfHeaderBytes + 17 * n + (codes > words ? codes : words);
}

// Exactly what ecf_encode_mode writes for these events in mode (they are
// taken as valid; for others the size means nothing, but is computed safely).
inline std::size_t ecf_encoded_size(const Event* ev, std::size_t n, EcfMode mode) noexcept {
    return kEcfHeaderBytes + ecf_detail::time_codes<false>(ev, n, nullptr) + ecf_detail::body_size(ev, n, mode);
}

// Encodes ev[0, n) in mode into out, which has room for
// ecf_encoded_size(ev, n, mode) bytes (ecf_max_encoded_size(n) is always
// enough). Events the mode cannot hold are refused before a byte is written.
inline EcfEncoded ecf_encode_mode(const Event* ev, std::size_t n, EcfMode mode, unsigned char* out) noexcept {
    const std::uint32_t y_limit = mode == EcfMode::yxp_packed ? kEcfYLimitPacked : kEcfYLimitCodes;
    const ecf_detail::Checked c = ecf_detail::check(ev, n, y_limit);
    if (c.error != EcfEncodeError::none) return {0, c.error, c.at, mode};
    return {ecf_detail::emit(ev, n, mode, out), EcfEncodeError::none, n, mode};
}

// Encodes ev[0, n) in the layout of fewest bytes (ties: yxp words, xp words,
// codes) among those that hold its y's, into out (room for
// ecf_max_encoded_size(n) bytes; exactly the returned size is written).
inline EcfEncoded ecf_encode(const Event* ev, std::size_t n, unsigned char* out) noexcept {
    const ecf_detail::Checked c = ecf_detail::check(ev, n, kEcfYLimitPacked);
    if (c.error != EcfEncodeError::none) return {0, c.error, c.at, EcfMode::yxp_packed};
    EcfMode mode = EcfMode::yxp_packed;
    if (!c.wide_y) {
        // The time codes are the same in every layout: compare the rest.
        const std::size_t groups = (n + 3) / 4;
        std::size_t best = 12 * groups;
        const std::size_t ys = ecf_detail::y_codes<false>(ev, n, nullptr);
        if (ys + 6 * groups < best) {
            best = ys + 6 * groups;
            mode = EcfMode::xp_packed;
        }
        if (ys < best) {
            const std::size_t xs = ecf_detail::x_codes<false>(ev, n, nullptr);
            if (ys + xs < best && ys + xs + ecf_detail::p_codes<false>(ev, n, nullptr) < best) mode = EcfMode::codes;
        }
    }
    return {ecf_detail::emit(ev, n, mode, out), EcfEncodeError::none, n, mode};
}

}  // namespace morvel::kernels
