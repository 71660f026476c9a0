"""
Video value types shared by the VIP models: frame sizes and video formats.
"""

import dataclasses


class FrameSize:
    """Frame size in pixels: a frozen value, printed as "<width>x<height>"."""

    def __post_init__(self) -> None:
        """Reject sizes that are not positive integers (bool included)."""

    def __str__(self) -> str: ...

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __hash__(self): ...

    def __init__(self, width: int, height: int) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    def __setattr__(self, name, value): ...

    def __delattr__(self, name): ...

    __match_args__: tuple = ('width', 'height')

class VideoFormat:
    """
    Symbol layout of a video stream: colour planes per pixel and bits per symbol.
    """

    def __post_init__(self) -> None: ...

    def frame_symbol_count(self, size: FrameSize) -> int:
        """
        Number of payload symbols of one video packet for a frame of `size`:
        width * height * color_planes.
        """

    color_planes: int = 3

    bits_per_symbol: int = 8

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __hash__(self): ...

    def __init__(self, color_planes: int = 3, bits_per_symbol: int = 8) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    def __setattr__(self, name, value): ...

    def __delattr__(self, name): ...

    __match_args__: tuple = ('color_planes', 'bits_per_symbol')
