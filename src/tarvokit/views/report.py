"""report.html: one self-contained page per result folder, and one comparing folders.

The page holds, in order: the study's name, a one-paragraph answer, every figure of the text
report with its interval and what it means, the pictures (inline SVG), the model in plain words
(components and their laws written out, the dependencies, the logic drawn as a diagram), the
assumptions and the provenance. Sections that other verbs and mechanisms add to a result's JSON
(keys this module does not know) are shown from their structure: a measure is a dict with a value
(or estimate), a low and a high bound; a table is a list of dicts.

The page asks for nothing outside itself: styles are inline, figures are inline SVG, there is no
script, and its Content-Security-Policy allows nothing else. Every text that comes from a model
file or a result folder (names, paths, values) goes through `escape`, inside the figures too.
"""

from __future__ import annotations

import math
from html import escape
from typing import Any, Iterable, Sequence

from ..engine.logistics import priced_kinds
from .diagram import logic_diagram

CSP = "default-src 'none'; style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'"
STYLE = """
:root { color-scheme: light; }
body { font: 16px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #111;
  background: #fff; margin: 0; }
main { max-width: 62rem; margin: 0 auto; padding: 1rem; }
h1 { font-size: 1.7rem; margin: 0.5rem 0; }
h2 { font-size: 1.3rem; border-bottom: 2px solid #333; padding-bottom: 0.2rem; margin-top: 2rem; }
h3 { font-size: 1.1rem; margin-top: 1.4rem; }
h4 { font-size: 1rem; }
p.kind { color: #333; margin-top: 0; }
.answer { font-size: 1.08rem; background: #f2f2f2; border-left: 6px solid #333;
  padding: 0.7rem 1rem; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; margin: 0.5rem 0; font-variant-numeric: tabular-nums; }
th, td { border: 1px solid #888; padding: 0.25rem 0.5rem; text-align: left; vertical-align: top; }
thead th { background: #e6e6e6; }
tbody th { font-weight: 600; }
td.number, td.interval { text-align: right; white-space: nowrap; }
td ul { margin: 0; padding-left: 1.1rem; }
figure { margin: 1rem 0; break-inside: avoid; page-break-inside: avoid; }
figure svg.figure, figure svg.diagram { width: 100%; height: auto; display: block; }
figcaption { font-size: 0.92rem; color: #222; margin-top: 0.3rem; }
.meaning { display: block; font-weight: normal; font-size: 0.88rem; color: #333; }
.columns { display: grid; grid-template-columns: repeat(auto-fit, minmax(20rem, 1fr));
  gap: 1rem; }
.note { color: #333; font-size: 0.92rem; }
code { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 0.9em;
  overflow-wrap: anywhere; }
@media (max-width: 40rem) { body { font-size: 15px; } main { padding: 0.5rem; }
  th, td { padding: 0.2rem 0.3rem; } }
@media print { body { font-size: 11pt; } main { max-width: none; padding: 0; }
  h2, h3 { break-after: avoid; page-break-after: avoid; }
  table, tr, figure, .answer { break-inside: avoid; page-break-inside: avoid; }
  .scroll { overflow: visible; } }
"""

# Keys of results.json shown by the sections of this page, or data behind them; any other key
# gets a section of its own, drawn from its structure.
KNOWN_KEYS = frozenset({
    "id", "version", "created", "model_path", "model", "cut_sets", "histories", "seeds",
    "seeded", "threads", "seconds", "histories_per_second", "precision", "precision_met",
    "precision_measure", "interrupted", "mean_unavailability", "expected_downtime",
    "failure_frequency", "reliability", "mean_down_time", "mean_up_time",
    "downtime_quantiles", "distributions", "batches", "unavailability", "band_low",
    "band_high", "failed_steps_per_unit", "per_unit", "method", "states",
    "mean_time_to_failure", "steady_state", "failures_per_unit", "reliability_per_unit",
    "provenance"})
# Keys of importance.json and sweep.json that their own sections show (the table, the values
# and the runs behind them): drawn again from their structure they would be raw data.
SHOWN_BY_KIND = {"importance": frozenset({"runs", "system", "table", "logics"}),
                 "sweep": frozenset({"parameter", "runs", "values"})}
# Sections added by the calendar, capacity and logistics, in the order shown.
SECTION_ORDER = ("unplanned", "phases", "required_share", "production", "costs", "logistics")
HOURS = {"h", "hour", "hours", "hr"}
PAGE_POINTS = 300  # bins of a curve on the page: each draws up to four points (its first, last,
# lowest and highest units), about one per pixel of its width
YEAR_HOURS = 8760


# --- Small pieces ---------------------------------------------------------------------------


def e(value: Any) -> str:
    """Any value as escaped text."""
    return escape(str(value), quote=True)


def number(value: float | None, unit: str = "") -> str:
    """4 significant digits with thousands separators; '%' shows a fraction in percent."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "undefined"
    if isinstance(value, float) and math.isinf(value):
        return "never"
    if unit == "%":
        return f"{significant(100 * value)} %"
    text = significant(value)
    return f"{text} {unit}".rstrip() if unit else text


def significant(value: float, digits: int = 4) -> str:
    """`digits` significant digits, written out in full from 0.001 to 10^15 (35,570, not
    3.557e+04), with thousands separators."""
    value = float(value)
    if value == 0 or not 1e-3 <= abs(value) < 1e15:
        return f"{value:.{digits}g}"
    decimals = digits - 1 - math.floor(math.log10(abs(value)))
    rounded = round(value, decimals)
    if decimals <= 0:
        return f"{rounded:,.0f}"
    return f"{rounded:,.{decimals}f}".rstrip("0").rstrip(".")


def measure_value(data: Any) -> float | None:
    """The value of a measure written as {"value"|"estimate", "low", "high"}."""
    if not isinstance(data, dict):
        return None
    value = data.get("value", data.get("estimate"))
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) \
        else None


def is_measure(data: Any) -> bool:
    return (isinstance(data, dict) and ("value" in data or "estimate" in data)
            and "low" in data and "high" in data)


def interval(data: dict, unit: str = "") -> str:
    """'[low, high]' of a measure; 'exact' for a figure without error (standard error 0)."""
    low, high = data.get("low"), data.get("high")
    if low is None or high is None:
        return ""
    if low == high and data.get("standard_error") == 0:
        return "exact"
    return f"[{number(float(low), unit)}, {number(float(high), unit)}]"


def cell(value: float | None, unit: str, key: str = "") -> str:
    """A table cell holding a number, its exact value in data-value for machines."""
    exact = "" if value is None else f' data-value="{e(repr(float(value)))}"'
    named = f' data-key="{e(key)}"' if key else ""
    return f'<td class="number"{named}{exact}>{e(number(value, unit))}</td>'


def table(headings: Sequence[str], rows: Iterable[Sequence[str]], caption: str = "",
          row_headings: bool = True) -> str:
    """A table; `rows` hold cells already made (a first cell of plain text becomes a row
    heading)."""
    head = "".join(f'<th scope="col">{e(h)}</th>' for h in headings)
    body = []
    for row in rows:
        first, *rest = row
        if row_headings and not first.startswith("<t"):
            first = f'<th scope="row">{first}</th>'
        elif not first.startswith("<t"):
            first = f"<td>{first}</td>"
        body.append("<tr>" + first + "".join(c if c.startswith("<t") else f"<td>{c}</td>"
                                             for c in rest) + "</tr>")
    caption_html = f"<caption>{e(caption)}</caption>" if caption else ""
    return (f'<div class="scroll" tabindex="0" role="region" aria-label="{e(caption or "table")}">'
            f"<table>{caption_html}<thead><tr>{head}</tr></thead><tbody>{''.join(body)}"
            "</tbody></table></div>")


def figure(svg: str, caption: str) -> str:
    return f"<figure>{svg}<figcaption>{e(caption)}</figcaption></figure>"


class Counter:
    """Ids of the figures of one page, each unique."""

    def __init__(self):
        self.count = 0

    def next(self) -> str:
        self.count += 1
        return f"f{self.count}"


def document(title: str, body: str) -> str:
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f'<meta http-equiv="Content-Security-Policy" content="{CSP}">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<meta name="generator" content="tarvo">'
            f"<title>{e(title)}</title><style>{STYLE}</style></head>"
            f"<body><main>{body}</main></body></html>\n")


# --- The page of a folder -------------------------------------------------------------------


def page(folder) -> str:
    """The page of a folder (data.folders.Folder): every part it holds, one after the other,
    around the model, assumptions and provenance of the first."""
    parts = folder.parts
    main = parts[0]
    model = _model_of(main)
    name = str(model["study"]["name"])
    ids = Counter()
    kinds = {"run": "Monte Carlo availability study", "markov": "exact answer of a Markov chain",
             "importance": "importance study", "sweep": "sensitivity sweep"}
    body = [f"<h1>{e(name)}</h1>",
            f'<p class="kind">{e(", ".join(kinds[p.kind] for p in parts))} by tarvo'
            f" {e(_provenance(main).get('version') or main.data.get('version') or '')}</p>",
            '<section id="answer"><h2>The answer</h2>'
            f'<p class="answer">{answer(folder)}</p></section>']
    for part in parts:
        body.append(SECTIONS[part.kind](part, ids))
    body += [extra_sections(main.data, model, SHOWN_BY_KIND.get(main.kind, frozenset())),
             model_section(model, ids),
             assumptions_section(parts), provenance_section(parts)]
    if folder.others:
        files = ", ".join(p.path.name if p.path else p.kind for p in folder.others)
        body.append(f'<p class="note">The folder also holds {e(files)} of another model, not'
                    " shown here.</p>")
    return document(f"{name}: tarvo report", "".join(body))


def _model_of(part) -> dict:
    if part.kind == "sweep":
        return part.result.reference.model
    return part.data.get("model") or part.result.model


def _provenance(part) -> dict:
    found = part.data.get("provenance")
    return found if isinstance(found, dict) else {}


def answer(folder) -> str:
    """One paragraph: the mean unavailability with its interval, failures a year, the worst
    contributor (from an importance study of the same model, when the folder holds one)."""
    part = folder.parts[0]
    model = _model_of(part)
    unit, horizon = str(model["study"]["time_unit"]), int(model["study"]["horizon"])
    name = str(model["study"]["name"])
    if part.kind in ("run", "markov"):
        mean, downtime = part.data["mean_unavailability"], part.data["expected_downtime"]
    elif part.kind == "importance":
        mean, downtime = part.data["system"]["mean_unavailability"], \
            part.data["system"]["expected_downtime"]
    else:
        mean = part.data["values"][0]["mean_unavailability"]
        downtime = part.data["values"][0]["expected_downtime"]
    how = ("exactly" if part.kind == "markov" else
           f"(95 % interval {number(mean.get('low'), '%')} to {number(mean.get('high'), '%')})")
    sentences = [f"Over {horizon:,} {e(unit)}, {e(name)} is down {number(measure_value(mean), '%')}"
                 f" of the time {how}: {number(measure_value(downtime), unit)} in all."]
    frequency = part.data.get("failure_frequency")
    if is_measure(frequency):
        value = measure_value(frequency)
        bounds = interval(frequency)
        a_year = ""
        if unit in HOURS and value is not None:
            a_year = f", {number(value * YEAR_HOURS / horizon)} a year"
        sentences.append(f"It fails {number(value)} times over the horizon"
                         f"{' ' + bounds if bounds and bounds != 'exact' else ''}{a_year}.")
    importance = folder.part("importance")
    if importance is not None:
        rows = [r for r in importance.data.get("table", []) if r.get("kind") == "component"]
        if rows:
            top = rows[0]
            sentences.append(
                f"The worst contributor is {e(top['name'])}: if it never failed,"
                f" {number(measure_value(top['downtime']), unit)}"
                f" {interval(top['downtime'], unit)} of downtime would go.")
    else:
        sentences.append("Which part contributes most is what <code>tarvo importance</code>"
                         " ranks; this folder holds no importance study.")
    sweep = folder.part("sweep")
    if sweep is not None and len(sweep.data["values"]) > 1:
        best = min(sweep.data["values"][1:],
                   key=lambda v: measure_value(v["difference"]) or 0.0)
        sentences.append(f"Of the values of {e(sweep.data['parameter'])} tried,"
                         f" {e(best['value'])} changes the mean unavailability most, by"
                         f" {_points(measure_value(best['difference']))}.")
    return " ".join(sentences)


def _points_interval(data: dict) -> str:
    if data.get("low") is None or data.get("high") is None:
        return ""
    return f"[{100 * data['low']:+,.4g}, {100 * data['high']:+,.4g}]"


def _points(value: float | None) -> str:
    return "undefined" if value is None else f"{100 * value:+,.4g} percentage points"


# --- Runs and Markov answers ----------------------------------------------------------------

EXPLAINED = (
    ("mean_unavailability", "Mean unavailability over the horizon", "%",
     "the fraction of the horizon the system is down, averaged over histories"),
    ("expected_downtime", "Expected downtime", "unit", "that mean times the horizon"),
    ("failure_frequency", "System failures over the horizon", "",
     "the expected number of entries into the failed state (a history failed from its start"
     " counts one)"),
    ("reliability", "Reliability", "%", "the chance of no system failure over the horizon"),
    ("mean_down_time", "Mean down time per failure", "unit",
     "the total downtime over the number of failures"),
    ("mean_up_time", "Mean up time between failures", "unit",
     "the total uptime over the number of failures"),
)
QUANTILES = (("p50", "median"), ("p90", "90th percentile"), ("p99", "99th percentile"))


def measures(data: dict, unit: str, horizon: int) -> list[tuple[str, float | None, str, str,
                                                                  str, str]]:
    """Every figure of report.txt found in `data`: (title, value, unit shown, key, interval,
    meaning)."""
    found = []
    for key, title, kind, meaning in EXPLAINED:
        if is_measure(data.get(key)):
            shown = "%" if kind == "%" else (unit if kind == "unit" else "")
            found.append((title, measure_value(data[key]), shown, key,
                          interval(data[key], shown), meaning))
    quantiles = data.get("downtime_quantiles")
    if isinstance(quantiles, dict):
        for key, title in QUANTILES:
            if is_measure(quantiles.get(key)):
                found.append((f"A history's downtime, {title}", measure_value(quantiles[key]),
                              unit, f"downtime_quantiles.{key}", interval(quantiles[key], unit),
                              f"{title} of the downtime of one history over {horizon:,} {unit}:"
                              " how much downtime a bad one brings"))
    mttf = data.get("mean_time_to_failure", False)
    if mttf is not False:
        found.append(("Mean time to the first system failure",
                      float("inf") if mttf is None else float(mttf), unit,
                      "mean_time_to_failure", "exact", "from the start, all working"))
    steady = data.get("steady_state")
    if isinstance(steady, dict) and isinstance(steady.get("unavailability"), (int, float)):
        found.append(("Unavailability in the long run", float(steady["unavailability"]), "%",
                      "steady_state.unavailability", "exact", "from the chain's steady state"))
    return found


def measure_rows(data: dict, unit: str, horizon: int) -> list[list[str]]:
    """Every figure of report.txt as a table row: its name with what it means below, its
    value and its interval (three columns read on a phone too)."""
    return [[f'{e(title)}<span class="meaning">{e(meaning)}</span>', cell(value, shown, key),
             f'<td class="interval">{e(bounds)}</td>'] for title, value, shown, key, bounds,
            meaning in measures(data, unit, horizon)]


def run_section(part, ids: Counter) -> str:
    result, data = part.result, part.data
    unit, horizon = result.time_unit, result.horizon
    rows = measure_rows(data, unit, horizon)
    if part.kind == "run":
        last = result.at(horizon - 1)
        meaning = (f"the fraction of {unit} {horizon - 1:,} the system was down; Wilson"
                   " interval, n = histories")
        bounds = interval(vars(last) | {"value": last.estimate}, "%")
        rows.append([f'{e(f"Unavailability during the last {unit}")}'
                     f'<span class="meaning">{e(meaning)}</span>',
                     cell(last.estimate, "%", "last_unit"),
                     f'<td class="interval">{e(bounds)}</td>'])
        how = (f"95 % intervals from the {result.histories:,} independent histories"
               if result.distributions is not None else
               f"95 % intervals by batch means over {len(result.batches)} sub-batches")
    else:
        how = "Exact figures of the model's continuous-time Markov chain"
    notes = []
    if data.get("interrupted"):
        notes.append("Interrupted: the figures cover the sub-batches that finished.")
    if data.get("precision") is not None:
        notes.append(f"Precision target ±{100 * float(data['precision']):g} %:"
                     f" {'met' if data.get('precision_met') else 'not met'}.")
    html = ['<section id="figures"><h2>Figures</h2>',
            table(("figure and what it means", "value", "95 % interval"), rows,
                  caption=f"{how}."),
            *(f'<p class="note">{e(n)}</p>' for n in notes), "</section>",
            '<section id="pictures"><h2>Pictures</h2>', *run_figures(part, ids), "</section>"]
    return "".join(html)


def run_figures(part, ids: Counter, inches=(6.4, 3.8)) -> list[str]:
    """The curve, a window at its start, the reliability and the downtime histogram, each a
    figure of its own (they reflow on a narrow screen)."""
    from .figures import fit_sides, new_figure, svg_text
    from .plots import (draw_downtime_histogram, draw_mean_line, draw_reliability,
                        draw_unavailability, log_scale_helps, points, zoom_reason, zoom_window)

    result = part.result
    unit, horizon, name = result.time_unit, result.horizon, result.name
    out = []

    def add(draw, title: str, caption: str, legend: bool = True) -> None:
        # Margins set by hand: a layout engine would measure every text several times.
        fig = new_figure(inches)
        axes = fig.add_axes((0.13, 0.38 if legend else 0.16, 0.84, 0.53 if legend else 0.75))
        with points(PAGE_POINTS):
            draw(axes)
        if legend:
            axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=1, fontsize=8.5,
                        frameon=False)
        fit_sides(fig, axes)
        out.append(figure(svg_text(fig, title, caption, ids.next()), caption))

    mean = result.mean()
    window = zoom_window(result.model)
    if part.kind == "markov":
        from .markov_views import draw_markov_window
        from .plots import _aggregated, draw_reliability_curve

        def whole(axes):
            draw_markov_window(axes, result, horizon, log_scale_helps(result.unavailability))

        def start(axes):
            draw_markov_window(axes, result, window, False)

        def reliability(axes):
            edges, (share,) = _aggregated(horizon, result.answer.reliability, how="last")
            draw_reliability_curve(axes, edges, share, unit, label="exact reliability")
    else:
        def whole(axes):
            draw_unavailability(axes, result, horizon, log_scale_helps(result.unavailability))
            draw_mean_line(axes, mean)

        def start(axes):
            draw_unavailability(axes, result, window, False)
            draw_mean_line(axes, mean)

        def reliability(axes):
            draw_reliability(axes, result)

    exact = part.kind == "markov"
    add(whole, f"Unavailability of {name} over {horizon:,} {unit}",
        f"Unavailability during each {unit} over the whole horizon"
        f"{'' if exact else ' with its pointwise 95 % interval'}, the mean over the horizon"
        f" dashed{' and the long run dotted' if exact else ''}.")
    reason = zoom_reason(result.model)
    add(start, f"The first {window:,} {unit}",
        f"The first {window:,} {unit}{reason}, on a linear scale: the start-up"
        f"{' and the cycles of the periodic tests show' if reason else ' shows'} here.")
    if exact or result.distributions is not None:
        add(reliability, "Reliability over time",
            "The chance of no system failure by each time"
            f"{'' if exact else ', with its 95 % Wilson band'}.", legend=False)
    if not exact and result.distributions is not None:
        add(lambda axes: draw_downtime_histogram(axes, result),
            "Distribution of a history's downtime",
            f"Histogram of the downtime of one history over {horizon:,} {unit} (log scale),"
            " with its median, 90th and 99th percentiles.", legend=False)
    return out


# --- Importance and sweep -------------------------------------------------------------------


def importance_section(part, ids: Counter) -> str:
    from .figures import importance_figure, svg_text

    result, data = part.result, part.data
    unit, horizon = result.time_unit, result.horizon
    rows = []
    for row in data["table"]:
        share = row.get("share")
        rows.append([e(row["kind"]), e(row["name"]), f'<td class="number">{e(row["rank"])}</td>',
                     cell(measure_value(share), "%", "share") if share else "<td>-</td>",
                     f"<td>{e(interval(share, '%'))}</td>" if share else "<td></td>",
                     cell(measure_value(row["downtime"]), unit, "downtime"),
                     f"<td>{e(interval(row['downtime'], unit))}</td>"])
    caption = ("Share: the fraction of the system's downtime during which it was failed too"
               " (Fussell-Vesely). Reduction: the downtime that would go if it could not occur"
               f" (cut set) or never failed (component, common-cause group), in {unit} per"
               f" {horizon:,} {unit}.")
    fig = importance_figure(result, 5)
    return ('<section id="importance"><h2>What matters: importance</h2>'
            f'<p>{len(data.get("logics", []))} runs on the same {result.histories:,} histories,'
            " one per derived logic.</p>"
            + table(("kind", "name", "rank", "share", "95 % interval", f"reduction ({unit})",
                     "95 % interval"), rows, caption=caption, row_headings=False)
            + figure(svg_text(fig, "Importance over time",
                              "Shares and reductions over time of the top five cut sets,"
                              " components and common-cause groups.", ids.next()),
                     "Left: each one's share of the system's downtime over time; right: the"
                     " unavailability that would go without it, with the system's dashed."
                     " Curves that coincide are drawn once under both names.")
            + "</section>")


def sweep_section(part, ids: Counter) -> str:
    from .figures import svg_text, sweep_figure

    result, data = part.result, part.data
    unit = result.reference.time_unit
    rows = []
    for index, entry in enumerate(data["values"]):
        difference = entry["difference"]
        rows.append([e(entry["value"]),
                     cell(measure_value(entry["mean_unavailability"]), "%", "mean_unavailability"),
                     f"<td>{e(interval(entry['mean_unavailability'], '%'))}</td>",
                     cell(measure_value(entry["expected_downtime"]), unit, "expected_downtime"),
                     "<td>(reference)</td>" if index == 0 else
                     f'<td class="number">{e(_points(measure_value(difference)))}'
                     f" {e(_points_interval(difference))}</td>"])
    fig = sweep_figure(result)
    return ('<section id="sweep"><h2>Sensitivity: a sweep of'
            f" <code>{e(data['parameter'])}</code></h2>"
            + table(("value", "mean unavailability", "95 % interval", "expected downtime",
                     "paired difference from the first"), rows,
                    caption="Every value on the same seeds; a difference pairs the sub-batches"
                            " of its value with the reference's.")
            + figure(svg_text(fig, f"Sweep of {data['parameter']}",
                              "Mean unavailability per value, paired differences and their"
                              " course over time.", ids.next()),
                     "Above: the mean unavailability per value (axis from 0) and the paired"
                     " differences beside the intervals independent seeds would give; below:"
                     " each value's difference from the reference over time.")
            + "</section>")


SECTIONS = {"run": run_section, "markov": run_section, "importance": importance_section,
            "sweep": sweep_section}


# --- Sections drawn from their structure ----------------------------------------------------


def extra_sections(data: dict, model: dict, shown: frozenset = frozenset()) -> str:
    """A section for every key of results.json this page does not know (the calendar's, the
    capacity's, the logistics' ...), drawn from its structure."""
    unknown = [k for k in data if k not in KNOWN_KEYS and k not in shown]
    ordered = [k for k in SECTION_ORDER if k in unknown] + sorted(
        k for k in unknown if k not in SECTION_ORDER)
    return "".join(f'<section id="{e(_anchor(key))}"><h2>{e(_title(key))}</h2>'
                   f"{structure(_priced_only(data[key], model) if key == 'costs' else data[key], 3)}"
                   "</section>" for key in ordered)


def _priced_only(costs: dict, model: dict) -> dict:
    """The costs without the kinds the model puts no price on (0 in every history); any other
    shape as it is."""
    if not isinstance(costs, dict) or not isinstance(costs.get("by_kind"), dict):
        return costs
    priced = set(priced_kinds(model))
    return {**costs, "by_kind": {kind: value for kind, value in costs.get("by_kind", {}).items()
                                 if kind in priced}}


def _anchor(key: str) -> str:
    return "more-" + "".join(c if c.isalnum() else "-" for c in key)


def _title(key: str) -> str:
    words = str(key).replace("_", " ").strip()
    return words[:1].upper() + words[1:]


def structure(value: Any, level: int) -> str:
    """Any JSON value as HTML: a measure as its value and interval, a dict of plain values or
    measures as a table of two columns, a list of dicts as a table, nested dicts as headed
    subsections (down to h4, then as tables)."""
    if is_measure(value):
        return table(("value", "95 % interval"),
                     [[cell(measure_value(value), ""), _interval_cell(value)]],
                     row_headings=False)
    if isinstance(value, dict):
        plain = {k: v for k, v in value.items() if _is_plain(v)}
        nested = {k: v for k, v in value.items() if k not in plain}
        html = ""
        if plain:
            html += table(("item", "value", "95 % interval"),
                          ([e(_title(k)), _value_cell(v, str(k)), _interval_cell(v)]
                           for k, v in plain.items()))
        for key, inner in nested.items():
            if level <= 4:
                html += f"<h{level}>{e(_title(key))}</h{level}>{structure(inner, level + 1)}"
            else:
                html += f"<p><strong>{e(_title(key))}</strong>: {e(_compact(inner))}</p>"
        return html or "<p>(empty)</p>"
    if isinstance(value, list) and value and all(isinstance(v, dict) for v in value):
        headings = list(dict.fromkeys(k for row in value for k in row))
        return table([_title(h) for h in headings],
                     ([_value_cell(row.get(h), str(h), with_interval=True) for h in headings]
                      for row in value), row_headings=False)
    return f"<p>{e(_compact(value))}</p>"


def _is_plain(value: Any) -> bool:
    return value is None or isinstance(value, (str, int, float, bool)) or is_measure(value) \
        or (isinstance(value, list) and all(not isinstance(v, (dict, list)) for v in value))


def _value_cell(value: Any, key: str, with_interval: bool = False) -> str:
    if is_measure(value):
        shown = cell(measure_value(value), "", key)
        bounds = interval(value) if with_interval else ""
        return shown[:-5] + (f" {e(bounds)}</td>" if bounds else "</td>")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return cell(float(value), "", key)
    return f"<td>{e(_compact(value))}</td>"


def _interval_cell(value: Any) -> str:
    return f"<td>{e(interval(value))}</td>" if is_measure(value) else "<td></td>"


def _compact(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return number(value)
    if isinstance(value, list):
        if len(value) > 12:
            return f"{len(value):,} values ({_compact(value[0])} ... {_compact(value[-1])})"
        return ", ".join(_compact(v) for v in value)
    if isinstance(value, dict):
        if is_measure(value):
            return f"{number(measure_value(value))} {interval(value)}".strip()
        return "; ".join(f"{_title(k)}: {_compact(v)}" for k, v in value.items())
    return str(value)


# --- The model in plain words ---------------------------------------------------------------


def model_section(model: dict, ids: Counter) -> str:
    unit = str(model["study"]["time_unit"])
    rows = []
    for names, component in _grouped_components(model["components"]):
        states = component.get("states", ["working", "failed"])
        lines = [transition_text(t, states, unit) for t in component.get("transitions", [])]
        standby = component.get("standby")
        if isinstance(standby, dict):
            lines.append(standby_text(standby, unit))
        rows.append([e(", ".join(names)), e(", ".join(states)),
                     "<ul>" + "".join(f"<li>{e(line)}</li>" for line in lines) + "</ul>"])
    study = model["study"]
    parts = ['<section id="model"><h2>The model</h2>',
             f"<p>Horizon {int(study['horizon']):,} {e(unit)}; the engine works in steps of"
             f" 1/{int(study['resolution'])} {e(unit)}. Every component starts in its first"
             " state, working; every other state counts as down.</p>",
             "<h3>Components</h3>",
             table(("component", "states", "what happens"), rows,
                   caption="Each component and its transitions, laws written out.")]
    dependencies = dependency_lines(model, unit)
    parts.append("<h3>Dependencies</h3>")
    parts.append("<ul>" + "".join(f"<li>{e(line)}</li>" for line in dependencies) + "</ul>"
                 if dependencies else "<p>None: the components fail and are repaired"
                 " independently of each other.</p>")
    other = {k: v for k, v in model.items()
             if k not in ("study", "components", "system", "common_cause", "crews", "sweep")}
    for key, value in other.items():
        parts.append(f"<h3>{e(_title(key))}</h3>{structure(value, 4)}")
    cut_sets = model["system"]["cut_sets"]
    parts.append("<h3>The logic</h3>")
    parts.append(figure(logic_diagram(cut_sets, ids.next()),
                        f"The system fails when every component of one of its"
                        f" {len(cut_sets):,} minimal cut sets is down."))
    parts.append("</section>")
    return "".join(parts)


def _grouped_components(components: dict) -> list[tuple[list[str], dict]]:
    """Units of one template (pump[1], pump[2]) with the same description, shown once."""
    groups: list[tuple[list[str], dict]] = []
    for name, component in components.items():
        base = str(name).split("[", 1)[0]
        if groups and groups[-1][1] == component and \
                str(groups[-1][0][0]).split("[", 1)[0] == base and "[" in str(name):
            groups[-1][0].append(name)
        else:
            groups.append(([name], component))
    return groups


def transition_text(transition: dict, states: Sequence[str], unit: str) -> str:
    source, target = transition.get("from"), transition.get("to")
    law = law_text(transition, unit)
    if source == states[0] and target == (states[1] if len(states) > 1 else None):
        return f"fails after {law}"
    if target == states[0] and source != states[0]:
        return f"is back to {target} from {source} after {law}" if len(states) > 2 \
            else f"is repaired in {law}"
    return f"goes from {source} to {target} after {law}"


def law_text(table: dict, unit: str) -> str:
    """A law written out: 'a Weibull time, scale 4,000 h, shape 1.8 (mean 3,557 h)'."""
    name = table.get("law")
    u = f" {unit}"
    try:
        if name == "Exponential":
            mean = float(table["mean"]) if "mean" in table else 1.0 / float(table["rate"])
            return f"an Exponential time, mean {number(mean)}{u}"
        if name == "Weibull":
            scale, shape = float(table["scale"]), float(table["shape"])
            return (f"a Weibull time, scale {number(scale)}{u}, shape {number(shape)}"
                    f" (mean {number(scale * math.gamma(1 + 1 / shape))}{u})")
        if name == "Normal":
            return f"a Normal time, mean {number(float(table['mean']))}{u}, standard deviation" \
                   f" {number(float(table['sd']))}{u}"
        if name == "Uniform":
            low, high = float(table["low"]), float(table["high"])
            return f"a time uniform between {number(low)} and {number(high)}{u}" \
                   f" (mean {number((low + high) / 2)}{u})"
        if name == "Inspection":
            return f"the next periodic inspection (one every {number(float(table['period']))}{u})"
        if name == "Maintenance":
            durations = [float(d) for d in table["durations"]]
            listed = ", ".join(number(d) for d in durations[:-1])
            listed = f"{listed} or {number(durations[-1])}" if listed else number(durations[-1])
            return f"{listed}{u}, one drawn at random (mean" \
                   f" {number(sum(durations) / len(durations))}{u})"
        if name == "InstantaneousFailure":
            return f"exactly {number(float(table['at']))}{u} from the start"
    except (KeyError, TypeError, ValueError, ZeroDivisionError):
        pass
    parameters = ", ".join(f"{k} {_compact(v)}" for k, v in table.items()
                           if k not in ("law", "from", "to"))
    return f"a {name} time ({parameters})"


def standby_text(standby: dict, unit: str) -> str:
    covers = ", ".join(map(str, standby.get("covers", [])))
    dormant = standby.get("dormant")
    text = f"waits in standby for {covers}; fails to start with probability" \
           f" {_compact(standby.get('start_failure', 0))}"
    return text + (f"; fails while waiting after {law_text(dormant, unit)}"
                   if isinstance(dormant, dict) else "; does not fail while waiting")


def dependency_lines(model: dict, unit: str) -> list[str]:
    lines = []
    for name, group in (model.get("common_cause") or {}).items():
        members = ", ".join(map(str, group.get("members", [])))
        if group.get("shock"):
            how = f"shocks come after {law_text(group['shock'], unit)}"
        else:
            how = f"a share beta = {_compact(group.get('beta'))} of each member's failures strikes them all"
        lines.append(f"Common-cause group {name} over {members}: {how}.")
    for name, component in model["components"].items():
        if isinstance(component.get("standby"), dict):
            lines.append(f"{name} {standby_text(component['standby'], unit)}.")
    for name, pool in (model.get("crews") or {}).items():
        order = ("first failed, first served" if pool.get("order", "first_failed") ==
                 "first_failed" else "in the listed order")
        lines.append(f"Crew pool {name}: {_compact(pool.get('count'))} crew(s) repair"
                     f" {', '.join(map(str, pool.get('repairs', [])))}, {order}; a member waits,"
                     " down, for a free crew.")
    return lines


# --- Assumptions and provenance -------------------------------------------------------------


def assumptions_section(parts) -> str:
    model = _model_of(parts[0])
    unit, resolution = str(model["study"]["time_unit"]), int(model["study"]["resolution"])
    items = [
        f"Resolution: the engine counts whole steps of 1/{resolution} {e(unit)}; a delay is"
        f" truncated to a whole step, on average 1/{2 * resolution} {e(unit)}"
        f" ({number(1 / (2 * resolution))} {e(unit)}) short, so figures made of many short"
        " delays are slightly optimistic.",
        "What counts as down: a component in any state but its first; a standby unit waiting"
        " counts as working. The system is down while every component of one minimal cut set"
        " is down.",
        "Intervals are 95 %. Where nothing failed, the upper bound is that of an event none of"
        " the histories showed (about 3 / histories), not 0.",
    ]
    for part in parts:
        seeds = part.data.get("seeds")
        if part.kind == "markov":
            items.append("The Markov answer is exact (no seeds): it holds when every law is"
                         " Exponential, which the command checked.")
        elif seeds:
            ranges = ", ".join(f"{a}..{b}" for a, b in seeds)
            items.append(f"Seeds of the {e(part.kind)}: {e(ranges)}. History i of a run with"
                         " seed S uses seed S + i: runs whose seed ranges overlap share"
                         " histories.")
            if part.data.get("seeded") is False:
                items.append("Maintenance durations came from a generator shared by the"
                             " process: the run is not reproducible bit for bit.")
    return ('<section id="assumptions"><h2>Assumptions</h2><ul>'
            + "".join(f"<li>{item}</li>" for item in items) + "</ul></section>")


def provenance_rows(part) -> list[tuple[str, str]]:
    """(what, value) of where a part comes from; values are plain text, escaped when shown."""
    data, given = part.data, _provenance(part)
    model = _model_of(part)
    ident = data.get("id") or given.get("id")
    if ident is None:
        from ..data.result import study_id

        ident = study_id(model)
    histories = data.get("histories")
    seeds = data.get("seeds")
    rows = [
        ("Written by", given.get("command") or "(not recorded)"),
        ("Model file", data.get("model_path") or given.get("model_path") or "(not recorded)"),
        ("Model file SHA-256", given.get("model_sha256") or "(not recorded)"),
        ("Result id", str(ident)),
        ("tarvo version", data.get("version") or given.get("version") or "(not recorded)"),
        ("Date", data.get("created") or given.get("created") or "(not recorded)"),
        ("Histories", f"{histories:,}" if isinstance(histories, int) else "none (exact)"),
        ("Seeds", ", ".join(f"{a}..{b}" for a, b in seeds) if seeds else "none"),
        ("Threads per runner call", str(data.get("threads") or given.get("threads") or "-")),
        ("Seconds", number(float(data["seconds"])) if isinstance(data.get("seconds"),
                                                                 (int, float)) else "-"),
        ("Files", ", ".join(given.get("files", [])) or (str(part.path.name) if part.path
                                                         else "-")),
    ]
    if part.kind == "sweep":
        rows.insert(6, ("Sweep", f"{data['parameter']} = "
                        + ", ".join(str(v["value"]) for v in data["values"])))
    return rows


def provenance_section(parts) -> str:
    html = ['<section id="provenance"><h2>Provenance</h2>']
    for part in parts:
        html.append(f"<h3>The {e(part.kind)}</h3>")
        html.append(table(("item", "value"), ([e(k), f"<td><code>{e(v)}</code></td>"]
                                              for k, v in provenance_rows(part))))
    html.append("</section>")
    return "".join(html)


# --- Comparing folders ----------------------------------------------------------------------


def comparison_page(folders: Sequence) -> str:
    """One page comparing the main results (a run's or a Markov answer's) of several folders:
    their figures side by side, their curves on one plot, each one's pictures in a column."""
    parts = [folder.parts[0] for folder in folders]
    ids = Counter()
    names = [str(_model_of(p)["study"]["name"]) for p in parts]
    labels = [f"{folder.path.name or folder.path} ({part.kind})"
              for folder, part in zip(folders, parts)]
    title = "Comparison: " + " / ".join(dict.fromkeys(names))
    body = [f"<h1>{e(title)}</h1>",
            f'<p class="kind">{e(len(parts))} results compared by tarvo</p>']
    body.append('<section id="answer"><h2>The answers</h2>'
                + "".join(f'<p class="answer"><strong>{e(label)}</strong>:'
                          f" {answer(folder)}</p>" for label, folder in zip(labels, folders))
                + "</section>")
    rows: dict[str, list[str]] = {}
    for index, part in enumerate(parts):
        if part.kind not in ("run", "markov"):
            continue
        unit = part.result.time_unit
        for title, value, shown, key, bounds, _ in measures(part.data, unit,
                                                             part.result.horizon):
            exact = "" if value is None else f' data-value="{e(repr(float(value)))}"'
            rows.setdefault(e(title), [""] * len(parts))[index] = (
                f'<td class="number" data-key="{e(key)}"{exact}>{e(number(value, shown))}'
                f" {e(bounds)}</td>")
    body.append('<section id="figures"><h2>Figures side by side</h2>'
                + table(("figure", *labels),
                        ([k, *(v or "<td>-</td>" for v in values)] for k, values in rows.items()),
                        caption="Each figure with its 95 % interval (exact ones have none).")
                + "</section>")
    body.append('<section id="pictures"><h2>Pictures</h2>')
    curves = [p for p in parts if p.kind in ("run", "markov")]
    if curves:
        body.append(figure(_overlay(curves, labels, ids),
                           "The unavailability curves on one plot: " + ", ".join(labels) + "."))
    body.append('<div class="columns">')
    for label, part in zip(labels, parts):
        body.append(f"<div><h3>{e(label)}</h3>")
        if part.kind in ("run", "markov"):
            body += run_figures(part, ids, inches=(4.6, 3.0))
        body.append("</div>")
    body.append("</div></section>")
    body.append(model_section(_model_of(parts[0]), ids))
    body.append(assumptions_section(parts))
    body.append(provenance_section(parts))
    return document(title, "".join(body))


def _overlay(parts, labels: Sequence[str], ids: Counter) -> str:
    from .figures import fit_sides, new_figure, svg_text
    from .plots import (STYLES, _aggregated, binned_unavailability, draw_curve,
                        log_scale_helps)

    fig = new_figure((7.5, 3.6))
    axes = fig.add_axes((0.12, 0.3, 0.85, 0.6))
    log_scale = any(log_scale_helps(p.result.unavailability) for p in parts)
    floor = None
    positives = [p.result.unavailability[p.result.unavailability > 0] for p in parts]
    import numpy as np

    lows = [float(np.quantile(v, 0.005)) for v in positives if v.size]
    if log_scale and lows:
        floor = 10 ** np.floor(np.log10(min(lows)))
    colours = ("#1f4e99", "#b8321a", "#2a7a3b", "#6a4c93")
    for index, (part, label) in enumerate(zip(parts, labels)):
        result = part.result
        if part.kind == "markov":
            edges, (curve,) = _aggregated(result.horizon, result.unavailability)
            band = None
        else:
            edges, curve, band = binned_unavailability(result, result.horizon)
        draw_curve(axes, edges, curve, result.time_unit, log_scale, label,
                   band=band, colour=colours[index % len(colours)],
                   style=STYLES[index % len(STYLES)], floor=floor)
    # Room for every curve and band: each drawing set the axis for its own.
    if not log_scale:
        top = max(float(np.max(p.result.band()[1] if p.kind == "run" else p.result.unavailability))
                  for p in parts)
        axes.set_ylim(0, 1.1 * top)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.22), ncol=2, fontsize=7,
                frameon=False)
    fit_sides(fig, axes)
    return svg_text(fig, "The unavailability curves on one plot", ", ".join(labels), ids.next())
