// EVT 2.0 / 2.1 / 3.0 encoder fuzzer. The input drives a list of events (time
// steps from none to many counter periods, runs along a row for the EVT 3.0
// vectors and EVT 2.1 groups, now and then an invalid event). For each encoder:
//   - the reported error and index must match a plain check of the rules, and
//     a refused call writes nothing and keeps the encoder state;
//   - otherwise encoded_size() == bytes written <= max_bytes(), a buffer one
//     byte short gives output_too_small with the same size and no write past
//     it, and the format's decoder gives back exactly the events;
//   - a plain decoder that takes any drop of the time high as a wrap (and, for
//     EVT 3.0, does not clear the time low) reads the same events;
//   - encoding in random pieces decodes to the same events too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Small blocks, so that runs and filler words cross block ends.
#define MORVEL_EVT_ENCODE_BLOCK 16
#include "common.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_encode.hpp"

using namespace morvel::kernels;

namespace {

struct Reader {
    const std::uint8_t* d;
    std::size_t n, pos = 0;
    bool more() const { return pos < n; }
    std::uint64_t take(unsigned bytes) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v |= std::uint64_t{pos < n ? d[pos++] : std::uint8_t{0}} << (8 * i);
        return v;
    }
};

// EVT 3.0 counter periods the steps of one input may cross in all (steps
// right at the per-step limit are checked once, in LLVMFuzzerInitialize).
constexpr std::uint64_t kPeriodBudget = 4096;

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::vector<Event> make_events(const std::uint8_t* data, std::size_t size, bool& invalid_allowed) {
    Reader r{data, size};
    const unsigned flags = static_cast<unsigned>(r.take(1));
    invalid_allowed = (flags & 1) != 0;
    std::vector<Event> ev;
    Event cur{0, 0, 0, 0};
    std::uint64_t periods_left = kPeriodBudget;
    while (r.more() && ev.size() < 4096) {
        const unsigned c = static_cast<unsigned>(r.take(1));
        std::uint64_t step = 0;
        switch (c & 7) {
            case 0: break;
            case 1: step = 1 + r.take(1) % 4; break;
            case 2: step = r.take(1); break;
            case 3: step = r.take(2); break;
            case 4: step = r.take(4); break;                                      // within an EVT 2.0 period
            case 5: step = (r.take(1) % 5) * (std::uint64_t{1} << 24) + r.take(3); break;  // EVT 3.0 periods
            case 6:  // EVT 2.0 periods, when the flags ask (thousands of EVT 3.0 filler words)
                if (flags & 2) step = (r.take(1) % 4) * (std::uint64_t{1} << 34) + r.take(5) % (std::uint64_t{1} << 34);
                else step = (std::uint64_t{1} << 24) - 1 - r.take(1);
                break;
            default: {
                // Anything at all, or up to 63 EVT 3.0 periods. Steps right
                // at the limit (2^17 filler words each) are checked once, in
                // LLVMFuzzerInitialize.
                const unsigned k = static_cast<unsigned>(r.take(1));
                step = (k & 1) ? r.take(8) : ((k >> 1) % 64) * (std::uint64_t{1} << 24) + r.take(3);
                break;
            }
        }
        // Each EVT 3.0 period crossed costs filler words in every encode and
        // decode below; past a budget, steps stay within a period (steps
        // that are errors for EVT 3.0 are cheap and kept as they are).
        const std::uint64_t periods = step >> 24;
        if (periods <= kEvtMaxPeriodsPerStep) {
            if (periods > periods_left) step &= (std::uint64_t{1} << 24) - 1;
            else periods_left -= periods;
        }
        cur.t = add_sat(cur.t, step);
        if (c & 0x08) cur.y = static_cast<std::uint16_t>(r.take(2) % 2048);
        if (c & 0x10) cur.x = static_cast<std::uint16_t>(r.take(2) % 2048);
        else cur.x = static_cast<std::uint16_t>((cur.x + 1 + (c >> 6)) % 2048);  // along the row
        if (c & 0x20) cur.p ^= 1;
        Event e = cur;
        if (invalid_allowed && (c & 0xC0) == 0xC0) {
            const unsigned bad = static_cast<unsigned>(r.take(1));
            switch (bad % 5) {
                case 0: e.x = static_cast<std::uint16_t>(2048 + bad); break;
                case 1: e.y = static_cast<std::uint16_t>(2048 + bad * 100); break;
                case 2: e.p = static_cast<std::uint8_t>(2 + bad % 254); break;
                case 3: if (e.t > 0) e.t -= 1 + (bad % (e.t < 300 ? e.t : 300)); break;
                default: break;
            }
        }
        ev.push_back(e);
    }
    return ev;
}

// The rules, stated plainly.
EvtEncodeResult expected(const std::vector<Event>& ev, std::size_t from, std::size_t to,
                         std::uint64_t prev, unsigned period_bits) {
    for (std::size_t i = from; i < to; ++i) {
        const Event& e = ev[i];
        EvtEncodeError err = EvtEncodeError::none;
        if (e.x >= 2048) err = EvtEncodeError::x_too_large;
        else if (e.y >= 2048) err = EvtEncodeError::y_too_large;
        else if (e.p > 1) err = EvtEncodeError::bad_polarity;
        else if (e.t < prev) err = EvtEncodeError::t_decreasing;
        else if ((e.t >> period_bits) - (prev >> period_bits) > kEvtMaxPeriodsPerStep) err = EvtEncodeError::gap_too_large;
        if (err != EvtEncodeError::none) return {err, i - from, 0};
        prev = e.t;
    }
    return {EvtEncodeError::none, to - from, 0};
}

bool same(const Event* a, const Event* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(Event)) == 0;
}

// Decoders that take any drop of the time high as a wrap.
std::vector<Event> plain_evt2(const std::vector<std::uint8_t>& b) {
    std::vector<Event> out;
    std::uint64_t th = 0, wraps = 0;
    for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::uint32_t w;
        std::memcpy(&w, &b[i], 4);
        const unsigned type = w >> 28;
        if (type < 2) {
            out.push_back(Event{(wraps << 34) + (th << 6) + ((w >> 22) & 63), static_cast<std::uint16_t>((w >> 11) & 2047),
                                static_cast<std::uint16_t>(w & 2047), static_cast<std::uint8_t>(type)});
        } else if (type == 8) {
            const std::uint64_t h = w & 0x0FFFFFFF;
            if (h < th) ++wraps;
            th = h;
        } else {
            CHECK(false);  // the encoder writes no other word
        }
    }
    return out;
}

// EVT 2.1: the mask's events in rising x; a drop of the time high is a wrap.
std::vector<Event> plain_evt21(const std::vector<std::uint8_t>& b) {
    std::vector<Event> out;
    std::uint64_t th = 0, wraps = 0;
    for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, &b[i], 8);
        const unsigned type = static_cast<unsigned>(w >> 60);
        if (type < 2) {
            const std::uint32_t mask = static_cast<std::uint32_t>(w);
            CHECK(mask != 0);  // the encoder writes no empty word
            const unsigned xb = static_cast<unsigned>((w >> 43) & 2047);
            CHECK(xb % 32 == 0);
            for (unsigned k = 0; k < 32; ++k)
                if (mask >> k & 1u)
                    out.push_back(Event{(wraps << 34) + (th << 6) + ((w >> 54) & 63), static_cast<std::uint16_t>(xb + k),
                                        static_cast<std::uint16_t>((w >> 32) & 2047), static_cast<std::uint8_t>(type)});
        } else if (type == 8) {
            CHECK((w & 0xFFFFFFFFu) == 0 && (w >> 60) == 8);
            const std::uint64_t h = (w >> 32) & 0x0FFFFFFF;
            if (h < th) ++wraps;
            th = h;
        } else {
            CHECK(false);  // the encoder writes no other word
        }
    }
    return out;
}

std::vector<Event> plain_evt3(const std::vector<std::uint8_t>& b) {
    std::vector<Event> out;
    std::uint64_t th = 0, tl = 0, wraps = 0, base = 0;
    unsigned y = 0, pol = 0;
    auto emit = [&](std::uint64_t x, unsigned p) {
        CHECK(x < 2048);
        out.push_back(Event{(wraps << 24) + (th << 12) + tl, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                            static_cast<std::uint8_t>(p)});
    };
    for (std::size_t i = 0; i + 2 <= b.size(); i += 2) {
        std::uint16_t w;
        std::memcpy(&w, &b[i], 2);
        switch (w >> 12) {
            case 0x0: y = w & 2047; break;
            case 0x2: emit(w & 2047, (w >> 11) & 1); break;
            case 0x3: base = w & 2047; pol = (w >> 11) & 1; break;
            case 0x4:
                CHECK((w & 0xFFF) != 0);
                for (unsigned k = 0; k < 12; ++k)
                    if (w & (1u << k)) emit(base + k, pol);
                base += 12;
                break;
            case 0x5:
                CHECK((w & 0xFF) != 0 && (w & 0xF00) == 0);
                for (unsigned k = 0; k < 8; ++k)
                    if (w & (1u << k)) emit(base + k, pol);
                base += 8;
                break;
            case 0x6: tl = w & 4095; break;
            case 0x8: {
                const std::uint64_t h = w & 4095;
                if (h < th) ++wraps;
                th = h;  // time low kept: the encoder always follows with one
                break;
            }
            default: CHECK(false);
        }
    }
    return out;
}

template <class Encoder, class Decoder>
void run(const std::vector<Event>& ev, const std::uint8_t* data, std::size_t size,
         std::vector<Event> (*plain)(const std::vector<std::uint8_t>&)) {
    const std::size_t n = ev.size();
    const EvtEncodeResult want = expected(ev, 0, n, 0, Encoder::kPeriodBits);

    Encoder enc;
    const EvtEncodeResult sized = enc.encoded_size(ev.data(), n);
    CHECK(sized.error == want.error && sized.index == want.index);
    if (want.error != EvtEncodeError::none) {
        // encode() finds the same event when it reaches its block (it may
        // have written the blocks before: an exactly sized buffer shows that
        // it stays inside), and keeps its state.
        std::uint8_t* buf = new std::uint8_t[256];
        const EvtEncodeResult r = enc.encode(ev.data(), n, buf, 256);
        CHECK(r.error == want.error && r.index == want.index && r.bytes == 0);
        CHECK(!enc.started && enc.last_t == 0);
        delete[] buf;
        return;
    }
    const std::size_t bytes = sized.bytes;
    CHECK(bytes % Encoder::kWordBytes == 0);
    CHECK(bytes <= enc.max_bytes(n, n ? ev[n - 1].t : 0));
    CHECK((n == 0) == (bytes == 0));

    // One byte short: refused, nothing past the end written, state kept.
    if (bytes != 0) {
        std::uint8_t* shortbuf = new std::uint8_t[bytes - 1];
        const EvtEncodeResult r = enc.encode(ev.data(), n, shortbuf, bytes - 1);
        CHECK(r.error == EvtEncodeError::output_too_small && r.bytes == bytes);
        CHECK(!enc.started && enc.last_t == 0);
        delete[] shortbuf;
    }

    std::vector<std::uint8_t> out(bytes);
    std::uint8_t* exact = bytes ? new std::uint8_t[bytes] : nullptr;
    const EvtEncodeResult r = enc.encode(ev.data(), n, exact, bytes);
    CHECK(r.error == EvtEncodeError::none && r.bytes == bytes && r.index == n);
    if (bytes) std::memcpy(out.data(), exact, bytes);
    delete[] exact;
    if (n != 0) {
        CHECK(enc.started && enc.last_t == ev[n - 1].t);
        // The first word sets the time high.
        const unsigned first_type = out[Encoder::kWordBytes - 1] >> 4;
        CHECK(first_type == 0x8);
    }

    // Events that changed after they were sized (another thread writing the
    // caller's array): encoding them into the buffer sized for the others
    // never writes past it, and fails cleanly when they need more.
    if (bytes != 0) {
        std::vector<Event> changed = ev;
        std::uint64_t shift = 0;
        for (std::size_t i = size % 5; i < n; ++i) {
            if (i % 3 == 0) shift += std::uint64_t{1} << (Encoder::kPeriodBits + (i % 4));  // counter wraps
            changed[i].t += shift;
        }
        std::uint8_t* exact_again = new std::uint8_t[bytes];
        Encoder again;
        const EvtEncodeResult c = again.encode(changed.data(), n, exact_again, bytes);
        CHECK(c.error != EvtEncodeError::none || c.bytes <= bytes);
        CHECK(c.error == EvtEncodeError::none || (!again.started && again.last_t == 0));
        delete[] exact_again;
    }

    // With room to spare blocks are written unchecked, and must stay within
    // cap all the same (each buffer is exactly cap bytes): same bytes. One
    // capacity per input, picked by the input.
    const std::size_t roomy = Encoder{}.max_bytes(n, n ? ev[n - 1].t : 0);
    if (n != 0 && roomy <= (std::size_t{64} << 20)) {
        const std::size_t caps[] = {bytes + Encoder::kSlackBytes + size % 97, bytes + 64 + size % 13, roomy,
                                    roomy + Encoder::kSlackBytes + 7};
        const std::size_t cap = caps[(size + (size ? data[size - 1] : 0)) % 4];
        Encoder fresh;
        std::uint8_t* buf = new std::uint8_t[cap];
        const EvtEncodeResult b = fresh.encode(ev.data(), n, buf, cap);
        CHECK(b.error == EvtEncodeError::none && b.bytes == bytes);
        CHECK(std::memcmp(buf, out.data(), bytes) == 0);
        delete[] buf;
    }

    Decoder dec;
    CHECK(dec.count_events(out.data(), out.size()) == n);
    std::vector<Event> back(n);
    CHECK(dec.decode(out.data(), out.size(), back.data()) == n);
    CHECK(same(back.data(), ev.data(), n));
    const std::vector<Event> other = plain(out);
    CHECK(other.size() == n && same(other.data(), ev.data(), n));

    // In pieces, with one encoder carrying its state.
    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 16; ++i) seed = seed * 257 + data[i];
    Encoder pieces;
    std::vector<std::uint8_t> joined;
    for (std::size_t pos = 0; pos < n;) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        std::size_t len = static_cast<std::size_t>((seed >> 33) % (n - pos + 1));
        if ((seed & 3) == 0) len = (seed >> 20) % 3;
        if (len > n - pos) len = n - pos;
        const EvtEncodeResult s = pieces.encoded_size(ev.data() + pos, len);
        CHECK(s.error == EvtEncodeError::none);
        CHECK(s.bytes <= pieces.max_bytes(len, len ? ev[pos + len - 1].t : 0));
        const std::size_t at = joined.size();
        joined.resize(at + s.bytes);
        const EvtEncodeResult w = pieces.encode(ev.data() + pos, len, joined.data() + at, s.bytes);
        CHECK(w.error == EvtEncodeError::none && w.bytes == s.bytes);
        pos += len;
    }
    Decoder dec2;
    std::vector<Event> back2(dec2.count_events(joined.data(), joined.size()));
    CHECK(back2.size() == n);
    CHECK(dec2.decode(joined.data(), joined.size(), back2.data()) == n);
    CHECK(same(back2.data(), ev.data(), n));
}

}  // namespace

// Steps of kEvtMaxPeriodsPerStep - 1 .. + 1 periods, from 0 and from an
// event, each way into a period.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const unsigned bits : {24u, 34u}) {
        for (std::uint64_t periods = kEvtMaxPeriodsPerStep - 1; periods <= kEvtMaxPeriodsPerStep + 1; ++periods) {
            for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{5} << bits,
                                              (std::uint64_t{5} << bits) + (std::uint64_t{3} << (bits - 2))}) {
                for (const std::uint64_t into : {std::uint64_t{0}, std::uint64_t{1} << (bits - 1),
                                                 (std::uint64_t{1} << bits) - 1}) {
                    std::vector<Event> ev;
                    if (start != 0) ev.push_back(Event{start, 1, 2, 1});
                    const std::uint64_t base = start & ~((std::uint64_t{1} << bits) - 1);
                    ev.push_back(Event{base + (periods << bits) + into, 3, 4, 0});
                    ev.push_back(Event{base + (periods << bits) + into + 1, 3, 4, 0});
                    const std::uint8_t none = 0;
                    run<Evt2Encoder, Evt2Decoder>(ev, &none, 0, plain_evt2);
                    run<Evt21Encoder, Evt21Decoder>(ev, &none, 0, plain_evt21);
                    run<Evt3Encoder, Evt3Decoder>(ev, &none, 0, plain_evt3);
                }
            }
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool invalid_allowed = false;
    const std::vector<Event> ev = make_events(data, size, invalid_allowed);
    run<Evt2Encoder, Evt2Decoder>(ev, data, size, plain_evt2);
    run<Evt21Encoder, Evt21Decoder>(ev, data, size, plain_evt21);
    run<Evt3Encoder, Evt3Decoder>(ev, data, size, plain_evt3);

    // A piece that breaks the rules after good ones: the index is within the
    // piece, and the state stays at the end of the good ones.
    if (ev.size() >= 2) {
        const std::size_t cut = ev.size() / 2;
        Evt3Encoder e3;
        if (expected(ev, 0, cut, 0, 24).error == EvtEncodeError::none) {
            std::vector<std::uint8_t> buf(e3.encoded_size(ev.data(), cut).bytes);
            CHECK(e3.encode(ev.data(), cut, buf.data(), buf.size()).error == EvtEncodeError::none);
            const Evt3Encoder saved = e3;
            const EvtEncodeResult want = expected(ev, cut, ev.size(), ev[cut - 1].t, 24);
            const EvtEncodeResult got = e3.encoded_size(ev.data() + cut, ev.size() - cut);
            CHECK(got.error == want.error && got.index == want.index);
            std::vector<std::uint8_t> rest(64);
            const EvtEncodeResult r = e3.encode(ev.data() + cut, ev.size() - cut, rest.data(), rest.size());
            if (want.error != EvtEncodeError::none) CHECK(r.error == want.error && r.index == want.index);
            else CHECK(r.error == EvtEncodeError::none || r.error == EvtEncodeError::output_too_small);
            if (r.error != EvtEncodeError::none)
                CHECK(e3.last_t == saved.last_t && e3.y == saved.y && e3.started == saved.started);
        }
    }
    return 0;
}
