"""What the command adds around a result's files: the record of where they come from, the page
(report.html) of the folder they go into, and the pictures `tarvo plot` redraws."""

from __future__ import annotations

import hashlib
import json
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
    # A Markov answer has no undefined figure left as NaN (they are null): refuse one.
    return json.dumps(data, indent=1, allow_nan=kind != "markov") + "\n"


def write_page(path: Path, folder: Path, kind: str, result, data: dict) -> None:
    """report.html of `folder` once this result is in it: this result first, then the other
    results the folder holds of the same model (a run beside its importance study)."""
    from ..data.folders import Folder, Part
    from ..views.report import page

    parts = [Part(kind, result, data, folder / JSON_FILES[kind])]
    parts += [p for p in _other_parts(folder, kind) if _same_study(p, data)]
    order = ["run", "markov", "importance", "sweep"]
    parts.sort(key=lambda p: order.index(p.kind))
    atomic_write_text(path, page(Folder(folder, parts)))


def _other_parts(folder: Path, kind: str) -> list:
    from ..data.folders import read_folder

    try:
        return read_folder(folder, skip=(JSON_FILES[kind],)).parts
    except ResultError:  # files that do not read: the page goes without them
        return []


def _same_study(part, data: dict) -> bool:
    from ..data.result import study_id

    try:
        mine = study_id(data["model"]) if "model" in data else None
        model = part.result.reference.model if part.kind == "sweep" else part.data["model"]
        return mine is not None and study_id(model) == mine
    except (KeyError, TypeError, AttributeError):
        return False


def picture_writers(folder) -> dict[str, Callable[[Path], None]]:
    """The picture of every result in a folder, by file name."""
    from ..views.figures import (importance_figure, markov_figure, result_figure, save_png,
                                 sweep_figure)

    draw = {"run": result_figure, "markov": markov_figure,
            "importance": lambda result: importance_figure(result, 5), "sweep": sweep_figure}
    return {PICTURES[part.kind]: (lambda path, part=part: save_png(draw[part.kind](part.result),
                                                                  path))
            for part in folder.parts}
