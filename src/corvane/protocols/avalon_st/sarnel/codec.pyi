"""
Stateless conversion between frames and Intel VIP control and video packets.
"""

import numpy
import numpy.typing

import corvane.protocols.avalon_st.sarnel.packets
import corvane.video


class IntelVIPFrameCodec:
    """
    Convert numpy frames of shape (height, width, color_planes) to and
    from Intel VIP video packets of one video format.
    """

    def __init__(self, fmt: corvane.video.VideoFormat) -> None: ...

    @property
    def fmt(self) -> corvane.video.VideoFormat:
        """The video format of the frames and packets."""

    def video_packet_to_frame(self, packet: corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket, size: corvane.video.FrameSize) -> numpy.ndarray:
        """
        The packet's payload as a new array of shape (height, width, color_planes).
        Raises ValueError when the payload length does not fit the size.
        """

    def frame_to_video_packet(self, frame: numpy.typing.ArrayLike, size: corvane.video.FrameSize) -> corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket:
        """
        A video packet carrying `frame` in raster order.
        Raises ValueError unless the frame's shape is (height, width, color_planes).
        """

    def control_packet(self, size: corvane.video.FrameSize, interlacing: int = 0) -> corvane.protocols.avalon_st.sarnel.packets.VIPControlPacket:
        """A control packet declaring `size`."""

    def __repr__(self) -> str: ...
