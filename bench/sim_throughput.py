#!/usr/bin/env python3
"""Simulation throughput of the DMA model against the bare Avalon-ST library, under Icarus.

    python bench/sim_throughput.py [--sizes 1,4] [--chunk 65536] [--repeat 1]
                                   [--baseline SRC] [--watchdog CYCLES]

Both runs use the same design (examples/dma_loopback/dma_loopback.v), clock and 16-byte beats:

- model: TavrinBFM serves the design's read descriptors from memory on din, and the design's
  loop hands every beat to dout, where the write engine collects it and commits it to memory;
- bare:  the design in pass-through mode, fed by a plain AvalonSTSource and drained by a plain
  AvalonSTSink (recv_beat per beat), doing the same memory reads and writes by hand: the floor
  the model cannot beat;
- naive (--naive): bare without taking the sink's unread duplicate frames off its queue, which
  is what a testbench that only calls recv_beat does;
- before (--baseline SRC): the model as built in another source tree (say a clone of the
  previous commit, built with its own `make build`), interleaved with the current one so both
  see the same machine load: what a change to the model costs;
- watchdog (--watchdog CYCLES): the model with its watchdog on.

The copy is split into descriptors of --chunk bytes that reuse one source and one destination
buffer, so the memory image stays the same size and any growth of the peak RSS with the transfer
is the model's own. Wall-clock time is taken inside the simulation around the copy only (no
build, no start-up). This file is also the cocotb test module the runs load.
"""

import argparse
import contextlib
import json
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge

HERE = Path(__file__).resolve().parent
DESIGN = HERE.parent / "examples" / "dma_loopback" / "dma_loopback.v"
SOURCE = 0x10_0000
DESTINATION = 0x80_0000
CHANNEL = 1


# --- inside the simulator ---------------------------------------------------------------------


def _rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def _copy_with_model(dut, memory, total, chunk):
    from corvane.sim.bfms.tavrin import TavrinBFM

    watchdog = os.environ.get("BENCH_WATCHDOG")
    extra = {"watchdog_cycles": int(watchdog)} if watchdog else {}
    bfm = TavrinBFM(dut, dut.clk, dut.reset, memory=memory, **extra)
    bfm.start()
    done = RisingEdge(dut.done)
    dut.src_address.value = SOURCE
    dut.dst_address.value = DESTINATION
    dut.length.value = chunk
    for _ in range(total // chunk):
        await FallingEdge(dut.clk)
        dut.start.value = 1
        await FallingEdge(dut.clk)
        dut.start.value = 0
        await done
    descriptors = bfm.write_responses.qsize()
    bfm.stop()
    return descriptors


async def _copy_with_library(dut, memory, total, chunk, drop_frames=True):
    from cocotbext.avalon import (AvalonFormat, AvalonSTBus, AvalonSTFrame, AvalonSTSink,
                                  AvalonSTSource)

    dut.passthrough.value = 1
    din, dout = AvalonSTBus.from_prefix(dut, "din"), AvalonSTBus.from_prefix(dut, "dout")
    width = len(din.data) // 8
    fmt = AvalonFormat(bits_per_symbol=8, symbols_per_beat=width,
                       first_symbol_in_high_order_bits=True)
    source = AvalonSTSource(din, fmt, dut.clk, reset=dut.reset, packets=True, idle_value=0)
    sink = AvalonSTSink(dout, fmt, dut.clk, reset=dut.reset, packets=False)
    beats = chunk // width
    for _ in range(total // chunk):
        await source.send(AvalonSTFrame(memory.read(SOURCE, chunk), channel=CHANNEL))
        payload = bytearray()
        for _ in range(beats):
            beat = await sink.recv_beat()
            payload.extend(beat.symbols)
            # The same upkeep the model does: drop the sink's unread copy of the beat.
            if drop_frames and not sink.queue.empty():
                sink.recv_nowait()
        memory.write(DESTINATION, payload)
    source.cancel()
    sink.cancel()
    return total // chunk


@cocotb.test()
async def throughput(dut):
    from corvane.sim.bfms import tavrin

    mode = os.environ["BENCH_MODE"]
    total = int(os.environ["BENCH_BYTES"])
    chunk = int(os.environ["BENCH_CHUNK"])

    Clock(dut.clk, 10, unit="ns").start()
    dut.reset.value = 1
    for name in ("start", "passthrough", "src_address", "dst_address", "length"):
        getattr(dut, name).value = 0
    dut.channel.value = CHANNEL
    await ClockCycles(dut.clk, 3)
    dut.reset.value = 0
    await RisingEdge(dut.clk)

    memory = tavrin.SparseByteMemory()
    pattern = bytes((i * 13 + 5) & 0xFF for i in range(chunk))
    memory.write(SOURCE, pattern)
    rss_before = _rss_kib()

    copies = {
        "model": _copy_with_model,
        "before": _copy_with_model,
        "watchdog": _copy_with_model,
        "bare": _copy_with_library,
        "naive": lambda *args: _copy_with_library(*args, drop_frames=False),
    }
    copy = copies[mode]
    profile_path = os.environ.get("BENCH_PROFILE")
    if profile_path:
        import cProfile

        profiler = cProfile.Profile()
        profiler.enable()
    started = time.perf_counter()
    descriptors = await copy(dut, memory, total, chunk)
    seconds = time.perf_counter() - started
    if profile_path:
        profiler.disable()
        profiler.dump_stats(profile_path)

    assert memory.read(DESTINATION, chunk) == pattern
    beats = total // (len(dut.din_data) // 8)
    Path(os.environ["BENCH_RESULT"]).write_text(json.dumps({
        "mode": mode,
        "module": tavrin.__file__,  # which tree's model ran
        "bytes": total,
        "beats": beats,
        "descriptors": descriptors,
        "seconds": seconds,
        "rss_before_kib": rss_before,
        "rss_after_kib": _rss_kib(),
        "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
    }))


# --- on the host ------------------------------------------------------------------------------


@contextlib.contextmanager
def _output_to(log_path):
    """Send this process's and the simulator's stdout/stderr to a file, at descriptor level."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(log_path, "ab") as log:
        os.dup2(log.fileno(), 1)
        os.dup2(log.fileno(), 2)
        try:
            yield
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])


def _run(workdir, mode, total, chunk, baseline=None, watchdog=None):
    from corvane.sim.runners.rtl import rtl_test_cocotb

    result = workdir / f"{mode}_{total}.json"
    result.unlink(missing_ok=True)
    os.environ.update(BENCH_MODE=mode, BENCH_BYTES=str(total), BENCH_CHUNK=str(chunk),
                      BENCH_RESULT=str(result))
    os.environ.pop("BENCH_WATCHDOG", None)
    if mode == "watchdog":
        os.environ["BENCH_WATCHDOG"] = str(watchdog)
    # The simulator's Python gets this process's sys.path: the baseline tree first makes it
    # import the model built there.
    front = [str(baseline)] if mode == "before" else []
    sys.path[:0] = front
    try:
        with _output_to(workdir / "simulation.log"):
            rtl_test_cocotb(workdir, "dma_loopback", Path(__file__).stem, sources=[DESIGN],
                            compile_log=workdir / "compile.log")
    except SystemExit as exc:
        sys.exit(f"{mode} run of {total} bytes failed ({exc.code}); see {workdir}/simulation.log")
    finally:
        del sys.path[:len(front)]
    figures = json.loads(result.read_text())
    imported = Path(figures["module"]).resolve()
    if mode == "before" and not imported.is_relative_to(baseline.resolve()):
        sys.exit(f"the before run imported {figures['module']}, not the model in {baseline}")
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1,4", help="transfer sizes in MiB (default: 1,4)")
    parser.add_argument("--chunk", type=int, default=65536, help="bytes per descriptor")
    parser.add_argument("--repeat", type=int, default=2,
                        help="interleaved runs per figure; the fastest is kept (default: 2)")
    parser.add_argument("--naive", action="store_true",
                        help="also run the bare library without dropping the sink's unread "
                             "frames, to show the memory growth the model avoids")
    parser.add_argument("--baseline", type=Path,
                        help="src/ of another built tree: also run its model ('before')")
    parser.add_argument("--watchdog", type=int,
                        help="also run the model with watchdog_cycles set to this")
    parser.add_argument("--keep", action="store_true", help="keep the build directory")
    args = parser.parse_args(argv)

    os.environ["SIM"] = "icarus"
    os.environ.pop("PYTEST_CURRENT_TEST", None)
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))  # the simulator imports this file as the test module

    workdir = Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    print(f"{'run':<7} {'MiB':>4} {'beats':>8} {'descr':>6} {'seconds':>8} {'beats/s':>9} "
          f"{'RSS before':>11} {'peak RSS':>9}")
    for mib in (float(size) for size in args.sizes.split(",")):
        total = int(mib * (1 << 20))
        # Interleaved, best of --repeat: the machine is shared, so a single pair can be skewed
        # by whatever else runs at the time.
        runs = {"bare": [], "model": []}
        if args.naive:
            runs["naive"] = []
        if args.baseline:
            runs["before"] = []
        if args.watchdog:
            runs["watchdog"] = []
        for _ in range(args.repeat):
            for mode in runs:
                runs[mode].append(_run(workdir, mode, total, args.chunk, args.baseline,
                                       args.watchdog))
        best = {mode: min(results, key=lambda r: r["seconds"]) for mode, results in runs.items()}
        for mode, r in best.items():
            print(f"{mode:<7} {mib:>4g} {r['beats']:>8} {r['descriptors']:>6} "
                  f"{r['seconds']:>8.2f} {r['beats'] / r['seconds']:>9.0f} "
                  f"{r['rss_before_kib'] / 1024:>8.1f} MiB {r['maxrss_kib'] / 1024:>5.1f} MiB",
                  flush=True)
        ratio = best["model"]["seconds"] / best["bare"]["seconds"]
        print(f"        model / bare at {mib:g} MiB: {ratio:.3f} "
              f"({(ratio - 1) * 100:+.1f} % time; target at most +10 %)", flush=True)
        for mode, against in [("before", "model / before"), ("watchdog", "watchdog / model")]:
            if mode in best:
                numerator, denominator = ((best["model"], best["before"]) if mode == "before"
                                          else (best["watchdog"], best["model"]))
                ratio = numerator["seconds"] / denominator["seconds"]
                print(f"        {against} at {mib:g} MiB: {ratio:.3f} "
                      f"({(ratio - 1) * 100:+.1f} % time)", flush=True)
    if not args.keep:
        import shutil

        shutil.rmtree(workdir, ignore_errors=True)
    else:
        print(f"build and logs kept in {workdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
