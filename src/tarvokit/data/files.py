"""Files written whole or not at all, and output folders that one run at a time writes into.

A file is written to a temporary name in its folder and renamed over the target, so a reader
never sees half of it. A run's output folder is checked before the run starts (it is a folder or
can be made one, and it is writable), locked for the run (a second run into it is refused at
once, naming the first) and filled as a set: every file of the set is written into a staging
folder inside it first and only then renamed into place, so the set on disk is one run's once the renames are done. The renames cannot be one step, so
each set also writes a manifest (`.tarvo-manifest.json`, renamed in last) binding every file to
the run that wrote it by its SHA-256: a reader that finds a file the manifest does not vouch for
(a run killed between two renames) refuses the folder and says which files differ. SIGINT and
SIGTERM wait until the renames are done.

The folder's own files (the lock, the manifest, the files read back) are opened without following
symbolic links: a link there is refused, never written through.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import shutil
import signal
import socket
import stat
import sys
import tempfile
import threading
import time
import uuid
from contextlib import contextmanager
from itertools import chain
from pathlib import Path
from typing import IO, Any, Callable, Iterator, Sequence

LOCK_NAME = ".tarvo.lock"
MANIFEST_NAME = ".tarvo-manifest.json"
_STAGING_PREFIX = ".tarvo-staging-"
# How often a lock is taken again when the file it locked was replaced meanwhile (a run that
# released it between our open and our lock).
_LOCK_ATTEMPTS = 50
# A manifest lists a few files; one past this size was not written by a run.
_MANIFEST_BYTES_MAX = 1 << 20


class ResultError(ValueError):
    """Results that cannot be read, or cannot be merged. One line."""


class OutputError(OSError):
    """An output folder that cannot be used. `str(error)` is one line naming it."""

    def __str__(self) -> str:  # OSError's own form would add an errno
        return self.args[0]


class InterruptedAfterWriting(KeyboardInterrupt):
    """Ctrl-C (or SIGTERM) that came once a set of files was written: they are all there."""


def open_no_follow(path: Path, mode: str = "rb", **options: Any) -> IO:
    """A file of an output folder opened for reading without following a symbolic link in its
    last component: a link is OSError (ELOOP), reported as a link."""
    try:
        handle = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise OSError(errno.ELOOP, "a symbolic link, not a file tarvo wrote (links in an"
                                       " output folder are not followed)") from None
        raise
    return os.fdopen(handle, mode, **options)


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
        self.written: list[Path] = []  # the files this run renamed into the folder

    def __enter__(self) -> "OutputFolder":
        # The folders this run makes, removed again if it ends without writing anything.
        self._made = [p for p in [self.folder, *self.folder.parents] if not p.exists()]
        check_output_folder(self.folder)
        self._lock = _take_lock(self.folder / LOCK_NAME, self.command)
        _remove_stale_staging(self.folder)
        return self

    def __exit__(self, kind, error, trace) -> None:
        self.release()
        if kind is not None and issubclass(kind, KeyboardInterrupt) and self.written \
                and not isinstance(error, InterruptedAfterWriting):
            names = ", ".join(path.name for path in self.written)
            raise InterruptedAfterWriting(f"{str(error) or 'interrupted'}; {names} written to"
                                          f" {self.folder}") from None

    def release(self) -> None:
        if self._lock is not None:
            # Unlinked while still locked: a run that opened the file before the unlink and
            # locks it after our close finds it no longer at the path, and opens the path again
            # (_take_lock), so it never holds a lock beside the next run's.
            try:
                _unlink_if_same(self.folder / LOCK_NAME, self._lock)
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
        """Calls each writer with a staging path, then renames every file into the folder,
        the manifest last.

        Nothing is renamed unless every writer succeeded: an error leaves the files already in
        the folder as they were. SIGINT and SIGTERM are held while the files are renamed, so
        that the set is whole when they act. Returns the paths written.
        """
        staging = Path(tempfile.mkdtemp(prefix=_STAGING_PREFIX, dir=self.folder))
        try:
            for name, write in writers.items():
                if progress is not None:
                    progress(name)
                write(staging / name)
            manifest = _read_manifest(self.folder)
            files = dict(manifest.get("files", {})) if manifest is not None else {}
            run = uuid.uuid4().hex
            files.update({name: {"sha256": _file_checksum(staging / name), "run": run}
                          for name in writers})
            _write_json(staging / MANIFEST_NAME, {"files": files})
            for name in [*writers, MANIFEST_NAME]:
                _refuse_link(self.folder / name)
            self._made = []  # the folder now holds this run's files
            with _signals_held():
                for name in [*writers, MANIFEST_NAME]:
                    target = self.folder / name
                    os.replace(staging / name, target)
                    if name != MANIFEST_NAME:
                        self.written.append(target)
            return [self.folder / name for name in writers]
        finally:
            shutil.rmtree(staging, ignore_errors=True)


@contextmanager
def _signals_held() -> Iterator[None]:
    """SIGINT and SIGTERM held back while the block runs, then raised again. Their Python
    handlers are swapped for ones that only note them (the kernel may hand a process signal to
    any thread, so masking the main thread alone would not hold it). Main thread only."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = {number: signal.signal(number, lambda signum, frame: received.append(signum))
                for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        for number in dict.fromkeys(received):
            signal.raise_signal(number)


def _refuse_link(path: Path) -> None:
    if os.path.islink(path):
        raise OutputError(f"{path}: a symbolic link; tarvo does not write through links in its"
                          " output folder (remove it)")


def _file_checksum(path: Path) -> str:
    digest = hashlib.sha256()
    with open_no_follow(path, "rb") as stream:
        while block := stream.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def _write_json(path: Path, data: dict) -> None:
    path.write_text(json_text(data), encoding="utf-8")


_PLAIN_TYPES = {int, float, str, bool, type(None)}


def json_text(data: Any, allow_nan: bool = True) -> str:
    """`data` as the JSON of a result file: objects and lists of objects one member a line,
    indented, and every list of plain values (a curve, a histogram's [bin, count] pairs) on one
    line. The same values as json.dumps writes, in a layout Python's C encoder writes at once:
    with an indent, the json module encodes in Python, value by value, about eight times slower
    on the curves and histograms of a run, into a file two and a half times larger."""
    encode = json.JSONEncoder(allow_nan=allow_nan, separators=(", ", ": ")).encode

    def nested(values: list | tuple) -> bool:
        """Whether a list holds an object at any depth (told by the types of its items at
        once: a list of 10^5 [bin, count] pairs is a few calls)."""
        while values:
            kinds = set(map(type, values))
            if kinds <= _PLAIN_TYPES:
                return False
            if any(issubclass(kind, dict) for kind in kinds):
                return True
            values = list(chain.from_iterable(
                values if kinds <= {list, tuple} else
                (item for item in values if isinstance(item, (list, tuple)))))
        return False

    def write(value: Any, depth: int) -> str:
        if isinstance(value, dict) and value:
            items = [f"{encode(key) if isinstance(key, str) else encode({key: 0})[1:-4]}:"
                     f" {write(item, depth + 1)}" for key, item in value.items()]
        elif isinstance(value, (list, tuple)) and nested(value):
            items = [write(item, depth + 1) for item in value]
        else:
            return encode(value)
        inner, outer = "\n" + " " * (depth + 1), "\n" + " " * depth
        opening, closing = ("{", "}") if isinstance(value, dict) else ("[", "]")
        return opening + inner + ("," + inner).join(items) + outer + closing

    return write(data, 0) + "\n"


def _read_manifest(folder: Path) -> dict | None:
    """The folder's manifest, or None when it has none (or one that cannot be read)."""
    try:
        with open_no_follow(folder / MANIFEST_NAME, "rb") as stream:
            data = json.loads(stream.read(_MANIFEST_BYTES_MAX + 1))
    except (OSError, ValueError, RecursionError):
        return None
    files = data.get("files") if isinstance(data, dict) else None
    if not isinstance(files, dict) or not all(
            isinstance(entry, dict) and isinstance(entry.get("sha256"), str)
            and isinstance(entry.get("run"), str) for entry in files.values()):
        return None
    return data


def check_set(folder: Path, needed: Sequence[str]) -> None:
    """ResultError unless every file the folder's manifest lists is the one it lists, and the
    files `needed` (those a reader takes together) are listed and of one run: a run killed
    between its renames, or files changed or copied in since, leave files the manifest does not
    vouch for. A folder without a manifest (written before there was one) is taken as it is;
    its files are still checked field by field by their reader."""
    path = folder / MANIFEST_NAME
    if os.path.islink(path):
        raise ResultError(f"{path}: a symbolic link, not a file tarvo wrote (links in an output"
                          " folder are not followed)")
    manifest = _read_manifest(folder)
    if manifest is None:
        if os.path.lexists(path):
            raise ResultError(f"{path}: not a manifest tarvo wrote: the folder was altered")
        return
    files = manifest["files"]
    present = [name for name in files if os.path.lexists(folder / name)]
    changed = [name for name in present
               if _file_checksum_or_none(folder / name) != files[name]["sha256"]]
    # A folder from before manifests gets one with its first write (a plot): its other files
    # are then taken as they are, as without one.
    unlisted = [name for name in needed if name not in files and os.path.lexists(folder / name)
                and any(other in files for other in needed)]
    if changed or unlisted:
        kept = [name for name in present if name not in changed]
        odd = changed + unlisted
        raise ResultError(f"{folder}: a mixed set of files: {', '.join(odd)}"
                          f" {'is' if len(odd) == 1 else 'are'} not what its manifest lists"
                          + (f" beside {', '.join(kept)}" if kept else "")
                          + " (a write cut short between its renames, or files changed since);"
                            " run the command that wrote the folder again")
    runs = {files[name]["run"] for name in needed if name in files}
    if len(runs) > 1:
        raise ResultError(f"{folder}: {', '.join(n for n in needed if n in files)} were written"
                          " by different runs; run the command that wrote the folder again")


def _file_checksum_or_none(path: Path) -> str | None:
    try:
        return _file_checksum(path)
    except OSError:
        return None


def _take_lock(path: Path, command: str) -> int:
    """Locks the folder's lock file and writes who holds it. The lock file is never a link
    (opened with O_NOFOLLOW). Locked, it must still be the file at `path`: a run releasing
    its lock unlinks the file first, and one that opened it before then would otherwise hold a
    lock on a file no other run sees; it opens the path again instead."""
    for attempt in range(_LOCK_ATTEMPTS):
        try:
            if attempt:  # the run that released the lock may have removed the folder it made
                path.parent.mkdir(parents=True, exist_ok=True)
            handle = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
        except OSError as error:
            if error.errno == errno.ELOOP:
                raise OutputError(f"{path}: a symbolic link; tarvo does not write through links"
                                  " in its output folder (remove it)") from None
            raise OutputError(f"{path.parent}: cannot make its lock file:"
                              f" {error.strerror}") from None
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            holder = _holder_text(handle)
            os.close(handle)
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise OutputError(f"{path.parent}: in use by another tarvo run ({holder});"
                                  " choose another --out or wait for it") from None
            raise OutputError(f"{path.parent}: cannot lock it: {error.strerror}") from None
        if _is_at(path, handle):
            break
        os.close(handle)  # released and unlinked meanwhile: lock what is at the path now
    else:
        raise OutputError(f"{path.parent}: its lock file keeps being replaced; is another"
                          " program writing there?")
    if not stat.S_ISREG(os.fstat(handle).st_mode):
        os.close(handle)
        raise OutputError(f"{path}: not a regular file")
    record = {"pid": os.getpid(), "host": socket.gethostname(), "command": command,
              "started": time.strftime("%Y-%m-%dT%H:%M:%S%z")}
    os.ftruncate(handle, 0)
    os.pwrite(handle, (json.dumps(record) + "\n").encode(), 0)
    return handle


def _is_at(path: Path, handle: int) -> bool:
    """Whether the open file `handle` is the file at `path` (not a link to it)."""
    try:
        there = os.lstat(path)
    except FileNotFoundError:
        return False
    mine = os.fstat(handle)
    return (there.st_dev, there.st_ino) == (mine.st_dev, mine.st_ino)


def _unlink_if_same(path: Path, handle: int) -> None:
    if _is_at(path, handle):
        path.unlink(missing_ok=True)


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
