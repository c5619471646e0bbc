"""The `tarvo` command: `tarvo run|check|importance|sweep MODEL.toml`.

A thin consumer of the API: it loads the model, runs it, and writes the result's views. Exit
codes: 0 done, 2 invalid input (one line on standard error, no traceback, no file written),
130 interrupted (no file written).
"""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import NoReturn, Sequence

from . import __version__
from .cluster import CONNECT_TIMEOUT_SECONDS, ClusterError, client_for
from .errors import ModelError
from .model import Model, load
from .output import atomic_write_text
from .planner import StudyInterrupted
from .report import model_text
from .sweep import Sweep, parse_sweep_option

EXIT_DONE, EXIT_INVALID, EXIT_INTERRUPTED = 0, 2, 130
OUTPUT_FILES = ("report.txt", "results.json", "curve.csv", "plot.png")
IMPORTANCE_FILES = ("importance.txt", "importance.json", "importance.csv", "importance.png")
SWEEP_FILES = ("sweep.txt", "sweep.json", "sweep.csv", "sweep.png")

EXAMPLES = """examples:
  tarvo check examples/cooling_water_loop.toml
  tarvo run examples/cooling_water_loop.toml --histories 200000 --seed 7 --out out/loop
  tarvo run examples/cooling_water_loop.toml --precision 0.02 --max-histories 2000000
  tarvo importance examples/cooling_water_loop.toml --histories 20000 --top 3
  tarvo sweep examples/cooling_water_loop.toml --sweep components.pump.repair.mean=36,24,12

History i of a run with seed S uses seed S + i: runs whose seeds are closer than their history
counts share histories. The report states the seeds used."""


class _InvalidInput(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, exit 2
        raise _InvalidInput(message)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text}")
    return value


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="tarvo", description="Availability studies of repairable systems by"
                   " Monte Carlo simulation.", epilog=EXAMPLES,
                   formatter_class=argparse.RawDescriptionHelpFormatter)
    main.add_argument("--version", action="version", version=f"tarvo {__version__}")
    verbs = main.add_subparsers(dest="verb", required=True,
                                metavar="{run,check,importance,sweep}", parser_class=_Parser)
    run = _study_parser(verbs, "run", "simulate a model and write the report, results and plot",
                        OUTPUT_FILES, "; with --precision, the first round")
    run.add_argument("--precision", type=float, default=None,
                     help="run until the 95%% interval of the mean is within +-X of it"
                          " (0.02 is +-2%%)")
    run.add_argument("--max-histories", type=_positive, default=None,
                     help="the most histories a --precision run may use (default 100 x --histories)")
    importance = _study_parser(verbs, "importance", "rank the cut sets and components by their"
                               " share of the downtime and what would go without them",
                               IMPORTANCE_FILES, ", on the same seeds for every derived logic")
    importance.add_argument("--top", type=_positive, default=5,
                            help="cut sets and components drawn in the plot, each (default 5);"
                                 " the table holds all")
    sweep = _study_parser(verbs, "sweep", "run a model for several values of one parameter, on"
                          " the same seeds", SWEEP_FILES, " per value")
    sweep.add_argument("--sweep", metavar="KEY=V1,V2,...", type=_sweep_option, default=None,
                       help="the parameter's key path in the model file and its values, the"
                            " first the reference (default: the file's [sweep] table)")
    check = verbs.add_parser("check", help="validate a model; print its components and minimal"
                             " cut sets", epilog=EXAMPLES,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("model", type=Path, help="the model file (TOML)")
    return main


def _study_parser(verbs, verb: str, summary: str, files: Sequence[str],
                  histories_note: str) -> argparse.ArgumentParser:
    """A verb that simulates: the options every study shares."""
    study = verbs.add_parser(verb, help=summary, epilog=EXAMPLES,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    study.add_argument("model", type=Path, help="the model file (TOML)")
    study.add_argument("--histories", type=_positive, default=100_000,
                       help=f"histories to simulate (default 100000){histories_note}")
    study.add_argument("--seed", type=int, default=1,
                       help="seed of the first history; history i uses seed + i (default 1)")
    study.add_argument("--threads", type=_positive, default=None,
                       help="worker threads (default: one per core)")
    study.add_argument("--out", type=Path, default=Path("out"),
                       help=f"folder for {', '.join(files)} (default out)")
    study.add_argument("--no-progress", action="store_true", help="no progress bar")
    where = study.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="run on the Dask cluster of this scheduler (tcp://HOST:8786); each"
                            " worker uses its own threads. Gives up after"
                            f" {CONNECT_TIMEOUT_SECONDS:g} s if it does not answer")
    where.add_argument("--workers", type=_positive, default=None,
                       help="run on a Dask cluster of N worker processes started on this machine")
    return study


def _sweep_option(text: str) -> Sweep:
    try:
        return parse_sweep_option(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Sequence[str] | None = None) -> int:
    try:
        arguments = parser().parse_args(argv)
        model = _load(arguments.model)
        if arguments.verb == "check":
            print(model_text(model))
            return EXIT_DONE
        return {"run": _run, "importance": _importance, "sweep": _sweep}[arguments.verb](
            model, arguments)
    except (_InvalidInput, ModelError, ValueError, ClusterError) as error:
        print(f"tarvo: error: {error}", file=sys.stderr)
        return EXIT_INVALID
    except KeyboardInterrupt as interruption:
        what = str(interruption) or "interrupted"  # StudyInterrupted says how far it got
        print(f"\ntarvo: {what}; no file written", file=sys.stderr)
        return EXIT_INTERRUPTED


def _load(path: Path) -> Model:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = load(path)
    for warning in caught:
        print(f"tarvo: warning: {warning.message}", file=sys.stderr)
    return model


def _run(model: Model, arguments: argparse.Namespace) -> int:
    try:
        with client_for(arguments.scheduler, arguments.workers) as client:
            result = model.run(histories=arguments.histories, seed=arguments.seed,
                               threads=arguments.threads, precision=arguments.precision,
                               max_histories=arguments.max_histories,
                               progress=not arguments.no_progress, client=client)
    except StudyInterrupted:
        raise
    report = f"{result.summary()}\n\nModel ({model.source}):\n{model_text(model)}\n"
    _write_views(result, report, arguments.out, OUTPUT_FILES)
    return EXIT_DONE


def _write_views(result, report: str, out: Path, files: Sequence[str], **plot_options) -> None:
    """Writes the report, JSON, CSV and PNG of a result under `files` (in that order), each
    whole or not at all, and prints the report."""
    text, json_file, csv_file, png_file = (out / name for name in files)
    atomic_write_text(text, report)
    result.to_json(json_file)
    result.to_csv(csv_file)
    result.plot(png_file, **plot_options)
    print(report)
    print("Written: " + ", ".join(str(out / name) for name in files))


def _importance(model: Model, arguments: argparse.Namespace) -> int:
    with client_for(arguments.scheduler, arguments.workers) as client:
        result = model.importance(histories=arguments.histories, seed=arguments.seed,
                                  threads=arguments.threads, progress=not arguments.no_progress,
                                  client=client)
    _write_views(result, result.summary() + "\n", arguments.out, IMPORTANCE_FILES,
                 top=arguments.top)
    return EXIT_DONE


def _sweep(model: Model, arguments: argparse.Namespace) -> int:
    sweep = arguments.sweep or model.planned_sweep
    if sweep is None:
        raise ValueError(f"{model.source}: no [sweep] table; give --sweep KEY=V1,V2,...")
    with client_for(arguments.scheduler, arguments.workers) as client:
        result = model.sweep(sweep, histories=arguments.histories, seed=arguments.seed,
                             threads=arguments.threads, progress=not arguments.no_progress,
                             client=client)
    _write_views(result, result.summary() + "\n", arguments.out, SWEEP_FILES)
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
