// Event-to-dense conversions: stacked frames and binary spike rasters.
//
// Both kernels take contiguous Event records and write into a caller-owned,
// zero-filled float32 buffer. Time binning is shared:
//   bin = ((t - t_min) * n_bins) / t_range      in wrapping u64 arithmetic,
//   then reinterpreted as i64 and clipped to [0, n_bins - 1],
// with t_range = max(t_max - t_min, 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "event.hpp"

namespace morvel::kernels {

// Smallest and largest timestamp; returns false (outputs untouched) if n == 0.
inline bool min_max_t(const Event* ev, std::size_t n, std::uint64_t& t_min, std::uint64_t& t_max) noexcept {
    if (n == 0) return false;
    std::uint64_t lo = ev[0].t, hi = ev[0].t;
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t t = ev[i].t;
        lo = t < lo ? t : lo;
        hi = t > hi ? t : hi;
    }
    t_min = lo;
    t_max = hi;
    return true;
}

// Largest y, or 0 if n == 0.
inline std::uint16_t max_y(const Event* ev, std::size_t n) noexcept {
    std::uint16_t m = 0;
    for (std::size_t i = 0; i < n; ++i) m = ev[i].y > m ? ev[i].y : m;
    return m;
}

// max(t_max - t_min, 1) in u64.
inline std::uint64_t time_range(std::uint64_t t_min, std::uint64_t t_max) noexcept {
    const std::uint64_t r = t_max - t_min;
    return r > 1 ? r : 1;
}

// Time bin of t; n_bins >= 1, t_range >= 1.
inline std::size_t time_bin(std::uint64_t t, std::uint64_t t_min, std::uint64_t t_range,
                            std::uint64_t n_bins) noexcept {
    const std::int64_t b = static_cast<std::int64_t>(((t - t_min) * n_bins) / t_range);
    const std::int64_t last = static_cast<std::int64_t>(n_bins - 1);
    return static_cast<std::size_t>(b < 0 ? 0 : (b > last ? last : b));
}

// frames has shape (n_frames, height, width), zero-filled. Each event inside
// the sensor adds 1 at [bin][y][x] (accumulate) or sets it to 1 (binary).
// Events with x >= width or y >= height are dropped.
inline void events_to_frames(const Event* ev, std::size_t n, std::size_t width, std::size_t height,
                             std::size_t n_frames, bool accumulate, std::uint64_t t_min,
                             std::uint64_t t_max, float* frames) noexcept {
    if (n == 0 || width == 0 || height == 0 || n_frames == 0) return;
    const std::uint64_t range = time_range(t_min, t_max);
    const std::size_t plane = width * height;
    if (accumulate) {
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.x >= width || e.y >= height) continue;
            frames[time_bin(e.t, t_min, range, n_frames) * plane + std::size_t{e.y} * width + e.x] += 1.0f;
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.x >= width || e.y >= height) continue;
            frames[time_bin(e.t, t_min, range, n_frames) * plane + std::size_t{e.y} * width + e.x] = 1.0f;
        }
    }
}

// Same, with t_min / t_max taken from the events.
inline void events_to_frames(const Event* ev, std::size_t n, std::size_t width, std::size_t height,
                             std::size_t n_frames, bool accumulate, float* frames) noexcept {
    std::uint64_t t_min = 0, t_max = 0;
    if (!min_max_t(ev, n, t_min, t_max)) return;
    events_to_frames(ev, n, width, height, n_frames, accumulate, t_min, t_max, frames);
}

// raster has shape (time_bins, n_neurons), zero-filled. Each event sets
// [bin][(x * height + y) mod n_neurons] to 1, where height is max(y) + 1.
inline void events_to_raster(const Event* ev, std::size_t n, std::size_t n_neurons, std::size_t time_bins,
                             std::uint64_t t_min, std::uint64_t t_max, std::uint32_t height,
                             float* raster) noexcept {
    if (n == 0 || n_neurons == 0 || time_bins == 0) return;
    const std::uint64_t range = time_range(t_min, t_max);
    // x * height + y < 2^33 and every term is non-negative, so the u64
    // remainder equals the signed one.
    const std::uint64_t h = height;
    const std::uint64_t nn = n_neurons;
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = ev[i];
        const std::uint64_t id = (std::uint64_t{e.x} * h + e.y) % nn;
        raster[time_bin(e.t, t_min, range, time_bins) * n_neurons + static_cast<std::size_t>(id)] = 1.0f;
    }
}

// Same, with t_min / t_max and height taken from the events.
inline void events_to_raster(const Event* ev, std::size_t n, std::size_t n_neurons, std::size_t time_bins,
                             float* raster) noexcept {
    std::uint64_t t_min = 0, t_max = 0;
    if (!min_max_t(ev, n, t_min, t_max)) return;
    events_to_raster(ev, n, n_neurons, time_bins, t_min, t_max, std::uint32_t{max_y(ev, n)} + 1u, raster);
}

}  // namespace morvel::kernels
