"""Paths of corvane.sim.pelorin: script paths to host paths, variable references, and finding
the Quartus installation."""

from pathlib import Path

import pytest

from corvane.sim import pelorin


@pytest.mark.parametrize("value, expected", [
    (r"C:\intelFPGA\23.1\quartus", "/mnt/c/intelFPGA/23.1/quartus"),
    ("D:/work/x", "/mnt/d/work/x"),
    ("c:/", "/mnt/c"),
    ("C:/a\n", "/mnt/c/a"),          # `$` accepts one final line end
    ("C:/a\nb", "C:/a\nb"),          # but not one inside
    ("C:foo", "C:foo"),
    ("CD:/x", "CD:/x"),
    ("rel/x", "rel/x"),
    (r"sub\dir\a.v", "sub/dir/a.v"),
    ("/opt/intelFPGA/23.1/quartus/", "/opt/intelFPGA/23.1/quartus"),
])
def test_path_from_msim(value, expected):
    assert pelorin._path_from_msim(value) == Path(expected)


@pytest.mark.parametrize("root, expected", [
    ("/mnt/e/x", ["/", "/mnt/e"]),
    ("/mnt/d/work/proj", ["/", "/mnt/d"]),
    ("/mnt/e", ["/", "/mnt/e"]),
    ("/mnt", ["/"]),
    ("/home/u/x", ["/"]),
    ("relative/x", []),
    ("mnt/e/x", []),
])
def test_project_drive_roots(root, expected):
    assert pelorin._project_drive_roots(root) == [Path(p) for p in expected]
    assert pelorin._project_drive_roots(Path(root)) == [Path(p) for p in expected]


SIMDIR = {"QSYS_SIMDIR": "/p/sys/sys/testbench"}


@pytest.mark.parametrize("raw, variables, expected", [
    ("$QSYS_SIMDIR/submodules/a.v", SIMDIR, "/p/sys/sys/testbench/submodules/a.v"),
    ("${QSYS_SIMDIR}/submodules/a.v", SIMDIR, "/p/sys/sys/testbench/submodules/a.v"),
    ("$OTHER/a.v", SIMDIR, None),
    ("submodules/a.v", SIMDIR, "/base/submodules/a.v"),
    (r"$QSYS_SIMDIR\sub\a.v", SIMDIR, "/p/sys/sys/testbench/sub/a.v"),
    ("$Q/a.v", {"Q": r"C:\intel"}, "/mnt/c/intel/a.v"),
    ("$Q/a.v", {"Q": "rel"}, "/base/rel/a.v"),
    # A name that is the beginning of a longer one replaces only its own references, wherever
    # it stands in the map; plain text replacement turned $QSYS_SIMDIR into /wrong_SIMDIR.
    ("$QSYS_SIMDIR/a.v", {"QSYS": "/wrong", "QSYS_SIMDIR": "/right"}, "/right/a.v"),
    ("${QSYS_SIMDIR}/a.v", {"QSYS": "/wrong", "QSYS_SIMDIR": "/right"}, "/right/a.v"),
    ("$QSYS/a.v", {"QSYS": "/short", "QSYS_SIMDIR": "/right"}, "/short/a.v"),
    ("${QSYS}_x/a.v", {"QSYS": "/short"}, "/short_x/a.v"),
    ("$QSYSX/a.v", {"QSYS": "/short"}, None),
    ("$QSYS.v", {"QSYS": "/d/f"}, "/d/f.v"),
    # Settings apply in map order: a value may bring in a reference that a later one resolves.
    ("$A/f.v", {"A": "$B/x", "B": "/b"}, "/b/x/f.v"),
    ("$A/f.v", {"B": "/b", "A": "$B/x"}, None),
    ("$A$A.v", {"A": "/r"}, "/r/r.v"),
])
def test_resolve_msim_source(raw, variables, expected):
    got = pelorin._resolve_msim_source(raw, variables, "/base")
    assert got == (None if expected is None else Path(expected))


def make_install(root, *versions):
    for version in versions:
        (root / "intelFPGA" / version / "quartus").mkdir(parents=True)


@pytest.fixture
def no_install_env(monkeypatch):
    monkeypatch.delenv("QUARTUS_INSTALL_DIR", raising=False)
    monkeypatch.delenv("QUARTUS_ROOTDIR", raising=False)


def search_roots(monkeypatch, *roots):
    monkeypatch.setattr(pelorin, "_project_drive_roots", lambda project_root: list(roots))


@pytest.mark.parametrize("versions, expected", [
    (["22.1", "23.1"], "23.1"),
    (["9.1", "24.1"], "24.1"),           # text order would pick 9.1
    (["23.4", "24.1", "9.1"], "24.1"),
    (["23.1", "23.1std", "22.4"], "23.1std"),
    (["18.1", "18.10", "18.9"], "18.10"),
    (["23.01", "23.1"], "23.1"),
])
def test_newest_installed_version_wins(tmp_path, monkeypatch, no_install_env, versions, expected):
    make_install(tmp_path, *versions)
    search_roots(monkeypatch, tmp_path)
    assert pelorin._quartus_install_dir("/proj") == tmp_path / "intelFPGA" / expected / "quartus"


def test_version_without_quartus_is_passed_over(tmp_path, monkeypatch, no_install_env):
    make_install(tmp_path, "22.1")
    (tmp_path / "intelFPGA" / "24.1").mkdir()
    (tmp_path / "intelFPGA" / "licenses").write_text("")
    other = tmp_path / "other"
    make_install(other, "25.1")
    search_roots(monkeypatch, tmp_path / "empty", tmp_path, other)
    assert pelorin._quartus_install_dir("/proj") == tmp_path / "intelFPGA" / "22.1" / "quartus"


def test_install_lookup_order(tmp_path, monkeypatch, no_install_env):
    make_install(tmp_path, "23.1")
    search_roots(monkeypatch, tmp_path)
    env_dir, rootdir, script_dir = (tmp_path / n for n in ("env", "rootdir", "script"))
    script = tmp_path / "msim_setup.tcl"
    script.write_text(f'set QUARTUS_INSTALL_DIR "{script_dir}/"\n')
    drive = tmp_path / "intelFPGA" / "23.1" / "quartus"

    assert pelorin._quartus_install_dir("/proj", script) == drive  # script value missing
    script_dir.mkdir()
    assert pelorin._quartus_install_dir("/proj", script) == script_dir
    # Given variables are used instead of reading the script.
    assert pelorin._quartus_install_dir("/proj", script, {}) == drive
    assert pelorin._quartus_install_dir("/proj", None, {"QUARTUS_INSTALL_DIR": str(rootdir)}) \
        == drive
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(env_dir))   # missing: next rule
    monkeypatch.setenv("QUARTUS_ROOTDIR", "")                  # empty: ignored
    assert pelorin._quartus_install_dir("/proj", script) == script_dir
    monkeypatch.setenv("QUARTUS_ROOTDIR", str(rootdir))
    rootdir.mkdir()
    assert pelorin._quartus_install_dir("/proj", script) == rootdir
    env_dir.mkdir()
    assert pelorin._quartus_install_dir("/proj", script) == env_dir


def test_no_installation_gives_none(tmp_path, monkeypatch, no_install_env):
    search_roots(monkeypatch, tmp_path)
    assert pelorin._quartus_install_dir("/proj") is None


def test_platform_paths():
    assert pelorin._platform_qsys_simdir("/p", "sys") == Path("/p/sys/sys/testbench")
    assert pelorin._platform_msim_setup(Path("/p"), "sys") == \
        Path("/p/sys/sys/testbench/mentor/msim_setup.tcl")
