"""Simulation tests: make tests/sim/simrun.py importable as `simrun` from every topic folder."""

import sys
from pathlib import Path

_HERE = str(Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
