"""corvane: verification toolkit for Intel FPGA designs."""
