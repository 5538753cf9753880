// DAT fuzzer. The input is a whole file: the '%' header is parsed and
// described, the two bytes after it give the event type and size, and the
// records are decoded whole and in random pieces against a plain reference.
// Then the input's bytes drive events for the encoder: a refusal must match
// a plain replay of the reader's unwrapping, and what is accepted must
// decode back exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/dat.hpp"

using namespace morvel::kernels;

namespace {

std::vector<Event> reference(const std::uint8_t* d, std::size_t n, std::size_t record, bool cd, bool old,
                             std::uint64_t t0) {
    std::vector<Event> out;
    if (!cd) return out;
    std::uint64_t prev = 0, wraps = 0;
    for (std::size_t i = 0; i + record <= n; i += record) {
        const std::uint64_t ts = std::uint64_t{d[i]} | std::uint64_t{d[i + 1]} << 8 | std::uint64_t{d[i + 2]} << 16 |
                                 std::uint64_t{d[i + 3]} << 24;
        const std::uint32_t w = std::uint32_t{d[i + 4]} | std::uint32_t{d[i + 5]} << 8 |
                                std::uint32_t{d[i + 6]} << 16 | std::uint32_t{d[i + 7]} << 24;
        if (ts < prev && prev - ts > (std::uint64_t{1} << 31)) ++wraps;
        prev = ts;
        Event e;
        e.t = t0 + (wraps << 32) + ts;
        if (old) {
            e.x = static_cast<std::uint16_t>(w % 512);
            e.y = static_cast<std::uint16_t>((w / 512) % 256);
            e.p = static_cast<std::uint8_t>((w / 131072) % 2);
        } else {
            e.x = static_cast<std::uint16_t>(w % 16384);
            e.y = static_cast<std::uint16_t>((w / 16384) % 16384);
            e.p = static_cast<std::uint8_t>(w / 268435456 != 0);
        }
        out.push_back(e);
    }
    return out;
}

void feed(DatDecoder& dec, const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, d, n);
    const std::size_t count = dec.count_events(buf, n);
    std::vector<Event> out(count);
    const std::size_t before = dec.pending_bytes();
    CHECK(dec.decode(buf, n, out.data()) == count);
    CHECK(dec.pending_bytes() == (before + n) % dec.record);
    all.insert(all.end(), out.begin(), out.end());
    delete[] buf;
}

void decode_file(const std::uint8_t* data, std::size_t size) {
    std::vector<RawHeaderEntry> entries(8);
    RawHeader h = parse_raw_header(data, size, true, entries.data(), entries.size());
    CHECK(h.status == RawHeaderStatus::ok || h.status == RawHeaderStatus::too_large);
    if (h.status != RawHeaderStatus::ok) return;
    CHECK(h.data_offset <= size);
    const DatHeaderInfo info = describe_dat_header(data, entries.data(), h.n_entries < 8 ? h.n_entries : 8);
    CHECK((info.width == 0) == (info.height == 0));
    if (size - h.data_offset < 2) return;
    const std::uint8_t type = data[h.data_offset], record = data[h.data_offset + 1];
    const bool cd = dat_is_cd(type);
    if (record == 0 || (cd && record < 8)) return;  // refused by the reader
    const std::uint8_t* body = data + h.data_offset + 2;
    const std::size_t n = size - h.data_offset - 2;

    DatDecoder proto;
    proto.record = record;
    proto.cd = cd;
    proto.old_layout = info.version >= 0 && info.version < 2;
    proto.t0 = info.t0;
    DatDecoder whole = proto;
    std::vector<Event> a;
    feed(whole, body, n, a);
    CHECK(fuzz::same(a, reference(body, n, record, cd, proto.old_layout, info.t0)));

    DatDecoder pieces = proto;
    std::vector<Event> b;
    fuzz::Rng rng{size};
    for (std::size_t pos = 0; pos < n;) {
        const std::uint64_t r = rng.next();
        std::size_t len = (r & 1) ? (r >> 8) % 20 : (r >> 8) % (n + 1);
        if (len > n - pos) len = n - pos;
        feed(pieces, body + pos, len, b);
        pos += len;
    }
    CHECK(fuzz::same(a, b));
    CHECK(pieces.pending_bytes() == whole.pending_bytes() && pieces.offset == whole.offset);
}

// Events from the bytes: time steps of every size (some back, some across
// wraps), coordinates mostly in range.
std::vector<Event> make_events(const std::uint8_t* d, std::size_t n) {
    std::vector<Event> ev;
    std::uint64_t t = n > 0 ? std::uint64_t{d[0]} << 30 : 0;
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const unsigned kind = d[i] & 7;
        const std::uint64_t v = std::uint64_t{d[i + 1]} | std::uint64_t{d[i + 2]} << 8;
        switch (kind) {
            case 0: t += v; break;
            case 1: t += v << 16; break;
            case 2: t += (std::uint64_t{1} << 31) - 1 + (v & 3); break;  // at the limit
            case 3: t = t > v ? t - v : 0; break;                        // back a little
            case 4: t += std::uint64_t{1} << 32; break;                  // a whole wrap
            default: break;
        }
        const std::uint16_t x = static_cast<std::uint16_t>((d[i + 3] & 0x80) ? 16383 + (d[i + 3] & 1) : v % 16384);
        ev.push_back(Event{t, x, static_cast<std::uint16_t>(d[i + 3] * 64u), static_cast<std::uint8_t>(d[i] >> 7)});
    }
    return ev;
}

void encode_events(const std::uint8_t* data, std::size_t size) {
    const std::vector<Event> ev = make_events(data, size);
    if (ev.empty()) return;
    DatEncoder enc;
    enc.t0 = DatEncoder::t0_for(ev[0].t);
    const DatEncodeResult r = enc.check(ev.data(), ev.size());

    // The plain rule: what the reader's unwrapping gives back must be t.
    std::size_t bad = ev.size();
    std::uint64_t prev = 0, wraps = 0;
    for (std::size_t i = 0; i < ev.size() && bad == ev.size(); ++i) {
        const Event& e = ev[i];
        if (e.x > 16383 || e.y > 16383 || e.p > 1 || e.t < enc.t0) {
            bad = i;
            break;
        }
        const std::uint64_t ts = (e.t - enc.t0) & 0xFFFFFFFFu;
        if (ts < prev && prev - ts > (std::uint64_t{1} << 31)) ++wraps;
        prev = ts;
        if (enc.t0 + (wraps << 32) + ts != e.t) bad = i;
    }
    CHECK(r.index == bad && (r.error == DatEncodeError::none) == (bad == ev.size()));
    const std::size_t n = bad;  // the events before the first refused one
    std::vector<std::uint8_t> out(n * 8);
    enc.encode(ev.data(), n, out.data());
    DatDecoder dec;
    dec.t0 = enc.t0;
    std::vector<Event> back(dec.count_events(out.data(), out.size()));
    CHECK(back.size() == n);
    CHECK(dec.decode(out.data(), out.size(), back.data()) == n);
    CHECK(n == 0 || std::memcmp(back.data(), ev.data(), n * sizeof(Event)) == 0);
    CHECK(dec.prev == enc.prev && dec.offset == enc.offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_file(data, size);
    encode_events(data, size);
    return 0;
}
