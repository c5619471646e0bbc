"""The installed package's version, read once (the metadata lookup takes a few milliseconds)."""

from __future__ import annotations

import functools


@functools.lru_cache(maxsize=1)
def package_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tarvo")
    except metadata.PackageNotFoundError:  # run from the source tree
        return "0.1.0"
