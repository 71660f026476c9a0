"""The package layout a user installs: every module at its dotted path, stubs current."""

import importlib
import importlib.machinery
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "dev"

DELIVERABLES = [
    "corvane.sim.bfms.tavrin",
    "corvane.protocols.avalon_st.sarnel.checker",
    "corvane.sim.models.sarnel",
    "corvane.hil.intel.brenlow",
    "corvane.sim.runners.rtl",
    "corvane.sim.pelorin",
    "corvane.sim.runners.quessel",
]


@pytest.mark.parametrize("name", DELIVERABLES)
def test_deliverable_is_an_extension_module_with_stub(name):
    module = importlib.import_module(name)
    origin = pathlib.Path(module.__file__)
    assert origin.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), origin
    assert origin.parent == ROOT / "src" / pathlib.Path(*name.split(".")[:-1])
    assert (origin.parent / (name.rsplit(".", 1)[1] + ".pyi")).is_file()


def test_committed_stubs_match_the_built_modules():
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "stubs.py"), "--check"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_cmake_install_places_every_module_at_its_package_path(tmp_path):
    if not (BUILD / "CMakeCache.txt").is_file():
        pytest.skip("no development build in build/dev (run: make build)")
    cmake = pathlib.Path(sys.executable).with_name("cmake")
    subprocess.run(
        [str(cmake), "--install", str(BUILD), "--prefix", str(tmp_path)],
        check=True,
        capture_output=True,
    )
    for name in DELIVERABLES:
        *package, leaf = name.split(".")
        directory = tmp_path.joinpath(*package)
        suffixes = {p.name[len(leaf) :] for p in directory.glob(leaf + ".*")}
        assert ".pyi" in suffixes, f"{name}: no stub installed"
        assert any(s.endswith(".so") for s in suffixes), f"{name}: no module installed"
        assert (directory / "__init__.py").is_file()
    installed = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()}
    assert "corvane/py.typed" in installed
    assert "corvane/hil/intel/resources/jtag_session.tcl" in installed
    assert not [p for p in installed if p.endswith((".cpp", ".hpp"))]




def test_stubs_type_check_and_describe_typical_use():
    """mypy reads every committed stub and a file of typical calls without an error."""
    stubs = sorted(str(p) for p in (ROOT / "src").rglob("*.pyi"))
    usage = ROOT / "tests" / "host" / "stub_usage" / "uses_every_module.py"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-version", "3.13", "--ignore-missing-imports",
         "--no-incremental", str(usage), *stubs],
        capture_output=True, text=True, cwd=ROOT / "src",
        env={**os.environ, "MYPYPATH": str(ROOT / "src")},
    )
    assert result.returncode == 0, result.stdout + result.stderr


def _public_callables():
    import corvane.protocols.avalon_st.sarnel.checker as checker
    import corvane.sim.bfms.tavrin as tavrin
    import corvane.sim.models.sarnel as sarnel

    for cls in [*[getattr(tavrin, name) for name in tavrin.__all__], checker.VIPProtocolChecker,
                sarnel.BaseVIPPredictor]:
        yield cls.__qualname__, cls
        for name, value in vars(cls).items():
            if not name.startswith("_") and callable(getattr(cls, name)) and not isinstance(
                    value, type):
                yield f"{cls.__qualname__}.{name}", getattr(cls, name)


# A few in full: keyword-only parameters, defaults nanobind stores apart, a bound classmethod.
SIGNATURES = {
    "TavrinCommandMonitor": "(clock: 'typing.Any', reset: 'typing.Any' = None, rdma_cmd_bus: "
    "'typing.Any' = None, wdma_cmd_bus: 'typing.Any' = None, rdma_cmd_monitor: 'typing.Any' = "
    "None, wdma_cmd_monitor: 'typing.Any' = None, read_address_regions: "
    "'collections.abc.Iterable[DMAAddressRegion] | None' = None, write_address_regions: "
    "'collections.abc.Iterable[DMAAddressRegion] | None' = None, logger: 'logging.Logger | None' "
    "= None, *, reset_active_level: 'bool' = True)",
    "ReadDMADescriptor.decode": "(value: 'typing.SupportsIndex') -> 'typing.Self'",
    "VIPProtocolChecker.expected_video_symbols":
        "(self, size: 'corvane.video.FrameSize | None' = None) -> 'int'",
}


@pytest.mark.parametrize("name, value", list(_public_callables()),
                         ids=[name for name, _ in _public_callables()])
def test_public_callables_have_a_real_signature(name, value):
    import inspect

    signature = inspect.signature(value)
    kinds = [p.kind for p in signature.parameters.values()]
    assert kinds != [inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD], name
    assert str(signature) == SIGNATURES.get(name, str(signature))
