// Readers and writers of the formats read by a stream parser
// (kernels/stream_parser.hpp) and written by an encoder: one Python type per
// format, made from the format's description by the templates here.
//
// A reader format F gives
//     using Parser;
//     using Proto;                     // what a parser is made from (copyable; often the parser)
//     static Parser make(const Proto&);
//     static constexpr auto kInit;     // kit::type_init(name, path, chunk_size, its own options...)
//     static constexpr const char* kQualname, *kDoc;
//     static Opened<Proto> open(kit::File&, PyObject* path, const auto& args);  // the header read
// and its readers iterate in EVENT_DTYPE chunks, read_all(), and say what
// the header said (`header`, `sensor_size`, `data_offset`). A format whose
// events are records of a fixed size from the data offset on, with a
// kernels::Scan of its parser (kernels/record_split.hpp), also gives
//     static constexpr std::size_t kRecordBytes;
// and its read_all() decodes the file in pieces on the pool.
//
// A writer format W gives
//     using State;                     // the encoder's state: copyable
//     static constexpr auto kInit;     // kit::type_init(name, path, its options...)
//     static constexpr auto kWrite;    // kit::function(write_name, path, events, its options...)
//     static constexpr const char* kQualname, *kDoc, *kWriteDoc;
//     static State start(const auto& args, std::size_t first_option);  // options checked
//     State::encode(PyObject* events) -> std::string   // checked bytes, or raises (state as it was)
//     State::end() -> std::string                        // bytes at close
//     State::n_events
//     static Ref sensor_size(const auto& args, std::size_t first_option);  // as given, or None
// and its writers append(), close() (idempotent; a writer dropped without
// it still finishes its file), work as context managers, and write_<name>
// writes a whole array, checked and encoded before the file is touched.
#pragma once

#include "recordings.hpp"

#include "kit/chunks.hpp"
#include "kit/file.hpp"
#include "kit/split_file.hpp"
#include "kit/threads.hpp"
#include "kernels/stream_parser.hpp"

#include <optional>
#include <string>

namespace morvel::io::recordings {

template <class Proto>
struct Opened {
    Ref header;       // what the format's header said (str or dict), or None
    Ref sensor_size;  // (width, height) or None
    long long data_offset = 0;
    Proto parser{};   // makes the parser for the first byte of the events
};

inline constexpr std::size_t kStreamPiece = std::size_t{1} << 20;

// The events from `offset` on, in chunks of exactly `chunk` events but the
// last; a parser's error is raised (ValueError) after the events before it.
// With `whole`, the first chunk is allocated at its full size at once (for
// a read whose chunk is a bound of the file's events).
template <class F>
kit::Generator parsed_chunks(Ref path, long long offset, typename F::Proto proto, std::size_t chunk,
                             bool whole = false) {
    kit::File file(path.get());
    kit::Pieces pieces(file, offset, kStreamPiece);
    kit::Parsed<typename F::Parser> src;
    src.parser() = F::make(proto);
    kit::ChunkBuilder chunks(chunk, whole);
    while (!src.parser().failed() && pieces.next()) {
        src.feed(pieces.data(), pieces.size());
        while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
    }
    if (!src.parser().failed()) {
        src.finish();
        while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
    }
    if (Ref last = chunks.finish()) co_yield std::move(last);
    if (src.parser().failed()) {
        const std::string msg = src.parser().error_message();
        kit::raise(PyExc_ValueError, "%S: %s", path.get(), msg.c_str());
    }
}

template <class F>
struct StreamReader {
    using Proto = typename F::Proto;

    struct Fields {
        Ref path, header, sensor_size;
        std::size_t chunk_size = 0;
        long long data_offset = 0;
        std::optional<Proto> parser;  // empty until __init__
    };
    using Type = kit::Type<Fields, &Fields::path, &Fields::header, &Fields::sensor_size>;
    using Self = typename Type::Self;

    static Self* initialised(PyObject* o) {
        Self* r = Type::of(o);
        if (!r->parser) kit::raise(PyExc_RuntimeError, "%s.__init__() was not called", F::kName);
        return r;
    }

    static int init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
        return kit::guard(
            [&] {
                auto a = kit::parse(F::kInit, args, kwargs);
                Ref path = kit::arg_path(a[0]);
                const std::size_t chunk = kit::arg_chunk_size(a[1], 1000000);
                kit::File file(path.get());
                Opened<Proto> o = F::open(file, path.get(), a);
                Self* self = Type::of(self_obj);
                self->path = std::move(path);
                self->header = std::move(o.header);
                self->sensor_size = o.sensor_size ? std::move(o.sensor_size) : Ref::borrow(Py_None);
                self->chunk_size = chunk;
                self->data_offset = o.data_offset;
                self->parser.emplace(std::move(o.parser));
                return 0;
            },
            -1);
    }

    static PyObject* iter(PyObject* self_obj) {
        return kit::guard([&] {
            const Self* self = initialised(self_obj);
            return kit::make_generator(parsed_chunks<F>(self->path.copy(), self->data_offset, *self->parser,
                                                        self->chunk_size),
                                       F::kIterName, self_obj)
                .release();
        });
    }

    // Whole records from the data offset on, in pieces over `threads`
    // threads, each from the state the records before it leave; a record
    // cut by the end of the file raises as iteration does, after them.
    static Ref split_all(const Self* self, kit::File& file, std::size_t body, unsigned threads) {
        constexpr std::size_t N = F::kRecordBytes;
        const std::size_t whole = body / N * N;
        const std::size_t stride = std::max<std::size_t>(1, kit::kMinSplitBytes / N) * N;
        const typename F::Parser start = F::make(*self->parser);
        const auto plan = kit::plan_file(file, self->data_offset, start, kit::stride_cuts(whole, stride), threads);
        Ref out = kit::decode_file(file, self->data_offset, plan, 0, plan.pieces(), threads);
        if (whole != body) {
            const auto at = static_cast<unsigned long long>(self->data_offset) + whole;
            const std::string msg = morvel::kernels::cut_record(body - whole, at);
            kit::raise(PyExc_ValueError, "%S: %s", self->path.get(), msg.c_str());
        }
        return out;
    }

    static PyObject* read_all(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return kit::guard([&] {
            auto a = kit::parse(kReadAll, args, nargs, kwnames);
            const Self* self = initialised(self_obj);
            const unsigned threads = kit::arg_threads(a[0]);
            kit::File file(self->path.get());
            const long long size = file.size();
            const std::size_t body = size > self->data_offset ? static_cast<std::size_t>(size - self->data_offset) : 0;
            if constexpr (requires { F::kRecordBytes; })
                if (threads > 1 && body >= 2 * kit::kMinSplitBytes) return split_all(self, file, body, threads).release();
            // One array for a bound of the events the file can hold, filled
            // in place and cut to what it holds (untouched memory costs
            // nothing); files too large for that grow their array instead.
            const std::size_t bound = F::make(*self->parser).max_events(body) + body / kStreamPiece + 4;
            const bool whole = bound <= kit::whole_read_limit();
            constexpr std::size_t kAll = std::size_t{1} << 48;
            Ref gen = kit::make_generator(parsed_chunks<F>(self->path.copy(), self->data_offset, *self->parser,
                                                           whole ? bound : kAll, whole),
                                          F::kIterName);
            return kit::joined_chunks(gen.get()).release();
        });
    }

    static constexpr auto kReadAll = kit::method("read_all", "np.ndarray", kit::kThreads);

    static void add(PyObject* m, std::initializer_list<PyGetSetDef> extra = {}) {
        static PyMethodDef methods[] = {
            kit::def(kReadAll, read_all,
                     "Read every event of the file into one array (the whole recording in\n"
                     "memory: iterate for large files). A damaged file raises ValueError.\n"
                     "Files of fixed-size records (AEDAT 2.0, ATIS) are decoded in pieces\n"
                     "on up to ``threads`` threads (default: the cores this process may\n"
                     "use); the events are the same for every count. Other formats read\n"
                     "on one thread.\n"),
            kit::kEndMethods,
        };
        static std::vector<PyGetSetDef> getset = [&] {
            std::vector<PyGetSetDef> g = {
                kit::ref_field<Fields, &Fields::path>("path", "Path of the file."),
                kit::ref_field<Fields, &Fields::header>("header", "What the file's header says."),
                kit::ref_field<Fields, &Fields::sensor_size>("sensor_size", "(width, height), or None."),
                kit::int_field<Fields, &Fields::data_offset>("data_offset", "Byte offset of the first event byte."),
                kit::int_field<Fields, &Fields::chunk_size>("chunk_size", "Events per chunk."),
            };
            g.insert(g.end(), extra.begin(), extra.end());
            g.push_back(kit::kEndGetSet);
            return g;
        }();
        Type::add(m, F::kQualname,
                  {{Py_tp_doc, const_cast<char*>(kit::docstring(F::kInit, F::kDoc))},
                   {Py_tp_init, reinterpret_cast<void*>(init)},
                   {Py_tp_iter, reinterpret_cast<void*>(iter)},
                   {Py_tp_methods, methods},
                   {Py_tp_getset, getset.data()}});
    }
};

template <class W>
struct StreamWriter {
    using State = typename W::State;

    struct Fields {
        Ref path, sensor_size;
        std::optional<kit::File> file;  // empty once closed
        std::optional<State> state;
    };
    using Type = kit::Type<Fields, &Fields::path, &Fields::sensor_size>;
    using Self = typename Type::Self;

    static Self* open_writer(PyObject* o) {
        Self* w = Type::of(o);
        if (!w->state) kit::raise(PyExc_RuntimeError, "%s.__init__() was not called", W::kName);
        if (!w->file) kit::raise(PyExc_ValueError, "I/O operation on closed %s", W::kName);
        return w;
    }

    static void write_bytes(kit::File& f, const std::string& s) { f.write_all(s.data(), s.size()); }

    static int init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
        return kit::guard(
            [&] {
                auto a = kit::parse(W::kInit, args, kwargs);
                Ref path = kit::arg_path(a[0]);
                State state = W::start(a, 1);
                Ref size = W::sensor_size(a, 1);
                kit::File file(path.get(), kit::File::Write);
                Self* self = Type::of(self_obj);
                self->path = std::move(path);
                self->sensor_size = std::move(size);
                self->file.emplace(std::move(file));
                self->state.emplace(std::move(state));
                return 0;
            },
            -1);
    }

    static PyObject* append(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return kit::guard([&] {
            auto a = kit::parse(kAppend, args, nargs, kwnames);
            Self* self = open_writer(self_obj);
            State next = *self->state;
            const std::string bytes = next.encode(a[0]);
            write_bytes(*self->file, bytes);
            *self->state = std::move(next);
            return kit::none();
        });
    }

    static void close_file(Self* self) {
        if (!self->file) return;
        kit::File file = std::move(*self->file);
        self->file.reset();
        if (self->state) write_bytes(file, self->state->end());
        file.close_checked();
    }

    static PyObject* close(PyObject* self_obj, PyObject*) {
        return kit::guard([&] {
            close_file(Type::of(self_obj));
            return kit::none();
        });
    }
    static PyObject* enter(PyObject* self_obj, PyObject*) {
        return kit::guard([&] { return kit::new_ref(open_writer(self_obj)); });
    }
    static PyObject* exit(PyObject* self_obj, PyObject*) {
        return kit::guard([&] {
            close_file(Type::of(self_obj));
            return kit::boolean(false);
        });
    }
    static void finalize(PyObject* self_obj) {
        Self* w = Type::of(self_obj);
        if (!w->file) return;
        kit::KeepError keep;
        if (!kit::guard([&] { close_file(w); return true; }, false)) PyErr_WriteUnraisable(self_obj);
    }
    static PyObject* get_n_events(PyObject* self_obj, void*) {
        const Self* self = Type::of(self_obj);
        return PyLong_FromLongLong(self->state ? self->state->n_events : 0);
    }
    static PyObject* get_closed(PyObject* self_obj, void*) { return kit::boolean(!Type::of(self_obj)->file); }

    // write_<format>(path, events, options...): all checked and encoded
    // before the file is created.
    static PyObject* write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return kit::guard([&] {
            auto a = kit::parse(W::kWrite, args, nargs, kwnames);
            Ref path = kit::arg_path(a[0]);
            State state = W::start(a, 2);
            std::string bytes = state.encode(a[1]);
            bytes += state.end();
            kit::File file(path.get(), kit::File::Write);
            write_bytes(file, bytes);
            file.close_checked();
            return kit::none();
        });
    }

    static constexpr auto kAppend = kit::method("append", "None", kit::Param{"events", "np.ndarray"});
    static constexpr auto kClose = kit::method("close", "None");
    static constexpr auto kExit = kit::method("__exit__", "bool", kit::Param{"*exc_info"});

    static void add(PyObject* m) {
        static constexpr auto kEnter = kit::method("__enter__", W::kName);
        static PyMethodDef methods[] = {
            kit::def(kAppend, append,
                     "Check and write events (EVENT_DTYPE, or any structured array with\n"
                     "fields t, x, y, p). Nothing of the array is written when one of its\n"
                     "events cannot be written (ValueError).\n"),
            kit::def(kClose, close, "Finish and close the file (idempotent).\n"),
            kit::def(kEnter, enter, "Return the writer itself."),
            kit::def(kExit, exit, "Close the writer; exceptions are not suppressed."),
            kit::kEndMethods,
        };
        static PyGetSetDef getset[] = {
            kit::ref_field<Fields, &Fields::path>("path", "Path of the file."),
            kit::ref_field<Fields, &Fields::sensor_size>("sensor_size", "(width, height) given, or None."),
            {"n_events", get_n_events, nullptr, "Events written so far.", nullptr},
            {"closed", get_closed, nullptr, "True once closed.", nullptr},
            kit::kEndGetSet,
        };
        Type::add(m, W::kQualname,
                  {{Py_tp_doc, const_cast<char*>(kit::docstring(W::kInit, W::kDoc))},
                   {Py_tp_init, reinterpret_cast<void*>(init)},
                   {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
                   {Py_tp_methods, methods},
                   {Py_tp_getset, getset}});
        static PyMethodDef defs[] = {kit::def(W::kWrite, write, W::kWriteDoc)};
        kit::add_functions(m, defs);
    }
};

}  // namespace morvel::io::recordings
