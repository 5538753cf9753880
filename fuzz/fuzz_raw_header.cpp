// RAW header fuzzer. Any bytes are parsed as a file start:
//   - the whole buffer at end of file must be decided, agree with a plain
//     line-by-line reference, and give well-formed entries inside the header;
//   - every prefix (all of them for short inputs, a sample otherwise) read
//     without end of file must either ask for more bytes or give exactly the
//     whole-buffer answer, and may only ask for more below the size cap;
//   - a reader loop growing its buffer in random steps must end with the
//     whole-buffer answer;
//   - the format / geometry helpers run on whatever entries come out.
// The size cap comes from the input too, so the too_large paths are reached.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "kernels/raw_header.hpp"

using namespace morvel::kernels;

namespace {

struct Parsed {
    RawHeader h;
    std::vector<RawHeaderEntry> entries;
};

// Parses data[0, n) from an exactly sized heap copy (so over-reads trip ASan),
// first counting entries with no room, then again with an exact array.
Parsed parse(const std::uint8_t* data, std::size_t n, bool eof, std::size_t cap) {
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, data, n);
    Parsed p;
    p.h = parse_raw_header(buf, n, eof, nullptr, 0, cap);
    if (p.h.status == RawHeaderStatus::ok && p.h.n_entries != 0) {
        p.entries.resize(p.h.n_entries);
        // A short array first: only its slots are written.
        const std::size_t part = p.h.n_entries / 2;
        const RawHeader again = parse_raw_header(buf, n, eof, p.entries.data(), part, cap);
        CHECK(again.status == p.h.status && again.data_offset == p.h.data_offset &&
              again.n_entries == p.h.n_entries && again.has_end == p.h.has_end);
        std::vector<RawHeaderEntry> first(p.entries.begin(), p.entries.begin() + static_cast<std::ptrdiff_t>(part));
        const RawHeader full = parse_raw_header(buf, n, eof, p.entries.data(), p.entries.size(), cap);
        CHECK(full.n_entries == p.h.n_entries && full.data_offset == p.h.data_offset);
        CHECK(first.empty() || std::memcmp(first.data(), p.entries.data(), part * sizeof(RawHeaderEntry)) == 0);
    }
    delete[] buf;
    return p;
}

bool same(const Parsed& a, const Parsed& b) {
    if (a.h.status != b.h.status) return false;
    if (a.h.status != RawHeaderStatus::ok) return true;
    return a.h.data_offset == b.h.data_offset && a.h.n_entries == b.h.n_entries && a.h.has_end == b.h.has_end &&
           a.entries.size() == b.entries.size() &&
           (a.entries.empty() ||
            std::memcmp(a.entries.data(), b.entries.data(), a.entries.size() * sizeof(RawHeaderEntry)) == 0);
}

bool blank(std::uint8_t c) { return c == ' ' || c == '\t'; }

// Reference for a whole file: split into lines, decide each line in turn.
// Returns the data offset and (key, value) strings; too_large as a flag.
struct RefResult {
    bool too_large = false;
    std::size_t offset = 0;
    bool has_end = false;
    std::vector<std::pair<std::string_view, std::string_view>> kv;
};

RefResult reference(const std::uint8_t* d, std::size_t n, std::size_t cap) {
    RefResult r;
    const char* s = reinterpret_cast<const char*>(d);
    std::size_t pos = 0;
    while (true) {
        if (pos + 2 > n || d[pos] != '%' || d[pos + 1] != ' ') break;
        std::size_t e = pos;
        while (e < n && d[e] != '\n') ++e;
        const std::size_t next = e < n ? e + 1 : n;
        if (next > cap) {
            r.too_large = true;
            return r;
        }
        // trim, split
        std::size_t b = pos + 2, end = e;
        while (end > b && (blank(d[end - 1]) || d[end - 1] == '\r')) --end;
        while (b < end && blank(d[b])) ++b;
        pos = next;
        if (b == end) continue;
        std::size_t k = b;
        while (k < end && !blank(d[k])) ++k;
        std::size_t v = k;
        while (v < end && blank(d[v])) ++v;
        std::string_view key(s + b, k - b), value(s + v, end - v);
        if (key == "end" && value.empty()) {
            r.has_end = true;
            break;
        }
        r.kv.emplace_back(key, value);
    }
    r.offset = pos;
    return r;
}

void check_whole(const std::uint8_t* data, std::size_t size, std::size_t cap, const Parsed& w) {
    CHECK(w.h.status != RawHeaderStatus::need_more);  // at end of file it is always decided
    const RefResult ref = reference(data, size, cap);
    CHECK(ref.too_large == (w.h.status == RawHeaderStatus::too_large));
    if (w.h.status != RawHeaderStatus::ok) return;
    CHECK(w.h.data_offset <= size && w.h.data_offset <= cap);
    CHECK(w.h.data_offset == ref.offset && w.h.has_end == ref.has_end);
    CHECK(w.entries.size() == ref.kv.size());
    // Where the data starts: after "% end", or at a line without the prefix.
    CHECK(w.h.data_offset == 0 || data[w.h.data_offset - 1] == '\n' || w.h.data_offset == size);
    if (!w.h.has_end && w.h.data_offset < size)
        CHECK(size - w.h.data_offset < 2 || data[w.h.data_offset] != '%' || data[w.h.data_offset + 1] != ' ');
    const char* s = reinterpret_cast<const char*>(data);
    for (std::size_t i = 0; i < w.entries.size(); ++i) {
        const RawHeaderEntry& e = w.entries[i];
        CHECK(e.key_size >= 1);
        CHECK(e.key_offset + e.key_size <= e.value_offset || (e.value_size == 0 && e.key_offset + e.key_size <= w.h.data_offset));
        CHECK(e.key_offset >= 2 && e.value_offset + e.value_size <= w.h.data_offset);
        CHECK(e.key_offset + e.key_size <= w.h.data_offset);
        const std::string_view key = raw_entry_key(data, e), value = raw_entry_value(data, e);
        CHECK(key.data() == s + e.key_offset && value.data() == s + e.value_offset);
        CHECK(key == ref.kv[i].first && value == ref.kv[i].second);
        for (const char c : key) CHECK(c != ' ' && c != '\t' && c != '\n');
        for (const char c : value) CHECK(c != '\n');
        if (!value.empty()) {
            CHECK(!blank(static_cast<std::uint8_t>(value.front())));
            CHECK(!blank(static_cast<std::uint8_t>(value.back())) && value.back() != '\r');
        }
    }

    // The interpretation helpers on whatever came out.
    const RawHeaderInfo info = describe_raw_header(data, w.entries.data(), w.entries.size());
    if (info.format_source == RawFormatSource::none) CHECK(info.format == RawFormat::unknown);
    if (info.format != RawFormat::unknown) CHECK(info.format_source != RawFormatSource::none);
    if (info.size_source != RawSizeSource::none)
        CHECK(info.width >= 1 && info.width <= kRawMaxDimension && info.height >= 1 &&
              info.height <= kRawMaxDimension);
    if (!info.format_text.empty())
        CHECK(info.format_text.data() >= s && info.format_text.data() + info.format_text.size() <= s + size);
    for (const RawHeaderEntry& e : w.entries) {
        const std::string_view value = raw_entry_value(data, e);
        std::uint32_t a, b;
        if (parse_raw_geometry(value, a, b)) CHECK(a >= 1 && a <= kRawMaxDimension && b >= 1 && b <= kRawMaxDimension);
        if (parse_raw_dimension(value, a)) CHECK(a >= 1 && a <= kRawMaxDimension);
        const RawFormatField f = split_raw_format(value);
        CHECK(f.name.size() <= value.size());
        std::string_view rest = f.options, k, v;
        std::size_t guard = 0;
        while (next_raw_format_option(rest, k, v)) {
            CHECK(k.data() >= value.data() && k.data() + k.size() <= value.data() + value.size());
            CHECK(v.empty() || (v.data() >= value.data() && v.data() + v.size() <= value.data() + value.size()));
            CHECK(++guard <= value.size());
        }
        (void)raw_format_from_name(f.name);
        (void)raw_format_from_evt_version(value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two caps: the real one, and a small one from the last byte so that
    // too_large and the need_more bound are reached on short inputs.
    const std::size_t small_cap = size ? 2 + data[size - 1] % 64 : 2;
    for (const std::size_t cap : {kRawHeaderMaxBytes, small_cap}) {
        const Parsed whole = parse(data, size, true, cap);
        check_whole(data, size, cap, whole);

        // Prefixes without end of file.
        auto check_prefix = [&](std::size_t m) {
            const Parsed p = parse(data, m, false, cap);
            if (p.h.status == RawHeaderStatus::need_more) {
                CHECK(m <= cap + 1);
                // m == size without eof may well still need more.
            } else {
                CHECK(same(p, whole));
            }
            // A prefix taken as the whole file is decided and well formed too.
            if (m < size && (m & 7) == 0) check_whole(data, m, cap, parse(data, m, true, cap));
        };
        if (size <= 32) {
            for (std::size_t m = 0; m <= size; ++m) check_prefix(m);
        } else {
            // A sample: random cuts, cuts next to line ends (where a line is
            // decided) and around where the data starts, and the whole buffer.
            fuzz::Rng rng{size * 0x9E37u + data[0]};
            for (int k = 0; k < 16; ++k) check_prefix(static_cast<std::size_t>(rng.next() % (size + 1)));
            const std::uint8_t* nl = data + rng.next() % size;
            for (int k = 0; k < 4; ++k) {
                nl = static_cast<const std::uint8_t*>(std::memchr(nl, '\n', static_cast<std::size_t>(data + size - nl)));
                if (nl == nullptr) break;
                const std::size_t at = static_cast<std::size_t>(nl - data);
                check_prefix(at);
                check_prefix(at + 1);
                if (++nl == data + size) break;
            }
            if (whole.h.status == RawHeaderStatus::ok) {
                const std::size_t o = whole.h.data_offset;
                for (std::size_t m = o > 3 ? o - 3 : 0; m <= o + 3 && m <= size; ++m) check_prefix(m);
            }
            check_prefix(size);
        }

        // A reader loop: grow the buffer until the parser decides.
        fuzz::Rng rng{size + cap};
        std::size_t have = 0;
        for (;;) {
            const bool eof = have == size;
            const Parsed p = parse(data, have, eof, cap);
            if (p.h.status != RawHeaderStatus::need_more) {
                CHECK(same(p, whole));
                break;
            }
            CHECK(!eof && have <= cap + 1);
            std::size_t step = 1 + static_cast<std::size_t>(rng.next() % 64);
            if (step > size - have) step = size - have;
            have += step;
        }
    }
    return 0;
}
