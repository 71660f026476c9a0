"""
Video value types shared by the VIP models: frame sizes and video formats.
"""

import dataclasses


@dataclasses.dataclass(frozen=True)
class FrameSize:
    """Frame size in pixels: a frozen value, printed as "<width>x<height>"."""

    width: int
    height: int

    def __post_init__(self) -> None:
        """Reject sizes that are not positive integers (bool included)."""

    def __str__(self) -> str: ...

@dataclasses.dataclass(frozen=True)
class VideoFormat:
    """
    Symbol layout of a video stream: colour planes per pixel and bits per symbol.
    """

    color_planes: int = 3
    bits_per_symbol: int = 8

    def __post_init__(self) -> None: ...

    def frame_symbol_count(self, size: FrameSize) -> int:
        """
        Number of payload symbols of one video packet for a frame of `size`:
        width * height * color_planes.
        """
