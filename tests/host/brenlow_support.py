"""Shared set-up of the System Console session tests: the fake consoles and their knobs."""

import os
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
CONSOLE = str(ROOT / "tests" / "fakes" / "system-console")
SCRIPTED = str(ROOT / "tests" / "fakes" / "scripted-console")


def write_plan(tmp_path, monkeypatch, startup=("JTAG_READY",), replies=()):
    """Point the scripted console at a plan; return the path of its request log."""
    blocks = ["\n".join(startup)] + ["\n".join(block) for block in replies]
    plan = tmp_path / "plan.txt"
    plan.write_text("\n---\n".join(blocks) + "\n", encoding="utf-8")
    log = tmp_path / "requests.log"
    monkeypatch.setenv("SCRIPTED_CONSOLE_PLAN", str(plan))
    monkeypatch.setenv("SCRIPTED_CONSOLE_LOG", str(log))
    return log


def logged(log):
    """(argv, requests) as the scripted console recorded them."""
    lines = log.read_text(encoding="utf-8").splitlines()
    return lines[0].split("\t")[1:], lines[1:]


def children():
    """Process ids of this process's live children (Linux)."""
    pids = set()
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            pids.update(int(pid) for pid in (task / "children").read_text().split())
        except OSError:  # a thread (a reader) that ended since the listing
            pass
    return pids
