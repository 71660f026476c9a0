// src/corvane/sim/runners/rtl.cpp: bindings of the RTL test runner (placeholder until it lands).
#include <nanobind/nanobind.h>

NB_MODULE(rtl, m) { m.doc() = "Build plain RTL sources and run one cocotb test module."; }
