"""The report pages in a real browser: Debian's chromium (installed by `scripts/setup.sh
--tests`), driven by Playwright, with every request outside the page's own file refused and
counted. Each kind of page loads with no console error and no request, shows every figure and
table, shows the numbers of its JSON, is not blank, fits a phone's width, cuts no text of its
figures and prints to PDF without splitting a figure; hostile names run nothing."""

import json
import re
import shutil
from io import BytesIO
from pathlib import Path

import pytest
from PIL import Image
from playwright.sync_api import sync_playwright

from test_tarvokit_report import (HOSTILE_COMPONENT, HOSTILE_STUDY, _shown_number,  # noqa: F401
                                  folders)
from test_tarvokit_cli import SMALL, tarvo_command

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
PHONE = {"width": 390, "height": 844}
# Pages printed on A4 by kind: at least the text and the figures, and not one page per figure.
PRINTED_PAGES = {"run": (3, 9), "markov": (3, 9), "importance": (3, 9), "sweep": (3, 9),
                 "combine": (3, 9), "comparison": (4, 14), "hostile": (3, 9), "loop": (3, 12)}
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def browser():
    with sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=CHROMIUM)
        yield launched
        launched.close()


@pytest.fixture(scope="module")
def pages(folders, tmp_path_factory) -> dict[str, tuple[Path, dict | None]]:
    """Each kind of page, with the JSON its numbers come from."""
    root = tmp_path_factory.mktemp("pages")
    found = {}
    for kind in ("run", "markov", "importance", "sweep", "combine"):
        name = {"importance": "importance.json", "sweep": "sweep.json"}.get(kind,
                                                                            "results.json")
        found[kind] = (folders[kind] / "report.html",
                       json.loads((folders[kind] / name).read_text()))
    done = tarvo_command("report", str(folders["exact_run"]), str(folders["markov"]), "--out",
                         str(root / "compared"))
    assert done.returncode == 0, done.stderr
    found["comparison"] = (root / "compared" / "comparison.html", None)
    model = root / "hostile.toml"
    model.write_text(SMALL.replace('name = "Two pumps"', f'name = "{HOSTILE_STUDY}"')
                     .replace("[components.pump]", f'[components."{HOSTILE_COMPONENT}"]')
                     .replace('fails_when = "pump[1] and pump[2]"',
                              f"cut_sets = [['{HOSTILE_COMPONENT}[1]',"
                              f" '{HOSTILE_COMPONENT}[2]']]"))
    done = tarvo_command("run", str(model), "--histories", "300", "--no-progress", "--out",
                         str(root / "hostile"))
    assert done.returncode == 0, done.stderr
    found["hostile"] = (root / "hostile" / "report.html",
                        json.loads((root / "hostile" / "results.json").read_text()))
    # The README's loop as it runs: its curves span five decades, with planned downtime.
    done = tarvo_command("run", str(EXAMPLES / "cooling_water_loop.toml"), "--no-progress",
                         "--out", str(root / "loop"))
    assert done.returncode == 0, done.stderr
    found["loop"] = (root / "loop" / "report.html",
                     json.loads((root / "loop" / "results.json").read_text()))
    return found


class Visit:
    """A page opened with the network cut off: what it asked for, said and did."""

    def __init__(self, browser, path: Path, viewport=None):
        self.context = browser.new_context(viewport=viewport or {"width": 1200, "height": 900})
        self.refused: list[str] = []
        self.requests: list[str] = []
        self.errors: list[str] = []
        self.dialogs: list[str] = []
        self.context.route("**/*", self._route)
        self.page = self.context.new_page()
        self.page.on("request", lambda request: self.requests.append(request.url))
        self.page.on("console", lambda message: message.type in ("error", "warning")
                     and self.errors.append(message.text))
        self.page.on("pageerror", lambda error: self.errors.append(str(error)))
        self.page.on("dialog", self._dialog)
        self.url = path.resolve().as_uri()
        self.page.goto(self.url)

    def _route(self, route):
        if route.request.url == self.url:
            route.continue_()
        else:
            self.refused.append(route.request.url)
            route.abort()

    def _dialog(self, dialog):
        self.dialogs.append(dialog.message)
        dialog.dismiss()

    def close(self):
        self.context.close()


KINDS = list(PRINTED_PAGES)


@pytest.mark.parametrize("kind", KINDS)
def test_each_page_loads_alone_and_shows_everything(browser, pages, kind):
    path, _ = pages[kind]
    visit = Visit(browser, path)
    try:
        page = visit.page
        assert visit.requests == [visit.url] and visit.refused == []
        assert visit.errors == [] and visit.dialogs == []
        figures, tables = page.locator("figure").all(), page.locator("table").all()
        assert len(figures) >= 2 and len(tables) >= 3
        for element in figures + tables:
            element.scroll_into_view_if_needed()
            assert element.is_visible()
            box = element.bounding_box()
            assert box["width"] > 100 and box["height"] > 20
        # Every drawn figure has an accessible name (its SVG title) and a caption.
        names = page.eval_on_selector_all(
            "figure svg", "all => all.map(s => s.querySelector('title').textContent)")
        assert all(name.strip() for name in names) and len(names) == len(figures)
        shot = Image.open(BytesIO(page.screenshot(full_page=True))).convert("L")
        histogram = shot.histogram()
        assert sum(histogram[:200]) > 0.02 * shot.width * shot.height  # ink, not a blank page
        assert len([n for n in histogram if n]) > 50  # text, lines and shades
    finally:
        visit.close()


@pytest.mark.parametrize("kind", ["run", "markov", "combine", "hostile"])
def test_the_numbers_shown_equal_results_json(browser, pages, kind):
    path, data = pages[kind]
    visit = Visit(browser, path)
    try:
        cells = visit.page.eval_on_selector_all(
            "td[data-key]", "all => all.map(c => [c.dataset.key, Number(c.dataset.value),"
                            " c.innerText])")
    finally:
        visit.close()
    checked = set()
    for key, value, text in cells:
        node = data
        for part in key.split("."):
            node = node.get(part) if isinstance(node, dict) else None
        if node is None:
            continue
        expected = node["estimate"] if isinstance(node, dict) else node
        assert value == expected, key
        assert _shown_number(text) == pytest.approx(expected, rel=5e-4, abs=1e-12), (key, text)
        checked.add(key)
    assert {"mean_unavailability", "expected_downtime", "failure_frequency"} <= checked


def test_hostile_names_show_as_text_and_run_nothing(browser, pages):
    path, _ = pages["hostile"]
    visit = Visit(browser, path)
    try:
        page = visit.page
        assert page.locator("h1").inner_text() == HOSTILE_STUDY
        assert page.title().startswith(HOSTILE_STUDY)
        assert page.locator("script").count() == 0 and page.locator("img").count() == 0
        assert HOSTILE_COMPONENT + "[1]" in page.locator("#model").inner_text()
        page.wait_for_timeout(200)
        assert visit.dialogs == [] and visit.errors == [] and visit.refused == []
    finally:
        visit.close()


@pytest.mark.parametrize("kind", ["run", "importance", "comparison"])
def test_a_phone_reads_the_page_without_scrolling_sideways(browser, pages, kind):
    path, _ = pages[kind]
    visit = Visit(browser, path, viewport=PHONE)
    try:
        width = visit.page.evaluate("document.documentElement.scrollWidth")
        assert width <= PHONE["width"]
        box = visit.page.locator("figure").first.bounding_box()
        assert box["width"] <= PHONE["width"]
    finally:
        visit.close()


@pytest.mark.parametrize("kind", KINDS)
def test_printing_gives_the_expected_pages(browser, pages, kind):
    path, _ = pages[kind]
    visit = Visit(browser, path)
    try:
        pdf = visit.page.pdf(format="A4", print_background=True)
    finally:
        visit.close()
    printed = len(re.findall(rb"/Type\s*/Page(?![s\w])", pdf))
    low, high = PRINTED_PAGES[kind]
    assert low <= printed <= high, printed


@pytest.mark.parametrize("insert, policy, seen", [
    ('<img src="http://192.0.2.1/x.png" alt="">', False, "refused"),  # the route refuses it
    ('<img src="http://192.0.2.1/x.png" alt="">', True, "errors"),  # the policy blocks it
    ('<script>alert(1)</script>', True, "errors"),
])
def test_the_browser_would_see_a_request_or_a_script(browser, pages, tmp_path, insert, policy,
                                                      seen):
    from tarvokit.views.report import CSP

    path, _ = pages["run"]
    altered = tmp_path / "altered.html"
    html = path.read_text().replace("</h1>", "</h1>" + insert, 1)
    altered.write_text(html if policy else html.replace(CSP, "default-src *"))
    visit = Visit(browser, altered)
    try:
        visit.page.wait_for_timeout(200)
        assert getattr(visit, seen) and visit.dialogs == []
    finally:
        visit.close()


@pytest.mark.parametrize("kind, key, expected", [
    ("importance", "downtime", lambda data: [r["downtime"]["estimate"] for r in data["table"]]),
    ("importance", "share", lambda data: [r["share"]["estimate"] for r in data["table"]
                                          if r["share"]]),
    ("sweep", "mean_unavailability",
     lambda data: [v["mean_unavailability"]["estimate"] for v in data["values"]]),
    ("sweep", "expected_downtime",
     lambda data: [v["expected_downtime"]["estimate"] for v in data["values"]]),
])
def test_the_tables_of_paired_studies_show_their_json(browser, pages, kind, key, expected):
    path, data = pages[kind]
    visit = Visit(browser, path)
    try:
        cells = visit.page.eval_on_selector_all(
            f"#{kind} td[data-key='{key}']",
            "all => all.map(c => [Number(c.dataset.value), c.innerText])")
    finally:
        visit.close()
    assert [value for value, _ in cells] == expected(data)
    for value, text in cells:
        assert _shown_number(text) == pytest.approx(value, rel=5e-4, abs=1e-12), text


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("viewport", [None, PHONE], ids=["desk", "phone"])
def test_every_text_of_a_figure_lies_inside_it(browser, pages, kind, viewport):
    """No label, tick or legend is cut off at the edge of its drawing, as drawn at a desk's
    width and at a phone's."""
    path, _ = pages[kind]
    visit = Visit(browser, path, viewport=viewport)
    try:
        outside = visit.page.eval_on_selector_all("figure svg", """all => all.flatMap(svg => {
            const box = svg.getBoundingClientRect();
            return [...svg.querySelectorAll('text')].map(text => [text, text.getBBox().width,
                                                                  text.getBoundingClientRect()])
              .filter(([, width, r]) => width > 0 && (r.left < box.left - 0.5
                  || r.right > box.right + 0.5 || r.top < box.top - 0.5
                  || r.bottom > box.bottom + 0.5))
              .map(([text]) => svg.querySelector('title').textContent + ': '
                               + text.textContent);
        })""")
        figures = visit.page.locator("figure svg text").count()
    finally:
        visit.close()
    assert figures > 20 and outside == []


_PROBE = "qx{}{}qx"


def test_printing_never_splits_a_figure(browser, pages, tmp_path):
    """Printed to A4, each figure of every page is on one sheet: a probe of text at its top and
    one at its foot are found on the same page of the PDF."""
    from pypdf import PdfReader

    checked = 0
    for kind in KINDS:
        path, _ = pages[kind]
        html = path.read_text()
        count = html.count("<figure>")
        for index in range(count):
            html = html.replace("<figure>", f'<figure data-probed="{index}">'
                                f'<span style="font-size:3px">{_PROBE.format("top", index)}'
                                "</span>", 1)
        html = re.sub(r"</figure>", lambda _, seen=iter(range(count)):
                      f'<span style="font-size:3px">{_PROBE.format("foot", next(seen))}'
                      "</span></figure>", html)
        probed = tmp_path / f"{kind}.html"
        probed.write_text(html)
        visit = Visit(browser, probed)
        try:
            pdf = visit.page.pdf(format="A4", print_background=True)
        finally:
            visit.close()
        sheets = [page.extract_text().replace("\n", "").replace(" ", "")
                  for page in PdfReader(BytesIO(pdf)).pages]
        for index in range(count):
            top = [n for n, text in enumerate(sheets) if _PROBE.format("top", index) in text]
            foot = [n for n, text in enumerate(sheets) if _PROBE.format("foot", index) in text]
            assert len(top) == 1 and top == foot, (kind, index, top, foot)
            checked += 1
    assert checked > 20
