// Spike encoders: values in [0, 1] become spike trains of n_steps steps.
// Output layout is step-major: out[s * n + i] is element i at step s, float32.
#pragma once

#include <cmath>
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace morvel::kernels {

// floor() of a non-negative double without a libm call (the baseline x86-64
// instruction set has no rounding instruction): truncation is floor there.
inline double floor_nonneg(double x) noexcept {
    return x < 4.0e18 ? static_cast<double>(static_cast<std::int64_t>(x)) : std::floor(x);
}

// floor() of a double known to lie in [0, 2^31): a 32-bit truncation, which
// vectorises.
inline std::int32_t floor_small(double x) noexcept { return static_cast<std::int32_t>(x); }

// Round to nearest, ties to even, for 0 <= x < 2^51 (as nearbyint in the
// default rounding mode) without a libm call: adding 2^52 leaves no bits
// below the unit, so the FPU rounds there.
inline double round_half_even_nonneg(double x) noexcept {
    constexpr double kShift = 4503599627370496.0;  // 2^52
    if (!(x < 2251799813685248.0)) return std::nearbyint(x);
    const double shifted = x + kShift;  // not folded away: IEEE arithmetic is kept exact
    return shifted - kShift;
}

// Index of the first value that is NaN or outside [0, 1]; n when all are valid.
template <class T>
std::size_t first_out_of_unit_range(const T* v, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(v[i]);
        if (!(x >= 0.0 && x <= 1.0)) return i;  // NaN fails both comparisons
    }
    return n;
}

// The encoders allocate nothing: memory they need beside the output is
// given by the caller (allocated before the GIL is released), in the sizes
// stated below.

// Rate code: at every step each element spikes independently with
// probability min(1, gain * v). A uniform 32-bit word u spikes when
// u < p * 2^32 (probability exact to 2^-32). `rng` fills blocks of 64-bit
// words (Xoshiro256x8). `limit` and `live` hold n words each.
template <class T, class Rng>
void rate_encode(const T* v, std::size_t n, std::size_t steps, double gain, Rng& rng, float* out,
                 std::uint32_t* limit, std::uint32_t* live) noexcept {
    // Per element: spike when u <= limit[i] and live[i] (p > 0).
    for (std::size_t i = 0; i < n; ++i) {
        const double p = std::fmin(1.0, gain * static_cast<double>(v[i]));
        const auto threshold = p <= 0.0 ? std::uint64_t{0} : static_cast<std::uint64_t>(p * 4294967296.0);
        live[i] = threshold ? 0xFFFFFFFFu : 0u;
        limit[i] = static_cast<std::uint32_t>(threshold - (threshold ? 1 : 0));
    }
    constexpr std::size_t kBlock = 2048;  // 32-bit words per refill
    alignas(64) std::uint64_t words[kBlock / 2];
    // Read as 32-bit halves through bytes (a uint32_t pointer into uint64_t
    // storage would break the aliasing rules).
    const auto* bytes = reinterpret_cast<const unsigned char*>(words);
    for (std::size_t s = 0; s < steps; ++s) {
        float* row = out + s * n;
        for (std::size_t i = 0; i < n; i += kBlock) {
            const std::size_t m = std::min(kBlock, n - i);
            rng.fill(words, (m + 2 * Rng::kLanes - 1) / (2 * Rng::kLanes));
            const std::uint32_t* lim = limit + i;
            const std::uint32_t* alive = live + i;
            float* o = row + i;
            for (std::size_t j = 0; j < m; ++j) {
                std::uint32_t u;
                std::memcpy(&u, bytes + 4 * j, sizeof u);
                o[j] = ((u <= lim[j]) & (alive[j] != 0)) ? 1.0f : 0.0f;
            }
        }
    }
}

// Latency code (time to first spike): one spike per element with v > 0, at
// step round((1 - v) * (steps - 1)) (ties to even); 0 never fires. The output
// is written row by row in one pass (no zero-fill, no scatter). The firing
// steps go to `fire_at` (n words) when latency_steps_narrow(steps), else to
// `fire_at_wide` (n words); 32-bit compares vectorise.
using LatencyStep = std::conditional_t<sizeof(std::size_t) >= 8, std::int64_t, std::int32_t>;

inline bool latency_steps_narrow(std::size_t steps) noexcept { return steps < (std::size_t{1} << 31); }

template <class T>
void latency_encode(const T* v, std::size_t n, std::size_t steps, float* out, std::int32_t* fire_at,
                    LatencyStep* fire_at_wide) noexcept {
    const double last = static_cast<double>(steps - 1);
    using Step = LatencyStep;
    const bool narrow = latency_steps_narrow(steps);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(v[i]);
        const double s = x > 0.0 ? round_half_even_nonneg((1.0 - x) * last) : -1.0;
        if (narrow)
            fire_at[i] = static_cast<std::int32_t>(s);
        else
            fire_at_wide[i] = static_cast<Step>(s);
    }
    if (!narrow) {
        for (std::size_t s = 0; s < steps; ++s)
            for (std::size_t i = 0; i < n; ++i) out[s * n + i] = fire_at_wide[i] == static_cast<Step>(s) ? 1.0f : 0.0f;
        return;
    }
    for (std::size_t s = 0; s < steps; ++s) {
        float* row = out + s * n;
        const auto step = static_cast<std::int32_t>(s);
        for (std::size_t i = 0; i < n; ++i) row[i] = fire_at[i] == step ? 1.0f : 0.0f;
    }
}

// Temporal code, integrate and fire: an accumulator adds v at every step and
// fires (subtracting 1) whenever it reaches 1. Computed without accumulated
// rounding: step k (1-based) fires when floor(k * v) > floor((k - 1) * v), so
// an element fires floor(steps * v) times, evenly spread.
template <class T>
void temporal_encode(const T* v, std::size_t n, std::size_t steps, float* out) noexcept {
    auto run = [&](auto floor_fn) {
        for (std::size_t k = 1; k <= steps; ++k) {
            const double now = static_cast<double>(k), before = static_cast<double>(k - 1);
            float* row = out + (k - 1) * n;
            for (std::size_t i = 0; i < n; ++i) {
                const double x = static_cast<double>(v[i]);
                row[i] = floor_fn(now * x) > floor_fn(before * x) ? 1.0f : 0.0f;
            }
        }
    };
    if (steps < (std::size_t{1} << 30))  // k * v <= steps: 32-bit floors suffice
        run([](double x) { return floor_small(x); });
    else
        run([](double x) { return floor_nonneg(x); });
}

// Delta code, as an event camera sees change: the input ramps linearly from
// `previous` (zeros when null) to `v` over the steps, value_s = prev +
// (v - prev) * (s + 1) / steps, reaching v exactly at the last step. Each
// crossing of a multiple of `threshold` counts +1 for a rise and -1 for a
// fall at the step where it happens: out = floor(value_s / threshold) -
// floor(value_{s-1} / threshold), so several crossings in one step add up.
// `level` holds n doubles.
template <class T>
void delta_encode(const T* v, const T* previous, std::size_t n, std::size_t steps, double threshold, float* out,
                  double* level) noexcept {
    // floor(value / threshold) of the previous step, per element. Values are
    // <= 1, so with 1 / threshold < 2^30 the levels fit 32-bit truncation.
    const bool small = 1.0 / threshold < 1.0e9;
    for (std::size_t i = 0; i < n; ++i) level[i] = previous ? floor_nonneg(static_cast<double>(previous[i]) / threshold) : 0.0;
    for (std::size_t s = 1; s <= steps; ++s) {
        const double frac = static_cast<double>(s) / static_cast<double>(steps);
        float* row = out + (s - 1) * n;
        auto step = [&](auto floor_fn) {
            for (std::size_t i = 0; i < n; ++i) {
                const double start = previous ? static_cast<double>(previous[i]) : 0.0, end = static_cast<double>(v[i]);
                const double value = s == steps ? end : start + (end - start) * frac;
                const double next = static_cast<double>(floor_fn(value / threshold));
                row[i] = static_cast<float>(next - level[i]);
                level[i] = next;
            }
        };
        if (small)
            step([](double x) { return floor_small(x); });
        else
            step([](double x) { return floor_nonneg(x); });
    }
}

}  // namespace morvel::kernels
