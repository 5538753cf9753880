// Conversion of foreign event columns into event records.
//
// A vendor's event batch is a table whose columns (timestamp, x, y,
// polarity) may come in any order, of any common numeric type, and with any
// stride (including zero and negative ones). `convert_events` reads rows
// [begin, begin + count) of such columns and writes them into `count`
// records, casting each value the way an unsafe NumPy cast does:
//
//   - integers and booleans: reduced modulo 2^bits of the destination
//     (booleans give 0 or 1);
//   - floats: truncated toward zero; a negative value wraps like the integer
//     it truncates to. NaN, the infinities and values outside
//     [-2^63, 2^64) have no integer counterpart and become 0 (NumPy leaves
//     this platform-dependent; here it is defined, without UB).
#pragma once

#include "event.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace morvel::kernels {

// Element types a column may hold (native byte order).
enum class Scalar : std::uint8_t { Bool, I8, I16, I32, I64, U8, U16, U32, U64, F32, F64 };

// One column: the address of row 0, the distance in bytes from a row to the
// next one, and the element type.
struct Column {
    const unsigned char* data = nullptr;
    std::ptrdiff_t stride = 0;
    Scalar type = Scalar::U8;
};

// The four columns of an event batch, in record order.
struct EventColumns {
    Column t, x, y, p;
};

namespace detail {

template <class T>
inline T load(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A float as the unsigned 64-bit pattern of the integer it truncates to.
inline std::uint64_t float_bits(double v) noexcept {
    if (!(v >= -0x1p63 && v < 0x1p64)) return 0;  // NaN, infinities, out of range
    const double whole = std::trunc(v);
    if (whole >= 0) return static_cast<std::uint64_t>(whole);
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(whole));
}

template <class Src, class Dst>
inline Dst cast_value(const unsigned char* p) noexcept {
    if constexpr (std::is_same_v<Src, bool>) {
        return static_cast<Dst>(load<std::uint8_t>(p) != 0);
    } else if constexpr (std::is_floating_point_v<Src>) {
        return static_cast<Dst>(float_bits(static_cast<double>(load<Src>(p))));
    } else {
        // Integer to unsigned integer: defined as reduction modulo 2^bits.
        return static_cast<Dst>(load<Src>(p));
    }
}

// Fill the field at `offset` of `count` records from one column.
template <class Src, class Dst>
inline void fill_field(const unsigned char* src, std::ptrdiff_t stride, std::size_t count, Event* out,
                       std::size_t offset) noexcept {
    auto* dst = reinterpret_cast<unsigned char*>(out) + offset;
    for (std::size_t i = 0; i < count; ++i) {
        const Dst v = cast_value<Src, Dst>(src);
        std::memcpy(dst, &v, sizeof v);
        src += stride;
        dst += sizeof(Event);
    }
}

template <class Dst>
inline void fill_field(const Column& c, std::size_t begin, std::size_t count, Event* out,
                       std::size_t offset) noexcept {
    const unsigned char* src = c.data + static_cast<std::ptrdiff_t>(begin) * c.stride;
    switch (c.type) {
        case Scalar::Bool: return fill_field<bool, Dst>(src, c.stride, count, out, offset);
        case Scalar::I8: return fill_field<std::int8_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::I16: return fill_field<std::int16_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::I32: return fill_field<std::int32_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::I64: return fill_field<std::int64_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::U8: return fill_field<std::uint8_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::U16: return fill_field<std::uint16_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::U32: return fill_field<std::uint32_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::U64: return fill_field<std::uint64_t, Dst>(src, c.stride, count, out, offset);
        case Scalar::F32: return fill_field<float, Dst>(src, c.stride, count, out, offset);
        case Scalar::F64: return fill_field<double, Dst>(src, c.stride, count, out, offset);
    }
}

// One pass writing whole records, for the layouts vendors actually use.
template <class T, class XY, class P>
inline void fill_records(const EventColumns& c, std::size_t begin, std::size_t count, Event* out) noexcept {
    const auto at = [begin](const Column& col) { return col.data + static_cast<std::ptrdiff_t>(begin) * col.stride; };
    const unsigned char *t = at(c.t), *x = at(c.x), *y = at(c.y), *p = at(c.p);
    for (std::size_t i = 0; i < count; ++i) {
        Event e;
        e.t = cast_value<T, std::uint64_t>(t);
        e.x = cast_value<XY, std::uint16_t>(x);
        e.y = cast_value<XY, std::uint16_t>(y);
        e.p = cast_value<P, std::uint8_t>(p);
        std::memcpy(out + i, &e, sizeof e);
        t += c.t.stride;
        x += c.x.stride;
        y += c.y.stride;
        p += c.p.stride;
    }
}

template <class T, class XY>
inline bool fill_records(const EventColumns& c, std::size_t begin, std::size_t count, Event* out) noexcept {
    switch (c.p.type) {
        case Scalar::Bool: fill_records<T, XY, bool>(c, begin, count, out); return true;
        case Scalar::I8: fill_records<T, XY, std::int8_t>(c, begin, count, out); return true;
        case Scalar::U8: fill_records<T, XY, std::uint8_t>(c, begin, count, out); return true;
        case Scalar::I16: fill_records<T, XY, std::int16_t>(c, begin, count, out); return true;
        case Scalar::U16: fill_records<T, XY, std::uint16_t>(c, begin, count, out); return true;
        default: return false;
    }
}

// The one-pass loop when t is a 64-bit integer, x and y the same 16-bit
// integer type and p a small integer; false (nothing written) otherwise.
inline bool fill_common_records(const EventColumns& c, std::size_t begin, std::size_t count, Event* out) noexcept {
    if (c.x.type != c.y.type) return false;
    const bool t_signed = c.t.type == Scalar::I64;
    if (!t_signed && c.t.type != Scalar::U64) return false;
    if (c.x.type == Scalar::I16)
        return t_signed ? fill_records<std::int64_t, std::int16_t>(c, begin, count, out)
                        : fill_records<std::uint64_t, std::int16_t>(c, begin, count, out);
    if (c.x.type == Scalar::U16)
        return t_signed ? fill_records<std::int64_t, std::uint16_t>(c, begin, count, out)
                        : fill_records<std::uint64_t, std::uint16_t>(c, begin, count, out);
    return false;
}

}  // namespace detail

// The column type of a native-order element of NumPy kind `kind` ('b', 'i',
// 'u' or 'f') and `size` bytes; false for anything else.
inline bool scalar_for(char kind, std::size_t size, Scalar& out) noexcept {
    switch (kind) {
        case 'b':
            if (size != 1) return false;
            out = Scalar::Bool;
            return true;
        case 'i':
        case 'u': {
            const bool s = kind == 'i';
            switch (size) {
                case 1: out = s ? Scalar::I8 : Scalar::U8; return true;
                case 2: out = s ? Scalar::I16 : Scalar::U16; return true;
                case 4: out = s ? Scalar::I32 : Scalar::U32; return true;
                case 8: out = s ? Scalar::I64 : Scalar::U64; return true;
                default: return false;
            }
        }
        case 'f':
            if (size == 4) out = Scalar::F32;
            else if (size == 8) out = Scalar::F64;
            else return false;
            return true;
        default:
            return false;
    }
}

// Capacity in records for a chunk of at most `chunk_size` records that
// holds `fill` and must take `need` more: the whole chunk when it is small,
// otherwise room grown by doubling, so that a very large chunk_size costs
// memory only as events arrive.
inline std::size_t chunk_capacity(std::size_t chunk_size, std::size_t capacity, std::size_t fill,
                                  std::size_t need) noexcept {
    constexpr std::size_t kWholeChunk = std::size_t{1} << 16;  // records
    const std::size_t want = fill + need;  // callers keep fill + need <= chunk_size
    if (want <= capacity) return capacity;
    if (chunk_size <= kWholeChunk) return chunk_size;
    std::size_t cap = capacity < kWholeChunk ? kWholeChunk : capacity;
    while (cap < want) cap = cap > chunk_size / 2 ? chunk_size : cap * 2;
    return cap < chunk_size ? cap : chunk_size;
}

// Rows [begin, begin + count) of `cols` into out[0, count).
inline void convert_events(const EventColumns& cols, std::size_t begin, std::size_t count, Event* out) noexcept {
    if (detail::fill_common_records(cols, begin, count, out)) return;
    detail::fill_field<std::uint64_t>(cols.t, begin, count, out, offsetof(Event, t));
    detail::fill_field<std::uint16_t>(cols.x, begin, count, out, offsetof(Event, x));
    detail::fill_field<std::uint16_t>(cols.y, begin, count, out, offsetof(Event, y));
    detail::fill_field<std::uint8_t>(cols.p, begin, count, out, offsetof(Event, p));
}

}  // namespace morvel::kernels
