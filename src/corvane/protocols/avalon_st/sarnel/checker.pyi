"""Stateful protocol checks for an Intel Avalon-ST Video packet stream."""

import logging
import corvane.protocols.avalon_st.sarnel.packets
from corvane.protocols.avalon_st.sarnel.packets import (
    VIPControlPacket as VIPControlPacket,
    VIPPacket as VIPPacket,
    VIPVideoPacket as VIPVideoPacket
)
import corvane.video
from corvane.video import (
    FrameSize as FrameSize,
    VideoFormat as VideoFormat
)


class VIPProtocolError(ValueError):
    """Intel VIP packet ordering or declared-frame-size violation."""

class VIPProtocolChecker:
    """
    Validate control/video ordering without converting packets to frames.

    One instance watches one packet stream: feed it every packet in stream order
    (`packet = checker.observe(packet)`). A control packet must declare a valid frame
    size before video data, and each video packet must carry the symbol count that the
    active size implies. A size mismatch is logged as a warning on `log`, or raised as
    VIPProtocolError when `check_video_packet_size` is true.
    """

    fmt: corvane.video.VideoFormat
    _control_size: corvane.video.FrameSize | None
    check_video_packet_size: bool
    log: logging.Logger

    def __init__(self, fmt: corvane.video.VideoFormat) -> None: ...

    @property
    def control_size(self) -> corvane.video.FrameSize | None:
        """Frame size declared by the last accepted control packet, or None."""

    def reset(self) -> None:
        """Forget the active frame size."""

    def expected_video_symbols(self, size: corvane.video.FrameSize | None = None) -> int:
        """
        Payload symbols of one video packet for `size` (default: the active size).
        Raises TypeError when there is no usable size.
        """

    def observe(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPPacket) -> corvane.protocols.avalon_st.sarnel.packets.VIPPacket:
        """
        Check one packet, update the active size, and return the packet.
        Raises VIPProtocolError on an invalid control packet, on video before any
        control packet, and on a size mismatch when `check_video_packet_size` is true.
        """

    def __getstate__(self) -> dict[str, object]: ...

    def __setstate__(self, state: dict[str, object]) -> None: ...
