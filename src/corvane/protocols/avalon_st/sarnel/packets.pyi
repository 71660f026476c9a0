"""
Intel VIP (Avalon-ST Video) packet kinds: control, video and user packets.
"""

import typing
from collections.abc import Sequence

import numpy
import numpy.typing


class VIPPacket:
    """Any Avalon-ST Video packet; the packet kinds derive from it."""

    def __init__(self) -> None: ...

    def __eq__(self, other: object, /) -> bool: ...

    def __repr__(self) -> str: ...

    __hash__: typing.ClassVar[None]  # type: ignore[assignment]

class VIPControlPacket(VIPPacket):
    """Control packet declaring the frame size of the video that follows."""

    def __init__(self, width: int, height: int, interlacing: int = 0) -> None: ...

    @property
    def width(self) -> int: ...

    @property
    def height(self) -> int: ...

    @property
    def interlacing(self) -> int: ...

    __hash__: typing.ClassVar[None]  # type: ignore[assignment]

class VIPVideoPacket(VIPPacket):
    """
    Video packet: one frame's symbols in raster order, colour planes interleaved.
    The payload is stored as a one-dimensional numpy array (a copy of the argument).
    """

    def __init__(self, payload: Sequence[int] | numpy.typing.ArrayLike) -> None: ...

    @property
    def payload(self) -> numpy.ndarray: ...

    __hash__: typing.ClassVar[None]  # type: ignore[assignment]

class VIPUserPacket(VIPPacket):
    """User (ancillary) packet of type 1 to 14 with its payload symbols."""

    def __init__(self, packet_type: int, payload: Sequence[int] | numpy.typing.ArrayLike) -> None: ...

    @property
    def packet_type(self) -> int: ...

    @property
    def payload(self) -> numpy.ndarray: ...

    __hash__: typing.ClassVar[None]  # type: ignore[assignment]
