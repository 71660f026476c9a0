#!/usr/bin/env python3
"""Run the DMA loopback example through corvane's RTL runner and print what the simulation saw.

    python examples/dma_loopback/run.py [--build-root DIR]

The simulator is $SIM, Icarus when unset. The build goes to DIR/sim_build_<SIM> (DIR defaults to
this example's folder). The summary values are read back from the JSON file the cocotb test
writes during the simulation; the exit status is 0 when the test passed and 1 otherwise.
"""

import argparse
import json
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SUMMARY_NAME = "dma_loopback_summary.json"


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-root", type=Path, default=HERE,
                        help="directory that receives sim_build_<SIM> (default: %(default)s)")
    return parser.parse_args(argv)


def run(build_root):
    """Run the cocotb test; return (passed, failure text or None, summary dict or None)."""
    # The cocotb runner hands sys.path to the simulator: the test module must be on it.
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))
    from corvane.sim.runners.rtl import rtl_test_cocotb

    sim = os.environ["SIM"]
    summary_file = build_root / f"sim_build_{sim}" / SUMMARY_NAME
    summary_file.unlink(missing_ok=True)  # never report a previous run's figures
    os.environ["DMA_LOOPBACK_SUMMARY"] = str(summary_file)
    # Started from pytest, cocotb's runner would judge the results itself and exit; this script
    # checks them through rtl_test_cocotb instead.
    os.environ.pop("PYTEST_CURRENT_TEST", None)

    failure = None
    try:
        rtl_test_cocotb(build_root, "dma_loopback", "tb_dma_loopback",
                        sources=[HERE / "dma_loopback.v"])
    except SystemExit as exc:
        failure = str(exc.code)
    summary = json.loads(summary_file.read_text()) if summary_file.is_file() else None
    return failure is None, failure, summary


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    os.environ.setdefault("SIM", "icarus")
    build_root = args.build_root.resolve()
    passed, failure, summary = run(build_root)

    print()
    print(f"DMA loopback ({os.environ['SIM']}, build in {build_root / ('sim_build_' + os.environ['SIM'])})")
    if summary is None:
        print("  the simulation left no summary")
    else:
        print(f"  bytes copied:     {summary['bytes_copied']}")
        print(f"  descriptors seen: {summary['read_descriptors']} read, "
              f"{summary['write_descriptors']} write")
        print(f"  cycles to done:   {summary['cycles']}")
    print(f"  result:           {'PASS' if passed else 'FAIL (' + failure + ')'}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
