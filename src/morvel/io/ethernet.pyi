"""UDP event receiver for MORVEL neuromorphic systems.

Provides network event streaming for real-time inference from hardware event
sources over UDP. Arrays yielded by the receiver are copies ("Zero-copy" does
not apply).
"""

import socket as socket
import struct as struct
from typing import Generator as Generator, List as List, Optional as Optional

import numpy as np


EVENT_DTYPE: np.dtype
__test__: dict

def pack_events_udp(events: np.ndarray, max_per_packet: int = 1000) -> List[bytes]:
    """Pack MORVEL events into UDP-sized byte packets for network transmission.

    Each packet: a 4-byte little-endian count n, then the n records as they lie
    in memory (4 + 13 * n bytes for EVENT_DTYPE). Raises ValueError when
    max_per_packet is below 1.
    """

def udp_event_receiver(
    host: str = "0.0.0.0", port: int = 5000, buffer_size: int = 65536, timeout: Optional[float] = None
) -> Generator[np.ndarray, None, None]:
    """Receive events via UDP, one independent EVENT_DTYPE array per packet.

    Packets of pack_events_udp and bare runs of records are both read. The
    socket is bound on the first next() and closed on every way out; time-outs
    never end the generator, KeyboardInterrupt ends it quietly. Raises
    ValueError at once when buffer_size is below 13.
    """
