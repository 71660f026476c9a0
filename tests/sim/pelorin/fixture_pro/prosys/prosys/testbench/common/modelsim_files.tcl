# (C) corvane test fixture: the file lists of a Quartus Pro system, in the shape that its
# msim_setup.tcl sources from common/modelsim_files.tcl (Quartus Pro 18.1 to 23.x).

namespace eval prosys {
  proc get_design_libraries {} {
    set libraries [dict create]
    dict set libraries count_200    1
    dict set libraries gray_enc_100 1
    dict set libraries prosys       1
    return $libraries
  }

  proc get_common_design_files {USER_DEFINED_COMPILE_OPTIONS USER_DEFINED_VERILOG_COMPILE_OPTIONS USER_DEFINED_VHDL_COMPILE_OPTIONS QSYS_SIMDIR} {
    set design_files [dict create]
    return $design_files
  }

  proc get_design_files {USER_DEFINED_COMPILE_OPTIONS USER_DEFINED_VERILOG_COMPILE_OPTIONS USER_DEFINED_VHDL_COMPILE_OPTIONS QSYS_SIMDIR} {
    set design_files [list]
    # The user's edit: the old core stays out of the build.
    #lappend design_files "vlog -sv $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS  \"[normalize_path "$QSYS_SIMDIR/../count_200/sim/prosys_count_200_decoy.sv"]\"  -work count_200"
    lappend design_files "vlog $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS  \"[normalize_path "$QSYS_SIMDIR/../count_200/sim/mentor/prosys_count_200_monitor.v"]\"  -work count_200"
    lappend design_files "vlog -sv $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS  \"[normalize_path "$QSYS_SIMDIR/../count_200/sim/prosys_count_200_core.sv"]\"  -work count_200"
    lappend design_files "vlog $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS  \"[normalize_path "$QSYS_SIMDIR/../gray_enc_100/sim/prosys_gray_enc_100_k3xq7ba.vo"]\"  -work gray_enc_100"
    lappend design_files "vlog $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS  \"[normalize_path "$QSYS_SIMDIR/prosys.v"]\"  -work prosys"
    return $design_files
  }

  proc normalize_path {FILEPATH} {
    if {[catch { package require fileutil } err]} {
      return $FILEPATH
    }
    set path [fileutil::lexnormalize [file join [pwd] $FILEPATH]]
    if {[file pathtype $FILEPATH] eq "relative"} {
      set path [fileutil::relative [pwd] $path]
    }
    return $path
  }
}
