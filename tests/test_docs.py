"""The user guide: it builds with `mkdocs build --strict` (no broken link or reference), picks up
every page under docs/ without a hand-kept nav, and its reference names every key the model
reader accepts, the keys taken from the reader itself."""

import importlib
import os
import pkgutil
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import tarvokit.model
from tarvokit.model import errors, laws
from tarvokit.model.reading import Model, load

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
# A model that uses every table the reader knows of, so that each of its key checks runs.
EVERY_TABLE = {
    "study": {"name": "all", "time_unit": "h", "horizon": 100, "resolution": 2},
    "components": {
        "pump": {"count": 2, "failure": {"law": "Exponential", "mean": 50},
                 "repair": {"law": "Exponential", "rate": 0.1}},
        "spare": {"failure": {"law": "Exponential", "mean": 50},
                  "repair": {"law": "Exponential", "mean": 5},
                  "standby": {"covers": ["pump[*]"], "start_failure": 0.1,
                              "dormant": {"law": "Exponential", "mean": 500}}},
        "box": {"states": ["working", "failed", "tested"],
                "transitions": [
                    {"from": "working", "to": "failed", "law": "Weibull", "scale": 40, "shape": 2},
                    {"from": "failed", "to": "working", "law": "Uniform", "low": 1, "high": 2},
                    {"from": "working", "to": "tested", "law": "Inspection", "period": 30},
                    {"from": "tested", "to": "working", "law": "Maintenance", "durations": [1]},
                ]},
        "late": {"failure": {"law": "InstantaneousFailure", "at": 60},
                 "repair": {"law": "Normal", "mean": 10, "sd": 1}},
    },
    "common_cause": {"beta": {"members": ["pump[*]"], "beta": 0.1},
                     "shocks": {"members": ["box", "late"],
                                "shock": {"law": "Exponential", "mean": 300}}},
    "crews": {"fitters": {"count": 1, "repairs": ["pump[*]", "spare"], "order": "listed"}},
    "system": {"fails_when": "atleast(2, pump[*], spare) or box or late"},
    "sweep": {"parameter": "crews.fitters.count", "values": [1, 2]},
}


def _model_modules():
    return [importlib.import_module(found.name) for found in
            pkgutil.walk_packages(tarvokit.model.__path__, prefix="tarvokit.model.")]


def accepted_keys(monkeypatch) -> set[str]:
    """Every key the model reader accepts: its key tables (module constants named ..._KEYS and
    the laws' parameters), and every list of allowed keys it checks a table against while it
    reads the examples and a model with every table."""
    keys: set[str] = set()
    modules = _model_modules()
    for module in modules:
        for name, value in vars(module).items():
            if name.upper().endswith("KEYS") and isinstance(value, (tuple, list, set, frozenset)) \
                    and value and all(isinstance(v, str) for v in value):
                keys |= set(value)
    for parameters, _ in laws.LAWS.values():
        keys |= {"law", *parameters}
    checked: list[tuple[str, ...]] = []
    original = errors.reject_unknown_keys

    def spy(table, allowed, where):
        allowed = tuple(allowed)
        checked.append(allowed)
        return original(table, allowed, where)

    for module in modules:
        if getattr(module, "reject_unknown_keys", None) is original:
            monkeypatch.setattr(module, "reject_unknown_keys", spy)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        Model.from_dict(EVERY_TABLE, "every.toml")
        for example in sorted((ROOT / "examples").glob("*.toml")):
            load(example)
    assert checked, "the reader checked no table: the spy is not where the reader looks"
    keys |= {key for allowed in checked for key in allowed}
    return keys


def test_the_reference_names_every_key_the_reader_accepts(monkeypatch):
    keys = accepted_keys(monkeypatch)
    # The tables of the examples and of the model above, at least.
    assert {"study", "components", "system", "horizon", "count", "failure", "members", "beta",
            "covers", "repairs", "parameter", "values", "durations", "fails_when"} <= keys
    reference = "\n".join(p.read_text() for p in sorted((DOCS / "reference").glob("*.md")))
    # Named in code: `key`, `key = ...` (also inside a table, `{key = ...}`) or a table's
    # heading `[key.NAME]`.
    prose = re.sub(r"```.*?```", "", reference, flags=re.S)  # examples are not the reference
    spans = re.findall(r"`([^`\n]+)`", prose)

    def named(key: str) -> bool:
        word = re.escape(key)
        return any(span == key or re.search(rf"(?<![\w.]){word}\s*=", span)
                   or re.match(rf"\[?{word}(\.|\])", span) for span in spans)

    missing = sorted(key for key in keys if not named(key))
    assert missing == [], f"keys the reader accepts that docs/reference/ does not name: {missing}"


def test_the_guide_builds_strictly_and_holds_every_page(tmp_path):
    config = (ROOT / "mkdocs.yml").read_text()
    # Pages others add under docs/ must appear without editing a list of them.
    assert not re.search(r"^nav\s*:", config, flags=re.MULTILINE)
    site = tmp_path / "site"
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--config-file",
                           str(ROOT / "mkdocs.yml"), "--site-dir", str(site)],
                          cwd=ROOT, capture_output=True, text=True, timeout=600,
                          env={**os.environ, "NO_MKDOCS_2_WARNING": "1"})
    assert done.returncode == 0, done.stderr[-3000:]
    for page in DOCS.rglob("*.md"):
        relative = page.relative_to(DOCS).with_suffix("")
        built = site / (relative.parent if relative.name == "index" else relative) / "index.html"
        assert built.is_file(), page
    # The Python reference is drawn from the docstrings.
    assert "check_resumable" in (site / "python" / "index.html").read_text()


@pytest.mark.parametrize("section", ["reference", "measures"])
def test_each_section_has_an_index(section):
    assert (DOCS / section / "index.md").is_file()
