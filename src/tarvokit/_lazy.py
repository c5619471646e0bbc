"""Names of a package resolved when first used: `import tarvokit.data.files` then does not load
every module of `tarvokit.data`, and the command starts without numpy until it needs it."""

from __future__ import annotations

import importlib
from typing import Any, Callable


def lazy_names(package: str, where: dict[str, str]
               ) -> tuple[Callable[[str], Any], Callable[[], list[str]]]:
    """`__getattr__` and `__dir__` for a package whose public name N lives in module
    `where[N]` (relative to the package)."""

    def __getattr__(name: str) -> Any:
        if name not in where:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f".{where[name]}", package), name)
        globals_of_package = importlib.import_module(package).__dict__
        globals_of_package[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(where)

    return __getattr__, __dir__
