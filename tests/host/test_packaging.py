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


def test_editable_install_serves_the_python_side_from_the_source_tree(tmp_path):
    """`pip install -e .`: __init__.py files and resources come live from src/, no copies. (No
    module is compiled here, to keep the test quick; the install rule of the modules is the
    one checked above.)"""
    prefix = tmp_path / "prefix"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation",
         "--prefix", str(prefix), "-e", str(ROOT), f"-Cbuild-dir={tmp_path / 'build'}",
         "-Ccmake.define.CORVANE_MODULES=none"],
        capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    (site,) = {p.parent for p in prefix.rglob("_editable_skbc_corvane.pth")}
    assert not (site / "corvane").exists()  # no copy of the package to shadow the source
    probe = ("import importlib.resources, site, sys; site.addsitedir(sys.argv[1]); "
             "import corvane.hil.intel as m; print(m.__file__); "
             "print(importlib.resources.files(m) / 'resources' / 'jtag_session.tcl')")
    # -S: the project's venv (which has src/ on its path) stays out; only the install counts.
    shown = subprocess.run([sys.executable, "-S", "-c", probe, str(site)],
                           capture_output=True, text=True, check=True).stdout.split()
    intel = ROOT / "src" / "corvane" / "hil" / "intel"
    assert shown == [str(intel / "__init__.py"), str(intel / "resources" / "jtag_session.tcl")]


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


def test_dependencies_are_ranges_with_the_pinned_versions_inside():
    """Users get compatible ranges (tested floor, next major ceiling); CI gets constraints.txt."""
    import re
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    pins = dict(line.split("==") for line in (ROOT / "constraints.txt").read_text().splitlines()
                if line and not line.startswith("#"))
    pins = {name.lower().replace("_", "-"): version for name, version in pins.items()}
    requirements = list(project["dependencies"])
    for extra in project["optional-dependencies"].values():
        requirements += extra
    for requirement in requirements:
        match = re.fullmatch(r"([\w-]+)>=([\d.]+),<(\d+)", requirement)
        assert match, f"{requirement}: not a floor-and-next-major range"
        name, floor, ceiling = match.groups()
        assert pins.get(name.lower()) == floor, f"{name}: constraints.txt pins another version"
        assert int(ceiling) == int(floor.split(".")[0]) + 1, requirement
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
    "= None, *, reset_active_level: 'bool' = True, streams: 'str' = 'library')",
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
