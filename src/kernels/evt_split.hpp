// What a piece of camera words does to a decoder's state, found without
// decoding it, so that a buffer cut into pieces decodes piece by piece on
// any thread:
//
//   Scan<D>::Summary s = Scan<D>::summarize(shape, piece, bytes);  // any order
//                           (shape: a decoder set up for the data: DAT's record size)
//   Scan<D>::apply(state, s);  // state at the piece's start -> at its end
//
// A summary holds the piece's event count and, for every field of the
// decoder's state, either the value the piece leaves there or how it
// changes the incoming one (wraps, which depend on the incoming time
// high). Applying the summaries in order to a decoder's state gives the
// state that decoding the pieces one after the other reaches; each piece
// then decodes from its start state into its own slice of one output, and
// the events are those of one decode of the whole buffer.
//
// Pieces start and end on word boundaries.
#pragma once

#include "dat.hpp"
#include "evt.hpp"

#include <cstddef>
#include <cstdint>

namespace morvel::kernels {

template <class Decoder>
struct Scan;

// Time highs that change with a wrap rule: EVT 2.0 and 2.1 (28-bit, a drop
// of at least 2^27 adds 2^34), EVT 3.0 (12-bit, a drop of at least 2^11 is
// a loop of the 24-bit time), DAT (32-bit stamps, a drop of more than 2^31
// adds 2^32). `Wraps` counts them from the piece's first value on.
struct HighRun {
    bool seen = false;
    std::uint64_t first = 0, last = 0;
    std::uint64_t wraps = 0;  // among the piece's own values
    bool back = false;        // a value dropped without wrapping

    template <std::uint64_t kWrapDrop, bool kStrict>
    MORVEL_INLINE void add(std::uint64_t v) noexcept {
        if (!seen) {
            seen = true;
            first = v;
        } else {
            if (kStrict ? last > v + kWrapDrop : last >= v + kWrapDrop) ++wraps;
            else if (v < last) back = true;
        }
        last = v;
    }
};

// ---------------------------------------------------------------------------
// EVT 2.0 and 2.1: the time high and the wraps.

template <class Decoder, class Word, unsigned kTypeShift, unsigned kHighShift>
struct EvtHighScan {
    struct Summary {
        std::size_t events = 0;
        HighRun high;
    };

    static Word load(const unsigned char* p) noexcept {
        if constexpr (sizeof(Word) == 4) return load_u32(p);
        else return load_u64(p);
    }

    static Summary summarize(const Decoder&, const unsigned char* data, std::size_t n) noexcept {
        const std::size_t words = n / sizeof(Word);
        if constexpr (sizeof(Word) == 4) {
            if (simd::avx512()) return summarize_wide(data, words);
        }
        Summary s;
        const Decoder counter;
        s.events = counter.count_events(data, n);
        for (std::size_t i = 0; i < words; ++i) {
            const Word w = load(data + i * sizeof(Word));
            if ((w >> kTypeShift) == 0x8) [[unlikely]]
                s.high.template add<std::uint64_t{1} << 27, false>((w >> kHighShift) & 0x0FFFFFFFu);
        }
        return s;
    }

    // The same from one wide pass (evt_avx512.hpp). As for EVT 3.0, the
    // callback takes locals of its own, and the bytes' address by value.
    static Summary summarize_wide(const unsigned char* data, std::size_t words) noexcept {
        HighRun high;
        const std::size_t events = evt2_scan_avx512(data, words, [&high, data](std::size_t k) {
            high.template add<std::uint64_t{1} << 27, false>((load(data + k * sizeof(Word)) >> kHighShift) & 0x0FFFFFFFu);
        });
        Summary s;
        s.events = events;
        s.high = high;
        return s;
    }

    static void apply(Decoder& d, const Summary& s) noexcept {
        if (!s.high.seen) return;
        const std::uint64_t wraps = (d.time_high >= s.high.first + (std::uint64_t{1} << 27) ? 1 : 0) + s.high.wraps;
        d.offset += wraps << 34;
        d.time_high = s.high.last;
    }

    // Whether the time high went back without a wrap after the piece's
    // start (its first value checked against the incoming one).
    static bool goes_back(const Decoder& d, const Summary& s) noexcept {
        if (!s.high.seen) return false;
        const bool first_back = s.high.first < d.time_high && d.time_high < s.high.first + (std::uint64_t{1} << 27);
        return first_back || s.high.back;
    }

    // The smallest t of any event decoded from state d (until its next
    // time high), and the span above it that such events reach.
    static std::uint64_t floor_t(const Decoder& d) noexcept { return d.offset + (d.time_high << 6); }
    static constexpr std::uint64_t kSpan = 64;
};

template <>
struct Scan<Evt2Decoder> : EvtHighScan<Evt2Decoder, std::uint32_t, 28, 0> {};

template <>
struct Scan<Evt21Decoder> : EvtHighScan<Evt21Decoder, std::uint64_t, 60, 32> {};

// ---------------------------------------------------------------------------
// EVT 3.0: y, base x and polarity, time high, low and loops.
//
// Events and vector steps come from a vectorised pass, time highs and
// vector bases (rare words) from a pass that looks at four words at a time
// (the wide path finds them all in one pass);
// y and time low, which camera data sets again every few words, from the
// piece's end backwards.

template <>
struct Scan<Evt3Decoder> {
    // What the piece leaves in time low.
    enum class Low : std::uint8_t {
        incoming,  // untouched
        value,     // `low`
        first_high // 0 if the piece's first time high changes the incoming
                   // one, else `low` (when `low_before`) or the incoming low
    };

    struct Summary {
        std::size_t events = 0;
        bool has_y = false, has_base = false;
        std::uint16_t y = 0;
        std::uint16_t base_x = 0;  // the value (has_base) or what vectors add
        std::uint8_t polarity = 0;
        HighRun high;
        Low low_kind = Low::incoming;
        bool low_before = false;
        std::uint32_t low = 0;
    };

    static Summary summarize(const Evt3Decoder&, const unsigned char* data, std::size_t n) noexcept {
        return simd::avx512() ? summarize_wide(data, n / 2) : summarize_plain(data, n / 2);
    }

    static void apply(Evt3Decoder& d, const Summary& s) noexcept {
        if (s.has_y) d.y = s.y;
        if (s.has_base) {
            d.base_x = s.base_x;
            d.polarity = s.polarity;
        } else {
            d.base_x = static_cast<std::uint16_t>(d.base_x + s.base_x);
        }
        bool changed = false;
        if (s.high.seen) {
            changed = d.time_high != s.high.first;
            d.loops += (d.time_high >= s.high.first + 2048u ? 1u : 0u) + s.high.wraps;
            d.time_high = static_cast<std::uint32_t>(s.high.last);
        }
        switch (s.low_kind) {
            case Low::incoming: break;
            case Low::value: d.time_low = s.low; break;
            case Low::first_high:
                if (changed) d.time_low = 0;
                else if (s.low_before) d.time_low = s.low;
                break;
        }
    }

    static bool goes_back(const Evt3Decoder& d, const Summary& s) noexcept {
        if (!s.high.seen) return false;
        const bool first_back = s.high.first < d.time_high && d.time_high < s.high.first + 2048u;
        return first_back || s.high.back;
    }

    static std::uint64_t floor_t(const Evt3Decoder& d) noexcept {
        return (d.loops << 24) | (std::uint64_t{d.time_high} << 12);
    }
    static constexpr std::uint64_t kSpan = 4096;

private:
    static Summary summarize_plain(const unsigned char* data, std::size_t words) noexcept {
        Summary s;
        // Events, and what vectors add to base x, in 16-bit lanes summed per
        // block (vectorised).
        std::uint16_t adds = 0;
        constexpr std::size_t kBlock = 4096;  // 4096 * 12 < 2^16
        for (std::size_t i = 0; i < words;) {
            const std::size_t end = words - i > kBlock ? i + kBlock : words;
            std::uint16_t events = 0, add = 0;
            for (; i < end; ++i) {
                const std::uint16_t w = load_u16(data + 2 * i);
                const auto type = static_cast<std::uint16_t>(w >> 12);
                const auto m12 = static_cast<std::uint16_t>(-static_cast<std::uint16_t>(type == 0x4));
                const auto m8 = static_cast<std::uint16_t>(-static_cast<std::uint16_t>(type == 0x5));
                const auto bits = static_cast<std::uint16_t>(w & ((m12 & 0x0FFFu) | (m8 & 0x00FFu)));
                events = static_cast<std::uint16_t>(events + (type == 0x2) + Evt3Decoder::popcount16(bits));
                add = static_cast<std::uint16_t>(add + ((m12 & 12u) | (m8 & 8u)));
            }
            s.events += events;
            adds = static_cast<std::uint16_t>(adds + add);
        }
        // The rare words, four at a time: time highs and vector bases (a
        // lane whose type nibble is 0x8 or 0x3).
        std::size_t last_base = words;
        auto rare = [&](std::size_t k) {
            const std::uint16_t w = load_u16(data + 2 * k);
            if ((w >> 12) == 0x8) s.high.template add<2048, false>(w & 0xFFFu);
            else if ((w >> 12) == 0x3) last_base = k;
        };
        std::size_t i = 0;
        for (; i + 4 <= words; i += 4) {
            const std::uint64_t v = load_u64(data + 2 * i) & 0xF000F000F000F000u;
            if ((zero_lanes(v ^ 0x8000800080008000u) | zero_lanes(v ^ 0x3000300030003000u)) != 0) [[unlikely]]
                for (std::size_t k = i; k < i + 4; ++k) rare(k);
        }
        for (; i < words; ++i) rare(i);
        std::uint16_t after = 0;
        if (last_base < words) {
            for (std::size_t k = last_base + 1; k < words; ++k) {
                const auto type = load_u16(data + 2 * k) >> 12;
                after = static_cast<std::uint16_t>(after + (type == 0x4 ? 12 : 0) + (type == 0x5 ? 8 : 0));
            }
        }
        finish(s, data, words, last_base, after, adds);
        return s;
    }

    // The same from one wide pass (evt_avx512.hpp). What the pass's callback
    // sets are locals of their own, and it takes the bytes' address by
    // value: an object whose address reaches that call (not inlined, another
    // target) is kept in memory throughout, the plain path's included.
    static Summary summarize_wide(const unsigned char* data, std::size_t words) noexcept {
        HighRun high;
        std::size_t last_base = words;
        std::uint16_t adds = 0, at_base = 0;
        const std::size_t events =
            evt3_scan_avx512(data, words, &adds, [&high, &last_base, &at_base, data](std::size_t k, std::uint16_t steps) {
            const std::uint16_t w = load_u16(data + 2 * k);
            if ((w >> 12) == 0x8) {
                high.template add<2048, false>(w & 0xFFFu);
            } else {
                last_base = k;
                at_base = steps;
            }
        });
        Summary s;
        s.events = events;
        s.high = high;
        finish(s, data, words, last_base, static_cast<std::uint16_t>(adds - at_base), adds);
        return s;
    }

    // Base x and polarity from the last vector base (and the vector steps
    // `after` it) or, with none, the steps of the piece (`adds`); then y and
    // time low.
    static void finish(Summary& s, const unsigned char* data, std::size_t words, std::size_t last_base,
                       std::uint16_t after, std::uint16_t adds) noexcept {
        if (last_base < words) {
            const std::uint16_t w = load_u16(data + 2 * last_base);
            s.has_base = true;
            s.base_x = static_cast<std::uint16_t>((w & 0x7FFu) + after);
            s.polarity = static_cast<std::uint8_t>((w >> 11) & 1u);
        } else {
            s.base_x = adds;
        }
        backwards(s, data, words);
    }

    // Bit 12 of each 16-bit lane of v (whose lanes hold only their type
    // nibble) set where the lane is 0.
    static MORVEL_INLINE std::uint64_t zero_lanes(std::uint64_t d) noexcept {
        return ~(d | (d >> 1) | (d >> 2) | (d >> 3)) & 0x1000100010001000u;
    }

    // y and time low from the piece's end back.
    static void backwards(Summary& s, const unsigned char* data, std::size_t words) noexcept {
        // Time low, from the end back: before any time high a time low is
        // the answer. After one (`candidate`, the earliest met), what the
        // piece leaves depends on whether that high changed the one before
        // it: 0 if it did, else the last time low before it (`pending`).
        bool low_done = false, candidate = false, pending = false;
        std::uint16_t cand_high = 0;
        for (std::size_t i = words; i > 0 && !(s.has_y && low_done); --i) {
            const std::uint16_t w = load_u16(data + 2 * (i - 1));
            switch (w >> 12) {
                case 0x0:
                    if (!s.has_y) {
                        s.has_y = true;
                        s.y = static_cast<std::uint16_t>(w & 0x7FFu);
                    }
                    break;
                case 0x6:
                    if (low_done || pending) break;
                    s.low = w & 0xFFFu;
                    if (candidate) {
                        pending = true;
                    } else {
                        s.low_kind = Low::value;
                        low_done = true;
                    }
                    break;
                case 0x8: {
                    if (low_done) break;
                    const auto h = static_cast<std::uint16_t>(w & 0xFFFu);
                    if (!candidate) {
                        candidate = true;
                        cand_high = h;
                    } else if (h != cand_high) {
                        s.low_kind = Low::value;  // the candidate changed it: 0
                        s.low = 0;
                        low_done = true;
                    } else if (pending) {
                        s.low_kind = Low::value;  // unchanged: the low before it
                        low_done = true;
                    }
                    break;
                }
                default: break;
            }
        }
        if (!low_done && candidate) {
            s.low_kind = Low::first_high;
            s.low_before = pending;
        }
    }
};

// ---------------------------------------------------------------------------
// 32-bit stamps that wrap when one is lower than the previous by more than
// 2^31 (adding 2^32): a decoder's `prev` and `offset` moved past a piece
// whose stamps `high` ran over (DAT here, AEDAT 2.0 in record_split.hpp).

template <class Decoder>
void apply_stamp_wraps(Decoder& d, const HighRun& high) noexcept {
    if (!high.seen) return;
    const std::uint64_t wraps =
        (d.prev > high.first && d.prev - high.first > (std::uint64_t{1} << 31) ? 1 : 0) + high.wraps;
    d.offset += wraps << 32;
    d.prev = static_cast<std::uint32_t>(high.last);
}

// ---------------------------------------------------------------------------
// DAT: the last raw stamp and the wraps (records of `record_bytes`, the CD
// types only).

template <>
struct Scan<DatDecoder> {
    struct Summary {
        std::size_t events = 0;
        HighRun high;
    };

    static Summary summarize(const DatDecoder& shape, const unsigned char* data, std::size_t n) noexcept {
        Summary s;
        if (!shape.cd) return s;
        const std::size_t rb = shape.record;
        const std::size_t records = n / rb;
        s.events = records;
        for (std::size_t i = 0; i < records; ++i) s.high.template add<std::uint64_t{1} << 31, true>(load_u32(data + i * rb));
        return s;
    }

    static void apply(DatDecoder& d, const Summary& s) noexcept { apply_stamp_wraps(d, s.high); }
};

}  // namespace morvel::kernels
