"""report.html and the folders behind it: every verb writes the page, `tarvo report` and `tarvo
plot` redraw every kind of folder from its files, the page shows the files' numbers, escapes what
it is given and asks for nothing outside itself, and the model is written out in plain words."""

import json
import math
import re
import shutil
from html.parser import HTMLParser
from pathlib import Path

import numpy as np
import pytest

import tarvokit
from tarvokit.data.files import MANIFEST_NAME
from tarvokit.data.folders import read_folder
from tarvokit.views import report

from test_tarvokit_cli import SMALL, tarvo_command

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MARKOV_MODEL = """\
[study]
name = "Two pumps, exact"
time_unit = "h"
horizon = 300

[components.pump]
count = 2
failure = { law = "Exponential", mean = 60 }
repair = { law = "Exponential", mean = 8 }

[common_cause.pumps]
members = ["pump[*]"]
beta = 0.1

[crews.fitters]         # crew members' importance comes from runs with them made perfect
count = 1
repairs = ["pump[*]"]

[system]
fails_when = "pump[1] and pump[2]"
"""
HOSTILE_STUDY = "<img src=x onerror=alert(1)>"
HOSTILE_COMPONENT = "</svg><script>alert(2)</script>"


class Page(HTMLParser):
    """The tags, attributes, text and numbered cells of a page."""

    def __init__(self, html: str):
        super().__init__()
        self.tags: list[str] = []
        self.attributes: list[tuple[str, str, str | None]] = []
        self.cells: list[dict] = []
        self.headings: list[tuple[int, str]] = []
        self._heading: list | None = None
        self._cell: dict | None = None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes += [(tag, name, value) for name, value in attrs]
        values = dict(attrs)
        if tag in ("h1", "h2", "h3", "h4", "h5", "h6"):
            self._heading = [int(tag[1]), ""]
        if tag == "td" and "data-value" in values:
            self._cell = {"key": values.get("data-key"), "value": float(values["data-value"]),
                          "text": ""}

    def handle_endtag(self, tag):
        if tag.startswith("h") and tag[1:].isdigit() and self._heading is not None:
            self.headings.append((self._heading[0], self._heading[1]))
            self._heading = None
        if tag == "td" and self._cell is not None:
            self.cells.append(self._cell)
            self._cell = None

    def handle_data(self, data):
        if self._heading is not None:
            self._heading[1] += data
        if self._cell is not None:
            self._cell["text"] += data


def _shown_number(text: str) -> float:
    """The number a cell shows ('1,003 h', '0.2309 %' as the fraction 0.002309)."""
    found = re.match(r"\s*([-+]?[\d,]*\.?\d+(?:e[-+]?\d+)?)", text)
    value = float(found.group(1).replace(",", ""))
    return value / 100 if "%" in text.split("[")[0] else value


@pytest.fixture(scope="session")
def folders(tmp_path_factory) -> dict[str, Path]:
    """One folder of each kind the command writes, written by the command."""
    root = tmp_path_factory.mktemp("folders")
    (root / "pumps.toml").write_text(SMALL)
    (root / "exact.toml").write_text(MARKOV_MODEL)
    small = str(root / "pumps.toml")
    runs = {
        "run": ["run", small, "--histories", "600", "--seed", "1"],
        "half": ["run", small, "--histories", "300", "--seed", "601"],
        "markov": ["markov", str(root / "exact.toml")],
        "exact_run": ["run", str(root / "exact.toml"), "--histories", "500"],
        "importance": ["importance", str(root / "exact.toml"), "--histories", "400"],
        "sweep": ["sweep", small, "--sweep", "components.pump.repair.high=12,20",
                  "--histories", "400"],
    }
    made = {}
    for name, arguments in runs.items():
        done = tarvo_command(*arguments, "--out", str(root / name),
                             *([] if arguments[0] == "markov" else ["--no-progress"]))
        assert done.returncode == 0, done.stderr
        made[name] = root / name
    done = tarvo_command("combine", str(root / "run"), str(root / "half"), "--out",
                         str(root / "combine"))
    assert done.returncode == 0, done.stderr
    made["combine"] = root / "combine"
    return made


KINDS = ["run", "markov", "importance", "sweep", "combine"]
PICTURES = {"run": "plot.png", "markov": "plot.png", "importance": "importance.png",
            "sweep": "sweep.png", "combine": "plot.png"}


@pytest.mark.parametrize("kind", KINDS)
def test_report_rewrites_the_page_the_verb_wrote_byte_for_byte(folders, tmp_path, kind):
    folder = tmp_path / kind
    shutil.copytree(folders[kind], folder)
    written = (folder / "report.html").read_bytes()
    (folder / "report.html").unlink()
    done = tarvo_command("report", str(folder))
    assert done.returncode == 0, done.stderr
    assert (folder / "report.html").read_bytes() == written


@pytest.mark.parametrize("kind", KINDS)
def test_plot_redraws_the_picture_of_every_kind_of_folder(folders, tmp_path, kind):
    folder = tmp_path / kind
    shutil.copytree(folders[kind], folder)
    picture = folder / PICTURES[kind]
    picture.unlink()
    done = tarvo_command("plot", str(folder))
    assert done.returncode == 0, done.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_and_report_of_a_folder_without_results_are_one_line(tmp_path):
    (tmp_path / "empty").mkdir()
    for verb in ("plot", "report"):
        done = tarvo_command(verb, str(tmp_path / "empty"))
        assert done.returncode == 2
        assert done.stderr.count("\n") == 1 and "holds no results.json" in done.stderr


@pytest.mark.parametrize("kind", KINDS)
def test_the_page_is_whole_safe_and_ordered(folders, kind):
    html = (folders[kind] / "report.html").read_text()
    page = Page(html)
    assert html.startswith("<!DOCTYPE html>")
    csp = [v for t, n, v in page.attributes if t == "meta" and n == "content" and "default-src" in v]
    assert csp == [report.CSP]
    assert "script" not in page.tags and "img" not in page.tags and "link" not in page.tags
    # Nothing refers outside the page: references are to its own ids.
    for tag, name, value in page.attributes:
        if name in ("src", "href", "xlink:href", "action"):
            assert value.startswith("#"), (tag, name, value)
    ids = [v for _, n, v in page.attributes if n == "id"]
    assert len(ids) == len(set(ids))
    # Headings in order: one h1, and no level skipped on the way down.
    levels = [level for level, _ in page.headings]
    assert levels[0] == 1 and levels.count(1) == 1
    assert all(b <= a + 1 for a, b in zip(levels, levels[1:]))
    # Every figure has a text alternative.
    assert html.count("<figure>") == html.count("<figcaption>") >= 2
    for svg in re.findall(r"<svg[^>]*>", html):
        assert 'role="img"' in svg and "aria-labelledby" in svg
    sections = [text for level, text in page.headings if level == 2]
    assert sections[0] == "The answer" and sections[-3:] == ["The model", "Assumptions",
                                                             "Provenance"]


@pytest.mark.parametrize("kind", ["run", "markov", "combine"])
def test_the_numbers_shown_are_those_of_results_json(folders, kind):
    data = json.loads((folders[kind] / "results.json").read_text())
    cells = [c for c in Page((folders[kind] / "report.html").read_text()).cells if c["key"]]
    keys = set()
    for found in cells:
        key = found["key"]
        node = data
        for part in key.split("."):
            node = node[part] if isinstance(node, dict) and part in node else None
        if node is None:
            continue
        expected = node["estimate"] if isinstance(node, dict) else node
        assert found["value"] == expected, key
        assert _shown_number(found["text"]) == pytest.approx(expected, rel=5e-4, abs=1e-12), key
        keys.add(key)
    assert {"mean_unavailability", "expected_downtime", "failure_frequency", "reliability",
            "mean_down_time", "mean_up_time"} <= keys


def test_the_page_holds_the_provenance_of_the_files(folders):
    data = json.loads((folders["run"] / "results.json").read_text())
    record = data["provenance"]
    model = Path(record["model_path"])
    import hashlib

    assert record["model_sha256"] == hashlib.sha256(model.read_bytes()).hexdigest()
    assert record["command"].startswith("tarvo run ") and "--histories 600" in record["command"]
    html = (folders["run"] / "report.html").read_text()
    for text in (record["model_sha256"], data["id"], data["created"], "1..600",
                 record["command"].replace("'", "&#x27;")):
        assert text in html


def test_a_folder_holding_a_run_and_its_importance_shows_both(folders, tmp_path):
    folder = tmp_path / "both"
    shutil.copytree(folders["exact_run"], folder)
    for name in ("importance.json", "importance.txt", "importance.csv", "importance.png"):
        shutil.copy(folders["importance"] / name, folder / name)
    done = tarvo_command("report", str(folder))
    assert done.returncode == 0, done.stderr
    html = (folder / "report.html").read_text()
    headings = [text for level, text in Page(html).headings if level == 2]
    assert "What matters: importance" in headings and "Figures" in headings
    assert "The worst contributor is " in html


def test_hostile_names_show_as_text(tmp_path):
    model = tmp_path / "evil.toml"
    model.write_text(SMALL.replace('name = "Two pumps"', f'name = "{HOSTILE_STUDY}"')
                     .replace("[components.pump]", f'[components."{HOSTILE_COMPONENT}"]')
                     .replace('fails_when = "pump[1] and pump[2]"',
                              f"cut_sets = [['{HOSTILE_COMPONENT}[1]', '{HOSTILE_COMPONENT}[2]']]"))
    done = tarvo_command("run", str(model), "--histories", "200", "--no-progress", "--out",
                         str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    html = (tmp_path / "out" / "report.html").read_text()
    page = Page(html)
    assert "script" not in page.tags and "img" not in page.tags
    assert not [name for _, name, _ in page.attributes if name.startswith("on")]
    assert (1, HOSTILE_STUDY) in page.headings
    assert html.count("<svg") == html.count("</svg>")


def test_sections_other_mechanisms_add_are_shown_from_their_structure(folders):
    """Keys the page does not know (the calendar's, capacity's, logistics') drawn from their
    structure: measures as value and interval, lists of records as tables, nested tables as
    headed subsections, in the order of the calendar, the capacity and the logistics."""
    folder = read_folder(folders["run"])
    data = folder.parts[0].data
    data["production"] = {"value": 0.9871, "low": 0.98, "high": 0.99}
    data["costs"] = [{"item": "spares", "cost": {"value": 1200.0, "low": 1100.0, "high": 1300.0}},
                     {"item": "crews <b>", "cost": 800}]
    data["phases"] = {"outage": {"share": {"estimate": 0.25, "low": 0.2, "high": 0.3},
                                 "hours": 120}}
    html = report.page(folder)
    page = Page(html)
    headings = [text for _, text in page.headings]
    assert headings.index("Phases") < headings.index("Production") < headings.index("Costs") \
        < headings.index("The model")
    assert "Outage" in headings
    values = {c["value"] for c in page.cells}
    assert {0.9871, 1200.0, 800.0, 0.25, 120.0} <= values
    assert "crews &lt;b&gt;" in html and "[1,100, 1,300]" in html and "[0.2, 0.3]" in html


def test_comparison_puts_two_folders_side_by_side(folders, tmp_path):
    done = tarvo_command("report", str(folders["exact_run"]), str(folders["markov"]), "--out",
                         str(tmp_path / "both"))
    assert done.returncode == 0, done.stderr
    html = (tmp_path / "both" / "comparison.html").read_text()
    assert "exact_run (run)" in html and "markov (markov)" in html
    assert "The unavailability curves on one plot" in html
    markov = json.loads((folders["markov"] / "results.json").read_text())
    cells = [c for c in Page(html).cells if c["key"] == "mean_unavailability"]
    assert len(cells) == 2 and markov["mean_unavailability"]["estimate"] in \
        [c["value"] for c in cells]


# --- The folders read back ------------------------------------------------------------------


def test_markov_folder_reads_back_its_answer(tmp_path):
    (tmp_path / "exact.toml").write_text(MARKOV_MODEL)
    study = tarvokit.load(tmp_path / "exact.toml")
    answer = study.markov()
    answer.to_json(tmp_path / "results.json")
    answer.to_csv(tmp_path / "curve.csv")
    back = read_folder(tmp_path).part("markov").result
    assert np.array_equal(back.answer.unavailability, answer.answer.unavailability)
    assert np.array_equal(back.answer.reliability, answer.answer.reliability)
    assert back.answer.mean_up_time == answer.answer.mean_up_time
    assert back.id == answer.id
    # Without the arrays in the JSON, they come from curve.csv (9 significant digits).
    data = json.loads((tmp_path / "results.json").read_text())
    for key in ("unavailability", "failures_per_unit", "reliability_per_unit"):
        del data[key]
    (tmp_path / "results.json").write_text(json.dumps(data))
    again = read_folder(tmp_path).part("markov").result
    assert np.allclose(again.answer.unavailability, answer.answer.unavailability, rtol=1e-8)


def test_importance_and_sweep_folders_read_back_their_tables(folders):
    importance = read_folder(folders["importance"]).part("importance")
    rows = importance.result.rows()
    table = importance.data["table"]
    assert [(r.measure.kind, r.measure.name, r.rank) for r in rows] == \
        [(t["kind"], t["name"], t["rank"]) for t in table]
    for row, written in zip(rows, table):
        assert row.downtime.estimate == pytest.approx(written["downtime"]["estimate"], rel=1e-12)
    sweep = read_folder(folders["sweep"]).part("sweep")
    for index, written in enumerate(sweep.data["values"]):
        assert sweep.result.results[index].mean().estimate == \
            pytest.approx(written["mean_unavailability"]["estimate"], rel=1e-12)
        if index:
            assert sweep.result.difference(index).estimate == \
                pytest.approx(written["difference"]["estimate"], rel=1e-9, abs=1e-15)


def _set(path: str, value):
    """An edit of the JSON: the value at a path of keys and indices set."""
    *parents, last = path.split(".")

    def edit(data):
        node = data
        for key in parents:
            node = node[int(key)] if isinstance(node, list) else node[key]
        node[int(last) if isinstance(node, list) else last] = value
    return edit


@pytest.mark.parametrize("kind, name, edit, message", [
    ("sweep", "sweep.json", _set("values.0.unavailability", [0.1] * 199 + ["x"]),
     "values[0].unavailability: a value is not a number"),
    ("sweep", "sweep.json", _set("values.0.unavailability", [0.5] * 10**4), "expected 200 values"),
    ("sweep", "sweep.json", _set("values.0.unavailability", [-0.5] * 200),
     "a value outside [0, 1]"),
    ("sweep", "sweep.json", _set("values.1.batches.0.histories", 0),
     "values[1].batches.histories: expected a whole number of at least 1, got 0"),
    ("sweep", "sweep.json", _set("values.0.model.study.horizon", "200"),
     "model.study.horizon: expected a whole number of at least 1, got '200'"),
    ("sweep", "sweep.json", _set("values", []), "values: none"),
    ("sweep", "sweep.json", lambda d: d.pop("parameter"), "not a tarvo result"),
    ("markov", "results.json", _set("unavailability.3", 1.5), "unavailability: a value outside"),
    ("markov", "results.json", _set("reliability_per_unit", [1.0] * 5), "expected 300 values"),
    ("markov", "results.json", _set("states", -4), "states: expected a whole number"),
    ("importance", "importance.json", _set("logics.0.failed_steps_per_unit.7", -3),
     "failed_steps_per_unit: a value outside"),
    ("importance", "importance.json", _set("logics.0.failed_steps_per_unit.7", 10**18),
     "failed_steps_per_unit: a value outside"),
    ("importance", "importance.json", _set("logics", []), "the system's own run is missing"),
])
def test_a_damaged_folder_is_one_line_naming_it(folders, tmp_path, kind, name, edit, message):
    folder = tmp_path / kind
    shutil.copytree(folders[kind], folder)
    # As a folder from before manifests: its fields alone tell what is wrong.
    (folder / MANIFEST_NAME).unlink()
    data = json.loads((folder / name).read_text())
    edit(data)
    (folder / name).write_text(json.dumps(data))
    for verb in ("plot", "report"):
        done = tarvo_command(verb, str(folder))
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
        assert str(folder / name) in done.stderr and message in done.stderr, done.stderr


# --- Plain words ----------------------------------------------------------------------------


@pytest.mark.parametrize("law, text", [
    ({"law": "Weibull", "scale": 4000, "shape": 1.8},
     "a Weibull time, scale 4,000 h, shape 1.8 (mean 3,557 h)"),
    ({"law": "Exponential", "rate": 0.0001}, "an Exponential time, mean 10,000 h"),
    ({"law": "Exponential", "mean": 36}, "an Exponential time, mean 36 h"),
    ({"law": "Normal", "mean": 100, "sd": 10},
     "a Normal time, mean 100 h, standard deviation 10 h"),
    ({"law": "Uniform", "low": 2, "high": 10}, "a time uniform between 2 and 10 h (mean 6 h)"),
    ({"law": "Inspection", "period": 730}, "the next periodic inspection (one every 730 h)"),
    ({"law": "Maintenance", "durations": [4, 6, 8]}, "4, 6 or 8 h, one drawn at random (mean 6 h)"),
    ({"law": "InstantaneousFailure", "at": 1000}, "exactly 1,000 h from the start"),
    ({"law": "Gamma", "k": 2}, "a Gamma time (k 2)"),  # a law this page does not know
])
def test_laws_are_written_out(law, text):
    assert report.law_text(law, "h") == text


@pytest.mark.parametrize("value, text", [
    (35570.0, "35,570"), (3557.2, "3,557"), (22.66, "22.66"), (1.0, "1"), (0.0, "0"),
    (0.009784, "0.009784"), (123456789.0, "123,500,000"), (2.5e-05, "2.5e-05"),
    (-31.75, "-31.75"),
])
def test_numbers_have_four_significant_digits_written_out(value, text):
    assert report.significant(value) == text


def test_weibull_mean_in_words_is_the_law_mean():
    text = report.law_text({"law": "Weibull", "scale": 1000, "shape": 0.5}, "h")
    assert f"mean {report.significant(1000 * math.gamma(3))} h" in text


# --- The picture drawn beside the page ------------------------------------------------------


# Forking is tried only in a process without threads, which a long test session (browsers,
# clusters) need not be: each of these runs in a fresh interpreter.
PICTURE_HELPERS = """
import os
import sys
import threading
from pathlib import Path

import pytest

from tarvokit.command.pages import BackgroundPicture
from tarvokit.views.figures import new_figure, save_png

tmp_path = Path(sys.argv[1])


def draw_line(path):
    figure = new_figure((2, 1))
    figure.add_subplot().plot([0, 1, 2], [1, 0, 1])
    save_png(figure, path)


def fail(path):
    raise RuntimeError("no picture today")
"""


def _in_fresh_process(body: str, tmp_path: Path) -> None:
    import subprocess
    import sys
    import textwrap

    script = PICTURE_HELPERS + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("with_thread", [False, True])
def test_a_picture_drawn_beside_the_page_is_the_one_drawn_here(tmp_path, with_thread):
    _in_fresh_process(f"""
        with_thread = {with_thread}
        draw_line(tmp_path / "here.png")
        stop = threading.Event()
        helper = threading.Thread(target=stop.wait)
        if with_thread:  # a process with threads is not forked: the picture is drawn here
            helper.start()
        try:
            picture = BackgroundPicture(draw_line)
            assert (picture.pid is None) == with_thread
            picture.write(tmp_path / "beside.png")
            picture.close()
        finally:
            stop.set()
            if with_thread:
                helper.join()
        assert (tmp_path / "beside.png").read_bytes() == (tmp_path / "here.png").read_bytes()
    """, tmp_path)


def test_a_picture_that_fails_beside_the_page_fails_here_with_its_error(tmp_path):
    _in_fresh_process("""
        picture = BackgroundPicture(fail)
        assert picture.pid is not None
        with pytest.raises(RuntimeError, match="no picture today"):
            picture.write(tmp_path / "never.png")
        assert not (tmp_path / "never.png").exists()
    """, tmp_path)


def test_a_picture_abandoned_with_its_files_leaves_no_process(tmp_path):
    _in_fresh_process("""
        picture = BackgroundPicture(draw_line)
        pid = picture.pid
        assert pid is not None
        picture.close()
        with pytest.raises(ChildProcessError):
            os.waitpid(pid, os.WNOHANG)
    """, tmp_path)


def test_results_of_another_model_in_the_folder_are_set_aside(folders, tmp_path):
    """A folder reused for another model: the page shows the results of the verb's model and
    names the others; `tarvo report` writes the same page."""
    folder = tmp_path / "reused"
    shutil.copytree(folders["exact_run"], folder)
    for name in ("sweep.json", "sweep.txt", "sweep.csv", "sweep.png"):  # of the pumps model
        shutil.copy(folders["sweep"] / name, folder / name)
    done = tarvo_command("importance", str(folders["exact_run"].parent / "exact.toml"),
                         "--histories", "300", "--no-progress", "--out", str(folder))
    assert done.returncode == 0, done.stderr
    written = (folder / "report.html").read_text()
    headings = [text for level, text in Page(written).headings if level == 2]
    assert "What matters: importance" in headings and "Figures" in headings
    assert not any(text.startswith("Sensitivity") for text in headings)
    assert "also holds sweep.json of another model" in written
    assert tarvo_command("report", str(folder)).returncode == 0
    assert (folder / "report.html").read_text() == written


@pytest.mark.parametrize("kind, name", [("markov", "results.json"),
                                        ("importance", "importance.json"),
                                        ("sweep", "sweep.json")])
def test_a_file_changed_since_its_run_is_refused_by_its_manifest(folders, tmp_path, kind, name):
    folder = tmp_path / kind
    shutil.copytree(folders[kind], folder)
    data = json.loads((folder / name).read_text())
    data["seconds"] = 1.0  # a change no field check would see
    (folder / name).write_text(json.dumps(data))
    for verb in ("plot", "report"):
        done = tarvo_command(verb, str(folder))
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
        assert "a mixed set of files" in done.stderr and name in done.stderr


# --- Figures that read in greys ---------------------------------------------------------------

GREY_STEP = 0.12  # the least difference of grey (0 black .. 1 white) told apart on paper


def _grey(colour, alpha: float | None) -> float:
    """The grey a printer makes of a colour drawn with `alpha` on white paper (Rec. 601 luma,
    what a conversion to greys keeps)."""
    from matplotlib.colors import to_rgba

    red, green, blue, own = to_rgba(colour)
    shown = own if alpha is None else alpha
    return 0.299 * red + 0.587 * green + 0.114 * blue if shown >= 1 else \
        1 - shown * (1 - (0.299 * red + 0.587 * green + 0.114 * blue))


def _look(handle) -> tuple:
    """How a legend entry looks once printed in greys: ("line", grey, dashes, marker) or
    ("fill", grey, hatch)."""
    from matplotlib.container import BarContainer, ErrorbarContainer
    from matplotlib.lines import Line2D

    if isinstance(handle, ErrorbarContainer):  # points with error bars: their marker and grey
        line, _, (bars, *_) = handle.lines
        marker = line.get_marker() if line is not None else None
        return ("errorbar", _grey(bars.get_color()[0], bars.get_alpha()), (), marker)
    if isinstance(handle, BarContainer):
        handle = handle.patches[0]
    if isinstance(handle, Line2D):
        dashes = tuple(round(d / max(handle.get_linewidth(), 1e-9), 1)
                       for d in (handle._unscaled_dash_pattern[1] or ()))
        marker = handle.get_marker() if handle.get_marker() not in (None, "None", "") else None
        return ("line", _grey(handle.get_color(), handle.get_alpha()), dashes, marker)
    face = handle.get_facecolor()
    face = face[0] if np.ndim(face) == 2 else face
    return ("fill", _grey(face, handle.get_alpha()), handle.get_hatch())


def _apart(first: tuple, second: tuple) -> bool:
    if first[0] != second[0] or first[2:] != second[2:]:
        return True  # a line beside a shade, or lines of different dashes or markers
    return abs(first[1] - second[1]) >= GREY_STEP


@pytest.fixture(scope="module")
def every_figure(folders, tmp_path_factory) -> list:
    """Every matplotlib figure the command makes, the pages' and the pictures', of each kind
    of folder, of a comparison and of the cooling-water loop (planned downtime beside
    unplanned)."""
    from tarvokit.command.pages import picture_writers
    from tarvokit.views import figures

    made = []
    original_svg, original_png = figures.svg_text, figures.save_png
    root = tmp_path_factory.mktemp("greys")
    examples = ("cooling_water_loop", "phased_plant", "production_plant")
    for name in examples:
        done = tarvo_command("run", str(EXAMPLES / f"{name}.toml"), "--histories", "1000",
                             "--no-progress", "--out", str(root / name))
        assert done.returncode == 0, done.stderr
    try:
        figures.svg_text = lambda figure, *rest: made.append(figure) or original_svg(figure,
                                                                                      *rest)
        figures.save_png = lambda figure, path: made.append(figure) or original_png(figure,
                                                                                     path)
        read = [read_folder(folders[kind]) for kind in KINDS] + [read_folder(root / name)
                                                                  for name in examples]
        for folder in read:
            report.page(folder)
            for write in picture_writers(folder).values():
                write(root / "picture.png")
        report.comparison_page([read_folder(folders["exact_run"]), read_folder(folders["markov"])])
    finally:
        figures.svg_text, figures.save_png = original_svg, original_png
    return made


def test_every_curve_of_a_figure_reads_apart_in_greys(every_figure):
    """Any two things a legend names on one axes differ once printed in greys: by their kind
    (a line or a shade), their dashes or markers, or their grey."""
    checked = 0
    for figure in every_figure:
        for axes in figure.axes:
            handles, labels = axes.get_legend_handles_labels()
            looks = {label: _look(handle) for handle, label in zip(handles, labels)}
            names = list(looks)
            for index, first in enumerate(names):
                for second in names[index + 1:]:
                    assert _apart(looks[first], looks[second]), (
                        axes.get_title(), first, looks[first], second, looks[second])
                    checked += 1
    assert checked > 40 and len(every_figure) >= 20


@pytest.mark.parametrize("kind, sections", [
    ("importance", {"answer", "importance", "model", "assumptions", "provenance"}),
    ("sweep", {"answer", "sweep", "model", "assumptions", "provenance"}),
])
def test_a_paired_study_page_shows_its_data_once(folders, kind, sections):
    """The table and runs of an importance study or a sweep are shown by its own section, not
    again as raw data drawn from their structure."""
    html = (folders[kind] / "report.html").read_text()
    assert set(re.findall(r'<section id="([^"]+)"', html)) == sections


# --- Curves drawn with fewer points than time units ------------------------------------------

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 1000), min_size=1, max_size=400), st.integers(1, 60))
def test_a_curve_drawn_per_bin_keeps_every_bins_highest_and_lowest(values, bins):
    """The units kept of a curve: in order, every one when they fit; else in each bin of units
    its first and last, and one of its highest and one of its lowest value, so that the drawing
    shows each bin's peak and trough."""
    from tarvokit.views.plots import _edges, kept_units, points

    curve = np.array(values)
    with points(bins):
        kept, edges = kept_units(curve), _edges(len(curve))
    assert np.all(np.diff(kept) > 0) and kept[0] == 0 and kept[-1] == len(curve) - 1
    if len(curve) <= bins:
        assert len(kept) == len(curve)
    assert len(kept) <= 4 * (len(edges) - 1)
    for start, stop in zip(edges[:-1], edges[1:]):
        inside = curve[kept[(kept >= start) & (kept < stop)]]
        assert {start, stop - 1} <= set(kept)
        assert inside.max() == curve[start:stop].max() and inside.min() == curve[start:stop].min()


from tarvokit.views.plots import zoom_reason, zoom_window  # noqa: E402


def _inspected(*periods, horizon=8760, unit="h"):
    components = {f"c{i}": {"transitions": [{"law": "Inspection", "period": period}]}
                  for i, period in enumerate(periods)}
    return {"study": {"horizon": horizon, "time_unit": unit}, "components": components}


@pytest.mark.parametrize("model, window, reason", [
    (_inspected(730, 2190), 1460, ": two inspection periods of 730 h"),
    (_inspected(500, unit="d", horizon=3000), 1000, ": two inspection periods of 500 d"),
    (_inspected(5000), 8760, ""),           # two periods would pass the horizon
    (_inspected(), 730, ""),                # no test: a twelfth of the horizon
])
def test_the_zoom_shows_two_of_the_shortest_test_periods_in_time_units(model, window, reason):
    assert zoom_window(model) == window
    assert zoom_reason(model) == reason


from tarvokit.views.figures import fit_sides, new_figure as _new_figure  # noqa: E402


@pytest.mark.parametrize("inches", [(4.6, 3.0), (6.4, 3.8)])
@pytest.mark.parametrize("horizon, top", [(2000, 0.004), (8760, 1e-5), (100_000, 0.5)])
def test_fitted_axes_keep_their_tick_labels_inside_the_figure(inches, horizon, top):
    figure = _new_figure(inches)
    axes = figure.add_axes((0.13, 0.16, 0.84, 0.75))
    axes.plot([0, horizon], [0, top])
    axes.set_xlim(0, horizon)
    axes.set_ylabel("unavailability")
    fit_sides(figure, axes)
    renderer = figure.canvas.get_renderer()
    width = figure.bbox.width
    assert axes.yaxis.get_tightbbox(renderer).x0 >= 0
    assert axes.xaxis.get_tightbbox(renderer).x1 <= width
