// The hot loops of the EVT 2.0 and EVT 3.0 decoders (evt.hpp): the state a
// decoder keeps in locals while it decodes, and the plain word-by-word
// steps. The wide paths (evt_avx512.hpp) work on the same state and hand
// the words they do not take to these steps.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.hpp"

namespace morvel::kernels {

// Where the last words of [data, end) that yield at least `room` events
// begin (data when all of them yield fewer); events(p) counts the events of
// the word at p. Loops that write past their last event stop there, and the
// words after go one by one.
template <std::size_t kWordBytes, class Events>
MORVEL_INLINE const unsigned char* last_events_start(const unsigned char* data, const unsigned char* end,
                                                     std::size_t room, Events&& events) noexcept {
    const unsigned char* split = end;
    for (std::size_t after = 0; split != data && after < room; split -= kWordBytes) after += events(split - kWordBytes);
    return split;
}

// ---------------------------------------------------------------------------
// EVT 2.0
//
// Word type in bits 31..28:
//   0x0 CD_OFF / 0x1 CD_ON   x = bits 21..11, y = bits 10..0, t low = 27..22
//   0x8 EVT_TIME_HIGH        timestamp bits 33..6 (28 bits)
//   anything else            ignored
// The 34-bit timestamp wraps; a time high that drops by at least 2^27 adds
// 2^34 to every later timestamp.
// ---------------------------------------------------------------------------
// The EVT 2.0 time state, held in locals by the hot loops.
struct Evt2Cursor {
    std::uint64_t time_high;
    std::uint64_t offset;
    std::uint64_t base;  // offset + (time_high << 6)

    // An EVT_TIME_HIGH word.
    MORVEL_INLINE void high(std::uint32_t w) noexcept {
        const std::uint64_t th = w & 0x0FFFFFFFu;
        if (time_high >= th + (std::uint64_t{1} << 27)) offset += std::uint64_t{1} << 34;
        time_high = th;
        base = offset + (th << 6);
    }

    // Decodes one word; returns 1 if an event was written to *out.
    MORVEL_INLINE std::size_t step(std::uint32_t w, Event* out) noexcept {
        const std::uint32_t type = w >> 28;
        if (type < 2) {
            out->t = base | ((w >> 22) & 0x3Fu);
            out->x = static_cast<std::uint16_t>((w >> 11) & 0x7FFu);
            out->y = static_cast<std::uint16_t>(w & 0x7FFu);
            out->p = static_cast<std::uint8_t>(type);
            return 1;
        }
        if (type == 0x8) high(w);
        return 0;
    }
};

// ---------------------------------------------------------------------------
// EVT 3.0
//
// Word type in bits 15..12:
//   0x0 EVT_ADDR_Y    y = bits 10..0 (bit 11: master/slave, ignored)
//   0x2 EVT_ADDR_X    one event, x = bits 10..0, p = bit 11
//   0x3 VECT_BASE_X   base x = bits 10..0, vector polarity = bit 11
//   0x4 VECT_12       events at base_x + i for set bits i of 11..0; base_x += 12
//   0x5 VECT_8        events at base_x + i for set bits i of 7..0;  base_x += 8
//   0x6 EVT_TIME_LOW  time bits 11..0
//   0x8 EVT_TIME_HIGH time bits 23..12; a change clears time low, a drop of
//                     at least 2048 is a wrap of the 24-bit counter
//   anything else     ignored (CONTINUED_4/12, EXT_TRIGGER, OTHERS, padding)
// ---------------------------------------------------------------------------
// Decoder state kept in locals for the hot loop. The time is held as
// base = (loops << 24) | (time_high << 12) and t = base + time_low, which
// keeps register pressure low.
struct Evt3Cursor {
    static constexpr std::size_t kWordBytes = 2;

    std::uint64_t base;
    std::uint64_t t;
    std::uint16_t y;
    std::uint16_t base_x;
    std::uint8_t polarity;

    // type == K ? a : r, without a jump. Compilers, seeing that these
    // conditions exclude each other, turn plain selects back into jumps,
    // which mispredict here.
    template <unsigned K, class T>
    static MORVEL_INLINE T pick_if(std::uint64_t type, T a, T r) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
        __asm__("cmpq %[k], %[ty]\n\tcmove %[a], %[r]"
                : [r] "+r"(r)
                : [ty] "r"(type), [k] "i"(K), [a] "r"(a)
                : "cc");
        return r;
#else
        return type == K ? a : r;
#endif
    }

    static MORVEL_INLINE void store_u64(unsigned char* dst, std::uint64_t v) noexcept {
        std::memcpy(dst, &v, sizeof v);
    }

    MORVEL_INLINE std::size_t vector(unsigned bits, Event* out) noexcept {
        std::size_t k = 0;
        while (bits != 0) {
            const unsigned i = static_cast<unsigned>(std::countr_zero(bits));
            bits &= bits - 1;
            Event& e = out[k++];
            e.t = t;
            e.x = static_cast<std::uint16_t>(base_x + i);
            e.y = y;
            e.p = polarity;
        }
        return k;
    }

    // Whether the four words in v are all EVT_ADDR_Y, EVT_ADDR_X or
    // EVT_TIME_LOW: no type has bit 3 or bit 0 set (leaving 0x0, 0x2,
    // 0x4, 0x6) and none is 0x4 (bit 2 set, bit 1 clear).
    static MORVEL_INLINE bool all_common(std::uint64_t v) noexcept {
        constexpr std::uint64_t kBits30 = 0x9000900090009000u;
        constexpr std::uint64_t kBit2 = 0x4000400040004000u;
        return ((v & kBits30) | (v & ~(v << 1) & kBit2)) == 0;
    }

    // Decodes the words in [p, end) into out; returns the events written.
    // At least two events must follow the range (room for two more
    // records). Groups of four words that are all EVT_ADDR_Y,
    // EVT_TIME_LOW or EVT_ADDR_X, nearly all of the words of sparse
    // events, go without branches: each word stores 16 bytes at the next
    // free slot, only EVT_ADDR_X moves on, and y, t and the slot are
    // picked with conditional moves. Those 16 bytes lie in slots that
    // later events fill. Other groups go word by word through step().
    MORVEL_INLINE std::size_t run(const unsigned char* p, const unsigned char* const end, Event* out) noexcept {
        constexpr unsigned kCommon = (1u << 0x0) | (1u << 0x2) | (1u << 0x6);
        // x (bits 10..0) stays and p (bit 11) goes to bit 32 at once.
        constexpr std::uint64_t kXpMul = 1 + (std::uint64_t{1} << 21);
        constexpr std::uint64_t kXpMask = 0x7FFu | (std::uint64_t{1} << 32);
        unsigned char* o = reinterpret_cast<unsigned char*>(out);
        std::uint64_t b = base;
        std::uint64_t tt = t;
        std::uint64_t yy = std::uint64_t{y} << 16;
        auto common = [&](std::uint64_t w) {
            const std::uint64_t type = w >> 12;
            const std::uint64_t f = w & 0xFFFu;
            store_u64(o, tt);
            store_u64(o + 8, yy | ((f * kXpMul) & kXpMask));
            o = pick_if<0x2>(type, o + sizeof(Event), o);
            yy = pick_if<0x0>(type, (f & 0x7FFu) << 16, yy);
            tt = pick_if<0x6>(type, b + f, tt);
        };
        while (end - p >= 8) {
            const std::uint64_t v = load_u64(p);
            if (all_common(v)) {
                common(v & 0xFFFFu);
                common((v >> 16) & 0xFFFFu);
                common((v >> 32) & 0xFFFFu);
                common(v >> 48);
                p += 8;
            } else {
                // Word by word (runs of vectors, mixed stretches) until
                // one of the three types is followed by a group of them.
                t = tt;
                y = static_cast<std::uint16_t>(yy >> 16);
                for (;;) {
                    const std::uint16_t w = load_u16(p);
                    p += kWordBytes;
                    o += step(w, reinterpret_cast<Event*>(o)) * sizeof(Event);
                    if (p == end) break;
                    if (((kCommon >> (w >> 12)) & 1u) != 0 && (end - p < 8 || all_common(load_u64(p)))) break;
                }
                b = base;
                tt = t;
                yy = std::uint64_t{y} << 16;
            }
        }
        t = tt;
        y = static_cast<std::uint16_t>(yy >> 16);
        for (; p != end; p += kWordBytes) o += step(load_u16(p), reinterpret_cast<Event*>(o)) * sizeof(Event);
        return static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out)) / sizeof(Event);
    }

    // An EVT_TIME_HIGH word; returns whether it changed the time high.
    MORVEL_INLINE bool high(std::uint16_t w) noexcept {
        const std::uint64_t th = w & 0xFFFu;
        const std::uint64_t prev = (base >> 12) & 0xFFFu;
        if (th == prev) return false;
        // A drop of half the range or more is a wrap; the new high word
        // also restarts the low word at 0.
        const std::uint64_t loops = (base >> 24) + (prev >= th + 2048u ? 1u : 0u);
        base = (loops << 24) | (th << 12);
        t = base;
        return true;
    }

    // Decodes one word; returns the number of events written to out.
    MORVEL_INLINE std::size_t step(std::uint16_t w, Event* out) noexcept {
        switch (w >> 12) {
            case 0x0:  // EVT_ADDR_Y
                y = static_cast<std::uint16_t>(w & 0x7FFu);
                return 0;
            case 0x2:  // EVT_ADDR_X
                out->t = t;
                out->x = static_cast<std::uint16_t>(w & 0x7FFu);
                out->y = y;
                out->p = static_cast<std::uint8_t>((w >> 11) & 1u);
                return 1;
            case 0x3:  // VECT_BASE_X
                base_x = static_cast<std::uint16_t>(w & 0x7FFu);
                polarity = static_cast<std::uint8_t>((w >> 11) & 1u);
                return 0;
            case 0x4: {  // VECT_12
                const std::size_t k = vector(w & 0xFFFu, out);
                base_x = static_cast<std::uint16_t>(base_x + 12u);
                return k;
            }
            case 0x5: {  // VECT_8
                const std::size_t k = vector(w & 0xFFu, out);
                base_x = static_cast<std::uint16_t>(base_x + 8u);
                return k;
            }
            case 0x6:  // EVT_TIME_LOW
                t = base + (w & 0xFFFu);
                return 0;
            case 0x8:  // EVT_TIME_HIGH
                high(w);
                return 0;
            default:
                return 0;
        }
    }
};

}  // namespace morvel::kernels
