"""What the three runners guarantee around a run: SIM never names a path, a build directory serves
one run at a time, the test step ends alike under pytest and finds the caller's test module, and
an outside tool ends with its whole process group."""

import fcntl
import importlib
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import cocotb_tools.runner
import pytest

from corvane.sim import pelorin
from corvane.sim.runners import quessel, rtl

FAKES = Path(__file__).resolve().parents[1] / "fakes"


def tree(root):
    return sorted((str(p.relative_to(root)), p.is_dir()) for p in root.rglob("*"))


class Probe:
    """Stands in for cocotb's runner; each step records whether the lock file is held then and
    raises `error` at the step named `fail_at`."""

    def __init__(self, monkeypatch, lock_file, fail_at=None, error=None):
        self.lock_file, self.fail_at, self.error = lock_file, fail_at, error
        self.seen = []
        monkeypatch.setattr(cocotb_tools.runner, "get_runner", lambda sim: self)
        monkeypatch.setattr(cocotb_tools.runner, "get_results", lambda path: self.step("check"))

    def held(self):
        fd = os.open(self.lock_file, os.O_RDWR)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(fd)

    def step(self, name, **kwargs):
        self.seen.append((name, self.held(), kwargs.get("build_dir")))
        if name == self.fail_at:
            raise self.error
        return (2, 0)

    def build(self, **kwargs):
        self.step("build", **kwargs)

    def test(self, **kwargs):
        self.step("test", **kwargs)
        self.environment = dict(os.environ)
        self.sys_path = list(sys.path)
        return "results"


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = tmp_path / "proj"
    (root / "sim_build_verilator").mkdir(parents=True)
    (root / "sim_build_verilator" / "keep.o").write_text("")
    (tmp_path / "sibling").mkdir()
    (tmp_path / "sibling" / "keep.v").write_text("")
    for name in ("SIM", "PYTHONPATH", "QUESTA_ACC"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.setattr(sys, "argv", ["test_x.py"])
    monkeypatch.setattr(quessel, "quessel_test_cocotb", lambda **kw: pytest.fail("reached"))
    monkeypatch.setattr(cocotb_tools.runner, "get_runner", lambda sim: pytest.fail("reached"))
    return root


ENV_ENTRIES = {
    "rtl": lambda root: rtl.rtl_test_cocotb(root, "top", "tb", sources=[]),
    "quessel": lambda root: quessel.run_quessel_test(project_root=root, component_file="c.ip",
                                                     hdl_toplevel="top", test_module="tb"),
}


@pytest.mark.parametrize("sim", ["", ".", "..", "verilator/..", "verilator/../../sibling",
                                 "/abs", "a\\b", "nul\0"])
@pytest.mark.parametrize("entry", ["rtl", "quessel", "clean"])
def test_sim_that_is_a_path_is_refused_before_anything_changes(project, monkeypatch, sim,
                                                                entry):
    before = tree(project.parent)
    with pytest.raises(ValueError) as info:
        if entry == "clean":
            quessel._clean_sim_build(project, sim)
        else:
            if "\0" in sim:
                pytest.skip("the environment cannot hold a NUL")
            monkeypatch.setenv("SIM", sim)
            ENV_ENTRIES[entry](project)
    assert str(info.value).startswith("SIM must be a plain simulator name")
    assert repr(sim) in str(info.value)
    assert tree(project.parent) == before


@pytest.mark.parametrize("build_dir", [".", "..", "sub/../..", "link"])
def test_clean_step_never_removes_the_root_or_outside_it(project, build_dir):
    (project / "link").symlink_to(project.parent / "sibling")
    before = tree(project.parent)
    with pytest.raises(ValueError, match="^Refusing to clean "):
        quessel._clean_sim_build(project, "verilator", build_dir=build_dir)
    assert tree(project.parent) == before


FLOWS = {
    "rtl": lambda root, b: rtl.rtl_test_cocotb(root, "top", "tb", sources=[], build_dir=b),
    "questa": lambda root, b: pelorin.run_questa(root, "sys", "tb", build_dir=b),
    "verilator": lambda root, b: pelorin.run_verilator(root, "sys", "tb", build_dir=b),
    "clean": lambda root, b: quessel._clean_sim_build(root, "icarus", build_dir=b),
}


@pytest.mark.parametrize("flow, fail_at, error, steps", [
    ("rtl", None, None, ["build", "test", "check"]),
    # A build directory in folders that do not exist yet: they are made for the lock file.
    ("rtl", "new", None, ["build", "test", "check"]),
    ("questa", "new", None, ["compile", "build", "test", "check"]),
    ("verilator", "new", None, ["build", "test", "check"]),
    ("rtl", "build", KeyboardInterrupt(), ["build"]),
    ("rtl", "test", SystemExit(1), ["build", "test"]),
    ("rtl", "check", RuntimeError("no results"), ["build", "test", "check"]),
    ("questa", None, None, ["compile", "build", "test", "check"]),
    ("questa", "compile", KeyboardInterrupt(), ["compile"]),
    ("verilator", "test", SystemExit(2), ["build", "test"]),
    ("clean", None, None, ["clean"]),
    ("clean", "clean", KeyboardInterrupt(), ["clean"]),
])
def test_lock_is_held_for_the_whole_run_and_released_on_every_way_out(
        tmp_path, monkeypatch, flow, fail_at, error, steps):
    build_dir = "runs/new/b" if fail_at == "new" else "b"
    probe = Probe(monkeypatch, tmp_path / f"{build_dir}.lock", fail_at, error)
    monkeypatch.setattr(pelorin, "compile_with_msim_setup",
                        lambda root, top, build_dir: probe.step("compile", build_dir=build_dir))
    monkeypatch.setattr(pelorin, "get_msim_libraries", lambda path: [])
    monkeypatch.setattr(pelorin, "_msim_verilog_sources", lambda root, top: [])
    if build_dir == "b":
        (tmp_path / "b").mkdir()
    monkeypatch.setattr("shutil.rmtree", lambda path: probe.step("clean"))
    if error is None:
        FLOWS[flow](tmp_path, build_dir)
    else:
        with pytest.raises(type(error)):
            FLOWS[flow](tmp_path, build_dir)
    assert [name for name, _, _ in probe.seen] == steps
    assert all(held for _, held, _ in probe.seen)
    assert {d for _, _, d in probe.seen} <= {None, build_dir, tmp_path / build_dir}
    assert not probe.held()


def test_a_second_run_waits_for_the_first(tmp_path, monkeypatch, capsys):
    probe = Probe(monkeypatch, tmp_path / "sim_build_questa.lock")
    fd = os.open(probe.lock_file, os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX)
    run = threading.Thread(target=rtl.rtl_test_cocotb, args=(tmp_path, "top", "tb"),
                           kwargs={"sources": [], "compile_log": tmp_path / "c.log"})
    run.start()
    out = ""
    deadline = time.monotonic() + 10
    while "Waiting for" not in out and time.monotonic() < deadline:
        time.sleep(0.05)
        out += capsys.readouterr().out
    assert probe.seen == [], "the run went ahead while another held its build directory"
    os.close(fd)
    run.join(10)
    assert out.splitlines()[-1] == (f"Waiting for {probe.lock_file}: another run is using "
                                    f"{tmp_path / 'sim_build_questa'}")
    assert [name for name, _, _ in probe.seen] == ["build", "test", "check"]


@pytest.mark.parametrize("entry, test_module, added", [
    ("", "tb_probe_top", True),
    ("", "corvane_probe_pkg.tb_mod, tb_probe_top", True),
    ("", ["corvane_probe_pkg.tb_mod"], True),
    ("tests", "tb_probe_top", True),
    (None, "tb_probe_top", False),   # already on the path as an absolute entry
    ("", "tb_probe_missing", False),
])
def test_test_step_sees_the_callers_module_and_no_pytest_variable(
        tmp_path, monkeypatch, entry, test_module, added):
    tests = tmp_path / "tests"
    (tests / "corvane_probe_pkg").mkdir(parents=True)
    (tests / "tb_probe_top.py").write_text("")
    (tests / "corvane_probe_pkg" / "__init__.py").write_text("")
    (tests / "corvane_probe_pkg" / "tb_mod.py").write_text("")
    monkeypatch.chdir(tests if entry == "" else tmp_path)
    monkeypatch.setattr(sys, "path", [str(tests) if entry is None else entry, *sys.path])
    monkeypatch.setenv("PYTEST_CURRENT_TEST", "outer.py::test (call)")
    importlib.invalidate_caches()
    before = list(sys.path)
    probe = Probe(monkeypatch, tmp_path / "sim_build_questa.lock")
    rtl.rtl_test_cocotb(tmp_path, "top", test_module, sources=[])
    assert "corvane_probe_pkg" not in sys.modules  # found, not imported into the host
    # cocotb's runner would have judged the results itself under pytest and called sys.exit(1).
    assert "PYTEST_CURRENT_TEST" not in probe.environment
    assert os.environ["PYTEST_CURRENT_TEST"] == "outer.py::test (call)"
    expected = [str(tests), *before] if added else before
    assert probe.sys_path == expected
    assert sys.path == before


DRIVER = r"""
import os, signal, sys
tool, how, root = sys.argv[1:]
if how == "timeout":   # as pytest-timeout and similar tools end a test: from a signal handler
    def expire(*_):
        raise TimeoutError("the test ran out of time")
    signal.signal(signal.SIGALRM, expire)
elif how == "exit":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
if tool == "vsim":
    from corvane.sim import pelorin
    pelorin.compile_with_msim_setup(root, "sys")
elif tool == "ip-generate":
    from corvane.sim.runners import quessel
    quessel._run_command(["ip-generate", "--component-file=x"], root)
else:  # cocotb's runner starting the Icarus compiler
    os.environ["SIM"] = "icarus"
    from corvane.sim.runners import rtl
    rtl.rtl_test_cocotb(root, "top", "tb", sources=[])
"""


WAIT_CALLS = {"x86_64": ("61", "247"), "aarch64": ("260", "95")}  # wait4, waitid


def in_wait(pid):
    """Whether `pid` blocks in wait4/waitid; true where that cannot be seen."""
    try:
        number = Path(f"/proc/{pid}/syscall").read_text().split()[0]
    except (OSError, IndexError):
        return True
    return number in WAIT_CALLS.get(os.uname().machine, (number,))


def alive(pid):
    try:
        os.kill(pid, 0)
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (ProcessLookupError, FileNotFoundError):
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"  # a zombie has ended


@pytest.mark.parametrize("tool, how, signum, ending", [
    ("vsim", "interrupt", signal.SIGINT, "KeyboardInterrupt"),
    ("ip-generate", "interrupt", signal.SIGINT, "KeyboardInterrupt"),
    ("iverilog", "interrupt", signal.SIGINT, "KeyboardInterrupt"),
    ("iverilog", "timeout", signal.SIGALRM, "TimeoutError: the test ran out of time"),
    ("vsim", "exit", signal.SIGTERM, None),
    ("ip-generate", "fail", None, "CalledProcessError"),
    ("iverilog", "fail", None, "RuntimeError: Command failed with return code: 4"),
])
def test_no_process_of_a_tool_outlives_an_interrupted_or_failed_run(tmp_path, tool, how, signum,
                                                                     ending):
    """The tool is a wrapper that starts its real program as a child: that one must go too."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / tool).symlink_to(FAKES / "forking-tool")
    pid_file = tmp_path / "program.pid"
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
           "FAKE_TOOL_CHILD_PID": str(pid_file)}
    env.pop("PYTEST_CURRENT_TEST", None)
    if how == "fail":
        env["FAKE_TOOL_EXIT"] = "4"
    run = subprocess.Popen([sys.executable, "-c", DRIVER, tool, how, str(tmp_path)], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    program = None
    try:
        deadline = time.monotonic() + 30
        while not (pid_file.exists() and pid_file.read_text().strip()):
            assert run.poll() is None and time.monotonic() < deadline, run.communicate()
            time.sleep(0.02)
        program = int(pid_file.read_text())
        if signum is not None:
            # Signal only once the interpreter waits for the tool: an interrupt inside Popen
            # itself, before it returns the process, is beyond any caller (no child known yet).
            while not in_wait(run.pid):
                assert run.poll() is None and time.monotonic() < deadline, run.communicate()
                time.sleep(0.02)
            run.send_signal(signum)  # to the interpreter alone, not to its group
        _, err = run.communicate(timeout=30)
        codes = {"interrupt": -signal.SIGINT, "exit": 3}  # KeyboardInterrupt ends by SIGINT
        assert run.returncode == codes.get(how, 1), err
        if ending:
            assert ending in err.splitlines()[-1]
        deadline = time.monotonic() + 5
        while alive(program) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert not alive(program), "the wrapper's child survived"
    finally:
        if run.poll() is None:
            run.kill()
        if program is not None and alive(program):
            os.kill(program, signal.SIGKILL)
