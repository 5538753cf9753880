// Bounded uniform draws and timestamp sorting for synthetic event streams.
//
// The random source is any callable returning uniform 32-bit or 64-bit words
// (the module adapts NumPy's bit generator). Draws are unbiased: Lemire's
// multiply-and-reject method.
#pragma once

#include "event.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace morvel::kernels {

// Eight independent xoshiro256** streams (Blackman & Vigna) advanced in
// lockstep, for bulk fills, seeded from the caller's source so that results
// stay reproducible: the lanes vectorise (the multiplications by 5 and 9 are shifts and
// adds), which a single stream cannot.
class Xoshiro256x8 {
public:
    static constexpr std::size_t kLanes = 8;

    template <class Next64>
    explicit Xoshiro256x8(Next64& seed_source) noexcept {
        for (std::size_t j = 0; j < kLanes; ++j) {
            s0_[j] = seed_source();
            s1_[j] = seed_source();
            s2_[j] = seed_source();
            s3_[j] = seed_source();
            if (!(s0_[j] | s1_[j] | s2_[j] | s3_[j])) s0_[j] = 0x9E3779B97F4A7C15ull + j;
        }
    }

    // Fill out[0, blocks * kLanes) with 64-bit words.
    void fill(std::uint64_t* out, std::size_t blocks) noexcept {
        for (std::size_t b = 0; b < blocks; ++b, out += kLanes) {
            for (std::size_t j = 0; j < kLanes; ++j) {
                const std::uint64_t a = s1_[j];
                const std::uint64_t m = (a << 2) + a;            // a * 5
                const std::uint64_t r = (m << 7) | (m >> 57);    // rotl(m, 7)
                out[j] = (r << 3) + r;                           // * 9
                const std::uint64_t t = a << 17;
                s2_[j] ^= s0_[j];
                s3_[j] ^= s1_[j];
                s1_[j] ^= s2_[j];
                s0_[j] ^= s3_[j];
                s2_[j] ^= t;
                s3_[j] = (s3_[j] << 45) | (s3_[j] >> 19);
            }
        }
    }

private:
    std::uint64_t s0_[kLanes], s1_[kLanes], s2_[kLanes], s3_[kLanes];
};

// Uniform integer in [0, range), range >= 1, from 32-bit words.
template <class Next32>
inline std::uint32_t bounded32(Next32& next32, std::uint32_t range) noexcept {
    std::uint64_t m = static_cast<std::uint64_t>(next32()) * range;
    auto low = static_cast<std::uint32_t>(m);
    if (low < range) {
        const std::uint32_t threshold = static_cast<std::uint32_t>(-range) % range;
        while (low < threshold) {
            m = static_cast<std::uint64_t>(next32()) * range;
            low = static_cast<std::uint32_t>(m);
        }
    }
    return static_cast<std::uint32_t>(m >> 32);
}

// Uniform integer in [0, range), range >= 1, from 64-bit words.
template <class Next64>
inline std::uint64_t bounded64(Next64& next64, std::uint64_t range) noexcept {
    __uint128_t m = static_cast<__uint128_t>(next64()) * range;
    auto low = static_cast<std::uint64_t>(m);
    if (low < range) {
        const std::uint64_t threshold = static_cast<std::uint64_t>(-range) % range;
        while (low < threshold) {
            m = static_cast<__uint128_t>(next64()) * range;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

// x (or y) of every record drawn uniformly from [0, range), 1 <= range <= 65536.
template <class Next32>
void draw_coordinates(Next32& next32, Event* ev, std::size_t n, std::uint32_t range, bool is_x) noexcept {
    if (is_x) {
        for (std::size_t i = 0; i < n; ++i) ev[i].x = static_cast<std::uint16_t>(bounded32(next32, range));
    } else {
        for (std::size_t i = 0; i < n; ++i) ev[i].y = static_cast<std::uint16_t>(bounded32(next32, range));
    }
}

// Polarity of every record: one fair bit each, 32 records per word.
template <class Next32>
void draw_polarities(Next32& next32, Event* ev, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t bits = next32();
        const std::size_t stop = std::min(n, i + 32);
        for (; i < stop; ++i, bits >>= 1) ev[i].p = static_cast<std::uint8_t>(bits & 1u);
    }
}

// Timestamps drawn uniformly from [0, duration) and stored sorted ascending
// into the records' t. Short ranges use a counting sort (O(n + duration)),
// others an LSD radix sort over only the bits the range needs. The caller
// provides `sorted_timestamps_scratch(n, duration)` words of scratch memory
// (so that nothing is allocated here, where the GIL may be released).
inline bool counting_sort_fits(std::size_t n, std::uint64_t duration) noexcept {
    return duration <= std::max<std::uint64_t>(2 * static_cast<std::uint64_t>(n), 1u << 16) && duration <= (1u << 28);
}

inline constexpr int kRadixDigit = 11;
inline constexpr std::size_t kRadixBuckets = std::size_t{1} << kRadixDigit;

inline std::size_t sorted_timestamps_scratch(std::size_t n, std::uint64_t duration) noexcept {
    if (n == 0) return 0;
    if (counting_sort_fits(n, duration)) return static_cast<std::size_t>((duration + 1) / 2);  // u32 counts
    return 2 * n;
}

template <class Next32, class Next64>
void draw_sorted_timestamps(Next32& next32, Next64& next64, Event* ev, std::size_t n, std::uint64_t duration,
                            std::uint64_t* scratch) noexcept {
    if (n == 0) return;
    if (counting_sort_fits(n, duration)) {
        // Counts as 32-bit halves of the words, read and written through bytes.
        auto* bytes = reinterpret_cast<unsigned char*>(scratch);
        const auto range = static_cast<std::uint32_t>(duration);
        std::fill(scratch, scratch + (duration + 1) / 2, std::uint64_t{0});
        auto count_at = [bytes](std::uint32_t v) {
            std::uint32_t c;
            std::memcpy(&c, bytes + 4 * std::size_t{v}, sizeof c);
            return c;
        };
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t v = bounded32(next32, range);
            const std::uint32_t c = count_at(v) + 1;
            std::memcpy(bytes + 4 * std::size_t{v}, &c, sizeof c);
        }
        std::size_t k = 0;
        for (std::uint32_t v = 0; k < n; ++v)
            for (std::uint32_t c = count_at(v); c; --c) ev[k++].t = v;
        return;
    }
    std::uint64_t* a = scratch;
    std::uint64_t* b = scratch + n;
    std::size_t count[kRadixBuckets];  // 16 KiB on the stack: apart from the keys, so it cannot alias them
    if (duration < (std::uint64_t{1} << 32)) {
        const auto range = static_cast<std::uint32_t>(duration);
        for (std::size_t i = 0; i < n; ++i) a[i] = bounded32(next32, range);
    } else if (duration == (std::uint64_t{1} << 32)) {
        for (std::size_t i = 0; i < n; ++i) a[i] = next32();
    } else {
        for (std::size_t i = 0; i < n; ++i) a[i] = bounded64(next64, duration);
    }
    const int bits = 64 - std::countl_zero(duration - 1);
    for (int shift = 0; shift < bits; shift += kRadixDigit) {
        std::fill(count, count + kRadixBuckets, std::size_t{0});
        for (std::size_t i = 0; i < n; ++i) ++count[(a[i] >> shift) & (kRadixBuckets - 1)];
        std::size_t sum = 0;
        for (std::size_t d = 0; d < kRadixBuckets; ++d) {
            const std::size_t cur = count[d];
            count[d] = sum;
            sum += cur;
        }
        for (std::size_t i = 0; i < n; ++i) b[count[(a[i] >> shift) & (kRadixBuckets - 1)]++] = a[i];
        std::swap(a, b);
    }
    for (std::size_t i = 0; i < n; ++i) ev[i].t = a[i];
}

}  // namespace morvel::kernels
