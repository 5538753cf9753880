// Plain-text event files (CSV, TSV, space separated; EventVOT, the ECD
// sequences, many labs' exports): CsvReader, CsvWriter and write_csv. The
// parser and the encoder are kernels/csv.hpp's; the types come from
// stream.hpp.

#include "stream.hpp"

#include "kit/events.hpp"
#include "kernels/csv.hpp"

#include <string>
#include <string_view>

namespace morvel::io::recordings {
namespace {

namespace kn = morvel::kernels;

constexpr kit::Param kPathParam{"path", "Union[str, os.PathLike]"};
constexpr kit::Param kChunkParam{"chunk_size", "int", "1000000", nullptr, false, true};

kn::CsvDelimiter delimiter_of(PyObject* arg, bool for_writing, char& c) {
    c = ',';
    if (!arg || arg == Py_None) return for_writing ? kn::CsvDelimiter::comma : kn::CsvDelimiter::detect;
    const std::string_view d = PyUnicode_AsUTF8(kit::arg_str(arg, "delimiter"));
    if (d == ",") return kn::CsvDelimiter::comma;
    if (d == "\t") {
        c = '\t';
        return kn::CsvDelimiter::tab;
    }
    if (d == " " || (!for_writing && d == "whitespace")) {
        c = ' ';
        return kn::CsvDelimiter::whitespace;
    }
    kit::raise(PyExc_ValueError, for_writing ? "delimiter must be ',', '\\t' or ' ', got %R"
                                             : "delimiter must be ',', '\\t', ' ' or 'whitespace' (or None), got %R",
               arg);
}

struct Csv {
    using Parser = kn::CsvParser;
    using Proto = kn::CsvConfig;
    static Parser make(const Proto& c) { return Parser(c); }
    static constexpr const char* kName = "CsvReader";
    static constexpr const char* kQualname = "morvel.io.recordings.CsvReader";
    static constexpr const char* kIterName = "CsvReader.__iter__";
    static constexpr auto kInit = kit::type_init(
        "CsvReader", kPathParam, kChunkParam,
        kit::Param{"columns", "Optional[Sequence[Optional[str]]]", "None", nullptr, false, true},
        kit::Param{"delimiter", "Optional[str]", "None", nullptr, false, true},
        kit::Param{"time_unit", "str", "'us'", nullptr, false, true});
    static const char* const kDoc;

    static Opened<Proto> open(kit::File&, PyObject*, const auto& a) {
        kn::CsvConfig c;
        if (a[2] && a[2] != Py_None) {
            if (PyUnicode_Check(a[2]) || !PySequence_Check(a[2]))
                kit::raise(PyExc_TypeError, "columns must be a sequence of 't', 'x', 'y', 'p' or None, got %s",
                           Py_TYPE(a[2])->tp_name);
            Ref seq = kit::check(PySequence_Fast(a[2], "columns must be a sequence"));
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
            if (n < 4 || n > static_cast<Py_ssize_t>(kn::kCsvMaxColumns))
                kit::raise(PyExc_ValueError, "columns must describe 4 to %zd columns, got %zd",
                           static_cast<Py_ssize_t>(kn::kCsvMaxColumns), n);
            c.n_columns = static_cast<std::size_t>(n);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
                kn::CsvColumn role = kn::CsvColumn::skip;
                if (item != Py_None) {
                    const char* s = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
                    const std::string_view v = s ? s : "";
                    if (v == "t") role = kn::CsvColumn::t;
                    else if (v == "x") role = kn::CsvColumn::x;
                    else if (v == "y") role = kn::CsvColumn::y;
                    else if (v == "p") role = kn::CsvColumn::p;
                    else kit::raise(PyExc_ValueError, "columns must hold 't', 'x', 'y', 'p' or None, got %R", item);
                }
                c.columns[i] = role;
            }
            if (const char* why = kn::csv_config_error(c)) kit::raise(PyExc_ValueError, "columns: %s", why);
        }
        char d;
        c.delimiter = delimiter_of(a[3], false, d);
        const std::string_view unit = a[4] ? PyUnicode_AsUTF8(kit::arg_str(a[4], "time_unit")) : "us";
        if (unit != "us" && unit != "s") kit::raise(PyExc_ValueError, "time_unit must be 'us' or 's', got %R", a[4]);
        c.seconds = unit == "s";
        return {Ref::borrow(Py_None), Ref::borrow(Py_None), 0, c};
    }
};

const char* const Csv::kDoc =
    "Reader of plain-text event files: one event per line, columns t, x, y, p\n"
    "unless columns= gives another order (a sequence naming each column 't',\n"
    "'x', 'y', 'p' or None to skip it; columns after those are ignored). The\n"
    "delimiter is a comma, a tab or whitespace, found in the first event line\n"
    "unless delimiter= fixes it. Blank lines and '#' comments are skipped\n"
    "anywhere, header lines (columns that are not all numbers) before the\n"
    "first event line. t is integer microseconds, or with time_unit='s' a\n"
    "decimal number of seconds (rounded to the nearest microsecond); x and y\n"
    "are integers up to 65535; p is 1, or 0 or -1 (read as 0).\n\n"
    "Iteration yields EVENT_DTYPE chunks of exactly chunk_size events but the\n"
    "last, parsing the file in bounded pieces; each iteration reads the file\n"
    "anew.\n\n"
    "Raises:\n"
    "    ValueError: columns or delimiter not as described. Iteration raises\n"
    "        after every event before the first line that is not one, naming\n"
    "        the line and quoting it.\n";

struct CsvOut {
    static constexpr const char* kName = "CsvWriter";
    static constexpr const char* kQualname = "morvel.io.recordings.CsvWriter";
    static constexpr auto kInit = kit::type_init("CsvWriter", kPathParam,
                                                 kit::Param{"delimiter", "str", "','", nullptr, false, true},
                                                 kit::Param{"header", "bool", "True", nullptr, false, true});
    static constexpr auto kWrite = kit::function("write_csv", "None", kPathParam, kit::Param{"events", "np.ndarray"},
                                                 kit::Param{"delimiter", "str", "','", nullptr, false, true},
                                                 kit::Param{"header", "bool", "True", nullptr, false, true});
    static const char* const kDoc;
    static const char* const kWriteDoc;

    struct State {
        char delimiter = ',';
        bool header = true;  // still to write
        long long n_events = 0;

        std::string head() {
            std::string h;
            if (header) {
                h = std::string("t") + delimiter + "x" + delimiter + "y" + delimiter + "p\n";
                header = false;
            }
            return h;
        }

        std::string encode(PyObject* events) {
            const kit::EventRecords r = kit::event_records(events, 65536);
            for (std::size_t i = 0; i < r.n; ++i) {
                const kn::Event& e = r.data[i];
                const char* why = e.p > 1 ? "p must be 0 or 1" : e.t >> 63 ? "t must be below 2**63" : nullptr;
                if (why) raise_unencodable(n_events + static_cast<long long>(i), e, why);
            }
            std::string out = head();
            const std::size_t at = out.size();
            out.resize(at + kn::csv_encode_bound(r.n));
            std::size_t k;
            {
                kit::MaybeNoGil nogil(r.n * sizeof(kn::Event) >= kit::kReleaseGilBytes);
                k = kn::encode_csv(r.data, r.n, delimiter, out.data() + at);
            }
            out.resize(at + k);
            n_events += static_cast<long long>(r.n);
            return out;
        }
        std::string end() { return head(); }
    };

    static State start(const auto& a, std::size_t first) {
        State s;
        delimiter_of(a[first], true, s.delimiter);
        s.header = kit::arg_bool(a[first + 1], true);
        return s;
    }
    static Ref sensor_size(const auto&, std::size_t) { return Ref::borrow(Py_None); }
};

const char* const CsvOut::kDoc =
    "Streaming writer of plain-text event files as CsvReader reads them: a\n"
    "\"t,x,y,p\" header line (unless header=False), then one \"t,x,y,p\" line\n"
    "per event, t in integer microseconds, with the delimiter given (',', '\\t'\n"
    "or ' '). append() checks a whole array before it writes a byte of it (p 0\n"
    "or 1, t below 2**63) and raises ValueError naming the first event that\n"
    "cannot be written. A context manager; close() is idempotent, append()\n"
    "after it raises ValueError, and a writer dropped without close() still\n"
    "finishes its file.\n";

const char* const CsvOut::kWriteDoc =
    "Write events as a plain-text file (as CsvWriter writes them). Every event\n"
    "is checked and encoded before the file is created; otherwise ValueError\n"
    "names the first event that cannot be written.\n";

}  // namespace

void add_text(PyObject* m) {
    StreamReader<Csv>::add(m);
    StreamWriter<CsvOut>::add(m);
}

}  // namespace morvel::io::recordings
