"""ethernet: packing events into datagrams, receiving them over loopback."""

from __future__ import annotations

import signal
import socket
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np

from common import Case, while_cases_run

# A sender in its own process (the other core), sending one datagram over and
# over to 127.0.0.1:port for at most `seconds`.
SENDER = textwrap.dedent(
    """
    import socket, sys, time
    port, size, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    payload = bytes(range(256)) * (size // 256 + 1)
    payload = ((size - 4) // 13).to_bytes(4, "little") + payload[:size - 4]
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect(("127.0.0.1", port))
    send = s.send
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(1000):
            try:
                send(payload)
            except ConnectionRefusedError:  # nobody bound between two runs
                pass
    """
)


def python_pack(events: np.ndarray, max_per_packet: int = 1000) -> list[bytes]:
    packets = []
    for i in range(0, len(events), max_per_packet):
        chunk = events[i:i + max_per_packet]
        packets.append(struct.pack("<I", len(chunk)) + chunk.tobytes())
    return packets


class Deadline:
    """Ends a receive loop that waits too long (the sender died)."""

    def __init__(self, seconds: float):
        self.seconds = seconds

    def __enter__(self):
        def fire(signum, frame):
            raise TimeoutError("no datagrams: is the sender running?")

        self.old = signal.signal(signal.SIGALRM, fire)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.old)


def cases(quick: bool) -> list[Case]:
    from morvel.io.ethernet import pack_events_udp, udp_event_receiver
    from morvel.io.streaming import EVENT_DTYPE, generate_random_events

    out: list[Case] = []

    # --- pack_events_udp ------------------------------------------------------
    n = 500_000 if quick else 5_000_000
    events = generate_random_events(n)
    assert pack_events_udp(events[:5000], 1000) == python_pack(events[:5000], 1000)
    for per_packet in (1000, 100):
        out.append(Case(
            "ethernet", f"pack_events_udp({n:,} events, {per_packet}/packet)",
            lambda p=per_packet: pack_events_udp(events, p),
            {"struct+tobytes loop": lambda p=per_packet: python_pack(events, p)},
            target=3, units=(n, "ev"),
            note="both write 13 bytes/event of new datagrams: first-touch page faults of that memory weigh on both",
        ))

    # --- loopback receive ---------------------------------------------------------
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    size = 4 + 13 * 1000
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(port), str(size), "600"])
    while_cases_run(lambda: (sender.kill(), sender.wait()))  # it takes a core while it runs
    n_datagrams = 2_000 if quick else 20_000

    def ours_receive():
        with Deadline(60):
            gen = udp_event_receiver("127.0.0.1", port)
            got = 0
            for arr in gen:
                got += 1
                if got == n_datagrams:
                    break
            gen.close()
        assert len(arr) == 1000

    def python_receive():
        with Deadline(60):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", port))
            try:
                for _ in range(n_datagrams):
                    data, addr = sock.recvfrom(65536)
                    arr = np.frombuffer(data[: len(data) // 13 * 13], dtype=EVENT_DTYPE).copy()
            finally:
                sock.close()
        assert len(arr) == 1000

    # The sender process bounds the wall time of both; what each receiver
    # costs shows in the receiving thread's CPU time.
    def cpu_per_datagram(fn) -> float:
        t0 = time.thread_time()
        fn()
        return (time.thread_time() - t0) / n_datagrams * 1e6

    ours_cpu = min(cpu_per_datagram(ours_receive) for _ in range(3))
    ref_cpu = min(cpu_per_datagram(python_receive) for _ in range(3))
    out.append(Case(
        "ethernet", f"udp_event_receiver: {n_datagrams:,} datagrams of 1000 events",
        ours_receive, {"recvfrom+frombuffer.copy": python_receive},
        target=1.0, units=(n_datagrams * 1000, "ev"), repeat=3,
        note=(f"loopback, one sender process as fast as it can (it bounds both wall times); receiving thread's "
              f"CPU per datagram: ours {ours_cpu:.2f} us, reference {ref_cpu:.2f} us ({ref_cpu / ours_cpu:.2f}x)"),
    ))
    return out
