"""Throughput of the DMA model's SparseByteMemory and descriptor decoding.

Prints, for the native memory and for a plain dict-per-byte Python memory (the baseline):
write-then-read of 1 MiB and 16 MiB in one call each, the same 16 MiB in 4 KiB calls at
scattered addresses, single-byte writes per second, and descriptors decoded per second.
MB/s counts the bytes written and read back (10**6 bytes per MB) over the time of both calls.

    python bench/memory.py
"""

import dataclasses
import os
import random
import time

from corvane.sim.bfms.tavrin import ReadDMADescriptor, SparseByteMemory

MIB = 1 << 20


class DictMemory:
    """Baseline: one dict entry per byte, item by item as a pure Python model would."""

    def __init__(self):
        self._data = {}

    def write(self, address, data):
        for offset, value in enumerate(data):
            self._data[address + offset] = int(value) & 0xFF

    def read(self, address, length):
        return bytes(self._data.get(address + i, 0) for i in range(length))


@dataclasses.dataclass(frozen=True)
class PyReadDMADescriptor:
    """Baseline: the read descriptor as a pure Python dataclass."""

    address: int
    length: int
    channel: int
    generate_sop: bool
    generate_eop: bool
    stop: bool
    reset: bool

    @classmethod
    def decode(cls, value):
        low = value & 0xFFFFFFFF
        return cls(
            address=(((value >> 109) & 0xFFFFFFFF) << 32) | low,
            length=(value >> 32) & 0xFFFFFFFF,
            channel=(value >> 64) & 0xFF,
            generate_sop=bool((value >> 72) & 1),
            generate_eop=bool((value >> 73) & 1),
            stop=bool((value >> 74) & 1),
            reset=bool((value >> 75) & 1),
        )


def best_of(repeats, action):
    """Shortest wall time of `repeats` runs of `action(run_index)`."""
    best = float("inf")
    for run in range(repeats):
        start = time.perf_counter()
        action(run)
        best = min(best, time.perf_counter() - start)
    return best


def bulk(memory_class, data, repeats):
    def run(index):
        memory = memory_class()
        memory.write(0x1000_0000 + index, data)
        assert memory.read(0x1000_0000 + index, len(data)) == data

    return len(data) / best_of(repeats, run) / 1e6


def scattered(memory_class, data, repeats):
    chunk = 4096
    count = len(data) // chunk
    rng = random.Random(7)
    # Unaligned and far apart, so each call touches two pages nobody else uses.
    addresses = [a * 1_000_003 + 17 for a in rng.sample(range(1 << 20), count)]
    pieces = [data[i * chunk : (i + 1) * chunk] for i in range(count)]

    def run(_):
        memory = memory_class()
        for address, piece in zip(addresses, pieces):
            memory.write(address, piece)
        for address, piece in zip(addresses, pieces):
            assert memory.read(address, chunk) == piece

    return len(data) / best_of(repeats, run) / 1e6


def single_bytes(memory_class, repeats):
    count = 100_000
    addresses = [i * 13 for i in range(count)]
    one = b"\x5a"

    def run(_):
        memory = memory_class()
        write = memory.write
        for address in addresses:
            write(address, one)

    return count / best_of(repeats, run)


def decodes(descriptor_class, repeats):
    rng = random.Random(11)
    words = [rng.getrandbits(141) for _ in range(100_000)]

    def run(_):
        decode = descriptor_class.decode
        for word in words:
            decode(word)

    return len(words) / best_of(repeats, run)


def main():
    data_1 = os.urandom(MIB)
    data_16 = os.urandom(16 * MIB)
    rows = [
        ("write+read 1 MiB, one call each (MB/s)", lambda c, r: bulk(c, data_1, r)),
        ("write+read 16 MiB, one call each (MB/s)", lambda c, r: bulk(c, data_16, r)),
        ("write+read 16 MiB in 4 KiB calls, scattered (MB/s)", lambda c, r: scattered(c, data_16, r)),
        ("single-byte writes (per s)", lambda c, r: single_bytes(c, r)),
    ]
    print(f"{'':52} {'native':>14} {'dict baseline':>14} {'ratio':>8}")
    for label, measure in rows:
        native = measure(SparseByteMemory, 5)
        baseline = measure(DictMemory, 1)
        print(f"{label:52} {native:14,.0f} {baseline:14,.0f} {native / baseline:8.1f}")
    native = decodes(ReadDMADescriptor, 3)
    baseline = decodes(PyReadDMADescriptor, 3)
    label = "read descriptors decoded (per s)"
    print(f"{label:52} {native:14,.0f} {baseline:14,.0f} {native / baseline:8.1f}")


if __name__ == "__main__":
    main()
