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
#include <memory>
#include <vector>

namespace morvel::kernels {

// Uniform integer in [0, range), range >= 1, from 32-bit words.
template <class Next32>
inline std::uint32_t bounded32(Next32& next32, std::uint32_t range) {
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
inline std::uint64_t bounded64(Next64& next64, std::uint64_t range) {
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
void draw_coordinates(Next32& next32, Event* ev, std::size_t n, std::uint32_t range, bool is_x) {
    if (is_x) {
        for (std::size_t i = 0; i < n; ++i) ev[i].x = static_cast<std::uint16_t>(bounded32(next32, range));
    } else {
        for (std::size_t i = 0; i < n; ++i) ev[i].y = static_cast<std::uint16_t>(bounded32(next32, range));
    }
}

// Polarity of every record: one fair bit each, 32 records per word.
template <class Next32>
void draw_polarities(Next32& next32, Event* ev, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t bits = next32();
        const std::size_t stop = std::min(n, i + 32);
        for (; i < stop; ++i, bits >>= 1) ev[i].p = static_cast<std::uint8_t>(bits & 1u);
    }
}

// Timestamps drawn uniformly from [0, duration) and stored sorted ascending
// into the records' t. Short ranges use a counting sort (O(n + duration)),
// others an LSD radix sort over only the bits the range needs.
template <class Next32, class Next64>
void draw_sorted_timestamps(Next32& next32, Next64& next64, Event* ev, std::size_t n, std::uint64_t duration) {
    if (n == 0) return;
    if (duration <= std::max<std::uint64_t>(2 * static_cast<std::uint64_t>(n), 1u << 16) &&
        duration <= (1u << 28)) {
        std::vector<std::uint32_t> counts(static_cast<std::size_t>(duration), 0);
        const auto range = static_cast<std::uint32_t>(duration);
        for (std::size_t i = 0; i < n; ++i) ++counts[bounded32(next32, range)];
        std::size_t k = 0;
        for (std::uint32_t v = 0; k < n; ++v)
            for (std::uint32_t c = counts[v]; c; --c) ev[k++].t = v;
        return;
    }
    std::vector<std::uint64_t> a(n), b(n);
    if (duration < (std::uint64_t{1} << 32)) {
        const auto range = static_cast<std::uint32_t>(duration);
        for (auto& v : a) v = bounded32(next32, range);
    } else if (duration == (std::uint64_t{1} << 32)) {
        for (auto& v : a) v = next32();
    } else {
        for (auto& v : a) v = bounded64(next64, duration);
    }
    const int bits = 64 - std::countl_zero(duration - 1);
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    std::vector<std::size_t> count(kBuckets);
    for (int shift = 0; shift < bits; shift += kDigit) {
        std::fill(count.begin(), count.end(), 0);
        for (std::uint64_t v : a) ++count[(v >> shift) & (kBuckets - 1)];
        std::size_t sum = 0;
        for (auto& c : count) {
            const std::size_t cur = c;
            c = sum;
            sum += cur;
        }
        for (std::uint64_t v : a) b[count[(v >> shift) & (kBuckets - 1)]++] = v;
        a.swap(b);
    }
    for (std::size_t i = 0; i < n; ++i) ev[i].t = a[i];
}

}  // namespace morvel::kernels
