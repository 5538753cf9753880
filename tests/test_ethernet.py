"""UDP event datagrams: pack_events_udp and udp_event_receiver over real
sockets on 127.0.0.1 (ephemeral ports, every wait bounded)."""

import errno
import gc
import inspect
import os
import signal
import socket
import struct
import threading
import time

import numpy as np
import pytest

from morvel.io import ethernet
from morvel.io.ethernet import pack_events_udp, udp_event_receiver
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events, run_python

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
SENTINEL = b"\xff" * 13  # one bare record that no test sends otherwise


# --- helpers ------------------------------------------------------------------


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_bound(port: int) -> bool:
    with open("/proc/net/udp") as f:
        next(f)
        return any(int(line.split()[1].split(":")[1], 16) == port for line in f)


def wait_bound(port: int, timeout: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if port_bound(port):
            return True
        time.sleep(0.002)
    return False


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


class Sender(threading.Thread):
    """Sends datagrams to a receiver once it is bound, then the sentinel every
    0.1 s until stopped (at most 10 s). With a window, at most that many
    datagrams are in flight: the consumer calls `took()` for each."""

    def __init__(self, port, datagrams, window=None, delay=0.0, yields=None):
        super().__init__(daemon=True)
        self.port, self.datagrams, self.delay = port, list(datagrams), delay
        self.yields = yields or [True] * len(self.datagrams)  # only these take a slot of the window
        self.slots = threading.Semaphore(window) if window else None
        self.done = threading.Event()
        self.start()

    def run(self):
        if not wait_bound(self.port):
            return
        time.sleep(self.delay)
        addr = ("127.0.0.1", self.port)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for d, counts in zip(self.datagrams, self.yields):
                if self.slots and counts and not self.slots.acquire(timeout=10):
                    return
                s.sendto(d, addr)
            for _ in range(100):
                s.sendto(SENTINEL, addr)
                if self.done.wait(0.1):
                    return

    def took(self):
        if self.slots:
            self.slots.release()

    def stop(self):
        self.done.set()
        self.join(5)


def collect(gen, sender):
    """Arrays yielded before the sentinel."""
    out = []
    try:
        for arr in gen:
            if arr.tobytes() == SENTINEL:
                return out
            out.append(arr)
            sender.took()
    finally:
        sender.stop()
    raise AssertionError("receiver ended before the sentinel")


@pytest.fixture(autouse=True)
def watchdog():
    """A hung receive fails the test instead of hanging the run: the receiver
    handles signals between waits, and this one raises."""

    class Hung(Exception):
        pass

    def fire(signum, frame):
        raise Hung("test took more than 30 s")

    old = signal.signal(signal.SIGALRM, fire)
    signal.setitimer(signal.ITIMER_REAL, 30)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


def receive(datagrams, window=None, yields=None, **kwargs):
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port, **kwargs)
    sender = Sender(port, datagrams, window, yields=yields)
    try:
        return collect(gen, sender)
    finally:
        gen.close()


def reference_pack(events, max_per_packet=1000):
    return [struct.pack("<I", len(events[i:i + max_per_packet])) + events[i:i + max_per_packet].tobytes()
            for i in range(0, len(events), max_per_packet)]


def reference_parse(data: bytes, buffer_size: int = 65536) -> np.ndarray:
    """The receiver's reading of one datagram, in plain Python."""
    offset, n = 0, len(data) // 13
    if len(data) % 13 == 4 and struct.unpack_from("<I", data)[0] == (len(data) - 4) // 13:
        offset, n = 4, (len(data) - 4) // 13
    usable = min(len(data), buffer_size)
    n = min(n, max(usable - offset, 0) // 13)
    return np.frombuffer(data[offset:offset + 13 * n], dtype=EVENT_DTYPE)


# --- module ---------------------------------------------------------------------


def test_module_names_and_docs():
    names = [n for n in vars(ethernet) if not n.startswith("__") or n == "__test__"]
    assert names == [
        "socket", "struct", "Generator", "List", "Optional", "np", "EVENT_DTYPE",
        "pack_events_udp", "udp_event_receiver", "__test__",
    ]
    assert ethernet.socket is socket and ethernet.struct is struct and ethernet.EVENT_DTYPE is EVENT_DTYPE
    assert ethernet.__doc__.startswith("UDP event receiver for MORVEL neuromorphic systems.")
    assert "Note on copies" in ethernet.__doc__
    assert pack_events_udp.__doc__.startswith(
        "pack_events_udp(events: np.ndarray, int max_per_packet: int = 1000) -> List[bytes]\n\n"
        "Pack MORVEL events into UDP-sized byte packets for network transmission."
    )
    assert udp_event_receiver.__doc__.startswith(
        "udp_event_receiver(str host: str = '0.0.0.0', int port: int = 5000, int buffer_size: int = 65536, "
        "float timeout: Optional[float] = None) -> Generator[np.ndarray, None, None]\n\nReceive events via UDP."
    )
    assert str(inspect.signature(pack_events_udp)) == "(events, max_per_packet=1000)"
    assert str(inspect.signature(udp_event_receiver)) == "(host='0.0.0.0', port=5000, buffer_size=65536, timeout=None)"


# --- pack_events_udp ------------------------------------------------------------


def test_pack_documented_layout():
    ev = make_events(2500)
    packets = pack_events_udp(ev)
    assert [len(p) for p in packets] == [13004, 13004, 6504]
    assert [p[:4] for p in packets] == [b"\xe8\x03\x00\x00", b"\xe8\x03\x00\x00", b"\xf4\x01\x00\x00"]
    assert b"".join(p[4:] for p in packets) == ev.tobytes()
    assert all(type(p) is bytes for p in packets)
    assert pack_events_udp(ev[:0]) == []


@pytest.mark.parametrize(
    "make, max_per_packet",
    [
        (lambda ev: ev, 1000),
        (lambda ev: ev, 1),
        (lambda ev: ev, 7),
        (lambda ev: ev, 10**30),  # one packet: a step beyond any length
        (lambda ev: ev[::3], 100),  # strided view
        (lambda ev: ev[::-1], 333),
        (lambda ev: ev["t"], 64),  # another record type, strided
        (lambda ev: ev.astype(EVENT_DTYPE.newbyteorder(">")), 500),  # raw bytes as they lie
        (lambda ev: np.frombuffer(b"\0" + ev.tobytes(), EVENT_DTYPE, offset=1), 256),  # unaligned
        (lambda ev: ev.view(np.recarray), 300),  # subclass: through slicing and tobytes()
        (lambda ev: ev[:1000].view(np.uint8).reshape(1000, 13), 64),  # 2-D: rows are the records
        (lambda ev: np.zeros(10, dtype="V0"), 3),  # records of no bytes
        (lambda ev: ev[:0], 5),
    ],
)
def test_pack_matches_reference(make, max_per_packet):
    src = make(make_events(2000, seed=4))
    expected = reference_pack(src, min(max_per_packet, 2**40))
    assert pack_events_udp(src, max_per_packet) == expected


def test_pack_large_array_packets_are_independent():
    ev = make_events(200_000)  # 2.6 MB: filled without the GIL
    packets = pack_events_udp(ev, max_per_packet=1000)
    assert packets == reference_pack(ev)
    ev["x"] = 0
    assert packets == reference_pack(make_events(200_000))


@pytest.mark.parametrize("value, step", [(2.9, 2), (np.int64(3), 3), (True, 1), (np.float32(4.5), 4)])
def test_pack_max_per_packet_converts_with_int(value, step):
    ev = make_events(10)
    assert pack_events_udp(ev, max_per_packet=value) == reference_pack(ev, step)


@pytest.mark.parametrize("value", [0, -1, 0.5, -(10**30), False])
def test_pack_refuses_max_per_packet_below_one(value):
    with pytest.raises(ValueError, match=r"^max_per_packet must be >= 1, got -?\d+$"):
        pack_events_udp(make_events(10), value)


def test_pack_generic_objects():
    class Records:
        """Length, slicing and tobytes(): all that packing needs."""

        def __init__(self, data):
            self.data = data

        def __len__(self):
            return len(self.data) // 2

        def __getitem__(self, s):
            return Records(self.data[2 * s.start:2 * min(s.stop, len(self))])

        def tobytes(self):
            return bytearray(self.data)  # any buffer joins the header, as bytes + buffer would

    assert pack_events_udp(Records(b"abcdefg"), 2) == [b"\x02\0\0\0abcd", b"\x01\0\0\0ef"]
    assert pack_events_udp([], 3) == []
    with pytest.raises(AttributeError, match="tobytes"):
        pack_events_udp([(1, 2, 3, 1)])
    with pytest.raises(TypeError, match="has no len"):
        pack_events_udp(5)
    class Text:
        def __len__(self):
            return 1

        def __getitem__(self, s):
            return self

        def tobytes(self):
            return "text"

    with pytest.raises(TypeError, match="^can't concat str to bytes$"):
        pack_events_udp(Text())


def test_pack_refuses_a_count_beyond_32_bits():
    class Huge:
        def __len__(self):
            return 2**32

        def __getitem__(self, s):
            return self

        def tobytes(self):
            raise AssertionError("the count is checked first")

    with pytest.raises(OverflowError, match="at most 4294967295 events"):
        pack_events_udp(Huge(), 2**33)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pack_events_udp(), "pack_events_udp() takes at least 1 positional argument (0 given)"),
        (lambda: pack_events_udp(1, 2, 3), "pack_events_udp() takes at most 2 positional arguments (3 given)"),
        (lambda: pack_events_udp([], size=2), "pack_events_udp() got an unexpected keyword argument 'size'"),
        (lambda: udp_event_receiver("a", 1, 2, 3, 4),
         "udp_event_receiver() takes at most 4 positional arguments (5 given)"),
        (lambda: udp_event_receiver(port=1, portt=2), "udp_event_receiver() got an unexpected keyword argument 'portt'"),
        (lambda: pack_events_udp([], "5"), TYPE_MSG.format("max_per_packet", "int", "str")),
        (lambda: pack_events_udp([], None), TYPE_MSG.format("max_per_packet", "int", "NoneType")),
        (lambda: udp_event_receiver(None), TYPE_MSG.format("host", "str", "NoneType")),
        (lambda: udp_event_receiver(b"127.0.0.1"), TYPE_MSG.format("host", "str", "bytes")),
        (lambda: udp_event_receiver(type("S", (str,), {})("x")), TYPE_MSG.format("host", "str", "S")),
        (lambda: udp_event_receiver(port="5000"), TYPE_MSG.format("port", "int", "str")),
        (lambda: udp_event_receiver(buffer_size=None), TYPE_MSG.format("buffer_size", "int", "NoneType")),
        (lambda: udp_event_receiver(timeout="1"), TYPE_MSG.format("timeout", "float", "str")),
    ],
)
def test_argument_errors(call, message):
    fds = open_fds()
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message
    assert open_fds() == fds  # refused before any socket exists


@pytest.mark.parametrize("size", [12, 0, -1, -(10**30)])
def test_receiver_refuses_buffer_below_one_record(size):
    with pytest.raises(ValueError, match=r"^buffer_size must be >= 13 \(one event record\), got -?\d+$"):
        udp_event_receiver(buffer_size=size)


# --- receiving ------------------------------------------------------------------


@pytest.mark.parametrize("n, max_per_packet", [(1, 1000), (2500, 1000), (5000, 115), (300, 1), (4000, 5041)])
def test_round_trip(n, max_per_packet):
    ev = make_events(n, seed=n)
    packets = pack_events_udp(ev, max_per_packet)
    got = receive(packets, window=8)
    assert [len(a) for a in got] == [len(p) // 13 for p in packets]
    assert np.array_equal(np.concatenate(got), ev)
    assert all(a.dtype == EVENT_DTYPE and a.flags.owndata and a.flags.writeable for a in got)


def test_bare_and_ragged_datagrams():
    ev = make_events(10, seed=2)
    ev["t"] += 10**12  # no prefix of the records reads as a count
    raw = ev.tobytes()
    datagrams = [raw[:12], raw[:13], raw[:30], b"", raw[:4], raw[:26], raw[:129]]
    got = receive(datagrams)
    expected = [reference_parse(d) for d in datagrams if len(d) >= 13]
    assert [len(a) for a in got] == [1, 2, 2, 9]
    assert all(np.array_equal(a, e) for a, e in zip(got, expected, strict=True))


@pytest.mark.parametrize(
    "datagram, offset, n",
    [
        (struct.pack("<I", 2) + bytes(26), 4, 2),  # counted
        (struct.pack("<I", 3) + bytes(26), 0, 2),  # 30 bytes, count disagrees: bare
        (struct.pack("<I", 0), 0, 0),  # an empty counted datagram: nothing
        (struct.pack("<I", 1) + bytes(13) + b"x", 0, 1),  # 18 bytes: not 4 + 13n, bare
        (struct.pack("<I", 4) + bytes(4 * 13 + 13), 0, 5),  # 69 bytes = 13 * 5 + 4, count 4 != 5: bare
    ],
)
def test_counted_or_bare(datagram, offset, n):
    got = receive([datagram])
    if n == 0:
        assert got == []
    else:
        assert len(got) == 1 and got[0].tobytes() == datagram[offset:offset + 13 * n]


@pytest.mark.parametrize("buffer_size, n", [(1000, 76), (13, 0), (17, 1), (13004, 1000), (10**30, 1000)])
def test_buffer_size_truncates_counted_datagrams_at_a_record(buffer_size, n):
    ev = make_events(1000)
    (packet,) = pack_events_udp(ev)
    got = receive([packet], buffer_size=buffer_size)
    if n == 0:
        assert got == []
    else:
        assert len(got) == 1 and np.array_equal(got[0], ev[:n])


def test_buffer_size_truncates_bare_datagrams():
    raw = make_events(10).tobytes()
    got = receive([raw], buffer_size=50)
    assert len(got) == 1 and got[0].tobytes() == raw[:39]


def test_burst_of_thousands_of_datagrams():
    rng = np.random.default_rng(1)
    sizes = rng.integers(1, 60, 3000)
    ev = make_events(int(sizes.sum()), seed=3)
    cuts = np.cumsum(sizes)[:-1]
    chunks = np.split(ev, cuts)
    datagrams = [pack_events_udp(c, 10**6)[0] if i % 2 else c.tobytes() for i, c in enumerate(chunks)]
    got = receive(datagrams, window=64)
    assert len(got) == 3000
    assert np.array_equal(np.concatenate(got), ev)
    assert not any(np.shares_memory(a, b) for a, b in zip(got, got[1:]))


def test_any_datagram_content_and_length():
    rng = np.random.default_rng(7)
    lengths = [0, 1, 3, 4, 5, 12, 13, 14, 16, 17, 30, 65507, 65500, 4 + 13 * 5038, 13 * 5039]
    lengths += rng.integers(0, 65508, 40).tolist()
    datagrams = []
    for k, n in enumerate(lengths):
        d = bytearray(rng.integers(0, 256, n, dtype=np.uint8).tobytes())
        if k % 3 == 0 and n >= 4 and n % 13 == 4:
            d[:4] = struct.pack("<I", (n - 4) // 13)  # a valid count now and then
        if d[:13] == SENTINEL:
            d[0] = 0
        datagrams.append(bytes(d))
    for buffer_size in (65536, 1000):
        parsed = [reference_parse(d, buffer_size) for d in datagrams]
        # two large datagrams in flight at most: the socket's queue never overflows
        got = receive(datagrams, window=2, yields=[len(e) > 0 for e in parsed], buffer_size=buffer_size)
        expected = [e for e in parsed if len(e)]
        assert len(got) == len(expected)
        assert all(a.tobytes() == e.tobytes() for a, e in zip(got, expected))


def test_port_converts_with_int():
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port + 0.7, timeout=1)
    sender = Sender(port, [SENTINEL])
    try:
        assert collect(gen, sender) == []
    finally:
        gen.close()


# --- life cycle -----------------------------------------------------------------


def test_socket_only_from_first_next_and_port_free_at_once_after_close():
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port)
    assert not port_bound(port)  # nothing before the first next()
    raw = make_events(1).tobytes()
    sender = Sender(port, [raw])
    assert next(gen).tobytes() == raw
    assert port_bound(port)
    gen.close()
    sender.stop()
    assert not port_bound(port)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", port))  # free again at once
    # and a new receiver on the same port works
    assert receive_on(port, [raw]) == [raw]


def receive_on(port, datagrams):
    gen = udp_event_receiver("127.0.0.1", port)
    try:
        return [a.tobytes() for a in collect(gen, Sender(port, datagrams))]
    finally:
        gen.close()


def test_dropped_generators_release_their_sockets():
    fds = open_fds()
    port = free_port()
    for _ in range(20):
        gen = udp_event_receiver("127.0.0.1", port)
        sender = Sender(port, [SENTINEL])
        next(gen)
        sender.stop()
        del gen  # suspended at a yield, never closed
        assert not port_bound(port)
    gc.collect()
    assert open_fds() == fds


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        (dict(host="no-such-host.invalid"), socket.gaierror, None),
        (dict(port=70000), OverflowError, "port must be 0-65535"),
        (dict(port=-1), OverflowError, "port must be 0-65535"),
        (dict(timeout=-1), ValueError, "Timeout value out of range"),
        (dict(timeout=float("nan")), ValueError, "NaN"),
    ],
)
def test_errors_surface_at_first_next_and_close_the_socket(kwargs, exc, match):
    fds = open_fds()
    gen = udp_event_receiver(**{"host": "127.0.0.1", "port": free_port(), **kwargs})
    with pytest.raises(exc, match=match):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    assert open_fds() == fds


def test_address_in_use():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        gen = udp_event_receiver("127.0.0.1", s.getsockname()[1])
        with pytest.raises(OSError) as err:
            next(gen)
        assert err.value.errno == errno.EADDRINUSE


@pytest.mark.parametrize("timeout", [0.05, 0, 1e-6])
def test_timeouts_never_end_the_receiver(timeout):
    raw = make_events(3).tobytes()
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port, timeout=timeout)
    sender = Sender(port, [raw], delay=0.5)  # several time-outs pass first
    try:
        assert next(gen).tobytes() == raw
    finally:
        sender.stop()
        gen.close()


def test_gil_is_released_while_waiting():
    count = [0]
    running = threading.Event()
    running.set()

    def spin():
        while running.is_set():
            count[0] += 1

    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    port = free_port()
    seen = []

    class Measuring(Sender):
        def run(self):
            wait_bound(self.port)
            c0 = count[0]
            time.sleep(0.3)  # the main thread is blocked in next() meanwhile
            seen.append(count[0] - c0)
            super().run()

    gen = udp_event_receiver("127.0.0.1", port)
    sender = Measuring(port, [SENTINEL])
    try:
        next(gen)
    finally:
        running.clear()
        sender.stop()
        gen.close()
    assert seen and seen[0] > 10_000


def test_exceptions_thrown_in_at_a_yield():
    port = free_port()
    raw = make_events(1).tobytes()
    for exc, quiet in ((KeyboardInterrupt, True), (StopIteration, True), (ValueError("boom"), False)):
        gen = udp_event_receiver("127.0.0.1", port)
        sender = Sender(port, [raw])
        next(gen)
        if quiet:
            with pytest.raises(StopIteration):
                gen.throw(exc)
        else:
            with pytest.raises(ValueError, match="boom"):
                gen.throw(exc)
        sender.stop()
        assert not port_bound(port)


def test_error_from_a_signal_handler_while_waiting_propagates():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    old = signal.signal(signal.SIGUSR1, handler)
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port)
    main = threading.get_ident()
    timer = threading.Timer(0.2, lambda: wait_bound(port) and signal.pthread_kill(main, signal.SIGUSR1))
    timer.start()
    try:
        with pytest.raises(Stop):
            next(gen)
        assert not port_bound(port)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)


@pytest.mark.parametrize(
    "timeout, kill",
    [
        ("None", "signal.pthread_kill(main, signal.SIGINT)"),
        ("0.2", "os.kill(os.getpid(), signal.SIGINT)"),
        ("None", "os.kill(os.getpid(), signal.SIGINT)"),
    ],
)
def test_keyboard_interrupt_ends_the_receiver_quietly(timeout, kill):
    # In a child process, so that a stray interrupt cannot reach the test run.
    proc = run_python(
        f"""
        import os, signal, socket, threading, time
        from morvel.io.ethernet import udp_event_receiver
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        main = threading.get_ident()
        def interrupt():
            time.sleep(0.3)
            {kill}
        gen = udp_event_receiver("127.0.0.1", port, timeout={timeout})
        threading.Thread(target=interrupt).start()
        t0 = time.monotonic()
        print(list(gen), time.monotonic() - t0 < 5)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", port))
        print("port free")
        """
    )
    assert proc.stdout.split("\n")[:2] == ["[] True", "port free"], proc.stderr
    assert proc.returncode == 0


def test_generator_protocol():
    gen = udp_event_receiver("127.0.0.1", free_port())
    assert repr(gen).startswith("<generator object udp_event_receiver at ")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        gen.send(1)
    gen.close()
    with pytest.raises(StopIteration):
        next(gen)
