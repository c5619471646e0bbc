"""A fault tree from the field: SCRAM's minimal cut sets, simulated by tarvo, against SCRAM's exact
probabilities.

The fault tree is one that the probabilistic risk analysis tool SCRAM ships in the Open-PSA Model
Exchange Format (by default the 25-event "Chinese" benchmark tree). SCRAM computes its minimal cut
sets and, with a Binary Decision Diagram, the exact probability of the top event over time. Every
basic event gets an Exponential failure law without repair: its shipped probability p is read as
the probability of failing within a reference time of 1000 h, so lam = -ln(1 - p) / 1000 h.
tarvo's study layer reads the same tree (SCRAM reduces it to the same cut sets) and simulates it.

The study runs at resolution 1 (one engine step per hour), where the engine fails a component
from the whole hour floor(X) of its failure time X on: the unavailability of hour t - 1 is then
exactly the probability that X < t, and it is compared with SCRAM's value at time t.
"""

from __future__ import annotations

import math
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import tarvo

from example_options import parse_run_options, run_options
from tarvokit import Model, Result
from tarvokit.model.errors import Where
from tarvokit.model.logic import scram_report
from tarvokit.studies.options import DEFAULT_BATCHES
from tarvokit.views.text import interval_text
from tarvokit.data.stats import Interval

SCRAM_INPUTS = Path("/usr/share/scram/input")
DEFAULT_TREE = SCRAM_INPUTS / "Chinese" / "chinese.xml"
DEFAULT_EVENTS = SCRAM_INPUTS / "Chinese" / "chinese-basic-events.xml"
REFERENCE_HOURS = 1000.0
MISSION_HOURS = 8760
TIME_STEP_HOURS = 2190


@dataclass(frozen=True)
class ScramAnalysis:
    version: str
    gates: int
    cut_sets: list[frozenset[str]]  # minimal cut sets, by basic-event name
    probability_at: dict[int, float]  # top-event probability at whole hours, mission time included


def shipped_probabilities(events_file: Path) -> dict[str, float]:
    """The constant probability of every basic event defined in an Open-PSA model file."""
    probabilities = {}
    for event in ElementTree.parse(events_file).getroot().iter("define-basic-event"):
        value = event.find("float")
        if value is None:
            raise ValueError(f"{events_file}: basic event {event.get('name')} has no constant"
                             " probability (<float value=...>)")
        probabilities[event.get("name")] = float(value.get("value"))
    if not probabilities:
        raise ValueError(f"{events_file} defines no basic events")
    return probabilities


def failure_rates(probabilities: dict[str, float]) -> dict[str, float]:
    """Per-hour Exponential rates that fail with probability p within the reference time."""
    return {name: -math.log1p(-p) / REFERENCE_HOURS for name, p in probabilities.items()}


def exponential_events_xml(rates: dict[str, float]) -> str:
    """Open-PSA model data giving every basic event an Exponential law over the mission time."""
    events = "\n".join(
        f'    <define-basic-event name="{name}"><exponential><float value="{rate!r}"/>'
        "<system-mission-time/></exponential></define-basic-event>"
        for name, rate in rates.items())
    return ('<?xml version="1.0"?>\n<opsa-mef>\n  <model-data>\n'
            f"{events}\n  </model-data>\n</opsa-mef>\n")


def run_scram(tree_file: Path, rates: dict[str, float], mission_hours: int,
              step_hours: int) -> ScramAnalysis:
    """Minimal cut sets and exact (BDD) top-event probabilities from the `scram` program."""
    report = scram_report([tree_file, exponential_events_xml(rates)],
                          ["--probability", "true", "--mission-time", str(mission_hours),
                           "--time-step", str(step_hours)], Where(str(tree_file)))
    return parse_scram_report(report, mission_hours)


def parse_scram_report(report: ElementTree.Element, mission_hours: int) -> ScramAnalysis:
    products = report.find("results/sum-of-products")
    if products is None:
        raise ValueError("the SCRAM report has no sum-of-products")
    cut_sets = [frozenset(event.get("name") for event in product.iter("basic-event"))
                for product in products.findall("product")]
    probability_at = {round(float(point.get("X"))): float(point.get("Y"))
                      for point in report.iter("point")}
    probability_at[mission_hours] = float(products.get("probability"))
    return ScramAnalysis(version=report.find("information/software").get("version"),
                         gates=int(report.findtext("information/model-features/gates")),
                         cut_sets=cut_sets, probability_at=probability_at)


def indicator_vectors(cut_sets: list[frozenset[str]], events: list[str]) -> list[list[int]]:
    return [[1 if event in cut_set else 0 for event in events] for cut_set in cut_sets]


def tree_disagreements(tree: tarvo.CutsetTree, cut_sets: list[frozenset[str]],
                       events: list[str]) -> tuple[int, int]:
    """Checks the tree against the cut sets on the vectors where a lookup can go wrong.

    Every cut set must fail the system, and so must every cut set with one more failed event (a
    lookup that only followed the query's own path through the tree would miss many of these).
    Every cut set less one event works unless it still contains another cut set; no failure
    works and all failures fail. Returns the number of disagreements and of vectors tried.
    """
    queries = {frozenset(), frozenset(events)}
    for cut_set in cut_sets:
        queries.add(cut_set)
        queries.update(cut_set - {event} for event in cut_set)
        queries.update(cut_set | {event} for event in events if event not in cut_set)
    disagreements = 0
    for failed in queries:
        expected = any(cut_set <= failed for cut_set in cut_sets)
        vector = [1 if event in failed else 0 for event in events]
        if bool(tree.findNode(vector)) != expected:
            disagreements += 1
    return disagreements, len(queries)


def study_model(tree_file: Path, events: list[str], rates: dict[str, float],
                mission_hours: int) -> Model:
    """The fault tree as a study: every event a component failing by its rate, no repair."""
    return Model.from_dict({
        "study": {"name": tree_file.stem, "time_unit": "h", "horizon": mission_hours,
                  "resolution": 1},
        "components": {e: {"failure": {"law": "Exponential", "rate": rates[e]}} for e in events},
        "system": {"fault_tree": str(tree_file.resolve())},
    }, source=str(tree_file))


@dataclass(frozen=True)
class Agreement:
    hour: int  # SCRAM's time; the simulation's series entry is hour - 1
    scram: float
    simulated: Interval

    @property
    def deviation(self) -> float:
        """SCRAM's value from the simulated one, in the simulation's standard errors."""
        return self.simulated.deviation(self.scram)


@dataclass(frozen=True)
class FaultTreeCheck:
    events: list[str]
    rates: dict[str, float]
    scram: ScramAnalysis
    tree_disagreements: int
    tree_queries: int
    run: Result
    agreements: list[Agreement]


def check_fault_tree(tree_file: Path, events_file: Path, histories: int, seed: int,
                     mission_hours: int = MISSION_HOURS, step_hours: int = TIME_STEP_HOURS,
                     batches: int = DEFAULT_BATCHES, threads: int | None = None,
                     progress: bool = False) -> FaultTreeCheck:
    rates = failure_rates(shipped_probabilities(events_file))
    scram = run_scram(tree_file, rates, mission_hours, step_hours)
    events = sorted(set().union(*scram.cut_sets), key=_natural_key)
    model = study_model(tree_file, events, rates, mission_hours)
    if {frozenset(events[i] for i in s) for s in model.cut_sets} != set(scram.cut_sets):
        raise RuntimeError("the study layer read other cut sets than SCRAM computed")
    disagreements, queries = tree_disagreements(model.engine_tree(), scram.cut_sets, events)
    run = model.run(histories, seed, threads=threads, batches=batches, progress=progress)
    agreements = [Agreement(hour, p, run.at(hour - 1))
                  for hour, p in sorted(scram.probability_at.items()) if 0 < hour <= mission_hours]
    return FaultTreeCheck(events, rates, scram, disagreements, queries, run, agreements)


def _natural_key(name: str) -> tuple:
    """e2 before e10."""
    digits = "".join(c for c in name if c.isdigit())
    return (name.rstrip("0123456789"), int(digits) if digits else -1, name)


def report(check: FaultTreeCheck, tree_file: Path) -> str:
    scram, run = check.scram, check.run
    orders = sorted({len(c) for c in scram.cut_sets})
    rates = sorted(set(check.rates[e] for e in check.events))
    rate_text = (f"{rates[0]:.4g} per hour" if len(rates) == 1
                 else f"{rates[0]:.4g} to {rates[-1]:.4g} per hour")
    lines = [
        f"Fault tree {tree_file} ({len(check.events)} basic events, {scram.gates} gates)",
        f"  SCRAM {scram.version}, BDD: {len(scram.cut_sets)} minimal cut sets of order"
        f" {orders[0]} to {orders[-1]}",
        "  every basic event: Exponential failure, no repair; its shipped probability p is read"
        " as",
        f"  failing within {REFERENCE_HOURS:.0f} h, lam = -ln(1 - p) / {REFERENCE_HOURS:.0f} h:"
        f" {rate_text}",
        f"  the CutsetTree agrees with the cut sets on all {check.tree_queries:,} boundary vectors"
        if check.tree_disagreements == 0 else
        f"  WARNING: the CutsetTree disagrees with the cut sets on {check.tree_disagreements:,}"
        f" of {check.tree_queries:,} boundary vectors",
        f"Simulation: {run.histories:,} histories of {run.horizon} h (seeds {run.seeds_text()}) on"
        f" {run.threads} threads in {run.seconds:.2f} s",
        "Probability that the top event has occurred by time t",
        "(simulation: hour t - 1, with its 95% Wilson interval):",
        f"  {'t':>7}  {'SCRAM (exact)':>13}  {'simulated':<34} deviation",
    ]
    for a in check.agreements:
        lines.append(f"  {a.hour:>5} h  {100 * a.scram:>11.4f} %  {interval_text(a.simulated):<34}"
                     f" {a.deviation:+.1f} standard errors")
    inside = sum(a.simulated.contains(a.scram) for a in check.agreements)
    largest = max(abs(a.deviation) for a in check.agreements)
    lines.append(f"Agreement: SCRAM inside the 95% interval at {inside} of"
                 f" {len(check.agreements)} times; largest deviation {largest:.1f} standard"
                 " errors")
    return "\n".join(lines)


def parse_arguments(argv: list[str] | None):
    parser = run_options(__doc__.splitlines()[0], default_histories=1_000_000)
    parser.add_argument("--tree", type=Path, default=DEFAULT_TREE,
                        help=f"Open-PSA fault tree (default {DEFAULT_TREE})")
    parser.add_argument("--events", type=Path, default=DEFAULT_EVENTS,
                        help="Open-PSA basic events with constant probabilities"
                             f" (default {DEFAULT_EVENTS})")
    return parse_run_options(parser, argv)


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    check = check_fault_tree(arguments.tree, arguments.events, arguments.histories,
                             arguments.seed, batches=arguments.batches,
                             threads=arguments.threads, progress=True)
    print(report(check, arguments.tree))
    return 0 if check.tree_disagreements == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
