"""What the parsers read out of Quartus output in each shape Quartus really writes it: Standard
set-up scripts with `eval vlog ... -work`, Pro scripts (18.1 to 23.x) whose files are listed in the
common/modelsim_files.tcl they source, 24.1 Pro `qrun -makelib` lists, encrypted copies, .vo
netlists, lines the user commented out, VHDL top levels, and .spd reports of encrypted IP.

Each row writes a small tree below the project root (q/ is the Quartus installation) and states
what the Verilator list, the VHDL list, the Questa -L libraries or the .spd sources must be.
"""

import pytest

from corvane.sim import pelorin
from corvane.sim.runners import quessel

MENTOR = "sys/sys/testbench/mentor/msim_setup.tcl"
COMMON = "sys/sys/testbench/common/modelsim_files.tcl"
SUB = "sys/sys/testbench/sys_tb/simulation/submodules/"
SIMLIB = "q/eda/sim_lib/"
PROTECTED = ("module {};\n`pragma protect begin_protected\n`pragma protect data_block\n"
             "c2VjcmV0\n`pragma protect end_protected\nendmodule\n")


def script(*lines, sources=()):
    """A set-up script in the generated shape: defaults, sourced files, compile lines."""
    head = ['if ![info exists QSYS_SIMDIR] {', '  set QSYS_SIMDIR "./../"', '}',
            'if ![info exists QUARTUS_INSTALL_DIR] {',
            '  set QUARTUS_INSTALL_DIR "/opt/intelFPGA/23.1/quartus/"', '}',
            '# source $QSYS_SIMDIR/mentor/msim_setup.tcl']
    return "\n".join(head + [f"source {s}" for s in sources] + list(lines)) + "\n"


def vlog(path, lib=None, command="vlog"):
    return f'  eval  {command} $USER_DEFINED_COMPILE_OPTIONS "{path}"' + (f" -work {lib}" if lib else "")


def pro_entry(command, path, lib):
    """One design-file entry of a Pro common/modelsim_files.tcl."""
    quoted = f'\\"[normalize_path "{path}"]\\"'
    if command == "-makelib":
        return f'    lappend design_files "-makelib {lib} {quoted}   -end"'
    return f'    lappend design_files "{command} $USER_DEFINED_COMPILE_OPTIONS  {quoted}  -work {lib}"'


def pro_common(libraries, entries):
    return ("namespace eval sys {\n  proc get_design_libraries {} {\n"
            "    set libraries [dict create]\n"
            + "".join(f"    dict set libraries {lib} 1\n" for lib in libraries)
            + "    return $libraries\n  }\n  proc get_design_files {QSYS_SIMDIR} {\n"
            "    set design_files [list]\n" + "\n".join(entries)
            + "\n    return $design_files\n  }\n}\n")


def module(name):
    return f"module {name};\nendmodule\n"


DEVICE = {SIMLIB + "altera_mf.v": module("altera_mf_cell")}
TOP = {"sys/sys/testbench/sys.v": module("sys")}

SHAPES = [
    pytest.param({
        MENTOR: script(vlog("$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_mf.v", "altera_mf_ver"),
                       vlog("${QSYS_SIMDIR}/sys_tb/simulation/submodules/a.sv", "a_0"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/a.sv", "a_1"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/sys.v", "sys_inst")),
        **DEVICE, SUB + "a.sv": module("a"), "sys/sys/testbench/sys_tb/simulation/sys.v":
        module("sys")}, {
        "verilog": [SIMLIB + "altera_mf.v", SUB + "a.sv", "sys/sys/testbench/sys_tb/simulation/sys.v"],
        "vhdl": [], "libraries": ["altera_mf_ver", "a_0", "a_1", "sys_inst"]},
        id="standard"),
    pytest.param({
        MENTOR: script(vlog("$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_mf.v", "altera_mf_ver"),
                       "  foreach file $design_files { eval $file }",
                       sources=["$QSYS_SIMDIR/common/modelsim_files.tcl",
                                "$QSYS_SIMDIR/common/missing.tcl"]),
        # The libraries dict comes first in the file: its order is the order of the -L list.
        COMMON: pro_common(["sys", "b_10"], [
            pro_entry("vlog -sv", "$QSYS_SIMDIR/../b_10/sim/b.sv", "b_10"),
            "#" + pro_entry("vlog", "$QSYS_SIMDIR/../b_10/sim/b_old.v", "b_old"),
            pro_entry("vlog", "$QSYS_SIMDIR/sys.v", "sys")]),
        **DEVICE, **TOP, "sys/sys/b_10/sim/b.sv": module("b"),
        "sys/sys/b_10/sim/b_old.v": module("b_old")}, {
        "verilog": [SIMLIB + "altera_mf.v", "sys/sys/testbench/../b_10/sim/b.sv",
                    "sys/sys/testbench/sys.v"],
        "vhdl": [], "libraries": ["altera_mf_ver", "sys", "b_10"]},
        id="pro-sourced-file"),
    pytest.param({
        MENTOR: script(
            "  eval  qrun -compile -outdir ./libraries -vlog.options $USER_DEFINED_COMPILE_OPTIONS"
            " -end \\",
            '   -makelib altera_mf_ver "$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_mf.v" -end \\',
            '   -makelib altera_mf "$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_mf.vhd" -end \\',
            sources=["$QSYS_SIMDIR/common/modelsim_files.tcl"]),
        COMMON: pro_common(["c_20", "sys"], [
            pro_entry("-makelib", "$QSYS_SIMDIR/../c_20/sim/c.sv", "c_20"),
            pro_entry("-makelib", "$QSYS_SIMDIR/sys.v", "sys")]),
        **DEVICE, **TOP, SIMLIB + "altera_mf.vhd": "", "sys/sys/c_20/sim/c.sv": module("c")}, {
        "verilog": [SIMLIB + "altera_mf.v", "sys/sys/testbench/../c_20/sim/c.sv",
                    "sys/sys/testbench/sys.v"],
        "vhdl": [SIMLIB + "altera_mf.vhd"], "libraries": ["altera_mf_ver", "altera_mf", "c_20", "sys"]},
        id="qrun-makelib"),
    pytest.param({
        MENTOR: script(vlog("$QUARTUS_INSTALL_DIR/eda/sim_lib/mentor/tennm_atoms_ncrypt.sv",
                            "tennm_ver"),
                       vlog("$QUARTUS_INSTALL_DIR/eda/sim_lib/mentor/arriav_atoms_ncrypt.v",
                            "arriav_ver"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/mentor/mac.v", "mac_0"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/mac_plain.v", "mac_1"),
                       vlog("$QSYS_SIMDIR/sys.v", "sys_inst")),
        SIMLIB + "mentor/tennm_atoms_ncrypt.sv": "", SIMLIB + "mentor/arriav_atoms_ncrypt.v": "",
        SUB + "mentor/mac.v": PROTECTED.format("mac"), SUB + "mac_plain.v": module("mac"), **TOP}, {
        "verilog": [SUB + "mac_plain.v", "sys/sys/testbench/sys.v"], "vhdl": [],
        "libraries": ["tennm_ver", "arriav_ver", "mac_0", "mac_1", "sys_inst"]},
        id="encrypted"),
    pytest.param({
        MENTOR: script(vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/sys_pll.vo", "pll_0"),
                       vlog("$QSYS_SIMDIR/sys.v", "sys_inst")),
        SUB + "sys_pll.vo": module("sys_pll"), **TOP}, {
        "verilog": [SUB + "sys_pll.vo", "sys/sys/testbench/sys.v"], "vhdl": [],
        "libraries": ["pll_0", "sys_inst"]},
        id="vo-netlist"),
    pytest.param({
        MENTOR: script("#  " + vlog("$QSYS_SIMDIR/old.v", "old_0").strip(),
                       "    # " + vlog("$QSYS_SIMDIR/old.v", "old_1").strip(),
                       vlog("$QSYS_SIMDIR/sys.v", "sys_inst")),
        "sys/sys/testbench/old.v": module("old"), **TOP}, {
        "verilog": ["sys/sys/testbench/sys.v"], "vhdl": [], "libraries": ["sys_inst"]},
        id="commented-out"),
    pytest.param({
        MENTOR: script(vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/a.v", "a_0"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/submodules/sys.vhd", "sys_inst",
                            "vcom"),
                       vlog("$QSYS_SIMDIR/sys_tb/simulation/sys_tb.vhdl", None, "vcom")),
        SUB + "a.v": module("a"), SUB + "sys.vhd": "", "sys/sys/testbench/sys_tb/simulation/"
        "sys_tb.vhdl": ""}, {
        "verilog": [SUB + "a.v"],
        "vhdl": [SUB + "sys.vhd", "sys/sys/testbench/sys_tb/simulation/sys_tb.vhdl"],
        "libraries": ["a_0", "sys_inst"]},
        id="vhdl-top-level"),
    pytest.param({
        "gen/top.spd": '<?xml version="1.0" encoding="UTF-8"?>\n<simPackage>\n'
        ' <file path="top.v" type="VERILOG" library="top" />\n'
        + "".join(f' <file\n   path="sub/{d}/mac.v"\n   type="VERILOG_ENCRYPT"\n'
                  f'   library="mac"\n   simulator="{s}" />\n'
                  for d, s in [("mentor", "modelsim"), ("aldec", "riviera"),
                               ("synopsys", "vcs"), ("cadence", "ncsim")])
        + ' <file path="sub/both.sv" type="SYSTEM_VERILOG_ENCRYPT" simulator="riviera, modelsim" />\n'
        ' <file path="sub/any_enc.v" type="VERILOG_ENCRYPT" />\n'
        ' <file path="sub/core.vo" type="VERILOG" />\n'
        ' <file path="sub/core.vhd" type="VHDL" />\n</simPackage>\n'}, {
        "spd questa": ["top.v", "sub/mentor/mac.v", "sub/both.sv", "sub/any_enc.v", "sub/core.vo"],
        "spd verilator": ["top.v", "sub/core.vo"],
        "spd xcelium": ["top.v", "sub/cadence/mac.v", "sub/any_enc.v", "sub/core.vo"],
        "spd SIM unset": ["top.v", "sub/mentor/mac.v", "sub/both.sv", "sub/any_enc.v",
                          "sub/core.vo"],
        "spd SIM=verilator": ["top.v", "sub/core.vo"]},
        id="spd-four-simulators"),
]


@pytest.mark.parametrize("files, expected", SHAPES)
def test_quartus_output_shapes(tmp_path, monkeypatch, files, expected):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    monkeypatch.setenv("QUARTUS_INSTALL_DIR", str(tmp_path / "q"))
    got = {}
    if "gen/top.spd" in files:
        spd = tmp_path / "gen" / "top.spd"
        relative = lambda paths: [p.relative_to(spd.parent).as_posix() for p in paths]  # noqa: E731
        for sim in ("questa", "verilator", "xcelium"):
            got[f"spd {sim}"] = relative(quessel._spd_hdl_sources(spd, simulator=sim))
        monkeypatch.delenv("SIM", raising=False)
        got["spd SIM unset"] = relative(quessel._spd_hdl_sources(spd))
        monkeypatch.setenv("SIM", "verilator")
        got["spd SIM=verilator"] = relative(quessel._spd_hdl_sources(spd))
    else:
        relative = lambda paths: [p.relative_to(tmp_path).as_posix() for p in paths]  # noqa: E731
        got["verilog"] = relative(pelorin._msim_verilog_sources(tmp_path, "sys"))
        got["vhdl"] = relative(pelorin._msim_vhdl_sources(tmp_path, "sys"))
        got["libraries"] = pelorin.get_msim_libraries(tmp_path / MENTOR)
    assert got == expected
