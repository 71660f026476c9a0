"""Throughput and footprint of the DMA model's SparseByteMemory, and descriptor decoding.

Prints, for the native memory at low addresses (from 0x1000_0000) and at high ones (from 2**63,
which a 64-bit descriptor can carry), and for a plain dict-per-byte Python memory (the
baseline): write-then-read of 1 MiB and 16 MiB in one call each, the same 16 MiB in 4 KiB calls
at scattered addresses, single-byte writes per second, and the memory cost of isolated bytes
(resident bytes per byte written, 100k random addresses). Then the 16 MiB write+read against two
plain copies of the same bytes (memcpy speed), and descriptors decoded per second. MB/s counts
the bytes written and read back (10**6 bytes per MB) over the time of both calls.

    python bench/memory.py
"""

import dataclasses
import os
import random
import subprocess
import sys
import time

from corvane.sim.bfms.tavrin import ReadDMADescriptor, SparseByteMemory

MIB = 1 << 20
LOW, HIGH = 0x1000_0000, 1 << 63


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


def bulk(memory_class, data, repeats, base=LOW):
    def run(index):
        memory = memory_class()
        memory.write(base + index, data)
        assert memory.read(base + index, len(data)) == data

    return len(data) / best_of(repeats, run) / 1e6


def copies(data, repeats):
    """Two plain copies of `data` (in, then out): what a write and a read must at least do."""

    def run(_):
        stored = bytearray(data)
        assert bytes(stored) == data

    return len(data) / best_of(repeats, run) / 1e6


def scattered(memory_class, data, repeats, base=LOW):
    chunk = 4096
    count = len(data) // chunk
    rng = random.Random(7)
    # Unaligned and far apart, so each call touches two pages nobody else uses.
    addresses = [base + a * 1_000_003 + 17 for a in rng.sample(range(1 << 20), count)]
    pieces = [data[i * chunk : (i + 1) * chunk] for i in range(count)]

    def run(_):
        memory = memory_class()
        for address, piece in zip(addresses, pieces):
            memory.write(address, piece)
        for address, piece in zip(addresses, pieces):
            assert memory.read(address, chunk) == piece

    return len(data) / best_of(repeats, run) / 1e6


def single_bytes(memory_class, repeats, base=LOW):
    count = 100_000
    addresses = [base + i * 13 for i in range(count)]
    one = b"\x5a"

    def run(_):
        memory = memory_class()
        write = memory.write
        for address in addresses:
            write(address, one)

    return count / best_of(repeats, run)


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def isolated_bytes(memory_class, base=LOW):
    """Resident bytes per byte written for 100k bytes at random addresses (one page each),
    measured in a fresh interpreter: freed memory that this one keeps would hide the growth."""
    kind = "native" if memory_class is SparseByteMemory else "dict"
    child = subprocess.run([sys.executable, __file__, "--isolated", kind, str(base)],
                           check=True, capture_output=True, text=True)
    return float(child.stdout)


def _isolated_in_this_process(memory_class, base):
    count = 100_000
    rng = random.Random(3)
    addresses = [base + rng.getrandbits(40) for _ in range(count)]
    one = b"\xa5"
    before = _rss_bytes()
    memory = memory_class()
    for address in addresses:
        memory.write(address, one)
    grown = _rss_bytes() - before
    assert memory.read(addresses[0], 1) == one
    return grown / count


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
        ("write+read 1 MiB, one call each (MB/s)", lambda c, r, b: bulk(c, data_1, r, b)),
        ("write+read 16 MiB, one call each (MB/s)", lambda c, r, b: bulk(c, data_16, r, b)),
        ("write+read 16 MiB in 4 KiB calls, scattered (MB/s)",
         lambda c, r, b: scattered(c, data_16, r, b)),
        ("single-byte writes (per s)", lambda c, r, b: single_bytes(c, r, b)),
        ("isolated bytes, 100k random (resident bytes each)",
         lambda c, r, b: isolated_bytes(c, b)),
    ]
    print(f"{'':52} {'native low':>12} {'native high':>12} {'dict low':>12} {'high/low':>9} "
          f"{'low/dict':>9}")
    for label, measure in rows:
        low = measure(SparseByteMemory, 5, LOW)
        high = measure(SparseByteMemory, 5, HIGH)
        baseline = measure(DictMemory, 1, LOW)
        print(f"{label:52} {low:12,.0f} {high:12,.0f} {baseline:12,.0f} {high / low:9.2f} "
              f"{low / baseline:9.2f}")
    memcpy = copies(data_16, 5)
    native = bulk(SparseByteMemory, data_16, 5)
    label = "16 MiB: two plain copies (MB/s), memcpy/native"
    print(f"{label:52} {memcpy:12,.0f} {'':12} {'':12} {memcpy / native:9.2f}")
    native = decodes(ReadDMADescriptor, 3)
    baseline = decodes(PyReadDMADescriptor, 3)
    label = "read descriptors decoded (per s)"
    print(f"{label:52} {native:12,.0f} {'':12} {baseline:12,.0f} {'':9} {native / baseline:9.2f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--isolated"]:
        kind, base = sys.argv[2], int(sys.argv[3])
        print(_isolated_in_this_process(SparseByteMemory if kind == "native" else DictMemory, base))
    else:
        main()
