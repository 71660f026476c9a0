"""The Questa and Verilator flows of corvane.sim.pelorin, with the fake vsim of tests/fakes and a
recording stand-in for cocotb's runner interface."""

import os
import subprocess
from pathlib import Path

import pytest

from corvane.sim import pelorin
from corvane.sim.runners import rtl
from pelorin_support import (SUBMODULES, SYSTEM, RecordingRunner, copy_fixture,  # noqa: F401
                             fake_vsim, recorder)

QUESTA_LIBRARIES = ["altera_mf_ver", "cyclonev_ver", "rst_controller", "rst_controller_001",
                    "counter_0", "adder_0", "pelsys_inst"]


def do_file_text(simdir, top):
    return (f'\nset QSYS_SIMDIR "{simdir}"\nset TOP_LEVEL_NAME {top}\n'
            'set USER_DEFINED_ELAB_OPTIONS "-nocvg -voptargs=+acc -suppress 8630"\n\n'
            'onerror {quit -f -code 1}\n'
            'source "$QSYS_SIMDIR/mentor/msim_setup.tcl"\n\ndev_com\ncom\n\nquit -f\n')


@pytest.mark.parametrize("sim, called", [(None, "run_questa"), ("questa", "run_questa"),
                                         ("verilator", "run_verilator")])
def test_sim_selects_the_flow(monkeypatch, sim, called):
    calls = []
    for name in ("run_questa", "run_verilator"):
        monkeypatch.setattr(pelorin, name, lambda *args, _n=name: calls.append((_n, args)))
    if sim is None:
        monkeypatch.delenv("SIM", raising=False)
    else:
        monkeypatch.setenv("SIM", sim)
    pelorin.platform_test_cocotb("/p", "sys", "tb_sys")
    pelorin.platform_test_cocotb(project_root="/p", hdl_toplevel="sys", test_module="t",
                                 debug=True)
    assert calls == [(called, ("/p", "sys", "tb_sys", False)), (called, ("/p", "sys", "t", True))]


@pytest.mark.parametrize("sim", ["Verilator", "QUESTA", "icarus", "", " questa", "q\udcffx",
                                 "verilator/..", "../questa"])
def test_unsupported_sim(monkeypatch, tmp_path, recorder, sim):
    monkeypatch.setenv("SIM", sim)
    with pytest.raises(ValueError) as info:
        pelorin.platform_test_cocotb(tmp_path, "sys", "tb", build_dir="b")
    assert str(info.value) == f"Unsupported SIM={sim}; supported: questa, verilator"
    assert recorder.calls == [] and list(tmp_path.iterdir()) == []


@pytest.fixture
def system(tmp_path, monkeypatch):
    root, quartus = copy_fixture(tmp_path)
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(quartus))
    return root


@pytest.mark.parametrize("debug", [False, True])
def test_questa_flow(system, fake_vsim, recorder, monkeypatch, capfd, debug):
    monkeypatch.setenv("COCOTB_LOG_LEVEL", "DEBUG")
    build_dir = system / "sim_build"
    pelorin.run_questa(system, SYSTEM, "tb_pelsys", debug)

    assert os.environ["COCOTB_LOG_LEVEL"] == "INFO"
    do_file = build_dir / "compile_ip.do"
    simdir = (system / SYSTEM / SYSTEM / "testbench").as_posix()
    assert do_file.read_bytes() == do_file_text(simdir, SYSTEM).encode()

    [run] = fake_vsim()
    assert run["argv"] == ["-c", "-do", str(do_file)] and run["cwd"] == str(build_dir)
    assert run["status"] == 0 and run["error"] == ""
    compiled = [(lib, Path(f).relative_to(system / SUBMODULES.parent).as_posix())
                for lib, f in run["vlog"]]
    assert compiled[0] == ("rst_controller", "submodules/altera_reset_controller.v")
    assert compiled[-1] == ("work", "pelsys_tb.v") and len(compiled) == 9

    test_args = ["-nocvg", "-voptargs=+acc", "-suppress", "8630"]
    for library in QUESTA_LIBRARIES:
        test_args += ["-L", library]
    if debug:
        test_args += ["-do", "wave.do"]
    assert recorder.calls == [
        ("get_runner", "questa"),
        ("build", [("sources", []), ("hdl_toplevel", SYSTEM), ("build_dir", build_dir),
                   ("always", False)]),
        ("test", [("hdl_toplevel", SYSTEM), ("hdl_toplevel_library", "pelsys_inst"),
                  ("test_module", "tb_pelsys"), ("hdl_toplevel_lang", "verilog"),
                  ("build_dir", build_dir), ("gui", debug), ("waves", debug),
                  ("test_args", test_args)]),
        ("get_results",),
    ]
    # The Questa flow prints nothing of its own; vsim's output is not captured.
    assert "[exec] com" in capfd.readouterr().out


def test_questa_sees_every_library_of_a_pro_system(tmp_path, fake_vsim, recorder, monkeypatch):
    """A Quartus Pro script names its design libraries only in the file it sources; the -L list
    must hold every library the compile step created, or elaboration misses design units."""
    root, quartus = copy_fixture(tmp_path, pro=True)
    script = pelorin._platform_msim_setup(root, "prosys")
    # As generated on this machine; with a full Questa edition the device libraries compile too.
    script.write_text(script.read_text().replace("/opt/intelFPGA_pro/23.4/quartus/",
                                                 f"{quartus.as_posix()}/"))
    monkeypatch.setenv("FAKE_VSIM_VERSION", "Questa Sim-64 vsim 2023.3 Simulator")
    pelorin.run_questa(root, "prosys", "tb_prosys")
    [run] = fake_vsim()
    assert run["status"] == 0, run["error"]
    compiled = list(dict.fromkeys(lib for lib, _ in run["vlog"]))
    mapped = {lib for lib, _ in run["vmap"]} - {"work", "work_lib"}
    libraries = recorder.calls[2][1][-1][1][5::2]
    assert compiled == libraries and mapped == set(libraries)
    assert libraries == ["altera_ver", "tennm_ver", "altera_mf", "count_200", "gray_enc_100",
                         "prosys"]


def test_questa_log_level_is_set_before_the_compile(tmp_path, recorder, monkeypatch):
    """vsim inherits the environment: the level must already be INFO when it starts."""
    monkeypatch.setenv("COCOTB_LOG_LEVEL", "DEBUG")
    seen = []
    monkeypatch.setattr(pelorin, "compile_with_msim_setup",
                        lambda root, top: seen.append((Path(root), top,
                                                       os.environ["COCOTB_LOG_LEVEL"])))
    monkeypatch.setattr(pelorin, "get_msim_libraries", lambda path: ["lib"])
    pelorin.run_questa(str(tmp_path), "sys", "tb")
    assert seen == [(tmp_path, "sys", "INFO")]
    assert recorder.calls[2][1][-1][1][-2:] == ["-L", "lib"]


def test_questa_library_name_is_formed_after_the_build(tmp_path, recorder, monkeypatch):
    monkeypatch.setattr(pelorin, "compile_with_msim_setup", lambda root, top: None)
    monkeypatch.setattr(pelorin, "get_msim_libraries", lambda path: [])
    with pytest.raises(TypeError):  # a path names the system, but cannot take "_inst"
        pelorin.run_questa(tmp_path, Path("sys"), "tb")
    assert [call[0] for call in recorder.calls] == ["get_runner", "build"]


def test_questa_without_libraries(tmp_path, fake_vsim, recorder):
    mentor = tmp_path / "s" / "s" / "testbench" / "mentor"
    mentor.mkdir(parents=True)
    (mentor / "msim_setup.tcl").write_text("alias dev_com {}\nalias com {}\n")
    pelorin.run_questa(str(tmp_path), "s", "tb")
    assert recorder.calls[2][1][-1] == ("test_args", ["-nocvg", "-voptargs=+acc", "-suppress",
                                                      "8630"])


def test_failed_tests_end_the_questa_run(system, fake_vsim, monkeypatch):
    recorder = RecordingRunner(results=(5, 2)).install(monkeypatch)
    with pytest.raises(SystemExit) as info:
        pelorin.run_questa(system, SYSTEM, "tb_pelsys")
    assert info.value.code == "Cocotb failed 2 of 5 tests"
    assert recorder.calls[-1] == ("get_results",)


def test_failing_compile_raises_and_never_reaches_the_runner(system, fake_vsim, recorder):
    (system / SUBMODULES / "pelsys_adder.v").unlink()
    with pytest.raises(subprocess.CalledProcessError) as info:
        pelorin.run_questa(system, SYSTEM, "tb_pelsys")
    do_file = system / "sim_build" / "compile_ip.do"
    assert info.value.returncode == 1
    assert info.value.cmd == ["vsim", "-c", "-do", str(do_file)]
    assert "pelsys_adder.v" in fake_vsim()[0]["error"]
    assert recorder.calls == []


def test_error_handler_is_what_makes_vsim_fail(system, fake_vsim):
    """vsim -c without an onerror handler stops at the failing vlog and exits 0: the compile
    would pass for good. The generated do-file carries the handler."""
    (system / SUBMODULES / "pelsys_adder.v").unlink()
    with pytest.raises(subprocess.CalledProcessError):
        pelorin.compile_with_msim_setup(system, SYSTEM)
    do_file = system / "sim_build" / "compile_ip.do"
    unhandled = do_file.read_text().replace("onerror {quit -f -code 1}\n", "")
    do_file.write_text(unhandled)
    subprocess.run(["vsim", "-c", "-do", str(do_file)], cwd=do_file.parent, check=True)
    assert [run["status"] for run in fake_vsim()] == [1, 0]


def test_missing_setup_script_fails_the_compile(tmp_path, fake_vsim, recorder):
    with pytest.raises(subprocess.CalledProcessError):
        pelorin.run_questa(tmp_path, "sys", "tb")
    assert "msim_setup.tcl" in fake_vsim()[0]["error"]
    assert recorder.calls == []


def test_missing_project_root(tmp_path, fake_vsim, recorder):
    with pytest.raises(FileNotFoundError):
        pelorin.run_questa(tmp_path / "missing", SYSTEM, "tb")
    assert fake_vsim() == [] and recorder.calls == []


def test_missing_vsim(system, monkeypatch, recorder):
    monkeypatch.setenv("PATH", str(system))
    with pytest.raises(FileNotFoundError):
        pelorin.compile_with_msim_setup(system, SYSTEM)


@pytest.mark.parametrize("top", ["pelsys", "my top;x", "a$b[c]\"d\\e{f}", "tab\tnl\nend"])
@pytest.mark.parametrize("folder", ["proj", "a$HOME[pwd]\"q\\b;c{d}", "with space"])
def test_tcl_sees_paths_and_names_as_written(tmp_path, fake_vsim, folder, top):
    """Characters Tcl would substitute or split on reach the set-up script unchanged."""
    root = tmp_path / folder
    mentor = root / top / top / "testbench" / "mentor"
    mentor.mkdir(parents=True)
    (mentor.parent / "unit.v").write_text("")
    # No eval here: the generated scripts' own eval would re-split such names in any case.
    (mentor / "msim_setup.tcl").write_text(
        'alias dev_com {}\nalias com {\n  vlog "$QSYS_SIMDIR/unit.v" -work "${TOP_LEVEL_NAME}"\n}\n')
    pelorin.compile_with_msim_setup(root, top)
    [run] = fake_vsim()
    assert run["status"] == 0, run["error"]
    assert run["vlog"] == [[top, str(mentor.parent / "unit.v")]]


def test_ordinary_do_file_is_unchanged_by_escaping(tmp_path, fake_vsim):
    root = tmp_path / "D-proj_1.0+x"
    mentor = root / "sys_01" / "sys_01" / "testbench" / "mentor"
    mentor.mkdir(parents=True)
    (mentor / "msim_setup.tcl").write_text("alias dev_com {}\nalias com {}\n")
    pelorin.compile_with_msim_setup(root, "sys_01")
    text = (root / "sim_build" / "compile_ip.do").read_text()
    assert text == do_file_text(f"{root.as_posix()}/sys_01/sys_01/testbench", "sys_01")


def test_relative_project_root_compiles_from_the_build_directory(system, fake_vsim,
                                                                  monkeypatch):
    """vsim starts inside sim_build: names relative to the caller's directory would miss both
    the do-file and the set-up script, and vsim would compile nothing."""
    monkeypatch.chdir(system.parent)
    pelorin.compile_with_msim_setup(system.name, SYSTEM)
    [run] = fake_vsim()
    do_file = system / "sim_build" / "compile_ip.do"
    assert run["argv"] == ["-c", "-do", str(do_file)] and run["status"] == 0
    assert len(run["vlog"]) == 9 and run["error"] == ""
    simdir = (system / SYSTEM / SYSTEM / "testbench").as_posix()
    assert do_file.read_text() == do_file_text(simdir, SYSTEM)


def test_verilator_flow(system, recorder, capsys, monkeypatch):
    build_dir = system / "sim_build_verilator"
    pelorin.run_verilator(system, SYSTEM, "tb_pelsys", debug=True)
    sources = pelorin._msim_verilog_sources(system, SYSTEM)
    quartus_lib = sources[0].parent
    assert capsys.readouterr().out == "".join(
        f"{line}\n" for line in ["Verilator sources:", *(f"   {s}" for s in sources)])
    build_args = ["-Wno-fatal", "-Wno-PARAMNODEFAULT", "--bbox-unsup", "--timescale", "1ps/1ps",
                  "-CFLAGS", "-std=c++20", f"-I{quartus_lib}", f"-I{system / SUBMODULES}"]
    assert recorder.calls == [
        ("get_runner", "verilator"),
        # A debug run builds the model with tracing, or Verilator's test step refuses --trace.
        ("build", [("sources", sources), ("hdl_toplevel", SYSTEM), ("build_dir", build_dir),
                   ("always", True), ("build_args", build_args), ("waves", True)]),
        ("test", [("hdl_toplevel", SYSTEM), ("test_module", "tb_pelsys"),
                  ("hdl_toplevel_lang", "verilog"), ("build_dir", build_dir), ("waves", True)]),
        ("get_results",),
    ]


@pytest.mark.parametrize("verilog_top", [False, True])
def test_verilator_names_the_vhdl_it_leaves_out(tmp_path, recorder, capsys, verilog_top):
    """A system generated in VHDL gets a clear error before Verilator starts, not MODMISSING;
    VHDL beside a Verilog top level (device libraries, say) is named and the build goes on."""
    simdir = tmp_path / "sys" / "sys" / "testbench"
    (simdir / "mentor").mkdir(parents=True)
    files = {"a.v": "module a;\nendmodule\n", "sys.vhd": "entity sys is\nend entity;\n",
             "sys_tb.vhd": "", "q/lib.vhd": ""}
    if verilog_top:
        files["sys.v"] = "module sys;\nendmodule\n"
    for name, text in files.items():
        (simdir / name).parent.mkdir(exist_ok=True)
        (simdir / name).write_text(text)
    lines = ['eval vcom "$QUARTUS/lib.vhd" -work lib', 'eval vlog "$QSYS_SIMDIR/a.v" -work a_0',
             'eval vcom "$QSYS_SIMDIR/sys.vhd" -work sys_inst', 'eval vcom "$QSYS_SIMDIR/sys_tb.vhd"',
             'eval vcom "$QSYS_SIMDIR/sys.vhd" -work sys_inst', 'eval vlog "$QSYS_SIMDIR/sys.v"']
    script = simdir / "mentor" / "msim_setup.tcl"
    script.write_text(f'set QUARTUS "{tmp_path.as_posix()}/sys_q"\n' + "\n".join(lines) + "\n")
    (tmp_path / "sys_q").mkdir()
    (tmp_path / "sys_q" / "lib.vhd").write_text("")
    kept = [simdir / "a.v"] + ([simdir / "sys.v"] if verilog_top else [])
    printed = ["Verilator sources:", *(f"   {p}" for p in kept),
               "Left out 3 VHDL files: sys.vhd, sys_tb.vhd, lib.vhd (Verilator compiles Verilog only)"]
    if verilog_top:
        pelorin.run_verilator(tmp_path, "sys", "tb")
        assert [call[0] for call in recorder.calls] == ["get_runner", "build", "test", "get_results"]
    else:
        with pytest.raises(ValueError) as info:
            pelorin.run_verilator(tmp_path, "sys", "tb")
        assert str(info.value) == (
            f"Platform Designer system sys ({script}): no Verilog source declares its top level "
            "sys, and Verilator cannot read the 3 VHDL files: sys.vhd, sys_tb.vhd, lib.vhd. "
            "Generate the system's simulation model with Verilog as the simulation language "
            "(Platform Designer: Generate HDL, Simulation: Verilog) and run again.")
        assert recorder.calls == []
    assert capsys.readouterr().out == "".join(f"{line}\n" for line in printed)


def test_verilator_include_dirs_in_first_appearance_order(tmp_path, recorder, monkeypatch):
    files = [Path("/p/a/1.v"), Path("/p/b/2.v"), Path("/p/a/3.v")]
    monkeypatch.setattr(pelorin, "_msim_verilog_sources", lambda root, top: files)
    pelorin.run_verilator(tmp_path, "sys", "tb")
    assert recorder.calls[1][1][-1][1][-2:] == ["-I/p/a", "-I/p/b"]
    assert recorder.calls[1][1][0] == ("sources", files)


def test_test_module_and_debug_pass_through_as_given(tmp_path, recorder, monkeypatch):
    monkeypatch.setattr(pelorin, "_msim_verilog_sources", lambda root, top: [])
    pelorin.run_verilator(tmp_path, "sys", None, None)
    assert recorder.calls[2][1][1] == ("test_module", None)
    assert recorder.calls[2][1][-1] == ("waves", None)


def test_verilator_missing_script_prints_nothing(tmp_path, recorder, capsys):
    with pytest.raises(FileNotFoundError):
        pelorin.run_verilator(tmp_path, "sys", "tb")
    assert capsys.readouterr().out == "" and recorder.calls == []


class NotIterable:
    pass


class BrokenIterator:
    def __iter__(self):
        raise TypeError("broken iterator")


def outcome(call):
    try:
        call()
    except BaseException as error:  # SystemExit included
        return type(error), str(error)
    return None


@pytest.mark.parametrize("results", [
    (5, 0), (0, 0), (5, 2), [1, True], {7: 0, 8: 1}, "ab",
    (1,), (1, 2, 3), (), "abc", None, NotIterable(), BrokenIterator(),
])
@pytest.mark.parametrize("module", [pelorin, rtl])
def test_check_results_unpacks_like_python(monkeypatch, module, results):
    """Both runners' checks behave like `num_tests, num_failed = get_results(results_xml)`."""
    import cocotb_tools.runner

    def in_python():
        num_tests, num_failed = results
        if num_failed:
            raise SystemExit(f"Cocotb failed {num_failed} of {num_tests} tests")

    seen = []
    monkeypatch.setattr(cocotb_tools.runner, "get_results",
                        lambda path: seen.append(path) or results)
    assert outcome(lambda: module._check_results(None)) == outcome(in_python)
    assert seen == [None]


def test_argument_errors():
    with pytest.raises(TypeError):
        pelorin.run_questa("/p", "sys")
    with pytest.raises(TypeError):
        pelorin.compile_with_msim_setup("/p", "sys", "extra")
    with pytest.raises(TypeError):
        pelorin.platform_test_cocotb("/p", "sys", "tb", debug=True, gui=True)
