"""Real builds of the fixture systems from the source list that corvane.sim.pelorin parses out of
their msim_setup.tcl: under Icarus through a runner that takes the Verilator arguments, and under
Verilator itself when one is installed. fixture/ is a Standard-edition testbench system;
fixture_pro/ a Quartus Pro one whose design files are listed only in the file its script sources,
with a gate-level .vo netlist, encrypted copies and a commented-out file."""

import shutil
from pathlib import Path

import pytest

from cocotb_tools.runner import Verilog, get_results

from corvane.sim import pelorin
from simrun import verilator_path

HERE = Path(__file__).resolve().parent
SYSTEM = "pelsys"

pytestmark = pytest.mark.sim


def copy_project(tmp_path, monkeypatch, fixture, quartus):
    """A copy of a fixture, set up for a cocotb run from pytest."""
    root = tmp_path / "project"
    shutil.copytree(HERE / fixture, root)
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(root / quartus))
    monkeypatch.syspath_prepend(str(HERE))
    return root


@pytest.fixture
def project(tmp_path, monkeypatch):
    return copy_project(tmp_path, monkeypatch, "fixture", "intelFPGA/23.1/quartus")


@pytest.fixture
def pro_project(tmp_path, monkeypatch):
    return copy_project(tmp_path, monkeypatch, "fixture_pro", "intelFPGA_pro/23.4/quartus")


def run_verilator(monkeypatch, *args):
    """pelorin.run_verilator outside pytest's eyes: with PYTEST_CURRENT_TEST set (pytest sets it
    again for every test phase), cocotb's runner checks the results itself and exits."""
    monkeypatch.delenv("PYTEST_CURRENT_TEST", raising=False)
    return pelorin.run_verilator(*args)


class IcarusWithVerilatorArguments:
    """Records what run_verilator hands to the runner, then builds exactly those sources, with
    the -I directories as include directories, under Icarus."""

    def __init__(self, icarus):
        self.icarus = icarus
        self.calls = []

    def build(self, **kwargs):
        self.calls.append(("build", kwargs))
        includes = [arg[2:] for arg in kwargs["build_args"] if arg.startswith("-I")]
        self.icarus.build(sources=kwargs["sources"], hdl_toplevel=kwargs["hdl_toplevel"],
                          build_dir=kwargs["build_dir"], always=kwargs["always"],
                          includes=includes, timescale=("1ps", "1ps"))

    def test(self, **kwargs):
        self.calls.append(("test", kwargs))
        return self.icarus.test(**kwargs)


@pytest.fixture
def icarus_runner(monkeypatch):
    import cocotb_tools.runner

    real_get_runner = cocotb_tools.runner.get_runner
    wrapper = IcarusWithVerilatorArguments(real_get_runner("icarus"))
    requested = []
    monkeypatch.setattr(cocotb_tools.runner, "get_runner",
                        lambda sim: requested.append(sim) or wrapper)
    wrapper.requested = requested
    return wrapper


def test_parsed_sources_build_and_pass_under_icarus(project, icarus_runner, monkeypatch, capsys):
    run_verilator(monkeypatch, project, SYSTEM, "tb_pelsys")

    sources = pelorin._msim_verilog_sources(project, SYSTEM)
    assert [p.name for p in sources] == ["altera_mf.v", "altera_reset_controller.v",
                                         "pelsys_counter.sv", "pelsys_adder_defs.v",
                                         "pelsys_adder.v", "pelsys.v"]
    assert icarus_runner.requested == ["verilator"]
    [(_, build), (_, test)] = icarus_runner.calls
    assert build["sources"] == sources and build["always"] is True
    assert build["build_dir"] == project / "sim_build_verilator"
    assert test == {"hdl_toplevel": SYSTEM, "test_module": "tb_pelsys",
                    "hdl_toplevel_lang": "verilog", "build_dir": project / "sim_build_verilator",
                    "waves": False}
    assert capsys.readouterr().out.startswith(f"Verilator sources:\n   {sources[0]}\n")
    assert get_results(project / "sim_build_verilator" / "results.xml") == (2, 0)


def test_keeping_the_repeated_design_unit_breaks_the_build(project, icarus_runner, monkeypatch):
    """The fixture is sharp: with only repeated paths removed, the decoy copy of a design unit
    reaches the compiler and the build fails."""
    monkeypatch.setattr(pelorin, "_unique_verilator_sources", lambda s: list(dict.fromkeys(s)))
    with pytest.raises(Exception, match="return code|returned non-zero"):
        run_verilator(monkeypatch, project, SYSTEM, "tb_pelsys")


@pytest.mark.skipif(verilator_path() is None,
                    reason="verilator not found on PATH nor as the 'verilator' Python package")
def test_fixture_system_under_verilator(project, monkeypatch, capsys):
    monkeypatch.setenv("PATH", verilator_path())
    run_verilator(monkeypatch, project, SYSTEM, "tb_pelsys")
    assert get_results(project / "sim_build_verilator" / "results.xml") == (2, 0)
    assert capsys.readouterr().out.startswith("Verilator sources:\n")


PRO_SOURCES = ["altera_primitives.v", "prosys_count_200_core.sv", "prosys_gray_enc_100_k3xq7ba.vo",
               "prosys.v"]
PRO_VHDL_LINE = "Left out 1 VHDL file: altera_mf.vhd (Verilator compiles Verilog only)\n"


def test_pro_system_builds_and_passes_under_icarus(pro_project, icarus_runner, monkeypatch,
                                                    capsys):
    run_verilator(monkeypatch, pro_project, "prosys", "tb_prosys")
    [(_, build), _] = icarus_runner.calls
    # The runner tells languages by file name: the netlist goes tagged as Verilog.
    assert [Path(getattr(s, "value", s)).name for s in build["sources"]] == PRO_SOURCES
    assert isinstance(build["sources"][2], Verilog)
    assert capsys.readouterr().out.endswith(f"prosys.v\n{PRO_VHDL_LINE}")
    assert get_results(pro_project / "sim_build_verilator" / "results.xml") == (1, 0)


@pytest.mark.skipif(verilator_path() is None,
                    reason="verilator not found on PATH nor as the 'verilator' Python package")
def test_pro_system_under_verilator(pro_project, monkeypatch, capsys):
    """The encrypted device atoms and the Mentor copy stay out (Verilator stops at a protect
    block), the netlist goes in, and the design is found in the sourced file only."""
    monkeypatch.setenv("PATH", verilator_path())
    run_verilator(monkeypatch, pro_project, "prosys", "tb_prosys")
    assert get_results(pro_project / "sim_build_verilator" / "results.xml") == (1, 0)
    assert PRO_VHDL_LINE in capsys.readouterr().out
