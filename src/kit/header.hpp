// The ASCII header of a recording file ("% key value" lines, parsed by
// kernels/raw_header.hpp) read from an open file: RAW and DAT files start
// with one.
#pragma once

#include "file.hpp"
#include "../kernels/raw_header.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace kit {

struct TextHeader {
    std::vector<unsigned char> bytes;  // the first bytes of the file (the header and maybe more)
    std::vector<morvel::kernels::RawHeaderEntry> entries;
    std::size_t data_offset = 0;  // first byte after the header

    std::string_view key(std::size_t i) const noexcept { return morvel::kernels::raw_entry_key(bytes.data(), entries[i]); }
    std::string_view value(std::size_t i) const noexcept {
        return morvel::kernels::raw_entry_value(bytes.data(), entries[i]);
    }

    // The lines as a dict, in file order (the last of a repeated key wins);
    // bytes that are not UTF-8 are replaced.
    Ref dict() const {
        Ref d = check(PyDict_New());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Ref k = text(key(i)), v = text(value(i));
            check(PyDict_SetItem(d.get(), k.get(), v.get()));
        }
        return d;
    }

    static Ref text(std::string_view v) {
        return check(PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace"));
    }
};

// Reads the header at the start of `file` (positioned at 0), in growing
// reads until the parser can decide it. `kind` names the file kind in the
// error for a header longer than 1 MiB.
inline TextHeader read_text_header(File& file, const char* kind) {
    namespace kn = morvel::kernels;
    TextHeader out;
    std::vector<unsigned char>& head = out.bytes;
    std::size_t want = 1 << 16;
    out.entries.resize(64);
    kn::RawHeader h{};
    for (;;) {
        const std::size_t have = head.size();
        head.resize(want);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(head.data()) + have, want - have);
        head.resize(have + got);
        const bool eof = head.size() < want;
        h = kn::parse_raw_header(head.data(), head.size(), eof, out.entries.data(), out.entries.size());
        if (h.status == kn::RawHeaderStatus::ok && h.n_entries > out.entries.size()) {
            out.entries.resize(h.n_entries);
            h = kn::parse_raw_header(head.data(), head.size(), eof, out.entries.data(), out.entries.size());
        }
        if (h.status != kn::RawHeaderStatus::need_more) break;
        want = std::min(want * 4, kn::kRawHeaderMaxBytes + 2);
    }
    if (h.status == kn::RawHeaderStatus::too_large)
        raise(PyExc_ValueError, "%s header longer than %zd bytes", kind, static_cast<Py_ssize_t>(kn::kRawHeaderMaxBytes));
    out.entries.resize(h.n_entries);
    out.data_offset = h.data_offset;
    return out;
}

}  // namespace kit
