// libFuzzer harness for datagram parsing and packing.
//
// Any input up to 65535 bytes is parsed as a datagram; the result is checked
// against the layout rule and stays inside the input. The input's bytes are
// then cut into records, packed into counted datagrams and parsed back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernels/datagram.hpp"

namespace mk = morvel::kernels;

namespace {

#define CHECK(c)                 \
    do {                         \
        if (!(c)) std::abort();  \
    } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size > 65535) return 0;

    // Parse the raw bytes.
    {
        std::unique_ptr<unsigned char[]> buf(size ? new unsigned char[size] : nullptr);
        if (size) std::memcpy(buf.get(), in, size);
        const mk::DatagramView v = mk::parse_datagram(buf.get(), size);
        CHECK(v.offset <= size);
        CHECK(v.n_records <= (size - v.offset) / 13);
        CHECK(v.offset + 13 * v.n_records <= size);

        bool counted = false;
        if (size >= 4 && size % 13 == 4) {
            const std::uint32_t c = static_cast<std::uint32_t>(in[0]) |
                                    static_cast<std::uint32_t>(in[1]) << 8 |
                                    static_cast<std::uint32_t>(in[2]) << 16 |
                                    static_cast<std::uint32_t>(in[3]) << 24;
            counted = c == (size - 4) / 13;
        }
        if (counted) {
            CHECK(v.offset == 4 && v.n_records == (size - 4) / 13);
        } else {
            CHECK(v.offset == 0 && v.n_records == size / 13);
        }
    }

    // Round trip: records from the input, split into packets of at most
    // max_per records each.
    if (size == 0) return 0;
    const std::size_t max_per = 1 + in[0] % 64;
    const unsigned char* records = in + 1;
    const std::size_t n = (size - 1) / 13;
    const std::size_t packets = mk::packet_count(n, max_per);
    CHECK(packets == (n + max_per - 1) / max_per);
    CHECK(mk::packet_count(n, 0) == 0);

    std::size_t done = 0;
    for (std::size_t k = 0; k < packets; ++k) {
        const std::size_t m = n - done < max_per ? n - done : max_per;
        CHECK(m > 0);
        std::size_t len = 0;
        CHECK(mk::packet_size(m, 13, len));
        CHECK(len == 4 + 13 * m);
        std::unique_ptr<unsigned char[]> pkt(new unsigned char[len]);
        mk::pack_packet(records + 13 * done, m, 13, pkt.get());
        const mk::DatagramView v = mk::parse_datagram(pkt.get(), len);
        CHECK(v.offset == 4);
        CHECK(v.n_records == m);
        CHECK(std::memcmp(pkt.get() + v.offset, records + 13 * done, 13 * m) == 0);
        done += m;
    }
    CHECK(done == n);

    // An empty counted datagram is a bare header.
    {
        unsigned char hdr[4];
        mk::pack_packet(nullptr, 0, 13, hdr);
        const mk::DatagramView v = mk::parse_datagram(hdr, 4);
        CHECK(v.offset == 4 && v.n_records == 0);
    }
    return 0;
}
