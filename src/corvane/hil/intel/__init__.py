"""Hardware-in-the-loop access to Intel FPGA boards through System Console."""

from corvane.hil.intel.brenlow import IntelBrenlowSession, JtagSession

__all__ = ["IntelBrenlowSession", "JtagSession"]
