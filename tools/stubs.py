"""Generate or check the committed type stubs (.pyi) of the built extension modules.

    python tools/stubs.py --write [MODULE ...]   regenerate the stubs next to the modules
    python tools/stubs.py --check [MODULE ...]   exit 1 when a committed stub is stale
"""

import argparse
import importlib.machinery
import pathlib
import subprocess
import sys
import tempfile

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def built_modules() -> list[str]:
    """Dotted names of every extension module built into the source tree."""
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for path in SRC.rglob("*"):
        rel = path.relative_to(SRC).as_posix()
        suffix = next((s for s in suffixes if rel.endswith(s)), None)
        if suffix:
            names.add(rel[: -len(suffix)].replace("/", "."))
    return sorted(names)


def stub_path(module: str) -> pathlib.Path:
    return SRC / (module.replace(".", "/") + ".pyi")


def generate(module: str, output: pathlib.Path) -> None:
    subprocess.run(
        [sys.executable, "-m", "nanobind.stubgen", "-q", "-P", "-m", module, "-o", str(output)],
        check=True,
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", action="store_true")
    mode.add_argument("--check", action="store_true")
    parser.add_argument("modules", nargs="*")
    args = parser.parse_args()
    modules = args.modules or built_modules()
    stale = []
    with tempfile.TemporaryDirectory() as tmp:
        for module in modules:
            fresh = pathlib.Path(tmp) / (module + ".pyi")
            generate(module, fresh)
            committed = stub_path(module)
            if args.write:
                committed.write_text(fresh.read_text())
                print(f"wrote {committed.relative_to(SRC.parent)}")
            elif not committed.exists() or committed.read_text() != fresh.read_text():
                stale.append(module)
    for module in stale:
        print(f"stale stub: {stub_path(module).relative_to(SRC.parent)} (run: make stubs)")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
