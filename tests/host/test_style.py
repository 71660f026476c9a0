"""The C++ sources stay formatted with the project's .clang-format."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_cpp_sources_are_clang_formatted():
    clang_format = pathlib.Path(sys.executable).with_name("clang-format")
    if not clang_format.exists():
        found = shutil.which("clang-format")
        if found is None:
            pytest.skip("clang-format is not installed (make installs it into the venv)")
        clang_format = pathlib.Path(found)
    sources = sorted(
        str(p) for p in (ROOT / "src").rglob("*") if p.suffix in {".cpp", ".hpp"}
    )
    result = subprocess.run(
        [str(clang_format), "--dry-run", "-Werror", *sources],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, "run: make format\n" + result.stderr[-3000:]
