"""The `tarvo` command: `tarvo run MODEL.toml` and `tarvo check MODEL.toml`.

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
from .planner import StudyInterrupted
from .report import model_text

EXIT_DONE, EXIT_INVALID, EXIT_INTERRUPTED = 0, 2, 130
OUTPUT_FILES = ("report.txt", "results.json", "curve.csv", "plot.png")

EXAMPLES = """examples:
  tarvo check examples/cooling_water_loop.toml
  tarvo run examples/cooling_water_loop.toml --histories 200000 --seed 7 --out out/loop
  tarvo run examples/cooling_water_loop.toml --precision 0.02 --max-histories 2000000

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
    verbs = main.add_subparsers(dest="verb", required=True, metavar="{run,check}",
                                parser_class=_Parser)
    run = verbs.add_parser("run", help="simulate a model and write the report, results and plot",
                           epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    run.add_argument("model", type=Path, help="the model file (TOML)")
    run.add_argument("--histories", type=_positive, default=100_000,
                     help="histories to simulate (default 100000); with --precision, the first round")
    run.add_argument("--seed", type=int, default=1,
                     help="seed of the first history; history i uses seed + i (default 1)")
    run.add_argument("--threads", type=_positive, default=None,
                     help="worker threads (default: one per core)")
    run.add_argument("--precision", type=float, default=None,
                     help="run until the 95%% interval of the mean is within +-X of it"
                          " (0.02 is +-2%%)")
    run.add_argument("--max-histories", type=_positive, default=None,
                     help="the most histories a --precision run may use (default 100 x --histories)")
    run.add_argument("--out", type=Path, default=Path("out"),
                     help=f"folder for {', '.join(OUTPUT_FILES)} (default out)")
    run.add_argument("--no-progress", action="store_true", help="no progress bar")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="run on the Dask cluster of this scheduler (tcp://HOST:8786); each"
                            " worker uses its own threads. Gives up after"
                            f" {CONNECT_TIMEOUT_SECONDS:g} s if it does not answer")
    where.add_argument("--workers", type=_positive, default=None,
                       help="run on a Dask cluster of N worker processes started on this machine")
    check = verbs.add_parser("check", help="validate a model; print its components and minimal"
                             " cut sets", epilog=EXAMPLES,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("model", type=Path, help="the model file (TOML)")
    return main


def main(argv: Sequence[str] | None = None) -> int:
    try:
        arguments = parser().parse_args(argv)
        model = _load(arguments.model)
        if arguments.verb == "check":
            print(model_text(model))
            return EXIT_DONE
        return _run(model, arguments)
    except (_InvalidInput, ModelError, ValueError, ClusterError) as error:
        print(f"tarvo: error: {error}", file=sys.stderr)
        return EXIT_INVALID
    except KeyboardInterrupt as interruption:
        detail = f": {interruption}" if str(interruption) else ""
        print(f"\ntarvo: interrupted{detail}; no file written", file=sys.stderr)
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
    out = arguments.out
    report = f"{result.summary()}\n\nModel ({model.source}):\n{model_text(model)}\n"
    from .output import atomic_write_text

    atomic_write_text(out / "report.txt", report)
    result.to_json(out / "results.json")
    result.to_csv(out / "curve.csv")
    result.plot(out / "plot.png")
    print(report)
    print("Written: " + ", ".join(str(out / name) for name in OUTPUT_FILES))
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
