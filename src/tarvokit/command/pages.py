"""What the command adds around a result's files: the record of where they come from, the page
(report.html) of the folder they go into, and the pictures `tarvo plot` redraws."""

from __future__ import annotations

import hashlib
from pathlib import Path
from typing import Callable, Sequence

from ..data.files import ResultError, atomic_write_text

PICTURES = {"run": "plot.png", "markov": "plot.png", "importance": "importance.png",
            "sweep": "sweep.png"}
JSON_FILES = {"run": "results.json", "markov": "results.json",
              "importance": "importance.json", "sweep": "sweep.json"}


def provenance(command: str, model_path: str | None, data: dict, files: Sequence[str],
               result=None) -> dict:
    """Where a result comes from, for its JSON: the command line, the model file and its
    SHA-256 (of the bytes on disk as the files are written), the version and date of the run,
    and the files of the set."""
    from datetime import datetime, timezone

    from .._version import package_version

    # A paired study's runs carry the date and version its JSON lacks.
    run = getattr(result, "system_result", None) or getattr(result, "reference", None) or result
    record = {"command": command, "model_path": model_path, "model_sha256": None,
              "version": data.get("version") or getattr(run, "version", None)
              or package_version(),
              "created": data.get("created") or getattr(run, "created", None)
              or datetime.now(timezone.utc).isoformat(timespec="seconds"),
              "files": list(files)}
    if model_path and not model_path.startswith("<"):
        try:
            record["model_sha256"] = hashlib.sha256(Path(model_path).read_bytes()).hexdigest()
        except OSError:
            pass
    return record


def json_text(data: dict, kind: str) -> str:
    from ..data.files import json_text as text

    # A Markov answer has no undefined figure left as NaN (they are null): refuse one.
    return text(data, allow_nan=kind != "markov")


def write_page(path: Path, folder: Path, kind: str, result, data: dict) -> None:
    """report.html of `folder` once this result is in it: this result first, then the other
    results the folder holds of the same model (a run beside its importance study)."""
    from ..data.folders import Folder, Part
    from ..views.report import page

    this = Part(kind, result, data, folder / JSON_FILES[kind])
    atomic_write_text(path, page(Folder(folder, [this, *_other_parts(folder, kind)])
                                 .of_one_study(this)))


def _other_parts(folder: Path, kind: str) -> list:
    from ..data.folders import read_folder

    try:
        return read_folder(folder, skip=(JSON_FILES[kind],)).parts
    except ResultError:  # files that do not read: the page goes without them
        return []


def picture_writers(folder) -> dict[str, Callable[[Path], None]]:
    """The picture of every result in a folder, by file name."""
    from ..views.figures import (importance_figure, markov_figure, result_figure, save_png,
                                 sweep_figure)

    draw = {"run": result_figure, "markov": markov_figure,
            "importance": lambda result: importance_figure(result, 5), "sweep": sweep_figure}
    return {PICTURES[part.kind]: (lambda path, part=part: save_png(draw[part.kind](part.result),
                                                                  path))
            for part in folder.parts}


# --- A picture drawn beside the page -----------------------------------------------------------

def _stop_progress_monitor() -> None:
    """Ends the thread tqdm keeps to watch its bars (it starts again with the next bar): a
    process with a thread of its own is not forked."""
    import sys

    module = sys.modules.get("tqdm")
    monitor = getattr(getattr(module, "tqdm", None), "monitor", None)
    if monitor is not None:
        monitor.exit()
        module.tqdm.monitor = None


# A picture that has not come back after this long is drawn again in the command's own process.
BACKGROUND_SECONDS = 60.0


class BackgroundPicture:
    """A PNG drawn in a forked process while this one writes the other files (the two are the
    costliest files of a run, and each draws with matplotlib on one core).

    `write(path)` writes the picture the child made, or draws it here when the child could not
    make it (a process with threads is not forked, and a child that fails or takes too long is
    replaced by drawing here): the picture is the same either way, and any error is raised here.
    """

    def __init__(self, draw: Callable[[Path], None]):
        import os
        import threading

        self.draw, self.pid, self.stream = draw, None, None
        _stop_progress_monitor()
        if not hasattr(os, "fork") or threading.active_count() > 1:
            return
        # Imported once, before the fork: the child inherits the drawing library, which takes
        # longer to import than the picture takes to draw, and this process draws the page's
        # figures with it.
        import matplotlib.backends.backend_agg  # noqa: F401
        import matplotlib.backends.backend_svg  # noqa: F401
        import matplotlib.figure  # noqa: F401

        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: draw, send the bytes, and leave without running any cleanup
            code = 1
            try:
                import signal
                import tempfile

                signal.signal(signal.SIGINT, signal.SIG_IGN)
                os.close(reader)
                with tempfile.TemporaryDirectory() as folder:
                    path = Path(folder) / "picture.png"
                    draw(path)
                    data = path.read_bytes()
                with os.fdopen(writer, "wb") as stream:
                    stream.write(data)
                code = 0
            finally:
                os._exit(code)
        os.close(writer)
        self.pid, self.stream = pid, os.fdopen(reader, "rb")

    def write(self, path: Path) -> None:
        data = self._collect()
        if data is None:
            self.draw(path)
        else:
            path.write_bytes(data)

    def _collect(self) -> bytes | None:
        import os
        import select
        import time

        if self.pid is None:
            return None
        chunks, finished = [], False
        deadline = time.monotonic() + BACKGROUND_SECONDS
        try:
            while True:
                left = deadline - time.monotonic()
                ready, _, _ = select.select([self.stream], [], [], max(0.0, left))
                if not ready:  # too long: it is ended below, and the picture drawn here
                    break
                chunk = os.read(self.stream.fileno(), 1 << 20)
                if not chunk:
                    finished = True
                    break
                chunks.append(chunk)
        finally:
            code = self.close(wait=finished)
        data = b"".join(chunks)
        return data if code == 0 and data.startswith(b"\x89PNG") else None

    def close(self, wait: bool = False) -> int:
        """Collects the child, ended first unless `wait` (it sent its picture and is leaving);
        its exit code. Safe to call twice."""
        import os
        import signal

        if self.pid is None:
            return -1
        self.stream.close()
        pid, self.pid = self.pid, None
        if not wait:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            _, status = os.waitpid(pid, 0)
        except ChildProcessError:
            return -1
        return os.waitstatus_to_exitcode(status)
