"""The VIP protocol checker: packet order, declared frame size, warnings and raised errors."""

import copy
import logging
import pickle
import weakref

import pytest

import corvane.protocols.avalon_st.sarnel.checker as checker_module
from corvane.protocols.avalon_st.sarnel import (
    VIPControlPacket,
    VIPPacket,
    VIPUserPacket,
    VIPVideoPacket,
)
from corvane.protocols.avalon_st.sarnel.checker import VIPProtocolChecker, VIPProtocolError
from corvane.video import FrameSize, VideoFormat
from getter_support import GetterError, failing

LOGGER = "cocotb.corvane.vip_protocol_checker"
BEFORE_CONTROL = "VIP video packet received before any control packet"
BAD_CONTROL = "VIP control packet must declare a positive frame size"


def mismatch(width, height, got, expected):
    return (f"VIP video payload does not match the active control resolution {width}x{height}: "
            f"got {got} symbols, expected {expected}. "
            "A new control packet is required before a frame-size change.")


def ctrl(width, height):
    return VIPControlPacket(width, height)


def video(symbols):
    return VIPVideoPacket([0] * symbols)


@pytest.fixture
def checker():
    # One plane keeps the symbol counts readable: a WxH frame carries W*H symbols.
    return VIPProtocolChecker(VideoFormat(color_planes=1))


# Each row feeds the packets in order; all but the last must pass. The last one either passes
# (error None) or raises VIPProtocolError with the text. The active size afterwards is checked
# too: a failed check must never change it.
@pytest.mark.parametrize(
    "packets, error, size_after",
    [
        ([video(4)], BEFORE_CONTROL, None),
        ([ctrl(2, 2)], None, FrameSize(2, 2)),
        ([ctrl(0, 2)], BAD_CONTROL, None),
        ([ctrl(2, 2), video(4), video(4)], None, FrameSize(2, 2)),
        ([ctrl(2, 2), ctrl(3, 1)], None, FrameSize(3, 1)),
        ([ctrl(2, 2), ctrl(3, 1), video(3)], None, FrameSize(3, 1)),
        ([ctrl(2, 2), ctrl(-3, 1)], BAD_CONTROL, FrameSize(2, 2)),
        ([ctrl(2, 2), VIPUserPacket(5, [1, 2]), video(4)], None, FrameSize(2, 2)),
        ([VIPUserPacket(5, [1]), VIPPacket()], None, None),
        ([VIPUserPacket(5, [1]), video(1)], BEFORE_CONTROL, None),
    ],
)
def test_state_follows_the_packet_order(checker, packets, error, size_after):
    *leading, last = packets
    for packet in leading:
        assert checker.observe(packet) is packet
    if error is None:
        assert checker.observe(last) is last
    else:
        with pytest.raises(VIPProtocolError) as caught:
            checker.observe(last)
        assert str(caught.value) == error
    assert checker.control_size == size_after


def test_reset_forgets_the_size_and_keeps_the_configuration(checker):
    checker.observe(ctrl(2, 2))
    checker.check_video_packet_size = True
    log = checker.log
    assert checker.reset() is None
    assert checker.control_size is None
    assert (checker.check_video_packet_size, checker.log) == (True, log)
    with pytest.raises(VIPProtocolError, match=BEFORE_CONTROL):
        checker.observe(video(4))


@pytest.mark.parametrize("got", [3, 5, 0])
def test_size_mismatch_warns_once_and_passes_the_packet_on(checker, caplog, got):
    checker.observe(ctrl(2, 2))
    packet = video(got)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert checker.observe(packet) is packet
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.WARNING, mismatch(2, 2, got, 4))]
    assert checker.control_size == FrameSize(2, 2)


@pytest.mark.parametrize("switch", [True, 1, "yes"])
def test_size_mismatch_raises_when_the_switch_is_truthy(checker, caplog, switch):
    checker.observe(ctrl(3, 2))
    checker.check_video_packet_size = switch
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with pytest.raises(VIPProtocolError) as caught:
            checker.observe(video(5))
        assert checker.observe(video(6)) is not None
    assert str(caught.value) == mismatch(3, 2, 5, 6)
    assert isinstance(caught.value, ValueError)
    assert caplog.records == []


def test_matching_video_logs_nothing(checker, caplog):
    checker.observe(ctrl(640, 480))
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        checker.observe(video(640 * 480))
    assert caplog.records == []


def test_mismatch_text_counts_colour_planes():
    checker = VIPProtocolChecker(VideoFormat())
    checker.check_video_packet_size = True
    checker.observe(ctrl(2, 1))
    with pytest.raises(VIPProtocolError, match="got 2 symbols, expected 6"):
        checker.observe(video(2))


# Packets keep the declared values as given, so every size FrameSize refuses reaches it.
@pytest.mark.parametrize("width, height, cause, text", [
    (0, 2, ValueError, "frame width and height must be positive"),
    (2, -1, ValueError, "frame width and height must be positive"),
    (True, 2, TypeError, "frame width and height must be integers"),
    ("2", 2, TypeError, "frame width and height must be integers"),
    (2, 2.0, TypeError, "frame width and height must be integers"),
])
def test_rejected_control_size_is_chained_to_frame_size_error(checker, width, height, cause,
                                                              text):
    checker.observe(ctrl(1, 1))
    # Observed while the caller handles another error: the chain must still be the one
    # `raise ... from` builds, the rejection as cause and context, the outer error behind it.
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        with pytest.raises(VIPProtocolError) as caught:
            checker.observe(ctrl(width, height))
    error = caught.value
    assert str(error) == BAD_CONTROL
    assert type(error.__cause__) is cause and str(error.__cause__) == text
    assert error.__context__ is error.__cause__ and error.__suppress_context__
    assert error.__cause__.__context__ is outer
    assert checker.control_size == FrameSize(1, 1)


# Only TypeError and ValueError (subclasses included) mean "not a frame size"; anything else is a
# fault of the size type itself and passes through unwrapped. The active size stays either way.
@pytest.mark.parametrize("error, wrapped", [
    (UnicodeDecodeError("ascii", b"\xff", 0, 1, "bad"), True),
    (OverflowError("too wide"), False),
    (RuntimeError("broken size type"), False),
    (KeyError("width"), False),
])
def test_only_size_rejections_from_frame_size_are_wrapped(checker, monkeypatch, error, wrapped):
    def broken(width, height):
        raise error

    checker.observe(ctrl(2, 2))
    monkeypatch.setattr(checker_module, "FrameSize", broken)
    with pytest.raises(Exception) as caught:
        checker.observe(ctrl(3, 3))
    if wrapped:
        assert type(caught.value) is VIPProtocolError and caught.value.__cause__ is error
    else:
        assert caught.value is error
    assert checker.control_size == FrameSize(2, 2)


@pytest.mark.parametrize("value", [[1, 2], None, VIPControlPacket, "packet"])
def test_observe_rejects_non_packets_without_state_change(checker, value):
    checker.observe(ctrl(2, 2))
    with pytest.raises(TypeError) as caught:
        checker.observe(value)
    assert str(caught.value) == "packet must be a VIPPacket"
    assert checker.control_size == FrameSize(2, 2)


def test_expected_video_symbols_uses_the_active_or_the_given_size(checker):
    with pytest.raises(TypeError) as caught:
        checker.expected_video_symbols()
    assert str(caught.value) == "size must be a FrameSize"
    assert checker.expected_video_symbols(FrameSize(5, 3)) == 15
    checker.observe(ctrl(4, 4))
    assert checker.expected_video_symbols() == 16
    assert checker.expected_video_symbols(FrameSize(1, 2)) == 2
    assert checker.control_size == FrameSize(4, 4)
    with pytest.raises(TypeError, match="size must be a FrameSize"):
        checker.expected_video_symbols((4, 4))


def test_subclass_override_of_expected_symbols_is_used_by_observe(caplog):
    class PaddedChecker(VIPProtocolChecker):
        """An IP that appends one padding symbol to every frame."""

        def expected_video_symbols(self, size=None):
            return super().expected_video_symbols(size) + 1

    checker = PaddedChecker(VideoFormat(color_planes=1))
    checker.check_video_packet_size = True
    checker.observe(ctrl(2, 2))
    checker.observe(video(5))
    with pytest.raises(VIPProtocolError, match="got 4 symbols, expected 5"):
        checker.observe(video(4))


def test_construction_sets_the_attributes_in_order():
    fmt = VideoFormat()
    checker = VIPProtocolChecker(fmt=fmt)
    assert list(vars(checker)) == ["fmt", "_control_size", "check_video_packet_size", "log"]
    assert list(VIPProtocolChecker.__annotations__) == list(vars(checker))  # as the stubs say
    assert checker.fmt is fmt and checker.check_video_packet_size is False
    assert checker.log is logging.getLogger(LOGGER)
    with pytest.raises(AttributeError):
        checker.control_size = FrameSize(1, 1)
    with pytest.raises(TypeError) as caught:
        VIPProtocolChecker((3, 8))
    assert str(caught.value) == "fmt must be a VideoFormat"


def test_a_replaced_logger_receives_the_warning(checker):
    class Recorder:
        def __init__(self):
            self.lines = []

        def warning(self, message):
            self.lines.append(message)

    checker.log = Recorder()
    checker.observe(ctrl(1, 1))
    checker.observe(video(2))
    assert checker.log.lines == [mismatch(1, 1, 2, 1)]


def test_module_surface():
    assert checker_module.__doc__ == (
        "Stateful protocol checks for an Intel Avalon-ST Video packet stream.")
    assert VIPProtocolError.__bases__ == (ValueError,)
    assert VIPProtocolError.__doc__ == (
        "Intel VIP packet ordering or declared-frame-size violation.")
    assert VIPProtocolChecker.__mro__[1:] == (object,)
    assert VIPProtocolChecker.__doc__.splitlines()[0] == (
        "Validate control/video ordering without converting packets to frames.")
    assert (checker_module.FrameSize, checker_module.VideoFormat) == (FrameSize, VideoFormat)
    assert checker_module.VIPPacket is VIPPacket and checker_module.logging is logging


def test_a_checker_copies_pickles_and_is_weakly_referenced_like_a_plain_object(checker):
    checker.observe(ctrl(2, 2))
    for twin in (copy.deepcopy(checker), pickle.loads(pickle.dumps(checker))):
        assert list(vars(twin)) == list(vars(checker)) and twin.control_size == FrameSize(2, 2)
        twin.reset()
        assert checker.control_size == FrameSize(2, 2)
    assert weakref.ref(checker)() is checker


@pytest.mark.parametrize("name", ["width", "height"])
def test_a_failing_packet_attribute_raises_its_own_error(checker, name):
    packet = failing(VIPControlPacket, name)(640, 480)
    with pytest.raises(GetterError, match=name):
        checker.observe(packet)
    assert type(packet).read_after_failure == []
    assert checker.control_size is None
