"""Throughput of System Console memory transfers through the fake console.

Prints, for a 64 MiB block of 16-bit words:
- the floor: writing the words to a file, copying the file and reading the copy back (the
  bytes take the same way through files as a transfer's data_in.bin / data_out.bin do);
- write_memory then read_memory through tests/fakes/system-console (the real session script
  under tclsh over a simulated board), 4096-byte chunks: MB/s and the CPU time of this process
  (main and reader threads: files, line handling, progress bar) next to the child's;
- the host-side cost of one transfer (a 2-byte write, round trip through the script) and of
  one progress line (a scripted console firing progress lines as fast as it can print them).

MB/s counts 10**6 bytes. The progress bar goes to /dev/null while timing, so terminal drawing
is not measured.

    python bench/console_transfer.py [--mib 64]
"""

import argparse
import contextlib
import os
import pathlib
import shutil
import tempfile
import time

import numpy as np

from corvane.hil.intel.brenlow import IntelBrenlowSession

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONSOLE = str(ROOT / "tests" / "fakes" / "system-console")
SCRIPTED = str(ROOT / "tests" / "fakes" / "scripted-console")
TICKS = os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def quiet_stderr():
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def child_cpu(proc):
    """User + system CPU seconds of a running child, from /proc."""
    fields = pathlib.Path(f"/proc/{proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def timed(action):
    wall, cpu = time.perf_counter(), time.process_time()
    result = action()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def floor(words, folder):
    source, copy = folder / "floor_in.bin", folder / "floor_out.bin"

    def run():
        words.tofile(source)
        shutil.copyfile(source, copy)
        return np.fromfile(copy, dtype="<u2")

    back, wall, cpu = timed(run)
    assert np.array_equal(back, words)
    return wall, cpu


def through_console(words, folder):
    session = IntelBrenlowSession(CONSOLE, work_dir=folder)
    with session:
        child_before = child_cpu(session._proc)
        _, write_wall, write_cpu = timed(lambda: session.write_memory(words, 0))
        shape = (len(words) // 1024, 1024)
        back, read_wall, read_cpu = timed(lambda: session.read_memory(shape, 0))
        child = child_cpu(session._proc) - child_before
    assert np.array_equal(back.ravel(), words)
    return write_wall, write_cpu, read_wall, read_cpu, child


def per_transfer(folder, count=200):
    session = IntelBrenlowSession(CONSOLE, work_dir=folder)
    with session:
        session.write_memory([1], 0)
        _, wall, cpu = timed(lambda: [session.write_memory([1], 0) for _ in range(count)])
    return wall / count, cpu / count


def per_progress_line(folder, monkeypatch_env, lines=20000):
    progress = [f"PROGRESS_BYTES\t{4096 * (i + 1)}\t0\t{i + 1}\t4096\t{hex(4096 * i)}"
                for i in range(lines)]
    plan = folder / "plan.txt"
    plan.write_text("JTAG_READY\n---\n" + "\n".join(progress) + "\nJTAG_DONE\tWRITE\n")
    monkeypatch_env["SCRIPTED_CONSOLE_PLAN"] = str(plan)
    monkeypatch_env["SCRIPTED_CONSOLE_LOG"] = str(folder / "requests.log")
    session = IntelBrenlowSession(SCRIPTED, work_dir=folder)
    with session:
        _, wall, cpu = timed(lambda: session.write_memory([1], 0))
    return wall / lines, cpu / lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=64)
    args = parser.parse_args()
    size = args.mib << 20
    words = np.random.default_rng(1).integers(0, 1 << 16, size=size // 2, dtype=np.uint16)
    mb = size / 1e6

    with tempfile.TemporaryDirectory() as tmp, quiet_stderr():
        folder = pathlib.Path(tmp)
        floor_wall, floor_cpu = floor(words, folder)
        write_wall, write_cpu, read_wall, read_cpu, child = through_console(words, folder)
        transfer_wall, transfer_cpu = per_transfer(folder)
        line_wall, line_cpu = per_progress_line(folder, os.environ)

    lines = size // 4096
    print(f"{args.mib} MiB of 16-bit words, 4096-byte chunks ({lines} progress lines a way)")
    print(f"  floor (tofile, file copy, fromfile): {floor_wall:7.3f} s  "
          f"{mb / floor_wall:8.1f} MB/s")
    print(f"  write_memory through fake console:  {write_wall:7.3f} s  {mb / write_wall:8.1f} MB/s"
          f"  host CPU {write_cpu:.3f} s")
    print(f"  read_memory through fake console:   {read_wall:7.3f} s  {mb / read_wall:8.1f} MB/s"
          f"  host CPU {read_cpu:.3f} s")
    print(f"  write + read:                       {write_wall + read_wall:7.3f} s  "
          f"{2 * mb / (write_wall + read_wall):8.1f} MB/s  (child CPU {child:.3f} s)")
    host = write_cpu + read_cpu - floor_cpu
    print(f"  host CPU beyond the floor's file work: {host:.3f} s = "
          f"{1e6 * host / (2 * lines):.1f} us per progress line")
    print(f"per transfer (2-byte write, round trip): {1e3 * transfer_wall:.2f} ms wall, "
          f"{1e3 * transfer_cpu:.2f} ms host CPU")
    print(f"per progress line (scripted console firing lines): {1e6 * line_wall:.1f} us wall, "
          f"{1e6 * line_cpu:.1f} us host CPU")


if __name__ == "__main__":
    main()
