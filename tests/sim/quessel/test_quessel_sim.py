"""A per-test script run as a program: fake Quartus tools generate pulse_unit, the originals
replace the generated copies, and a real cocotb test passes under Icarus against the result."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "fakes" / "quartus"))
import fake_quartus  # noqa: E402

pytestmark = pytest.mark.sim

SCRIPT_FILES = ("test_component.py", "tb_pulse_unit.py", "tb_pulse_unit_broken.py",
                "pulse_unit_hw.json", "pulse_unit.v.in")


@pytest.fixture
def project(tmp_path):
    """<tmp>/proj/src holds the originals; the script sits in <tmp>/proj/tests/pulse, so the
    script's default source_dirs ("../../src") and project_directory reach them."""
    root = tmp_path / "proj" / "tests" / "pulse"
    root.mkdir(parents=True)
    shutil.copytree(HERE / "src", tmp_path / "proj" / "src")
    for name in SCRIPT_FILES:
        shutil.copy(HERE / name, root / name)
    bin_dir = fake_quartus.install(tmp_path / "quartus")
    return root, bin_dir


def run_script(project, *args, **env):
    root, bin_dir = project
    environ = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    environ.update(PATH=fake_quartus.path_with(bin_dir), SIM="icarus", PULSE_WIDTH="4", **env)
    return subprocess.run([sys.executable, str(root / "test_component.py"), *args], cwd=root,
                          env=environ, capture_output=True, text=True)


def generated_dirs(root):
    return sorted(p.name for p in root.glob(".ip_generate_*"))


def test_default_run_passes_and_leaves_no_generated_output(project):
    root, bin_dir = project
    build = root / "sim_build_icarus"
    build.mkdir()
    wave = bytes(range(256)) + b"\r\nadd wave *\n"
    (build / "wave.do").write_bytes(wave)
    (build / "stale.vvp").write_text("from an older build")

    result = run_script(project, EXPECT_WAVES="0")
    assert result.returncode == 0, result.stdout + result.stderr
    log = root / "logs" / "ip_generate.log"
    assert result.stdout.splitlines()[:2] == [
        f"IP generation log: {log}", f"icarus compile log: {root / 'logs' / 'icarus_compile.log'}"]
    assert "generated composition HDL" not in result.stdout
    assert (root / "logs" / "icarus_compile.log").is_file()
    assert generated_dirs(root) == []
    assert (build / "wave.do").read_bytes() == wave
    assert not (build / "stale.vvp").exists()
    # What Icarus compiled: the models, the project's own files (not their generated copies)
    # and the wiring from the temporary directory.
    vvp = (build / "sim.vvp").read_text(errors="replace").split(":file_names", 1)[1]
    compiled = {Path(name) for name in re.findall(r'"([^"]+\.s?v)"', vvp)}
    (wiring,) = [p for p in compiled if p.name == "pulse_unit.v"]
    assert wiring.parent.parent == root and wiring.parent.name.startswith(
        ".ip_generate_pulse_unit_")
    src = (root / "../../src").resolve()
    sim_lib = bin_dir.parents[1] / "eda" / "sim_lib"
    assert {p.resolve() for p in compiled - {wiring}} == {
        sim_lib / "220model.v", sim_lib / "altera_mf.v", src / "pulse_counter.v",
        src / "edge_detect.sv"}

    text = log.read_text()
    blocks = text.split("Command: ")
    assert blocks[0] == ""
    assert blocks[1].startswith(f"{bin_dir / 'ip-make-ipx'} --thorough-descent "
                                f"--source-directory={root / '../../src'},")
    assert blocks[2].startswith(f"{bin_dir / 'ip-generate'} --component-file=")
    assert "--part=5CSEMA5F31C6 " in blocks[2] and "--component-parameter=WIDTH=4\n" in blocks[2]
    assert "Info: Finished: 6 file(s)" in blocks[2]
    summary = blocks[2].split("\n\nTemporary generated composition HDL:\n")[1].splitlines()
    assert len(summary) == 1
    assert summary[0].startswith(f"   {root}/.ip_generate_pulse_unit_")
    assert summary[0].endswith("/pulse_unit.v")


def test_retained_runs_keep_only_the_composition_and_start_empty(project):
    root, _ = project
    result = run_script(project, "-g", QUESSEL_DEMO_MODE="retain", EXPECT_WAVES="1")
    assert result.returncode == 0, result.stdout + result.stderr
    # The debug run built Icarus' waveform dumping in, so the waveform is there.
    assert (root / "sim_build_icarus" / "pulse_unit.fst").stat().st_size > 0
    out = root / ".ip_generate_pulse_unit"
    # The simulation passed although no generated copy of the originals is left: it compiled
    # the project's own files, the models and this wiring.
    assert sorted(p.name for p in out.rglob("*")) == [
        "components.ipx", "pulse_unit.v", "pulse_unit.vhd", "pulse_unit_init.hex"]
    assert (root / "logs" / "ip_generate.log").read_text().endswith(
        f"\n\nRetained generated composition HDL:\n   {out / 'pulse_unit.v'}\n"
        f"Generated output directory: {out}\n")

    (out / "leftover.v").write_text("// from the first run")
    result = run_script(project, QUESSEL_DEMO_MODE="generate_only")
    assert result.returncode == 0, result.stdout + result.stderr
    assert not (out / "leftover.v").exists()
    assert result.stdout.splitlines()[-1] == f"Generated output directory: {out}"
    assert not (root / "sim_build_icarus").exists()  # cleaned, and nothing simulated
    assert generated_dirs(root) == [".ip_generate_pulse_unit"]


def test_failed_test_exits_1_and_removes_the_temporary_output(project):
    root, _ = project
    result = run_script(project, PULSE_TEST_MODULE="tb_pulse_unit_broken")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == "Cocotb failed 1 of 1 tests"
    assert generated_dirs(root) == []


@pytest.mark.parametrize("option, code, stream", [("-h", 0, "stdout"), ("-x", 2, "stderr")])
def test_help_and_unknown_options_end_before_any_work(project, option, code, stream):
    root, _ = project
    result = run_script(project, option)
    assert result.returncode == code
    assert getattr(result, stream).startswith("usage: test_component.py [-h] [-g]")
    assert not (root / "logs").exists()
