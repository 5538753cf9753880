// AEDAT4 kernel fuzzer (kernels/aedat4_file.hpp). Any bytes are, at once:
//   - an IO header FlatBuffer, an event packet payload and a data table
//     payload (size prefixed, uncompressed): whatever parses must point
//     inside the bytes; decoded events and time windows must agree with a
//     plain one element at a time reference; a table parsed into a short
//     array must write only that array and agree with the full parse;
//   - an info node: streams counted, then parsed into exact and short
//     arrays, every text inside the input and sizes in range; unescaped
//     text never longer than the input;
//   - events, tables and info text to write: what the writers build must
//     parse back to exactly what was written.
// Every parser works on an exactly sized heap copy, so reads past it trip ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "kernels/aedat4_file.hpp"

using namespace morvel::kernels;
namespace a4 = morvel::kernels::aedat4;

namespace {

struct Copy {
    explicit Copy(const std::uint8_t* d, std::size_t n) : bytes(d, d + n) {}
    const unsigned char* data() const { return bytes.empty() ? nullptr : bytes.data(); }
    std::size_t size() const { return bytes.size(); }
    std::vector<unsigned char> bytes;
};

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// The reference decode: one element at a time, by the rules.
std::size_t reference_decode(const unsigned char* e, std::size_t n, std::vector<Event>& out, bool& bad) {
    bad = false;
    for (std::size_t i = 0; i < n; ++i, e += 16) {
        std::int64_t t;
        std::int16_t x, y;
        std::memcpy(&t, e, 8);
        std::memcpy(&x, e + 8, 2);
        std::memcpy(&y, e + 10, 2);
        if (t < 0 || x < 0 || y < 0) {
            bad = true;
            return i;
        }
        out.push_back(Event{static_cast<std::uint64_t>(t), static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                            static_cast<std::uint8_t>(e[12] != 0)});
    }
    return n;
}

bool same_events(const Event* a, const Event* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(Event)) == 0;
}

void check_packet(const std::uint8_t* data, std::size_t size, std::uint64_t lo, std::uint64_t hi) {
    const Copy c(data, size);
    a4::Elements e;
    if (!a4::parse_event_packet(c.data(), c.size(), e).ok()) return;
    CHECK(e.count == 0 || (e.first <= c.size() && e.count <= (c.size() - e.first) / 16));
    const unsigned char* el = c.data() + e.first;
    std::vector<Event> ref;
    bool ref_bad;
    const std::size_t ref_n = reference_decode(el, e.count, ref, ref_bad);
    std::vector<Event> out(e.count);
    bool bad;
    const std::size_t got = a4::decode_elements(el, e.count, out.data(), bad);
    CHECK(got == ref_n && bad == ref_bad && same_events(out.data(), ref.data(), got));
    // in two calls split anywhere, as the chunk loop does
    if (e.count > 1) {
        const std::size_t cut = (lo % e.count);
        std::vector<Event> a(cut), b(e.count - cut);
        bool bad_a, bad_b = false;
        std::size_t n = a4::decode_elements(el, cut, a.data(), bad_a);
        if (!bad_a) n += a4::decode_elements(el + cut * 16, e.count - cut, b.data(), bad_b);
        CHECK(n == ref_n && (bad_a || bad_b) == ref_bad);
        CHECK(same_events(a.data(), ref.data(), std::min(cut, n)));
        if (n > cut) CHECK(same_events(b.data(), ref.data() + cut, n - cut));
    }
    // time windows
    const a4::WindowCount w = a4::count_window(el, e.count, lo, hi);
    CHECK(w.bad == (ref_bad ? ref_n : e.count));
    std::size_t inside_ref = 0;
    std::uint64_t mn = UINT64_MAX, mx = 0;
    for (std::size_t i = 0; i < ref_n; ++i) {
        const std::uint64_t t = ref[i].t;  // a copy: the record is packed
        inside_ref += t >= lo && t < hi;
        mn = std::min(mn, t);
        mx = std::max(mx, t);
    }
    CHECK(w.inside == inside_ref);
    if (ref_n) CHECK(w.min_t == mn && w.max_t == mx);
    if (w.bad == e.count) {
        std::vector<Event> win(w.inside);
        CHECK(a4::decode_window(el, e.count, lo, hi, win.data()) == w.inside);
        std::size_t k = 0;
        for (std::size_t i = 0; i < ref_n; ++i) {
            const std::uint64_t t = ref[i].t;
            if (t >= lo && t < hi) CHECK(std::memcmp(&win[k++], &ref[i], sizeof(Event)) == 0);
        }
    }
}

void check_table(const std::uint8_t* data, std::size_t size) {
    const Copy c(data, size);
    std::size_t count = 0;
    const a4::Result r = a4::parse_data_table(c.data(), c.size(), nullptr, 0, count);
    if (!r.ok()) {
        CHECK(r.at <= c.size());
        return;
    }
    CHECK(count <= c.size() / 4);
    std::vector<a4::TableEntry> all(count);
    std::size_t again = 0;
    const a4::Result full = a4::parse_data_table(c.data(), c.size(), all.data(), all.size(), again);
    CHECK(again == count || !full.ok());
    if (!full.ok()) return;
    const std::size_t cap = count / 2;
    std::vector<a4::TableEntry> part(cap);
    const a4::Result half = a4::parse_data_table(c.data(), c.size(), part.data(), part.size(), again);
    CHECK(half.ok() && again == count);
    for (std::size_t i = 0; i < cap; ++i) CHECK(std::memcmp(&part[i], &all[i], sizeof(a4::TableEntry)) == 0);
}

void check_header(const std::uint8_t* data, std::size_t size) {
    const Copy c(data, size);
    a4::IoHeader h;
    const a4::Result r = a4::parse_io_header(c.data(), c.size(), h);
    if (r.ok()) CHECK(h.info_at <= c.size() && h.info_size <= c.size() - h.info_at);
    else CHECK(r.at <= c.size());
}

void check_info(const std::uint8_t* data, std::size_t size) {
    const Copy c(data, size);
    const std::string_view xml(reinterpret_cast<const char*>(c.data()), c.size());
    const a4::InfoResult counted = a4::parse_info_node(xml, nullptr, 0);
    if (counted.status != a4::InfoStatus::ok) {
        CHECK(counted.at <= xml.size());
        return;
    }
    CHECK(counted.count <= xml.size() / 8);  // a stream node takes more bytes than that
    std::vector<a4::StreamInfo> all(counted.count);
    const a4::InfoResult full = a4::parse_info_node(xml, all.data(), all.size());
    CHECK(full.status == a4::InfoStatus::ok && full.count == counted.count);
    for (const auto& s : all) {
        CHECK(inside(s.name, xml) && inside(s.type, xml) && inside(s.compression, xml));
        CHECK(s.id >= 0 && s.width >= 0 && s.width <= a4::kMaxSensorSide && s.height >= 0 &&
              s.height <= a4::kMaxSensorSide);
        std::vector<char> out(s.name.size());
        CHECK(a4::xml_unescape(s.name, out.data()) <= s.name.size());
    }
    std::vector<a4::StreamInfo> part(counted.count / 2);
    const a4::InfoResult half = a4::parse_info_node(xml, part.data(), part.size());
    CHECK(half.count == counted.count);
    for (std::size_t i = 0; i < part.size(); ++i)
        CHECK(part[i].id == all[i].id && part[i].name == all[i].name && part[i].type == all[i].type &&
              part[i].width == all[i].width && part[i].height == all[i].height);
    std::vector<char> out(xml.size());
    CHECK(a4::xml_unescape(xml, out.data()) <= xml.size());
}

// What the writers build from the input parses back to what they were given.
void check_writers(const std::uint8_t* data, std::size_t size) {
    const std::size_t n = size / 13;
    std::vector<Event> ev(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(&ev[i], data + 13 * i, 13);
        ev[i].t &= 0x7FFFFFFFFFFFFFFFull;
        ev[i].x &= 0x7FFF;
        ev[i].y &= 0x7FFF;
        ev[i].p &= 1;
    }
    CHECK(a4::check_events(ev.data(), n, 0, 0).fault == a4::EventFault::none);
    std::vector<unsigned char> packet(a4::event_packet_bytes(n));
    a4::write_event_packet_head(packet.data(), n);
    const a4::PacketRange range = a4::encode_elements(ev.data(), n, packet.data() + 32);
    a4::Elements e;
    CHECK(a4::parse_event_packet(packet.data(), packet.size(), e).ok() && e.count == n && e.first == 32);
    std::vector<Event> back(n);
    bool bad;
    CHECK(a4::decode_elements(packet.data() + e.first, n, back.data(), bad) == n && !bad);
    CHECK(same_events(back.data(), ev.data(), n));
    for (std::size_t i = 0; i < n; ++i) {
        const Event x = ev[i];
        CHECK(x.t >= range.min_t && x.t <= range.max_t && x.x <= range.max_x && x.y <= range.max_y);
    }

    // a table of entries made of the same bytes
    const std::size_t m = size / 40;
    std::vector<a4::TableEntry> entries(m);
    for (std::size_t i = 0; i < m; ++i) {
        const unsigned char* p = data + 40 * i;
        std::memcpy(&entries[i].offset, p, 8);
        std::memcpy(&entries[i].stream, p + 8, 4);
        std::memcpy(&entries[i].size, p + 12, 4);
        std::memcpy(&entries[i].count, p + 16, 8);
        std::memcpy(&entries[i].first, p + 24, 8);
        std::memcpy(&entries[i].last, p + 32, 8);
    }
    std::vector<unsigned char> table(a4::data_table_bytes(m));
    a4::write_data_table(table.data(), entries.data(), m);
    std::vector<a4::TableEntry> parsed(m);
    std::size_t count = 0;
    CHECK(a4::parse_data_table(table.data(), table.size(), parsed.data(), m, count).ok() && count == m);
    for (std::size_t i = 0; i < m; ++i) CHECK(std::memcmp(&parsed[i], &entries[i], sizeof(a4::TableEntry)) == 0);

    // a header carrying the input as its info node
    const std::string_view info(reinterpret_cast<const char*>(data), size);
    std::int32_t compression = size ? data[0] % 5 : 0;
    std::int64_t position = size >= 8 ? static_cast<std::int64_t>(load_u64(data)) : -1;
    std::vector<unsigned char> head(a4::io_header_bytes(size));
    a4::write_io_header(head.data(), compression, position, info);
    CHECK(load_u32(head.data()) == head.size() - 4);
    a4::IoHeader h;
    CHECK(a4::parse_io_header(head.data() + 4, head.size() - 4, h).ok());
    CHECK(h.compression == compression && h.data_table == position && h.info_size == size);
    CHECK(size == 0 || std::memcmp(head.data() + 4 + h.info_at, data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t lo = 0, hi = UINT64_MAX;
    if (size >= 16) {
        std::memcpy(&lo, data + size - 16, 8);
        std::memcpy(&hi, data + size - 8, 8);
        lo >>= data[0] % 64;  // windows of every width
        hi >>= data[size - 1] % 64;
    }
    check_packet(data, size, lo, hi);
    check_table(data, size);
    check_header(data, size);
    check_info(data, size);
    check_writers(data, size);
    return 0;
}
