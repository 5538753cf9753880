// The 5-byte ATIS binary format of N-MNIST, N-Caltech101 and N-CARS: no
// header, then records of
//     byte 0: x (u8), byte 1: y (u8),
//     byte 2: bit 7 polarity, bits 6..0 timestamp bits 22..16,
//     bytes 3, 4: timestamp bits 15..8 and 7..0
// (a 23-bit timestamp in microseconds). The timestamp wraps after 2^23 us
// (8.4 s). A record with y == 240 marks the wrap: it is no event, it adds
// 2^23 to every later t and the timestamps start again from it. A wrap
// without its marker shows as a timestamp lower than the previous one by
// more than 2^22, which also adds 2^23 (smaller steps back are taken as
// they come: events are not always in order within a few microseconds).
//
// The encoder writes markers where t passes a multiple of 2^23 and refuses
// what would not read back: y == 240 (a marker), x or y above 255, p above
// 1, t before the current 2^23 span or stepping back by more than 2^22.
#pragma once

#include "event.hpp"
#include "stream_parser.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace morvel::kernels {

inline constexpr std::size_t kAtisRecord = 5;
inline constexpr std::uint32_t kAtisMarkerY = 240;
inline constexpr std::uint64_t kAtisSpan = std::uint64_t{1} << 23;
inline constexpr std::uint32_t kAtisBack = std::uint32_t{1} << 22;  // a larger step back is a wrap
inline constexpr std::uint64_t kAtisMaxMarkers = std::uint64_t{1} << 20;  // between two events (2.4 hours)

struct AtisParser {
    std::uint64_t offset = 0;   // wraps * 2^23
    std::uint32_t prev = 0;     // last timestamp
    Records<kAtisRecord> records;
    std::string error;

    std::size_t max_events(std::size_t n) const noexcept { return records.max_records(n); }
    bool failed() const noexcept { return !error.empty(); }
    std::string error_message() const { return error; }

    std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept {
        return records.parse(data, n, out, [this](const unsigned char* r, Event* e) { return step(r, e); });
    }

    std::size_t finish(Event*) {
        records.finish(error);
        return 0;
    }

    // The decoder interface of pieces of whole records (kit/split.hpp).
    static constexpr std::size_t kWordBytes = kAtisRecord;
    static std::size_t count_events(const unsigned char* data, std::size_t n) noexcept {
        const std::size_t records = n / kAtisRecord;
        std::size_t k = 0;
        for (std::size_t i = 0; i < records; ++i) k += data[kAtisRecord * i + 1] != kAtisMarkerY;
        return k;
    }
    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept { return parse(data, n, out); }

    static std::uint32_t timestamp(const unsigned char* r) noexcept {
        return (std::uint32_t{r[2]} & 0x7Fu) << 16 | std::uint32_t{r[3]} << 8 | r[4];
    }

private:
    MORVEL_INLINE std::size_t step(const unsigned char* r, Event* out) noexcept {
        const std::uint32_t ts = timestamp(r);
        if (r[1] == kAtisMarkerY) {
            offset += kAtisSpan;
            prev = 0;
            return 0;
        }
        if (prev > ts && prev - ts > kAtisBack) offset += kAtisSpan;
        prev = ts;
        out->t = offset + ts;
        out->x = r[0];
        out->y = r[1];
        out->p = static_cast<std::uint8_t>(r[2] >> 7);
        return 1;
    }
};

enum class AtisEncodeError : std::uint8_t { none, x_too_large, y_too_large, y_marker, bad_polarity, time_not_stored };

inline const char* atis_encode_error_message(AtisEncodeError e) noexcept {
    switch (e) {
        case AtisEncodeError::none: return "no error";
        case AtisEncodeError::x_too_large: return "x must be below 256";
        case AtisEncodeError::y_too_large: return "y must be below 256";
        case AtisEncodeError::y_marker: return "y 240 marks a timestamp wrap in this format and cannot be an event";
        case AtisEncodeError::bad_polarity: return "p must be 0 or 1";
        case AtisEncodeError::time_not_stored:
            return "the format keeps 23-bit timestamps, and this t would not read back (it goes back into an "
                   "earlier 2**23 us span, back by more than 2**22 us, or forward by more than 2**43 us)";
    }
    return "unknown error";
}

struct AtisEncodeResult {
    AtisEncodeError error;
    std::size_t index;  // the offending event, else n
};

struct AtisEncoder {
    // The reader's state after the events written so far.
    std::uint64_t span = 0;   // t / 2^23 of the current span
    std::uint32_t prev = 0;
    std::uint64_t markers = 0;  // check(): markers the events need

    // Bytes encode() writes for events that passed check().
    static std::size_t bytes_for(std::size_t n, std::uint64_t markers) noexcept {
        return (n + static_cast<std::size_t>(markers)) * kAtisRecord;
    }

    // The first event that cannot follow those written so far (the state
    // is not changed); `markers` is set to the markers the events before it
    // need.
    AtisEncodeResult check(const Event* ev, std::size_t n) noexcept {
        std::uint64_t s = span, m = 0;
        std::uint32_t pv = prev;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            AtisEncodeError err = AtisEncodeError::none;
            if (e.x > 255) err = AtisEncodeError::x_too_large;
            else if (e.y > 255) err = AtisEncodeError::y_too_large;
            else if (e.y == kAtisMarkerY) err = AtisEncodeError::y_marker;
            else if (e.p > 1) err = AtisEncodeError::bad_polarity;
            else {
                const std::uint64_t es = e.t >> 23;
                const auto ts = static_cast<std::uint32_t>(e.t & (kAtisSpan - 1));
                if (es < s || es - s > kAtisMaxMarkers) err = AtisEncodeError::time_not_stored;
                else {
                    if (es > s) {
                        m += es - s;
                        s = es;
                        pv = 0;
                    }
                    if (pv > ts && pv - ts > kAtisBack) err = AtisEncodeError::time_not_stored;
                    else pv = ts;
                }
            }
            if (err != AtisEncodeError::none) {
                markers = m;
                return {err, i};
            }
        }
        markers = m;
        return {AtisEncodeError::none, n};
    }

    // Writes the records of checked events (bytes_for(n, markers) bytes,
    // markers from check()) and moves the state past them.
    std::size_t encode(const Event* ev, std::size_t n, unsigned char* out) noexcept {
        unsigned char* o = out;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = ev[i];
            const std::uint64_t es = e.t >> 23;
            for (; span < es; ++span) {
                o[0] = 0;
                o[1] = static_cast<unsigned char>(kAtisMarkerY);
                o[2] = o[3] = o[4] = 0;
                o += kAtisRecord;
                prev = 0;
            }
            const auto ts = static_cast<std::uint32_t>(e.t & (kAtisSpan - 1));
            prev = ts;
            o[0] = static_cast<unsigned char>(e.x);
            o[1] = static_cast<unsigned char>(e.y);
            o[2] = static_cast<unsigned char>((e.p & 1u) << 7 | (ts >> 16));
            o[3] = static_cast<unsigned char>(ts >> 8);
            o[4] = static_cast<unsigned char>(ts);
            o += kAtisRecord;
        }
        return static_cast<std::size_t>(o - out);
    }
};

}  // namespace morvel::kernels
