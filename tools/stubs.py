"""Generate or check the committed type stubs (.pyi) of the built extension modules.

    python tools/stubs.py --write [MODULE ...]   regenerate the stubs next to the modules
    python tools/stubs.py --check [MODULE ...]   exit 1 when a committed stub is stale
"""

import argparse
import ast
import dataclasses
import importlib
import importlib.machinery
import pathlib
import re
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


# What @dataclass writes into a class; a stub declares the fields and the decorator instead.
DATACLASS_GENERATED = {
    "__dataclass_params__", "__dataclass_fields__", "__hash__", "__init__", "__repr__",
    "__eq__", "__setattr__", "__delattr__", "__match_args__",
}


def _statement_name(node: ast.stmt) -> str | None:
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return node.name
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
        return node.target.id
    if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
        return node.targets[0].id
    return None


def _field_line(field: dataclasses.Field) -> str:
    annotation = field.type if isinstance(field.type, str) else field.type.__name__
    default = "" if field.default is dataclasses.MISSING else f" = {field.default!r}"
    return f"{field.name}: {annotation}{default}"


def declare_dataclasses(text: str, module: str) -> str:
    """Rewrite the stub of each dataclass as `@dataclasses.dataclass(...)` with its fields.

    nanobind's stub generator sees a dataclass made at run time as a class with generated
    methods and no field declarations, so type checkers would not know its attributes.
    """
    imported = importlib.import_module(module)
    lines = text.splitlines()
    replaced: dict[int, list[str]] = {}  # first line index -> new lines
    dropped: set[int] = set()
    for node in ast.parse(text).body:
        cls = getattr(imported, node.name, None) if isinstance(node, ast.ClassDef) else None
        if cls is None or not dataclasses.is_dataclass(cls):
            continue
        fields = dataclasses.fields(cls)
        names = {f.name for f in fields}
        indent = " " * node.body[0].col_offset
        body = list(node.body)
        docstring = body[:1] if ast.get_docstring(node) is not None else []
        for stmt in body[len(docstring):]:
            if _statement_name(stmt) in DATACLASS_GENERATED | names:
                first = min([stmt.lineno] + [d.lineno for d in getattr(stmt, "decorator_list", [])])
                # The member goes together with the blank line that separated it.
                if first >= 2 and not lines[first - 2].strip():
                    first -= 1
                dropped.update(range(first - 1, stmt.end_lineno))
        frozen = cls.__dataclass_params__.frozen
        decorator = "@dataclasses.dataclass(frozen=True)" if frozen else "@dataclasses.dataclass"
        replaced[node.lineno - 1] = [decorator, lines[node.lineno - 1]]
        after = docstring[0].end_lineno if docstring else node.lineno
        replaced[after - 1] = [lines[after - 1]] + [""] * bool(docstring) + [
            indent + _field_line(f) for f in fields
        ]
    out = []
    for index, line in enumerate(lines):
        if index in replaced:
            out.extend(replaced[index])
        elif index not in dropped:
            out.append(line)
    return "\n".join(out) + "\n"


def _add_imports(lines: list[str], modules) -> None:
    """`import NAME` for each module the stub does not import yet, in order, before its first
    import (or after its docstring when it has none)."""
    missing = [f"import {name}" for name in modules if f"import {name}" not in lines]
    if not missing:
        return
    at = next((i for i, line in enumerate(lines) if line.startswith(("import ", "from "))), None)
    if at is None:
        tree = ast.parse("\n".join(lines))
        has_docstring = ast.get_docstring(tree, clean=False) is not None
        at = tree.body[0].end_lineno if has_docstring else 0
        missing = [""] * has_docstring + missing + [""]
    lines[at:at] = missing


def declare_unhashable(text: str) -> str:
    """Write `__hash__ = None` (an unhashable class) the way typeshed does."""
    lines = text.splitlines()
    marked = [i for i, line in enumerate(lines) if line.strip() == "__hash__: None = None"]
    if not marked:
        return text
    for i in marked:
        indent = lines[i][: len(lines[i]) - len(lines[i].lstrip())]
        lines[i] = indent + "__hash__: typing.ClassVar[None]  # type: ignore[assignment]"
    _add_imports(lines, ["typing"])
    return "\n".join(lines) + "\n"


def _own_classes(module):
    return [value for value in vars(module).values()
            if isinstance(value, type) and value.__module__ == module.__name__]


def _is_signed(value) -> bool:
    return type(value).__name__ == "_SignedFunction" and hasattr(value, "__wrapped__")


def unwrap_signatures(module) -> None:
    """Put the nanobind functions back where the modules wrapped them for inspect.signature,
    so nanobind's stub generator sees its own functions (in this throwaway process only)."""
    for cls in _own_classes(module):
        for name, value in list(vars(cls).items()):
            if _is_signed(value):
                setattr(cls, name, value.__wrapped__)
            elif isinstance(value, (classmethod, staticmethod)) and _is_signed(value.__func__):
                setattr(cls, name, type(value)(value.__func__.__wrapped__))
        if "__signature__" in vars(cls):
            delattr(cls, "__signature__")


def declare_attributes(text: str, module: str) -> str:
    """Declare the instance attributes a class lists in its `__annotations__` in its stub body,
    after the docstring, and import the modules their types name."""
    imported = importlib.import_module(module)
    lines = text.splitlines()
    inserted: dict[int, list[str]] = {}  # line index -> lines to put after it
    needed: set[str] = set()
    for node in ast.parse(text).body:
        cls = getattr(imported, node.name, None) if isinstance(node, ast.ClassDef) else None
        annotations = vars(cls).get("__annotations__") if isinstance(cls, type) else None
        if not annotations or dataclasses.is_dataclass(cls):
            continue
        indent = " " * node.body[0].col_offset
        declared = [f"{indent}{name}: {kind}" for name, kind in annotations.items()]
        # After the docstring and a blank line, or first in the body and followed by one.
        if ast.get_docstring(node) is not None:
            inserted[node.body[0].end_lineno - 1] = ["", *declared]
        else:
            inserted[node.lineno - 1] = [*declared, ""]
        for kind in annotations.values():
            needed.update(m.rpartition(".")[0]
                          for m in re.findall(r"\b[a-z_]\w*(?:\.\w+)+", kind))
    if not inserted:
        return text
    out = []
    for index, line in enumerate(lines):
        out.append(line)
        out.extend(inserted.get(index, []))
    _add_imports(out, sorted(needed - {module}))
    return "\n".join(out) + "\n"


def _run_stubgen(module: str, output: str) -> None:
    import nanobind.stubgen

    unwrap_signatures(importlib.import_module(module))
    nanobind.stubgen.main(["-q", "-P", "-m", module, "-o", output])


def generate(module: str, output: pathlib.Path) -> None:
    subprocess.run([sys.executable, __file__, "--stubgen", module, str(output)], check=True)
    text = declare_dataclasses(output.read_text(), module)
    output.write_text(declare_unhashable(declare_attributes(text, module)))


def main() -> int:
    if sys.argv[1:2] == ["--stubgen"]:  # generate() runs the stub generator this way
        _run_stubgen(sys.argv[2], sys.argv[3])
        return 0
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
