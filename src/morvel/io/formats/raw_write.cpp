// Writing RAW recordings: encode_evt2 / encode_evt3 (events to EVT words,
// kernels/evt_encode.hpp), the streaming RawWriter and the whole-array
// write_raw (EVT 2.0, 2.1 or 3.0).

#include "formats.hpp"

#include "kit/events.hpp"
#include "kit/file.hpp"
#include "kernels/evt_encode.hpp"

#include <optional>
#include <string>

namespace morvel::io::formats {
namespace {
using kit::kReleaseGilBytes;

using Records = kit::EventRecords;

// The events as records for the encoders (kit::event_records: fields of the
// event types as they are, for the encoder to check; others checked against
// the EVT coordinate range first).
Records records_for_encoding(PyObject* events) { return kit::event_records(events, kn::kEvtMaxCoordinate + 1); }

// Encoded bytes of `records`, continuing from the encoder's state. Errors
// name the first event that cannot be encoded (counted from first_index).
template <class Encoder>
Ref encode_records(Encoder& enc, const Records& records, long long first_index = 0) {
    const Event* ev = records.data;
    const std::size_t n = records.n;
    const bool release = n * sizeof(Event) >= kReleaseGilBytes;
    kn::EvtEncodeResult r;
    {
        kit::MaybeNoGil nogil(release);
        r = enc.encoded_size(ev, n);
    }
    if (r.error != kn::EvtEncodeError::none) {
        const Event& e = ev[r.index];
        kit::raise(PyExc_ValueError, "cannot encode event %lld (t=%llu, x=%u, y=%u, p=%u): %s",
                   first_index + static_cast<long long>(r.index), static_cast<unsigned long long>(e.t),
                   unsigned{e.x}, unsigned{e.y}, unsigned{e.p}, kn::evt_encode_error_message(r.error));
    }
    const std::size_t sized = r.bytes;
    Ref out = kit::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sized)));
    {
        kit::MaybeNoGil nogil(release);
        r = enc.encode(ev, n, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get())), sized);
    }
    // The encoder never writes past the size measured; events that changed
    // since (another thread writing the array) are reported, not written.
    if (r.error != kn::EvtEncodeError::none || r.bytes != sized)
        kit::raise(PyExc_RuntimeError, "the events changed while they were being encoded");
    return out;
}

constexpr auto kEncodeEvt2 = kit::function("encode_evt2", "bytes", kit::Param{"events", "np.ndarray"});
constexpr auto kEncodeEvt3 = kit::function("encode_evt3", "bytes", kit::Param{"events", "np.ndarray"});

template <class Encoder>
PyObject* encode_whole(const kit::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(sig, args, nargs, kwnames);
        const Records records = records_for_encoding(a[0]);
        Encoder enc;
        return encode_records(enc, records).release();
    });
}

PyObject* encode_evt2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_whole<kn::Evt2Encoder>(kEncodeEvt2, args, nargs, kwnames);
}

PyObject* encode_evt3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_whole<kn::Evt3Encoder>(kEncodeEvt3, args, nargs, kwnames);
}

// The header a writer puts before the words.
std::string raw_header_text(Fmt fmt, std::uint32_t width, std::uint32_t height) {
    std::string h = std::string("% evt ") + (fmt == Fmt::evt2 ? "2.0" : fmt == Fmt::evt21 ? "2.1" : "3.0") +
                    "\n% format " + fmt_name(fmt);
    if (width) {
        h += ";height=" + std::to_string(height) + ";width=" + std::to_string(width) + "\n% geometry " +
             std::to_string(width) + "x" + std::to_string(height);
    }
    return h + "\n% end\n";
}

// sensor_size for writing: None, or a tuple of two ints in 1..2048 (the
// coordinates the formats carry); width 0 stands for None.
Ref checked_sensor_size(PyObject* arg, std::uint32_t& width, std::uint32_t& height) {
    width = height = 0;
    if (!arg || arg == Py_None) return Ref::borrow(Py_None);
    const kit::SensorSize s = kit::arg_sensor_size(arg);
    if (s.width < 1 || s.width > 2048 || s.height < 1 || s.height > 2048)
        kit::raise(PyExc_ValueError, "sensor_size must be within 1..2048 on both sides, got %R", arg);
    width = static_cast<std::uint32_t>(s.width);
    height = static_cast<std::uint32_t>(s.height);
    return kit::check(Py_BuildValue("(LL)", s.width, s.height));
}

// Header and encoded events for one write, from copies of the encoder state
// (a failed write leaves the state as it was).
struct WriterState {
    kn::Evt2Encoder evt2;
    kn::Evt21Encoder evt21;
    kn::Evt3Encoder evt3;
    Fmt format = Fmt::evt3;
    std::uint32_t width = 0, height = 0;
    long long n_events = 0;

    Ref encode(const Records& records) {
        kit::check_inside_sensor(records, width, height, n_events);
        Ref data;
        if (format == Fmt::evt2) {
            kn::Evt2Encoder enc = evt2;
            data = encode_records(enc, records, n_events);
            evt2 = enc;
        } else if (format == Fmt::evt21) {
            kn::Evt21Encoder enc = evt21;
            data = encode_records(enc, records, n_events);
            evt21 = enc;
        } else {
            kn::Evt3Encoder enc = evt3;
            data = encode_records(enc, records, n_events);
            evt3 = enc;
        }
        n_events += static_cast<long long>(records.n);
        return data;
    }
};

void write_bytes(kit::File& file, const Ref& data) {
    file.write_all(PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
}

struct WriterFields {
    Ref path;
    Ref sensor_size;
    std::optional<kit::File> file;  // empty once closed
    std::optional<WriterState> state;
};

using WriterType = kit::Type<WriterFields, &WriterFields::path, &WriterFields::sensor_size>;
using Writer = WriterType::Self;

Writer* open_writer(PyObject* self_obj) {
    Writer* w = WriterType::of(self_obj);
    if (!w->state) kit::raise(PyExc_RuntimeError, "RawWriter.__init__() was not called");
    if (!w->file) kit::raise(PyExc_ValueError, "I/O operation on closed RawWriter");
    return w;
}

constexpr kit::Param kPathParam{"path", "Union[str, os.PathLike]"};
constexpr kit::Param kFormatParam{"format", "str", "'EVT3'"};
constexpr kit::Param kSensorParam{"sensor_size", "Optional[Tuple[int, int]]", "None"};

constexpr auto kWriterInit = kit::type_init("RawWriter", kPathParam, kFormatParam, kSensorParam);

int writer_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return kit::guard(
        [&] {
            auto a = kit::parse(kWriterInit, args, kwargs);
            Ref path = kit::arg_path(a[0]);
            WriterState state;
            state.format = a[1] ? fmt_from_argument(a[1], "format") : Fmt::evt3;
            Ref size = checked_sensor_size(a[2], state.width, state.height);
            kit::File file(path.get(), kit::File::Write);
            const std::string head = raw_header_text(state.format, state.width, state.height);
            file.write_all(head.data(), head.size());
            Writer* self = WriterType::of(self_obj);  // a second __init__ starts over
            self->path = std::move(path);
            self->sensor_size = std::move(size);
            self->file.emplace(std::move(file));
            self->state = state;
            return 0;
        },
        -1);
}

constexpr auto kWrite = kit::method("write", "None", kit::Param{"events", "np.ndarray"});
constexpr auto kClose = kit::method("close", "None");
constexpr auto kEnter = kit::method("__enter__", "RawWriter");
constexpr auto kExit = kit::method("__exit__", "bool", kit::Param{"*exc_info"});

PyObject* writer_write(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWrite, args, nargs, kwnames);
        Writer* self = open_writer(self_obj);
        const Records records = records_for_encoding(a[0]);
        WriterState next = *self->state;
        Ref data = next.encode(records);
        write_bytes(*self->file, data);
        *self->state = next;
        return kit::none();
    });
}

void close_file(Writer* self) {
    if (!self->file) return;
    kit::File file = std::move(*self->file);
    self->file.reset();
    file.close_checked();
}

PyObject* writer_close(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_file(WriterType::of(self_obj));
        return kit::none();
    });
}

PyObject* writer_enter(PyObject* self_obj, PyObject*) {
    return kit::guard([&] { return kit::new_ref(open_writer(self_obj)); });
}

PyObject* writer_exit(PyObject* self_obj, PyObject*) {
    return kit::guard([&] {
        close_file(WriterType::of(self_obj));
        return kit::boolean(false);
    });
}

PyObject* writer_get_n_events(PyObject* self_obj, void*) {
    const Writer* self = WriterType::of(self_obj);
    return PyLong_FromLongLong(self->state ? self->state->n_events : 0);
}

PyObject* writer_get_format(PyObject* self_obj, void*) {
    const Writer* self = WriterType::of(self_obj);
    return PyUnicode_FromString(fmt_name(self->state ? self->state->format : Fmt::evt3));
}

PyObject* writer_get_closed(PyObject* self_obj, void*) { return kit::boolean(!WriterType::of(self_obj)->file); }

constexpr auto kWriteRaw = kit::function("write_raw", "None", kPathParam, kit::Param{"events", "np.ndarray"},
                                         kFormatParam, kSensorParam);

PyObject* write_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kWriteRaw, args, nargs, kwnames);
        Ref path = kit::arg_path(a[0]);
        WriterState state;
        state.format = a[2] ? fmt_from_argument(a[2], "format") : Fmt::evt3;
        Ref size = checked_sensor_size(a[3], state.width, state.height);
        // Everything is checked and encoded before the file is touched.
        Ref data = state.encode(records_for_encoding(a[1]));
        const std::string head = raw_header_text(state.format, state.width, state.height);
        kit::File file(path.get(), kit::File::Write);
        file.write_all(head.data(), head.size());
        write_bytes(file, data);
        file.close_checked();
        return kit::none();
    });
}

const char* const kWriterDoc =
    "Streaming writer of RAW recordings: the header at creation, then the\n"
    "events of every write() encoded as EVT 2.0, EVT 2.1 or EVT 3.0 words\n"
    "(format \"EVT2\", \"EVT21\" or \"EVT3\"; EVT 2.1 puts the events of one\n"
    "time, row and polarity within 32 columns into one word).\n\n"
    "The header holds ``% evt``, ``% format NAME;height=H;width=W`` and\n"
    "``% geometry WxH`` (the sizes only with a sensor_size) and ``% end``.\n"
    "Events must have non-decreasing t across all writes, coordinates below\n"
    "2048 (and inside sensor_size when given) and p of 0 or 1; write() checks\n"
    "a whole array before it writes a byte of it and raises ValueError naming\n"
    "the first event that cannot be encoded. A context manager; close() is\n"
    "idempotent and write() after it raises ValueError.\n";

const char* const kEncodeEvt2Doc =
    "Encode events as EVT 2.0 words (32-bit little-endian): EVT_TIME_HIGH\n"
    "words when t >> 6 changes, one CD_OFF / CD_ON word per event.\n\n"
    "Events need non-decreasing t, x and y below 2048 and p of 0 or 1;\n"
    "anything else raises ValueError naming the first such event.\n"
    "decode_evt2 of the result gives the same events.\n";

const char* const kEncodeEvt3Doc =
    "Encode events as EVT 3.0 words (16-bit little-endian): time high / low\n"
    "and row words when they change, and runs of events on one row with one\n"
    "time and polarity as VECT_BASE_X + VECT_12 / VECT_8 words.\n\n"
    "Events need non-decreasing t, x and y below 2048 and p of 0 or 1;\n"
    "anything else raises ValueError naming the first such event.\n"
    "decode_evt3 of the result gives the same events.\n";

const char* const kWriteRawDoc =
    "Write events as a RAW recording: a header with ``% evt``, ``% format\n"
    "NAME;height=H;width=W``, ``% geometry WxH`` (sizes only with a\n"
    "sensor_size) and ``% end``, then the EVT 2.0, EVT 2.1 or EVT 3.0 words.\n\n"
    "Every event is checked and encoded before a byte is written: t must not\n"
    "decrease, x and y must be below 2048 (and inside sensor_size when\n"
    "given), p 0 or 1; otherwise ValueError names the first such event and\n"
    "the file is not touched. RawReader reads back the same events.\n";

}  // namespace

void add_raw_writer(PyObject* m) {
    static PyMethodDef methods[] = {
        kit::def(kWrite, writer_write,
                 "Encode and write events (EVENT_DTYPE, or any structured array with\n"
                 "fields t, x, y, p). Nothing of the array is written when one of its\n"
                 "events cannot be encoded (ValueError).\n"),
        kit::def(kClose, writer_close, "Close the file (idempotent).\n"),
        kit::def(kEnter, writer_enter, "Return the writer itself."),
        kit::def(kExit, writer_exit, "Close the writer; exceptions are not suppressed."),
        kit::kEndMethods,
    };
    static PyGetSetDef getset[] = {
        kit::ref_field<WriterFields, &WriterFields::path>("path", "Path of the file."),
        kit::ref_field<WriterFields, &WriterFields::sensor_size>("sensor_size",
                                                                 "(width, height) written to the header, or None."),
        {"n_events", writer_get_n_events, nullptr, "Events written so far.", nullptr},
        {"format", writer_get_format, nullptr, "\"EVT2\", \"EVT21\" or \"EVT3\".", nullptr},
        {"closed", writer_get_closed, nullptr, "True once closed.", nullptr},
        kit::kEndGetSet,
    };
    WriterType::add(m, "morvel.io.formats.RawWriter",
                    {{Py_tp_doc, const_cast<char*>(kit::docstring(kWriterInit, kWriterDoc))},
                     {Py_tp_init, reinterpret_cast<void*>(writer_init)},
                     {Py_tp_methods, methods},
                     {Py_tp_getset, getset}});
    static PyMethodDef defs[] = {
        kit::def(kEncodeEvt2, encode_evt2, kEncodeEvt2Doc),
        kit::def(kEncodeEvt3, encode_evt3, kEncodeEvt3Doc),
        kit::def(kWriteRaw, write_raw, kWriteRawDoc),
    };
    kit::add_functions(m, defs);
}

}  // namespace morvel::io::formats
