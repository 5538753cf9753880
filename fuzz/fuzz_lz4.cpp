// LZ4 frame decoder fuzzer (kernels/lz4.hpp). The input is read twice:
//   - as it is: whatever frame_bound accepts decodes into exactly the bound
//     (a heap buffer of that size, so a write past it trips ASan), and never
//     to more than it;
//   - as the blocks of a frame built around it (a valid descriptor, its
//     checksum, optional block checksums and content size, chosen by the
//     first byte), so the block decoder sees arbitrary sequences: its output
//     and verdict must match a plain one byte at a time decoder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/lz4.hpp"

namespace lz4 = morvel::kernels::lz4;

namespace {

// The rules of a block, one byte at a time: the bytes written, or -1.
long reference_block(const unsigned char* in, std::size_t n, std::vector<unsigned char>& out, std::size_t low,
                     std::size_t cap) {
    std::size_t i = 0;
    const std::size_t start = out.size();
    for (;;) {
        if (i >= n) return -1;
        const unsigned token = in[i++];
        std::size_t lit = token >> 4;
        if (lit == 15) {
            unsigned b;
            do {
                if (i >= n) return -1;
                b = in[i++];
                lit += b;
            } while (b == 255);
        }
        if (lit > n - i || lit > cap - out.size()) return -1;
        out.insert(out.end(), in + i, in + i + lit);
        i += lit;
        if (i == n) break;
        if (n - i < 2) return -1;
        const std::size_t offset = in[i] | (std::size_t{in[i + 1]} << 8);
        i += 2;
        std::size_t len = (token & 15) + 4;
        if ((token & 15) == 15) {
            unsigned b;
            do {
                if (i >= n) return -1;
                b = in[i++];
                len += b;
            } while (b == 255);
        }
        if (offset == 0 || offset > out.size() - low || len > cap - out.size()) return -1;
        for (std::size_t k = 0; k < len; ++k) out.push_back(out[out.size() - offset]);
    }
    return static_cast<long>(out.size() - start);
}

void put32(std::vector<unsigned char>& v, std::uint32_t x) {
    for (int k = 0; k < 4; ++k) v.push_back(static_cast<unsigned char>(x >> (8 * k)));
}

void decode_exact(const unsigned char* p, std::size_t n, std::size_t limit) {
    const lz4::Result b = lz4::frame_bound(p, n, limit);
    if (!b.ok()) return;
    CHECK(b.size <= limit);
    std::vector<unsigned char> out(b.size);
    const lz4::Result r = lz4::decode(p, n, out.data(), out.size());
    if (r.ok()) CHECK(r.size <= b.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::vector<unsigned char> copy(data, data + size);
        decode_exact(copy.data(), copy.size(), 1 << 20);
        decode_exact(copy.data(), copy.size(), 100);
    }
    if (size < 2) return 0;
    const unsigned mode = data[0];
    const bool two = mode & 1, checksums = mode & 2, sized = mode & 4, independent = mode & 8;
    const unsigned char* body = data + 1;
    const std::size_t n = size - 1;
    // Split into two blocks (the second linked to the first unless independent).
    const std::size_t cut = two ? (mode >> 4) * n / 16 : n;
    const std::size_t parts[2][2] = {{0, cut}, {cut, n - cut}};
    const std::size_t block_max = 65536;
    std::vector<unsigned char> want;
    bool ok = true;
    std::size_t block_start = 0;
    for (int k = 0; k < (two ? 2 : 1) && ok; ++k) {
        if (parts[k][1] == 0 || parts[k][1] > block_max) { ok = false; break; }
        block_start = want.size();
        const std::size_t cap = want.size() + block_max;
        ok = reference_block(body + parts[k][0], parts[k][1], want, independent ? block_start : 0, cap) >= 0;
    }
    std::vector<unsigned char> frame;
    put32(frame, lz4::kMagic);
    frame.push_back(static_cast<unsigned char>(0x40 | (independent ? 0x20 : 0) | (checksums ? 0x14 : 0) | (sized ? 0x08 : 0)));
    frame.push_back(0x40);
    if (sized) {
        const std::uint64_t s = ok ? want.size() : n;
        for (int k = 0; k < 8; ++k) frame.push_back(static_cast<unsigned char>(s >> (8 * k)));
    }
    frame.push_back(static_cast<unsigned char>(lz4::xxh32(frame.data() + 4, frame.size() - 4) >> 8));
    for (int k = 0; k < (two ? 2 : 1); ++k) {
        put32(frame, static_cast<std::uint32_t>(parts[k][1]));
        frame.insert(frame.end(), body + parts[k][0], body + parts[k][0] + parts[k][1]);
        if (checksums) put32(frame, lz4::xxh32(body + parts[k][0], parts[k][1]));
    }
    put32(frame, 0);
    if (checksums) put32(frame, ok ? lz4::xxh32(want.data(), want.size()) : 0);
    const lz4::Result b = lz4::frame_bound(frame.data(), frame.size(), 1 << 20);
    CHECK(b.ok() || (two && (parts[0][1] == 0 || parts[1][1] == 0)));
    if (!b.ok()) return 0;
    std::vector<unsigned char> out(b.size);
    const lz4::Result r = lz4::decode(frame.data(), frame.size(), out.data(), out.size());
    CHECK(r.ok() == ok);
    if (ok) {
        CHECK(r.size == want.size());
        CHECK(want.empty() || std::memcmp(out.data(), want.data(), want.size()) == 0);
    }
    return 0;
}
