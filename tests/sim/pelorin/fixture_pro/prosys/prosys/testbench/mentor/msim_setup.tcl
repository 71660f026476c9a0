# (C) corvane test fixture: a set-up script in the shape Quartus Pro (18.1 to 23.x) generates
# for a Platform Designer system: the design files and libraries are not listed here but in
# common/modelsim_files.tcl, which the script sources.
#
# ACDS 23.4 79 linux 2026.12.08.10:02:41

# ----------------------------------------
# Initialize variables
if ![info exists SYSTEM_INSTANCE_NAME] {
  set SYSTEM_INSTANCE_NAME ""
} elseif { ![ string match "" $SYSTEM_INSTANCE_NAME ] } {
  set SYSTEM_INSTANCE_NAME "/$SYSTEM_INSTANCE_NAME"
}

if ![info exists TOP_LEVEL_NAME] {
  set TOP_LEVEL_NAME "prosys.prosys"
}

if ![info exists QSYS_SIMDIR] {
  set QSYS_SIMDIR "./../"
}

if ![info exists QUARTUS_INSTALL_DIR] {
  set QUARTUS_INSTALL_DIR "/opt/intelFPGA_pro/23.4/quartus/"
}

if ![info exists USER_DEFINED_COMPILE_OPTIONS] {
  set USER_DEFINED_COMPILE_OPTIONS ""
}

if ![info exists USER_DEFINED_VHDL_COMPILE_OPTIONS] {
  set USER_DEFINED_VHDL_COMPILE_OPTIONS ""
}

if ![info exists USER_DEFINED_VERILOG_COMPILE_OPTIONS] {
  set USER_DEFINED_VERILOG_COMPILE_OPTIONS ""
}

if ![info exists USER_DEFINED_ELAB_OPTIONS] {
  set USER_DEFINED_ELAB_OPTIONS ""
}

if ![info exists SILENCE] {
  set SILENCE "false"
}

if ![info exists FORCE_MODELSIM_AE_SELECTION] {
  set FORCE_MODELSIM_AE_SELECTION "false"
}

# ----------------------------------------
# Source Common Tcl File
source $QSYS_SIMDIR/common/modelsim_files.tcl

# ----------------------------------------
# Initialize simulation properties - DO NOT MODIFY!
if ![ string match "*-64 vsim*" [ vsimVersionString ] ] {
  set SIMULATOR_TOOL_BITNESS "bit_32"
} else {
  set SIMULATOR_TOOL_BITNESS "bit_64"
}

proc modelsim_ae_select {force_select_modelsim_ae} {
  if [string is true -strict $force_select_modelsim_ae] {
    return 1
  }
  return [string match -nocase "*Intel*FPGA*" [ vsimVersionString ]]
}

# ----------------------------------------
# Create compilation libraries
set logical_libraries [list "work" "work_lib" "altera_ver" "tennm_ver" "altera_mf"]

proc ensure_lib { lib } { if ![file isdirectory $lib] { vlib $lib } }
ensure_lib          ./libraries/
ensure_lib          ./libraries/work/
vmap       work     ./libraries/work/
vmap       work_lib ./libraries/work/
if [string is false -strict [modelsim_ae_select $FORCE_MODELSIM_AE_SELECTION]] {
  ensure_lib             ./libraries/altera_ver/
  vmap       altera_ver  ./libraries/altera_ver/
  ensure_lib             ./libraries/tennm_ver/
  vmap       tennm_ver   ./libraries/tennm_ver/
  ensure_lib             ./libraries/altera_mf/
  vmap       altera_mf   ./libraries/altera_mf/
}
set design_libraries [dict create]
set design_libraries [dict merge $design_libraries [prosys::get_design_libraries]]
set libraries [dict keys $design_libraries]
foreach library $libraries {
  ensure_lib ./libraries/$library/
  vmap $library  ./libraries/$library/
  lappend logical_libraries $library
}

# ----------------------------------------
# Compile device library files
alias dev_com {
  if [string is false -strict $SILENCE] {
    echo "\[exec\] dev_com"
  }
  if [string is false -strict [modelsim_ae_select $FORCE_MODELSIM_AE_SELECTION]] {
    eval  vlog $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS     "$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_primitives.v"           -work altera_ver
    eval  vlog -sv $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS "$QUARTUS_INSTALL_DIR/eda/sim_lib/mentor/tennm_atoms_ncrypt.sv" -work tennm_ver
    eval  vcom $USER_DEFINED_VHDL_COMPILE_OPTIONS $USER_DEFINED_COMPILE_OPTIONS        "$QUARTUS_INSTALL_DIR/eda/sim_lib/altera_mf.vhd"                 -work altera_mf
  }
}

# ----------------------------------------
# Compile the design files in correct order
alias com {
  if [string is false -strict $SILENCE] {
    echo "\[exec\] com"
  }
  set design_files [dict create]
  set design_files [dict merge [prosys::get_common_design_files $USER_DEFINED_COMPILE_OPTIONS $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_VHDL_COMPILE_OPTIONS "$QSYS_SIMDIR"]]
  set common_design_files [dict values $design_files]
  foreach file $common_design_files {
    eval $file
  }
  set design_files [list]
  set design_files [concat $design_files [prosys::get_design_files $USER_DEFINED_COMPILE_OPTIONS $USER_DEFINED_VERILOG_COMPILE_OPTIONS $USER_DEFINED_VHDL_COMPILE_OPTIONS "$QSYS_SIMDIR"]]
  foreach file $design_files {
    eval $file
  }
}
