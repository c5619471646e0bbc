"""Writes the type stub of the installed `tarvo` module.

    python scripts/generate_stub.py OUTPUT.pyi

pybind11-stubgen renders the signatures the bindings generate. Two of them cannot stand as
written:
- `Exponential` and `Weibull` take a parameter named `lambda`, a reserved word, so the stub names
  it `lambda_` and makes it positional-only (at run time it is also accepted as
  `**{"lambda": value}`, which a stub cannot express);
- `CutsetTree.getRoot` returns a node type that has no Python class, so the call always raises
  TypeError: the stub says it never returns.
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

LAMBDA_PARAMETER = re.compile(r"\(self, lambda: (typing\.SupportsFloat)(?P<rest>[,)])")


def rename_reserved_parameters(stub: str) -> str:
    def positional_only(match: re.Match) -> str:
        if match["rest"] == ")":
            return f"(self, lambda_: {match[1]}, /)"
        return f"(self, lambda_: {match[1]}, /,"

    return LAMBDA_PARAMETER.sub(positional_only, stub)


def mark_unconvertible_results(stub: str) -> str:
    return stub.replace("def getRoot(self) -> CutsetTreeNode:", "def getRoot(self) -> typing.NoReturn:")


def generate_stub() -> str:
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            [sys.executable, "-m", "pybind11_stubgen", "tarvo", "--output-dir", out],
            check=True,
            capture_output=True,
            text=True,
        )
        stub = (Path(out) / "tarvo.pyi").read_text()
    return mark_unconvertible_results(rename_reserved_parameters(stub))


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    Path(sys.argv[1]).write_text(generate_stub())


if __name__ == "__main__":
    main()
