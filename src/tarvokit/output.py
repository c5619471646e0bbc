"""Files written whole or not at all: to a temporary name in the same folder, then renamed."""

from __future__ import annotations

import os
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator


@contextmanager
def atomic_path(path: Path) -> Iterator[Path]:
    """A temporary path to write; it replaces `path` only if the block ends without error."""
    path.parent.mkdir(parents=True, exist_ok=True)
    handle, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=path.suffix, dir=path.parent)
    os.close(handle)
    temporary = Path(name)
    os.chmod(temporary, 0o666 & ~_umask())  # mkstemp makes it private; a result is not
    try:
        yield temporary
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def atomic_write_text(path: Path, text: str) -> None:
    with atomic_path(path) as temporary:
        temporary.write_text(text)


def csv_field(text: str) -> str:
    """A CSV field: quoted, with its quotes doubled, when it holds a comma or a quote."""
    return f'"{text.replace(chr(34), chr(34) * 2)}"' if any(c in text for c in ',"') else text


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
