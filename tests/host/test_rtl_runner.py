"""Host tests of corvane.sim.runners.rtl against recording stand-ins for cocotb's runner."""

import pathlib
import subprocess
import sys

import cocotb_tools.runner
import pytest

from corvane.sim.runners import rtl

QUESTA_BUILD = ["-timescale", "1ns/1ps"]
VERILATOR_BUILD = ["-Wno-fatal", "--timescale", "1ns/1ps", "-CFLAGS", "-std=c++20"]


class Recorder:
    """Stands in for get_runner/get_results and records every call with its argument list."""

    def __init__(self, results=(3, 0)):
        self.calls = []
        self.results = results

    def get_runner(self, *args, **kwargs):
        self.calls.append(("get_runner", args, kwargs))
        return self

    def build(self, *args, **kwargs):
        self.calls.append(("build", args, kwargs))

    def test(self, *args, **kwargs):
        self.calls.append(("test", args, kwargs))
        return "results-file"

    def get_results(self, *args, **kwargs):
        self.calls.append(("get_results", args, kwargs))
        return self.results

    def kwargs_of(self, name):
        (kwargs,) = [kw for call, _, kw in self.calls if call == name]
        return kwargs


@pytest.fixture
def rec(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cocotb_tools.runner, "get_runner", recorder.get_runner)
    monkeypatch.setattr(cocotb_tools.runner, "get_results", recorder.get_results)
    for name in ("SIM", "QUESTA_ACC"):
        monkeypatch.delenv(name, raising=False)
    return recorder


def test_call_sequence_and_arguments(rec, tmp_path):
    rtl.rtl_test_cocotb(str(tmp_path), "top", "test_top", sources=["a.v"])
    build_dir = tmp_path / "sim_build_questa"
    assert [(c, a) for c, a, _ in rec.calls] == [
        ("get_runner", ("questa",)),
        ("build", ()),
        ("test", ()),
        ("get_results", ("results-file",)),
    ]
    build = rec.kwargs_of("build")
    # The order of the named arguments is part of what the runner receives.
    assert list(build.items()) == [
        ("sources", [pathlib.Path("a.v")]),
        ("hdl_toplevel", "top"),
        ("build_dir", build_dir),
        ("always", True),
        ("build_args", QUESTA_BUILD),
        ("parameters", {}),
    ]
    assert list(rec.kwargs_of("test").items()) == [
        ("hdl_toplevel", "top"),
        ("test_module", "test_top"),
        ("hdl_toplevel_lang", "verilog"),
        ("build_dir", build_dir),
        ("gui", False),
        ("waves", False),
        ("test_args", ["-no_autoacc"]),
    ]


@pytest.mark.parametrize(
    "sim, acc, debug, build_args, test_args, gui",
    [
        (None, None, False, QUESTA_BUILD, ["-no_autoacc"], False),
        ("questa", "0", False, QUESTA_BUILD, ["-no_autoacc"], False),
        ("questa", "TRUE", False, QUESTA_BUILD, ["-voptargs=+acc"], False),
        ("questa", "Yes", False, QUESTA_BUILD, ["-voptargs=+acc"], False),
        ("questa", "oN", False, QUESTA_BUILD, ["-voptargs=+acc"], False),
        ("questa", "1", False, QUESTA_BUILD, ["-voptargs=+acc"], False),
        ("questa", " 1", False, QUESTA_BUILD, ["-no_autoacc"], False),
        ("questa", "", False, QUESTA_BUILD, ["-no_autoacc"], False),
        ("questa", "0", True, QUESTA_BUILD, ["-voptargs=+acc", "-do", "wave.do"], True),
        ("verilator", "1", True, VERILATOR_BUILD, [], False),
        ("verilator", None, False, VERILATOR_BUILD, [], False),
        ("Questa", "1", True, [], [], False),
        ("icarus", "1", False, [], [], False),
        # Undecodable bytes of the environment arrive as surrogate escapes and stay so.
        ("q\udcffx", "1", False, [], [], False),
        ("questa", "on\udcff", False, QUESTA_BUILD, ["-no_autoacc"], False),
    ],
)
def test_simulator_arguments(rec, tmp_path, monkeypatch, sim, acc, debug, build_args, test_args,
                             gui):
    if sim is not None:
        monkeypatch.setenv("SIM", sim)
    if acc is not None:
        monkeypatch.setenv("QUESTA_ACC", acc)
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[], debug=debug)
    name = sim or "questa"
    assert rec.calls[0][1] == (name,)
    build, test = rec.kwargs_of("build"), rec.kwargs_of("test")
    assert build["build_dir"] == test["build_dir"] == tmp_path / f"sim_build_{name}"
    assert build["build_args"] == build_args
    assert test["test_args"] == test_args
    assert (test["gui"], test["waves"]) == (gui, debug)


def test_debug_value_passed_through_unchanged(rec, tmp_path, monkeypatch):
    # A truthy non-bool debug still selects the debug arguments and reaches gui/waves as given.
    monkeypatch.setenv("SIM", "questa")
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[], debug=1)
    test = rec.kwargs_of("test")
    assert (test["gui"], test["waves"]) == (1, 1)
    assert test["test_args"] == ["-voptargs=+acc", "-do", "wave.do"]


@pytest.mark.parametrize("sim, debug, at_build", [
    ("icarus", True, True), ("verilator", True, True), ("icarus", False, None),
    # Questa records waves at the test step; Xcelium's build refuses the argument outright.
    ("questa", True, None), ("xcelium", True, None),
])
def test_waves_reach_the_build_where_the_simulator_builds_them_in(rec, tmp_path, monkeypatch,
                                                                   sim, debug, at_build):
    monkeypatch.setenv("SIM", sim)
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[], debug=debug)
    assert rec.kwargs_of("build").get("waves") == at_build
    assert rec.kwargs_of("test")["waves"] == debug


def make_tree(root, names):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("")


@pytest.mark.parametrize(
    "files, kwargs, expected",
    [
        # Per directory: sorted .v (recursively), then sorted .sv.
        (["src/b.sv", "src/a.v", "src/sub/c.v", "src/notes.txt"], {},
         ["src/a.v", "src/sub/c.v", "src/b.sv"]),
        # Directories keep their given order and are not merged or de-duplicated.
        (["x/z.v", "y/a.v", "y/q.sv"], {"source_dirs": ["y", "x", "y"]},
         ["y/a.v", "y/q.sv", "x/z.v", "y/a.v", "y/q.sv"]),
        (["src/a.v"], {"source_dirs": ["missing", "src"]}, ["src/a.v"]),
        (["src/a.v"], {"source_dirs": ()}, []),
        (["src/a.v"], {"sources": []}, []),
        # Explicit sources are used as given, in order; source_dirs is ignored.
        (["src/a.v"], {"sources": ["z.sv", pathlib.Path("b.v")], "source_dirs": ["src"]},
         ["z.sv", "b.v"]),
    ],
)
def test_source_lists(rec, tmp_path, capsys, files, kwargs, expected):
    make_tree(tmp_path, files)
    rtl.rtl_test_cocotb(tmp_path, "top", "t", **kwargs)
    if "sources" in kwargs:
        want = [pathlib.Path(p) for p in expected]
    else:
        want = [tmp_path / p for p in expected]
    sources = rec.kwargs_of("build")["sources"]
    assert sources == want
    assert all(isinstance(p, pathlib.Path) for p in sources)
    out = capsys.readouterr().out
    assert out == "RTL sources:\n" + "".join(f"   {p}\n" for p in want)


def test_netlists_reach_the_runner_tagged_as_verilog(rec, tmp_path, capsys):
    """cocotb's runner refuses a file name it cannot place; a Quartus .vo netlist is Verilog."""
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=["pll.vo", "top.v"])
    netlist, top = rec.kwargs_of("build")["sources"]
    assert isinstance(netlist, cocotb_tools.runner.Verilog)
    assert netlist.value == pathlib.Path("pll.vo")
    assert top == pathlib.Path("top.v")
    assert "   pll.vo\n" in capsys.readouterr().out


@pytest.mark.parametrize("source_dirs", [[5], 5])
def test_bad_source_dirs_raise_the_host_type_error(rec, tmp_path, source_dirs):
    with pytest.raises(TypeError):
        rtl.rtl_test_cocotb(tmp_path, "top", "t", source_dirs=source_dirs)
    assert [call for call, _, _ in rec.calls] == []


def test_none_where_python_would_accept_it(rec, tmp_path):
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=["a.v"], source_dirs=None, debug=None)
    assert rec.kwargs_of("build")["sources"] == [pathlib.Path("a.v")]
    assert rec.kwargs_of("test")["waves"] is None


def test_absolute_source_dir_replaces_root(rec, tmp_path):
    other = tmp_path / "elsewhere"
    make_tree(other, ["a.v"])
    rtl.rtl_test_cocotb(tmp_path / "proj", "top", "t", source_dirs=[str(other)])
    assert rec.kwargs_of("build")["sources"] == [other / "a.v"]


@pytest.mark.parametrize("sim", ["questa", "verilator"])
def test_compile_log(rec, tmp_path, capsys, monkeypatch, sim):
    monkeypatch.setenv("SIM", sim)
    log = tmp_path / "logs" / "deep" / "compile.log"
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=["a.v"], compile_log=str(log),
                        parameters={"WIDTH": 8})
    assert log.parent.is_dir()
    assert capsys.readouterr().out == f"{sim} compile log: {log}\n"
    build = rec.kwargs_of("build")
    assert list(build)[-1] == "log_file" and build["log_file"] == log
    assert build["parameters"] == {"WIDTH": 8}
    # An existing log directory is accepted.
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=["a.v"], compile_log=log)


def test_compile_log_line_is_flushed(rec, tmp_path, monkeypatch):
    """The build that follows may run for minutes with its output in the log file."""
    import builtins

    printed = []
    monkeypatch.setattr(builtins, "print", lambda *args, **kwargs: printed.append((args, kwargs)))
    log = tmp_path / "c.log"
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[], compile_log=log)
    assert printed == [((f"questa compile log: {log}",), {"flush": True})]


@pytest.mark.parametrize(
    "results, error, text",
    [
        ((5, 0), None, None),
        ((0, 0), None, None),
        ([7, 0], None, None),
        ((5, 2), SystemExit, "Cocotb failed 2 of 5 tests"),
        ((1, 1), SystemExit, "Cocotb failed 1 of 1 tests"),
        ((5,), ValueError, "not enough values to unpack (expected 2, got 1)"),
        ((5, 1, 0), ValueError, "too many values to unpack (expected 2)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_check_results(rec, results, error, text):
    rec.results = results
    if error is None:
        assert rtl._check_results("r.xml") is None
    else:
        with pytest.raises(error) as info:
            rtl._check_results("r.xml")
        assert info.value.args == (text,)
    assert rec.calls == [("get_results", ("r.xml",), {})]


def test_failed_run_ends_in_system_exit(rec, tmp_path):
    rec.results = (4, 3)
    with pytest.raises(SystemExit) as info:
        rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[])
    assert info.value.code == "Cocotb failed 3 of 4 tests"


def test_check_results_replaceable_on_module(rec, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(rtl, "_check_results", seen.append)
    rtl.rtl_test_cocotb(tmp_path, "top", "t", sources=[])
    assert seen == ["results-file"]


@pytest.mark.parametrize(
    "function, args, kwargs",
    [
        ("rtl_test_cocotb", ("root", "top"), {}),
        ("rtl_test_cocotb", ("root", "top", "t", None, ("src",), None, False, None, "x"), {}),
        ("rtl_test_cocotb", ("root", "top", "t"), {"unknown": 1}),
        ("rtl_test_cocotb", ("root", "top", "t"), {"hdl_toplevel": "again"}),
        ("rtl_test_cocotb", (), {"hdl_toplevel": "top", "test_module": "t"}),
        ("_check_results", (), {}),
        ("_check_results", ("a", "b"), {}),
    ],
)
def test_argument_errors(rec, function, args, kwargs):
    with pytest.raises(TypeError):
        getattr(rtl, function)(*args, **kwargs)
    assert rec.calls == []


def test_all_arguments_by_name_and_position(rec, tmp_path):
    rtl.rtl_test_cocotb(project_root=tmp_path, hdl_toplevel="top", test_module="t", sources=[],
                        source_dirs=(), parameters=None, debug=False, compile_log=None)
    rtl.rtl_test_cocotb(tmp_path, "top", "t", [], (), {"N": 1}, False, None)
    assert rec.calls[-3][2]["parameters"] == {"N": 1}


def test_module_load_does_not_import_cocotb():
    code = "import sys, corvane.sim.runners.rtl; print(any(m.startswith('cocotb') for m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
