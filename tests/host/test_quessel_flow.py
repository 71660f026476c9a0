"""Generation flow of corvane.sim.runners.quessel with the fake Quartus tools: tool command lines,
logs, output-directory lifecycles, failures and the per-test script entry."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from corvane.sim.runners import quessel

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes" / "quartus"))
import fake_quartus  # noqa: E402

COMPONENT = {
    "parameters": {"WIDTH": "8", "DEPTH": "4"},
    "files": [
        {"path": "top.v", "type": "VERILOG", "text": "module top; // @WIDTH@\nendmodule\n"},
        {"path": "submodules/core.v", "type": "VERILOG", "copy": "src/core.v"},
        {"path": "submodules/deep/core_again.v", "type": "VERILOG", "copy": "src/core.v"},
        {"path": "top.vhd", "type": "VHDL", "text": "-- vhdl\n"},
    ],
}


class Tools:
    def __init__(self, root, monkeypatch, tools=fake_quartus.TOOLS):
        self.bin = fake_quartus.install(root / "quartus", tools=tools)
        self.record = root / "record.jsonl"
        monkeypatch.setenv("PATH", str(self.bin))
        monkeypatch.setenv("FAKE_QUARTUS_RECORD", str(self.record))

    def runs(self):
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text().splitlines()]

    def argv(self, tool):
        (argv,) = [run["argv"] for run in self.runs() if run["tool"] == tool]
        return argv


@pytest.fixture
def tools(tmp_path, monkeypatch):
    return Tools(tmp_path, monkeypatch)


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "proj"
    (root / "src").mkdir(parents=True)
    (root / "src" / "core.v").write_text("module core; endmodule\n")
    (root / "top_hw.json").write_text(json.dumps(COMPONENT))
    return root


@pytest.fixture
def rtl(monkeypatch):
    """Stands in for rtl_test_cocotb; records its keywords and what the output dir held."""
    calls = []

    def fake(**kwargs):
        generated = sorted(p.name for p in kwargs["project_root"].glob(".ip_generate_*/*"))
        calls.append((kwargs, generated))
        if fake.exit:
            raise SystemExit(fake.exit)

    fake.exit = None
    fake.calls = calls
    monkeypatch.setattr(quessel, "rtl_test_cocotb", fake)
    return fake


def generated_dirs(root):
    return sorted(p.name for p in root.glob(".ip_generate_*"))


CODE = "import sys; print('out'); print('err', file=sys.stderr); sys.exit(int(sys.argv[1]))"


def test_run_command_writes_header_and_merged_output(tmp_path, capfd):
    log = tmp_path / "logs" / "deep" / "tool.log"
    command = [sys.executable, "-u", "-c", CODE]
    header = f"Command: {sys.executable} -u -c {CODE}"
    quessel._run_command(command + ["0"], tmp_path, log_path=str(log))
    assert log.read_text() == f"{header} 0\n\nout\nerr\n"
    quessel._run_command(command + ["0"], tmp_path, log)  # truncates
    with pytest.raises(subprocess.CalledProcessError) as info:
        quessel._run_command(command + ["3"], tmp_path, log, append_log=True)
    assert (info.value.returncode, info.value.cmd) == (3, command + ["3"])
    assert log.read_text() == f"{header} 0\n\nout\nerr\n{header} 3\n\nout\nerr\n"
    assert capfd.readouterr().out == f"Command failed, see {log}\n"

    with pytest.raises(subprocess.CalledProcessError):
        quessel._run_command(command + ["4"], tmp_path)
    assert capfd.readouterr() == ("out\n", "err\n")


def test_make_ipx_command_line(tmp_path, tools, project):
    out = tmp_path / "out"
    out.mkdir()
    assert quessel._make_ipx(project, ["src", "/abs/common"], out) == out / "components.ipx"
    assert tools.argv("ip-make-ipx") == [
        "--thorough-descent", f"--source-directory={project}/src,/abs/common",
        f"--output={out}/components.ipx"]
    assert tools.runs()[0]["cwd"] == str(project)
    assert (out / "components.ipx").is_file()


@pytest.mark.parametrize("tools_present, used", [
    ((), None),
    (("ip-make-ipx.exe",), "ip-make-ipx.exe"),
    (("ip-make-ipx.exe", "ip-make-ipx"), "ip-make-ipx"),
    (("ip-generate.exe", "ip-make-ipx"), "ip-make-ipx"),  # ip-generate has no second name
])
def test_tool_lookup(tmp_path, monkeypatch, project, tools_present, used):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setenv("PATH", str(bin_dir))
    assert quessel._make_ipx(project, (), tmp_path) is None  # nothing to index: no tool needed
    started = tmp_path / "started"
    for name in tools_present:
        (bin_dir / name).write_text(f'#!/bin/sh\necho "$0" >> {started}\n')
        (bin_dir / name).chmod(0o755)
    if used is None:
        with pytest.raises(FileNotFoundError, match="^ip-make-ipx is not available on PATH$"):
            quessel._make_ipx(project, ["src"], tmp_path)
    else:
        quessel._make_ipx(project, ["src"], tmp_path)
        assert started.read_text() == f"{bin_dir / used}\n"
    with pytest.raises(FileNotFoundError, match="^ip-generate is not available on PATH$"):
        quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"])


def test_default_flow(tools, project, rtl, capfd):
    assert quessel.quessel_test_cocotb(project, "top_hw.json", "top", "tb_top", ["src"],
                                       debug=True, compile_log="c.log") is None
    ((kwargs, generated),) = rtl.calls
    # During the simulation: the wiring and the (unread) VHDL stay, the copies are gone.
    assert generated == ["components.ipx", "top.v", "top.vhd"]
    assert generated_dirs(project) == []
    (out_name,) = {Path(a.split("=", 1)[1]).name for a in tools.argv("ip-generate")
                   if a.startswith("--output-directory=")}
    out = project / out_name
    sim_lib = tools.bin.parents[1] / "eda" / "sim_lib"
    assert kwargs == {
        "project_root": project, "hdl_toplevel": "top", "test_module": "tb_top",
        "sources": [sim_lib / "220model.v", sim_lib / "altera_mf.v", out / "top.v",
                    project / "src" / "core.v"],
        "debug": True, "compile_log": "c.log"}
    assert list(kwargs) == ["project_root", "hdl_toplevel", "test_module", "sources", "debug",
                            "compile_log"]
    console = capfd.readouterr().out
    assert console.endswith(f"Temporary generated composition HDL:\n   {out / 'top.v'}\n")
    assert "Info: Finished: 4 file(s)" in console  # tool output on the console without a log


@pytest.mark.parametrize("kwargs, ipx_dirs, tail", [
    ({}, "{p}/src", ["--search-path={out}/components.ipx,$"]),
    ({"part": "10AX115", "component_parameters": {"WIDTH": 16, "DEPTH": True}}, "{p}/src",
     ["--part=10AX115", "--search-path={out}/components.ipx,$",
      "--component-parameter=WIDTH=16", "--component-parameter=DEPTH=True"]),
    ({"make_ipx": False, "part": ""}, None, ["--part="]),  # only None leaves the part out
    ({"make_ipx": False, "ip_search_paths": ["ip", "{p}/x/y"]}, None,
     ["--search-path={p}/ip,{p}/x/y,$"]),
    ({"ipx_source_dirs": ["ip", "/x"], "ip_search_paths": ["ip"]}, "{p}/ip,/x",
     ["--search-path={out}/components.ipx,{p}/ip,$"]),
])
def test_generation_command_lines(tools, project, rtl, kwargs, ipx_dirs, tail):
    for name in ("ip", "x/y"):
        (project / name).mkdir(parents=True)
    if "ip_search_paths" in kwargs:  # absolute entries live in the test's own tree
        kwargs["ip_search_paths"] = [p.format(p=project) for p in kwargs["ip_search_paths"]]
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "tb_top", ["src"],
                                project_directory="src", **kwargs)
    argv = tools.argv("ip-generate")
    out = Path(argv[2].split("=", 1)[1])
    assert out.parent == project and out.name.startswith(".ip_generate_top_")
    assert argv[:7] == [
        f"--component-file={project}/top_hw.json", f"--project-directory={project}/src",
        f"--output-directory={out}", "--file-set=SIM_VERILOG", "--output-name=top",
        "--remove-qsys-generate-warning", f"--report-file=spd:{out}/top.spd"]
    assert argv[7:] == [t.format(p=project, out=out) for t in tail]
    ipx = [run["argv"][1] for run in tools.runs() if run["tool"] == "ip-make-ipx"]
    assert ipx == ([] if ipx_dirs is None else
                   ["--source-directory=" + ipx_dirs.format(p=project)])


def test_log_holds_both_runs_then_the_summary(tools, project, rtl, capfd):
    log = project / "logs" / "ip.log"
    log.parent.mkdir()
    log.write_text("previous run\n")
    out = quessel.quessel_test_cocotb(project, "top_hw.json", "top", "tb_top", ["src"],
                                      ip_generate_log=str(log), generate_only=True)
    assert out == project / ".ip_generate_top" and rtl.calls == []
    assert capfd.readouterr().out == (f"IP generation log: {log}\n"
                                      f"Generated output directory: {out}\n")
    text = log.read_text()
    assert text.startswith(f"Command: {tools.bin / 'ip-make-ipx'} --thorough-descent")
    index_run, generate_run = text.split("Command: ")[1:]
    assert generate_run.startswith(f"{tools.bin / 'ip-generate'} --component-file=")
    assert generate_run.endswith(
        f"Info: Finished: 4 file(s) for top\n\nRetained generated composition HDL:\n"
        f"   {out / 'top.v'}\nGenerated output directory: {out}\n")
    assert sorted(p.name for p in out.iterdir()) == ["components.ipx", "top.v", "top.vhd"]

    # Without an index run the generation run starts the log afresh.
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "tb_top", ["src"],
                                ip_generate_log=log, make_ipx=False)
    assert log.read_text().startswith(f"Command: {tools.bin / 'ip-generate'} --component-file=")


def test_generate_only_without_log_prints_the_directory_twice(tools, project, rtl, capfd):
    out = quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"],
                                      make_ipx=False, generate_only=True)
    lines = capfd.readouterr().out.splitlines()
    assert lines[-4:] == ["Retained generated composition HDL:", f"   {out / 'top.v'}",
                          f"Generated output directory: {out}",
                          f"Generated output directory: {out}"]


def test_retained_run_keeps_its_directory_and_leaves_temporaries_alone(tools, project, rtl):
    (project / ".ip_generate_top" / "old").mkdir(parents=True)
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"],
                                retain_generated=True)
    assert rtl.calls[0][1] == ["components.ipx", "top.v", "top.vhd"]
    assert generated_dirs(project) == [".ip_generate_top"]
    assert not (project / ".ip_generate_top" / "old").exists()
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"])
    assert sorted(p.name for p in (project / ".ip_generate_top").iterdir()) == [
        "components.ipx", "top.v", "top.vhd"]


@pytest.mark.parametrize("setup, error, message", [
    (lambda m, p: m.setenv("PATH", str(p / "nowhere")), FileNotFoundError,
     "ip-generate is not available on PATH"),
    (lambda m, p: m.setenv("FAKE_IP_MAKE_IPX_EXIT", "3"), subprocess.CalledProcessError,
     "Command failed, see {log}"),
    (lambda m, p: m.setenv("FAKE_IP_GENERATE_EXIT", "5"), subprocess.CalledProcessError,
     "Command failed, see {log}"),
    (lambda m, p: m.setenv("FAKE_IP_GENERATE_SPD", "malformed"), ElementTree.ParseError, ""),
    (lambda m, p: (p.parent / "quartus/eda/sim_lib/altera_mf.v").unlink(), FileNotFoundError,
     ""),
    (lambda m, p: m.setattr(quessel.rtl_test_cocotb, "exit", "Cocotb failed 1 of 2 tests"),
     SystemExit, ""),
])
@pytest.mark.parametrize("retain", [False, True])
def test_failures_propagate_and_remove_temporary_output(tools, project, rtl, monkeypatch,
                                                        capfd, setup, error, message, retain):
    setup(monkeypatch, project)
    log = project / "logs" / "ip.log"
    with pytest.raises(error):
        quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"],
                                    ip_generate_log=log, retain_generated=retain)
    assert generated_dirs(project) == ([".ip_generate_top"] if retain and message != (
        "ip-generate is not available on PATH") else [])
    out = capfd.readouterr().out
    if message.startswith("Command failed"):
        assert out.splitlines()[-1] == message.format(log=log)
    elif message:  # the lookup comes before anything is touched
        assert out == "" and not log.parent.exists()


def test_failing_tool_without_log_prints_no_pointer(tools, project, rtl, monkeypatch, capfd):
    monkeypatch.setenv("FAKE_IP_GENERATE_EXIT", "7")
    with pytest.raises(subprocess.CalledProcessError) as info:
        quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"])
    assert info.value.returncode == 7
    assert "Command failed" not in capfd.readouterr().out


@pytest.mark.parametrize("name", ["", ".", "..", "../src", "a/b", "/tmp", "top/"])
@pytest.mark.parametrize("retain", [False, True])
def test_toplevel_that_is_not_a_plain_name_touches_nothing(tools, project, rtl, name, retain):
    (project / ".ip_generate_..").mkdir()  # makes ".ip_generate_../src" reach project/src
    before = sorted(project.rglob("*"))
    with pytest.raises(ValueError, match="hdl_toplevel must be a single plain name"):
        quessel.quessel_test_cocotb(project, "top_hw.json", name, "t", ["src"],
                                    retain_generated=retain)
    assert sorted(project.rglob("*")) == before
    assert tools.runs() == []


@pytest.mark.parametrize("sim, copies", [(None, ["mentor"]), ("questa", ["mentor"]),
                                         ("verilator", [])])
def test_each_simulator_gets_only_the_copies_it_reads(tools, project, rtl, monkeypatch, sim,
                                                      copies):
    """Encrypted IP comes once per simulator vendor; Questa reads the Mentor copy only, Verilator
    none. The netlist (.vo) goes to every simulator."""
    vendors = [("mentor", "modelsim"), ("aldec", "riviera"), ("synopsys", "vcs"),
               ("cadence", "ncsim")]
    files = [{"path": "top.v", "type": "VERILOG", "text": "module top;\nendmodule\n"},
             {"path": "submodules/pll.vo", "type": "VERILOG", "text": "module pll;\nendmodule\n"}]
    files += [{"path": f"submodules/{d}/mac.v", "type": "VERILOG_ENCRYPT", "simulator": s,
               "text": f"// {d}\n"} for d, s in vendors]
    (project / "top_hw.json").write_text(json.dumps(dict(COMPONENT, files=files)))
    if sim is None:
        monkeypatch.delenv("SIM", raising=False)
    else:
        monkeypatch.setenv("SIM", sim)
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"],
                                quartus_model_files=())
    sources = rtl.calls[0][0]["sources"]
    names = [p.relative_to(sources[0].parent).as_posix() for p in sources]
    assert names == ["top.v", "submodules/pll.vo", *(f"submodules/{d}/mac.v" for d in copies)]


def test_report_naming_a_user_file_never_deletes_it(tools, project, rtl, tmp_path):
    user = tmp_path / "elsewhere" / "core_copy.v"
    user.parent.mkdir()
    user.write_text((project / "src" / "core.v").read_text())
    component = dict(COMPONENT, files=COMPONENT["files"] + [
        {"report": str(user), "type": "VERILOG"}])
    (project / "top_hw.json").write_text(json.dumps(component))
    quessel.quessel_test_cocotb(project, "top_hw.json", "top", "t", ["src"])
    assert user.is_file()
    assert rtl.calls[0][0]["sources"][-1] == project / "src" / "core.v"


def test_paths_with_undecodable_bytes_reach_tools_and_log(tmp_path, tools, rtl, capfd):
    root = tmp_path / os.fsdecode(b"pr\xffoj")
    (root / "src").mkdir(parents=True)
    (root / "src" / "core.v").write_text("module core; endmodule\n")
    (root / "top_hw.json").write_text(json.dumps(COMPONENT))
    log = root / "logs" / "ip.log"
    quessel.quessel_test_cocotb(root, "top_hw.json", "top", "t", ["src"], ip_generate_log=log)
    assert tools.argv("ip-generate")[0] == f"--component-file={root}/top_hw.json"
    assert tools.argv("ip-make-ipx")[1] == f"--source-directory={root}/src"
    assert rtl.calls[0][0]["sources"][-1] == root / "src" / "core.v"
    header = log.read_text(encoding="utf-8", errors="surrogateescape").splitlines()[0]
    assert header.startswith("Command: ") and f"={tmp_path}/pr?oj/src " in header
    assert capfd.readouterr().out.startswith(f"IP generation log: {tmp_path}/pr")

