// morvel.io.ethernet: event arrays cut into UDP datagram payloads, and a
// generator that receives datagrams and yields their events.

#include "kit/buffer.hpp"
#include "kit/kit.hpp"
#include "kit/numpy.hpp"
#include "kernels/datagram.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using kit::Ref;
namespace np = kit::np;
namespace mk = morvel::kernels;

using kit::kReleaseGilBytes;

// The count field of a datagram is an unsigned 32-bit number.
constexpr std::size_t kMaxRecordsPerDatagram = 0xFFFFFFFFu;

// Every UDP payload fits in this many bytes.
constexpr std::size_t kMaxDatagram = 65536;

// The smallest useful receive: one record.
constexpr long long kMinBufferSize = static_cast<long long>(mk::kEventSize);

// Longest single wait of the receiver; pending signals (KeyboardInterrupt)
// are handled between waits even when they were delivered to another thread
// (one that arrives during a wait ends it at once).
constexpr int kWaitSliceMs = 100;

[[noreturn]] void raise_count_overflow(std::size_t n) {
    kit::raise(PyExc_OverflowError, "a datagram holds at most 4294967295 events, got a chunk of %zu", n);
}

// ---------------------------------------------------------------------------
// pack_events_udp

std::size_t checked_max_per_packet(PyObject* o) {
    if (!o) return 1000;
    Ref v = kit::arg_int_exact(o, "max_per_packet");
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (r == -1 && PyErr_Occurred()) kit::raise();
    if (overflow < 0 || (overflow == 0 && r < 1))
        kit::raise(PyExc_ValueError, "max_per_packet must be >= 1, got %S", v.get());
    return overflow > 0 ? SIZE_MAX : static_cast<std::size_t>(r);
}

void write_count(unsigned char* out, std::size_t n) {
    const auto count = static_cast<std::uint32_t>(n);  // little-endian host (see kernels/event.hpp)
    std::memcpy(out, &count, sizeof count);
}

// A one-dimensional ndarray of plain (non-object) records: each datagram is
// allocated once and the header and records are written straight into it.
Ref pack_array(PyArrayObject* a, std::size_t step) {
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const auto itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const auto* base = static_cast<const unsigned char*>(PyArray_DATA(a));
    const std::size_t count = mk::packet_count(n, step);

    Ref list = kit::check(PyList_New(static_cast<Py_ssize_t>(count)));
    std::vector<unsigned char*> out(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t first = k * step;
        const std::size_t records = std::min(step, n - first);
        if (records > kMaxRecordsPerDatagram) raise_count_overflow(records);
        std::size_t size = 0;
        if (!mk::packet_size(records, itemsize, size) || size > static_cast<std::size_t>(PY_SSIZE_T_MAX))
            kit::raise(PyExc_OverflowError, "datagram too large");
        PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (!b) kit::raise();
        out[k] = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), b);
    }

    const bool contiguous = n <= 1 || stride == static_cast<npy_intp>(itemsize);
    {
        kit::MaybeNoGil nogil(n * itemsize >= kReleaseGilBytes);  // fills the datagrams, touches no object
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t first = k * step;
            const std::size_t records = std::min(step, n - first);
            if (contiguous) {
                mk::pack_packet(base + first * itemsize, records, itemsize, out[k]);
                continue;
            }
            // Strided (a view such as events[::2]): the records in array
            // order, as tobytes() gives them.
            write_count(out[k], records);
            unsigned char* dst = out[k] + mk::kDatagramHeaderSize;
            const unsigned char* src = base + static_cast<npy_intp>(first) * stride;
            for (std::size_t i = 0; i < records; ++i, dst += itemsize, src += stride) std::memcpy(dst, src, itemsize);
        }
    }
    return list;
}

// Any other object with a length, slicing and tobytes() on its slices:
// header + events[i:i + step].tobytes() for i in range(0, len(events), step).
Ref pack_generic(PyObject* events, std::size_t step) {
    const Py_ssize_t len = PyObject_Size(events);
    if (len < 0) kit::raise();
    Ref list = kit::check(PyList_New(0));
    const auto pstep = static_cast<Py_ssize_t>(std::min<std::size_t>(step, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; i < len;) {
        const Py_ssize_t stop = pstep > PY_SSIZE_T_MAX - i ? PY_SSIZE_T_MAX : i + pstep;
        Ref slice = kit::check(PySlice_New(kit::from_ssize(i).get(), kit::from_ssize(stop).get(), nullptr));
        Ref chunk = kit::check(PyObject_GetItem(events, slice.get()));
        const Py_ssize_t records = PyObject_Size(chunk.get());
        if (records < 0) kit::raise();
        if (static_cast<std::size_t>(records) > kMaxRecordsPerDatagram)
            raise_count_overflow(static_cast<std::size_t>(records));
        Ref raw = Ref::steal_or_null(kit::call_method_raw(chunk.get(), "tobytes"));
        if (!raw) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) kit::raise();
            PyErr_Clear();
            kit::raise(PyExc_TypeError, "events must be an event array, or slice into objects with tobytes(); got %s",
                       Py_TYPE(events)->tp_name);
        }
        const kit::Buffer body(raw.get(), "can't concat %.100s to bytes");
        if (body.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX) - mk::kDatagramHeaderSize)
            kit::raise(PyExc_OverflowError, "datagram too large");
        Ref packet = kit::check(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(mk::kDatagramHeaderSize + body.size())));
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(packet.get()));
        write_count(out, static_cast<std::size_t>(records));
        if (body.size()) std::memcpy(out + mk::kDatagramHeaderSize, body.data(), body.size());
        kit::check(PyList_Append(list.get(), packet.get()));
        if (stop == PY_SSIZE_T_MAX) break;
        i = stop;
    }
    return list;
}

constexpr auto kPack = kit::function("pack_events_udp", "List[bytes]", kit::Param{"events", "np.ndarray"},
                                     kit::Param{"max_per_packet", "int", "1000", "int"});

// A NumPy array must be one-dimensional and hold event records (fields t,
// x, y, p of 8, 2, 2 and 1 bytes at offsets 0, 8, 10 and 12 of 13-byte
// records, in either byte order): a datagram's count is its number of
// records, and the receiver reads 13-byte records.
void check_event_records(PyArrayObject* a) {
    if (PyArray_NDIM(a) != 1)
        kit::raise(PyExc_ValueError, "events must be one-dimensional, got %d dimensions", PyArray_NDIM(a));
    PyArray_Descr* d = PyArray_DESCR(a);
    bool ok = PyDataType_HASFIELDS(d) && PyDataType_ELSIZE(d) == static_cast<npy_intp>(mk::kEventSize) &&
              PyTuple_GET_SIZE(PyDataType_NAMES(d)) == 4;
    constexpr struct {
        const char* name;
        Py_ssize_t offset, size;
    } kLayout[] = {{"t", 0, 8}, {"x", 8, 2}, {"y", 10, 2}, {"p", 12, 1}};
    for (const auto& f : kLayout) {
        if (!ok) break;
        PyObject* info = PyDict_GetItemString(PyDataType_FIELDS(d), f.name);  // (dtype, offset[, title]), borrowed
        ok = info && PyTuple_Check(info) && PyArray_DescrCheck(PyTuple_GET_ITEM(info, 0)) &&
             PyLong_AsSsize_t(PyTuple_GET_ITEM(info, 1)) == f.offset &&
             PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(info, 0))) == f.size &&
             np::num_type(reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(info, 0)), true).has_value();
    }
    if (!ok)
        kit::raise(PyExc_TypeError, "events must hold event records (fields t, x, y, p of 13-byte records), got dtype %R",
                   kit::as_object(d));
}

PyObject* pack_events_udp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kPack, args, nargs, kwnames);
        PyObject* events = a[0];
        const std::size_t step = checked_max_per_packet(a[1]);
        if (PyArray_Check(events)) {
            auto* arr = np::arr(events);
            check_event_records(arr);
            if (PyArray_CheckExact(events)) return pack_array(arr, step).release();
        }
        return pack_generic(events, step).release();
    });
}

const char* const kPackDoc =
    "Pack MORVEL events into UDP-sized byte packets for network transmission.\n\n"
    "Each packet is a 4-byte little-endian record count followed by the records\n"
    "of its chunk exactly as they lie in the array's memory (13 bytes a record\n"
    "for EVENT_DTYPE): 4 + 13 * n bytes, 13,004 for 1000 events.\n"
    "udp_event_receiver recognises this layout.\n\n"
    "Args:\n"
    "    events: Structured array with fields ('t', 'x', 'y', 'p'). Any object\n"
    "        with a length, slicing and tobytes() on its slices is accepted.\n"
    "    max_per_packet: Maximum events per packet (>= 1). Typically tuned to\n"
    "        keep packets under MTU (1500 bytes): at most 112 events then; the\n"
    "        default of 1000 gives 13,004-byte packets.\n\n"
    "Returns:\n"
    "    List of bytes, in event order: packet k holds events\n"
    "    k * max_per_packet onwards; an empty array gives an empty list.\n\n"
    "Raises:\n"
    "    ValueError: max_per_packet below 1; a NumPy array that is not\n"
    "        one-dimensional.\n"
    "    TypeError: a NumPy array of another record layout than the event\n"
    "        records (13 bytes: t, x, y, p); an object that does not slice\n"
    "        into pieces with tobytes().\n";

// ---------------------------------------------------------------------------
// udp_event_receiver

// The receiver's socket: a `socket.socket` of the interpreter (so that
// creation and bind report its own errors), closed on every way out of the
// generator.
class OwnedSocket {
public:
    explicit OwnedSocket(Ref sock) : sock_(std::move(sock)) {}
    ~OwnedSocket() { kit::call_method_quietly(sock_.get(), "close"); }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    PyObject* get() const noexcept { return sock_.get(); }

private:
    Ref sock_;
};

struct Received {
    std::size_t length;  // bytes of the datagram
    int err;             // 0, EAGAIN (nothing within the wait), EINTR, or a socket error
};

// Receive one datagram, waiting at most the socket's receive time-out, without
// the GIL: a single system call per datagram.
Received receive(int fd, unsigned char* buf, std::size_t cap) {
    kit::NoGil nogil;
    const ssize_t r = ::recv(fd, buf, cap, 0);
    if (r >= 0) return {static_cast<std::size_t>(r), 0};
    const int err = errno;
    return {0, err == EWOULDBLOCK ? EAGAIN : err};
}

// Make the socket block in receives for at most wait_ms at a time.
void set_wait_slice(PyObject* sock, int fd, int wait_ms) {
    kit::call_method(sock, "setblocking", Py_True);
    timeval tv{};
    tv.tv_sec = wait_ms / 1000;
    tv.tv_usec = (wait_ms % 1000) * 1000;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        kit::raise();
    }
}

// KeyboardInterrupt and StopIteration end the receiver quietly.
bool take_quiet_end() {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) && !PyErr_ExceptionMatches(PyExc_StopIteration))
        return false;
    PyErr_Clear();
    return true;
}

kit::Generator receive_events(Ref host, Ref port, std::size_t buffer_size, Ref timeout) {
    Ref socket_mod = kit::import("socket");
    Ref family = kit::getattr(socket_mod.get(), "AF_INET");
    Ref kind = kit::getattr(socket_mod.get(), "SOCK_DGRAM");
    OwnedSocket sock(kit::call(kit::getattr(socket_mod.get(), "socket").get(), family.get(), kind.get()));
    Ref address = kit::check(PyTuple_Pack(2, host.get(), port.get()));
    kit::call_method(sock.get(), "bind", address.get());
    int wait_ms = kWaitSliceMs;
    if (timeout) {
        kit::call_method(sock.get(), "settimeout", timeout.get());  // its own checks (negative, NaN, ...)
        // A time-out only ends one wait and the receiver waits again, so it
        // matters only as the longest wait between signal checks; waits are
        // at least 1 ms so that a zero time-out does not spin.
        const double ms = std::ceil(PyFloat_AS_DOUBLE(timeout.get()) * 1000.0);
        wait_ms = static_cast<int>(std::clamp(ms, 1.0, static_cast<double>(kWaitSliceMs)));
    }
    const int fd = PyObject_AsFileDescriptor(sock.get());
    if (fd < 0) kit::raise();
    set_wait_slice(sock.get(), fd, wait_ms);
    // The whole datagram always fits; only its first buffer_size bytes are used.
    auto buf = std::make_unique_for_overwrite<unsigned char[]>(kMaxDatagram);

    for (;;) {
        const Received r = receive(fd, buf.get(), kMaxDatagram);
        if (r.err == EAGAIN || r.err == EINTR) {
            if (PyErr_CheckSignals() < 0) {
                if (take_quiet_end()) co_return;
                kit::raise();
            }
            continue;
        }
        if (r.err != 0) {
            errno = r.err;
            PyErr_SetFromErrno(PyExc_OSError);
            kit::raise();
        }
        // Counted (header + records) or bare records, told apart on the
        // whole datagram; then only records within the first buffer_size
        // bytes, as a receive of buffer_size bytes would have kept.
        const mk::DatagramView v = mk::parse_datagram(buf.get(), r.length);
        const std::size_t usable = std::min(r.length, buffer_size);
        const std::size_t n =
            usable > v.offset ? std::min(v.n_records, (usable - v.offset) / mk::kEventSize) : 0;
        if (n == 0) continue;
        Ref events = np::empty(static_cast<npy_intp>(n));
        std::memcpy(np::events_data(events), buf.get() + v.offset, n * mk::kEventSize);
        bool quiet_end = false;
        try {
            co_yield std::move(events);
        } catch (const kit::PyError&) {  // thrown in at the yield
            if (!take_quiet_end()) throw;
            quiet_end = true;
        }
        if (quiet_end) co_return;
    }
}

constexpr auto kReceiver = kit::function(
    "udp_event_receiver", "Generator[np.ndarray, None, None]", kit::Param{"host", "str", "'0.0.0.0'", "str"},
    kit::Param{"port", "int", "5000", "int"}, kit::Param{"buffer_size", "int", "65536", "int"},
    kit::Param{"timeout", "Optional[float]", "None", "float"});

PyObject* udp_event_receiver(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kit::guard([&] {
        auto a = kit::parse(kReceiver, args, nargs, kwnames);
        Ref host = a[0] ? Ref::borrow(kit::arg_str(a[0], "host")) : kit::str("0.0.0.0");
        Ref port = a[1] ? kit::arg_int_exact(a[1], "port") : kit::from_ll(5000);
        Ref size = a[2] ? kit::arg_int_exact(a[2], "buffer_size") : kit::from_ll(65536);
        Ref timeout;
        if (a[3] && a[3] != Py_None) timeout = kit::check(PyFloat_FromDouble(kit::arg_float(a[3], "timeout")));

        int overflow = 0;
        const long long bytes = PyLong_AsLongLongAndOverflow(size.get(), &overflow);
        if (bytes == -1 && PyErr_Occurred()) kit::raise();
        if (overflow < 0 || (overflow == 0 && bytes < kMinBufferSize))
            kit::raise(PyExc_ValueError, "buffer_size must be >= 13 (one event record), got %S", size.get());
        const std::size_t buffer_size =
            overflow > 0 ? kMaxDatagram : static_cast<std::size_t>(std::min<long long>(bytes, kMaxDatagram));
        return kit::make_generator(receive_events(std::move(host), std::move(port), buffer_size, std::move(timeout)),
                                   "udp_event_receiver")
            .release();
    });
}

const char* const kReceiverDoc =
    "Receive events via UDP.\n\n"
    "Each UDP packet contains packed events in MORVEL binary format: either the\n"
    "packets of pack_events_udp (a 4-byte little-endian count n, then n records,\n"
    "recognised when the length is 4 + 13 * n) or a bare run of 13-byte\n"
    "EVENT_DTYPE records, whose 0 to 12 trailing bytes are ignored. Packets\n"
    "without a whole record are skipped.\n\n"
    "The socket is created and bound on the first next(), closed when the\n"
    "generator ends, is closed or is collected (the port is free again at\n"
    "once). A time-out never ends the generator: it waits again. A\n"
    "KeyboardInterrupt while waiting ends it quietly; any other error (bind\n"
    "failure, bad host, receive error) propagates after the socket is closed.\n"
    "The GIL is released while waiting.\n\n"
    "Args:\n"
    "    host: Bind address (exactly a str).\n"
    "    port: UDP port.\n"
    "    buffer_size: Maximum packet size in bytes (>= 13); bytes of a packet\n"
    "        beyond it are dropped.\n"
    "    timeout: Socket timeout in seconds, None for blocking.\n\n"
    "Yields:\n"
    "    NumPy structured arrays of events per packet, each an independent copy.\n\n"
    "Raises:\n"
    "    ValueError: buffer_size below 13 (when the generator is created).\n"
    "    OSError: socket errors of the interpreter's socket module, from the\n"
    "        first next() on (socket.gaierror for a bad host).\n";

// ---------------------------------------------------------------------------
// Module

const char* const kModuleDoc =
    "UDP event receiver for MORVEL neuromorphic systems.\n\n"
    "Provides network event streaming for real-time inference from hardware\n"
    "event sources over UDP.\n\n"
    "Note on copies:\n"
    "    The socket layer's kernel-to-user copy at recvfrom is unavoidable. The\n"
    "    array yielded by udp_event_receiver is an additional copy, so callers\n"
    "    may hold references across iterations without aliasing: \"Zero-copy\"\n"
    "    does not apply.\n";

int exec_ethernet(PyObject* m) {
    return kit::guard(
        [&] {
            kit::add(m, "socket", kit::import("socket").get());
            kit::add(m, "struct", kit::import("struct").get());
            kit::add_typing_names(m, {"Generator", "List", "Optional"});
            np::add_event_names(m);
            kit::init_generator_type(m, "morvel.io.ethernet.generator");
            static PyMethodDef defs[] = {
                kit::def(kPack, pack_events_udp, kPackDoc),
                kit::def(kReceiver, udp_event_receiver, kReceiverDoc),
            };
            kit::add_functions(m, defs);
            kit::add(m, "__test__", kit::check(PyDict_New()).get());
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(ethernet, "morvel.io.ethernet", kModuleDoc, exec_ethernet)
