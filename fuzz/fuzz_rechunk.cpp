// Block/carry re-chunker fuzzer: EVT 2.0 and EVT 3.0 bytes fed in random
// blocks, cut into chunks of a random size through BlockCarry, must give
// exactly the events of one whole decode, chunk after chunk. Every chunk and
// every carry is an exactly sized heap block, so writing past what plan()
// announced (an exact count, or a bound when it fits the room) or what
// carry_needed() asked for trips ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/evt.hpp"
#include "kernels/rechunk.hpp"

using morvel::kernels::BlockCarry;
using morvel::kernels::Event;

namespace {

template <class Decoder>
std::vector<Event> whole(const std::uint8_t* data, std::size_t size) {
    Decoder dec;
    std::vector<Event> out(dec.count_events(data, size));
    out.resize(dec.decode(data, size, out.data()));
    return out;
}

template <class Decoder>
void check(const std::uint8_t* data, std::size_t size, fuzz::Rng& rng) {
    const std::size_t chunk = 1 + rng.next() % ((rng.next() & 1) ? 8 : 5000);
    BlockCarry<Decoder> src;
    std::vector<Event> all, current;
    std::vector<Event>* carry = nullptr;
    for (std::size_t pos = 0; pos < size;) {
        std::size_t len = (rng.next() & 1) ? rng.next() % 40 : rng.next() % (size + 1);
        if (len > size - pos) len = size - pos;
        std::vector<std::uint8_t> block(data + pos, data + pos + len);  // exactly sized: reads past it trip ASan
        src.feed(block.data(), block.size());
        while (!src.empty()) {
            const std::size_t room = chunk - current.size();
            const std::size_t k = src.plan(room);
            CHECK(k <= room);
            const std::size_t need = src.carry_needed(room);
            if (need && (!carry || carry->size() != need)) {
                delete carry;
                carry = new std::vector<Event>(need);  // an exact carry, fresh for each large block
            }
            Event* out = k ? new Event[k] : nullptr;
            const std::size_t got = src.fill(out, room, carry ? carry->data() : nullptr);
            CHECK(got <= k);
            current.insert(current.end(), out, out + got);
            delete[] out;
            if (current.size() == chunk) {
                all.insert(all.end(), current.begin(), current.end());
                current.clear();
            }
        }
        pos += len;
    }
    delete carry;
    all.insert(all.end(), current.begin(), current.end());
    CHECK(fuzz::same(all, whole<Decoder>(data, size)));
    CHECK(src.pending_bytes() == size % Decoder::kWordBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 8; ++i) seed = seed * 131 + data[i];
    fuzz::Rng rng{seed};
    check<morvel::kernels::Evt2Decoder>(data, size, rng);
    check<morvel::kernels::Evt3Decoder>(data, size, rng);
    return 0;
}
