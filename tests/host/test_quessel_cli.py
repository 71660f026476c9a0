"""The per-test script entry of corvane.sim.runners.quessel: environment, "-g", module search path,
build-directory cleaning and what reaches quessel_test_cocotb."""

import argparse
import os
import sys

import pytest

from corvane.sim.runners import quessel


@pytest.fixture
def entry(monkeypatch, tmp_path):
    """run_quessel_test with quessel_test_cocotb recorded, in a clean environment."""
    calls = []
    monkeypatch.setattr(quessel, "quessel_test_cocotb", lambda **kw: calls.append(kw))
    for name in ("SIM", "COCOTB_ANSI_OUTPUT", "QUESTA_ACC", "MY_TEST", "PYTHONPATH"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_COLOR", "1")
    monkeypatch.setattr(sys, "argv", ["test_x.py"])
    monkeypatch.setattr(sys, "path", list(sys.path))

    def run(**kwargs):
        base = dict(project_root=str(tmp_path), component_file="c.ip", hdl_toplevel="top",
                    test_module="tb_top")
        quessel.run_quessel_test(**{**base, **kwargs})
        (call,) = calls
        calls.clear()
        return call

    return run


class Config:
    def to_parameters(self):
        return {"W": 3}


def test_defaults_reach_the_flow(entry, tmp_path):
    call = entry()
    assert call == {
        "project_root": tmp_path, "component_file": "c.ip", "hdl_toplevel": "top",
        "test_module": "tb_top", "source_dirs": ("../../src", "../../../common"),
        "component_parameters": {}, "project_directory": "../../..", "debug": False,
        "generate_only": False, "ip_generate_log": tmp_path / "logs" / "ip_generate.log",
        "compile_log": tmp_path / "logs" / "questa_compile.log", "retain_generated": False}
    assert list(call) == ["project_root", "component_file", "hdl_toplevel", "test_module",
                          "source_dirs", "component_parameters", "project_directory", "debug",
                          "generate_only", "ip_generate_log", "compile_log", "retain_generated"]
    assert os.environ["COCOTB_ANSI_OUTPUT"] == "1" and "NO_COLOR" not in os.environ
    assert "QUESTA_ACC" not in os.environ
    assert sys.path[:2] == [str(tmp_path / ".."), str(tmp_path / "../../../common")]
    assert os.environ["PYTHONPATH"] == f"{tmp_path}/..:{tmp_path}/../../../common"


@pytest.mark.parametrize("env, argv, kwargs, expected", [
    ({"SIM": "verilator"}, ["-g"], {},
     {"debug": True, "compile_log": "logs/verilator_compile.log"}),
    ({}, ["-g"], {"debug": False}, {"debug": False}),
    ({}, [], {"debug": True, "part": "10AX", "make_ipx": False},
     {"debug": True, "part": "10AX", "make_ipx": False}),
    ({"MY_TEST": "tb_other"}, [], {"test_module_env": "MY_TEST"}, {"test_module": "tb_other"}),
    ({}, [], {"test_module_env": "MY_TEST"}, {"test_module": "tb_top"}),
    ({}, [], {"config": Config()}, {"component_parameters": {"W": 3}}),
    ({}, [], {"config": {"A": 1}}, {"component_parameters": {"A": 1}}),
    ({}, [], {"config": [("A", 1)]}, {"component_parameters": {"A": 1}}),
    ({}, [], {"config": Config(), "component_parameters": {"B": 2}},
     {"component_parameters": {"B": 2}}),
    # A run with a build directory of its own keeps its logs there, apart from parallel runs.
    ({"SIM": "icarus"}, [], {"build_dir": "par/b1"},
     {"build_dir": "par/b1", "compile_log": "par/b1/logs/icarus_compile.log",
      "ip_generate_log": "par/b1/logs/ip_generate.log"}),
])
def test_options_and_environment(entry, monkeypatch, tmp_path, env, argv, kwargs, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(sys, "argv", ["test_x.py", *argv])
    call = entry(**kwargs)
    for log in ("compile_log", "ip_generate_log"):
        if log in expected:
            expected[log] = tmp_path / expected[log]
    assert {k: call[k] for k in expected} == expected


@pytest.mark.parametrize("before, after", [(None, "1"), ("0", "0")])
def test_questa_visibility_is_only_defaulted(entry, monkeypatch, before, after):
    if before is not None:
        monkeypatch.setenv("QUESTA_ACC", before)
    monkeypatch.setenv("COCOTB_ANSI_OUTPUT", "0")
    entry(enable_questa_acc=True)
    assert os.environ["QUESTA_ACC"] == after and os.environ["COCOTB_ANSI_OUTPUT"] == "0"


@pytest.mark.parametrize("call", [
    lambda run: run(compile_log="x.log"),
    lambda run: run(ip_generate_log="x.log"),
    lambda run: quessel.run_quessel_test("/p", "c.ip", "top", "tb"),
    lambda run: run(config=42),
])
def test_argument_errors(entry, call):
    with pytest.raises(TypeError):
        call(entry)


def test_clean_build_keeps_wave_do_of_the_selected_simulator(entry, monkeypatch, tmp_path):
    monkeypatch.setenv("SIM", "icarus")
    build = tmp_path / "sim_build_icarus"
    (build / "sub").mkdir(parents=True)
    (build / "sub" / "x.o").write_text("stale")
    wave = b"add wave -r /*\r\n\x00\xff"
    (build / "wave.do").write_bytes(wave)
    (tmp_path / "sim_build_questa").mkdir()
    entry(clean_build=False)
    assert (build / "sub" / "x.o").exists()
    entry()
    assert sorted(p.name for p in build.iterdir()) == ["wave.do"]
    assert (build / "wave.do").read_bytes() == wave
    assert (tmp_path / "sim_build_questa").exists()
    (build / "wave.do").unlink()
    quessel._clean_sim_build(tmp_path, "icarus")
    assert not build.exists()
    own = tmp_path / "par" / "b1"
    (own / "x.o").parent.mkdir(parents=True)
    (own / "x.o").write_text("stale")
    entry(build_dir="par/b1")
    assert not own.exists() and (tmp_path / "sim_build_questa").exists()


def test_prepend_python_paths(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "path", ["/x", "/b"])
    monkeypatch.setenv("PYTHONPATH", "/old\udcff")  # bytes that do not decode stay as they were
    quessel._prepend_python_paths(iter(["/a", tmp_path / "b/..", "/b"]))
    assert sys.path == ["/a", f"{tmp_path}/b/..", "/x", "/b"]
    assert os.environ["PYTHONPATH"] == f"/a:{tmp_path}/b/..:/b:/old\udcff"


@pytest.mark.parametrize("argv, code", [(["--help"], 0), (["-h"], 0), (["-g", "extra"], 2),
                                        (["-x"], 2)])
def test_parse_run_args_help_and_errors(argv, code, capsys):
    with pytest.raises(SystemExit) as info:
        quessel._parse_run_args(argv)
    assert info.value.code == code
    out, err = capsys.readouterr()
    # Help is an answer on standard output; anything else a usage error on standard error.
    usage = (out if code == 0 else err).splitlines()[0]
    assert usage.startswith("usage:") and "[-g]" in usage


def test_parse_run_args_parser(monkeypatch):
    parsers = []
    parse_args = argparse.ArgumentParser.parse_args

    def recording(self, *args):
        parsers.append(self)
        return parse_args(self, *args)

    monkeypatch.setattr(argparse.ArgumentParser, "parse_args", recording)
    monkeypatch.setattr(sys, "argv", ["test_x.py", "-g"])
    assert vars(quessel._parse_run_args()) == {"debug": True}
    assert vars(quessel._parse_run_args(("-g" for _ in range(1)))) == {"debug": True}
    assert vars(quessel._parse_run_args([])) == {"debug": False}
    parser = parsers[0]
    assert parser.description == "Run an Quessel cocotb simulation."
    assert [(a.option_strings, a.dest, a.help) for a in parser._actions][1:] == [
        (["-g"], "debug", "run simulator in GUI/debug mode")]
