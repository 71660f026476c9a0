"""The set-up script patterns of corvane.sim.pelorin, each against the regular expression it is
meant to be: blanks across line ends, Unicode blanks and word characters, unterminated quotes,
keywords glued to names, and which match groups and positions reach the results.
"""

import re

import pytest

from corvane.sim import pelorin

SET_RE = re.compile(r'^\s*set\s+([A-Za-z0-9_]+)\s+(?:"([^"]*)"|(\S+))', re.M)
LIBRARY_RE = re.compile(r"-work\s+([A-Za-z0-9_]+)")
SOURCE_RE = re.compile(r'"([^"]+\.(?:sv|v))"')
UNIT_RE = re.compile(r"^\s*(?:module|package|interface)\s+([A-Za-z_][A-Za-z0-9_]*)\b", re.M)


def python_text(path):
    with open(path, errors="ignore") as file:
        return file.read()


def expected_variables(text):
    found = {}
    for match in SET_RE.finditer(text):
        found[match[1]] = match[2] if match[2] is not None else match[3]
    return found


def expected_libraries(text):
    return list(dict.fromkeys(LIBRARY_RE.findall(text)))


SET_TEXTS = [
    'set QSYS_SIMDIR "./../"\n  set TOP_LEVEL_NAME sys_tb\nset EMPTY ""\nset TOP_LEVEL_NAME other\n',
    "if {1} {set NOPE 1}\n  # set COMMENT 1\nreset X 1\nsetX 1\nset\tTAB\tvalue\n",
    "\n\n   \n set AFTER_BLANKS 1\n",
    'set\nACROSS\n\n"quoted\nover lines"\n',
    'set OPEN "unterminated\nset NEXT 2\n',
    'set X "a"b\nset Y {a b}\nset Z \'q r\'\n',
    "set NBSP\u00a0value\nset FS\x1cvalue\n\u2003set EMSPACE 1\nset IDEO\u3000v\n",
    "set ÄB 1\nset UNICODE é\nset Ä 2\n",
    "set END",
    "set END ",
    'set Q ""',
    "set A 1\u2028set B 2\nset C\u0085x\n",
    "set A 1; set B 2\n\tset   C   3   extra\n",
    "set A $B/c\nset D ${E}/f\n",
]


@pytest.mark.parametrize("text", SET_TEXTS)
def test_variable_settings_match_re(tmp_path, text):
    script = tmp_path / "msim_setup.tcl"
    script.write_text(text, encoding="utf-8")
    got = pelorin._msim_set_variables(script)
    assert got == expected_variables(python_text(script))
    assert list(got) == list(expected_variables(python_text(script)))


LIBRARY_TEXTS = [
    "vlog a.v -work altera_ver\nvlog b.v -work altera_ver\nvlog c.v -work sys_inst\n",
    "-work -work lib\n--work two\n-workx no\n-work\nnext_line\n",
    "-work\u00a0nbsp_lib -work é -work lib-name\n",
    "-work",
    "-work ",
]


@pytest.mark.parametrize("text", LIBRARY_TEXTS)
def test_library_names_match_re(tmp_path, text):
    script = tmp_path / "msim_setup.tcl"
    script.write_text(text, encoding="utf-8")
    assert pelorin.get_msim_libraries(script) == expected_libraries(script.read_text())


UNIT_TEXTS = [
    "module a; endmodule\n  module\tb(\nmodule c#(\ninterface j;\npackage k;\nprogram l;\n",
    "module d\u00e9 x\nmodule e\u00b7\nmodule p\u0663\nmodule q_\u00e9\n",
    "modulef x\n/* module g */\n  // module h\nendmodule o\nmodule 9m\nmodule _n\n",
    "\n\nmodule\n\ni \nmodule module x\nmodule\u2028r\nmodule\u00a0s\n",
    "/*\n module in_comment\n*/\n",
    "module t",
    "module ",
    "\ufeffmodule bom_first\nmodule u\r\nmodule v\rmodule w\n",
]


@pytest.mark.parametrize("text", UNIT_TEXTS)
def test_design_units_match_re(tmp_path, text):
    source = tmp_path / "unit.sv"
    source.write_bytes(text.encode("utf-8"))
    assert pelorin._design_units(source) == set(UNIT_RE.findall(python_text(source)))


SOURCE_LINES = [
    'vlog "a.v" "b.sv"',
    'vlog "x" y "c.v"',
    'vlog "d.vhd" "e.svh" "f.V" ".v" "..v"',
    'vlog "g h.v" x"i.v" "j.v',
    'vlog "$QSYS_SIMDIR/k.v" -work lib "${QSYS_SIMDIR}/l.sv"',
    'vcom "m.v"',
    'echo "n.v" ; # vlo g',
]


def test_quoted_sources_match_re(tmp_path, monkeypatch):
    """Every quoted name of a vlog line is taken, in order, and nothing else."""
    root = tmp_path
    mentor = root / "sys" / "sys" / "testbench" / "mentor"
    mentor.mkdir(parents=True)
    text = "set QSYS_SIMDIR \"./../\"\n" + "\n".join(SOURCE_LINES) + "\n"
    (mentor / "msim_setup.tcl").write_text(text)
    expected = []
    for line in text.splitlines():
        if "vlog" in line:
            expected += SOURCE_RE.findall(line)
    candidates = set(expected)
    for line in SOURCE_LINES:
        candidates.update(re.findall(r'"([^"]*)"', line))
    for name in candidates:
        if name and "$" not in name and "/" not in name:
            (mentor / name).write_text("")  # empty files: kept, none shares a design unit
    (root / "sys" / "sys" / "testbench" / "k.v").write_text("")
    (root / "sys" / "sys" / "testbench" / "l.sv").write_text("")
    monkeypatch.delenv("QUARTUS_INSTALL_DIR", raising=False)
    monkeypatch.delenv("QUARTUS_ROOTDIR", raising=False)
    got = pelorin._msim_verilog_sources(root, "sys")
    simdir = (root / "sys" / "sys" / "testbench").as_posix()
    want = [
        mentor / name if "$" not in name else pelorin._path_from_msim(
            name.replace("${QSYS_SIMDIR}", simdir).replace("$QSYS_SIMDIR", simdir))
        for name in expected
    ]
    assert got == want
    assert [p.name for p in got] == ["a.v", "b.sv", "c.v", "..v", "g h.v", "i.v", "k.v", "l.sv"]


@pytest.mark.parametrize("separator", ["\n", "\r\n", "\r", "\f", "\x1c", "\x85", "\u2028"])
def test_vlog_lines_end_where_python_splits_lines(tmp_path, separator):
    mentor = tmp_path / "s" / "s" / "testbench" / "mentor"
    mentor.mkdir(parents=True)
    for name in ("one.v", "two.v"):
        (mentor / name).write_text("")
    # The second name sits on a line of its own (no vlog) unless the separator is not a line end.
    (mentor / "msim_setup.tcl").write_text(f'vlog "one.v"{separator}"two.v"\n', encoding="utf-8")
    got = [p.name for p in pelorin._msim_verilog_sources(tmp_path, "s")]
    assert got == ["one.v"]


def test_strict_and_tolerant_readers(tmp_path):
    script = tmp_path / "msim_setup.tcl"
    script.write_bytes(b'set A "\xff\xfeok"\r\nvlog x.v -work lib\xff_one\r\n')
    assert pelorin._read_text(script) == 'set A "ok"\nvlog x.v -work lib_one\n'
    assert pelorin._msim_set_variables(script) == {"A": "ok"}
    with pytest.raises(UnicodeDecodeError):
        pelorin.get_msim_libraries(script)


@pytest.mark.parametrize("reader", [pelorin._read_text, pelorin._design_units,
                                    pelorin._msim_set_variables, pelorin.get_msim_libraries])
def test_missing_files_raise_the_hosts_error(tmp_path, reader):
    with pytest.raises(FileNotFoundError) as info:
        reader(tmp_path / "nope.tcl")
    assert info.value.filename == str(tmp_path / "nope.tcl")
    with pytest.raises(IsADirectoryError):
        reader(tmp_path)
