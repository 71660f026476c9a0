"""Descriptor decoding, descriptor and region records, region checks and bus labels."""

import dataclasses
import random
import types

import numpy as np
import pytest

from getter_support import GetterError, failing

from corvane.sim.bfms import tavrin
from corvane.sim.bfms.tavrin import (
    DMAAddressRegion,
    ReadDMADescriptor,
    WriteDMADescriptor,
    _avalon_st_label,
)


def reference_read(value):
    low = value & 0xFFFFFFFF
    return dict(
        address=(((value >> 109) & 0xFFFFFFFF) << 32) | low,
        length=(value >> 32) & 0xFFFFFFFF,
        channel=(value >> 64) & 0xFF,
        generate_sop=bool((value >> 72) & 1),
        generate_eop=bool((value >> 73) & 1),
        stop=bool((value >> 74) & 1),
        reset=bool((value >> 75) & 1),
    )


def reference_write(value):
    low = value & 0xFFFFFFFF
    return dict(
        address=(((value >> 92) & 0xFFFFFFFF) << 32) | low,
        length=(value >> 32) & 0xFFFFFFFF,
        end_on_eop=bool((value >> 64) & 1),
        stop=bool((value >> 66) & 1),
        reset=bool((value >> 67) & 1),
    )


_rng = random.Random(99)
WORDS = [
    0,
    1 << 109,
    1 << 92,
    1 << 65,
    0xF << 72,
    0x1FF << 64,
    (1 << 141) - 1,
    (1 << 124) - 1,
    1 << 141,
    -1,
    -(1 << 100),
    -(1 << 200) + 12345,
    2**1000 + 0xDEADBEEF,
    *(_rng.getrandbits(n) for n in (64, 128, 141, 192, 193, 300)),
    *(-_rng.getrandbits(n) for n in (64, 141, 192, 300)),
]


@pytest.mark.parametrize("value", WORDS, ids=[f"{v:#x}" for v in WORDS])
def test_decode_follows_python_integer_semantics(value):
    read = ReadDMADescriptor.decode(value)
    write = WriteDMADescriptor.decode(value)
    assert dataclasses.asdict(read) == reference_read(value)
    assert dataclasses.asdict(write) == reference_write(value)
    assert all(type(getattr(read, f)) is bool for f in ("generate_sop", "reset"))


@pytest.mark.parametrize("value", [True, np.uint64(2**64 - 1), np.int8(-1)])
def test_decode_accepts_integer_like_words(value):
    assert ReadDMADescriptor.decode(value) == ReadDMADescriptor(**reference_read(int(value)))


@pytest.mark.parametrize("value", [1.0, "5", None])
def test_decode_rejects_non_integers(value):
    with pytest.raises(TypeError):
        ReadDMADescriptor.decode(value)
    with pytest.raises(TypeError):
        WriteDMADescriptor.decode(value)


def test_decode_builds_the_class_it_is_called_on_by_field_name():
    @dataclasses.dataclass(frozen=True)
    class Tagged(ReadDMADescriptor):
        tag: str = "t"

    decoded = Tagged.decode((5 << 32) | 0x40)
    assert type(decoded) is Tagged
    assert (decoded.address, decoded.length, decoded.tag) == (0x40, 5, "t")

    class Plain(WriteDMADescriptor):
        pass

    assert type(Plain.decode(0)) is Plain


@pytest.mark.parametrize(
    "cls, fields",
    [
        (
            ReadDMADescriptor,
            [("address", int), ("length", int), ("channel", int), ("generate_sop", bool),
             ("generate_eop", bool), ("stop", bool), ("reset", bool)],
        ),
        (
            WriteDMADescriptor,
            [("address", int), ("length", int), ("end_on_eop", bool), ("stop", bool),
             ("reset", bool)],
        ),
        (DMAAddressRegion, [("name", str), ("start", int), ("size", int)]),
    ],
)
def test_records_are_frozen_dataclasses(cls, fields):
    assert dataclasses.is_dataclass(cls) and cls.__dataclass_params__.frozen
    assert [(f.name, f.type) for f in dataclasses.fields(cls)] == fields
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(cls))
    assert cls.__module__ == "corvane.sim.bfms.tavrin"
    values = {"name": "r", "start": 4096, "size": 64}
    args = {name: values.get(name, 1 if kind is int else True) for name, kind in fields}
    first, second = cls(**args), cls(**args)
    assert first == second and hash(first) == hash(second) and first is not second
    with pytest.raises(dataclasses.FrozenInstanceError):
        first.__setattr__(fields[0][0], 0)
    with pytest.raises(TypeError):
        cls(*list(args.values())[:-1])


def test_record_methods_are_named_like_methods_of_a_class_body():
    methods = {
        "ReadDMADescriptor.decode": ReadDMADescriptor.decode,
        "WriteDMADescriptor.decode": WriteDMADescriptor.decode,
        "DMAAddressRegion.contains": DMAAddressRegion.contains,
        "DMAAddressRegion.end": DMAAddressRegion.end.fget,
        "DMAAddressRegion.__post_init__": DMAAddressRegion.__post_init__,
    }
    assert {name: (f.__qualname__, f.__module__) for name, f in methods.items()} == {
        name: (name, "corvane.sim.bfms.tavrin") for name in methods}


def test_descriptor_repr_is_the_dataclass_one():
    assert repr(ReadDMADescriptor.decode((3 << 72) | (64 << 32) | 4096)) == (
        "ReadDMADescriptor(address=4096, length=64, channel=0, generate_sop=True, "
        "generate_eop=True, stop=False, reset=False)"
    )


@pytest.mark.parametrize(
    "start, size, address, length, expected",
    [
        (0x1000, 0x100, 0x1000, 0x100, True),
        (0x1000, 0x100, 0x10FF, 2, False),
        (0x1000, 0x100, 0x1100, 0, True),
        (0x1000, 0x100, 0x0FFF, 1, False),
        (0x1000, 0x100, 0x1000, -1, False),
        (0x1000, 0, 0x1000, 0, True),
        (0x1000, 0, 0x1000, 1, False),
        (-0x10, 0x20, -0x8, 0x18, True),
        (2**70, 2**65, 2**70 + 2**64, 2**64, True),
    ],
)
def test_region_contains(start, size, address, length, expected):
    region = DMAAddressRegion("r", start, size)
    assert region.end == start + size
    assert region.contains(address, length) is expected


def test_region_contains_checks_in_order_and_stops_early():
    class Length:
        def __ge__(self, other):
            return True

        def __radd__(self, other):
            raise AssertionError("end compared although start > address")

    region = DMAAddressRegion("r", 0x1000, 0x100)
    assert region.contains(0x0FFF, Length()) is False
    assert region.contains(object(), -1) is False  # address never compared


def test_region_end_is_looked_up_for_contains():
    class Wide(DMAAddressRegion):
        @property
        def end(self):
            return self.start + 2 * self.size

    assert Wide("w", 0, 0x10).contains(0x18, 8)
    assert str(Wide("w", 0, 0x10)) == "w[0x0..0x20)"


@pytest.mark.parametrize(
    "region, text",
    [
        (DMAAddressRegion("ddr", 0x1000, 0x100), "ddr[0x1000..0x1100)"),
        (DMAAddressRegion("r", 0, 0x10), "r[0x0..0x10)"),
        (DMAAddressRegion("abc", 0xABCDEF, 0), "abc[0xABCDEF..0xABCDEF)"),
        (DMAAddressRegion("neg", -0x10, 0x8), "neg[0x-10..0x-8)"),
        (DMAAddressRegion("big", 2**80, 1), "big[0x100000000000000000000..0x100000000000000000001)"),
    ],
)
def test_region_text(region, text):
    assert str(region) == text
    assert repr(region).startswith(f"DMAAddressRegion(name={region.name!r}, start=")


def test_negative_region_size_is_rejected():
    with pytest.raises(ValueError, match="^DMA address region size must be non-negative$"):
        DMAAddressRegion("r", 0, -1)
    assert DMAAddressRegion("r", -5, 0).end == -5
    assert "``end`` is exclusive" in DMAAddressRegion.__doc__
    assert DMAAddressRegion.__doc__.startswith("Allowed DMA address interval.")


def bus(**attrs):
    return types.SimpleNamespace(**attrs)


@pytest.mark.parametrize(
    "obj, label",
    [
        (object(), "avalon_st"),
        (bus(_name="din"), "din"),
        (bus(_entity=bus(_name="dut"), _name="din"), "dut.din"),
        (bus(_entity=bus(_name="dut")), "dut"),
        (bus(_entity=bus(_name="dut"), _name=""), "dut"),
        (bus(_entity=object(), _name="din"), "din"),
        (bus(_entity=None, _name=None), "avalon_st"),
        (bus(_entity=bus(_name=7), _name=3), "7.3"),
    ],
)
def test_avalon_st_label(obj, label):
    assert _avalon_st_label(obj) == label


def test_avalon_st_label_lookup_errors_other_than_missing_propagate():
    class Broken:
        @property
        def _name(self):
            raise RuntimeError("broken bus")

    with pytest.raises(RuntimeError, match="broken bus"):
        _avalon_st_label(Broken())
    with pytest.raises(RuntimeError, match="broken bus"):
        _avalon_st_label(bus(_entity=Broken(), _name="din"))


def test_module_exports_in_order():
    final = ["DMAAddressRegion", "TavrinBFM", "TavrinCommandMonitor", "ReadDMADescriptor",
             "SparseByteMemory", "WriteDMADescriptor"]
    assert tavrin.__all__ == final
    assert all(hasattr(tavrin, name) for name in final)


@pytest.mark.parametrize(
    "name, use",
    [("name", str), ("start", str), ("end", str), ("start", lambda r: r.end),
     ("start", lambda r: r.contains(0x1000, 1)), ("end", lambda r: r.contains(0x1000, 1))],
    ids=["str-name", "str-start", "str-end", "end-start", "contains-start", "contains-end"],
)
def test_region_raises_the_error_of_a_failing_field(name, use):
    region = failing(DMAAddressRegion, name)("ddr", 0x1000, 0x100)
    with pytest.raises(GetterError, match=name):
        use(region)
    assert type(region).read_after_failure == []
