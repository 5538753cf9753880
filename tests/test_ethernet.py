"""UDP event datagrams: pack_events_udp and udp_event_receiver over real
sockets on 127.0.0.1 (ephemeral ports, every wait bounded)."""

import errno
import gc
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

SENTINEL = b"\xff" * 13  # one bare record that no test sends otherwise


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_bound(port: int) -> bool:
    with open("/proc/net/udp") as f:
        next(f)
        return any(int(line.split()[1].split(":")[1], 16) == port for line in f)


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


class Sender(threading.Thread):
    """Sends datagrams once the receiver is bound, then the sentinel every
    0.1 s until stopped. With a window, at most that many datagrams that yield
    (`yields`) are in flight, so the socket's queue never overflows; the
    consumer calls took() for each array."""

    def __init__(self, port, datagrams, window=None, delay=0.0, yields=None):
        super().__init__(daemon=True)
        self.port, self.datagrams, self.delay = port, list(datagrams), delay
        self.yields = yields or [True] * len(self.datagrams)
        self.slots = threading.Semaphore(window) if window else None
        self.done = threading.Event()
        self.start()

    def run(self):
        deadline = time.monotonic() + 5
        while not port_bound(self.port):
            if time.monotonic() > deadline:
                return
            time.sleep(0.002)
        time.sleep(self.delay)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for d, counts in zip(self.datagrams, self.yields):
                if self.slots and counts and not self.slots.acquire(timeout=10):
                    return
                s.sendto(d, ("127.0.0.1", self.port))
            for _ in range(100):
                s.sendto(SENTINEL, ("127.0.0.1", self.port))
                if self.done.wait(0.1):
                    return

    def took(self):
        if self.slots:
            self.slots.release()

    def stop(self):
        self.done.set()
        self.join(5)


@pytest.fixture(autouse=True)
def watchdog():
    """A hung receive fails the test: the receiver handles signals between waits."""

    def fire(signum, frame):
        raise TimeoutError("test took more than 30 s")

    old = signal.signal(signal.SIGALRM, fire)
    signal.setitimer(signal.ITIMER_REAL, 30)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


def receive(datagrams, window=None, yields=None, port=None, **kwargs):
    """The arrays a receiver yields for `datagrams` (up to the sentinel)."""
    port = port or free_port()
    gen = udp_event_receiver("127.0.0.1", port, **kwargs)
    sender = Sender(port, datagrams, window, yields=yields)
    out = []
    try:
        for arr in gen:
            if arr.tobytes() == SENTINEL:
                return out
            out.append(arr)
            sender.took()
    finally:
        sender.stop()
        gen.close()
    raise AssertionError("receiver ended before the sentinel")


def reference_pack(events, max_per_packet=1000):
    return [struct.pack("<I", len(events[i:i + max_per_packet])) + events[i:i + max_per_packet].tobytes()
            for i in range(0, len(events), max_per_packet)]


def reference_parse(data: bytes, buffer_size: int = 65536) -> np.ndarray:
    """One datagram as the receiver reads it: counted or bare, cut at buffer_size."""
    offset, n = 0, len(data) // 13
    if len(data) % 13 == 4 and struct.unpack_from("<I", data)[0] == (len(data) - 4) // 13:
        offset, n = 4, (len(data) - 4) // 13
    n = min(n, max(min(len(data), buffer_size) - offset, 0) // 13)
    return np.frombuffer(data[offset:offset + 13 * n], dtype=EVENT_DTYPE)


def test_module():
    names = [n for n in vars(ethernet) if not n.startswith("__") or n == "__test__"]
    assert names == ["socket", "struct", "Generator", "List", "Optional", "np", "EVENT_DTYPE",
                     "pack_events_udp", "udp_event_receiver", "__test__"]
    assert ethernet.__doc__.startswith("UDP event receiver for MORVEL neuromorphic systems.")
    assert pack_events_udp.__doc__.startswith(
        "pack_events_udp(events: np.ndarray, int max_per_packet: int = 1000) -> List[bytes]\n\n")
    assert udp_event_receiver.__doc__.startswith(
        "udp_event_receiver(str host: str = '0.0.0.0', int port: int = 5000, int buffer_size: int = 65536, "
        "float timeout: Optional[float] = None) -> Generator[np.ndarray, None, None]\n\nReceive events via UDP.")


# --- pack_events_udp ------------------------------------------------------------


def test_pack_documented_layout():
    ev = make_events(2500)
    packets = pack_events_udp(ev)
    assert [len(p) for p in packets] == [13004, 13004, 6504]
    assert [p[:4] for p in packets] == [b"\xe8\x03\x00\x00", b"\xe8\x03\x00\x00", b"\xf4\x01\x00\x00"]
    assert b"".join(p[4:] for p in packets) == ev.tobytes()
    assert pack_events_udp(ev[:0]) == []


@pytest.mark.parametrize(
    "make, max_per_packet",
    [
        (lambda ev: ev, 7),
        (lambda ev: ev, 10**30),  # one packet
        (lambda ev: ev, 2.9),  # int(): 2
        (lambda ev: ev[::3], 100),  # strided
        (lambda ev: ev[::-1], 333),
        (lambda ev: ev.astype(EVENT_DTYPE.newbyteorder(">")), 500),  # bytes as they lie in memory
        (lambda ev: ev.view(np.recarray), 300),  # a subclass: through slicing and tobytes()
        (lambda ev: np.concatenate([ev] * 100), 1000),  # 2.6 MB: filled without the GIL
    ],
)
def test_pack_matches_reference(make, max_per_packet):
    src = make(make_events(2000, seed=4))
    assert pack_events_udp(src, max_per_packet) == reference_pack(src, min(int(max_per_packet), 2**40))


@pytest.mark.parametrize("value", [0, -1, 0.5, -(10**30), False])
def test_pack_refuses_max_per_packet_below_one(value):
    with pytest.raises(ValueError, match=r"^max_per_packet must be >= 1, got -?\d+$"):
        pack_events_udp(make_events(10), value)


def test_pack_other_objects():
    class Records:  # length, slicing and tobytes(): all that packing needs
        def __init__(self, data, count=None):
            self.data, self.count = data, count

        def __len__(self):
            return self.count or len(self.data) // 2

        def __getitem__(self, s):
            return Records(self.data[2 * s.start:2 * min(s.stop, len(self))], self.count)

        def tobytes(self):
            return bytearray(self.data)

    assert pack_events_udp(Records(b"abcdefg"), 2) == [b"\x02\0\0\0abcd", b"\x01\0\0\0ef"]
    with pytest.raises(OverflowError, match="at most 4294967295 events"):
        pack_events_udp(Records(b"", count=2**32), 2**33)
    with pytest.raises(TypeError, match=r"slice into objects with tobytes\(\); got list"):
        pack_events_udp([(1, 2, 3, 1)])
    with pytest.raises(TypeError, match="has no len"):
        pack_events_udp(5)


# --- receiving ------------------------------------------------------------------


@pytest.mark.parametrize("n, max_per_packet", [(1, 1000), (2500, 1000), (5000, 115), (300, 1), (4000, 5041)])
def test_round_trip(n, max_per_packet):
    ev = make_events(n, seed=n)
    packets = pack_events_udp(ev, max_per_packet)
    got = receive(packets, window=8)
    assert [len(a) for a in got] == [len(p) // 13 for p in packets]
    assert np.array_equal(np.concatenate(got), ev)
    assert all(a.dtype == EVENT_DTYPE and a.flags.owndata and a.flags.writeable for a in got)


@pytest.mark.parametrize(
    "datagram, buffer_size, kept",
    [
        (bytes(range(12)), 65536, b""),  # shorter than a record: skipped
        (bytes(range(13)), 65536, bytes(range(13))),
        (bytes(range(30)), 65536, bytes(range(26))),  # bare: 4 bytes ignored
        (struct.pack("<I", 2) + bytes(range(26)), 65536, bytes(range(26))),  # counted
        (struct.pack("<I", 3) + bytes(range(26)), 65536, struct.pack("<I", 3) + bytes(range(22))),  # count wrong: bare
        (struct.pack("<I", 0), 65536, b""),  # empty counted datagram
        (struct.pack("<I", 4) + bytes(65), 65536, struct.pack("<I", 4) + bytes(61)),  # 69 = 4 + 13 * 5, count 4: bare
        (pack_events_udp(make_events(1000))[0], 1000, make_events(1000)[:76].tobytes()),  # cut at a record
        (pack_events_udp(make_events(1000))[0], 16, b""),
        (bytes(range(130)), 50, bytes(range(39))),
        (bytes(range(30)), 10**30, bytes(range(26))),
    ],
)
def test_datagram_layouts(datagram, buffer_size, kept):
    got = receive([datagram], buffer_size=buffer_size)
    assert [a.tobytes() for a in got] == ([kept] if kept else [])


def test_burst_of_thousands_of_datagrams():
    sizes = np.random.default_rng(1).integers(1, 60, 3000)
    ev = make_events(int(sizes.sum()), seed=3)
    chunks = np.split(ev, np.cumsum(sizes)[:-1])
    datagrams = [pack_events_udp(c, 10**6)[0] if i % 2 else c.tobytes() for i, c in enumerate(chunks)]
    got = receive(datagrams, window=64)
    assert len(got) == 3000 and np.array_equal(np.concatenate(got), ev)
    assert not any(np.shares_memory(a, b) for a, b in zip(got, got[1:]))


def test_any_datagram_content_and_length():
    rng = np.random.default_rng(7)
    lengths = [0, 1, 4, 5, 12, 13, 16, 17, 65507, 4 + 13 * 5038] + rng.integers(0, 65508, 40).tolist()
    datagrams = []
    for k, n in enumerate(lengths):
        d = bytearray(rng.integers(0, 256, n, dtype=np.uint8).tobytes())
        if k % 3 == 0 and n % 13 == 4:
            d[:4] = struct.pack("<I", (n - 4) // 13)  # a valid count now and then
        datagrams.append(bytes(d))
    for buffer_size in (65536, 1000):
        expected = [e for e in (reference_parse(d, buffer_size) for d in datagrams)]
        got = receive(datagrams, window=2, yields=[len(e) > 0 for e in expected], buffer_size=buffer_size)
        assert [a.tobytes() for a in got] == [e.tobytes() for e in expected if len(e)]


# --- arguments and life cycle ---------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(host=None), TypeError, "Argument 'host' has incorrect type (expected str, got NoneType)"),
        (dict(timeout="1"), TypeError, "Argument 'timeout' has incorrect type (expected float, got str)"),
        (dict(buffer_size=12), ValueError, "buffer_size must be >= 13 (one event record), got 12"),
        (dict(buffer_size=-(10**30)), ValueError, f"buffer_size must be >= 13 (one event record), got {-(10**30)}"),
    ],
)
def test_arguments_refused_before_any_socket(kwargs, exc, message):
    fds = open_fds()
    with pytest.raises(exc) as err:
        udp_event_receiver(**kwargs)
    assert str(err.value) == message and open_fds() == fds


def test_socket_from_first_next_to_close_then_port_free_at_once():
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port + 0.7)  # int(): port
    assert not port_bound(port)
    sender = Sender(port, [SENTINEL])
    next(gen)
    assert port_bound(port)
    gen.close()
    sender.stop()
    assert not port_bound(port)
    assert [a.tobytes() for a in receive([bytes(13)], port=port)] == [bytes(13)]  # the same port again


def test_dropped_generators_release_their_sockets():
    fds, port = open_fds(), free_port()
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
        (dict(timeout=-1), ValueError, "Timeout value out of range"),
        (dict(timeout=float("nan")), ValueError, "NaN"),
        ("in use", OSError, "in use"),
    ],
)
def test_errors_surface_at_first_next_and_close_the_socket(kwargs, exc, match):
    fds = open_fds()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        if kwargs == "in use":
            kwargs = dict(port=taken.getsockname()[1])
        gen = udp_event_receiver(**{"host": "127.0.0.1", "port": free_port(), **kwargs})
        assert open_fds() == fds + 1
        with pytest.raises(exc, match=match) as err:
            next(gen)
        assert match != "in use" or err.value.errno == errno.EADDRINUSE
        with pytest.raises(StopIteration):
            next(gen)
        assert open_fds() == fds + 1


@pytest.mark.parametrize("timeout", [0.05, 0, 1e-6])
def test_timeouts_never_end_the_receiver(timeout):
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port, timeout=timeout)
    sender = Sender(port, [bytes(13)], delay=0.5)  # many time-outs pass first
    try:
        assert next(gen).tobytes() == bytes(13)
    finally:
        sender.stop()
        gen.close()


def test_gil_is_released_while_waiting():
    count, seen, running = [0], [], threading.Event()
    running.set()

    def spin():
        while running.is_set():
            count[0] += 1

    class Measuring(Sender):
        def run(self):
            while not port_bound(self.port):
                time.sleep(0.002)
            c0 = count[0]
            time.sleep(0.3)  # meanwhile the main thread waits in next()
            seen.append(count[0] - c0)
            super().run()

    threading.Thread(target=spin, daemon=True).start()
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port)
    sender = Measuring(port, [SENTINEL])
    try:
        next(gen)
    finally:
        running.clear()
        sender.stop()
        gen.close()
    assert seen and seen[0] > 10_000


@pytest.mark.parametrize("exc, quiet", [(KeyboardInterrupt, True), (StopIteration, True), (ValueError("boom"), False)])
def test_exceptions_thrown_in_at_a_yield(exc, quiet):
    port = free_port()
    gen = udp_event_receiver("127.0.0.1", port)
    sender = Sender(port, [SENTINEL])
    next(gen)
    with pytest.raises(StopIteration if quiet else ValueError):
        gen.throw(exc)
    sender.stop()
    assert not port_bound(port)


@pytest.mark.parametrize(
    "timeout, kill",
    [("None", "signal.pthread_kill(main, signal.SIGINT)"), ("0.2", "os.kill(os.getpid(), signal.SIGINT)"),
     ("None", "os.kill(os.getpid(), signal.SIGINT)")],
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
        print(list(gen))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", port))
        print("port free")
        """
    )
    assert proc.stdout.split("\n")[:2] == ["[]", "port free"], proc.stderr
