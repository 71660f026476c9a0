"""Benchmark: parsing a large Platform Designer set-up script into the Verilator source list.

Generates systems whose msim_setup.tcl lists 2,000 and 20,000 files on vlog lines (some listed
twice, some repeating another file's design unit), then times
corvane.sim.pelorin._msim_verilog_sources against the floor: reading every listed file once, as
`cat` would. Both run on a warm page cache; the best of several rounds is reported. The parser
works on the host's pathlib paths and `re`, so it costs a few times the floor; what a user waits
for is the 2,000-file system (a large one in practice), which must parse well under a second.

    python bench/msim_parse.py [--files 20000] [--rounds 5]
"""

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path

from corvane.sim import pelorin

SYSTEM = "benchsys"


def module_text(name, rng):
    ports = "\n".join(f"    input  wire [{rng.randrange(1, 32)}:0] in_{k}," for k in range(8))
    body = "\n".join(f"    assign out_{k} = in_{k} ^ {k};" for k in range(8))
    outs = ",\n".join(f"    output wire [31:0] out_{k}" for k in range(8))
    return (f"// {name}.v: generated for the benchmark\n`timescale 1 ps / 1 ps\n"
            f"module {name} (\n{ports}\n{outs}\n);\n{body}\nendmodule\n")


def generate(root, listed, rng):
    """Writes the system; returns the distinct listed files in listing order."""
    simdir = root / SYSTEM / SYSTEM / "testbench"
    sub = simdir / f"{SYSTEM}_tb" / "simulation" / "submodules"
    unique = int(listed * 0.8)              # 20 % of the listings name a file a second time
    files = []
    for i in range(unique):
        folder = sub / f"ip_{i // 500:03d}"
        if i % 500 == 0:
            folder.mkdir(parents=True)
        path = folder / f"unit_{i}.v"
        # Every tenth file repeats an earlier file's module, as generated systems do.
        unit = f"unit_{i - 7}" if i % 10 == 9 and i >= 7 else f"unit_{i}"
        path.write_text(module_text(unit, rng))
        files.append(path)
    listing = files + [rng.choice(files) for _ in range(listed - unique)]
    rng.shuffle(listing)
    lines = ['if ![info exists QSYS_SIMDIR] {', '  set QSYS_SIMDIR "./../"', "}",
             'set QUARTUS_INSTALL_DIR "/opt/intelFPGA/23.1/quartus/"',
             'set USER_DEFINED_COMPILE_OPTIONS ""', "alias com {", '  echo "\\[exec\\] com"']
    for path in listing:
        rel = path.relative_to(simdir).as_posix()
        lib = path.parent.name
        lines.append(f'  eval  vlog $USER_DEFINED_VERILOG_COMPILE_OPTIONS '
                     f'$USER_DEFINED_COMPILE_OPTIONS "$QSYS_SIMDIR/{rel}" -work {lib}')
    lines.append("}")
    (simdir / "mentor").mkdir(parents=True)
    (simdir / "mentor" / "msim_setup.tcl").write_text("\n".join(lines) + "\n")
    return list(dict.fromkeys(listing))


def read_floor(paths):
    for path in paths:
        with open(path, "rb") as file:
            file.read()


def best_of(rounds, fn):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(files, rounds):
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        distinct = generate(root, files, random.Random(1))
        script = pelorin._platform_msim_setup(root, SYSTEM)
        size = sum(p.stat().st_size for p in distinct) + script.stat().st_size
        sources = pelorin._msim_verilog_sources(root, SYSTEM)   # warms the page cache
        floor = best_of(rounds, lambda: (read_floor(distinct), script.read_bytes()))
        parse = best_of(rounds, lambda: pelorin._msim_verilog_sources(root, SYSTEM))
    print(f"listed files:        {files} ({len(distinct)} distinct, {size / 1e6:.1f} MB)")
    print(f"sources kept:        {len(sources)}")
    print(f"read floor:          {floor * 1e3:8.1f} ms  (each distinct file read once)")
    print(f"_msim_verilog_sources {parse * 1e3:7.1f} ms  ({parse / floor:.2f} x floor)")
    return parse


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    os.environ.pop("QUARTUS_INSTALL_DIR", None)
    os.environ.pop("QUARTUS_ROOTDIR", None)
    typical = measure(2000, args.rounds)
    print(f"target: 2,000 files in under 0.5 s: {'met' if typical < 0.5 else 'MISSED'}")
    print()
    measure(args.files, args.rounds)
    return 0 if typical < 0.5 else 1


if __name__ == "__main__":
    sys.exit(main())
