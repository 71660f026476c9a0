"""Base of reference models (predictors) for Intel VIP video IP."""

import typing
import dataclasses
import enum

import corvane.protocols.avalon_st.sarnel.codec
from corvane.protocols.avalon_st.sarnel.codec import (
    IntelVIPFrameCodec as IntelVIPFrameCodec
)
import corvane.protocols.avalon_st.sarnel.packets
from corvane.protocols.avalon_st.sarnel.packets import (
    VIPControlPacket as VIPControlPacket,
    VIPPacket as VIPPacket,
    VIPUserPacket as VIPUserPacket,
    VIPVideoPacket as VIPVideoPacket
)
import corvane.video
from corvane.video import FrameSize as FrameSize


@dataclasses.dataclass
class PacketExpectation:
    """
    What the IP should emit for one input packet: `packet` to compare within `tolerance`
    per value, or `compare` false with the `reason` why nothing can be compared.
    """

    packet: VIPPacket | None = None
    compare: bool = True
    reason: str = ''
    tolerance: int = 0

class BaseVIPPredictor:
    model: typing.Any
    input_codec: corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec
    output_codec: corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec
    last_input_size: corvane.video.FrameSize | None
    support_passthrough: bool
    ip_mode: BaseVIPPredictor.IpMode

    def __init__(self, model: object, input_codec: corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec, output_codec: corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec, support_passthrough: bool = False, default_ip_mode: int | None = None) -> None: ...

    class IpMode(enum.IntEnum):
        PASSTHROUGH = 0

        ACTIVE = 1

    def set_mode(self, mode: int) -> None:
        """
        Switch to `IpMode(mode)`. Raises ValueError for passthrough on an IP without it.
        """

    def process_packet(self, packet: object) -> PacketExpectation | None:
        """
        The expectation for one input packet, by its kind; None for a non-packet.
        """

    def process_frame(self, frame: object, size: corvane.video.FrameSize) -> object | None:
        """
        The expected output frame: `frame` itself in passthrough mode, else
        `self.model.process(frame)` (None while the model has no output yet).
        """

    def expected_output_size(self, input_size: corvane.video.FrameSize) -> corvane.video.FrameSize:
        """
        Output frame size for an input size; the base keeps it (a scaler overrides).
        """

    def is_supported_frame_size(self, size: corvane.video.FrameSize) -> bool:
        """Whether the model handles frames of `size`; the base accepts all."""

    def unsupported_frame_expectation(self, frame: object, size: corvane.video.FrameSize) -> PacketExpectation:
        """The expectation for a frame of unsupported size: nothing to compare."""

    def get_tolerance(self) -> int:
        """
        Tolerance per value for expected video packets; a model must supply it.
        """

    def _process_user_packet(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPUserPacket) -> PacketExpectation:
        """The expectation for a user packet; a model must supply it."""

    def _process_control_packet(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPControlPacket) -> PacketExpectation:
        """Record the declared input size and expect the output control packet."""

    def _input_video_matches_control(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket) -> bool:
        """Whether the payload length fits the last declared input size."""

    def _process_video_packet(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket) -> PacketExpectation:
        """Convert, process and re-encode one video packet into its expectation."""

    def __getstate__(self) -> dict[str, object]: ...

    def __setstate__(self, state: dict[str, object]) -> None: ...
