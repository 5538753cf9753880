// The per-event work of the HDF5 layouts datasets ship in:
//   - time offsets added to stored times (DSEC keeps u32 times relative to
//     a /t_offset);
//   - rows of (x, y, t in seconds, p in {-1, +1}) as float64 (MVSEC);
//   - records of {x u16, y u16, p i16, t i64} (Prophesee's compound);
//   - millisecond index tables: entry k is the index of the first event with
//     t >= k * step (DSEC's ms_to_idx, M3ED's ms_map_idx), built as events
//     stream in.
#pragma once

#include "event.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvel::kernels {

// t += offset for every event. False, with `at` the first event, when a
// result would fall outside [0, 2^64): nothing is then changed.
inline bool offset_times(Event* ev, std::size_t n, std::int64_t offset, std::size_t& at) noexcept {
    if (offset == 0) return true;
    if (offset > 0) {
        const auto add = static_cast<std::uint64_t>(offset);
        for (std::size_t i = 0; i < n; ++i)
            if (ev[i].t > UINT64_MAX - add) {
                at = i;
                return false;
            }
        for (std::size_t i = 0; i < n; ++i) ev[i].t += add;
    } else {
        const std::uint64_t sub = 0 - static_cast<std::uint64_t>(offset);
        for (std::size_t i = 0; i < n; ++i)
            if (ev[i].t < sub) {
                at = i;
                return false;
            }
        for (std::size_t i = 0; i < n; ++i) ev[i].t -= sub;
    }
    return true;
}

// Seconds to whole microseconds, rounded to nearest (halves away from zero).
// False for NaN, infinities, negative times and times of 2^63 us or more.
inline bool seconds_to_us(double s, std::uint64_t& us) noexcept {
    const double v = std::round(s * 1e6);
    if (!(v >= 0.0) || !(v < 9223372036854775808.0)) return false;
    us = static_cast<std::uint64_t>(v);
    return true;
}

// What is wrong with a row that is no event.
enum class RowFault : std::uint8_t { none, x, y, t, p };

// MVSEC rows (x, y, t, p as float64, row after row) into events: t rounded to
// microseconds, p -1 -> 0 and +1 -> 1 (0 is taken as 0). x and y must be
// whole numbers in [0, 65535]. Returns the rows converted: n, or the index of
// the first row that is no event (its fault in `fault`).
inline std::size_t mvsec_rows(const double* rows, std::size_t n, Event* out, RowFault& fault) noexcept {
    fault = RowFault::none;
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = rows + 4 * i;
        const double x = r[0], y = r[1], p = r[3];
        if (!(x >= 0.0 && x <= 65535.0 && x == std::floor(x))) {
            fault = RowFault::x;
            return i;
        }
        if (!(y >= 0.0 && y <= 65535.0 && y == std::floor(y))) {
            fault = RowFault::y;
            return i;
        }
        std::uint64_t t;
        if (!seconds_to_us(r[2], t)) {
            fault = RowFault::t;
            return i;
        }
        if (!(p == 1.0 || p == -1.0 || p == 0.0)) {
            fault = RowFault::p;
            return i;
        }
        out[i] = Event{t, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                       static_cast<std::uint8_t>(p > 0.0)};
    }
    return n;
}

// Prophesee CD records as the vendor stores them: 16 bytes.
#pragma pack(push, 1)
struct CdRecord {
    std::uint16_t x;
    std::uint16_t y;
    std::int16_t p;
    std::int16_t pad;
    std::int64_t t;
};
#pragma pack(pop)
static_assert(sizeof(CdRecord) == 16);

// CD records into events: p is 1 when non-zero. Returns n, or the index of
// the first record with a negative t.
inline std::size_t cd_records_to_events(const unsigned char* rec, std::size_t n, Event* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        CdRecord r;
        std::memcpy(&r, rec + 16 * i, sizeof r);
        if (r.t < 0) return i;
        out[i] = Event{static_cast<std::uint64_t>(r.t), r.x, r.y, static_cast<std::uint8_t>(r.p != 0)};
    }
    return n;
}

// Events into CD records (the padding zeroed).
inline void events_to_cd_records(const Event* ev, std::size_t n, unsigned char* rec) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const CdRecord r{ev[i].x, ev[i].y, static_cast<std::int16_t>(ev[i].p), 0, static_cast<std::int64_t>(ev[i].t)};
        std::memcpy(rec + 16 * i, &r, sizeof r);
    }
}

// What a layout can hold, checked on events as they stream in (before any
// of them is written): times that never decrease, times within reach of the
// first, coordinates and polarities within bounds.
enum class StreamFault : std::uint8_t { none, decreasing, late, x, y, p, t };

struct StreamCheck {
    bool any = false;
    std::uint64_t first = 0, prev = 0;         // the first and the last time seen
    std::uint64_t reach = UINT64_MAX;          // most t - first
    std::uint64_t t_max = UINT64_MAX;          // largest t
    std::uint32_t x_end = 1u << 16, y_end = 1u << 16, p_end = 1u << 8;
    bool sorted = true;                         // times must not decrease

    // Advances past the events that fit; returns their number (n when all
    // do), with the fault of the first that does not.
    std::size_t scan(const Event* ev, std::size_t n, StreamFault& fault) noexcept {
        fault = StreamFault::none;
        for (std::size_t i = 0; i < n; ++i) {
            const Event& e = ev[i];
            if (e.t > t_max) fault = StreamFault::t;
            else if (any && sorted && e.t < prev) fault = StreamFault::decreasing;
            else if (any && e.t - first > reach) fault = StreamFault::late;
            else if (e.x >= x_end) fault = StreamFault::x;
            else if (e.y >= y_end) fault = StreamFault::y;
            else if (e.p >= p_end) fault = StreamFault::p;
            if (fault != StreamFault::none) return i;
            if (!any) first = e.t;
            any = true;
            prev = e.t;
        }
        return n;
    }
};

// out[i] = t[i] - origin, for times checked to be within 2^32 of it.
inline void relative_u32(const std::uint64_t* t, std::size_t n, std::uint64_t origin, std::uint32_t* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint32_t>(t[i] - origin);
}

// Builds an index table as events stream in: entry k is the index of the
// first event with t >= k * step, times counted from `origin`. The times must
// not decrease (checked by the writers before they call `add`).
class TimeIndexBuilder {
public:
    TimeIndexBuilder(std::uint64_t origin, std::uint64_t step) noexcept : origin_(origin), step_(step) {}

    // Events [first, first + n) of the stream, with these times.
    void add(const std::uint64_t* t, std::size_t n, std::uint64_t first, std::vector<std::uint64_t>& table) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t rel = t[i] - origin_;
            while (next_k_ * step_ <= rel) {
                table.push_back(first + i);
                ++next_k_;
            }
        }
    }
    std::uint64_t entries() const noexcept { return next_k_; }

private:
    std::uint64_t origin_, step_;
    std::uint64_t next_k_ = 0;
};

}  // namespace morvel::kernels
