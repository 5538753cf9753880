// Events to the dense tensors learning pipelines take: voxel grids, time
// surfaces, stacked histograms and event frames / count images.
//
// Each fill function reads events [0, n) and adds those of a band of sensor
// rows into the caller-owned output (zero-filled, except where a kernel says
// otherwise), with a final pass over it where a kernel needs one. Threads
// take disjoint bands, so every cell sees its events in stream order on one
// thread, and the result is the same bit for bit whatever the split. Every
// fill returns the index of the first event outside the width x height
// sensor (and stops there), or n; an event below the last row belongs to the
// last band.
//
// Polarity: p == 0 is OFF (channel 0, value -1), anything else ON (channel 1,
// value +1).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "event.hpp"
#include "frames.hpp"

namespace morvel::kernels {

// ceil(k * r / n), exactly: where the k-th of n equal shares of r starts.
inline std::uint64_t share_start(std::uint64_t r, std::uint64_t k, std::uint64_t n) noexcept {
    return static_cast<std::uint64_t>((static_cast<frames_u128>(r) * k + n - 1) / n);
}

// +1 for an ON event, -1 for OFF.
MORVEL_INLINE float signed_polarity(const Event& e) noexcept {
    return static_cast<float>(2 * static_cast<int>(e.p != 0) - 1);
}

// Rows [first, end) of the sensor; the whole of it by default.
struct Rows {
    std::uint32_t first = 0, end = UINT32_MAX;
    bool has(const Event& e) const noexcept { return std::uint32_t{e.y} - first < end - first; }
};

struct Sensor {
    std::uint32_t width = 0, height = 0;
    std::size_t plane() const noexcept { return std::size_t{width} * height; }
    bool inside(const Event& e) const noexcept { return e.x < width && e.y < height; }
    std::size_t at(const Event& e) const noexcept { return std::size_t{e.y} * width + e.x; }
};

// Index of the first event outside the sensor, or n.
inline std::size_t first_outside(const Event* ev, std::size_t n, Sensor s) noexcept {
    std::size_t i = 0;
    // Blocks without a stray event cost one branch each.
    for (; i + 64 <= n; i += 64) {
        bool bad = false;
        for (std::size_t j = i; j < i + 64; ++j) bad |= !s.inside(ev[j]);
        if (bad) break;
    }
    for (; i < n; ++i)
        if (!s.inside(ev[i])) return i;
    return n;
}

// Whether t never decreases.
inline bool t_sorted(const Event* ev, std::size_t n) noexcept {
    bool ok = true;
    for (std::size_t i = 1; i < n; ++i) ok &= ev[i - 1].t <= ev[i].t;
    return ok;
}

// Smallest and largest t of n > 0 events.
inline void t_span(const Event* ev, std::size_t n, std::uint64_t& lo, std::uint64_t& hi) noexcept {
    lo = hi = ev[0].t;
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t t = ev[i].t;
        lo = t < lo ? t : lo;
        hi = t > hi ? t : hi;
    }
}

// A cell of the accumulator, or for an event of another band one of a few
// scratch cells: chosen without a branch, since which band an event falls in
// is as random as its pixel.
template <class T>
MORVEL_INLINE T* cell_or(bool mine, T* cell, T* scratch) noexcept {
    const std::uintptr_t m = std::uintptr_t{0} - static_cast<std::uintptr_t>(mine);
    return reinterpret_cast<T*>((reinterpret_cast<std::uintptr_t>(cell) & m) |
                                (reinterpret_cast<std::uintptr_t>(scratch) & ~m));
}

// `offset` for an ON event, 0 for OFF, without a branch (polarities are as
// random as pixels).
MORVEL_INLINE std::size_t if_on(const Event& e, std::size_t offset) noexcept {
    return offset & (std::size_t{0} - static_cast<std::size_t>(e.p != 0));
}

// ---------------------------------------------------------------------------
// Voxel grid: bilinear in time. tau = (n_bins - 1) * (t - t0) / (t1 - t0);
// bin floor(tau) takes v * (1 - frac), the next bin v * frac, summed in
// float32 in stream order.

struct VoxelGrid {
    Sensor sensor;
    std::uint32_t n_bins = 1;
    std::uint64_t t0 = 0, t1 = 0;  // events with t0 <= t <= t1 count
    // The bin whose left weights are left for fill_deferred (a run's first
    // bin, when runs of time-sorted events are filled at once).
    std::uint32_t deferred = UINT32_MAX;

    double scale() const noexcept {
        return t1 > t0 ? static_cast<double>(n_bins - 1) / static_cast<double>(t1 - t0) : 0.0;
    }

    // The bin of an event at t0 <= t <= t1, and its weight to the next bin.
    MORVEL_INLINE std::uint32_t bin(std::uint64_t t, double scale, float& frac) const noexcept {
        const double tau = static_cast<double>(t - t0) * scale;
        std::uint32_t b = static_cast<std::uint32_t>(tau);
        frac = static_cast<float>(tau - static_cast<double>(b));
        if (b >= n_bins - 1) {
            b = n_bins - 1;
            frac = 0.0f;
        }
        return b;
    }

    // A key that never decreases with t and differs between bins.
    std::size_t key(std::uint64_t t) const noexcept {
        if (t < t0) return 0;
        if (t > t1) return std::size_t{n_bins} + 1;
        float frac;
        return std::size_t{bin(t, scale(), frac)} + 1;
    }

    // The bin of the first of time-sorted events in [t0, t1] (none: UINT32_MAX).
    std::uint32_t first_bin(const Event* ev, std::size_t n) const noexcept {
        for (std::size_t i = 0; i < n; ++i)
            if (ev[i].t >= t0) {
                if (ev[i].t > t1) break;
                float frac;
                return bin(ev[i].t, scale(), frac);
            }
        return UINT32_MAX;
    }

    std::size_t fill(const Event* ev, std::size_t n, float* acc, Rows rows = {}) const noexcept {
        const std::size_t plane = sensor.plane();
        const std::uint32_t last = n_bins - 1, skip = deferred;
        const double sc = scale();
        const std::uint64_t lo = t0, hi = t1;
        const Sensor s = sensor;
        float scratch[2] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.t < lo || e.t > hi) continue;
            const bool mine = rows.has(e);
            if (mine & !s.inside(e)) return i;
            float frac;
            const std::uint32_t b = bin(e.t, sc, frac);
            const float v = signed_polarity(e);
            float* c = acc + std::size_t{b} * plane + s.at(e);
            *cell_or(mine & (b != skip), c, scratch) += v - v * frac;
            *cell_or(mine & (b < last), c + plane, scratch + 1) += v * frac;
        }
        return n;
    }

    // The left weights into bin `b` of the events of time-sorted events that
    // fall in it (a prefix of them), all inside the sensor.
    void fill_deferred(const Event* ev, std::size_t n, std::uint32_t b, float* acc) const noexcept {
        if (b == UINT32_MAX) return;
        const std::size_t plane = sensor.plane();
        const double sc = scale();
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.t < t0) continue;
            if (e.t > t1) break;
            float frac;
            if (bin(e.t, sc, frac) != b) break;
            const float v = signed_polarity(e);
            acc[std::size_t{b} * plane + sensor.at(e)] += v - v * frac;
        }
    }
};

// ---------------------------------------------------------------------------
// Time surface: per pixel (and channel) the smallest age t_ref - t of the
// events with t <= t_ref, as float32 (rounding keeps the order of ages) in
// the output itself, which starts at +inf (no event); then exp(-age / tau),
// 0 for +inf.

struct TimeSurface {
    Sensor sensor;
    bool per_polarity = true;
    std::uint64_t t_ref = 0;

    static void start(float* out, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) out[i] = __builtin_inff();
    }

    std::size_t fill(const Event* ev, std::size_t n, float* age, Rows rows = {}) const noexcept {
        const Sensor s = sensor;
        const std::size_t on = per_polarity ? s.plane() : 0;
        const std::uint64_t ref = t_ref;
        float scratch = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.t > ref) continue;
            const bool mine = rows.has(e);
            if (mine & !s.inside(e)) return i;
            float* c = cell_or(mine, age + if_on(e, on) + s.at(e), &scratch);
            const float a = static_cast<float>(ref - e.t);
            *c = a < *c ? a : *c;
        }
        return n;
    }

    static void merge(float* into, const float* from, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) into[i] = from[i] < into[i] ? from[i] : into[i];
    }

    static void finish(float* out, std::size_t count, double tau) noexcept {
        const double rate = -1.0 / tau;
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(std::exp(out[i] * rate));
    }
};

// ---------------------------------------------------------------------------
// Stacked histogram: events with t_end - window < t <= t_end in n_bins equal
// slices counted from the end, bin = n_bins - 1 - floor((t_end - t) *
// n_bins / window); channel p * n_bins + bin. Counts saturate at 255 (the
// cut-off is applied afterwards).

struct StackedHistogram {
    Sensor sensor;
    std::uint32_t n_bins = 1;
    std::uint64_t t_end = 0, window = 1;

    std::size_t fill(const Event* ev, std::size_t n, std::uint8_t* counts, Rows rows = {}) const noexcept {
        const Sensor s = sensor;
        const std::size_t plane = s.plane();
        const std::uint64_t end = t_end, w = window;
        const std::size_t bins = n_bins;
        const TimeBinner slice(0, w, bins);
        std::uint8_t scratch = 0;
        // The last slice found, with its ages [lo, hi): time-sorted events
        // cost a comparison each.
        std::uint64_t lo = 1, hi = 0, bin = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.t > end || end - e.t >= w) continue;
            const bool mine = rows.has(e);
            if (mine & !s.inside(e)) return i;
            const std::uint64_t age = end - e.t;
            if (age < lo || age >= hi) {
                // Slice k from the end holds ceil(k w / n) <= age < ceil((k + 1) w / n).
                const std::uint64_t k = slice(age);
                lo = share_start(w, k, bins);
                hi = share_start(w, k + 1, bins);
                if (age < lo || age >= hi) lo = 1, hi = 0;  // never, but a wrong cache must not stand
                bin = bins - 1 - k;
            }
            std::uint8_t* c = cell_or(mine, counts + (bin + if_on(e, bins)) * plane + s.at(e), &scratch);
            *c = static_cast<std::uint8_t>(*c + (*c != 255));
        }
        return n;
    }

    // A key that never decreases with t and differs between slices.
    std::size_t key(std::uint64_t t) const noexcept {
        if (t > t_end) return std::size_t{n_bins} + 1;
        if (t_end - t >= window) return 0;
        return std::size_t{n_bins} - static_cast<std::size_t>(TimeBinner(0, window, n_bins)(t_end - t));
    }

    static void merge(std::uint8_t* into, const std::uint8_t* from, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned v = unsigned{into[i]} + from[i];
            into[i] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
        }
    }

    static void cut_off(std::uint8_t* counts, std::size_t count, std::uint8_t cutoff) noexcept {
        for (std::size_t i = 0; i < count; ++i) counts[i] = counts[i] > cutoff ? cutoff : counts[i];
    }
};

// ---------------------------------------------------------------------------
// Event frames: counts per time bin (and channel) in int32, shape
// (n_bins, channels, height, width).

// Bin k holds edges[k] <= t < edges[k + 1]; edges non-decreasing, k + 1 of them.
class EdgeBins {
public:
    EdgeBins(const std::uint64_t* edges, std::size_t n_bins) noexcept : e_(edges), k_(n_bins) {}
    std::size_t size() const noexcept { return k_; }
    // A key that never decreases with t and differs between bins: the
    // number of edges at or below t.
    std::size_t key(std::uint64_t t) const noexcept {
        return static_cast<std::size_t>(std::upper_bound(e_, e_ + k_ + 1, t) - e_);
    }
    bool operator()(std::uint64_t t, std::size_t& hint) const noexcept {
        if (t < e_[0] || t >= e_[k_]) return false;
        if (e_[hint] <= t && t < e_[hint + 1]) return true;  // time-sorted events stay in a bin
        std::size_t lo = 0, hi = k_;                          // e_[lo] <= t < e_[hi]
        while (hi - lo > 1) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (e_[mid] <= t) lo = mid;
            else hi = mid;
        }
        hint = lo;
        return true;
    }

private:
    const std::uint64_t* e_;
    std::size_t k_;
};

// n_bins equal bins over [t0, t1), t0 < t1: bin floor((t - t0) * n_bins / (t1 - t0));
// `closed` puts t1 itself in the last bin too.
class UniformBins {
public:
    UniformBins(std::uint64_t t0, std::uint64_t t1, std::size_t n_bins, bool closed = false) noexcept
        : t0_(t0), t1_(t1), k_(n_bins), closed_(closed), bin_(t0, t1, n_bins) {}
    std::size_t size() const noexcept { return k_; }
    std::size_t key(std::uint64_t t) const noexcept {
        if (t < t0_) return 0;
        if (t > t1_ || (t == t1_ && !closed_)) return k_ + 1;
        return static_cast<std::size_t>(bin_(t)) + 1;
    }
    // The last bin found is remembered with its times [lo, hi), so that
    // time-sorted events cost a comparison each (a copy per thread).
    bool operator()(std::uint64_t t, std::size_t& bin) const noexcept {
        if (t >= lo_ && t < hi_) {
            bin = bin_of_;
            return true;
        }
        if (t < t0_ || t > t1_ || (t == t1_ && !closed_)) return false;
        bin = bin_of_ = static_cast<std::size_t>(bin_(t));
        // Bin k holds t0 + ceil(k R / n) <= t < t0 + ceil((k + 1) R / n);
        // t1 itself (the closed end) is left to the slow path.
        lo_ = t0_ + share_start(t1_ - t0_, bin, k_);
        hi_ = t0_ + share_start(t1_ - t0_, bin + 1, k_);
        if (hi_ > t1_) hi_ = t1_;
        if (lo_ > t) lo_ = hi_ = 0;  // never, but a wrong cache must not stand
        return true;
    }

private:
    std::uint64_t t0_, t1_;
    std::size_t k_;
    bool closed_;
    TimeBinner bin_;
    mutable std::uint64_t lo_ = 0, hi_ = 0;
    mutable std::size_t bin_of_ = 0;
};

// One bin for every t.
struct AllTime {
    std::size_t size() const noexcept { return 1; }
    std::size_t key(std::uint64_t) const noexcept { return 0; }
    bool operator()(std::uint64_t, std::size_t& bin) const noexcept {
        bin = 0;
        return true;
    }
};

template <class Bins>
struct EventFrames {
    Sensor sensor;
    bool per_polarity = true;
    Bins bins;

    std::size_t key(std::uint64_t t) const noexcept { return bins.key(t); }

    static void merge(std::int32_t* into, const std::int32_t* from, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) into[i] += from[i];
    }

    std::size_t fill(const Event* ev, std::size_t n, std::int32_t* counts, Rows rows = {}) const noexcept {
        const Sensor s = sensor;
        const std::size_t plane = s.plane();
        const std::size_t channels = per_polarity ? 2 : 1, on = per_polarity ? plane : 0;
        const Bins b = bins;  // its own copy: UniformBins remembers its last bin
        std::size_t bin = 0;
        std::int32_t scratch = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (!b(e.t, bin)) continue;
            const bool mine = rows.has(e);
            if (mine & !s.inside(e)) return i;
            ++*cell_or(mine, counts + bin * channels * plane + if_on(e, on) + s.at(e), &scratch);
        }
        return n;
    }
};

}  // namespace morvel::kernels
