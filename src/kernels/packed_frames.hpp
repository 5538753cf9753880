// 2-bit packed event frames.
//
// A frame holds width * height pixels, four pixels a byte, row-major, with no
// header and no padding between frames. A frame occupies floor(width*height/4)
// bytes; when width*height is not a multiple of 4 the last pixels have no
// bits and are never produced. In byte k the bit pairs 7-6, 5-4, 3-2, 1-0 are
// pixels 4k, 4k+1, 4k+2, 4k+3. Codes: 00 no event, 01 positive (p = 1),
// 10 negative (p = 0), 11 unused (no event).
//
// Decoding is two passes: count_events() sizes the output, unpack() fills it.
// Both skip empty stretches a 64-bit word at a time; unpack() expands only
// the bytes that carry events, through a 256-entry table.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "event.hpp"

namespace morvel::kernels {

namespace packed_frames_detail {

// Bit 2j of the result is set iff pixel pair j of the word (counting from the
// low end) holds 01 or 10, i.e. its two bits differ. Bits shifted in across
// byte boundaries land on odd positions and are masked off.
inline constexpr std::uint64_t kPairLow = 0x5555555555555555ULL;

inline std::uint64_t event_mask(std::uint64_t w) noexcept {
    return (w ^ (w >> 1)) & kPairLow;
}

// Per byte value: number of events and, for each, its pixel offset within
// the byte (bits 0-1) and its polarity (bit 2), in pixel order.
struct ByteEvents {
    std::uint8_t n;
    std::uint8_t ev[4];
};

struct ByteTable {
    ByteEvents e[256];
};

constexpr ByteTable make_byte_table() {
    ByteTable t{};
    for (unsigned b = 0; b < 256; ++b) {
        ByteEvents be{};
        for (unsigned j = 0; j < 4; ++j) {
            const unsigned code = (b >> (6 - 2 * j)) & 3u;
            if (code == 1u || code == 2u) {
                const unsigned pol = code == 1u ? 1u : 0u;
                be.ev[be.n++] = static_cast<std::uint8_t>(j | (pol << 2));
            }
        }
        t.e[b] = be;
    }
    return t;
}

inline constexpr ByteTable kByteTable = make_byte_table();

// Row/column of pixel indices visited in increasing order within one frame.
// Consecutive hits on the same or the next row avoid a division.
struct RowCursor {
    std::uint64_t width;
    std::uint64_t row_start = 0;  // pixel index of column 0 of row `row`
    std::uint64_t row = 0;

    void seek(std::uint64_t i) noexcept {
        if (i - row_start < width) return;  // i >= row_start always holds
        if (i - row_start < 2 * width) {
            row_start += width;
            row += 1;
            return;
        }
        row = i / width;
        row_start = row * width;
    }
};

inline void emit_byte(std::uint8_t b, std::uint64_t base, RowCursor& rc, std::uint64_t t,
                      Event* out, std::size_t& n, std::size_t cap) noexcept {
    const ByteEvents& be = kByteTable.e[b];
    if (be.n == 0) return;
    rc.seek(base);
    const std::uint64_t x0 = base - rc.row_start;
    for (unsigned k = 0; k < be.n; ++k) {
        if (n == cap) return;
        const unsigned code = be.ev[k];
        std::uint64_t x = x0 + (code & 3u);
        std::uint64_t y = rc.row;
        // width may be smaller than 4, so a byte can span several rows.
        while (x >= rc.width) {
            x -= rc.width;
            y += 1;
        }
        Event& e = out[n++];
        e.t = t;
        e.x = static_cast<std::uint16_t>(x);
        e.y = static_cast<std::uint16_t>(y);
        e.p = static_cast<std::uint8_t>(code >> 2);
    }
}

}  // namespace packed_frames_detail

// Bytes in one frame of width x height pixels, i.e. floor(width*height/4).
// Returns false when width*height overflows 64 bits or the size does not fit
// in size_t.
inline bool packed_frame_bytes(std::uint64_t width, std::uint64_t height,
                               std::size_t& frame_bytes) noexcept {
    if (width != 0 && height > UINT64_MAX / width) return false;
    const std::uint64_t b = width * height / 4;
    if (b > SIZE_MAX) return false;
    frame_bytes = static_cast<std::size_t>(b);
    return true;
}

// Number of pixels coded 01 or 10 in data[0, n_bytes).
inline std::size_t count_events(const unsigned char* data, std::size_t n_bytes) noexcept {
    using namespace packed_frames_detail;
    std::size_t total = 0;
    std::size_t i = 0;
    for (; n_bytes - i >= 8; i += 8)
        total += static_cast<std::size_t>(std::popcount(event_mask(load_u64(data + i))));
    if (i < n_bytes) {
        std::uint64_t w = 0;
        for (std::size_t k = 0; i + k < n_bytes; ++k)
            w |= static_cast<std::uint64_t>(data[i + k]) << (8 * k);
        total += static_cast<std::size_t>(std::popcount(event_mask(w)));
    }
    return total;
}

// Decodes n_frames consecutive frames of frame_bytes bytes each from data
// (which must hold n_frames * frame_bytes bytes; no alignment needed) into
// out, frame by frame, pixels in index order. Pixel i of a frame gets
// x = i mod width and y = i div width, each truncated to 16 bits. Frame f
// gets t = time_of(f) where time_of is called once per frame with f as
// std::uint64_t. At most out_capacity events are written; returns the number
// written. Size out with count_events(data, n_frames * frame_bytes).
// width == 0 produces nothing.
template <class TimeOf>
std::size_t unpack_with(const unsigned char* data, std::size_t frame_bytes,
                        std::size_t n_frames, std::uint32_t width, TimeOf&& time_of,
                        Event* out, std::size_t out_capacity) noexcept {
    using namespace packed_frames_detail;
    std::size_t n = 0;
    if (width == 0) return 0;
    const unsigned char* frame = data;
    for (std::size_t f = 0; f < n_frames; ++f, frame += frame_bytes) {
        if (n == out_capacity) break;
        const std::uint64_t t = time_of(static_cast<std::uint64_t>(f));
        RowCursor rc{width};
        std::size_t i = 0;
        for (; frame_bytes - i >= 8; i += 8) {
            const std::uint64_t w = load_u64(frame + i);
            std::uint64_t m = event_mask(w);
            while (m != 0) {
                const unsigned j = static_cast<unsigned>(std::countr_zero(m)) >> 3;
                m &= ~(0xFFULL << (8 * j));
                const auto b = static_cast<std::uint8_t>(w >> (8 * j));
                emit_byte(b, 4 * static_cast<std::uint64_t>(i + j), rc, t, out, n,
                          out_capacity);
            }
            if (n == out_capacity) return n;
        }
        for (; i < frame_bytes; ++i) {
            const std::uint8_t b = frame[i];
            if (b == 0) continue;
            emit_byte(b, 4 * static_cast<std::uint64_t>(i), rc, t, out, n, out_capacity);
        }
    }
    return n;
}

// Frame f gets t = (start_frame + f) * interval, modulo 2^64.
inline std::size_t unpack(const unsigned char* data, std::size_t frame_bytes,
                          std::size_t n_frames, std::uint32_t width,
                          std::uint64_t start_frame, std::uint64_t interval, Event* out,
                          std::size_t out_capacity) noexcept {
    return unpack_with(
        data, frame_bytes, n_frames, width,
        [start_frame, interval](std::uint64_t f) noexcept { return (start_frame + f) * interval; },
        out, out_capacity);
}

}  // namespace morvel::kernels
