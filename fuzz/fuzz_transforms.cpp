// Representations and filters fuzzer: arbitrary events (coordinates inside
// and outside a small sensor, any t) and parameters. Each accumulator is an
// exactly sized heap block, so a cell index past it trips ASan. Checks:
//   - every fill stops at the first counted event outside the sensor, and
//     filling by random bands of rows gives the whole fill's stop and cells;
//   - voxel grids of sorted events filled in runs of whole bins (the runs'
//     first bins completed after) give the whole fill's cells, bit for bit;
//   - the stateful filters give the same kept events over random pieces as
//     over the whole, and the same as their masks;
//   - time_slice's binary search gives the scan's range on sorted events.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/filters.hpp"
#include "kernels/representations.hpp"

namespace kn = morvel::kernels;
using kn::Event;

namespace {

// Fills whole, then by bands cut at random rows (the last band open-ended, as
// the pool cuts them); the stop is the smallest of the bands' stops.
template <class T, class Kernel>
void check_bands(const Kernel& k, const std::vector<Event>& ev, std::size_t cells, fuzz::Rng& rng, T start = T{}) {
    std::vector<T> whole(cells, start), banded(cells, start);
    const std::size_t stop = k.fill(ev.data(), ev.size(), whole.data());
    std::vector<std::uint32_t> cuts{0};
    const std::uint32_t h = k.sensor.height;
    for (unsigned i = rng.next() % 4; i > 0; --i) cuts.push_back(static_cast<std::uint32_t>(rng.next() % (h + 1)));
    std::sort(cuts.begin(), cuts.end());
    std::size_t band_stop = ev.size();
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const kn::Rows rows{cuts[i], i + 1 == cuts.size() ? UINT32_MAX : cuts[i + 1]};
        band_stop = std::min(band_stop, k.fill(ev.data(), ev.size(), banded.data(), rows));
    }
    CHECK(stop == band_stop);
    if (stop == ev.size()) CHECK(std::memcmp(whole.data(), banded.data(), cells * sizeof(T)) == 0);
}

template <class Kernel>
std::vector<Event> run_filter(Kernel k, const Event* ev, std::size_t n) {
    std::vector<Event> out(n);
    out.resize(kn::select(ev, n, k, out.data()));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 16) return 0;
    fuzz::Rng rng{kn::load_u64(data)};
    const kn::Sensor s{1u + data[8] % 40, 1u + data[9] % 30};
    const std::uint32_t n_bins = 1 + data[10] % 6;
    const std::uint64_t window = 1 + kn::load_u32(data + 11) % 5000;
    data += 16;
    size -= 16;
    const std::size_t n = size / sizeof(Event);
    std::vector<Event> ev(n);
    if (n) std::memcpy(ev.data(), data, n * sizeof(Event));
    // Small times and coordinates most of the time, so that cells meet.
    for (Event& e : ev) {
        if (rng.next() % 4) {
            e.t %= 20000;
            e.x = static_cast<std::uint16_t>(e.x % (s.width + 2));
            e.y = static_cast<std::uint16_t>(e.y % (s.height + 2));
        }
    }
    std::uint64_t lo = 0, hi = 0;
    if (n) kn::t_span(ev.data(), n, lo, hi);
    const std::uint64_t pick = n ? ev[rng.next() % n].t : 0;

    check_bands<float>(kn::VoxelGrid{s, n_bins, std::min(lo, pick), std::max(pick, hi)}, ev,
                              std::size_t{n_bins} * s.plane(), rng);
    check_bands<float>(kn::TimeSurface{s, (rng.next() & 1) != 0, pick}, ev, 2 * s.plane(), rng, __builtin_inff());
    check_bands<std::uint8_t>(kn::StackedHistogram{s, n_bins, pick, window}, ev, 2 * std::size_t{n_bins} * s.plane(),
                              rng);
    {
        // Voxel grids of sorted events in runs cut where the bin changes, each
        // run's first bin taking its left weights after: the whole fill's cells.
        std::vector<Event> sorted_ev = ev;
        std::stable_sort(sorted_ev.begin(), sorted_ev.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
        for (Event& e : sorted_ev) {
            e.x = static_cast<std::uint16_t>(e.x % s.width);
            e.y = static_cast<std::uint16_t>(e.y % s.height);
        }
        const kn::VoxelGrid grid{s, n_bins, std::min(lo, pick), std::max(pick, hi)};
        const std::size_t cells = std::size_t{n_bins} * s.plane();
        std::vector<float> whole(cells), runs(cells);
        CHECK(grid.fill(sorted_ev.data(), n, whole.data()) == n);
        std::vector<std::size_t> cuts{0};
        for (std::size_t i = 1; i < n; ++i)
            if (grid.key(sorted_ev[i].t) != grid.key(sorted_ev[i - 1].t) && (rng.next() & 1)) cuts.push_back(i);
        cuts.push_back(n);
        std::vector<std::uint32_t> first(cuts.size() - 1, UINT32_MAX);
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            kn::VoxelGrid part = grid;
            if (i) part.deferred = first[i] = grid.first_bin(sorted_ev.data() + cuts[i], cuts[i + 1] - cuts[i]);
            CHECK(part.fill(sorted_ev.data() + cuts[i], cuts[i + 1] - cuts[i], runs.data()) == cuts[i + 1] - cuts[i]);
        }
        for (std::size_t i = 1; i + 1 < cuts.size(); ++i)
            grid.fill_deferred(sorted_ev.data() + cuts[i], cuts[i + 1] - cuts[i], first[i], runs.data());
        CHECK(std::memcmp(whole.data(), runs.data(), cells * sizeof(float)) == 0);
    }
    std::vector<std::uint64_t> edges(n_bins + 1);
    for (auto& e : edges) e = rng.next() % 20000;
    std::sort(edges.begin(), edges.end());
    check_bands<std::int32_t>(kn::EventFrames<kn::EdgeBins>{s, true, kn::EdgeBins(edges.data(), n_bins)}, ev,
                              std::size_t{n_bins} * 2 * s.plane(), rng);
    if (lo < hi)
        check_bands<std::int32_t>(kn::EventFrames<kn::UniformBins>{s, false, kn::UniformBins(lo, hi, n_bins, true)},
                                  ev, std::size_t{n_bins} * s.plane(), rng);

    // The stateful filters take events inside the sensor only.
    std::vector<Event> in;
    std::size_t first_out = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (s.inside(ev[i])) in.push_back(ev[i]);
        else if (first_out == n) first_out = i;
    }
    CHECK(kn::first_outside(ev.data(), n, s) == first_out);
    std::vector<std::uint64_t> st_whole(kn::Refractory::state_size(s)), st_piece(kn::Refractory::state_size(s));
    std::vector<std::uint64_t> dn_whole(kn::Denoise::state_size(s)), dn_piece(kn::Denoise::state_size(s));
    const auto ref_whole = run_filter(kn::Refractory{s, window, st_whole.data()}, in.data(), in.size());
    const auto den_whole = run_filter(kn::Denoise{s, window, dn_whole.data()}, in.data(), in.size());
    std::vector<Event> ref_pieces, den_pieces;
    for (std::size_t pos = 0; pos < in.size();) {
        const std::size_t len = std::min(in.size() - pos, static_cast<std::size_t>(rng.next() % 50));
        std::vector<Event> piece(in.begin() + static_cast<std::ptrdiff_t>(pos),
                                 in.begin() + static_cast<std::ptrdiff_t>(pos + len));
        for (const Event& e : run_filter(kn::Refractory{s, window, st_piece.data()}, piece.data(), len))
            ref_pieces.push_back(e);
        std::vector<char> mask(len + 1);
        std::vector<std::uint64_t> before = dn_piece;
        kn::select_mask(piece.data(), len, kn::Denoise{s, window, dn_piece.data()},
                        reinterpret_cast<bool*>(mask.data()));
        dn_piece = before;
        const auto kept = run_filter(kn::Denoise{s, window, dn_piece.data()}, piece.data(), len);
        std::size_t j = 0;
        for (std::size_t i = 0; i < len; ++i)
            if (mask[i]) CHECK(j < kept.size() && std::memcmp(&kept[j++], &piece[i], sizeof(Event)) == 0);
        CHECK(j == kept.size());
        for (const Event& e : kept) den_pieces.push_back(e);
        pos += len;
    }
    CHECK(fuzz::same(ref_whole, ref_pieces));
    CHECK(fuzz::same(den_whole, den_pieces));

    // Binary search against the scan on sorted times.
    std::vector<Event> sorted = ev;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
    CHECK(kn::t_sorted(sorted.data(), sorted.size()));
    const std::uint64_t a = std::min(pick, window), b = std::max(pick, window);
    const std::size_t first = kn::lower_bound_t(sorted.data(), sorted.size(), a);
    const std::size_t last = kn::lower_bound_t(sorted.data(), sorted.size(), b);
    std::vector<Event> scanned(sorted.size());
    scanned.resize(kn::select(sorted.data(), sorted.size(), kn::TimeRange{a, b}, scanned.data()));
    CHECK(scanned.size() == last - first);
    CHECK(scanned.empty() || std::memcmp(scanned.data(), sorted.data() + first, scanned.size() * sizeof(Event)) == 0);
    return 0;
}
