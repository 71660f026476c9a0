"""Build a fake Quartus installation for tests: <root>/x/bin/<tools>, <root>/eda/sim_lib/<models>.

The tools are copies of tests/fakes/ip-generate and ip-make-ipx (copies, not links: the runner
finds the Quartus root from the resolved location of ip-generate), started by this interpreter.
"""

import os
import shutil
import sys
from pathlib import Path

FAKES = Path(__file__).resolve().parent.parent
SIM_LIB = Path(__file__).resolve().parent / "eda" / "sim_lib"
TOOLS = ("ip-generate", "ip-make-ipx")
MODELS = ("220model.v", "altera_mf.v")


def install(root, tools=TOOLS, models=MODELS):
    """Create the tree below `root` and return its bin directory (for PATH)."""
    bin_dir = Path(root) / "x" / "bin"
    bin_dir.mkdir(parents=True, exist_ok=True)
    for tool in tools:
        body = (FAKES / tool).read_text(encoding="utf-8").split("\n", 1)[1]
        target = bin_dir / tool
        target.write_text(f"#!{sys.executable}\n{body}", encoding="utf-8")
        target.chmod(0o755)
    sim_lib = Path(root) / "eda" / "sim_lib"
    sim_lib.mkdir(parents=True, exist_ok=True)
    for model in models:
        shutil.copyfile(SIM_LIB / model, sim_lib / model)
    return bin_dir


def path_with(bin_dir):
    """PATH with `bin_dir` first."""
    return f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"
