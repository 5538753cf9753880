// Event-to-dense conversions: stacked frames and binary spike rasters.
//
// Both kernels read events from a source (event records, or separate t / x / y
// columns) and write into a caller-owned, zero-filled float32 buffer. Time
// binning is shared:
//   bin = floor((t - t_min) * n_bins / t_range), clipped to [0, n_bins - 1],
// with t_range = max(t_max - t_min, 1). The product is formed exactly (it
// never wraps, whatever the span of the timestamps), and no event costs a
// division.
#pragma once

#include <cstddef>
#include <cstdint>

#include "event.hpp"

namespace morvel::kernels {

__extension__ typedef unsigned __int128 frames_u128;

// ---------------------------------------------------------------------------
// Sources. t(i) is the timestamp, x(i) / y(i) the coordinates as signed
// 64-bit integers; kSmallCoordinates says that 0 <= x, y < 2^16.

struct RecordEvents {
    const Event* ev;
    std::size_t n;
    static constexpr bool kSmallCoordinates = true;
    std::size_t size() const noexcept { return n; }
    std::uint64_t t(std::size_t i) const noexcept { return ev[i].t; }
    std::int64_t x(std::size_t i) const noexcept { return ev[i].x; }
    std::int64_t y(std::size_t i) const noexcept { return ev[i].y; }
};

// Contiguous columns of equal length (events of other record types).
struct FieldEvents {
    const std::uint64_t* t_;
    const std::int64_t* x_;
    const std::int64_t* y_;
    std::size_t n;
    static constexpr bool kSmallCoordinates = false;
    std::size_t size() const noexcept { return n; }
    std::uint64_t t(std::size_t i) const noexcept { return t_[i]; }
    std::int64_t x(std::size_t i) const noexcept { return x_[i]; }
    std::int64_t y(std::size_t i) const noexcept { return y_[i]; }
};

// ---------------------------------------------------------------------------
// One pass over the events for what the binning needs.

struct EventSpan {
    std::uint64_t t_min = 0;
    std::uint64_t t_max = 0;
    std::int64_t y_max = 0;
};

// Smallest and largest timestamp, and with want_y the largest y; returns
// false (span untouched) if there are no events.
template <class Src>
bool scan_events(const Src& src, bool want_y, EventSpan& span) noexcept {
    const std::size_t n = src.size();
    if (n == 0) return false;
    std::uint64_t lo = src.t(0), hi = lo;
    std::int64_t ym = src.y(0);
    if (want_y) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint64_t t = src.t(i);
            const std::int64_t y = src.y(i);
            lo = t < lo ? t : lo;
            hi = t > hi ? t : hi;
            ym = y > ym ? y : ym;
        }
    } else {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint64_t t = src.t(i);
            lo = t < lo ? t : lo;
            hi = t > hi ? t : hi;
        }
    }
    span.t_min = lo;
    span.t_max = hi;
    span.y_max = ym;
    return true;
}

// Smallest and largest timestamp; returns false (outputs untouched) if n == 0.
inline bool min_max_t(const Event* ev, std::size_t n, std::uint64_t& t_min, std::uint64_t& t_max) noexcept {
    EventSpan s;
    if (!scan_events(RecordEvents{ev, n}, false, s)) return false;
    t_min = s.t_min;
    t_max = s.t_max;
    return true;
}

// Largest y, or 0 if n == 0.
inline std::uint16_t max_y(const Event* ev, std::size_t n) noexcept {
    EventSpan s;
    return scan_events(RecordEvents{ev, n}, true, s) ? static_cast<std::uint16_t>(s.y_max) : 0;
}

// max(t_max - t_min, 1) in u64.
inline std::uint64_t time_range(std::uint64_t t_min, std::uint64_t t_max) noexcept {
    const std::uint64_t r = t_max - t_min;
    return r > 1 ? r : 1;
}

// ---------------------------------------------------------------------------
// Time bins: floor((t - t_min) * n_bins / t_range) clipped to [0, n_bins - 1],
// exact for every t_min <= t (a t below t_min is in bin 0). The quotient is
// estimated in double precision (off by at most one while n_bins < 2^50) and
// corrected with exact 128-bit products.
class TimeBinner {
public:
    TimeBinner(std::uint64_t t_min, std::uint64_t t_max, std::uint64_t n_bins) noexcept
        : t_min_(t_min),
          range_(time_range(t_min, t_max)),
          n_(n_bins),
          last_(n_bins - 1),
          scale_(static_cast<double>(n_bins) / static_cast<double>(range_)) {}

    std::uint64_t operator()(std::uint64_t t) const noexcept {
        if (t <= t_min_) return 0;
        const std::uint64_t d = t - t_min_;
        if (d >= range_) return last_;  // d * n / range >= n: the clip
        std::uint64_t q = static_cast<std::uint64_t>(static_cast<double>(d) * scale_);
        if (q > last_) q = last_;  // the exact quotient is below n here
        const frames_u128 p = static_cast<frames_u128>(d) * n_;
        while (static_cast<frames_u128>(q) * range_ > p) --q;
        while (static_cast<frames_u128>(q + 1) * range_ <= p) ++q;
        return q;
    }

private:
    std::uint64_t t_min_, range_, n_, last_;
    double scale_;
};

// ---------------------------------------------------------------------------
// Frames

// frames has shape (n_frames, height, width), zero-filled. Each event inside
// the sensor (0 <= x < width, 0 <= y < height) adds 1 at [bin][y][x]
// (accumulate) or sets it to 1 (binary); others are dropped.
template <class Src>
void events_to_frames(const Src& src, std::size_t width, std::size_t height, std::size_t n_frames,
                      bool accumulate, std::uint64_t t_min, std::uint64_t t_max, float* frames) noexcept {
    const std::size_t n = src.size();
    if (n == 0 || width == 0 || height == 0 || n_frames == 0) return;
    const TimeBinner bin(t_min, t_max, n_frames);
    const std::size_t plane = width * height;
    // A negative coordinate becomes a huge unsigned one: one compare each.
    auto index = [&](std::size_t i, std::size_t& at) {
        const auto x = static_cast<std::uint64_t>(src.x(i));
        const auto y = static_cast<std::uint64_t>(src.y(i));
        if (x >= width || y >= height) return false;
        at = static_cast<std::size_t>(bin(src.t(i))) * plane + static_cast<std::size_t>(y) * width +
             static_cast<std::size_t>(x);
        return true;
    };
    std::size_t at = 0;
    if (accumulate) {
        for (std::size_t i = 0; i < n; ++i)
            if (index(i, at)) frames[at] += 1.0f;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            if (index(i, at)) frames[at] = 1.0f;
    }
}

inline void events_to_frames(const Event* ev, std::size_t n, std::size_t width, std::size_t height,
                             std::size_t n_frames, bool accumulate, std::uint64_t t_min,
                             std::uint64_t t_max, float* frames) noexcept {
    events_to_frames(RecordEvents{ev, n}, width, height, n_frames, accumulate, t_min, t_max, frames);
}

// Same, with t_min / t_max taken from the events.
template <class Src>
void events_to_frames(const Src& src, std::size_t width, std::size_t height, std::size_t n_frames,
                      bool accumulate, float* frames) noexcept {
    EventSpan s;
    if (!scan_events(src, false, s)) return;
    events_to_frames(src, width, height, n_frames, accumulate, s.t_min, s.t_max, frames);
}

inline void events_to_frames(const Event* ev, std::size_t n, std::size_t width, std::size_t height,
                             std::size_t n_frames, bool accumulate, float* frames) noexcept {
    events_to_frames(RecordEvents{ev, n}, width, height, n_frames, accumulate, frames);
}

// ---------------------------------------------------------------------------
// Rasters

// (x * height + y) mod n_neurons as NumPy computes it in int64: the product
// and sum wrap, the remainder takes the sign of the (positive) divisor.
class NeuronIds {
public:
    NeuronIds(std::int64_t height, std::uint64_t n_neurons) noexcept
        : h_(static_cast<std::uint64_t>(height)),
          n_(static_cast<std::int64_t>(n_neurons)),
          inv_(1.0 / static_cast<double>(n_neurons)) {}

    // Any x, y.
    std::uint64_t general(std::int64_t x, std::int64_t y) const noexcept {
        const auto v = static_cast<std::int64_t>(static_cast<std::uint64_t>(x) * h_ + static_cast<std::uint64_t>(y));
        std::int64_t r = v % n_;
        if (r < 0) r += n_;
        return static_cast<std::uint64_t>(r);
    }

    // 0 <= x, y < 2^16 and 0 < height <= 2^16, so 0 <= v < 2^33: the quotient
    // from the reciprocal is off by at most one.
    std::uint64_t small(std::int64_t x, std::int64_t y) const noexcept {
        const std::int64_t v = x * static_cast<std::int64_t>(h_) + y;
        const auto q = static_cast<std::int64_t>(static_cast<double>(v) * inv_);
        std::int64_t r = v - q * n_;
        if (r < 0)
            r += n_;
        else if (r >= n_)
            r -= n_;
        return static_cast<std::uint64_t>(r);
    }

private:
    std::uint64_t h_;
    std::int64_t n_;
    double inv_;
};

// raster has shape (time_bins, n_neurons), zero-filled, n_neurons < 2^63.
// Each event sets [bin][(x * height + y) mod n_neurons] to 1.
template <class Src>
void events_to_raster(const Src& src, std::size_t n_neurons, std::size_t time_bins, std::uint64_t t_min,
                      std::uint64_t t_max, std::int64_t height, float* raster) noexcept {
    const std::size_t n = src.size();
    if (n == 0 || n_neurons == 0 || time_bins == 0) return;
    const TimeBinner bin(t_min, t_max, time_bins);
    const NeuronIds ids(height, n_neurons);
    const bool small = Src::kSmallCoordinates && height > 0 && height <= 65536;
    if (small) {
        for (std::size_t i = 0; i < n; ++i)
            raster[bin(src.t(i)) * n_neurons + ids.small(src.x(i), src.y(i))] = 1.0f;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            raster[bin(src.t(i)) * n_neurons + ids.general(src.x(i), src.y(i))] = 1.0f;
    }
}

inline void events_to_raster(const Event* ev, std::size_t n, std::size_t n_neurons, std::size_t time_bins,
                             std::uint64_t t_min, std::uint64_t t_max, std::uint32_t height,
                             float* raster) noexcept {
    events_to_raster(RecordEvents{ev, n}, n_neurons, time_bins, t_min, t_max, std::int64_t{height}, raster);
}

// Same, with t_min / t_max and height = max(y) + 1 taken from the events
// (the sum wraps in int64 as NumPy's does).
template <class Src>
void events_to_raster(const Src& src, std::size_t n_neurons, std::size_t time_bins, float* raster) noexcept {
    EventSpan s;
    if (!scan_events(src, true, s)) return;
    const auto height = static_cast<std::int64_t>(static_cast<std::uint64_t>(s.y_max) + 1u);
    events_to_raster(src, n_neurons, time_bins, s.t_min, s.t_max, height, raster);
}

inline void events_to_raster(const Event* ev, std::size_t n, std::size_t n_neurons, std::size_t time_bins,
                             float* raster) noexcept {
    events_to_raster(RecordEvents{ev, n}, n_neurons, time_bins, raster);
}

}  // namespace morvel::kernels
