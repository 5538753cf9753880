// The public datasets' binary formats: AEDAT 2.0 and 3.1 (Aedat2Reader,
// Aedat3Reader) and the 5-byte ATIS format of N-MNIST and its kin
// (AtisReader, AtisWriter, write_atis), and Event Stream (EsReader,
// EsWriter, write_es). The bytes are kernels/aedat_legacy.hpp's,
// kernels/atis_bin.hpp's and kernels/es.hpp's; the types come from
// stream.hpp.

#include "stream.hpp"

#include "kit/events.hpp"
#include "kernels/aedat_legacy.hpp"
#include "kernels/atis_bin.hpp"
#include "kernels/es.hpp"
#include "kernels/record_split.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace morvel::io::recordings {
namespace {

namespace kn = morvel::kernels;

constexpr kit::Param kPathParam{"path", "Union[str, os.PathLike]"};
constexpr kit::Param kChunkParam{"chunk_size", "int", "1000000", nullptr, false, true};

// ---------------------------------------------------------------------------
// AEDAT 2.0 and 3.1
// ---------------------------------------------------------------------------

constexpr std::size_t kMaxAedatHeader = std::size_t{1} << 20;

struct AedatStart {
    kn::AedatHeader h;
    std::string text;  // the header, as it is
};

AedatStart read_aedat_header(kit::File& file, PyObject* path, kn::AedatVersion want) {
    std::vector<unsigned char> head;
    std::size_t want_bytes = 1 << 14;
    kn::AedatHeader h;
    for (;;) {
        const std::size_t have = head.size();
        head.resize(want_bytes);
        const std::size_t got = file.read_full(reinterpret_cast<char*>(head.data()) + have, want_bytes - have);
        head.resize(have + got);
        const bool eof = head.size() < want_bytes;
        h = kn::parse_aedat_header(head.data(), head.size(), eof);
        if (h.status != kn::AedatHeader::Status::need_more) break;
        if (want_bytes > kMaxAedatHeader)
            kit::raise(PyExc_ValueError, "%S: AEDAT header longer than %zd bytes", path,
                       static_cast<Py_ssize_t>(kMaxAedatHeader));
        want_bytes *= 4;
    }
    const char* name = want == kn::AedatVersion::v2 ? "2.0" : "3.1";
    if (h.status == kn::AedatHeader::Status::not_aedat || h.version != want)
        kit::raise(PyExc_ValueError, "%S: not an AEDAT %s file (it does not start with \"#!AER-DAT%s\")", path, name,
                   name);
    if (h.status == kn::AedatHeader::Status::no_end)
        kit::raise(PyExc_ValueError, "%S: the AEDAT 3.1 header has no \"#!END-HEADER\" line", path);
    return {h, std::string(reinterpret_cast<const char*>(head.data()), h.data_offset)};
}

Ref header_text(const std::string& s) {
    return kit::check(PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

bool contains_nocase(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        std::size_t k = 0;
        for (; k < word.size(); ++k) {
            char c = text[i + k];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            if (c != word[k]) break;
        }
        if (k == word.size()) return true;
    }
    return false;
}

struct Aedat2 {
    using Parser = kn::Aedat2Parser;
    using Proto = Parser;
    static Parser make(const Proto& p) { return p; }
    static constexpr std::size_t kRecordBytes = Parser::kRecord;
    static constexpr const char* kName = "Aedat2Reader";
    static constexpr const char* kQualname = "morvel.io.recordings.Aedat2Reader";
    static constexpr const char* kIterName = "Aedat2Reader.__iter__";
    static constexpr auto kInit = kit::type_init("Aedat2Reader", kPathParam, kChunkParam,
                                                 kit::Param{"camera", "Optional[str]", "None", nullptr, false, true});
    static const char* const kDoc;

    static Opened<Proto> open(kit::File& file, PyObject* path, const auto& a) {
        AedatStart s = read_aedat_header(file, path, kn::AedatVersion::v2);
        Parser p;
        bool known = false;
        if (a[2] && a[2] != Py_None) {
            const std::string_view c = PyUnicode_AsUTF8(kit::arg_str(a[2], "camera"));
            if (c == "dvs128") p.camera = kn::Aedat2Camera::dvs128;
            else if (c == "davis240") p.camera = kn::Aedat2Camera::davis240;
            else if (c == "davis346") p.camera = kn::Aedat2Camera::davis346;
            else kit::raise(PyExc_ValueError, "camera must be 'dvs128', 'davis240' or 'davis346', got %R", a[2]);
            known = true;
        } else if (contains_nocase(s.text, "DAVIS346")) {
            p.camera = kn::Aedat2Camera::davis346;
            known = true;
        } else if (contains_nocase(s.text, "DAVIS240")) {
            p.camera = kn::Aedat2Camera::davis240;
            known = true;
        } else if (contains_nocase(s.text, "DVS128")) {
            p.camera = kn::Aedat2Camera::dvs128;
            known = true;
        }
        if (!known)
            kit::raise(PyExc_ValueError,
                       "%S: the AEDAT 2.0 header names no camera whose addresses are known; pass camera='dvs128', "
                       "'davis240' or 'davis346'",
                       path);
        p.records.consumed = s.h.data_offset;  // its messages give offsets in the file
        std::uint32_t w, h;
        Parser::sensor(p.camera, w, h);
        return {header_text(s.text), kit::check(Py_BuildValue("(II)", w, h)),
                static_cast<long long>(s.h.data_offset), p};
    }
};

const char* const Aedat2::kDoc =
    "Reader for AEDAT 2.0 files (jAER; CIFAR10-DVS and the DVS128 and DAVIS\n"
    "recordings of its time): '#' header lines, then big-endian 8-byte records\n"
    "of a u32 address and a u32 timestamp in microseconds (unwrapped: one\n"
    "lower than the previous by more than 2**31 adds 2**32).\n\n"
    "The address depends on the camera, taken from the header (an AEChip\n"
    "line naming DVS128, DAVIS240 or DAVIS346) unless camera= names it:\n"
    "'dvs128' (p bit 0, x bits 7..1, y bits 14..8; bit 15: an external event,\n"
    "skipped), 'davis240' and 'davis346' (p bit 11, x bits 21..12, y bits\n"
    "30..22; bit 31: an APS or IMU sample, bit 10: an external event, both\n"
    "skipped, as are addresses outside the sensor). x and y are the address's\n"
    "own, not flipped. sensor_size is the camera's.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly chunk_size events but the\n"
    "last, in file order; each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    ValueError: not an AEDAT 2.0 file; a header that names no known\n"
    "        camera without camera=; iteration raises after the last whole\n"
    "        event when the file ends inside a record.\n";

struct Aedat3 {
    using Parser = kn::Aedat3Parser;
    using Proto = Parser;
    static Parser make(const Proto& p) { return p; }
    static constexpr const char* kName = "Aedat3Reader";
    static constexpr const char* kQualname = "morvel.io.recordings.Aedat3Reader";
    static constexpr const char* kIterName = "Aedat3Reader.__iter__";
    static constexpr auto kInit = kit::type_init("Aedat3Reader", kPathParam, kChunkParam);
    static const char* const kDoc;

    static Opened<Proto> open(kit::File& file, PyObject* path, const auto&) {
        AedatStart s = read_aedat_header(file, path, kn::AedatVersion::v3);
        Parser p;
        p.consumed = s.h.data_offset;  // its messages give offsets in the file
        return {header_text(s.text), Ref::borrow(Py_None), static_cast<long long>(s.h.data_offset), p};
    }
};

const char* const Aedat3::kDoc =
    "Reader for AEDAT 3.1 files (libcaer; DVS128 Gesture): '#' header lines to\n"
    "\"#!END-HEADER\", then packets of a 28-byte header (event type, source,\n"
    "event size, timestamp offset, timestamp overflow, capacity, number,\n"
    "valid) and capacity * size bytes of events.\n\n"
    "Polarity packets (type 1) give their valid events (of the first `number`):\n"
    "x bits 31..17, y bits 16..2, p bit 1 of the data word, t = overflow << 31\n"
    "| timestamp. Packets of every other type (frames, IMU, special events)\n"
    "are skipped.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly chunk_size events but the\n"
    "last, in file order; each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    ValueError: not an AEDAT 3.1 file or no end to its header; iteration\n"
    "        raises after the last whole event at a packet header that is not\n"
    "        valid or a file that ends inside a packet.\n";

// ---------------------------------------------------------------------------
// ATIS binary
// ---------------------------------------------------------------------------

struct Atis {
    using Parser = kn::AtisParser;
    using Proto = Parser;
    static Parser make(const Proto& p) { return p; }
    static constexpr std::size_t kRecordBytes = kn::kAtisRecord;
    static constexpr const char* kName = "AtisReader";
    static constexpr const char* kQualname = "morvel.io.recordings.AtisReader";
    static constexpr const char* kIterName = "AtisReader.__iter__";
    static constexpr auto kInit = kit::type_init("AtisReader", kPathParam, kChunkParam);
    static const char* const kDoc;

    static Opened<Proto> open(kit::File&, PyObject*, const auto&) {
        return {Ref::borrow(Py_None), Ref::borrow(Py_None), 0, Parser{}};
    }
};

const char* const Atis::kDoc =
    "Reader for the 5-byte ATIS binary files of N-MNIST, N-Caltech101 and\n"
    "N-CARS: x u8, y u8, then polarity in bit 7 of byte 2 and a 23-bit\n"
    "timestamp (us) in the rest of bytes 2..4, most significant bits first.\n"
    "No header (sensor_size is None).\n\n"
    "A record with y == 240 marks a timestamp wrap: it is no event and adds\n"
    "2**23 to every later t. A timestamp lower than the previous one by more\n"
    "than 2**22 is a wrap without its marker and adds 2**23 too; smaller\n"
    "steps back are kept as they are.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly chunk_size events but the\n"
    "last, in file order; each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    ValueError: iteration raises after the last whole event when the file\n"
    "        ends inside a record.\n";

struct AtisOut {
    static constexpr const char* kName = "AtisWriter";
    static constexpr const char* kQualname = "morvel.io.recordings.AtisWriter";
    static constexpr auto kInit = kit::type_init("AtisWriter", kPathParam);
    static constexpr auto kWrite =
        kit::function("write_atis", "None", kPathParam, kit::Param{"events", "np.ndarray"});
    static const char* const kDoc;
    static const char* const kWriteDoc;

    struct State {
        kn::AtisEncoder enc;
        long long n_events = 0;

        std::string encode(PyObject* events) {
            const kit::EventRecords r = kit::event_records(events, 256);
            kn::AtisEncoder next = enc;
            kn::AtisEncodeResult res;
            const bool release = r.n * sizeof(kn::Event) >= kit::kReleaseGilBytes;
            {
                kit::MaybeNoGil nogil(release);
                res = next.check(r.data, r.n);
            }
            if (res.error != kn::AtisEncodeError::none) {
                raise_unencodable(n_events + static_cast<long long>(res.index), r.data[res.index],
                                  kn::atis_encode_error_message(res.error));
            }
            std::string out(kn::AtisEncoder::bytes_for(r.n, next.markers), '\0');
            {
                kit::MaybeNoGil nogil(release);
                next.encode(r.data, r.n, reinterpret_cast<unsigned char*>(out.data()));
            }
            enc = next;
            n_events += static_cast<long long>(r.n);
            return out;
        }
        std::string end() { return {}; }
    };

    static State start(const auto&, std::size_t) { return State{}; }
    static Ref sensor_size(const auto&, std::size_t) { return Ref::borrow(Py_None); }
};

const char* const AtisOut::kDoc =
    "Streaming writer of 5-byte ATIS binary files (as AtisReader reads them).\n"
    "A wrap marker (y == 240) is written where t passes a multiple of 2**23\n"
    "us. Events must read back as they are: x and y below 256, y not 240, p 0\n"
    "or 1, and t neither back into an earlier 2**23 us span nor back by more\n"
    "than 2**22 us. append() checks a whole array before it writes a byte of\n"
    "it and raises ValueError naming the first event that cannot be written.\n"
    "A context manager; close() is idempotent, append() after it raises\n"
    "ValueError, and a writer dropped without close() still finishes its\n"
    "file.\n";

const char* const AtisOut::kWriteDoc =
    "Write events as a 5-byte ATIS binary file (as AtisWriter writes them).\n"
    "Every event is checked and encoded before the file is created; otherwise\n"
    "ValueError names the first event that cannot be written.\n";

// ---------------------------------------------------------------------------
// Event Stream
// ---------------------------------------------------------------------------

struct Es {
    using Parser = kn::EsParser;
    using Proto = Parser;
    static Parser make(const Proto& p) { return p; }
    static constexpr const char* kName = "EsReader";
    static constexpr const char* kQualname = "morvel.io.recordings.EsReader";
    static constexpr const char* kIterName = "EsReader.__iter__";
    static constexpr auto kInit = kit::type_init("EsReader", kPathParam, kChunkParam);
    static const char* const kDoc;

    static Opened<Proto> open(kit::File& file, PyObject* path, const auto&) {
        unsigned char head[kn::kEsMaxHeaderBytes];
        const std::size_t got = file.read_full(reinterpret_cast<char*>(head), sizeof head);
        const kn::EsHeader h = kn::parse_es_header(head, got);
        if (h.status == kn::EsStatus::need_more)
            kit::raise(PyExc_ValueError, "%S: the Event Stream header is cut short (%zd bytes)", path,
                       static_cast<Py_ssize_t>(got));
        if (h.status != kn::EsStatus::ok)
            kit::raise(PyExc_ValueError, "%S: %s", path, kn::es_status_message(h.status));
        if (!kn::es_type_has_events(h.type))
            kit::raise(PyExc_ValueError, "%S: Event Stream of type %d: only DVS (1) and ATIS (2) streams hold events "
                       "read here", path, int{h.type_byte});
        Parser p(h, true);
        p.consumed = h.data_offset;  // its messages give offsets in the file
        Ref header = kit::check(Py_BuildValue("{s:s,s:(iii)}", "type", h.type == kn::EsEventType::dvs ? "dvs" : "atis",
                                              "version", int{h.major}, int{h.minor}, int{h.patch}));
        return {std::move(header), kit::check(Py_BuildValue("(II)", unsigned{h.width}, unsigned{h.height})),
                static_cast<long long>(h.data_offset), p};
    }
};

const char* const Es::kDoc =
    "Reader of Event Stream files (.es, version 2.x; faery's and the\n"
    "neuromorphic-paris tools'): a header (\"Event Stream\", the version, the\n"
    "event type, width and height), then 5-byte events whose time is the sum\n"
    "of their steps and of the overflow bytes between them.\n\n"
    "DVS streams give their events; ATIS streams their change detections (the\n"
    "exposure measurements are skipped). y is turned back as the writers store\n"
    "it (height - 1 - y), as faery reads it. header is {'type', 'version'},\n"
    "sensor_size the header's width and height.\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly chunk_size events but the\n"
    "last, in file order; each iteration reads the file anew.\n\n"
    "Raises:\n"
    "    ValueError: not an Event Stream file, a version other than 2, a type\n"
    "        without events read here. Iteration raises after the last whole\n"
    "        event at coordinates outside the header's size or a file that\n"
    "        ends inside an event.\n";

constexpr std::size_t kEsMaxAppendBytes = std::size_t{1} << 32;

struct EsOut {
    static constexpr const char* kName = "EsWriter";
    static constexpr const char* kQualname = "morvel.io.recordings.EsWriter";
    static constexpr kit::Param kSensor{"sensor_size", "Tuple[int, int]", nullptr, nullptr, false, true};
    static constexpr auto kInit = kit::type_init("EsWriter", kPathParam, kSensor);
    static constexpr auto kWrite =
        kit::function("write_es", "None", kPathParam, kit::Param{"events", "np.ndarray"}, kSensor);
    static const char* const kDoc;
    static const char* const kWriteDoc;

    struct State {
        kn::EsEncoder enc;
        bool header = true;  // still to write
        long long n_events = 0;

        std::string head() {
            std::string h;
            if (header) {
                h.resize(kn::kEsDvsHeaderBytes);
                kn::write_es_dvs_header(enc.width, enc.height, reinterpret_cast<unsigned char*>(h.data()));
                header = false;
            }
            return h;
        }

        std::string encode(PyObject* events) {
            const kit::EventRecords r = kit::event_records(events, 65536);
            kn::EsEncoder next = enc;
            const kn::EsEncodeResult res = next.check(r.data, r.n);
            if (res.error != kn::EsEncodeError::none) {
                raise_unencodable(n_events + static_cast<long long>(res.index), r.data[res.index],
                                  kn::es_encode_error_message(res.error));
            }
            const std::size_t size = next.encoded_size(r.data, r.n);
            if (size > kEsMaxAppendBytes)
                kit::raise(PyExc_ValueError, "these events need %zu bytes of Event Stream (their time gaps take one "
                           "byte per 127 us); append them in smaller pieces", size);
            std::string out = head();
            const std::size_t at = out.size();
            out.resize(at + size);
            {
                kit::MaybeNoGil nogil(r.n * sizeof(kn::Event) >= kit::kReleaseGilBytes);
                next.encode(r.data, r.n, reinterpret_cast<unsigned char*>(out.data() + at));
            }
            enc = next;
            n_events += static_cast<long long>(r.n);
            return out;
        }
        std::string end() { return head(); }
    };

    static State start(const auto& a, std::size_t first) {
        if (!a[first] || a[first] == Py_None) kit::raise(PyExc_TypeError, "Event Stream files need sensor_size");
        const kit::SensorSize sz = kit::arg_sensor_size(a[first]);
        if (sz.width < 1 || sz.width > 65535 || sz.height < 1 || sz.height > 65535)
            kit::raise(PyExc_ValueError, "sensor_size must be within 1..65535 on both sides, got %R", a[first]);
        State s;
        s.enc.width = static_cast<std::uint16_t>(sz.width);
        s.enc.height = static_cast<std::uint16_t>(sz.height);
        s.enc.flip_y = true;
        return s;
    }
    static Ref sensor_size(const auto& a, std::size_t first) {
        const kit::SensorSize sz = kit::arg_sensor_size(a[first]);
        return kit::check(Py_BuildValue("(LL)", sz.width, sz.height));
    }
};

const char* const EsOut::kDoc =
    "Streaming writer of DVS Event Stream files (version 2.0.0) that faery and\n"
    "EsReader read: the header with sensor_size, then the events (t as it is:\n"
    "overflow bytes carry the time from 0 to the first event; y stored as\n"
    "height - 1 - y, as faery writes it). Events must be in time order, inside\n"
    "sensor_size, with p 0 or 1: append() checks a whole array before it\n"
    "writes a byte of it and raises ValueError naming the first event that\n"
    "cannot be written. A context manager; close() is idempotent, append()\n"
    "after it raises ValueError, and a writer dropped without close() still\n"
    "finishes its file.\n";

const char* const EsOut::kWriteDoc =
    "Write events as a DVS Event Stream file (as EsWriter writes them). Every\n"
    "event is checked and encoded before the file is created; otherwise\n"
    "ValueError names the first event that cannot be written.\n";

}  // namespace

void add_legacy(PyObject* m) {
    StreamReader<Aedat2>::add(m);
    StreamReader<Aedat3>::add(m);
    StreamReader<Atis>::add(m);
    StreamWriter<AtisOut>::add(m);
    StreamReader<Es>::add(m);
    StreamWriter<EsOut>::add(m);
}

}  // namespace morvel::io::recordings
