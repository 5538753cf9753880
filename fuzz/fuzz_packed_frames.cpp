// libFuzzer harness for the 2-bit packed frame decoder.
//
// Input layout: u16 width seed, u8 height seed, u8 frame count, u8 skew,
// u64 start frame, u64 interval, then frame bytes. The decoder output is
// compared with a pixel-by-pixel decode written here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/packed_frames.hpp"

using morvel::kernels::Event;

namespace {

[[noreturn]] void fail() { std::abort(); }

#define CHECK(c) \
    do {         \
        if (!(c)) fail(); \
    } while (0)

std::vector<Event> reference(const unsigned char* data, std::size_t frame_bytes,
                             std::size_t n_frames, std::uint64_t width,
                             std::uint64_t start, std::uint64_t interval) {
    std::vector<Event> ev;
    for (std::size_t f = 0; f < n_frames; ++f) {
        const std::uint64_t t = (start + f) * interval;
        const unsigned char* fr = data + f * frame_bytes;
        for (std::uint64_t i = 0; i < 4 * static_cast<std::uint64_t>(frame_bytes); ++i) {
            const unsigned code = (fr[i / 4] >> (6 - 2 * (i % 4))) & 3u;
            if (code != 1 && code != 2) continue;
            Event e;
            e.t = t;
            e.x = static_cast<std::uint16_t>(i % width);
            e.y = static_cast<std::uint16_t>(i / width);
            e.p = code == 1 ? 1 : 0;
            ev.push_back(e);
        }
    }
    return ev;
}

bool same(const Event& a, const Event& b) {
    return std::memcmp(&a, &b, sizeof(Event)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    constexpr std::size_t kHeader = 2 + 1 + 1 + 1 + 8 + 8;
    if (size < kHeader) return 0;
    std::uint64_t width = 1 + (morvel::kernels::load_u16(in) % 2000);
    std::uint64_t height = 1 + (in[2] % 64);
    const std::size_t want_frames = in[3];
    const std::size_t skew = in[4] % 8;
    const std::uint64_t start = morvel::kernels::load_u64(in + 5);
    const std::uint64_t interval = morvel::kernels::load_u64(in + 13);
    const unsigned char* body = in + kHeader;
    const std::size_t rest = size - kHeader;

    // Shrink tall frames so that short inputs still hold at least one.
    std::size_t frame_bytes = 0;
    CHECK(morvel::kernels::packed_frame_bytes(width, height, frame_bytes));
    if (frame_bytes > rest) {
        height = rest * 4 / width;
        if (height == 0) height = 1;
        CHECK(morvel::kernels::packed_frame_bytes(width, height, frame_bytes));
    }
    std::size_t n_frames = 0;
    if (frame_bytes == 0)
        n_frames = want_frames;  // width*height < 4: frames of no bytes
    else
        n_frames = want_frames < rest / frame_bytes ? want_frames : rest / frame_bytes;
    const std::size_t n_bytes = n_frames * frame_bytes;

    // Exact-size copy at an arbitrary skew so that any read past the frames
    // hits the end of the allocation.
    std::unique_ptr<unsigned char[]> buf(new unsigned char[skew + n_bytes + 1]);
    unsigned char* data = buf.get() + skew + 1;
    if (n_bytes != 0) std::memcpy(data, body, n_bytes);
    std::unique_ptr<unsigned char[]> exact;
    if (n_bytes != 0) {
        exact.reset(new unsigned char[n_bytes]);
        std::memcpy(exact.get(), body, n_bytes);
    }
    const unsigned char* src = (in[4] & 8) ? exact.get() : data;
    if (n_bytes == 0) src = nullptr;

    const std::vector<Event> ref = reference(body, frame_bytes, n_frames, width, start, interval);

    const std::size_t count = morvel::kernels::count_events(src, n_bytes);
    CHECK(count == ref.size());

    std::unique_ptr<Event[]> out(count ? new Event[count] : nullptr);
    const std::size_t got = morvel::kernels::unpack(src, frame_bytes, n_frames,
                                                    static_cast<std::uint32_t>(width), start,
                                                    interval, out.get(), count);
    CHECK(got == count);
    for (std::size_t k = 0; k < got; ++k) {
        CHECK(out[k].x < width);
        CHECK(out[k].y < height);
        CHECK(same(out[k], ref[k]));
    }

    // A short output buffer gets the same prefix and nothing beyond it.
    if (count > 0) {
        const std::size_t cap = count - 1 - (in[4] >> 4) % count;
        std::unique_ptr<Event[]> part(cap ? new Event[cap] : nullptr);
        const std::size_t g2 = morvel::kernels::unpack(src, frame_bytes, n_frames,
                                                       static_cast<std::uint32_t>(width), start,
                                                       interval, part.get(), cap);
        CHECK(g2 == cap);
        for (std::size_t k = 0; k < g2; ++k) CHECK(same(part[k], ref[k]));
    }

    // Counting any byte range agrees with the pixel-by-pixel count.
    {
        std::unique_ptr<unsigned char[]> all(rest ? new unsigned char[rest] : nullptr);
        if (rest) std::memcpy(all.get(), body, rest);
        std::size_t c = 0;
        for (std::size_t i = 0; i < rest; ++i)
            for (unsigned j = 0; j < 4; ++j) {
                const unsigned code = (body[i] >> (6 - 2 * j)) & 3u;
                c += (code == 1 || code == 2);
            }
        CHECK(morvel::kernels::count_events(all.get(), rest) == c);
    }
    return 0;
}
