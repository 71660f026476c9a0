"""Bus-functional models: the Avalon-ST stand-in for Intel read and write DMA components."""

from . import tavrin as _tavrin
from .tavrin import *  # noqa: F403 - the names of tavrin.__all__

__all__ = list(_tavrin.__all__)
