// 8-bit RGB preview frames: ON events (p == 1) count in the blue channel,
// every other polarity in the red one; the busiest pixel-channel becomes 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "event.hpp"

namespace morvel::kernels {

// Builds one frame into `out` (height * width * 3 uint8, zero-filled,
// channel-last). `counts` is scratch of the same size that must be all zero
// on entry and is all zero again on return, so one buffer serves every frame
// and the cost is O(events), not O(pixels). Events outside the sensor are
// ignored. `at(i, x, y, p)` reads event i as 64-bit signed values, so callers
// can feed records or columns of any integer type. Scaling follows float32
// arithmetic: count / peak * 255, truncated.
template <class At>
void rgb_frame(std::size_t n, At&& at, std::int64_t width, std::int64_t height, std::uint32_t* counts,
               std::uint8_t* out) noexcept {
    auto index = [&](std::size_t i, std::size_t& idx) {
        std::int64_t x, y, p;
        at(i, x, y, p);
        if (x < 0 || x >= width || y < 0 || y >= height) return false;
        idx = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3 +
              (p == 1 ? 2 : 0);
        return true;
    };
    std::uint32_t peak = 0;
    std::size_t idx = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!index(i, idx)) continue;
        std::uint32_t& c = counts[idx];
        if (c != UINT32_MAX) ++c;
        peak = c > peak ? c : peak;
    }
    if (peak == 0) return;
    const float mx = static_cast<float>(peak);
    for (std::size_t i = 0; i < n; ++i) {
        if (!index(i, idx) || counts[idx] == 0) continue;  // zero: already written by a repeat
        out[idx] = static_cast<std::uint8_t>(static_cast<float>(counts[idx]) / mx * 255.0f);
        counts[idx] = 0;
    }
}

// Accessor over event records.
struct RecordAt {
    const Event* ev;
    void operator()(std::size_t i, std::int64_t& x, std::int64_t& y, std::int64_t& p) const noexcept {
        x = ev[i].x;
        y = ev[i].y;
        p = ev[i].p;
    }
};

// Accessor over three int64 columns.
struct ColumnsAt {
    const std::int64_t *x, *y, *p;
    void operator()(std::size_t i, std::int64_t& xi, std::int64_t& yi, std::int64_t& pi) const noexcept {
        xi = x[i];
        yi = y[i];
        pi = p[i];
    }
};

}  // namespace morvel::kernels
