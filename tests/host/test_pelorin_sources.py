"""The Verilator source list of a Platform Designer system, read from its msim_setup.tcl."""

import os
from pathlib import Path

import pytest

from corvane.sim import pelorin
from pelorin_support import SUBMODULES, SYSTEM, copy_fixture


def write_units(path, *units):
    path.write_text("".join(f"module {unit};\nendmodule\n" for unit in units))
    return path


def test_unique_sources_by_path_and_design_unit(tmp_path):
    a = write_units(tmp_path / "a.v", "m")
    b = write_units(tmp_path / "b.v", "m")
    c = tmp_path / "c.v"
    c.write_text("`define ONLY_DEFINES 1\n")
    d = write_units(tmp_path / "d.v", "m", "n")
    e = write_units(tmp_path / "e.v", "n", "m")
    assert pelorin._unique_verilator_sources([a, b, c, a, d, e, c]) == [a, c, d]


def test_unique_sources_compare_host_paths(tmp_path):
    a = write_units(tmp_path / "a.v", "m")
    c = tmp_path / "c.v"
    c.write_text("")
    twice = [c, tmp_path / "./c.v", a, Path(str(tmp_path) + "//a.v")]
    assert pelorin._unique_verilator_sources(twice) == [c, a]


def test_unique_sources_use_a_replaced_design_unit_reader(tmp_path, monkeypatch):
    files = [tmp_path / n for n in ("x.v", "y.v", "z.v")]
    units = {"x.v": {"p"}, "y.v": {"p"}, "z.v": set()}
    monkeypatch.setattr(pelorin, "_design_units", lambda path: units[Path(path).name])
    assert pelorin._unique_verilator_sources(files) == [files[0], files[2]]


@pytest.fixture
def system(tmp_path, monkeypatch):
    root, quartus = copy_fixture(tmp_path)
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(quartus))
    monkeypatch.delenv("QUARTUS_ROOTDIR", raising=False)
    return root, quartus


def expected_sources(root, quartus, *extra):
    sub = root / SUBMODULES
    return [quartus / "eda" / "sim_lib" / "altera_mf.v", sub / "altera_reset_controller.v",
            sub / "pelsys_counter.sv", sub / "pelsys_adder_defs.v", sub / "pelsys_adder.v",
            sub / "pelsys.v", *extra]


def test_fixture_system_sources(system):
    """Encrypted files, the testbench, names on lines without vlog, repeated files and repeated
    design units are left out; the order is the script's."""
    root, quartus = system
    assert pelorin._msim_verilog_sources(root, SYSTEM) == expected_sources(root, quartus)
    testbench = root / SUBMODULES.parent / "pelsys_tb.v"
    assert pelorin._msim_verilog_sources(str(root), SYSTEM, include_testbench=True) == \
        expected_sources(root, quartus, testbench)


def test_crlf_script_gives_the_same_sources(system):
    root, quartus = system
    script = pelorin._platform_msim_setup(root, SYSTEM)
    script.write_bytes(script.read_bytes().replace(b"\n", b"\r\n") + b"\xff\xfe\r\n")
    assert pelorin._msim_verilog_sources(root, SYSTEM) == expected_sources(root, quartus)


def test_relative_project_root(system, monkeypatch):
    """Names below $QSYS_SIMDIR must not be joined to the script's directory as relative paths:
    they would all be missing and the list would come out nearly empty without an error."""
    root, quartus = system
    monkeypatch.chdir(root.parent)
    assert pelorin._msim_verilog_sources(root.name, SYSTEM) == expected_sources(root, quartus)


def test_undecodable_bytes_in_the_project_path(system, tmp_path, monkeypatch):
    """A directory name that is not UTF-8 reaches Python as surrogate escapes; the paths built
    from it must name the same files again."""
    root, quartus = system
    odd = tmp_path / os.fsdecode(b"proj\xff")
    root.rename(odd)
    odd_quartus = odd / quartus.relative_to(root)
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(odd_quartus))
    expected = expected_sources(odd, odd_quartus)
    assert pelorin._msim_verilog_sources(odd, SYSTEM) == expected


def test_missing_files_and_unknown_installation_are_skipped(system, monkeypatch):
    root, _ = system
    monkeypatch.delenv("QUARTUS_INSTALL_DIR")
    monkeypatch.setattr(pelorin, "_project_drive_roots", lambda project_root: [])
    (root / SUBMODULES / "pelsys_adder.v").unlink()
    names = [p.name for p in pelorin._msim_verilog_sources(root, SYSTEM)]
    assert names == ["altera_reset_controller.v", "pelsys_counter.sv", "pelsys_adder_defs.v",
                     "pelsys.v"]


def test_install_directory_from_drive_roots_fills_the_script_variable(system, monkeypatch):
    root, quartus = system
    monkeypatch.delenv("QUARTUS_INSTALL_DIR")
    # A second, older installation must lose against the fixture's 23.1.
    (quartus.parent.parent / "9.1" / "quartus").mkdir(parents=True)
    monkeypatch.setattr(pelorin, "_project_drive_roots", lambda project_root: [root])
    assert pelorin._msim_verilog_sources(root, SYSTEM)[0] == \
        quartus / "eda" / "sim_lib" / "altera_mf.v"


def test_script_qsys_simdir_is_replaced(system):
    """The script's own QSYS_SIMDIR (./../) is relative to where vsim starts; the parser always
    uses the system's simulation directory instead."""
    root, _ = system
    variables = pelorin._msim_set_variables(pelorin._platform_msim_setup(root, SYSTEM))
    assert variables["QSYS_SIMDIR"] == "./../"
    assert pelorin._msim_verilog_sources(root, SYSTEM)[1].parent == root / SUBMODULES


def test_missing_script(tmp_path):
    script = tmp_path / "sys" / "sys" / "testbench" / "mentor" / "msim_setup.tcl"
    with pytest.raises(FileNotFoundError) as info:
        pelorin._msim_verilog_sources(tmp_path, "sys")
    assert info.value.args == (script,)
    assert str(info.value) == str(script)


def test_replaced_collaborators_are_used(system, monkeypatch):
    root, quartus = system
    seen = []

    def resolve(raw, variables, base_dir):
        seen.append(raw)
        return None if "counter" in raw else pelorin.__dict__["_path_from_msim"](
            raw.replace("$QSYS_SIMDIR", variables["QSYS_SIMDIR"]).replace(
                "$QUARTUS_INSTALL_DIR", variables["QUARTUS_INSTALL_DIR"]))

    monkeypatch.setattr(pelorin, "_resolve_msim_source", resolve)
    names = [p.name for p in pelorin._msim_verilog_sources(root, SYSTEM)]
    assert "pelsys_counter.sv" not in names and "pelsys.v" in names
    assert len(seen) == 11  # every quoted name of every vlog line


def test_replaced_reader_and_path_conversion_are_used(system, monkeypatch):
    """Every file is read through the module's _read_text and every script path converted
    through its _path_from_msim, as they stand when called."""
    root, quartus = system
    read, converted = [], []
    read_text, path_from_msim = pelorin._read_text, pelorin._path_from_msim
    monkeypatch.setattr(pelorin, "_read_text",
                        lambda path: read.append(Path(path).name) or read_text(path))
    monkeypatch.setattr(pelorin, "_path_from_msim",
                        lambda value: converted.append(value) or path_from_msim(value))
    assert pelorin._msim_verilog_sources(root, SYSTEM) == expected_sources(root, quartus)
    assert read.count("msim_setup.tcl") == 2  # variables, then the vlog lines
    assert {"altera_mf.v", "pelsys_adder.v", "altera_reset_synchronizer.v"} <= set(read)
    assert f"{(root / SUBMODULES).as_posix()}/pelsys_adder.v" in converted
    read.clear()
    assert pelorin._design_units(root / SUBMODULES / "pelsys.v") == {"pelsys"}
    assert read == ["pelsys.v"]
    assert pelorin._resolve_msim_source("$A/x.v", {"A": "/a"}, "/b") == Path("/a/x.v")
    assert converted[-1] == "/a/x.v"


def test_awkward_spellings_of_paths(tmp_path, monkeypatch):
    """Doubled and dotted separators, backslashes, links, directories and names with blanks: each
    file is kept once, under the spelling that came first."""
    simdir = tmp_path / "s" / "s" / "testbench"
    mentor = simdir / "mentor"
    (simdir / "sub" / "deep").mkdir(parents=True)
    mentor.mkdir()
    for name, unit in [("a.v", "a"), ("b.v", "b"), ("deep/c.sv", "c"), ("copy_of_a.v", "a"),
                       ("e f.v", "e"), ("plain.v", None)]:
        (simdir / "sub" / name).write_text(f"module {unit};\nendmodule\n" if unit else "")
    (simdir / "sub" / "loop.v").symlink_to("loop.v")
    (simdir / "sub" / "dangling.v").symlink_to("nowhere.v")
    (simdir / "sub" / "link_to_b.v").symlink_to("b.v")
    (mentor / "rel.v").write_text("module rel;\nendmodule\n")
    names = ["$QSYS_SIMDIR/sub/a.v", "$QSYS_SIMDIR//sub//a.v", "${QSYS_SIMDIR}/./sub/b.v",
             "$QSYS_SIMDIR/sub/deep/../b.v", "$QSYS_SIMDIR/sub/deep/c.sv", "rel.v", "./rel.v",
             "../testbench/sub/copy_of_a.v", "$QSYS_SIMDIR/sub/e f.v", "$QSYS_SIMDIR/sub/loop.v",
             "$QSYS_SIMDIR/sub/dangling.v", "$QSYS_SIMDIR/sub/link_to_b.v", "$ROOT_ALT/sub/a.v",
             "$QSYS_SIMDIR/sub/plain.v", "$QSYS_SIMDIR\\sub\\plain.v", "$QSYS_SIMDIR/sub/",
             "$MISSING/x.v", "$QSYS_SIMDIR/sub/none.v", "$QSYS_SIMDIR/sub/x_ncrypt.v",
             "$QSYS_SIMDIR/s_tb.v", "Z:/nowhere/z.v", "$QSYS_SIMDIR/sub/deep/c.sv/"]
    (simdir / "sub" / "x_ncrypt.v").write_text("")
    (simdir / "s_tb.v").write_text("module s_tb;\nendmodule\n")
    script = "".join(f'vlog "{name}" -work lib\n' for name in names)
    (mentor / "msim_setup.tcl").write_text(f'set ROOT_ALT "{simdir.as_posix()}//"\n' + script)
    monkeypatch.delenv("QUARTUS_INSTALL_DIR", raising=False)
    monkeypatch.setattr(pelorin, "_project_drive_roots", lambda root: [])

    got = pelorin._msim_verilog_sources(tmp_path, "s", include_testbench=True)
    assert [p.relative_to(simdir).as_posix() for p in got] == [
        "sub/a.v", "sub/b.v", "sub/deep/c.sv", "mentor/rel.v", "sub/e f.v",
        "sub/plain.v", "s_tb.v"]
