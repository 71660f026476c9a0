"""Intel VIP (Avalon-ST Video) packets, the frame codec and the stream protocol checker."""

from .codec import IntelVIPFrameCodec
from .packets import VIPControlPacket, VIPPacket, VIPUserPacket, VIPVideoPacket

__all__ = ["IntelVIPFrameCodec", "VIPControlPacket", "VIPPacket", "VIPUserPacket", "VIPVideoPacket"]
