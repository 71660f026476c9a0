"""Build plain RTL sources and run one cocotb test module."""
