"""SparseByteMemory: writes of every data kind, unbounded addresses, reads and the _data view.

Every result is compared with a plain dict memory that applies `int(item) & 0xFF` item by item,
which is what the memory must be indistinguishable from.
"""

import array
import collections.abc
import copy
import gc
import pickle
import random
import weakref

import numpy as np
import pytest

from corvane.sim.bfms.tavrin import SparseByteMemory

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
U64_TOP = 2**64 - 1  # the last address a 64-bit descriptor can carry


class DictMemory:
    """Reference: one dict entry per byte."""

    def __init__(self):
        self.data = {}

    def write(self, address, data):
        for offset, item in enumerate(data):
            self.data[address + offset] = int(item) & 0xFF

    def read(self, address, length):
        return bytes(self.data.get(address + i, 0) for i in range(length))


class BackwardsBytes(bytes):
    """Iterates differently from its buffer: the iteration is what counts."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


DATA_KINDS = {
    "bytes": lambda: b"\x00\x01\x7f\x80\xff" * 3,
    "bytearray": lambda: bytearray(range(250, 256)),
    "memoryview": lambda: memoryview(b"abcdef"),
    "strided memoryview": lambda: memoryview(bytes(range(20)))[1::3],
    "list of ints": lambda: [0x1FF, 2, -1, -256, 2**100 + 7, -(2**90) - 1, True],
    "generator": lambda: (i * 37 for i in range(9)),
    "str of digits": lambda: "1729",
    "floats": lambda: [1.9, -1.5, 300.0],
    "array('H')": lambda: array.array("H", [0x1234, 0xFFFF, 7]),
    "array('b')": lambda: array.array("b", [-1, -128, 5]),
    "numpy uint8": lambda: np.arange(300, dtype=np.uint8),
    "numpy int8": lambda: np.array([-1, -128, 127], dtype=np.int8),
    "numpy uint16": lambda: np.array([0x1234, 0xABCD, 0x00FF], dtype=np.uint16),
    "numpy big-endian int32": lambda: np.array([-2, 0x12345678, 258], dtype=">i4"),
    "numpy int64": lambda: np.array([-(2**62), -1, 2**40 + 3], dtype=np.int64),
    "numpy uint64": lambda: np.array([2**64 - 1, 2**63 + 0x42], dtype=np.uint64),
    "numpy strided uint16": lambda: np.arange(0x100, 0x140, dtype=np.uint16)[::5],
    "numpy bool": lambda: np.array([True, False, True]),
    "numpy float": lambda: np.array([2.7, 255.9, -3.2]),
    "bytes subclass with its own __iter__": lambda: BackwardsBytes(b"\x01\x02\x03"),
}

ADDRESSES = {
    "zero": 0,
    "across a page boundary": 4096 - 5,
    "across zero": -4,
    "across the int64 top": INT64_MAX - 2,
    "at 2**63": 2**63,
    "across the 64-bit top": U64_TOP - 2,
    "at 2**64": 2**64,
    "across the int64 bottom": INT64_MIN - 3,
    "far above int64": 2**100,
    "far below int64": -(2**100) + 1,
}


@pytest.mark.parametrize("address", ADDRESSES.values(), ids=ADDRESSES.keys())
@pytest.mark.parametrize("kind", DATA_KINDS.keys())
def test_write_matches_item_by_item_int_and_0xff(kind, address):
    memory, reference = SparseByteMemory(), DictMemory()
    reference.write(address, DATA_KINDS[kind]())
    assert memory.write(address, DATA_KINDS[kind]()) is None
    assert dict(memory._data) == reference.data
    count = len(reference.data)
    assert memory.read(address - 2, count + 4) == reference.read(address - 2, count + 4)


@pytest.mark.parametrize(
    "data, error",
    [
        ([1, 2, "x", 4], ValueError),
        ([1, 2, None, 4], TypeError),
        ([1, 2, float("nan")], ValueError),
        ([1, 2, float("inf")], OverflowError),
        (np.zeros((2, 2), dtype=np.uint8), TypeError),  # rows are not ints
        (np.ma.array([1, 2, 3], mask=[0, 1, 0]), np.ma.MaskError),
    ],
)
@pytest.mark.parametrize("address", [0x10, INT64_MAX, U64_TOP, 2**70],
                         ids=["paged", "high", "edge", "overflow"])
def test_bad_element_raises_int_error_after_storing_earlier_ones(data, error, address):
    memory, reference = SparseByteMemory(), DictMemory()
    with pytest.raises(error):
        reference.write(address, data)
    with pytest.raises(error):
        memory.write(address, data)
    assert dict(memory._data) == reference.data


@pytest.mark.parametrize("data", [5, None, object()])
def test_non_iterable_data_is_a_type_error(data):
    memory = SparseByteMemory()
    with pytest.raises(TypeError):
        memory.write(0, data)
    assert len(memory._data) == 0


@pytest.mark.parametrize("address", [1.0, "0", None])
def test_address_must_be_an_integer(address):
    with pytest.raises(TypeError):
        SparseByteMemory().write(address, b"x")
    with pytest.raises(TypeError):
        SparseByteMemory().read(address, 1)


def test_integer_like_addresses_and_lengths_are_accepted():
    memory = SparseByteMemory()
    memory.write(np.int64(7), b"ab")
    memory.write(True, b"z")
    assert memory.read(np.uint8(0), np.int32(9)) == b"\x00z\x00\x00\x00\x00\x00ab"


@pytest.mark.parametrize("length", [0, -1, -(2**80)])
def test_empty_reads(length):
    memory = SparseByteMemory()
    memory.write(0, b"abc")
    assert memory.read(0, length) == b""


def test_reads_never_create_entries_and_return_zeros():
    memory = SparseByteMemory()
    assert memory.read(-100, 3 * 4096) == bytes(3 * 4096)
    assert memory.read(2**90, 3) == b"\x00\x00\x00"
    assert memory.read(INT64_MAX - 1, 4) == bytes(4)
    assert memory.read(U64_TOP - 1, 4) == bytes(4)
    assert len(memory._data) == 0
    assert isinstance(memory.read(0, 1), bytes)


@pytest.mark.parametrize(
    "base, writes, longest, spread",
    [(0, 300, 200, 70), (2**63, 300, 200, 70), (U64_TOP - 2 * 4096, 300, 200, 70),
     (0, 3000, 3, 1500)],
    ids=["low", "2**63", "64-bit top", "isolated bytes"],
)
def test_random_overlapping_writes_match_the_reference(base, writes, longest, spread):
    """Runs and single bytes that overlap, on pages that start sparse and turn dense."""
    rng = random.Random(1234)
    memory, reference = SparseByteMemory(), DictMemory()
    for _ in range(writes):
        address = base + rng.choice([0, 4096, -4096, 3 * 4096]) + rng.randrange(-spread, spread)
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, longest)))
        kind = rng.choice([bytes, list, bytearray, lambda d: np.frombuffer(d, np.uint8)])
        memory.write(address, kind(data))
        reference.write(address, data)
        if rng.random() < 0.05:  # reads in between see every write so far
            assert memory.read(address - 3, 80) == reference.read(address - 3, 80)
    assert dict(memory._data) == reference.data
    assert list(memory._data) == sorted(reference.data)
    assert memory.read(base - 5000, 18000) == reference.read(base - 5000, 18000)
    assert pickle.loads(pickle.dumps(memory))._data == reference.data


def test_memory_is_a_plain_class_with_instance_attributes():
    assert SparseByteMemory.__bases__ == (object,)
    assert SparseByteMemory.__doc__ == "Byte-addressed memory shared by the read and write DMA models."
    memory = SparseByteMemory()
    memory.label = "ddr"  # tests hang their own notes on the shared memory
    assert memory.label == "ddr"


@pytest.mark.parametrize(
    "duplicate",
    [copy.copy, copy.deepcopy, lambda memory: pickle.loads(pickle.dumps(memory))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_are_independent_snapshots_like_a_plain_object(duplicate):
    memory = SparseByteMemory()
    for address, data in [(4090, bytes(range(20))), (INT64_MAX - 1, b"xyz"), (INT64_MIN, b"m"),
                          (-(2**70), [1]), (0x10, [0x1FF, 2]), (U64_TOP - 1, b"edge")]:
        memory.write(address, data)
    memory.label = "ddr"
    snapshot = duplicate(memory)
    assert type(snapshot) is SparseByteMemory and snapshot is not memory
    assert dict(snapshot._data) == dict(memory._data) and snapshot.label == "ddr"
    snapshot.write(0x10, [0])
    assert memory._data[0x10] == 0xFF


class TestDataView:
    @pytest.fixture
    def memory(self):
        memory = SparseByteMemory()
        memory.write(2**70, [9])
        memory.write(0x10, [0x1FF, 2])
        memory.write(-(2**70), [8])
        memory.write(-1, [7])
        return memory

    def test_mapping_protocol(self, memory):
        data = memory._data
        assert isinstance(data, collections.abc.Mapping)
        assert len(data) == 5
        assert list(data.items()) == [(-(2**70), 8), (-1, 7), (0x10, 0xFF), (0x11, 2), (2**70, 9)]
        assert data[0x10] == 0xFF and data[2**70] == 9
        assert data.get(0x12) is None and data.get(0x12, -5) == -5
        assert 0x11 in data and 0x12 not in data and "x" not in data
        with pytest.raises(KeyError):
            data[0x12]
        assert data == {-(2**70): 8, -1: 7, 0x10: 0xFF, 0x11: 2, 2**70: 9}
        assert {-(2**70): 8, -1: 7, 0x10: 0xFF, 0x11: 2, 2**70: 9} == data
        assert data != {0x10: 0xFF}
        assert data != [(0x10, 0xFF)]
        assert set(data.keys()) == {-(2**70), -1, 0x10, 0x11, 2**70}
        assert sorted(data.values()) == [2, 7, 8, 9, 0xFF]
        assert eval(repr(data)) == dict(data)

    @pytest.mark.parametrize("key", [True, 1.0, np.int64(1)])
    def test_keys_equal_to_an_int_find_it(self, key):
        memory = SparseByteMemory()
        memory.write(1, [42])
        assert key in memory._data and memory._data[key] == 42
        assert 1.5 not in memory._data

    def test_view_is_live_and_read_only(self, memory):
        data = memory._data
        memory.write(0x11, [3, 4])
        assert data[0x11] == 3 and data[0x12] == 4 and len(data) == 6
        with pytest.raises(TypeError):
            data[0x10] = 1
        with pytest.raises(AttributeError):
            memory._data = {}

    def test_growing_during_iteration_raises(self, memory):
        with pytest.raises(RuntimeError):
            for address in memory._data:
                memory.write(address + 1000, [1])

    def test_memory_holding_its_own_view_is_collected(self):
        memory = SparseByteMemory()
        memory.write(0, b"abc")
        memory.view, memory.iterator = memory._data, iter(memory._data)
        alive = weakref.ref(memory)
        del memory
        gc.collect()
        assert alive() is None

    def test_view_keeps_the_memory_alive(self):
        memory = SparseByteMemory()
        memory.write(5, b"q")
        data = memory._data
        iterator = iter(data)
        del memory
        gc.collect()
        assert dict(data) == {5: ord("q")} and list(iterator) == [5]


# --- helpers for tests that read the memory ----------------------------------------------------


@pytest.fixture
def filled():
    memory = SparseByteMemory()
    memory.write(0x1000, b"Hello, DMA!\x00\x01\x7f\xff" + bytes(range(0x30, 0x40)))
    memory.write(U64_TOP - 1, b"\x11\x22\x33")  # the last byte lands above the 64-bit range
    return memory


@pytest.mark.parametrize(
    "address, length, text",
    [
        (0x1000, 20, "00001000  48 65 6c 6c 6f 2c 20 44  4d 41 21 00 01 7f ff 30  |Hello, DMA!....0|\n"
                     "00001010  31 32 33 34                                       |1234|"),
        (0xFFE, 4, "00000ffe  00 00 48 65                                       |..He|"),
        (U64_TOP - 2, 4, '0fffffffffffffffd  00 11 22 33                                       |.."3|'),
        (0x1000, 0, ""),
        (0x1000, -5, ""),
    ],
    ids=["two lines", "unwritten bytes", "across 2**64", "empty", "negative"],
)
def test_hexdump(filled, address, length, text):
    assert filled.hexdump(address, length) == text


@pytest.mark.parametrize(
    "address, expected, first",
    [
        (0x1000, b"Hello", None),
        (0x1000, bytearray(b"Help!"), 0x1003),
        (0x0FFE, [0, 0, ord("H")], None),  # never written compares as 0
        (0x0FFE, memoryview(b"\x00\x01"), 0x0FFF),
        (U64_TOP - 1, b"\x11\x22\x34", 2**64),
        (0x1000, b"", None),
    ],
    ids=["equal", "differs", "zeros", "buffer", "above 2**64", "empty"],
)
def test_compare_returns_the_first_differing_address(filled, address, expected, first):
    assert filled.compare(address, expected) == first


@pytest.mark.parametrize("expected, error", [(5, TypeError), ([300], ValueError), ("ab", TypeError)])
def test_compare_refuses_what_bytes_refuses_and_bare_ints(filled, expected, error):
    with pytest.raises(error):
        filled.compare(0x1000, expected)


@pytest.mark.parametrize("bits", [8, 16, 32, 64])
@pytest.mark.parametrize("address", [0x1FFD, 2**63 + 5, U64_TOP - 3], ids=["low", "high", "top"])
def test_words_are_little_endian_and_checked(bits, address):
    memory, value = SparseByteMemory(), (0x0123456789ABCDEF >> (64 - bits))
    assert getattr(memory, f"write_u{bits}")(address, value) is None
    assert memory.read(address, bits // 8) == value.to_bytes(bits // 8, "little")
    assert getattr(memory, f"read_u{bits}")(address) == value
    assert getattr(memory, f"read_u{bits}")(address + 0x10000) == 0
    for bad in [-1, 2**bits]:
        with pytest.raises(ValueError, match=f"write_u{bits} value must be in range"):
            getattr(memory, f"write_u{bits}")(address, bad)


@pytest.mark.parametrize(
    "writes, text",
    [
        ([], "<SparseByteMemory: empty>"),
        ([(0x1000, b"x")], "<SparseByteMemory: 1 byte in 1 region [0x1000..0x1001)>"),
        ([(0xFFF, b"ab"), (0x1001, b"c"), (2**64 - 1, b"de")],
         "<SparseByteMemory: 5 bytes in 2 regions [0xFFF..0x1002), "
         "[0xFFFFFFFFFFFFFFFF..0x10000000000000001)>"),
        ([(a * 0x10000, b"z") for a in range(5)],
         "<SparseByteMemory: 5 bytes in 5 regions [0x0..0x1), [0x10000..0x10001), "
         "[0x20000..0x20001), ...>"),
    ],
    ids=["empty", "one byte", "runs join across pages and 2**64", "many"],
)
def test_repr_counts_bytes_and_regions(writes, text):
    memory = SparseByteMemory()
    for address, data in writes:
        memory.write(address, data)
    assert repr(memory) == text
