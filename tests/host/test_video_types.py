"""Video value types, VIP packet kinds and the frame codec (the stand-ins the models build on)."""

import dataclasses

import numpy as np
import pytest

from corvane.protocols.avalon_st.sarnel import (
    IntelVIPFrameCodec,
    VIPControlPacket,
    VIPPacket,
    VIPUserPacket,
    VIPVideoPacket,
)
from corvane.video import FrameSize, VideoFormat
from getter_support import GetterError, failing_instance


@pytest.mark.parametrize(
    "width, height, error, text",
    [
        (0, 480, ValueError, "frame width and height must be positive"),
        (640, -1, ValueError, "frame width and height must be positive"),
        (True, 480, TypeError, "frame width and height must be integers"),
        (640, 480.0, TypeError, "frame width and height must be integers"),
        ("640", 480, TypeError, "frame width and height must be integers"),
        (None, 480, TypeError, "frame width and height must be integers"),
    ],
)
def test_frame_size_rejects_what_is_not_a_positive_integer_size(width, height, error, text):
    with pytest.raises(error) as caught:
        FrameSize(width, height)
    assert str(caught.value) == text


def test_frame_size_is_a_frozen_hashable_value_printed_as_width_x_height():
    size = FrameSize(640, 480)
    assert (size.width, size.height, str(size)) == (640, 480, "640x480")
    assert size == FrameSize(640, 480) and size != FrameSize(480, 640)
    assert len({size, FrameSize(640, 480), FrameSize(1, 1)}) == 2
    with pytest.raises(dataclasses.FrozenInstanceError):
        size.width = 1


@pytest.mark.parametrize(
    "fmt, size, count",
    [
        (VideoFormat(), FrameSize(640, 480), 640 * 480 * 3),
        (VideoFormat(color_planes=1, bits_per_symbol=10), FrameSize(3, 2), 6),
        (VideoFormat(2), FrameSize(1920, 1080), 1920 * 1080 * 2),
    ],
)
def test_frame_symbol_count_is_pixels_times_planes(fmt, size, count):
    assert fmt.frame_symbol_count(size) == count


def test_video_format_defaults_and_bad_arguments():
    assert (VideoFormat().color_planes, VideoFormat().bits_per_symbol) == (3, 8)
    with pytest.raises(ValueError):
        VideoFormat(0)
    with pytest.raises(TypeError):
        VideoFormat(bits_per_symbol=8.0)
    with pytest.raises(TypeError, match="needs a FrameSize, got NoneType"):
        VideoFormat().frame_symbol_count(None)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (VIPControlPacket(640, 480), VIPControlPacket(640, 480, 0), True),
        (VIPControlPacket(640, 480), VIPControlPacket(640, 480, 1), False),
        (VIPControlPacket(640, 480), VIPControlPacket(480, 640), False),
        (VIPVideoPacket([1, 2, 3]), VIPVideoPacket(np.array([1, 2, 3], np.uint8)), True),
        (VIPVideoPacket([1, 2, 3]), VIPVideoPacket([1, 2, 4]), False),
        (VIPVideoPacket([1, 2, 3]), VIPVideoPacket([1, 2]), False),
        (VIPUserPacket(3, [7]), VIPUserPacket(3, [7]), True),
        (VIPUserPacket(3, [7]), VIPUserPacket(4, [7]), False),
        (VIPUserPacket(3, [7]), VIPVideoPacket([7]), False),
        (VIPPacket(), VIPPacket(), True),
        (VIPPacket(), VIPControlPacket(1, 1), False),
        (VIPVideoPacket([1]), [1], False),
    ],
)
def test_packets_compare_kind_and_fields_payloads_elementwise(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is not equal


def test_packet_kinds_derive_from_vip_packet_and_subclass_from_python():
    class TimedVideoPacket(VIPVideoPacket):
        def __init__(self, payload, time):
            super().__init__(payload)
            self.time = time

    packet = TimedVideoPacket([5, 6], time=10)
    assert isinstance(packet, VIPPacket) and packet.time == 10
    assert packet == VIPVideoPacket([5, 6])
    assert repr(packet) == "TimedVideoPacket(payload=array([5, 6]))"
    assert all(issubclass(kind, VIPPacket)
               for kind in (VIPControlPacket, VIPVideoPacket, VIPUserPacket))
    assert repr(VIPControlPacket(4, 2, 1)) == "VIPControlPacket(width=4, height=2, interlacing=1)"
    with pytest.raises(TypeError):
        hash(VIPControlPacket(4, 2))


def test_packet_payload_is_an_owned_one_dimensional_copy():
    symbols = np.array([1, 2, 3])
    packet = VIPVideoPacket(symbols)
    symbols[0] = 99
    assert list(packet.payload) == [1, 2, 3] and len(packet.payload) == 3
    with pytest.raises(ValueError, match="one-dimensional"):
        VIPVideoPacket(np.zeros((2, 2)))


def test_codec_round_trips_frames_in_raster_order_with_interleaved_planes():
    codec = IntelVIPFrameCodec(VideoFormat())
    size = FrameSize(4, 2)
    frame = np.arange(24, dtype=np.uint8).reshape(2, 4, 3)
    packet = codec.frame_to_video_packet(frame, size)
    # Pixel (row 0, column 1) is symbols 3..5: planes of one pixel are adjacent.
    assert list(packet.payload[3:6]) == [3, 4, 5]
    back = codec.video_packet_to_frame(packet, size)
    assert back.shape == (2, 4, 3) and np.array_equal(back, frame)
    back[0, 0, 0] = 200  # the frame is a copy: the packet stays as sent
    assert packet.payload[0] == 0
    assert codec.control_packet(size, interlacing=3) == VIPControlPacket(4, 2, 3)
    assert codec.control_packet(size) == VIPControlPacket(4, 2, 0)
    assert codec.fmt == VideoFormat()


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda c: c.video_packet_to_frame(VIPVideoPacket(range(23)), FrameSize(4, 2)),
         ValueError, "video payload has 23 symbols but a 4x2 frame of 3 colour planes needs 24"),
        (lambda c: c.frame_to_video_packet(np.zeros((4, 2, 3)), FrameSize(4, 2)),
         ValueError, "frame shape (4, 2, 3) does not fit a 4x2 frame of 3 colour planes, "
                     "expected (2, 4, 3)"),
        (lambda c: c.frame_to_video_packet(np.zeros((2, 4)), FrameSize(4, 2)),
         ValueError, "frame shape (2, 4) does not fit"),
        (lambda c: c.video_packet_to_frame(VIPControlPacket(4, 2), FrameSize(4, 2)),
         TypeError, "video_packet_to_frame needs a VIPVideoPacket"),
        (lambda c: c.control_packet((4, 2)), TypeError, "frame codec size must be a FrameSize"),
        (lambda c: IntelVIPFrameCodec(None), TypeError,
         "frame codec format must be a VideoFormat"),
    ],
)
def test_codec_rejects_what_does_not_fit_the_size(call, error, text):
    with pytest.raises(error) as caught:
        call(IntelVIPFrameCodec(VideoFormat()))
    assert str(caught.value).startswith(text)


@pytest.mark.parametrize("name", ["width", "height"])
@pytest.mark.parametrize(
    "call",
    [lambda c, size: c.control_packet(size),
     lambda c, size: c.frame_to_video_packet(np.zeros((2, 4, 3)), size)],
    ids=["control_packet", "frame_to_video_packet"],
)
def test_codec_raises_the_error_of_a_failing_size_attribute(call, name):
    size = failing_instance(FrameSize, name, 4, 2)  # FrameSize reads both to check them
    with pytest.raises(GetterError, match=name):
        call(IntelVIPFrameCodec(VideoFormat()), size)
    assert type(size).read_after_failure == []
