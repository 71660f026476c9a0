"""The VIP predictor base, driven the way a testbench drives a derived model."""

import copy
import dataclasses
import enum
import pickle
import weakref

import numpy as np
import pytest

import corvane.sim.models.sarnel as sarnel_module
from corvane.protocols.avalon_st.sarnel import (
    IntelVIPFrameCodec,
    VIPControlPacket,
    VIPPacket,
    VIPUserPacket,
    VIPVideoPacket,
)
from corvane.sim.models.sarnel import BaseVIPPredictor, PacketExpectation
from corvane.video import FrameSize, VideoFormat
from getter_support import GetterError, failing

IpMode = BaseVIPPredictor.IpMode
RGB = VideoFormat()


class Invert:
    """Image model of an 8-bit colour inverter; counts its calls."""

    def __init__(self):
        self.calls = 0

    def process(self, frame):
        self.calls += 1
        return 255 - frame


class InverterPredictor(BaseVIPPredictor):
    """A user's predictor: inverts video, drops user packets, allows one LSB of error."""

    def __init__(self, model=None, **kwargs):
        codec = IntelVIPFrameCodec(RGB)
        super().__init__(model or Invert(), codec, codec, **kwargs)

    def get_tolerance(self):
        return 1

    def _process_user_packet(self, packet):
        return PacketExpectation(compare=False, reason="user packets are dropped")


def frame(size, seed):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, (size.height, size.width, 3), dtype=np.uint8)


def inverter_dut(packets):
    """A stand-in for the IP's output: an independent inverter that is off by one on odd values
    and drops user packets, as the hardware would."""
    codec = IntelVIPFrameCodec(RGB)
    out, size = [], None
    for packet in packets:
        if isinstance(packet, VIPControlPacket):
            size = FrameSize(packet.width, packet.height)
            out.append(packet)
        elif isinstance(packet, VIPVideoPacket):
            image = codec.video_packet_to_frame(packet, size).astype(np.int16)
            out.append(codec.frame_to_video_packet(255 - image - (image & 1), size))
    return out


def scoreboard(expectations, outputs):
    """Match comparable expectations against the IP's output packets in order."""
    comparable = [e for e in expectations if e.compare]
    assert len(comparable) == len(outputs)
    for expectation, actual in zip(comparable, outputs):
        expected = expectation.packet
        assert type(expected) is type(actual)
        if isinstance(expected, VIPVideoPacket):
            delta = np.abs(expected.payload.astype(int) - actual.payload.astype(int))
            assert delta.max() <= expectation.tolerance
        else:
            assert expected == actual


def test_inverter_stream_matches_the_ip_within_tolerance():
    codec = IntelVIPFrameCodec(RGB)
    small, large = FrameSize(4, 3), FrameSize(8, 2)
    stream = [
        codec.control_packet(small),
        codec.frame_to_video_packet(frame(small, 1), small),
        VIPUserPacket(4, [1, 2, 3]),
        codec.frame_to_video_packet(frame(small, 2), small),
        codec.control_packet(large, interlacing=2),
        codec.frame_to_video_packet(frame(large, 3), large),
    ]
    predictor = InverterPredictor()
    expectations = [predictor.process_packet(packet) for packet in stream]
    assert [e.compare for e in expectations] == [True, True, False, True, True, True]
    assert expectations[2].reason == "user packets are dropped"
    assert expectations[4].packet == VIPControlPacket(8, 2, 2)
    assert [e.tolerance for e in expectations if isinstance(e.packet, VIPVideoPacket)] == [1] * 3
    assert predictor.last_input_size == large
    scoreboard(expectations, inverter_dut(stream))


def test_a_wrong_ip_output_fails_the_scoreboard():
    codec = IntelVIPFrameCodec(RGB)
    size = FrameSize(2, 2)
    stream = [codec.control_packet(size), codec.frame_to_video_packet(frame(size, 4), size)]
    predictor = InverterPredictor()
    expectations = [predictor.process_packet(p) for p in stream]
    bad = [stream[0], codec.frame_to_video_packet(frame(size, 4), size)]  # not inverted
    with pytest.raises(AssertionError):
        scoreboard(expectations, bad)


def test_control_packet_expectation_uses_the_output_size_and_keeps_interlacing():
    class HalfWidth(InverterPredictor):
        def expected_output_size(self, input_size):
            return FrameSize(input_size.width // 2, input_size.height)

    predictor = HalfWidth()
    expectation = predictor.process_packet(VIPControlPacket(640, 480, interlacing=3))
    assert expectation == PacketExpectation(packet=VIPControlPacket(320, 480, 3))
    assert predictor.last_input_size == FrameSize(640, 480)


def test_rejected_control_size_raises_and_keeps_the_last_size():
    predictor = InverterPredictor()
    predictor.process_packet(VIPControlPacket(4, 4))
    with pytest.raises(ValueError, match="frame width and height must be positive"):
        predictor.process_packet(VIPControlPacket(0, 4))
    assert predictor.last_input_size == FrameSize(4, 4)


class Delay:
    """A model that outputs the previous frame: nothing for the first one."""

    def __init__(self):
        self.held = None

    def process(self, frame):
        out, self.held = self.held, frame
        return out


def unsupported_odd_widths(predictor_class):
    class OddRejecting(predictor_class):
        def is_supported_frame_size(self, size):
            return size.width % 2 == 0

    return OddRejecting


@pytest.mark.parametrize(
    "predictor_factory, width, symbols_short, reason, model_called",
    [
        (lambda: InverterPredictor(), 4, 1, "corrupted frame", False),
        (lambda: InverterPredictor(), 4, -1, "corrupted frame", False),
        (lambda: InverterPredictor(model=Delay()), 4, 0, "model output is not ready", True),
        (lambda: unsupported_odd_widths(InverterPredictor)(), 3, 0,
         "unsupported frame size 3x2", False),
    ],
)
def test_video_without_comparison_gives_the_reason(predictor_factory, width, symbols_short,
                                                   reason, model_called):
    predictor = predictor_factory()
    calls = []
    model = predictor.model
    predictor.model = type("Spy", (), {
        "process": lambda self, f: calls.append(f) or model.process(f)})()
    size = FrameSize(width, 2)
    predictor.process_packet(VIPControlPacket(size.width, size.height))
    count = RGB.frame_symbol_count(size) - symbols_short
    expectation = predictor.process_packet(VIPVideoPacket(np.zeros(count, np.uint8)))
    assert expectation == PacketExpectation(packet=None, compare=False, reason=reason)
    assert bool(calls) is model_called


def test_delayed_model_expects_the_previous_frame_once_ready():
    codec = IntelVIPFrameCodec(RGB)
    size = FrameSize(2, 2)
    predictor = InverterPredictor(model=Delay())
    predictor.process_packet(codec.control_packet(size))
    first, second = frame(size, 5), frame(size, 6)
    assert not predictor.process_packet(codec.frame_to_video_packet(first, size)).compare
    expectation = predictor.process_packet(codec.frame_to_video_packet(second, size))
    assert expectation.packet == codec.frame_to_video_packet(first, size)


def test_passthrough_returns_the_frame_itself_and_skips_the_model():
    predictor = InverterPredictor(support_passthrough=True)
    assert predictor.ip_mode is IpMode.PASSTHROUGH
    image = frame(FrameSize(2, 2), 7)
    assert predictor.process_frame(image, FrameSize(2, 2)) is image
    assert predictor.model.calls == 0
    predictor.set_mode(1)
    assert predictor.ip_mode is IpMode.ACTIVE
    assert np.array_equal(predictor.process_frame(image, FrameSize(2, 2)), 255 - image)


@pytest.mark.parametrize(
    "support, default, mode",
    [
        (False, None, IpMode.ACTIVE),
        (True, None, IpMode.PASSTHROUGH),
        (1, None, IpMode.PASSTHROUGH),
        (True, IpMode.ACTIVE, IpMode.ACTIVE),
        # An explicit mode is stored as given, without checking passthrough support.
        (False, IpMode.PASSTHROUGH, IpMode.PASSTHROUGH),
        (False, 1, 1),
    ],
)
def test_initial_mode(support, default, mode):
    predictor = InverterPredictor(support_passthrough=support, default_ip_mode=default)
    assert predictor.ip_mode == mode and type(predictor.ip_mode) is type(mode)
    assert predictor.support_passthrough is bool(support)


@pytest.mark.parametrize(
    "support, mode, result, error",
    [
        (False, 0, IpMode.ACTIVE, "This IP does not support passthrough mode"),
        (False, IpMode.PASSTHROUGH, IpMode.ACTIVE, "This IP does not support passthrough mode"),
        (False, 1, IpMode.ACTIVE, None),
        (True, 0, IpMode.PASSTHROUGH, None),
        (True, 2, IpMode.PASSTHROUGH, "2 is not a valid BaseVIPPredictor.IpMode"),
    ],
)
def test_set_mode(support, mode, result, error):
    predictor = InverterPredictor(support_passthrough=support)
    if error is None:
        assert predictor.set_mode(mode) is None
    else:
        with pytest.raises(ValueError) as caught:
            predictor.set_mode(mode)
        assert str(caught.value) == error
    assert predictor.ip_mode is result


def test_base_hooks_a_model_must_supply_raise_not_implemented():
    codec = IntelVIPFrameCodec(RGB)
    base = BaseVIPPredictor(Invert(), codec, codec)
    for call in (base.get_tolerance, lambda: base.process_packet(VIPUserPacket(1, [0]))):
        with pytest.raises(NotImplementedError) as caught:
            call()
        assert caught.value.args == ()
    base.process_packet(codec.control_packet(FrameSize(1, 1)))
    with pytest.raises(NotImplementedError):
        base.process_packet(codec.frame_to_video_packet(np.zeros((1, 1, 3)), FrameSize(1, 1)))


def test_video_before_any_control_packet_is_an_error_not_a_silent_skip():
    predictor = InverterPredictor()
    with pytest.raises(TypeError, match="needs a FrameSize"):
        predictor.process_packet(VIPVideoPacket(np.zeros(12)))


@pytest.mark.parametrize("value", [None, 3, [1, 2], VIPPacket()])
def test_process_packet_of_other_objects_gives_none(value):
    assert InverterPredictor().process_packet(value) is None


@pytest.mark.parametrize("widened, to, packet, step", [
    ("VIPVideoPacket", VIPControlPacket, VIPControlPacket(1, 1), "control"),
    ("VIPUserPacket", VIPControlPacket, VIPControlPacket(1, 1), "control"),
    ("VIPUserPacket", VIPVideoPacket, VIPVideoPacket([1]), "video"),
])
def test_a_packet_of_two_kinds_goes_to_the_earlier_step(monkeypatch, widened, to, packet, step):
    # The stand-in kinds cannot be combined in one class, so a later kind is made to match the
    # packets of an earlier one: control must win over video and user, video over user.
    monkeypatch.setattr(sarnel_module, widened, to)

    class Recording(InverterPredictor):
        def _process_control_packet(self, packet):
            return "control"

        def _process_video_packet(self, packet):
            return "video"

        def _process_user_packet(self, packet):
            return "user"

    assert Recording().process_packet(packet) == step


def test_overridden_internal_steps_are_used():
    class Trusting(InverterPredictor):
        def _input_video_matches_control(self, packet):
            self.checked = True
            return True

    predictor = Trusting()
    predictor.process_packet(VIPControlPacket(1, 1))
    with pytest.raises(ValueError, match="video payload has 2 symbols"):
        predictor.process_packet(VIPVideoPacket([1, 2]))
    assert predictor.checked


def test_a_step_that_updates_the_input_size_is_seen_by_the_later_steps():
    class FieldSplitter(InverterPredictor):
        """Keeps the even lines: the processed frame is a field of half the height."""

        def process_frame(self, frame, size):
            self.last_input_size = FrameSize(size.width, size.height // 2)
            return super().process_frame(frame[::2], size)

    codec = IntelVIPFrameCodec(RGB)
    size, image = FrameSize(3, 4), frame(FrameSize(3, 4), 8)
    predictor = FieldSplitter()
    predictor.process_packet(codec.control_packet(size))
    expectation = predictor.process_packet(codec.frame_to_video_packet(image, size))
    assert expectation.packet == codec.frame_to_video_packet(255 - image[::2], FrameSize(3, 2))


def test_base_hooks_and_unsupported_expectation():
    codec = IntelVIPFrameCodec(RGB)
    base = BaseVIPPredictor(Invert(), codec, codec)
    size = FrameSize(640, 480)
    assert base.expected_output_size(size) is size
    assert base.is_supported_frame_size(size) is True
    assert base.unsupported_frame_expectation(None, size) == PacketExpectation(
        compare=False, reason="unsupported frame size 640x480")


def test_packet_expectation_is_a_mutable_dataclass():
    assert dataclasses.is_dataclass(PacketExpectation)
    assert [(f.name, f.type, f.default) for f in dataclasses.fields(PacketExpectation)] == [
        ("packet", "VIPPacket | None", None), ("compare", bool, True), ("reason", str, ""),
        ("tolerance", int, 0)]
    assert PacketExpectation.__annotations__["packet"] == "VIPPacket | None"
    expectation = PacketExpectation(VIPControlPacket(1, 1), True, "", 2)
    assert expectation == PacketExpectation(packet=VIPControlPacket(1, 1), tolerance=2)
    expectation.tolerance = 3
    assert expectation.tolerance == 3
    assert repr(PacketExpectation()) == (
        "PacketExpectation(packet=None, compare=True, reason='', tolerance=0)")


def test_module_surface():
    assert issubclass(IpMode, enum.IntEnum)
    assert [(m.name, m.value) for m in IpMode] == [("PASSTHROUGH", 0), ("ACTIVE", 1)]
    assert (IpMode.__qualname__, IpMode.__module__) == ("BaseVIPPredictor.IpMode",
                                                        "corvane.sim.models.sarnel")
    assert BaseVIPPredictor.__mro__[1:] == (object,) and BaseVIPPredictor.__doc__ is None
    predictor = InverterPredictor()
    assert list(vars(predictor)) == ["model", "input_codec", "output_codec", "last_input_size",
                                     "support_passthrough", "ip_mode"]
    assert list(BaseVIPPredictor.__annotations__) == list(vars(predictor))  # as the stubs say
    assert sarnel_module.IntelVIPFrameCodec is IntelVIPFrameCodec
    assert sarnel_module.FrameSize is FrameSize and sarnel_module.numpy is np
    assert sarnel_module.IntEnum is enum.IntEnum and sarnel_module.auto is enum.auto


class Buffering(BaseVIPPredictor):
    """A predictor subclass with state of its own beside the base attributes."""

    def __init__(self):
        super().__init__("model", "in", "out", support_passthrough=True)
        self.held = [1]


def test_a_predictor_copies_pickles_and_is_weakly_referenced_like_a_plain_object():
    predictor = Buffering()
    for twin in (copy.deepcopy(predictor), pickle.loads(pickle.dumps(predictor))):
        assert type(twin) is Buffering and vars(twin) == vars(predictor)
        assert list(vars(twin))[-1] == "held" and twin.ip_mode is IpMode.PASSTHROUGH
        twin.held.append(2)
        assert predictor.held == [1]
    assert weakref.ref(predictor)() is predictor


@pytest.mark.parametrize("name", ["width", "height", "interlacing"])
def test_a_failing_packet_attribute_raises_its_own_error(name):
    codec = IntelVIPFrameCodec(VideoFormat())
    predictor = BaseVIPPredictor(Invert(), codec, codec)
    packet = failing(VIPControlPacket, name)(4, 2)
    with pytest.raises(GetterError, match=name):
        predictor.process_packet(packet)
    assert type(packet).read_after_failure == []
