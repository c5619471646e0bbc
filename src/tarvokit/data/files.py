"""Files written whole or not at all, and output folders that one run at a time writes into.

A file is written to a temporary name in its folder and renamed over the target, so a reader
never sees half of it. A run's output folder is checked before the run starts (it is a folder or
can be made one, and it is writable), locked for the run (a second run into it is refused at
once, naming the first) and filled as a set: every file of the set is written into a staging
folder inside it first and only then renamed into place, so the set on disk is always one run's.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import shutil
import socket
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterator, Sequence

LOCK_NAME = ".tarvo.lock"
_STAGING_PREFIX = ".tarvo-staging-"


class ResultError(ValueError):
    """Results that cannot be read, or cannot be merged. One line."""


class OutputError(OSError):
    """An output folder that cannot be used. `str(error)` is one line naming it."""

    def __str__(self) -> str:  # OSError's own form would add an errno
        return self.args[0]


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
        temporary.write_text(text, encoding="utf-8")


def csv_field(text: str) -> str:
    """A CSV field: quoted, with its quotes doubled, when it holds a comma or a quote."""
    return f'"{text.replace(chr(34), chr(34) * 2)}"' if any(c in text for c in ',"\n') else text


# Lines formatted at a time: numpy formats a block of columns in one call, far faster than a
# Python loop over a long horizon's lines.
_CSV_BLOCK = 200_000


def write_csv(path: Path, header: str, length: int, block, progress=None) -> None:
    """A CSV file of `length` lines of numbers, whole or not at all; `block(start, stop)` gives
    the columns of lines start .. stop - 1. Integer columns are written as integers, the others
    with 9 significant digits; `progress(lines)` after each block."""
    import numpy as np

    with atomic_path(path) as temporary, temporary.open("w", encoding="utf-8") as stream:
        stream.write(header + "\n")
        for start in range(0, length, _CSV_BLOCK):
            columns = block(start, min(length, start + _CSV_BLOCK))
            formats = ["%d" if np.asarray(c).dtype.kind in "iu" else "%.9g" for c in columns]
            # As floats: integer columns (counts, time units) stay exact below 2^53.
            np.savetxt(stream, np.column_stack([np.asarray(c, dtype=float) for c in columns]),
                       fmt=formats, delimiter=",")
            if progress is not None:
                progress(len(columns[0]))


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


# --- Output folders -----------------------------------------------------------------------


def check_output_folder(folder: Path) -> None:
    """Makes `folder` if need be and checks that files can be written there; OutputError if not.

    Run before anything is simulated, so a bad --out costs nothing.
    """
    if folder.exists() and not folder.is_dir():
        raise OutputError(f"{folder}: exists and is not a folder")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise OutputError(f"{folder}: a part of the path is a file, not a folder") from None
    except NotADirectoryError:
        raise OutputError(f"{folder}: a part of the path is a file, not a folder") from None
    except OSError as error:
        raise OutputError(f"{folder}: cannot make the folder: {error.strerror}") from None
    try:
        probe = tempfile.NamedTemporaryFile(dir=folder, prefix=".tarvo-probe-", delete=True)
        probe.close()
    except OSError as error:
        raise OutputError(f"{folder}: cannot write there: {error.strerror}") from None


class OutputFolder:
    """An output folder held by this run: checked, locked, and written as a set.

        with OutputFolder(Path("out"), "tarvo run loop.toml") as out:
            ...                             # simulate
            out.write_set({"report.txt": writer, ...})

    The lock is an advisory lock (flock) on `.tarvo.lock`, which the kernel releases when the
    process ends however it ends, so a killed run never leaves the folder locked; the file also
    says which run holds it.
    """

    def __init__(self, folder: Path, command: str = ""):
        self.folder = Path(folder)
        self.command = command
        self._lock: int | None = None

    def __enter__(self) -> "OutputFolder":
        # The folders this run makes, removed again if it ends without writing anything.
        self._made = [p for p in [self.folder, *self.folder.parents] if not p.exists()]
        check_output_folder(self.folder)
        self._lock = _take_lock(self.folder / LOCK_NAME, self.command)
        _remove_stale_staging(self.folder)
        return self

    def __exit__(self, *exc) -> None:
        self.release()

    def release(self) -> None:
        if self._lock is not None:
            try:
                (self.folder / LOCK_NAME).unlink(missing_ok=True)
            finally:
                os.close(self._lock)
                self._lock = None
        for made in getattr(self, "_made", []):  # deepest first; stops at one that holds files
            try:
                made.rmdir()
            except OSError:
                break
        self._made = []

    def write_set(self, writers: dict[str, Callable[[Path], None]],
                  progress: Callable[[str], None] | None = None) -> list[Path]:
        """Calls each writer with a staging path, then renames every file into the folder.

        Nothing is renamed unless every writer succeeded: an error leaves the files already in
        the folder as they were. Returns the paths written.
        """
        staging = Path(tempfile.mkdtemp(prefix=_STAGING_PREFIX, dir=self.folder))
        try:
            for name, write in writers.items():
                if progress is not None:
                    progress(name)
                write(staging / name)
            self._made = []  # the folder now holds this run's files
            written = []
            for name in writers:
                target = self.folder / name
                os.replace(staging / name, target)
                written.append(target)
            return written
        finally:
            shutil.rmtree(staging, ignore_errors=True)


def _take_lock(path: Path, command: str) -> int:
    try:
        handle = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    except OSError as error:
        raise OutputError(f"{path.parent}: cannot make its lock file: {error.strerror}") from None
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        holder = _holder_text(handle)
        os.close(handle)
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
            raise OutputError(f"{path.parent}: in use by another tarvo run ({holder});"
                              " choose another --out or wait for it") from None
        raise OutputError(f"{path.parent}: cannot lock it: {error.strerror}") from None
    record = {"pid": os.getpid(), "host": socket.gethostname(), "command": command,
              "started": time.strftime("%Y-%m-%dT%H:%M:%S%z")}
    os.ftruncate(handle, 0)
    os.pwrite(handle, (json.dumps(record) + "\n").encode(), 0)
    return handle


def _holder_text(handle: int) -> str:
    try:
        record = json.loads(os.pread(handle, 4096, 0).decode() or "{}")
    except (OSError, ValueError):
        record = {}
    if not record:
        return "a run that is starting"
    parts = [f"pid {record.get('pid')} on {record.get('host')}",
             f"started {record.get('started')}"]
    if record.get("command"):
        parts.append(f"`{record['command']}`")
    return ", ".join(parts)


def _remove_stale_staging(folder: Path) -> None:
    """Staging folders of runs that were killed while writing (the lock is ours now)."""
    for stale in folder.glob(f"{_STAGING_PREFIX}*"):
        shutil.rmtree(stale, ignore_errors=True)


def command_line(argv: Sequence[str] | None = None) -> str:
    """The command as typed, for the lock file."""
    words = list(sys.argv if argv is None else ["tarvo", *argv])
    # `python -m tarvokit.command` is the tarvo command too.
    words[0] = "tarvo" if Path(words[0]).name == "__main__.py" else Path(words[0]).name
    return " ".join(words)
