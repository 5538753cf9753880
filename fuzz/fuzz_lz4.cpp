// LZ4 frames through kernels/lz4.hpp (the compiled-in library, and the
// growth, limits and context handling around it). The input is used three
// ways:
//   - as it is, decoded under two limits: never more than the limit, and
//     the thread's context left fit for the next frame (checked by a known
//     frame decoded after each);
//   - as the blocks of a frame built around it (a valid descriptor and
//     header checksum, optional block checksums and content size, linked or
//     independent, chosen by the first byte), so arbitrary block bytes reach
//     the block decoder;
//   - as content: compressed at a level the first byte picks, in one or two
//     frames with a skippable frame between, then decoded whole (the same
//     bytes), cut short (never ok), and under a limit below its size
//     (too_large).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/lz4.hpp"
#include "xxhash.h"

namespace lz4 = morvel::kernels::lz4;

namespace {

void put32(std::vector<unsigned char>& v, std::uint32_t x) {
    for (int k = 0; k < 4; ++k) v.push_back(static_cast<unsigned char>(x >> (8 * k)));
}

// A frame of known content, decoded after anything else: the context must
// not carry what a failed frame left.
void check_fresh_frame() {
    static const std::vector<unsigned char> content(5000, 'a');
    static std::vector<unsigned char> frame;
    if (frame.empty()) {
        LZ4F_preferences_t prefs;
        std::memset(&prefs, 0, sizeof prefs);  // no content size
        frame.resize(LZ4F_compressFrameBound(content.size(), &prefs));
        const std::size_t r = LZ4F_compressFrame(frame.data(), frame.size(), content.data(), content.size(), &prefs);
        CHECK(!LZ4F_isError(r));
        frame.resize(r);
    }
    static std::vector<unsigned char> out;
    const lz4::Result r = lz4::decode(frame.data(), frame.size(), out, 1 << 16);
    CHECK(r.ok() && r.size == content.size() && std::memcmp(out.data(), content.data(), r.size) == 0);
}

// Outputs are kept from one input to the next, as the readers keep theirs,
// so decoding starts from buffers of any size.
void decode_any(const unsigned char* p, std::size_t n, std::size_t limit) {
    static std::vector<unsigned char> out;
    const lz4::Result r = lz4::decode(p, n, out, limit);
    CHECK(r.size <= limit);
    CHECK(r.ok() || r.status == lz4::Status::too_large || r.status == lz4::Status::cut || r.reason != nullptr);
    check_fresh_frame();
}

void round_trip(const unsigned char* p, std::size_t n, unsigned mode) {
    const int levels[] = {0, 1, 3, 9, -4, 12, 0, 2};
    std::vector<unsigned char> a, b, frames;
    const std::size_t half = (mode & 8) ? n / 2 : n;
    CHECK(lz4::encode(p, half, levels[mode & 7], a));
    frames = a;
    if (half < n) {
        put32(frames, 0x184D2A51);
        put32(frames, 3);
        frames.insert(frames.end(), {1, 2, 3});
        CHECK(lz4::encode(p + half, n - half, levels[(mode >> 4) & 7], b));
        frames.insert(frames.end(), b.begin(), b.end());
    }
    static std::vector<unsigned char> out;
    if (mode & 0x80) out.clear();
    lz4::Result r = lz4::decode(frames.data(), frames.size(), out, 1 << 20);
    CHECK(r.ok() && r.size == n && (n == 0 || std::memcmp(out.data(), p, n) == 0));
    if (n > 0) {
        r = lz4::decode(frames.data(), frames.size(), out, n - 1);
        CHECK(r.status == lz4::Status::too_large && r.size <= n - 1);
    }
    const std::size_t cut = frames.size() - 1 - (mode * 131u) % frames.size();
    r = lz4::decode(frames.data(), cut, out, 1 << 20);
    // whole frames only when the cut falls after the first one or the skippable frame
    CHECK(!r.ok() || (half < n && (cut == a.size() || cut == a.size() + 11)));
    check_fresh_frame();
}

void arbitrary_blocks(const unsigned char* body, std::size_t n, unsigned mode) {
    const bool two = mode & 1, checksums = mode & 2, sized = mode & 4, independent = mode & 8;
    const std::size_t cut = two ? (mode >> 4) * n / 16 : n;
    const std::size_t parts[2][2] = {{0, cut}, {cut, n - cut}};
    std::vector<unsigned char> frame;
    put32(frame, 0x184D2204);
    frame.push_back(static_cast<unsigned char>(0x40 | (independent ? 0x20 : 0) | (checksums ? 0x14 : 0) | (sized ? 0x08 : 0)));
    frame.push_back(0x40);
    if (sized)
        for (int k = 0; k < 8; ++k) frame.push_back(static_cast<unsigned char>(std::uint64_t{n} * 3 >> (8 * k)));
    frame.push_back(static_cast<unsigned char>(XXH32(frame.data() + 4, frame.size() - 4, 0) >> 8));
    for (int k = 0; k < (two ? 2 : 1); ++k) {
        put32(frame, static_cast<std::uint32_t>(parts[k][1]));
        frame.insert(frame.end(), body + parts[k][0], body + parts[k][0] + parts[k][1]);
        if (checksums) put32(frame, XXH32(body + parts[k][0], parts[k][1], 0));
    }
    put32(frame, 0);
    if (checksums) put32(frame, 0);
    decode_any(frame.data(), frame.size(), 1 << 20);
    decode_any(frame.data(), frame.size(), 300);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::vector<unsigned char> copy(data, data + size);
        decode_any(copy.data(), copy.size(), 1 << 20);
        decode_any(copy.data(), copy.size(), 100);
    }
    if (size < 1) return 0;
    std::vector<unsigned char> body(data + 1, data + size);
    body.reserve(1);  // a real pointer even when empty
    arbitrary_blocks(body.data(), body.size(), data[0]);
    round_trip(body.data(), body.size(), data[0]);
    return 0;
}
