// The wide paths of the EVT 2.0 and EVT 3.0 decoders (AVX-512, taken where
// simd::avx512() allows). They work on the cursors of evt_words.hpp and give
// exactly what the cursors' word-by-word steps give: the same events, the
// same state after the words.
//
// A block of 64 bytes (16 EVT 2.0 words, 32 EVT 3.0 words) is decoded at
// once. The words that set state for the event words after them (EVT 3.0
// y, time low, vector base; EVT 2.0 has none in a block) are resolved by
// prefix scans over the lanes: each lane learns which earlier lane set its
// value last. The events' lanes are then packed together and assembled into
// 13-byte records four at a time, with byte permutes, and stored 64 bytes at
// a time over the slots of the events that follow (kRoom; masked stores,
// which would write only the records, cost about half the speed of vector
// words on the machines measured). A time high (a word that moves the time
// base of every later event, and may wrap) ends the block before it and
// goes through the cursor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "event.hpp"
#include "evt_words.hpp"
#include "simd.hpp"

#if MORVEL_HAVE_AVX512
#include <immintrin.h>
#endif

// GCC 12's AVX-512 intrinsics (shifts, extracts, alignr) start from a
// deliberately undefined vector, which its flow analysis then reports once
// inlined here (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace morvel::kernels {

namespace avx512 {
// The wide paths store 64 bytes at a time, up to 220 bytes past their last
// record (Records::put): they decode only words after which at least kRoom
// more events come in the same output (decode() hands those to the plain
// steps), and what they write past an event is overwritten by the events
// after it.
inline constexpr std::size_t kRoom = 17;  // 17 * 13 >= 3 * 52 + 64
}  // namespace avx512

#if MORVEL_HAVE_AVX512
namespace avx512 {

// Where each byte of a 13-byte record comes from, for the events whose
// fields sit in 32-bit lanes of two vectors A and B (event e in lane e of
// both): 0..3 byte 0..3 of A's lane, 4..7 byte 0..3 of B's lane, -1 a byte
// that all records of a block share (of the time base).
using RecordCode = std::array<signed char, 13>;

// The byte permute for records of events 4g..4g+3.
constexpr std::array<unsigned char, 64> group_index(const RecordCode& code, unsigned g) {
    std::array<unsigned char, 64> idx{};
    for (unsigned j = 0; j < 4; ++j) {
        const unsigned e = 4 * g + j;
        for (unsigned b = 0; b < 13; ++b) {
            const int c = code[b];
            idx[13 * j + b] = c < 0 ? 0 : static_cast<unsigned char>((c < 4 ? 0 : 64) + 4 * e + (c & 3));
        }
    }
    return idx;
}

// The bytes of four records taken from the permute (the rest are shared).
constexpr std::uint64_t permuted_bytes(const RecordCode& code) {
    std::uint64_t m = 0;
    for (unsigned j = 0; j < 4; ++j)
        for (unsigned b = 0; b < 13; ++b)
            if (code[b] >= 0) m |= std::uint64_t{1} << (13 * j + b);
    return m;
}

template <const RecordCode& kCode>
struct RecordTables {
    static constexpr std::array<unsigned char, 64> g0 = group_index(kCode, 0), g1 = group_index(kCode, 1),
                                                   g2 = group_index(kCode, 2), g3 = group_index(kCode, 3);
    static constexpr std::uint64_t kPermuted = permuted_bytes(kCode);
};

// Writes 13-byte records of up to 16 events from two vectors of 32-bit
// lanes (RecordCode), four records a store.
template <const RecordCode& kCode>
class Records {
    using T = RecordTables<kCode>;

public:
    MORVEL_TARGET_AVX512 Records() noexcept
        : idx_{_mm512_loadu_si512(T::g0.data()), _mm512_loadu_si512(T::g1.data()),
               _mm512_loadu_si512(T::g2.data()), _mm512_loadu_si512(T::g3.data())},
          shared_(_mm512_setzero_si512()) {}

    // The bytes all records share: those of `base` at their places.
    MORVEL_TARGET_AVX512 void set_shared(std::uint64_t base) noexcept {
        alignas(64) unsigned char bytes[64] = {};
        for (unsigned j = 0; j < 4; ++j)
            for (unsigned b = 0; b < 13; ++b)
                if (kCode[b] < 0) bytes[13 * j + b] = static_cast<unsigned char>(base >> (8 * b));
        shared_ = _mm512_load_si512(bytes);
    }

    // Records of events 0..n-1 (n <= 4 * kGroups) at o; returns the end of
    // the last. Group g stores 64 bytes at o + 52 g whether it has records
    // or not (a store at an address that depends on n is much slower), so
    // up to 220 bytes past the end are overwritten with scratch, which the
    // caller must own (kRoom).
    template <unsigned kGroups = 4>
    MORVEL_TARGET_AVX512 MORVEL_INLINE unsigned char* put(unsigned char* o, __m512i a, __m512i b,
                                                         unsigned n) const noexcept {
        static_assert(kGroups >= 1 && kGroups <= 4);
        for (unsigned g = 0; g < kGroups; ++g)
            _mm512_storeu_si512(o + 52 * g,
                                _mm512_or_si512(_mm512_maskz_permutex2var_epi8(T::kPermuted, a, idx_[g], b), shared_));
        return o + 13 * n;
    }

private:
    __m512i idx_[4];
    __m512i shared_;
};

// EVT 2.0 records: A = x | y << 16, B = t bits 7..0 | p << 8; t bits 63..8
// come from the time base.
inline constexpr RecordCode kEvt2Code = {4, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3, 5};
// EVT 3.0 records: A = t bits 15..0 | y << 16, B = x | p << 16; t bits
// 63..16 come from the time base.
inline constexpr RecordCode kEvt3Code = {0, 1, -1, -1, -1, -1, -1, -1, 4, 5, 2, 3, 6};

// Lane i of 32 16-bit lanes set to i + add (u16), built once per call.
MORVEL_TARGET_AVX512 MORVEL_INLINE __m512i lanes16(int add) noexcept {
    alignas(64) std::uint16_t v[32];
    for (int i = 0; i < 32; ++i) v[i] = static_cast<std::uint16_t>(i + add);
    return _mm512_load_si512(v);
}

// Lane-wise operators of the scans.
struct MaxU8 {
    MORVEL_TARGET_AVX512 MORVEL_INLINE __m512i operator()(__m512i a, __m512i b) const noexcept {
        return _mm512_max_epu8(a, b);
    }
};
struct MaxU16 {
    MORVEL_TARGET_AVX512 MORVEL_INLINE __m512i operator()(__m512i a, __m512i b) const noexcept {
        return _mm512_max_epu16(a, b);
    }
};
struct AddU16 {
    MORVEL_TARGET_AVX512 MORVEL_INLINE __m512i operator()(__m512i a, __m512i b) const noexcept {
        return _mm512_add_epi16(a, b);
    }
};

// Lane 0 of 16-bit lanes.
MORVEL_TARGET_AVX512 MORVEL_INLINE std::uint16_t lane0(__m512i v) noexcept {
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(v)));
}

// The sum of 32 16-bit lanes, taken as unsigned.
MORVEL_TARGET_AVX512 MORVEL_INLINE std::size_t sum_u16(__m512i v) noexcept {
    const __m512i pairs = _mm512_add_epi32(_mm512_and_si512(v, _mm512_set1_epi32(0xFFFF)), _mm512_srli_epi32(v, 16));
    return static_cast<std::uint32_t>(_mm512_reduce_add_epi32(pairs));
}

// The lane shifts of a prefix scan over 32 16-bit lanes: lanes move up by
// 1, 2, 4, 8 and 16, zeros come in.
struct Shifts {
    __m512i down1, down2;  // lane i reads lane i - 1, i - 2

    MORVEL_TARGET_AVX512 Shifts() noexcept : down1(lanes16(-1)), down2(lanes16(-2)) {}

    template <class Op>
    MORVEL_TARGET_AVX512 MORVEL_INLINE __m512i scan(__m512i v, Op op) const noexcept {
        const __m512i zero = _mm512_setzero_si512();
        v = op(v, _mm512_maskz_permutexvar_epi16(0xFFFFFFFEu, down1, v));
        v = op(v, _mm512_maskz_permutexvar_epi16(0xFFFFFFFCu, down2, v));
        v = op(v, _mm512_alignr_epi64(v, zero, 7));
        v = op(v, _mm512_alignr_epi64(v, zero, 6));
        v = op(v, _mm512_alignr_epi64(v, zero, 4));
        return v;
    }
};

}  // namespace avx512

// Decodes the EVT 2.0 words in [p, end) (whole words) into out; returns the
// events written. At least kRoom events must follow the range in out.
MORVEL_TARGET_AVX512 inline std::size_t evt2_decode_avx512(Evt2Cursor& c, const unsigned char* p,
                                                           const unsigned char* const end, Event* out) noexcept {
    unsigned char* o = reinterpret_cast<unsigned char*>(out);
    avx512::Records<avx512::kEvt2Code> records;
    records.set_shared(c.base);
    __m512i low_base = _mm512_set1_epi32(static_cast<int>(c.base & 0xC0u));
    const __m512i m7ff = _mm512_set1_epi32(0x7FF), m3f = _mm512_set1_epi32(0x3F);
    const __m512i two = _mm512_set1_epi32(2), eight = _mm512_set1_epi32(8);
    while (end - p >= 64) {
        const __m512i w = _mm512_loadu_si512(p);
        const __m512i type = _mm512_srli_epi32(w, 28);
        const auto high = static_cast<unsigned>(_mm512_cmpeq_epi32_mask(type, eight));
        // Lanes before the first time high.
        const unsigned lanes = high ? static_cast<unsigned>(std::countr_zero(high)) : 16u;
        const auto cd = _mm512_mask_cmplt_epu32_mask(static_cast<__mmask16>(_bzhi_u32(0xFFFFu, lanes)), type, two);
        const __m512i e = _mm512_maskz_compress_epi32(cd, w);
        const __m512i xy =
            _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(e, 11), m7ff), _mm512_slli_epi32(_mm512_and_si512(e, m7ff), 16));
        const __m512i tp = _mm512_or_si512(_mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(e, 22), m3f), low_base),
                                           _mm512_slli_epi32(_mm512_srli_epi32(e, 28), 8));
        o = records.put(o, xy, tp, static_cast<unsigned>(std::popcount(static_cast<unsigned>(cd))));
        p += 4 * lanes;
        if (lanes < 16) {
            c.high(load_u32(p));
            p += 4;
            records.set_shared(c.base);
            low_base = _mm512_set1_epi32(static_cast<int>(c.base & 0xC0u));
        }
    }
    for (; p != end; p += 4) o += c.step(load_u32(p), reinterpret_cast<Event*>(o)) * sizeof(Event);
    return static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out)) / sizeof(Event);
}

// Decodes the EVT 3.0 words in [p, end) into out; returns the events
// written. At least kRoom events must follow the range in out.
MORVEL_TARGET_AVX512 inline std::size_t evt3_decode_avx512(Evt3Cursor& c, const unsigned char* p,
                                                           const unsigned char* const end, Event* out) noexcept {
    unsigned char* o = reinterpret_cast<unsigned char*>(out);
    avx512::Records<avx512::kEvt3Code> records;
    records.set_shared(c.base);
    const avx512::Shifts shifts;
    const __m512i after = avx512::lanes16(1);  // lane i: i + 1
    const __m512i after_hi = _mm512_slli_epi16(after, 8);
    // Event i of 32 in lanes 2i, 2i + 1 of 16 32-bit lanes: events 0..15, 16..31.
    alignas(64) std::uint16_t pair_lo[32], pair_hi[32];
    for (int i = 0; i < 16; ++i) {
        pair_lo[2 * i] = static_cast<std::uint16_t>(i);
        pair_lo[2 * i + 1] = static_cast<std::uint16_t>(32 + i);
        pair_hi[2 * i] = static_cast<std::uint16_t>(16 + i);
        pair_hi[2 * i + 1] = static_cast<std::uint16_t>(48 + i);
    }
    const __m512i lo = _mm512_load_si512(pair_lo), hi = _mm512_load_si512(pair_hi);
    const __m512i offsets = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i one = _mm512_set1_epi16(1), m7ff = _mm512_set1_epi16(0x7FF), mfff = _mm512_set1_epi16(0xFFF);
    const __m512i zero = _mm512_setzero_si512();

    // The state every lane starts from, in all lanes.
    __m512i y = _mm512_set1_epi16(static_cast<short>(c.y));
    __m512i low = _mm512_set1_epi16(static_cast<short>(c.t - c.base));
    __m512i base_x = _mm512_set1_epi16(static_cast<short>(c.base_x));
    __m512i polarity = _mm512_set1_epi16(c.polarity);
    __m512i t_base = _mm512_set1_epi16(static_cast<short>(c.base & 0xF000u));

    while (end - p >= 64) {
        const __m512i w = _mm512_loadu_si512(p);
        const __m512i type = _mm512_srli_epi16(w, 12);
        const auto high = static_cast<std::uint32_t>(_mm512_cmpeq_epi16_mask(type, _mm512_set1_epi16(8)));
        // Lanes before the first time high.
        const unsigned lanes = high ? static_cast<unsigned>(std::countr_zero(high)) : 32u;
        if (lanes != 0) {
            const __mmask32 valid = _bzhi_u32(0xFFFFFFFFu, lanes);
            const __mmask32 ys = _mm512_cmpeq_epi16_mask(type, zero);
            const __mmask32 lows = _mm512_cmpeq_epi16_mask(type, _mm512_set1_epi16(6));
            const __mmask32 xs = _mm512_mask_cmpeq_epi16_mask(valid, type, _mm512_set1_epi16(2));
            const __mmask32 v12 = _mm512_mask_cmpeq_epi16_mask(valid, type, _mm512_set1_epi16(4));
            const __mmask32 v8 = _mm512_mask_cmpeq_epi16_mask(valid, type, _mm512_set1_epi16(5));
            const __mmask32 bases = _mm512_mask_cmpeq_epi16_mask(valid, type, _mm512_set1_epi16(3));
            // The last y lane and time low lane at or before each lane (+1,
            // 0 for none) in the low and high byte of its lane.
            __m512i last = _mm512_mask_mov_epi16(_mm512_maskz_mov_epi16(ys, after), lows, after_hi);
            last = shifts.scan(last, avx512::MaxU8{});
            const __m512i v11 = _mm512_and_si512(w, m7ff);
            // Lane "none" - 1 = 0xFFFF picks lane 31 of the incoming value.
            const __m512i y_at = _mm512_permutex2var_epi16(v11, _mm512_sub_epi16(last, one), y);
            const __m512i low_at = _mm512_permutex2var_epi16(
                _mm512_and_si512(w, mfff), _mm512_sub_epi16(_mm512_srli_epi16(last, 8), one), low);
            const __m512i final_lane = _mm512_set1_epi16(static_cast<short>(lanes - 1));

            if ((v12 | v8 | bases) == 0) {
                // Single events only: pack their lanes, then the records.
                const unsigned n = static_cast<unsigned>(std::popcount(static_cast<std::uint32_t>(xs)));
                const __m512i ex = _mm512_maskz_compress_epi16(xs, v11);
                const __m512i ep = _mm512_maskz_compress_epi16(xs, _mm512_and_si512(_mm512_srli_epi16(w, 11), one));
                const __m512i ey = _mm512_maskz_compress_epi16(xs, y_at);
                const __m512i et = _mm512_maskz_compress_epi16(xs, _mm512_or_si512(low_at, t_base));
                o = records.put(o, _mm512_permutex2var_epi16(et, lo, ey), _mm512_permutex2var_epi16(ex, lo, ep),
                                n < 16 ? n : 16);
                if (n > 16)
                    o = records.put(o, _mm512_permutex2var_epi16(et, hi, ey), _mm512_permutex2var_epi16(ex, hi, ep),
                                    n - 16);
            } else {
                // Vectors: base x at each lane is the last VECT_BASE_X value
                // (or the incoming one) plus what the vectors since added.
                const __m512i add = _mm512_mask_mov_epi16(_mm512_maskz_mov_epi16(v12, _mm512_set1_epi16(12)), v8,
                                                          _mm512_set1_epi16(8));
                const __m512i added = shifts.scan(add, avx512::AddU16{});
                const __m512i before = _mm512_sub_epi16(added, add);
                const __m512i base_lane = _mm512_sub_epi16(
                    shifts.scan(_mm512_maskz_mov_epi16(bases, after), avx512::MaxU16{}),
                    one);
                const __m512i from = _mm512_permutex2var_epi16(_mm512_sub_epi16(v11, before), base_lane, base_x);
                const __m512i pol_at = _mm512_permutex2var_epi16(_mm512_and_si512(_mm512_srli_epi16(w, 11), one),
                                                                 base_lane, polarity);
                // Every lane with events as a vector word: its bits, the x
                // of bit 0 and the polarity (EVT_ADDR_X: bit 0 at its x).
                const __m512i p_at = _mm512_and_si512(_mm512_srli_epi16(w, 11), one);
                const __m512i bits = _mm512_mask_mov_epi16(_mm512_maskz_mov_epi16(v12, _mm512_and_si512(w, mfff)), v8,
                                                           _mm512_and_si512(w, _mm512_set1_epi16(0xFF)));
                const __m512i x_at = _mm512_mask_mov_epi16(_mm512_add_epi16(from, before), xs, v11);
                const __m512i pol = _mm512_mask_mov_epi16(pol_at, xs, p_at);
                const __m512i t_at = _mm512_or_si512(low_at, t_base);
                alignas(64) std::uint32_t ta[32], xa[32];
                alignas(64) std::uint16_t ba[32];
                _mm512_store_si512(ta, _mm512_permutex2var_epi16(t_at, lo, y_at));
                _mm512_store_si512(ta + 16, _mm512_permutex2var_epi16(t_at, hi, y_at));
                _mm512_store_si512(xa, _mm512_permutex2var_epi16(x_at, lo, pol));
                _mm512_store_si512(xa + 16, _mm512_permutex2var_epi16(x_at, hi, pol));
                _mm512_store_si512(ba, _mm512_mask_mov_epi16(bits, xs, one));
                for (std::uint32_t m = xs | v12 | v8; m != 0; m &= m - 1) {
                    const unsigned i = static_cast<unsigned>(std::countr_zero(m));
                    const unsigned b = ba[i];
                    // x (16-bit, wrapping) of each set bit, in bit order.
                    const __m512i xp = _mm512_add_epi16(_mm512_maskz_compress_epi32(static_cast<__mmask16>(b), offsets),
                                                        _mm512_set1_epi32(static_cast<int>(xa[i])));
                    o = records.put<3>(o, _mm512_set1_epi32(static_cast<int>(ta[i])), xp,
                                       static_cast<unsigned>(std::popcount(b)));
                }
                base_x = _mm512_permutexvar_epi16(final_lane, _mm512_add_epi16(from, added));
                polarity = _mm512_permutexvar_epi16(final_lane, pol_at);
            }
            y = _mm512_permutexvar_epi16(final_lane, y_at);
            low = _mm512_permutexvar_epi16(final_lane, low_at);
            p += 2 * lanes;
        }
        if (lanes < 32) {
            if (c.high(load_u16(p))) {
                low = zero;
                t_base = _mm512_set1_epi16(static_cast<short>(c.base & 0xF000u));
                records.set_shared(c.base);
            }
            p += 2;
        }
    }
    c.y = avx512::lane0(y);
    c.t = c.base + avx512::lane0(low);
    c.base_x = avx512::lane0(base_x);
    c.polarity = static_cast<std::uint8_t>(avx512::lane0(polarity));
    o += c.run(p, end, reinterpret_cast<Event*>(o)) * sizeof(Event);
    return static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out)) / sizeof(Event);
}

// Events of the EVT 2.0 words at p (CD_OFF / CD_ON); calls high(k) for each
// time high k among them, in order.
template <class High>
MORVEL_TARGET_AVX512 inline std::size_t evt2_scan_avx512(const unsigned char* p, std::size_t words, High&& high) {
    const __m512i two = _mm512_set1_epi32(2), eight = _mm512_set1_epi32(8);
    std::size_t total = 0;
    for (std::size_t i = 0; i < words; i += 16) {
        const std::size_t k = words - i < 16 ? words - i : 16;
        const auto valid = static_cast<__mmask16>(_bzhi_u32(0xFFFFu, static_cast<unsigned>(k)));
        const __m512i type = _mm512_srli_epi32(_mm512_maskz_loadu_epi32(valid, p + 4 * i), 28);
        total += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(_mm512_mask_cmplt_epu32_mask(valid, type, two))));
        for (unsigned m = _mm512_mask_cmpeq_epi32_mask(valid, type, eight); m != 0; m &= m - 1) [[unlikely]]
            high(i + static_cast<std::size_t>(std::countr_zero(m)));
    }
    return total;
}

// Events of the EVT 3.0 words at p (EVT_ADDR_X: one, vectors: their set
// bits). For each time high and vector base k among them, in order, calls
// rare(k, steps) with what the vectors before it add to base x (mod 2^16);
// *steps gets what all of them add.
template <class Rare>
MORVEL_TARGET_AVX512 inline std::size_t evt3_scan_avx512(const unsigned char* p, std::size_t words,
                                                         std::uint16_t* steps, Rare&& rare) {
    const __m512i m12 = _mm512_set1_epi16(0xFFF), m8 = _mm512_set1_epi16(0xFF), one = _mm512_set1_epi16(1);
    const __m512i two = _mm512_set1_epi16(2), three = _mm512_set1_epi16(3), four = _mm512_set1_epi16(4);
    const __m512i five = _mm512_set1_epi16(5), eight = _mm512_set1_epi16(8);
    std::size_t total = 0;
    std::uint32_t added = 0;
    for (std::size_t i = 0; i < words;) {
        // At most 12 events a word: 4096 blocks of 32 stay below 2^16 a lane.
        const std::size_t stop = words - i > 4096 * 32 ? i + 4096 * 32 : words;
        __m512i events = _mm512_setzero_si512();
        for (; i < stop; i += 32) {
            const std::size_t k = stop - i < 32 ? stop - i : 32;
            const __mmask32 valid = _bzhi_u32(0xFFFFFFFFu, static_cast<unsigned>(k));
            const __m512i w = _mm512_maskz_loadu_epi16(valid, p + 2 * i);
            const __m512i type = _mm512_srli_epi16(w, 12);
            const __mmask32 v12 = _mm512_cmpeq_epi16_mask(type, four), v8 = _mm512_cmpeq_epi16_mask(type, five);
            const __m512i bits = _mm512_and_si512(w, _mm512_mask_mov_epi16(_mm512_maskz_mov_epi16(v12, m12), v8, m8));
            events = _mm512_add_epi16(events, _mm512_popcnt_epi16(bits));
            events = _mm512_mask_add_epi16(events, _mm512_cmpeq_epi16_mask(type, two), events, one);
            if constexpr (!std::is_same_v<std::decay_t<Rare>, std::nullptr_t>) {
                for (std::uint32_t m = _mm512_mask_cmpeq_epi16_mask(valid, type, three) |
                                       _mm512_mask_cmpeq_epi16_mask(valid, type, eight);
                     m != 0; m &= m - 1) [[unlikely]] {
                    const auto lane = static_cast<unsigned>(std::countr_zero(m));
                    const std::uint32_t below = _bzhi_u32(0xFFFFFFFFu, lane);
                    rare(i + lane, static_cast<std::uint16_t>(added + 12 * std::popcount(v12 & below) +
                                                              8 * std::popcount(v8 & below)));
                }
                added += 12 * std::popcount(static_cast<std::uint32_t>(v12)) + 8 * std::popcount(static_cast<std::uint32_t>(v8));
            }
        }
        total += avx512::sum_u16(events);
    }
    if (steps) *steps = static_cast<std::uint16_t>(added);
    return total;
}

// Events of the EVT 3.0 words at p.
MORVEL_TARGET_AVX512 inline std::size_t evt3_count_avx512(const unsigned char* p, std::size_t words) noexcept {
    return evt3_scan_avx512(p, words, nullptr, nullptr);
}

#else

// Never called without AVX-512 (simd::avx512() is false).
inline std::size_t evt2_decode_avx512(Evt2Cursor&, const unsigned char*, const unsigned char*, Event*) noexcept {
    return 0;
}
inline std::size_t evt3_decode_avx512(Evt3Cursor&, const unsigned char*, const unsigned char*, Event*) noexcept {
    return 0;
}
template <class High>
inline std::size_t evt2_scan_avx512(const unsigned char*, std::size_t, High&&) {
    return 0;
}
template <class Rare>
inline std::size_t evt3_scan_avx512(const unsigned char*, std::size_t, std::uint16_t*, Rare&&) {
    return 0;
}
inline std::size_t evt3_count_avx512(const unsigned char*, std::size_t) noexcept { return 0; }

#endif

}  // namespace morvel::kernels

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
