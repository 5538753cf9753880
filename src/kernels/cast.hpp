// The conversion core: numeric columns of any common type to the event
// fields (u64 t, u16 x, u16 y, u8 p) and to int64, cast as NumPy's `astype`
// casts them on x86-64, and event records to and from columns.
//
// Every reader, writer and converter that takes columns of foreign types
// goes through this one table and this one policy:
//   - booleans give 0 or 1;
//   - integers wrap modulo 2^bits of the target (C++20 conversions);
//   - floats truncate toward zero. Values with no counterpart in the target
//     follow the conversion instructions NumPy's loops compile to:
//       to int64:        outside [-2^63, 2^63), NaN and infinities: INT64_MIN;
//       to uint64:       [2^63, 2^64) exact; 2^64 and beyond, +inf: 0; anything
//                        else goes through int64 as above (-1.5 -> 2^64 - 1,
//                        NaN and -inf -> 2^63);
//       to uint16/uint8: through int32 (INT32_MIN outside [-2^31, 2^31), NaN
//                        and infinities), then wrapped: 70000.5 -> 4464.
// No conversion is undefined behaviour in C++; tests hold the table against
// astype on generated inputs of every source type.
//
// Both directions are one pass over memory: common layouts get a loop that
// writes whole records, others work in tiles small enough to stay in the
// first-level cache, casting each column of a tile in turn.
#pragma once

#include "event.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel::kernels {

// Element types a column may hold (native byte order).
enum class NumType : std::uint8_t { b1, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

// The type of a native-order element of NumPy kind `kind` ('b', 'i', 'u' or
// 'f') and `size` bytes; false for anything else (float16, complex, ...).
inline bool num_type_for(char kind, std::size_t size, NumType& out) noexcept {
    switch (kind) {
        case 'b':
            if (size != 1) return false;
            out = NumType::b1;
            return true;
        case 'i':
        case 'u': {
            const bool s = kind == 'i';
            switch (size) {
                case 1: out = s ? NumType::i8 : NumType::u8; return true;
                case 2: out = s ? NumType::i16 : NumType::u16; return true;
                case 4: out = s ? NumType::i32 : NumType::u32; return true;
                case 8: out = s ? NumType::i64 : NumType::u64; return true;
                default: return false;
            }
        }
        case 'f':
            if (size == 4) out = NumType::f32;
            else if (size == 8) out = NumType::f64;
            else return false;
            return true;
        default:
            return false;
    }
}

template <class T>
inline constexpr NumType num_type_of = std::is_same_v<T, bool>            ? NumType::b1
                                       : std::is_same_v<T, std::int8_t>   ? NumType::i8
                                       : std::is_same_v<T, std::int16_t>  ? NumType::i16
                                       : std::is_same_v<T, std::int32_t>  ? NumType::i32
                                       : std::is_same_v<T, std::int64_t>  ? NumType::i64
                                       : std::is_same_v<T, std::uint8_t>  ? NumType::u8
                                       : std::is_same_v<T, std::uint16_t> ? NumType::u16
                                       : std::is_same_v<T, std::uint32_t> ? NumType::u32
                                       : std::is_same_v<T, std::uint64_t> ? NumType::u64
                                       : std::is_same_v<T, float>         ? NumType::f32
                                                                          : NumType::f64;

// A strided column: element i is at data + i * stride bytes (any stride,
// zero and negative ones included).
struct Column {
    const void* data = nullptr;
    std::ptrdiff_t stride = 0;
    NumType type = NumType::u8;

    // The same column from row `row` on.
    Column from(std::size_t row) const noexcept {
        return {static_cast<const char*>(data) + static_cast<std::ptrdiff_t>(row) * stride, stride, type};
    }
};

// The four source columns of a table of events (t, x, y, p), in that order.
struct EventColumns {
    Column t, x, y, p;

    EventColumns from(std::size_t row) const noexcept { return {t.from(row), x.from(row), y.from(row), p.from(row)}; }
};

// The columns of `n` event records.
inline EventColumns record_columns(const Event* records) noexcept {
    const char* b = reinterpret_cast<const char*>(records);
    constexpr auto s = static_cast<std::ptrdiff_t>(kEventSize);
    return {{b + offsetof(Event, t), s, NumType::u64},
            {b + offsetof(Event, x), s, NumType::u16},
            {b + offsetof(Event, y), s, NumType::u16},
            {b + offsetof(Event, p), s, NumType::u8}};
}

// Contiguous target columns of the event fields.
struct EventFields {
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
// One value.

namespace cast_detail {

// Truncation of a float to a signed integer of `Bits`, with the x86-64
// conversion instruction's answer (the lowest value) where there is none.
template <class I, class F>
MORVEL_INLINE I to_signed(F v) noexcept {
    constexpr F lo = -static_cast<F>(std::uint64_t{1} << (sizeof(I) * 8 - 1));  // -2^(bits-1), exact
    if (v >= lo && v < -lo) return static_cast<I>(v);
    return std::numeric_limits<I>::min();
}

}  // namespace cast_detail

template <class To, class From>
MORVEL_INLINE To cast_value(From v) noexcept {
    static_assert(std::is_integral_v<To>, "targets are integers");
    if constexpr (std::is_same_v<From, bool>) {
        return static_cast<To>(v ? 1 : 0);
    } else if constexpr (std::is_integral_v<From>) {
        return static_cast<To>(v);  // modular (C++20)
    } else if constexpr (std::is_same_v<To, std::int64_t>) {
        return cast_detail::to_signed<std::int64_t>(v);
    } else if constexpr (std::is_same_v<To, std::uint64_t>) {
        constexpr From two63 = static_cast<From>(std::uint64_t{1} << 63);
        if (v >= two63) return static_cast<std::uint64_t>(cast_detail::to_signed<std::int64_t>(v - two63)) ^ (std::uint64_t{1} << 63);
        return static_cast<std::uint64_t>(cast_detail::to_signed<std::int64_t>(v));
    } else {
        static_assert(sizeof(To) <= 2, "no policy for 32-bit targets (NumPy's own loops disagree there)");
        return static_cast<To>(cast_detail::to_signed<std::int32_t>(v));
    }
}

// ---------------------------------------------------------------------------
// Columns.

namespace cast_detail {

template <class T>
MORVEL_INLINE T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
MORVEL_INLINE void store(char* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Calls f(T{}) with T the C++ type of `type`.
template <class F>
MORVEL_INLINE void visit_type(NumType type, F&& f) {
    switch (type) {
        case NumType::b1: return f(bool{});
        case NumType::i8: return f(std::int8_t{});
        case NumType::i16: return f(std::int16_t{});
        case NumType::i32: return f(std::int32_t{});
        case NumType::i64: return f(std::int64_t{});
        case NumType::u8: return f(std::uint8_t{});
        case NumType::u16: return f(std::uint16_t{});
        case NumType::u32: return f(std::uint32_t{});
        case NumType::u64: return f(std::uint64_t{});
        case NumType::f32: return f(float{});
        case NumType::f64: return f(double{});
    }
}

template <class From>
MORVEL_INLINE From load_value(const char* p) noexcept {
    if constexpr (std::is_same_v<From, bool>)
        return *reinterpret_cast<const unsigned char*>(p) != 0;  // any nonzero byte is true, as NumPy reads it
    else
        return load<From>(p);
}

// dst[i * dst_stride] = cast(src[i * src_stride]) for i in [0, n).
template <class To, class From>
void cast_strided(char* dst, std::ptrdiff_t dst_stride, const char* src, std::ptrdiff_t src_stride,
                  std::size_t n) noexcept {
    if (dst_stride == sizeof(To) && src_stride == sizeof(From)) {
        // Contiguous on both sides: a loop the compiler can vectorise.
        To* d = reinterpret_cast<To*>(dst);
        for (std::size_t i = 0; i < n; ++i) d[i] = cast_value<To>(load_value<From>(src + i * sizeof(From)));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        store<To>(dst, cast_value<To>(load_value<From>(src)));
        dst += dst_stride;
        src += src_stride;
    }
}

template <class To>
void cast_into(char* dst, std::ptrdiff_t dst_stride, const Column& c, std::size_t n) noexcept {
    visit_type(c.type, [&](auto from) {
        cast_strided<To, decltype(from)>(dst, dst_stride, static_cast<const char*>(c.data), c.stride, n);
    });
}

template <class T>
inline bool is_exact_contiguous(const Column& c) noexcept {
    return c.type == num_type_of<T> && c.stride == static_cast<std::ptrdiff_t>(sizeof(T));
}

// The columns are event records of exactly our layout.
inline bool is_record_layout(const EventColumns& c) noexcept {
    constexpr auto rec = static_cast<std::ptrdiff_t>(kEventSize);
    const auto* tb = static_cast<const char*>(c.t.data);
    return c.t.type == NumType::u64 && c.x.type == NumType::u16 && c.y.type == NumType::u16 &&
           c.p.type == NumType::u8 && c.t.stride == rec && c.x.stride == rec && c.y.stride == rec &&
           c.p.stride == rec && static_cast<const char*>(c.x.data) == tb + 8 &&
           static_cast<const char*>(c.y.data) == tb + 10 && static_cast<const char*>(c.p.data) == tb + 12;
}

// One pass writing whole records, for the layouts vendors actually use.
template <class T, class XY, class P>
void fill_records(const EventColumns& c, std::size_t n, Event* out) noexcept {
    const char *t = static_cast<const char*>(c.t.data), *x = static_cast<const char*>(c.x.data),
               *y = static_cast<const char*>(c.y.data), *p = static_cast<const char*>(c.p.data);
    for (std::size_t i = 0; i < n; ++i) {
        Event e;
        e.t = cast_value<std::uint64_t>(load_value<T>(t));
        e.x = cast_value<std::uint16_t>(load_value<XY>(x));
        e.y = cast_value<std::uint16_t>(load_value<XY>(y));
        e.p = cast_value<std::uint8_t>(load_value<P>(p));
        std::memcpy(out + i, &e, sizeof e);
        t += c.t.stride;
        x += c.x.stride;
        y += c.y.stride;
        p += c.p.stride;
    }
}

template <class T, class XY>
bool fill_records_p(const EventColumns& c, std::size_t n, Event* out) noexcept {
    switch (c.p.type) {
        case NumType::b1: fill_records<T, XY, bool>(c, n, out); return true;
        case NumType::i8: fill_records<T, XY, std::int8_t>(c, n, out); return true;
        case NumType::u8: fill_records<T, XY, std::uint8_t>(c, n, out); return true;
        case NumType::i16: fill_records<T, XY, std::int16_t>(c, n, out); return true;
        case NumType::u16: fill_records<T, XY, std::uint16_t>(c, n, out); return true;
        default: return false;
    }
}

template <class T>
bool fill_records_xy(const EventColumns& c, std::size_t n, Event* out) noexcept {
    if (c.x.type != c.y.type) return false;
    if (c.x.type == NumType::i16) return fill_records_p<T, std::int16_t>(c, n, out);
    if (c.x.type == NumType::u16) return fill_records_p<T, std::uint16_t>(c, n, out);
    return false;
}

// The one-pass loop when t is a 64-bit integer, x and y the same 16-bit
// integer type and p a small integer or boolean; false (nothing written)
// otherwise.
inline bool fill_common_records(const EventColumns& c, std::size_t n, Event* out) noexcept {
    if (c.t.type == NumType::i64) return fill_records_xy<std::int64_t>(c, n, out);
    if (c.t.type == NumType::u64) return fill_records_xy<std::uint64_t>(c, n, out);
    return false;
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

}  // namespace cast_detail

// out[i] = cast(c[i]) for i in [0, n): one column into a contiguous array.
template <class To>
void cast_column(const Column& c, std::size_t n, To* out) noexcept {
    cast_detail::cast_into<To>(reinterpret_cast<char*>(out), sizeof(To), c, n);
}

// ---------------------------------------------------------------------------
// Columns -> records.

// out[i] = (t[i], x[i], y[i], p[i]) cast to (u64, u16, u16, u8), i in [0, n).
inline void interleave(const EventColumns& c, std::size_t n, Event* out) noexcept {
    using namespace cast_detail;
    if (is_exact_contiguous<std::uint64_t>(c.t) && is_exact_contiguous<std::uint16_t>(c.x) &&
        is_exact_contiguous<std::uint16_t>(c.y) && is_exact_contiguous<std::uint8_t>(c.p)) {
        const auto* tt = static_cast<const char*>(c.t.data);
        const auto* xx = static_cast<const char*>(c.x.data);
        const auto* yy = static_cast<const char*>(c.y.data);
        const auto* pp = static_cast<const std::uint8_t*>(c.p.data);
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
    if (is_record_layout(c)) {
        if (n) std::memmove(out, c.t.data, n * kEventSize);
        return;
    }
    if (fill_common_records(c, n, out)) return;
    char* base = reinterpret_cast<char*>(out);
    constexpr auto stride = static_cast<std::ptrdiff_t>(kEventSize);
    for (std::size_t first = 0; first < n; first += kTile) {
        const std::size_t m = std::min(kTile, n - first);
        char* o = base + first * kEventSize;
        const EventColumns t = c.from(first);
        cast_into<std::uint64_t>(o + offsetof(Event, t), stride, t.t, m);
        cast_into<std::uint16_t>(o + offsetof(Event, x), stride, t.x, m);
        cast_into<std::uint16_t>(o + offsetof(Event, y), stride, t.y, m);
        cast_into<std::uint8_t>(o + offsetof(Event, p), stride, t.p, m);
    }
}

// ---------------------------------------------------------------------------
// Columns (event records among them) -> contiguous columns.

// out.t[i] = cast(c.t[i]) and likewise for x, y, p, i in [0, n). Returns the
// range of the t values written.
inline Range split(const EventColumns& c, std::size_t n, const EventFields& out) noexcept {
    using namespace cast_detail;
    if (is_record_layout(c)) {
        Range r;
        const char* s = static_cast<const char*>(c.t.data);
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
        const EventColumns t = c.from(first);
        cast_column(t.t, m, out.t + first);
        cast_column(t.x, m, out.x + first);
        cast_column(t.y, m, out.y + first);
        cast_column(t.p, m, out.p + first);
        r.add(range_of(out.t + first, m));
    }
    return r;
}

}  // namespace morvel::kernels
