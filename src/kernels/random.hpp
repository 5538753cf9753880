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

// xoshiro256** (Blackman & Vigna): a small, fast generator for bulk draws,
// seeded from the caller's source so that results stay reproducible.
class Xoshiro256 {
public:
    template <class Next64>
    explicit Xoshiro256(Next64& seed_source) noexcept {
        for (auto& w : s_) w = seed_source();
        if (!(s_[0] | s_[1] | s_[2] | s_[3])) s_[0] = 0x9E3779B97F4A7C15ull;  // the all-zero state is fixed
    }
    std::uint64_t operator()() noexcept {
        const std::uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = std::rotl(s_[3], 45);
        return result;
    }

private:
    std::uint64_t s_[4];
};

// Eight independent xoshiro256** streams advanced in lockstep, for bulk
// fills: the lanes vectorise (the multiplications by 5 and 9 are shifts and
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
