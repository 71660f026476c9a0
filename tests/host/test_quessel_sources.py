"""Source collection of corvane.sim.runners.quessel: hashing, the index of originals, the report,
substitution of originals, the Quartus models and directory housekeeping."""

import hashlib
import os
import random
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from corvane.sim.runners import quessel


@pytest.mark.parametrize("size", [0, 1, 55, 56, 64, 1048575, 1048576, 1048577, 3 * 1048576 + 7])
def test_hash_file_is_sha256(tmp_path, size):
    data = random.Random(size).randbytes(size)
    (tmp_path / "f.v").write_bytes(data)
    assert quessel._hash_file(tmp_path / "f.v") == hashlib.sha256(data).digest()


@pytest.mark.parametrize("make, error", [
    (lambda p: None, FileNotFoundError),
    (lambda p: p.mkdir(), IsADirectoryError),
])
def test_hash_file_errors_are_the_hosts(tmp_path, make, error):
    make(tmp_path / "x.v")
    with pytest.raises(error) as info:
        quessel._hash_file(tmp_path / "x.v")
    assert info.value.filename == str(tmp_path / "x.v")


def write(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)


@pytest.mark.parametrize("files, dirs, winner", [
    ({"a/x.v": "same", "b/y.v": "same"}, ["a", "b"], "a/x.v"),
    ({"a/x.v": "same", "b/y.v": "same"}, ["b", "a"], "b/y.v"),
    ({"a/z.sv": "same", "a/w.v": "same"}, ["a"], "a/w.v"),           # .v before .sv
    ({"a/sub/b.v": "same", "a/sub-c.v": "same"}, ["a"], "a/sub/b.v"),  # path order, not text
    ({"a/x.v": "same"}, ["missing", "a"], "a/x.v"),
])
def test_index_keeps_the_first_file_of_each_content(tmp_path, files, dirs, winner):
    write(tmp_path, files)
    index = quessel._original_source_index(tmp_path, dirs)
    assert index == {hashlib.sha256(b"same").digest(): tmp_path / winner}


def test_index_matches_a_one_by_one_scan_on_a_large_tree(tmp_path, monkeypatch):
    rng = random.Random(7)
    contents = [rng.randbytes(rng.randrange(0, 300_000)) for _ in range(40)]
    for i in range(300):
        sub = tmp_path / rng.choice(["src", "common"]) / rng.choice(["", "x", "x/y", "z"])
        sub.mkdir(parents=True, exist_ok=True)
        (sub / f"f{i}{rng.choice(['.v', '.sv', '.vh'])}").write_bytes(rng.choice(contents))
    dirs = ["src", "common", "nowhere"]
    native = quessel._original_source_index(tmp_path, dirs)

    expected = {}
    for d in dirs:
        for pattern in ("*.v", "*.sv"):
            for path in sorted((tmp_path / d).rglob(pattern)):
                expected.setdefault(hashlib.sha256(path.read_bytes()).digest(), path)
    assert list(native.items()) == list(expected.items())

    # A replaced _hash_file is the one used.
    calls = []
    monkeypatch.setattr(quessel, "_hash_file", lambda p: calls.append(p) or b"one")
    assert quessel._original_source_index(tmp_path, ["src"]) == {b"one": calls[0]}
    assert len(calls) == len(list((tmp_path / "src").rglob("*.v"))) + len(
        list((tmp_path / "src").rglob("*.sv")))


def test_index_raises_for_the_first_unreadable_file_in_order(tmp_path):
    write(tmp_path, {"s/a.v": "x", "s/c.v": "y"})
    (tmp_path / "s" / "b.v").mkdir()
    (tmp_path / "s" / "d.v").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        quessel._original_source_index(tmp_path, ["s"])
    assert info.value.filename == str(tmp_path / "s" / "b.v")


SPD = """<?xml version="1.0" encoding="UTF-8"?>
<simPackage>
 <file path="top.v" type="VERILOG" />
 <file type="SYSTEM_VERILOG"
   path="sub/ctrl.SV" />
 <file path="x.vhd" type="VHDL" />
 <file path="pkg.svh" type="SYSTEM_VERILOG" />
 <file path="/abs/lib.v" type="VERILOG"><include path="inc.v" /></file>
 <group><file path="nested.v" /></group>
 <file path="top.v" type="VERILOG" />
 <topLevel name="top" />
</simPackage>
"""


def test_spd_keeps_top_level_hdl_entries_in_order(tmp_path):
    (tmp_path / "gen").mkdir()
    (tmp_path / "gen" / "top.spd").write_text(SPD)
    assert quessel._spd_hdl_sources(tmp_path / "gen" / "top.spd") == [
        tmp_path / "gen" / "top.v", tmp_path / "gen" / "sub" / "ctrl.SV", Path("/abs/lib.v"),
        tmp_path / "gen" / "top.v"]


@pytest.mark.parametrize("text, error", [
    ("<simPackage><file path=", ElementTree.ParseError),
    ('<simPackage><file type="VERILOG" /></simPackage>', KeyError),
    (None, FileNotFoundError),
])
def test_spd_errors_are_the_hosts(tmp_path, text, error):
    if text is not None:
        (tmp_path / "top.spd").write_text(text)
    with pytest.raises(error):
        quessel._spd_hdl_sources(tmp_path / "top.spd")


@pytest.fixture
def generation(tmp_path):
    """Originals in src/ and a generated output directory with copies and wiring."""
    write(tmp_path, {"src/core.v": "core", "src/fifo.sv": "fifo"})
    out = tmp_path / ".ip_generate_top"
    write(out, {"top.v": "wiring", "submodules/core.v": "core", "submodules/lib/core2.v": "core",
                "submodules/fifo.sv": "fifo", "submodules/glue.v": "glue"})
    return tmp_path, out


def test_originals_replace_identical_copies(generation):
    root, out = generation
    generated = [out / "submodules/fifo.sv", out / "top.v", out / "submodules/core.v",
                 str(out / "submodules/lib/core2.v"), out / "submodules/glue.v",
                 str(root / "src" / "core.v")]  # a report may name an original itself
    sources, retained = quessel._use_original_sources(root, ["src"], generated)
    assert sources == [root / "src/fifo.sv", out / "top.v", root / "src/core.v",
                       out / "submodules/glue.v"]
    assert retained == [out / "top.v", out / "submodules/glue.v", root / "src" / "core.v"]
    assert sorted(p.relative_to(out).as_posix() for p in out.rglob("*.*")) == [
        "submodules/glue.v", "top.v"]
    assert (root / "src" / "core.v").read_text() == "core"


def test_sources_are_deduplicated_by_resolved_path(generation):
    root, out = generation
    (root / "link").symlink_to(root / "src")
    sources, _ = quessel._use_original_sources(
        root, ["link", "src"], [out / "submodules/core.v", root / "src/core.v"])
    assert sources == [root / "link/core.v"]


def test_copies_outside_the_output_directory_are_never_deleted(generation):
    root, out = generation
    user = root.parent / f"{root.name}_user" / "mine.v"
    user.parent.mkdir()
    user.write_text("core")
    escape = out / ".." / "src2" / "core.v"  # inside by its text, outside once resolved
    write(root, {"src2/core.v": "core"})
    link = out / "submodules" / "linked.v"  # a link the generation left is its own entry
    link.symlink_to(root / "src2" / "core.v")
    sources, retained = quessel._use_original_sources(
        root, ["src"], [user, escape, link, out / "submodules/core.v"], output_dir=out)
    assert sources == [root / "src/core.v"]
    assert retained == []
    assert user.read_text() == "core" and (root / "src2/core.v").exists()
    assert not (out / "submodules/core.v").exists() and not link.is_symlink()


def test_quartus_models_sit_below_the_resolved_tool(tmp_path):
    q = tmp_path / "q"
    (q / "x" / "bin").mkdir(parents=True)
    write(q / "eda" / "sim_lib", {"220model.v": "", "altera_mf.v": ""})
    (q / "x" / "bin" / "ip-generate").write_text("")
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "ip-generate").symlink_to(q / "x" / "bin" / "ip-generate")
    sim_lib = q / "eda" / "sim_lib"
    assert quessel._quartus_sim_sources(tmp_path / "bin" / "ip-generate",
                                        ["altera_mf.v", "220model.v"]) == [
        sim_lib / "altera_mf.v", sim_lib / "220model.v"]
    assert quessel._quartus_sim_sources("/not/a/tool", ()) == []
    with pytest.raises(FileNotFoundError) as info:
        quessel._quartus_sim_sources(q / "x/bin/ip-generate", ["220model.v", "a.v", "b.v"])
    assert str(info.value) == f"Missing Quartus simulation model: {sim_lib / 'a.v'}"


def test_empty_directories_go_deepest_first_but_never_the_root(tmp_path):
    root = tmp_path / "out"
    write(root, {"a/b/f.v": "", "keep/g.v": ""})
    (root / "e1" / "e2" / "e3").mkdir(parents=True)
    (tmp_path / "elsewhere").mkdir()
    (root / "keep" / "link").symlink_to(tmp_path / "elsewhere")  # not ours: left alone
    quessel._remove_empty_directories(root)
    assert sorted(p.relative_to(root).as_posix() for p in root.rglob("*")) == [
        "a", "a/b", "a/b/f.v", "keep", "keep/g.v", "keep/link"]
    (root / "a/b/f.v").unlink()
    (root / "keep/g.v").unlink()
    (root / "keep/link").unlink()
    quessel._remove_empty_directories(root)
    assert list(root.iterdir()) == [] and root.is_dir()
    assert (tmp_path / "elsewhere").is_dir()


@pytest.mark.parametrize("make", [
    lambda p: None,
    lambda p: write(p, {"old/x.v": "", "y.v": ""}),
    lambda p: p.write_text("a file"),
])
def test_clean_directory_leaves_an_empty_directory(tmp_path, make):
    target = tmp_path / "deep" / "out"
    target.parent.mkdir()
    make(target)
    quessel._clean_directory(target)
    assert target.is_dir() and list(target.iterdir()) == []


def test_clean_directory_removes_a_link_not_its_target(tmp_path):
    write(tmp_path, {"mine/x.v": "keep"})
    (tmp_path / "out").symlink_to(tmp_path / "mine")
    quessel._clean_directory(tmp_path / "out")
    assert (tmp_path / "mine/x.v").read_text() == "keep"
    assert (tmp_path / "out").is_dir() and not (tmp_path / "out").is_symlink()
