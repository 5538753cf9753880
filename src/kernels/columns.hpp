// Columns <-> event records: interleaving four numeric columns (t, x, y, p)
// into 13-byte event records, and splitting records (or any four strided
// columns) into contiguous u64/u16/u16/u8 columns.
//
// Sources may be of any of the numeric types below, at any byte stride
// (negative too), and are cast as NumPy's `astype` casts them:
//   - integers wrap modulo 2^bits of the target;
//   - floats truncate toward zero when the truncated value fits the target;
//   - other floats (negative, too large, NaN, infinite) go through a signed
//     64-bit integer first, which then wraps; a value outside the int64 range
//     (or NaN) becomes INT64_MIN, as the x86-64 conversion instruction gives.
// No conversion is undefined behaviour in C++.
//
// Both directions are one pass over memory: they work in tiles small enough
// to stay in the first-level cache, casting each column of a tile in turn.
#pragma once

#include "event.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel::kernels {

// Numeric element types a column may hold (native byte order).
enum class NumType : std::uint8_t { i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

// A strided source column: element i is at data + i * stride (bytes).
struct SrcColumn {
    const void* data;
    std::ptrdiff_t stride;
    NumType type;
};

// Contiguous target columns of the event fields.
struct EventColumns {
    std::uint64_t* t;
    std::uint16_t* x;
    std::uint16_t* y;
    std::uint8_t* p;
};

// Smallest and largest value of the t column written (min > max: no values).
struct Range {
    std::uint64_t min = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t max = 0;
    void add(const Range& o) noexcept {
        min = std::min(min, o.min);
        max = std::max(max, o.max);
    }
    bool empty() const noexcept { return min > max; }
};

// ---------------------------------------------------------------------------
// Casting one value.

template <class To, class From>
inline To cast_value(From v) noexcept {
    static_assert(std::is_unsigned_v<To>, "targets are unsigned integers");
    if constexpr (std::is_integral_v<From>) {
        return static_cast<To>(v);  // modular (C++20)
    } else {
        // (-1, 2^bits) truncates into [0, 2^bits - 1]: representable.
        constexpr From upper = static_cast<From>(2.0) * static_cast<From>(std::uint64_t{1} << (sizeof(To) * 8 - 1));
        if (v > From(-1) && v < upper) return static_cast<To>(v);
        constexpr From i64_lo = From(-9223372036854775808.0);  // -2^63, exact
        if (v >= i64_lo && v < -i64_lo) return static_cast<To>(static_cast<std::int64_t>(v));
        return static_cast<To>(std::numeric_limits<std::int64_t>::min());  // NaN, +-inf, beyond int64
    }
}

namespace detail {

template <class T>
inline T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
inline void store(char* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// dst[i * dst_stride] = cast(src[i * src_stride]) for i in [0, n).
template <class To, class From>
void cast_strided(char* dst, std::ptrdiff_t dst_stride, const char* src, std::ptrdiff_t src_stride,
                  std::size_t n) noexcept {
    if (dst_stride == sizeof(To) && src_stride == sizeof(From)) {
        // Contiguous on both sides: a loop the compiler can vectorise.
        To* d = reinterpret_cast<To*>(dst);
        for (std::size_t i = 0; i < n; ++i) d[i] = cast_value<To>(load<From>(src + i * sizeof(From)));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        store<To>(dst, cast_value<To>(load<From>(src)));
        dst += dst_stride;
        src += src_stride;
    }
}

template <class To>
void cast_column(char* dst, std::ptrdiff_t dst_stride, const SrcColumn& c, std::size_t first, std::size_t n) noexcept {
    const char* src = static_cast<const char*>(c.data) + static_cast<std::ptrdiff_t>(first) * c.stride;
    switch (c.type) {
        case NumType::i8: return cast_strided<To, std::int8_t>(dst, dst_stride, src, c.stride, n);
        case NumType::i16: return cast_strided<To, std::int16_t>(dst, dst_stride, src, c.stride, n);
        case NumType::i32: return cast_strided<To, std::int32_t>(dst, dst_stride, src, c.stride, n);
        case NumType::i64: return cast_strided<To, std::int64_t>(dst, dst_stride, src, c.stride, n);
        case NumType::u8: return cast_strided<To, std::uint8_t>(dst, dst_stride, src, c.stride, n);
        case NumType::u16: return cast_strided<To, std::uint16_t>(dst, dst_stride, src, c.stride, n);
        case NumType::u32: return cast_strided<To, std::uint32_t>(dst, dst_stride, src, c.stride, n);
        case NumType::u64: return cast_strided<To, std::uint64_t>(dst, dst_stride, src, c.stride, n);
        case NumType::f32: return cast_strided<To, float>(dst, dst_stride, src, c.stride, n);
        case NumType::f64: return cast_strided<To, double>(dst, dst_stride, src, c.stride, n);
    }
}

template <class T>
inline bool is_exact_contiguous(const SrcColumn& c) noexcept {
    constexpr NumType want = sizeof(T) == 8 ? NumType::u64 : sizeof(T) == 2 ? NumType::u16 : NumType::u8;
    return c.type == want && c.stride == static_cast<std::ptrdiff_t>(sizeof(T));
}

inline Range range_of(const std::uint64_t* t, std::size_t n) noexcept {
    Range r;
    for (std::size_t i = 0; i < n; ++i) {
        r.min = std::min(r.min, t[i]);
        r.max = std::max(r.max, t[i]);
    }
    return r;
}

// Events per tile: 2048 records (26 KB) stay in the first-level cache.
inline constexpr std::size_t kTile = 2048;

}  // namespace detail

// ---------------------------------------------------------------------------
// Columns -> records.

// out[i] = (t[i], x[i], y[i], p[i]) cast to (u64, u16, u16, u8), i in [0, n).
inline void interleave(Event* out, std::size_t n, const SrcColumn& t, const SrcColumn& x, const SrcColumn& y,
                       const SrcColumn& p) noexcept {
    using namespace detail;
    if (is_exact_contiguous<std::uint64_t>(t) && is_exact_contiguous<std::uint16_t>(x) &&
        is_exact_contiguous<std::uint16_t>(y) && is_exact_contiguous<std::uint8_t>(p)) {
        const auto* tt = static_cast<const char*>(t.data);
        const auto* xx = static_cast<const char*>(x.data);
        const auto* yy = static_cast<const char*>(y.data);
        const auto* pp = static_cast<const std::uint8_t*>(p.data);
        char* o = reinterpret_cast<char*>(out);
        for (std::size_t i = 0; i < n; ++i, o += kEventSize) {
            store(o, load<std::uint64_t>(tt + 8 * i));
            // x, y and p packed into one 4-byte and one 1-byte store.
            const std::uint32_t xy = std::uint32_t{load<std::uint16_t>(xx + 2 * i)} |
                                     (std::uint32_t{load<std::uint16_t>(yy + 2 * i)} << 16);
            store(o + 8, xy);
            o[12] = static_cast<char>(pp[i]);
        }
        return;
    }
    char* base = reinterpret_cast<char*>(out);
    constexpr auto stride = static_cast<std::ptrdiff_t>(kEventSize);
    for (std::size_t first = 0; first < n; first += kTile) {
        const std::size_t m = std::min(kTile, n - first);
        char* o = base + first * kEventSize;
        cast_column<std::uint64_t>(o + offsetof(Event, t), stride, t, first, m);
        cast_column<std::uint16_t>(o + offsetof(Event, x), stride, x, first, m);
        cast_column<std::uint16_t>(o + offsetof(Event, y), stride, y, first, m);
        cast_column<std::uint8_t>(o + offsetof(Event, p), stride, p, first, m);
    }
}

// ---------------------------------------------------------------------------
// Records (or any four columns) -> contiguous columns.

// The four columns of `n` event records at `records` (13 bytes each).
inline SrcColumn event_field(const Event* records, std::size_t offset, NumType type) noexcept {
    return SrcColumn{reinterpret_cast<const char*>(records) + offset, static_cast<std::ptrdiff_t>(kEventSize), type};
}

// out.t[i] = cast(t[i]) and likewise for x, y, p, i in [0, n). Returns the
// range of the t values written.
inline Range split(const EventColumns& out, std::size_t n, const SrcColumn& t, const SrcColumn& x,
                   const SrcColumn& y, const SrcColumn& p) noexcept {
    using namespace detail;
    constexpr auto rec = static_cast<std::ptrdiff_t>(kEventSize);
    const auto* tb = static_cast<const char*>(t.data);
    if (t.type == NumType::u64 && x.type == NumType::u16 && y.type == NumType::u16 && p.type == NumType::u8 &&
        t.stride == rec && x.stride == rec && y.stride == rec && p.stride == rec &&
        static_cast<const char*>(x.data) == tb + 8 && static_cast<const char*>(y.data) == tb + 10 &&
        static_cast<const char*>(p.data) == tb + 12) {
        // Event records of exactly our layout.
        Range r;
        const char* s = tb;
        for (std::size_t i = 0; i < n; ++i, s += kEventSize) {
            const std::uint64_t tv = load<std::uint64_t>(s);
            const std::uint32_t xy = load<std::uint32_t>(s + 8);
            out.t[i] = tv;
            out.x[i] = static_cast<std::uint16_t>(xy);
            out.y[i] = static_cast<std::uint16_t>(xy >> 16);
            out.p[i] = static_cast<std::uint8_t>(s[12]);
            r.min = std::min(r.min, tv);
            r.max = std::max(r.max, tv);
        }
        return r;
    }
    Range r;
    for (std::size_t first = 0; first < n; first += kTile) {
        const std::size_t m = std::min(kTile, n - first);
        cast_column<std::uint64_t>(reinterpret_cast<char*>(out.t + first), 8, t, first, m);
        cast_column<std::uint16_t>(reinterpret_cast<char*>(out.x + first), 2, x, first, m);
        cast_column<std::uint16_t>(reinterpret_cast<char*>(out.y + first), 2, y, first, m);
        cast_column<std::uint8_t>(reinterpret_cast<char*>(out.p + first), 1, p, first, m);
        r.add(range_of(out.t + first, m));
    }
    return r;
}

}  // namespace morvel::kernels
