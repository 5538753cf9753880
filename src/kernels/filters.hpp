// Event filters: each decides, event by event in stream order, whether an
// event is kept, and never reorders. `select` copies the kept events (with a
// change of coordinates where the filter makes one), `select_mask` writes
// one bool per event. Stateful filters (refractory period, background
// activity) keep their per-pixel state in caller-owned arrays, so a stream
// filtered in pieces gives exactly what filtering it whole gives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.hpp"
#include "representations.hpp"

namespace morvel::kernels {

// Kept events of ev[0, n) to out (room for n), each copied and then given
// map(source, copy) (a change of coordinates; nothing by default); returns
// how many. Every event is written, the next one over it unless it is kept,
// so the loop has no branch on the condition.
struct SameEvent {
    void operator()(const Event&, Event&) const noexcept {}
};

template <class Keep, class Map = SameEvent>
std::size_t select(const Event* ev, std::size_t n, Keep&& keep, Event* out, Map&& map = {}) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = ev[i];
        const bool kept = keep(e);
        std::memcpy(out + k, &e, sizeof(Event));
        map(e, out[k]);
        k += kept;
    }
    return k;
}

template <class Keep>
void select_mask(const Event* ev, std::size_t n, Keep&& keep, bool* mask) noexcept {
    for (std::size_t i = 0; i < n; ++i) mask[i] = keep(ev[i]);
}

// ---------------------------------------------------------------------------
// Stateless conditions.

struct CropWindow {
    std::uint64_t x0, y0, width, height;
    bool operator()(const Event& e) const noexcept {
        // Bitwise: which events are in is as random as their pixels, so no branch.
        return (std::uint64_t{e.x} - x0 < width) & (std::uint64_t{e.y} - y0 < height) & (e.x >= x0) & (e.y >= y0);
    }
};

struct TimeRange {
    std::uint64_t start, end;  // start <= t < end
    bool operator()(const Event& e) const noexcept { return (e.t >= start) & (e.t < end); }
};

struct PolarityIs {
    bool on;
    bool operator()(const Event& e) const noexcept { return (e.p != 0) == on; }
};

// Pixels to drop, as a map of bytes over [0, width) x [0, height) (events
// beyond it are kept).
struct PixelMask {
    const std::uint8_t* map;
    std::uint32_t width, height;
    bool operator()(const Event& e) const noexcept {
        const bool in = (e.x < width) & (e.y < height);
        return !(in && map[std::size_t{e.y} * width + e.x]);
    }
};

// Pixels to drop, as sorted keys x << 16 | y (for pixels spread too far for a map).
struct PixelKeys {
    const std::uint32_t* keys;
    std::size_t n;
    bool operator()(const Event& e) const noexcept {
        const std::uint32_t k = std::uint32_t{e.x} << 16 | e.y;
        return !std::binary_search(keys, keys + n, k);
    }
};

// First index whose t is >= bound, in time-sorted events.
inline std::size_t lower_bound_t(const Event* ev, std::size_t n, std::uint64_t bound) noexcept {
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (ev[mid].t < bound) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// ---------------------------------------------------------------------------
// Refractory period, per pixel (both polarities): an event is kept when
// t >= t_kept + period, t_kept being the last kept event's t at its pixel.
// The state is next[pixel] = t_kept + period (0 before the first event), then
// a bit per pixel for a sum past 2^64 - 1 (next is then 2^64 - 1 and no later
// event is kept).

struct Refractory {
    Sensor sensor;
    std::uint64_t period;
    std::uint64_t* next;

    static std::size_t state_size(Sensor s) noexcept { return s.plane() + (s.plane() + 63) / 64; }

    bool operator()(const Event& e) const noexcept {
        const std::size_t at = sensor.at(e);
        std::uint64_t& n = next[at];
        if (e.t < n) return false;
        std::uint64_t& beyond = next[sensor.plane() + at / 64];
        const std::uint64_t bit = std::uint64_t{1} << (at % 64);
        if (n == UINT64_MAX && (beyond & bit)) return false;
        if (e.t > UINT64_MAX - period) {
            n = UINT64_MAX;
            beyond |= bit;
        } else {
            n = e.t + period;
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// Background activity: an event is kept when one of its 8 neighbours fired
// at t_n with t_n <= t < t_n + window. Every event records its t at its own
// pixel. `last` is (height + 2) x (width + 2), holding t + 1 (0: no event
// yet), with a border that stays 0 so that edge pixels need no test.

struct Denoise {
    Sensor sensor;
    std::uint64_t window;
    std::uint64_t* last;

    static std::size_t state_size(Sensor s) noexcept { return (std::size_t{s.width} + 2) * (std::size_t{s.height} + 2); }

    bool operator()(const Event& e) const noexcept {
        const std::size_t stride = std::size_t{sensor.width} + 2;
        std::uint64_t* c = last + (std::size_t{e.y} + 1) * stride + e.x + 1;
        const std::uint64_t t = e.t;
        // Fired within the window: 1 <= v <= t + 1 and t + 1 - v < window.
        auto near = [&](std::uint64_t v) { return (v - 1 <= t) & (t - (v - 1) < window) & (v != 0); };
        const bool kept = near(c[-1]) | near(c[1]) | near(c[-static_cast<std::ptrdiff_t>(stride) - 1]) |
                          near(c[-static_cast<std::ptrdiff_t>(stride)]) |
                          near(c[-static_cast<std::ptrdiff_t>(stride) + 1]) | near(c[stride - 1]) | near(c[stride]) |
                          near(c[stride + 1]);
        *c = t == UINT64_MAX ? t : t + 1;
        return kept;
    }
};

// ---------------------------------------------------------------------------
// Coordinate changes, as maps for select (with Everything: every event kept).

struct Everything {
    bool operator()(const Event&) const noexcept { return true; }
};

struct Downsample {
    std::uint16_t factor;
    void operator()(const Event& e, Event& out) const noexcept {
        out.x = static_cast<std::uint16_t>(e.x / factor);
        out.y = static_cast<std::uint16_t>(e.y / factor);
    }
};

// Mirror inside the sensor; events must be inside it.
struct Flip {
    std::uint32_t extent;  // width (flip x) or height (flip y)
    bool y;
    void operator()(const Event& e, Event& out) const noexcept {
        if (y) out.y = static_cast<std::uint16_t>(extent - 1 - e.y);
        else out.x = static_cast<std::uint16_t>(extent - 1 - e.x);
    }
};

// Coordinates relative to (x0, y0), for events at or past it.
struct Shift {
    std::uint16_t x0, y0;
    void operator()(const Event& e, Event& out) const noexcept {
        out.x = static_cast<std::uint16_t>(e.x - x0);
        out.y = static_cast<std::uint16_t>(e.y - y0);
    }
};

}  // namespace morvel::kernels
