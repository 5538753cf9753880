// Event Stream fuzzer. The input is a whole file: the header is parsed (and
// every prefix of it must agree), then the event bytes are parsed whole and
// in random pieces against a plain byte-by-byte reader: same events, same
// error at the same place, counts within max_events. An input that is not a
// DVS or ATIS file is read as one anyway: its first five bytes give the type,
// flip_y and the size, the rest are event bytes. Then the input's bytes drive
// events for the encoder: its refusals must match the plain rule, its bytes
// must be the same written in one call or cut anywhere, and they must read
// back exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/es.hpp"

using namespace morvel::kernels;

namespace {

struct Expected {
    std::vector<Event> events;
    EsParseError error = EsParseError::none;
    std::uint64_t at = 0;
    std::uint32_t value = 0;
};

// Byte by byte, as the format reads.
Expected reference(const std::uint8_t* d, std::size_t n, bool atis, unsigned width, unsigned height, bool flip,
                   std::uint64_t t) {
    Expected r;
    const unsigned marker = atis ? 0xFC : 0xFE;
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = d[i];
        if (b >= marker) {
            if (atis) t += 63 * (b - 0xFC);
            else if (b == 0xFF) t += 127;
            ++i;
            continue;
        }
        if (n - i < 5) {
            r.error = EsParseError::cut_event;
            r.at = i;
            r.value = static_cast<std::uint32_t>(n - i);
            break;
        }
        const unsigned x = d[i + 1] + 256u * d[i + 2];
        const unsigned y = d[i + 3] + 256u * d[i + 4];
        if (x >= width || y >= height) {
            r.error = x >= width ? EsParseError::x_outside : EsParseError::y_outside;
            r.at = i;
            r.value = x >= width ? x : y;
            break;
        }
        const auto yy = static_cast<std::uint16_t>(flip ? height - 1 - y : y);
        if (atis) {
            t += b / 4;
            if (b % 2 == 0) r.events.push_back(Event{t, static_cast<std::uint16_t>(x), yy, static_cast<std::uint8_t>((b / 2) % 2)});
        } else {
            t += b / 2;
            r.events.push_back(Event{t, static_cast<std::uint16_t>(x), yy, static_cast<std::uint8_t>(b % 2)});
        }
        i += 5;
    }
    return r;
}

// One piece from an exactly sized heap copy into exactly max_events records.
void feed(EsParser& p, const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, d, n);
    const std::size_t bound = p.max_events(n);
    Event* out = bound ? new Event[bound] : nullptr;
    const bool was_failed = p.failed();
    const std::size_t got = p.parse(buf, n, out);
    CHECK(got <= bound);
    CHECK(!was_failed || got == 0);
    CHECK(p.pending_bytes() < kEsEventBytes);
    all.insert(all.end(), out, out + got);
    delete[] out;
    delete[] buf;
}

void end(EsParser& p, std::vector<Event>& all) {
    CHECK(p.max_events(0) == 0);
    const bool was_failed = p.failed();
    CHECK(p.finish(nullptr) == 0);
    CHECK(!was_failed || p.failed());
    CHECK(p.failed() || p.pending_bytes() == 0);
    (void)all;
}

void check_header(const std::uint8_t* data, std::size_t size, const EsHeader& h) {
    if (h.status == EsStatus::ok) {
        CHECK(h.data_offset == (h.type == EsEventType::generic ? 16u : 20u) && h.data_offset <= size);
        CHECK(h.major == 2 && h.has_size == (h.type != EsEventType::generic));
    }
    // A prefix says the same or that it needs more.
    for (std::size_t k = 0; k <= size && k <= kEsMaxHeaderBytes; ++k) {
        const EsHeader q = parse_es_header(data, k);
        CHECK(q.status == h.status || q.status == EsStatus::need_more);
        if (k == size || k == kEsMaxHeaderBytes) CHECK(q.status == h.status);
        if (q.status == EsStatus::ok) CHECK(q.data_offset == h.data_offset && q.width == h.width && q.height == h.height);
    }
}

void parse_file(const std::uint8_t* data, std::size_t size) {
    const EsHeader h = parse_es_header(data, size);
    check_header(data, size, h);
    EsParser proto;
    const std::uint8_t* body;
    std::size_t n;
    if (h.status == EsStatus::ok && es_type_has_events(h.type)) {
        proto = EsParser(h, size > 0 && (data[size - 1] & 1));
        body = data + h.data_offset;
        n = size - h.data_offset;
    } else {
        if (size < 5) return;
        proto.type = (data[0] & 1) ? EsEventType::atis : EsEventType::dvs;
        proto.flip_y = (data[0] & 2) != 0;
        // Mostly small sizes, so that coordinates fall on both sides.
        proto.width = static_cast<std::uint16_t>((data[0] & 4) ? data[1] * 256u + data[2] : data[1] % 8);
        proto.height = static_cast<std::uint16_t>((data[0] & 8) ? data[3] * 256u + data[4] : data[3] % 8);
        body = data + 5;
        n = size - 5;
    }
    const bool atis = proto.type == EsEventType::atis;
    const Expected ref = reference(body, n, atis, proto.width, proto.height, proto.flip_y, 0);

    EsParser whole = proto;
    std::vector<Event> a;
    feed(whole, body, n, a);
    end(whole, a);
    CHECK(fuzz::same(a, ref.events));
    CHECK(whole.error == ref.error);
    if (ref.error != EsParseError::none) CHECK(whole.error_at == ref.at && whole.error_value == ref.value);
    const std::string message = whole.error_message();
    CHECK(message.empty() == (ref.error == EsParseError::none));

    EsParser pieces = proto;
    std::vector<Event> b;
    fuzz::Rng rng{size * 0x9E37u + (n ? body[0] : 0u)};
    for (std::size_t pos = 0; pos < n;) {
        const std::uint64_t r = rng.next();
        std::size_t len;
        switch (r & 3) {
            case 0: len = (r >> 8) % 6; break;
            case 1: len = (r >> 8) % 17; break;
            case 2: len = (r >> 8) % 300; break;
            default: len = (r >> 8) % (n + 1); break;
        }
        if (len > n - pos) len = n - pos;
        feed(pieces, body + pos, len, b);
        pos += len;
    }
    end(pieces, b);
    CHECK(fuzz::same(a, b));
    CHECK(pieces.error == whole.error && pieces.error_message() == message);
    CHECK(pieces.t == whole.t);
}

// Events from the bytes: gaps around every overflow step (none, one short of
// a step, whole steps, long gaps), some steps back, coordinates at the edges.
struct Drive {
    std::uint16_t width, height;
    bool flip;
    std::uint64_t t0;
    std::vector<Event> events;
};

Drive make_events(const std::uint8_t* d, std::size_t n) {
    Drive r{1, 1, false, 0, {}};
    if (n < 4) return r;
    r.width = static_cast<std::uint16_t>((d[0] & 1) ? 1 + d[1] % 16 : d[1] * 257u);
    r.height = static_cast<std::uint16_t>((d[0] & 2) ? 1 + d[2] % 16 : d[2] * 257u);
    r.flip = (d[0] & 4) != 0;
    // Far from 0 only where the file starts at the first t (t0).
    const unsigned shift = (d[0] & 0x80) ? ((d[0] >> 3) & 15) * 3 + 10 : (d[0] >> 3) & 15;
    std::uint64_t t = std::uint64_t{d[3]} << shift;
    if (d[0] & 0x80) r.t0 = t;
    std::uint64_t bytes = (t - r.t0) / 127;  // kept small so that each run stays fast
    for (std::size_t i = 4; i + 4 <= n && bytes < (1u << 16); i += 4) {
        const unsigned kind = d[i] & 7;
        const std::uint64_t v = std::uint64_t{d[i + 1]} | std::uint64_t{d[i + 2]} << 8;
        const std::uint64_t before = t;
        switch (kind) {
            case 0: t += v; break;
            case 1: t += 127 * (v & 15); break;
            case 2: t += 125 + (v & 3); break;  // 125..128
            case 3: t = t > (v & 255) ? t - (v & 255) : 0; break;
            case 4: t += (v & 15) << 16; break;
            default: t += v & 3; break;
        }
        bytes += (t > before ? (t - before) / 127 : 0) + 5;
        const unsigned c = d[i + 3];
        // At the edge (the last pixel or the one past it), or inside; a
        // size of 0 takes no event at all.
        const auto x = static_cast<std::uint16_t>(r.width == 0 ? 0 : (c & 0x80) ? r.width - 1u + (c & 1) : v % r.width);
        const auto y = static_cast<std::uint16_t>(r.height == 0   ? 0
                                                  : (c & 0x40) ? r.height - 1u + ((c >> 1) & 1)
                                                               : (v >> 3) % r.height);
        const auto p = static_cast<std::uint8_t>((d[i] & 0x78) == 0x78 ? 2 + (d[i] >> 7) : d[i] >> 7);
        r.events.push_back(Event{t, x, y, p});
    }
    return r;
}

void encode_events(const std::uint8_t* data, std::size_t size) {
    const Drive dr = make_events(data, size);
    const std::vector<Event>& ev = dr.events;
    EsEncoder proto;
    proto.width = dr.width;
    proto.height = dr.height;
    proto.flip_y = dr.flip;
    proto.t = dr.t0;
    const EsEncodeResult r = proto.check(ev.data(), ev.size());

    // The plain rule.
    std::size_t bad = ev.size();
    std::uint64_t last = dr.t0;
    for (std::size_t i = 0; i < ev.size(); ++i) {
        const Event& e = ev[i];
        if (e.x >= dr.width || e.y >= dr.height || e.p > 1 || e.t < last) {
            bad = i;
            break;
        }
        last = e.t;
    }
    CHECK(r.index == bad && (r.error == EsEncodeError::none) == (bad == ev.size()));
    const std::size_t n = bad;

    // One call.
    EsEncoder one = proto;
    const std::size_t size_one = one.encoded_size(ev.data(), n);
    CHECK(size_one <= one.max_bytes(ev.data(), n));
    CHECK(size_one >= n * kEsEventBytes);
    unsigned char* buf = size_one ? new unsigned char[size_one] : nullptr;
    CHECK(one.encode(ev.data(), n, buf) == size_one);
    CHECK(one.check(ev.data(), 0).error == EsEncodeError::none);
    std::vector<unsigned char> a(buf, buf + size_one);
    delete[] buf;
    CHECK(n == 0 || one.t == ev[n - 1].t);

    // Chunks of events within random room.
    EsEncoder cut = proto;
    std::vector<unsigned char> b;
    fuzz::Rng rng{size + 77};
    bool stuck = false;
    for (std::size_t i = 0; i < n;) {
        const std::uint64_t x = rng.next();
        std::size_t m = (x & 1) ? 1 + (x >> 8) % 4 : (x >> 8) % (n - i + 1);
        if (m > n - i) m = n - i;
        std::size_t cap;
        switch ((x >> 40) & 3) {
            case 0: cap = (x >> 20) % 12; break;  // inside an event or a gap
            case 1: cap = (x >> 20) % 600; break;
            default: cap = cut.encoded_size(ev.data() + i, m); break;
        }
        if (stuck) cap = 5;
        unsigned char* out = cap ? new unsigned char[cap] : nullptr;
        const EsEncodeProgress pr = cut.encode(ev.data() + i, m, out, cap);
        CHECK(pr.events <= m && pr.bytes <= cap);
        b.insert(b.end(), out, out + pr.bytes);
        delete[] out;
        i += pr.events;
        stuck = m != 0 && pr.events == 0 && pr.bytes == 0;
    }
    CHECK(a == b && cut.t == one.t);

    // As a file, read back.
    std::vector<unsigned char> file(kEsDvsHeaderBytes);
    write_es_dvs_header(dr.width, dr.height, file.data());
    file.insert(file.end(), a.begin(), a.end());
    const EsHeader h = parse_es_header(file.data(), file.size());
    CHECK(h.status == EsStatus::ok && h.type == EsEventType::dvs && h.width == dr.width && h.height == dr.height &&
          h.data_offset == kEsDvsHeaderBytes && h.major == 2 && h.minor == 0 && h.patch == 0);
    EsParser dec(h, dr.flip);
    dec.t = dr.t0;
    std::vector<Event> back;
    feed(dec, file.data() + h.data_offset, a.size(), back);
    end(dec, back);
    CHECK(!dec.failed() && back.size() == n);
    CHECK(n == 0 || std::memcmp(back.data(), ev.data(), n * sizeof(Event)) == 0);
    CHECK(dec.t == one.t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    parse_file(data, size);
    encode_events(data, size);
    return 0;
}
