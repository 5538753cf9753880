// LZ4 frames (the format of the lz4 command line tool and of LZ4F): the
// decoder, bounds first, then the bytes, with every length checked.
//
// A frame is
//     u32 magic 0x184D2204;
//     FLG (version 01 in bits 7-6, independent blocks 5, block checksums 4,
//         content size 3, content checksum 2, dictionary id 0), BD (block
//         maximum in bits 6-4: 4 64 KB, 5 256 KB, 6 1 MB, 7 4 MB), an
//         optional u64 content size, an optional u32 dictionary id, and one
//         byte of header checksum (xxHash32 of the descriptor, bits 15-8);
//     blocks: u32 size (bit 31: stored as is), the bytes, an optional u32
//         xxHash32 of them; a size of 0 ends the blocks;
//     an optional u32 xxHash32 of the content.
// Frames may follow one another, and skippable frames (magic 0x184D2A5x,
// u32 size, bytes) may sit between them. Linked blocks reach back into the
// frame's earlier output, independent ones only into their own.
//
// Nothing here allocates or throws: output goes to caller memory of a size
// frame_bound gives.
#pragma once

#include "event.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvel::kernels::lz4 {

enum class Status : std::uint8_t {
    ok,
    bad_magic,             // neither a frame nor a skippable frame
    bad_descriptor,        // version, reserved bits or block maximum not as defined
    bad_header_checksum,   // the descriptor's checksum byte disagrees
    dictionary,            // the frame needs a dictionary
    cut,                   // the bytes end inside the frame
    bad_block_size,        // a block larger than the frame's maximum
    bad_block,             // a block's sequences run past it or its output, or reach before it
    bad_block_checksum,    // a block's checksum disagrees
    bad_content_size,      // the content is not the size the frame says
    bad_content_checksum,  // the content's checksum disagrees
    too_large,             // the output would pass the limit given
};

struct Result {
    Status status = Status::ok;
    std::size_t at = 0;    // byte offset in the input of what failed
    std::size_t size = 0;  // frame_bound: the bound; decode: the bytes written
    bool ok() const noexcept { return status == Status::ok; }
};

inline const char* status_message(Status s) noexcept {
    switch (s) {
        case Status::ok: return "fine";
        case Status::bad_magic: return "no LZ4 frame starts there";
        case Status::bad_descriptor: return "its frame descriptor is not valid";
        case Status::bad_header_checksum: return "its frame header checksum disagrees";
        case Status::dictionary: return "it needs a dictionary";
        case Status::cut: return "the LZ4 frame is cut short";
        case Status::bad_block_size: return "a block is larger than the frame allows";
        case Status::bad_block: return "a block is damaged";
        case Status::bad_block_checksum: return "a block checksum disagrees";
        case Status::bad_content_size: return "it is not the size its frame says";
        case Status::bad_content_checksum: return "its content checksum disagrees";
        case Status::too_large: return "it decompresses to more than the limit";
    }
    return "unknown";
}

// xxHash32 of n bytes.
inline std::uint32_t xxh32(const unsigned char* p, std::size_t n, std::uint32_t seed = 0) noexcept {
    constexpr std::uint32_t P1 = 2654435761u, P2 = 2246822519u, P3 = 3266489917u, P4 = 668265263u, P5 = 374761393u;
    auto rotl = [](std::uint32_t v, int r) { return (v << r) | (v >> (32 - r)); };
    const unsigned char* const end = p + n;
    std::uint32_t h;
    if (n >= 16) {
        std::uint32_t v1 = seed + P1 + P2, v2 = seed + P2, v3 = seed, v4 = seed - P1;
        auto round = [&](std::uint32_t v, const unsigned char* q) { return rotl(v + load_u32(q) * P2, 13) * P1; };
        for (; end - p >= 16; p += 16) {
            v1 = round(v1, p);
            v2 = round(v2, p + 4);
            v3 = round(v3, p + 8);
            v4 = round(v4, p + 12);
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    } else {
        h = seed + P5;
    }
    h += static_cast<std::uint32_t>(n);
    for (; end - p >= 4; p += 4) h = rotl(h + load_u32(p) * P3, 17) * P4;
    for (; p < end; ++p) h = rotl(h + *p * P5, 11) * P1;
    h ^= h >> 15;
    h *= P2;
    h ^= h >> 13;
    h *= P3;
    h ^= h >> 16;
    return h;
}

inline constexpr std::uint32_t kMagic = 0x184D2204u;
inline bool skippable(std::uint32_t magic) noexcept { return (magic & 0xFFFFFFF0u) == 0x184D2A50u; }

struct Frame {
    bool independent = false, block_checksum = false, content_checksum = false, has_size = false;
    std::size_t block_max = 0;
    std::uint64_t content_size = 0;
    std::size_t blocks_at = 0;  // the first block's size field
};

// The header of the frame at p[at...].
inline Result parse_frame_header(const unsigned char* p, std::size_t n, std::size_t at, Frame& f) noexcept {
    if (n - at < 7) return {Status::cut, at};
    const unsigned char flg = p[at + 4], bd = p[at + 5];
    if ((flg >> 6) != 1 || (flg & 0x02) || (bd & 0x8F) || ((bd >> 4) & 7) < 4) return {Status::bad_descriptor, at + 4};
    if (flg & 0x01) return {Status::dictionary, at + 4};
    f = {};
    f.independent = flg & 0x20;
    f.block_checksum = flg & 0x10;
    f.has_size = flg & 0x08;
    f.content_checksum = flg & 0x04;
    f.block_max = std::size_t{1} << (8 + 2 * ((bd >> 4) & 7));
    const std::size_t descriptor = f.has_size ? 10 : 2;
    if (n - at - 4 < descriptor + 1) return {Status::cut, at};
    if (f.has_size) f.content_size = load_u64(p + at + 6);
    const unsigned char hc = p[at + 4 + descriptor];
    if (((xxh32(p + at + 4, descriptor) >> 8) & 0xFF) != hc) return {Status::bad_header_checksum, at + 4 + descriptor};
    f.blocks_at = at + 4 + descriptor + 1;
    return {};
}

// The next frame from p[at...] on, past skippable frames: its header in f
// and `found`, or none left (at == n).
inline Result next_frame(const unsigned char* p, std::size_t n, std::size_t& at, Frame& f, bool& found) noexcept {
    found = false;
    while (at < n) {
        if (n - at < 4) return {Status::bad_magic, at};
        const std::uint32_t magic = load_u32(p + at);
        if (skippable(magic)) {
            if (n - at < 8) return {Status::cut, at};
            const std::size_t size = load_u32(p + at + 4);
            if (size > n - at - 8) return {Status::cut, at};
            at += 8 + size;
            continue;
        }
        if (magic != kMagic) return {Status::bad_magic, at};
        found = true;
        return parse_frame_header(p, n, at, f);
    }
    return {};
}

struct Block {
    std::size_t size = 0;  // 0: the end mark
    bool stored = false;   // kept as is, not compressed
};

// The block whose size field is at p[at...] of frame f, checked to fit.
inline Result next_block(const unsigned char* p, std::size_t n, std::size_t at, const Frame& f, Block& b) noexcept {
    if (n - at < 4) return {Status::cut, at};
    const std::uint32_t word = load_u32(p + at);
    b = {word & 0x7FFFFFFFu, (word & 0x80000000u) != 0};
    if (word == 0) return {};
    if (b.size > f.block_max) return {Status::bad_block_size, at};
    if (b.size + (f.block_checksum ? 4 : 0) > n - at - 4) return {Status::cut, at};
    return {};
}

// Walks the frames of p[0, n) without decoding: an upper bound of their
// output (exact where frames say their size), never more than 255 bytes
// for each compressed byte, refused past `limit`.
inline Result frame_bound(const unsigned char* p, std::size_t n, std::size_t limit) noexcept {
    std::size_t at = 0, total = 0;
    if (n == 0) return {Status::cut, 0};
    for (;;) {
        Frame f;
        bool found;
        Result r = next_frame(p, n, at, f, found);
        if (!r.ok()) return r;
        if (!found) break;
        at = f.blocks_at;
        std::size_t frame = 0;
        for (Block b;;) {
            if (!(r = next_block(p, n, at, f, b)).ok()) return r;
            if (b.size == 0 && !b.stored) break;
            // A compressed byte gives at most 255 (a length byte of 255).
            frame += b.stored ? b.size : std::min(f.block_max, 255 * b.size + 64);
            if (!f.has_size && frame > limit) return {Status::too_large, at};
            at += 4 + b.size + (f.block_checksum ? 4 : 0);
        }
        at += 4 + (f.content_checksum ? 4 : 0);
        if (at > n) return {Status::cut, n};
        if (f.has_size) {
            if (f.content_size > limit) return {Status::too_large, f.blocks_at - 9};
            if (f.content_size > frame) return {Status::bad_content_size, f.blocks_at - 9};  // more than its blocks hold
            frame = static_cast<std::size_t>(f.content_size);
        }
        if (frame > limit - total) return {Status::too_large, at};
        total += frame;
    }
    return {Status::ok, 0, total};
}

namespace detail {

// Copies n bytes 16 at a time; may write up to 15 bytes past d + n.
MORVEL_INLINE void wild_copy(unsigned char* d, const unsigned char* s, std::size_t n) noexcept {
    unsigned char* const e = d + n;
    do {
        std::memcpy(d, s, 16);
        d += 16;
        s += 16;
    } while (d < e);
}

// One block's sequences from in[0, n) to out[pos...], out[0, cap) the room
// and out[low...] the earliest byte a match may reach. The bytes written, or
// -1 when the block is damaged.
inline std::ptrdiff_t decode_block(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t pos,
                                   std::size_t cap, std::size_t low) noexcept {
    const unsigned char* ip = in;
    const unsigned char* const iend = in + n;
    unsigned char* op = out + pos;
    unsigned char* const oend = out + cap;
    for (;;) {
        // While far from both ends, the common short sequences move with fixed
        // size copies (16 bytes of literals, 18 of match) and no length checks.
        // A sequence that is long or near an end is decoded by the careful code
        // after it, one at a time.
        while (iend - ip >= 32 && oend - op >= 64) {
            const unsigned token = *ip;
            const std::size_t lit = token >> 4;
            if (lit == 15 || (token & 15) == 15) break;
            const std::size_t offset = static_cast<std::size_t>(ip[1 + lit]) | (static_cast<std::size_t>(ip[2 + lit]) << 8);
            if (offset < 8 || offset > static_cast<std::size_t>(op + lit - (out + low))) break;
            std::memcpy(op, ip + 1, 16);
            op += lit;
            ip += 3 + lit;
            const unsigned char* m = op - offset;
            std::memcpy(op, m, 8);
            std::memcpy(op + 8, m + 8, 8);
            std::memcpy(op + 16, m + 16, 2);
            op += (token & 15) + 4;
        }
        if (ip >= iend) return -1;
        const unsigned token = *ip++;
        std::size_t lit = token >> 4;
        if (lit == 15) {
            unsigned b;
            do {
                if (ip >= iend) return -1;
                b = *ip++;
                lit += b;
            } while (b == 255);
        }
        if (lit > static_cast<std::size_t>(iend - ip) || lit > static_cast<std::size_t>(oend - op)) return -1;
        if (static_cast<std::size_t>(iend - ip) >= lit + 16 && static_cast<std::size_t>(oend - op) >= lit + 16)
            wild_copy(op, ip, lit);
        else if (lit)
            std::memmove(op, ip, lit);
        op += lit;
        ip += lit;
        if (ip == iend) break;  // the last sequence has literals only
        if (iend - ip < 2) return -1;
        const std::size_t offset = static_cast<std::size_t>(ip[0]) | (static_cast<std::size_t>(ip[1]) << 8);
        ip += 2;
        std::size_t len = (token & 15) + 4;
        if ((token & 15) == 15) {
            unsigned b;
            do {
                if (ip >= iend) return -1;
                b = *ip++;
                len += b;
            } while (b == 255);
        }
        if (offset == 0 || offset > static_cast<std::size_t>(op - (out + low))) return -1;
        if (len > static_cast<std::size_t>(oend - op)) return -1;
        const unsigned char* m = op - offset;
        if (offset >= 16 && static_cast<std::size_t>(oend - op) >= len + 16) {
            wild_copy(op, m, len);
        } else if (offset >= 8 && static_cast<std::size_t>(oend - op) >= len + 8) {
            unsigned char* const e = op + len;
            for (unsigned char* d = op; d < e; d += 8, m += 8) std::memcpy(d, m, 8);
        } else {
            for (std::size_t i = 0; i < len; ++i) op[i] = m[i];
        }
        op += len;
    }
    return (op - out) - static_cast<std::ptrdiff_t>(pos);
}

}  // namespace detail

// Decodes the frames of p[0, n) into out[0, cap): cap at least what
// frame_bound gave. Checksums are verified where the frames carry them.
inline Result decode(const unsigned char* p, std::size_t n, unsigned char* out, std::size_t cap) noexcept {
    std::size_t at = 0, pos = 0;
    if (n == 0) return {Status::cut, 0};
    for (;;) {
        Frame f;
        bool found;
        Result r = next_frame(p, n, at, f, found);
        if (!r.ok()) return r;
        if (!found) break;
        at = f.blocks_at;
        const std::size_t start = pos;
        for (Block b;;) {
            if (!(r = next_block(p, n, at, f, b)).ok()) return r;
            if (b.size == 0 && !b.stored) break;
            const std::size_t size = b.size, tail = f.block_checksum ? 4 : 0;
            const unsigned char* block = p + at + 4;
            if (f.block_checksum && xxh32(block, size) != load_u32(block + size))
                return {Status::bad_block_checksum, at + 4 + size};
            if (b.stored) {
                if (size > cap - pos) return {Status::too_large, at};
                if (size) std::memcpy(out + pos, block, size);
                pos += size;
            } else {
                const std::size_t room = std::min(cap - pos, f.block_max);
                const std::ptrdiff_t got =
                    detail::decode_block(block, size, out, pos, pos + room, f.independent ? pos : start);
                if (got < 0) return {Status::bad_block, at};
                pos += static_cast<std::size_t>(got);
            }
            at += 4 + size + tail;
        }
        at += 4;
        if (f.has_size && f.content_size != pos - start) return {Status::bad_content_size, at - 4};
        if (f.content_checksum) {
            if (n - at < 4) return {Status::cut, at};
            if (xxh32(out + start, pos - start) != load_u32(p + at)) return {Status::bad_content_checksum, at};
            at += 4;
        }
    }
    return {Status::ok, 0, pos};
}

}  // namespace lz4
