// Stress of the pool and the split decoders for ThreadSanitizer: many
// threads decode shared inputs at once, each splitting its work over the
// pool (which one caller holds at a time; the others run their pieces
// themselves), and every result must equal one decoder's. Built and run by
// `./dev tsan`.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "kit/split.hpp"

namespace {

using morvel::kernels::Event;

std::uint64_t next(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Words of every EVT 3.0 type, time highs stepping and wrapping.
std::vector<unsigned char> evt3_words(std::size_t n, std::uint64_t seed) {
    static const unsigned kTypes[] = {0x0, 0x2, 0x2, 0x3, 0x4, 0x5, 0x6, 0x6, 0x8, 0xA};
    std::vector<unsigned char> out(2 * n);
    unsigned high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = next(seed);
        const unsigned type = kTypes[r % 10];
        unsigned w = (type << 12) | static_cast<unsigned>((r >> 8) & 0xFFF);
        if (type == 0x8) {
            high = (high + ((r >> 20) % 3 == 0 ? 2500u : 1u)) & 0xFFFu;
            w = 0x8000u | high;
        }
        out[2 * i] = static_cast<unsigned char>(w);
        out[2 * i + 1] = static_cast<unsigned char>(w >> 8);
    }
    return out;
}

std::vector<unsigned char> evt2_words(std::size_t n, std::uint64_t seed) {
    std::vector<unsigned char> out(4 * n);
    std::uint32_t high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = next(seed);
        std::uint32_t w = static_cast<std::uint32_t>(r);
        if (r % 9 == 0) {
            high = (high + ((r >> 40) % 5 == 0 ? (3u << 26) : 1u)) & 0x0FFFFFFFu;
            w = (0x8u << 28) | high;
        }
        std::memcpy(out.data() + 4 * i, &w, 4);
    }
    return out;
}

template <class Decoder>
std::vector<Event> sequential(const std::vector<unsigned char>& data) {
    Decoder d;
    std::vector<Event> out(d.count_events(data.data(), data.size()) + 1);
    out.resize(d.decode(data.data(), data.size(), out.data()));
    return out;
}

template <class Decoder>
bool split(const std::vector<unsigned char>& data, const std::vector<Event>& expect, unsigned threads) {
    const auto plan = kit::plan_split(Decoder{}, data.data(), data.size(), threads);
    std::vector<Event> out(plan.events() + 1);
    const std::size_t got = kit::decode_split(plan, data.data(), out.data());
    return got == expect.size() && std::memcmp(out.data(), expect.data(), got * sizeof(Event)) == 0;
}

}  // namespace

int main() {
    const auto evt3 = evt3_words(3 << 19, 1);  // 3 MiB: pieces of 1 MiB and more
    const auto evt2 = evt2_words(3 << 18, 2);  // 3 MiB
    const auto e3 = sequential<morvel::kernels::Evt3Decoder>(evt3);
    const auto e2 = sequential<morvel::kernels::Evt2Decoder>(evt2);
    std::vector<int> failures(8, 0);
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < 6; ++c)
        callers.emplace_back([&, c] {
            for (unsigned round = 0; round < 3; ++round) {
                const unsigned threads = 2 + (c + round) % 5;
                if (!split<morvel::kernels::Evt3Decoder>(evt3, e3, threads)) ++failures[c];
                if (!split<morvel::kernels::Evt2Decoder>(evt2, e2, threads)) ++failures[c];
            }
        });
    for (auto& t : callers) t.join();
    int total = 0;
    for (int f : failures) total += f;
    std::printf("tsan_split: 6 callers x 3 rounds x 2 formats, %d mismatches\n", total);
    return total == 0 ? 0 : 1;
}
