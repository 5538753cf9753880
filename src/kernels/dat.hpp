// Prophesee DAT files: what the header says, a streaming decoder of the
// event records and the encoder that writes them.
//
// A DAT file starts with "% key value" header lines (parsed by
// raw_header.hpp: "% Date ...", "% Version 2", "% Width W", "% Height H",
// and "% T0 N" from some writers). Then one byte gives the event type and one
// byte the size of every event record. Types 0x00 (2D events) and 0x0C (CD
// events) are CD events: a u32 LE timestamp and a u32 LE word, of which
//   version 2 and later: x = bits 13..0, y = bits 27..14, p = bits 31..28
//   version 0 and 1:     x = bits 8..0,  y = bits 16..9,  p = bit 17
// (p is 1 when its bits are not all 0). Records bigger than 8 bytes keep
// these 8 first. Records of any other type are skipped, not decoded.
//
// Timestamps are 32-bit and wrap after 2^32 us (71.6 minutes). The decoder
// unwraps them: a timestamp lower than the previous one by more than 2^31
// adds 2^32 to it and to every later one. "% T0 N" is added to every t.
//
// The encoder writes version 2 CD records (type 0x0C, size 8) and accepts
// only events that read back as they were: x and y below 2^14, p 0 or 1, and
// t such that the unwrapping above gives it back (t >= t0, no step of 2^31
// or more forward, none back across a wrap).
#pragma once

#include "event.hpp"
#include "raw_header.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvel::kernels {

inline constexpr std::uint8_t kDatTypeTd = 0x00;  // 2D events
inline constexpr std::uint8_t kDatTypeCd = 0x0C;  // CD events
inline constexpr std::uint32_t kDatMaxCoordinate = (1u << 14) - 1;

inline bool dat_is_cd(std::uint8_t type) noexcept { return type == kDatTypeTd || type == kDatTypeCd; }

// What the header lines say (keys compared without regard to case).
struct DatHeaderInfo {
    std::uint32_t width = 0, height = 0;  // 0: not given (or not a number in 1..65536)
    int version = -1;                     // -1: no "Version" line; a version that is no number counts as 2
    std::uint64_t t0 = 0;                 // "T0", when it is a plain decimal number below 2^63
};

namespace dat_detail {

inline bool parse_u64(std::string_view s, std::uint64_t& out) noexcept {
    s = raw_header_detail::trim(s);
    if (s.empty() || s.size() > 18) return false;  // up to 10^18 - 1: no overflow
    std::uint64_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    out = v;
    return true;
}

}  // namespace dat_detail

inline DatHeaderInfo describe_dat_header(const unsigned char* data, const RawHeaderEntry* entries,
                                         std::size_t n) noexcept {
    DatHeaderInfo info;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = raw_entry_key(data, entries[i]);
        const std::string_view value = raw_entry_value(data, entries[i]);
        std::uint32_t d;
        std::uint64_t v;
        if (raw_header_detail::iequals(key, "width")) {
            if (parse_raw_dimension(value, d)) info.width = d;
        } else if (raw_header_detail::iequals(key, "height")) {
            if (parse_raw_dimension(value, d)) info.height = d;
        } else if (raw_header_detail::iequals(key, "version")) {
            info.version = dat_detail::parse_u64(value, v) && v < 1000 ? static_cast<int>(v) : 2;
        } else if (raw_header_detail::iequals(key, "t0")) {
            if (dat_detail::parse_u64(value, v)) info.t0 = v;
        }
    }
    if (info.width == 0 || info.height == 0) info.width = info.height = 0;
    return info;
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------
struct DatDecoder {
    static constexpr std::size_t kMaxRecord = 255;

    // Set before the first call.
    std::size_t record = 8;  // bytes per record (>= 8 for CD events, >= 1 otherwise)
    bool cd = true;          // the records are CD events (else all are skipped)
    bool old_layout = false; // version 0 or 1 bit positions
    std::uint64_t t0 = 0;

    // Carried between calls.
    std::uint32_t prev = 0;     // last raw timestamp
    std::uint64_t offset = 0;   // wraps * 2^32
    std::size_t pending = 0;    // bytes of an incomplete record held in tail
    unsigned char tail[kMaxRecord] = {};

    std::size_t pending_bytes() const noexcept { return pending; }

    // Exact number of events decode(data, n) will produce.
    std::size_t count_events(const unsigned char*, std::size_t n) const noexcept {
        return cd ? (pending + n) / record : 0;
    }

    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (n == 0) return 0;
        std::size_t k = 0;
        if (pending != 0) {
            const std::size_t need = record - pending;
            if (n < need) {
                std::memcpy(tail + pending, data, n);
                pending += n;
                return 0;
            }
            std::memcpy(tail + pending, data, need);
            data += need;
            n -= need;
            pending = 0;
            if (cd) step(tail, out + k++);
        }
        const std::size_t records = n / record;
        if (cd) {
            if (record == 8 && !old_layout) {
                for (std::size_t i = 0; i < records; ++i) step_v2(data + 8 * i, out + k + i);
            } else {
                for (std::size_t i = 0; i < records; ++i) step(data + record * i, out + k + i);
            }
            k += records;
        }
        pending = n - records * record;
        if (pending != 0) std::memcpy(tail, data + records * record, pending);
        return k;
    }

private:
    MORVEL_INLINE std::uint64_t unwrap(std::uint32_t ts) noexcept {
        if (prev > ts && prev - ts > (std::uint32_t{1} << 31)) offset += std::uint64_t{1} << 32;
        prev = ts;
        return t0 + offset + ts;
    }

    MORVEL_INLINE void step_v2(const unsigned char* r, Event* out) noexcept {
        const std::uint32_t w = load_u32(r + 4);
        out->t = unwrap(load_u32(r));
        out->x = static_cast<std::uint16_t>(w & 0x3FFFu);
        out->y = static_cast<std::uint16_t>((w >> 14) & 0x3FFFu);
        out->p = static_cast<std::uint8_t>((w >> 28) != 0);
    }

    void step(const unsigned char* r, Event* out) noexcept {
        if (!old_layout) return step_v2(r, out);
        const std::uint32_t w = load_u32(r + 4);
        out->t = unwrap(load_u32(r));
        out->x = static_cast<std::uint16_t>(w & 0x1FFu);
        out->y = static_cast<std::uint16_t>((w >> 9) & 0xFFu);
        out->p = static_cast<std::uint8_t>((w >> 17) & 1u);
    }
};

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------
enum class DatEncodeError : std::uint8_t { none, x_too_large, y_too_large, bad_polarity, time_not_stored };

inline const char* dat_encode_error_message(DatEncodeError e) noexcept {
    switch (e) {
        case DatEncodeError::none: return "no error";
        case DatEncodeError::x_too_large: return "x must be below 16384";
        case DatEncodeError::y_too_large: return "y must be below 16384";
        case DatEncodeError::bad_polarity: return "p must be 0 or 1";
        case DatEncodeError::time_not_stored:
            return "DAT keeps 32-bit timestamps, and this t would not read back (it is below the file's first "
                   "t, steps forward by 2**31 us or more, or back across a wrap)";
    }
    return "unknown error";
}

struct DatEncodeResult {
    DatEncodeError error;
    std::size_t index;  // the offending event, else n
};

struct DatEncoder {
    static constexpr std::size_t kRecordBytes = 8;

    std::uint64_t t0 = 0;  // written as "% T0" when not 0 (set before the first event)
    // The decoder's state after the events encoded so far.
    std::uint32_t prev = 0;
    std::uint64_t offset = 0;

    // t0 for a file whose first event is at t: the multiple of 2^32 at or
    // below it, so that the first timestamp needs no wrap.
    static std::uint64_t t0_for(std::uint64_t first_t) noexcept { return first_t & ~std::uint64_t{0xFFFFFFFF}; }

    // The first event that cannot follow the events encoded so far (the
    // state is not changed).
    DatEncodeResult check(const Event* ev, std::size_t n) const noexcept {
        std::uint32_t pv = prev;
        std::uint64_t off = offset;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            DatEncodeError err = DatEncodeError::none;
            if (e.x > kDatMaxCoordinate) err = DatEncodeError::x_too_large;
            else if (e.y > kDatMaxCoordinate) err = DatEncodeError::y_too_large;
            else if (e.p > 1) err = DatEncodeError::bad_polarity;
            else if (e.t < t0) err = DatEncodeError::time_not_stored;
            if (err == DatEncodeError::none) {
                const std::uint64_t d = e.t - t0;
                const auto ts = static_cast<std::uint32_t>(d);
                if (pv > ts && pv - ts > (std::uint32_t{1} << 31)) off += std::uint64_t{1} << 32;
                pv = ts;
                if (off + ts != d) err = DatEncodeError::time_not_stored;
            }
            if (err != DatEncodeError::none) return {err, i};
        }
        return {DatEncodeError::none, n};
    }

    // Writes 8 * n bytes (checked events) and moves the state past them.
    void encode(const Event* ev, std::size_t n, unsigned char* out) noexcept {
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            const std::uint64_t d = e.t - t0;
            const auto ts = static_cast<std::uint32_t>(d);
            if (prev > ts && prev - ts > (std::uint32_t{1} << 31)) offset += std::uint64_t{1} << 32;
            prev = ts;
            const std::uint32_t w = (std::uint32_t{e.x} & 0x3FFFu) | ((std::uint32_t{e.y} & 0x3FFFu) << 14) |
                                    (std::uint32_t{e.p & 1u} << 28);
            std::memcpy(out + kRecordBytes * i, &ts, 4);
            std::memcpy(out + kRecordBytes * i + 4, &w, 4);
        }
    }
};

}  // namespace morvel::kernels
