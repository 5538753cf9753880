// LZ4 frames (the format of the lz4 command line tool, of LZ4F and of the
// AEDAT4 packets): decompression and compression through the LZ4 library
// compiled in from third_party/lz4. This is the one place that calls it.
//
// decode() takes every frame in the bytes (skippable frames between them
// included) and grows its output as the frames produce it, never past the
// limit given: what a frame header claims decides no allocation. Each thread
// keeps one decompression context.
#pragma once

#define LZ4F_STATIC_LINKING_ONLY
#include "lz4frame.h"
#include "lz4hc.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace morvel::kernels::lz4 {

enum class Status : std::uint8_t {
    ok,
    damaged,    // the library refused the bytes: `reason` says why
    cut,        // the bytes end inside a frame
    too_large,  // the output would pass the limit given
};

struct Result {
    Status status = Status::ok;
    std::size_t size = 0;          // the bytes written (at most the limit)
    const char* reason = nullptr;  // for `damaged`
    bool ok() const noexcept { return status == Status::ok; }
};

inline const char* error_reason(std::size_t code) noexcept {
    switch (LZ4F_getErrorCode(code)) {
        case LZ4F_ERROR_frameType_unknown: return "no LZ4 frame starts there";
        case LZ4F_ERROR_maxBlockSize_invalid: return "its block maximum or a block's size is not valid";
        case LZ4F_ERROR_headerVersion_wrong:
        case LZ4F_ERROR_blockMode_invalid:
        case LZ4F_ERROR_reservedFlag_set:
        case LZ4F_ERROR_contentChecksumFlag_invalid: return "its frame descriptor is not valid";
        case LZ4F_ERROR_headerChecksum_invalid: return "its frame header checksum disagrees";
        case LZ4F_ERROR_blockChecksum_invalid: return "a block checksum disagrees";
        case LZ4F_ERROR_contentChecksum_invalid: return "its content checksum disagrees";
        case LZ4F_ERROR_frameSize_wrong: return "it is not the size its frame says";
        case LZ4F_ERROR_decompressionFailed: return "a block does not decode";
        default: return LZ4F_getErrorName(code);
    }
}

namespace detail {

struct FreeContext {
    void operator()(LZ4F_dctx* d) const noexcept { LZ4F_freeDecompressionContext(d); }
};

inline std::unique_ptr<LZ4F_dctx, FreeContext>& thread_context() noexcept {
    thread_local std::unique_ptr<LZ4F_dctx, FreeContext> ctx;
    return ctx;
}

// This thread's context, clean (a frame that decoded to its end leaves it
// so); null when it cannot be made.
inline LZ4F_dctx* context() noexcept {
    auto& ctx = thread_context();
    if (!ctx) {
        LZ4F_dctx* d = nullptr;
        if (LZ4F_isError(LZ4F_createDecompressionContext(&d, LZ4F_VERSION))) return nullptr;
        ctx.reset(d);
    }
    return ctx.get();
}

// After a frame that did not end well the context goes: a reset keeps what
// a frame with a content size left to count, and the next frame without one
// would be held to it.
inline void discard_context() noexcept { thread_context().reset(); }

struct FreeCompression {
    void operator()(LZ4F_cctx* c) const noexcept { LZ4F_freeCompressionContext(c); }
};

// This thread's compression context (its tables are kept from one frame to
// the next); null when it cannot be made.
inline LZ4F_cctx* compression_context() noexcept {
    thread_local std::unique_ptr<LZ4F_cctx, FreeCompression> ctx;
    if (!ctx) {
        LZ4F_cctx* c = nullptr;
        if (LZ4F_isError(LZ4F_createCompressionContext(&c, LZ4F_VERSION))) return nullptr;
        ctx.reset(c);
    }
    return ctx.get();
}

inline bool frame_magic_at(const unsigned char* p, std::size_t n) noexcept {
    if (n < 4) return false;
    const std::uint32_t m = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                            static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    return m == 0x184D2204u || (m & 0xFFFFFFF0u) == 0x184D2A50u;
}

}  // namespace detail

// The frames in [p, p + n) decompressed into `out`, which grows as needed
// (from its own size, kept between calls) but never past `limit` bytes;
// r.size is how many bytes of it hold the content. Throws std::bad_alloc
// only when memory runs out.
inline Result decode(const unsigned char* p, std::size_t n, std::vector<unsigned char>& out, std::size_t limit) {
    LZ4F_dctx* d = detail::context();
    if (!d) throw std::bad_alloc();
    const std::size_t hard = limit + 1;  // one byte past the limit tells it was passed
    // Room for the usual ratio, and for a whole 64 KB block at the end
    // (a block that does not fit goes through the library's own buffer).
    std::size_t cap = std::max(out.size(), std::min(hard, n * 4 + (std::size_t{64} << 10)));
    if (out.size() < cap) out.resize(cap);
    std::size_t pos = 0, written = 0;
    bool in_frame = false;
    const auto fail = [&](Status s, const char* reason = nullptr) {
        detail::discard_context();
        return Result{s, std::min(written, limit), reason};
    };
    while (true) {
        if (!in_frame && !detail::frame_magic_at(p + pos, n - pos))
            return n - pos < 4 && pos == 0 ? fail(Status::cut) : fail(Status::damaged, "no LZ4 frame starts there");
        std::size_t src = n - pos, dst = cap - written;
        const std::size_t hint = LZ4F_decompress(d, out.data() + written, &dst, p + pos, &src, nullptr);
        if (LZ4F_isError(hint)) {
            if (LZ4F_getErrorCode(hint) == LZ4F_ERROR_allocation_failed) {
                detail::discard_context();
                throw std::bad_alloc();
            }
            return fail(Status::damaged, error_reason(hint));
        }
        pos += src;
        written += dst;
        in_frame = hint != 0;
        if (written > limit) return fail(Status::too_large);
        if (!in_frame && pos == n) return {Status::ok, written};
        if (written < cap) {
            if (pos == n || (src == 0 && dst == 0)) return fail(Status::cut);  // the frame wants more bytes
            continue;
        }
        cap = std::min(hard, std::max(cap * 2, cap + (std::size_t{64} << 10)));
        try {
            out.resize(cap);
        } catch (...) {
            detail::discard_context();
            throw;
        }
    }
}

// `n` bytes at `p` as one LZ4 frame into `out` (resized to it), with the
// content size in its header, linked 64 KB blocks and no checksums; level 0
// is the fast compressor, 3 and above the high-compression one. False when
// memory runs out (`out` may throw std::bad_alloc itself).
inline bool encode(const unsigned char* p, std::size_t n, int level, std::vector<unsigned char>& out) {
    static const unsigned char nothing = 0;
    if (n == 0) p = &nothing;
    LZ4F_preferences_t prefs;
    std::memset(&prefs, 0, sizeof prefs);
    prefs.frameInfo.blockSizeID = LZ4F_max64KB;
    prefs.frameInfo.blockMode = LZ4F_blockLinked;
    prefs.frameInfo.contentSize = n;
    prefs.compressionLevel = level;
    LZ4F_cctx* c = detail::compression_context();
    if (!c) return false;
    out.resize(LZ4F_compressFrameBound(n, &prefs));
    const std::size_t r = LZ4F_compressFrame_usingCDict(c, out.data(), out.size(), p, n, nullptr, &prefs);
    if (LZ4F_isError(r)) return false;
    out.resize(r);
    return true;
}

}  // namespace morvel::kernels::lz4
