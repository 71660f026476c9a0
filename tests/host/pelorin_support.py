"""Shared pieces of the corvane.sim.pelorin host tests: the fixture system, the fake vsim, and
a runner that records what the flows hand to cocotb's runner interface."""

import json
import os
import shutil
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
FIXTURE = TESTS / "sim" / "pelorin" / "fixture"
PRO_FIXTURE = TESTS / "sim" / "pelorin" / "fixture_pro"  # a Quartus Pro system, prosys
FAKES = TESTS / "fakes"
SYSTEM = "pelsys"
SUBMODULES = Path(SYSTEM, SYSTEM, "testbench", "pelsys_tb", "simulation", "submodules")


def copy_fixture(tmp_path, pro=False):
    """A fresh copy of a fixture project; returns (project root, Quartus directory)."""
    root = tmp_path / "project"
    shutil.copytree(PRO_FIXTURE if pro else FIXTURE, root)
    return root, root / ("intelFPGA_pro/23.4" if pro else "intelFPGA/23.1") / "quartus"


class RecordingRunner:
    """Stands in for cocotb_tools.runner: records get_runner, build and test calls in order."""

    def __init__(self, results=(3, 0)):
        self.calls = []
        self.results = results
        self.results_file = object()

    def get_runner(self, sim):
        self.calls.append(("get_runner", sim))
        return self

    def build(self, **kwargs):
        self.calls.append(("build", list(kwargs.items())))

    def test(self, **kwargs):
        self.calls.append(("test", list(kwargs.items())))
        return self.results_file

    def get_results(self, results_xml):
        assert results_xml is self.results_file, "the test step's result must reach the check"
        self.calls.append(("get_results",))
        return self.results

    def install(self, monkeypatch):
        import cocotb_tools.runner

        monkeypatch.setattr(cocotb_tools.runner, "get_runner", self.get_runner)
        monkeypatch.setattr(cocotb_tools.runner, "get_results", self.get_results)
        return self


@pytest.fixture
def recorder(monkeypatch):
    return RecordingRunner().install(monkeypatch)


@pytest.fixture
def fake_vsim(monkeypatch, tmp_path):
    """Puts tests/fakes first on PATH; returns a function reading the fake's run records."""
    record = tmp_path / "vsim_runs.jsonl"
    monkeypatch.setenv("PATH", f"{FAKES}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("FAKE_VSIM_RECORD", str(record))

    def runs():
        if not record.exists():
            return []
        return [json.loads(line) for line in record.read_text().splitlines()]

    return runs
