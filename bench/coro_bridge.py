#!/usr/bin/env python3
"""Cost of one await through the C++ coroutine bridge, against a native Python coroutine.

    python bench/coro_bridge.py [--awaits 200000] [--repeat 5]

Both coroutines await `factory()` N times and sum the results, driven by send() the way
cocotb's Task drives a coroutine. Two kinds of awaitable:

- yielding: its iterator yields one token (a cocotb trigger stand-in) and returns what is sent;
  every await is a suspension of the whole chain, as for ClockCycles or recv_beat;
- ready:    its iterator returns at once, as Queue.put on an unbounded queue does.

Printed: nanoseconds per await (best of --repeat) for the native coroutine, the C++ one, and
the C++ one awaited from a native coroutine (the await chain a Python subclass hook builds).
"""

import argparse
import time

from corvane.sim.bfms import tavrin


class Yielding:
    __slots__ = ()

    def __await__(self):
        value = yield self
        return value


class Ready:
    __slots__ = ()

    def __await__(self):
        return 1
        yield  # makes this a generator


async def native_sum(factory, count):
    total = 0
    for _ in range(count):
        total += await factory()
    return total


async def native_around(coro):
    return await coro


def drive(coro):
    try:
        coro.send(None)
        while True:
            coro.send(1)
    except StopIteration as stop:
        return stop.value


def best(make, count, repeat):
    times = []
    for _ in range(repeat):
        coro = make()
        start = time.perf_counter()
        result = drive(coro)
        times.append(time.perf_counter() - start)
        assert result == count, result
    return min(times) / count * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--awaits", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n = args.awaits
    print(f"coroutine bridge, {n} awaits, best of {args.repeat} (ns per await)")
    for label, factory in [("yielding", Yielding), ("ready", Ready)]:
        native = best(lambda: native_sum(factory, n), n, args.repeat)
        cpp = best(lambda: tavrin._bridge_selftest_sum(factory, n), n, args.repeat)
        chained = best(lambda: native_around(tavrin._bridge_selftest_sum(factory, n)), n,
                       args.repeat)
        print(f"  {label:9s} native {native:7.1f}   C++ {cpp:7.1f}   C++ under native "
              f"{chained:7.1f}")


if __name__ == "__main__":
    main()
