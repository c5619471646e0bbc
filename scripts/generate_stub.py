"""Writes the type stub of the installed `tarvo` module.

    python scripts/generate_stub.py OUTPUT.pyi

pybind11-stubgen renders the signatures the bindings generate. One of them cannot stand as
written: `Exponential` and `Weibull` take a parameter named `lambda`, a reserved word, so the stub
names it `lambda_` and makes it positional-only (at run time it is also accepted as
`**{"lambda": value}`, which a stub cannot express).
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


def generate_stub() -> str:
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            [sys.executable, "-m", "pybind11_stubgen", "tarvo", "--output-dir", out],
            check=True,
            capture_output=True,
        )
        stub = (Path(out) / "tarvo.pyi").read_text()
    return rename_reserved_parameters(stub)


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    Path(sys.argv[1]).write_text(generate_stub())


if __name__ == "__main__":
    main()
