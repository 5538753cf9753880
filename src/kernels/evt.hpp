// Streaming decoders for the Prophesee EVT 2.0 (32-bit words), EVT 2.1
// (64-bit words) and EVT 3.0 (16-bit words) raw formats.
//
// Each decoder is a small value type holding everything that survives
// between calls: the time state, wrap counters, EVT3 y / base x / polarity,
// and the bytes of an incomplete trailing word. Decoding a buffer in one call
// or in pieces of any sizes therefore runs the same per-word code and yields
// exactly the same events.
//
// Usage per call:
//   n_out = dec.count_events(data, n);          // exact, or
//   n_out = dec.max_events(n);                  // cheap upper bound
//   out   = allocate n_out Events
//   got   = dec.decode(data, n, out);           // got <= n_out
// decode() writes only real events, so either size is enough. Neither
// count_events() nor max_events() changes the state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.hpp"
#include "evt_avx512.hpp"
#include "evt_words.hpp"

namespace morvel::kernels {

// ---------------------------------------------------------------------------
// EVT 2.0 (the word layout: evt_words.hpp)
// ---------------------------------------------------------------------------
struct Evt2Decoder {
    static constexpr std::size_t kWordBytes = 4;

    std::uint64_t time_high = 0;    // last EVT_TIME_HIGH payload (28 bits)
    std::uint64_t offset = 0;       // wraps * 2^34
    std::size_t pending = 0;        // bytes held in tail (0..3)
    unsigned char tail[kWordBytes] = {};

    void reset() noexcept { *this = Evt2Decoder{}; }
    std::size_t pending_bytes() const noexcept { return pending; }

    // Upper bound on events from decode(data, n): one per complete word.
    std::size_t max_events(std::size_t n) const noexcept {
        return (n / kWordBytes) + ((n % kWordBytes) + pending) / kWordBytes;
    }

    // Exact number of events decode(data, n) will produce.
    std::size_t count_events(const unsigned char* data, std::size_t n) const noexcept {
        if (n == 0) return 0;
        std::size_t count = 0;
        if (pending != 0) {
            const std::size_t need = kWordBytes - pending;
            if (n < need) return 0;
            unsigned char w[kWordBytes];
            std::memcpy(w, tail, pending);
            std::memcpy(w + pending, data, need);
            count += (load_u32(w) >> 28) < 2;
            data += need;
            n -= need;
        }
        const std::size_t words = n / kWordBytes;
        for (std::size_t i = 0; i < words; ++i)
            count += (load_u32(data + i * kWordBytes) >> 28) < 2;
        return count;
    }

    // Decodes n new bytes into out (room for count_events(data, n) events
    // is enough); returns the number written. Trailing bytes that do not
    // complete a word are kept for the next call.
    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (n == 0) return 0;
        Evt2Cursor c{time_high, offset, offset + (time_high << 6)};
        std::size_t k = 0;

        if (pending != 0) {
            const std::size_t need = kWordBytes - pending;
            if (n < need) {
                std::memcpy(tail + pending, data, n);
                pending += n;
                return 0;
            }
            std::memcpy(tail + pending, data, need);
            data += need;
            n -= need;
            pending = 0;
            k += c.step(load_u32(tail), out + k);
        }

        const std::size_t words = n / kWordBytes;
        const unsigned char* const end = data + words * kWordBytes;
        const unsigned char* p = data;
        if (simd::avx512()) {
            // The wide path writes past its events: it stops where the words
            // left yield avx512::kRoom events, which go one by one.
            const unsigned char* split = last_events_start<kWordBytes>(
                data, end, avx512::kRoom, [](const unsigned char* w) { return std::size_t{(load_u32(w) >> 28) < 2}; });
            k += evt2_decode_avx512(c, data, split, out + k);
            p = split;
        }
        for (; p != end; p += kWordBytes) k += c.step(load_u32(p), out + k);

        pending = n - words * kWordBytes;
        if (pending != 0) std::memcpy(tail, end, pending);
        time_high = c.time_high;
        offset = c.offset;
        return k;
    }

};

// ---------------------------------------------------------------------------
// EVT 2.1
//
// 64-bit little-endian words (the valid mask in the first four bytes on
// disk), type in bits 63..60:
//   0x0 EVT_NEG / 0x1 EVT_POS  t low = bits 59..54, x base = bits 53..43,
//                             y = bits 42..32, valid mask = bits 31..0: one
//                             event at x base + i for every set bit i,
//                             in rising i
//   0x8 EVT_TIME_HIGH          timestamp bits 33..6 in bits 59..32
//   anything else              ignored (0xA EXT_TRIGGER, 0xE OTHERS, 0xF ...)
// Time high wraps as in EVT 2.0: a drop of at least 2^27 adds 2^34.
// ---------------------------------------------------------------------------
struct Evt21Decoder {
    static constexpr std::size_t kWordBytes = 8;

    std::uint64_t time_high = 0;    // last EVT_TIME_HIGH payload (28 bits)
    std::uint64_t offset = 0;       // wraps * 2^34
    std::size_t pending = 0;        // bytes held in tail (0..7)
    unsigned char tail[kWordBytes] = {};

    void reset() noexcept { *this = Evt21Decoder{}; }
    std::size_t pending_bytes() const noexcept { return pending; }

    // Upper bound on events from decode(data, n): 32 per complete word.
    std::size_t max_events(std::size_t n) const noexcept {
        return ((n / kWordBytes) + ((n % kWordBytes) + pending) / kWordBytes) * 32;
    }

    static std::size_t word_events(std::uint64_t w) noexcept {
        return (w >> 61) == 0 ? static_cast<std::size_t>(std::popcount(static_cast<std::uint32_t>(w))) : 0;
    }

    // Exact number of events decode(data, n) will produce.
    std::size_t count_events(const unsigned char* data, std::size_t n) const noexcept {
        if (n == 0) return 0;
        std::size_t count = 0;
        if (pending != 0) {
            const std::size_t need = kWordBytes - pending;
            if (n < need) return 0;
            unsigned char w[kWordBytes];
            std::memcpy(w, tail, pending);
            std::memcpy(w + pending, data, need);
            count += word_events(load_u64(w));
            data += need;
            n -= need;
        }
        const std::size_t words = n / kWordBytes;
        for (std::size_t i = 0; i < words; ++i) count += word_events(load_u64(data + i * kWordBytes));
        return count;
    }

    // Decodes n new bytes into out (room for count_events(data, n) events
    // is enough); returns the number written. Trailing bytes that do not
    // complete a word are kept for the next call.
    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (n == 0) return 0;
        Cursor c{time_high, offset, offset + (time_high << 6)};
        std::size_t k = 0;
        if (pending != 0) {
            const std::size_t need = kWordBytes - pending;
            if (n < need) {
                std::memcpy(tail + pending, data, n);
                pending += n;
                return 0;
            }
            std::memcpy(tail + pending, data, need);
            data += need;
            n -= need;
            pending = 0;
            k += c.step(load_u64(tail), out + k);
        }
        const std::size_t words = n / kWordBytes;
        const unsigned char* const end = data + words * kWordBytes;
        for (const unsigned char* p = data; p != end; p += kWordBytes) k += c.step(load_u64(p), out + k);
        pending = n - words * kWordBytes;
        if (pending != 0) std::memcpy(tail, end, pending);
        time_high = c.time_high;
        offset = c.offset;
        return k;
    }

private:
    struct Cursor {
        std::uint64_t time_high;
        std::uint64_t offset;
        std::uint64_t base;  // offset + (time_high << 6)

        MORVEL_INLINE std::size_t step(std::uint64_t w, Event* out) noexcept {
            const std::uint64_t type = w >> 60;
            if (type < 2) {
                std::uint32_t mask = static_cast<std::uint32_t>(w);
                const std::uint64_t t = base | ((w >> 54) & 0x3Fu);
                const std::uint32_t xb = static_cast<std::uint32_t>((w >> 43) & 0x7FFu);
                const auto y = static_cast<std::uint16_t>((w >> 32) & 0x7FFu);
                const auto p = static_cast<std::uint8_t>(type);
                std::size_t k = 0;
                while (mask != 0) {
                    const unsigned i = static_cast<unsigned>(std::countr_zero(mask));
                    out[k++] = Event{t, static_cast<std::uint16_t>(xb + i), y, p};
                    mask &= mask - 1;
                }
                return k;
            }
            if (type == 0x8) {
                const std::uint64_t th = (w >> 32) & 0x0FFFFFFFu;
                if (time_high >= th + (std::uint64_t{1} << 27)) offset += std::uint64_t{1} << 34;
                time_high = th;
                base = offset + (th << 6);
            }
            return 0;
        }
    };
};

// ---------------------------------------------------------------------------
// EVT 3.0 (the word layout: evt_words.hpp)
// ---------------------------------------------------------------------------
struct Evt3Decoder {
    static constexpr std::size_t kWordBytes = 2;

    std::uint64_t loops = 0;        // 24-bit counter wraps
    std::uint32_t time_high = 0;    // 12 bits
    std::uint32_t time_low = 0;     // 12 bits
    std::uint16_t y = 0;
    std::uint16_t base_x = 0;       // wraps mod 2^16 like the u16 x it feeds
    std::uint8_t polarity = 0;      // polarity of vector events
    std::uint8_t pending = 0;       // 0 or 1 byte held in tail
    unsigned char tail = 0;

    void reset() noexcept { *this = Evt3Decoder{}; }
    std::size_t pending_bytes() const noexcept { return pending; }

    // Upper bound on events from decode(data, n): 12 per complete word.
    std::size_t max_events(std::size_t n) const noexcept {
        return ((n / kWordBytes) + ((n % kWordBytes) + pending) / kWordBytes) * 12;
    }

    // Exact number of events decode(data, n) will produce. Depends only on
    // the word types, so it is a cheap popcount pass.
    std::size_t count_events(const unsigned char* data, std::size_t n) const noexcept {
        if (n == 0) return 0;
        std::size_t count = 0;
        if (pending != 0) {
            const unsigned char w[2] = {tail, data[0]};
            count += word_events(load_u16(w));
            ++data;
            --n;
        }
        const std::size_t words = n / kWordBytes;
        if (simd::avx512()) return count + evt3_count_avx512(data, words);
        // 16-bit lanes and a 16-bit block sum (at most 12 events a word)
        // let the compiler vectorise this without a popcount instruction.
        constexpr std::size_t kBlock = 4096;  // 4096 * 12 < 2^16
        for (std::size_t i = 0; i < words;) {
            const std::size_t end = words - i > kBlock ? i + kBlock : words;
            std::uint16_t block = 0;
            for (; i < end; ++i)
                block = static_cast<std::uint16_t>(block + word_events(load_u16(data + i * kWordBytes)));
            count += block;
        }
        return count;
    }

    // Decodes n new bytes into out (room for count_events(data, n) events
    // is enough); returns the number written. An odd trailing byte is kept
    // for the next call.
    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (n == 0) return 0;
        const std::uint64_t base = (loops << 24) | (std::uint64_t{time_high} << 12);
        Evt3Cursor c{base, base + time_low, y, base_x, polarity};
        std::size_t k = 0;

        if (pending != 0) {
            const unsigned char w[2] = {tail, data[0]};
            ++data;
            --n;
            pending = 0;
            k += c.step(load_u16(w), out + k);
        }

        const std::size_t words = n / kWordBytes;
        const unsigned char* const end = data + words * kWordBytes;
        // run() needs room for two records past what it writes, the wide
        // path for avx512::kRoom: they stop where the words left yield that
        // many events, which go one by one (from the caller's exact count,
        // nothing else is known).
        const bool wide = simd::avx512();
        const std::size_t room = wide ? avx512::kRoom : 2;
        const unsigned char* split = last_events_start<kWordBytes>(
            data, end, room, [](const unsigned char* w) { return std::size_t{word_events(load_u16(w))}; });
        k += wide ? evt3_decode_avx512(c, data, split, out + k) : c.run(data, split, out + k);
        for (const unsigned char* p = split; p != end; p += kWordBytes) k += c.step(load_u16(p), out + k);

        if (n % kWordBytes != 0) {
            tail = *end;
            pending = 1;
        }
        loops = c.base >> 24;
        time_high = static_cast<std::uint32_t>((c.base >> 12) & 0xFFFu);
        time_low = static_cast<std::uint32_t>(c.t - c.base);
        y = c.y;
        base_x = c.base_x;
        polarity = c.polarity;
        return k;
    }

    // Events of one word: the set bits of a vector's mask; EVT_ADDR_X is one.
    static MORVEL_INLINE std::uint16_t word_events(std::uint16_t w) noexcept {
        const auto type = static_cast<std::uint16_t>(w >> 12);
        const std::uint16_t mask = type == 0x4 ? 0x0FFF : (type == 0x5 ? 0x00FF : 0);
        return static_cast<std::uint16_t>((type == 0x2 ? 1 : 0) + popcount16(static_cast<std::uint16_t>(w & mask)));
    }

    // Bit count in plain 16-bit arithmetic (vectorises on any x86-64).
    static MORVEL_INLINE std::uint16_t popcount16(std::uint16_t v) noexcept {
        v = static_cast<std::uint16_t>(v - ((v >> 1) & 0x5555u));
        v = static_cast<std::uint16_t>((v & 0x3333u) + ((v >> 2) & 0x3333u));
        v = static_cast<std::uint16_t>((v + (v >> 4)) & 0x0F0Fu);
        return static_cast<std::uint16_t>((v + (v >> 8)) & 0x1Fu);
    }

};

}  // namespace morvel::kernels
