"""Print the project's runtime, test and development requirements from pyproject.toml."""

import pathlib
import tomllib

project = tomllib.loads((pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text())
reqs = list(project["project"]["dependencies"])
for extra in ("test", "dev"):
    reqs += project["project"]["optional-dependencies"][extra]
print(" ".join(dict.fromkeys(reqs)))
