"""Bus-functional models: the Avalon-ST stand-in for Intel read and write DMA components."""

from . import tavrin as _tavrin
from .tavrin import *  # noqa: F403 - the names of tavrin.__all__
from .tavrin import TavrinSTBeat, TavrinSTMonitor, TavrinSTSink, TavrinSTSource

__all__ = list(_tavrin.__all__) + ["TavrinSTSource", "TavrinSTSink", "TavrinSTMonitor",
                                   "TavrinSTBeat"]
