"""The `tarvo` command: `tarvo run|check|importance|sweep|combine|plot ...`.

A thin consumer of the package: it reads the model, checks and locks the output folder, runs the
study, and writes the views as one set of files. Exit codes: 0 done, 2 invalid input (one line on
standard error, no traceback, nothing written), 130 interrupted (a run writes the sub-batches
that finished, marked interrupted, so that --resume can continue it).
"""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import Callable, NoReturn, Sequence

EXIT_DONE, EXIT_INVALID, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 2, 130, 141
OUTPUT_FILES = ("report.txt", "results.json", "curve.csv", "plot.png")
IMPORTANCE_FILES = ("importance.txt", "importance.json", "importance.csv", "importance.png")
SWEEP_FILES = ("sweep.txt", "sweep.json", "sweep.csv", "sweep.png")
CONNECT_TIMEOUT_SECONDS = 10.0  # kept equal to engine.cluster's; not imported, for start-up time

EXAMPLES = """examples:
  tarvo check examples/cooling_water_loop.toml
  tarvo run examples/cooling_water_loop.toml --histories 200000 --seed 7 --out out/loop
  tarvo run examples/cooling_water_loop.toml --resume out/loop --histories 100000
  tarvo run examples/cooling_water_loop.toml --precision 0.02 --max-histories 2000000
  tarvo importance examples/cooling_water_loop.toml --histories 20000 --top 3
  tarvo sweep examples/cooling_water_loop.toml --sweep components.pump.repair.mean=36,24,12
  tarvo combine out/a out/b --out out/both
  tarvo plot out/loop

History i of a run with seed S uses seed S + i: runs whose seeds are closer than their history
counts share histories. The report states the seeds used."""


class _InvalidInput(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, exit 2
        raise _InvalidInput(message)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text}")
    return value


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="tarvo", description="Availability studies of repairable systems by"
                   " Monte Carlo simulation.", epilog=EXAMPLES,
                   formatter_class=argparse.RawDescriptionHelpFormatter)
    main.add_argument("--version", action="version", version=f"tarvo {_version()}")
    verbs = main.add_subparsers(dest="verb", required=True, parser_class=_Parser,
                                metavar="{run,check,importance,sweep,combine,plot}")
    run = _study_parser(verbs, "run", "simulate a model and write the report, results and plot",
                        OUTPUT_FILES, "; with --precision, the first round")
    run.add_argument("--precision", type=float, default=None,
                     help="run until the 95%% interval of the mean is within +-X of it"
                          " (0.02 is +-2%%)")
    run.add_argument("--precision-of", metavar="MEASURE", default=None,
                     help="the measure --precision applies to: mean_unavailability (default),"
                          " failure_frequency, reliability (its complement), mean_down_time or"
                          " mean_up_time")
    run.add_argument("--max-histories", type=_positive, default=None,
                     help="the most histories a --precision run may use (default 100 x --histories)")
    run.add_argument("--resume", type=Path, metavar="DIR", default=None,
                     help="continue the result in DIR (written by a run of this model, finished"
                          " or interrupted): --histories more on the next unused seeds, and DIR"
                          " rewritten with both (--out defaults to DIR)")
    importance = _study_parser(verbs, "importance", "rank the cut sets and components by their"
                               " share of the downtime and what would go without them",
                               IMPORTANCE_FILES, ", on the same seeds for every derived logic")
    importance.add_argument("--top", type=_positive, default=5,
                            help="cut sets and components drawn in the plot, each (default 5);"
                                 " the table holds all")
    sweep = _study_parser(verbs, "sweep", "run a model for several values of one parameter, on"
                          " the same seeds", SWEEP_FILES, " per value")
    sweep.add_argument("--sweep", metavar="KEY=V1,V2,...", default=None,
                       help="the parameter's key path in the model file and its values, the"
                            " first the reference (default: the file's [sweep] table)")
    check = verbs.add_parser("check", help="validate a model; print its components and minimal"
                             " cut sets", epilog=EXAMPLES,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("model", type=Path, help="the model file (TOML)")
    combine = verbs.add_parser("combine", help="merge results of one model on disjoint seeds",
                               epilog=EXAMPLES,
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    combine.add_argument("folders", type=Path, nargs="+", metavar="DIR",
                         help="folders written by `tarvo run` of the same model")
    combine.add_argument("--out", type=Path, required=True,
                         help=f"folder for the merged {', '.join(OUTPUT_FILES)}")
    plot = verbs.add_parser("plot", help="redraw DIR/plot.png from DIR/results.json",
                            epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    plot.add_argument("folder", type=Path, metavar="DIR", help="a folder written by `tarvo run`")
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
    study.add_argument("--out", type=Path, default=None,
                       help=f"folder for {', '.join(files)} (default out)")
    study.add_argument("--no-progress", action="store_true", help="no progress bar")
    study.add_argument("--batches", type=_positive, default=None, help=argparse.SUPPRESS)
    where = study.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="run on the Dask cluster of this scheduler (tcp://HOST:8786); each"
                            " worker uses its own threads. Gives up after"
                            f" {CONNECT_TIMEOUT_SECONDS:g} s if it does not answer")
    where.add_argument("--workers", type=_positive, default=None,
                       help="run on a Dask cluster of N worker processes started on this machine")
    return study


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tarvo")
    except metadata.PackageNotFoundError:
        return "0.1.0"


def main(argv: Sequence[str] | None = None) -> int:
    from ..data.files import OutputError
    from ..data.result import ResultError
    from ..engine.cluster import ClusterError
    from ..model.errors import ModelError

    try:
        arguments = parser().parse_args(argv)
        verb: Callable[[argparse.Namespace, Sequence[str] | None], int] = {
            "run": _run, "check": _check, "importance": _importance, "sweep": _sweep,
            "combine": _combine, "plot": _plot}[arguments.verb]
        return verb(arguments, argv)
    except (_InvalidInput, ModelError, ValueError, ClusterError, OutputError,
            ResultError) as error:
        print(f"tarvo: error: {error}", file=sys.stderr)
        return EXIT_INVALID
    except KeyboardInterrupt as interruption:
        what = str(interruption) or "interrupted"  # StudyInterrupted says how far it got
        print(f"\ntarvo: {what}; no file written", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return _reader_went_away()


def _reader_went_away() -> int:
    """The reader of standard output closed it (`tarvo check FILE | head`): stop quietly with
    the status of a tool ended by SIGPIPE, and keep Python from complaining at exit about the
    output it can no longer flush."""
    import os

    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_BROKEN_PIPE


# --- Verbs --------------------------------------------------------------------------------


def _load(path: Path):
    from ..studies.study import load

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        study = load(path)
    for warning in caught:
        print(f"tarvo: warning: {warning.message}", file=sys.stderr)
    return study


def _check(arguments: argparse.Namespace, argv) -> int:
    from ..views.text import model_text

    print(model_text(_load(arguments.model).model))
    return EXIT_DONE


def _output_folder(folder: Path, argv):
    from ..data.files import OutputFolder, command_line

    return OutputFolder(folder, command_line(argv))


def _run(arguments: argparse.Namespace, argv) -> int:
    from ..data.result import read
    from ..engine.cluster import client_for
    from ..studies.planner import StudyInterrupted

    study = _load(arguments.model)
    _check_options(arguments, precision=arguments.precision,
                   max_histories=arguments.max_histories,
                   precision_measure=arguments.precision_of)
    previous = read(arguments.resume) if arguments.resume is not None else None
    if previous is not None:
        study.check_resumable(previous)
    out_dir = arguments.out or arguments.resume or Path("out")
    with _output_folder(out_dir, argv) as out:
        try:
            with client_for(arguments.scheduler, arguments.workers) as client:
                result = study.run(histories=arguments.histories, seed=arguments.seed,
                                   threads=arguments.threads, precision=arguments.precision,
                                   max_histories=arguments.max_histories,
                                   progress=not arguments.no_progress, client=client,
                                   batches=arguments.batches, resume=previous,
                                   precision_measure=arguments.precision_of)
        except StudyInterrupted as interruption:
            if interruption.result is None:
                raise
            partial = (previous.merge(interruption.result) if previous is not None
                       else interruption.result)
            _write_result(study, partial, out, quiet=True)
            print(f"\ntarvo: {interruption}; the {interruption.done:,} finished histories are"
                  f" written to {out.folder}, marked interrupted"
                  f" (tarvo run {arguments.model} --resume {out.folder} continues it)",
                  file=sys.stderr)
            return EXIT_INTERRUPTED
        _write_result(study, result, out)
    return EXIT_DONE


def _check_options(arguments: argparse.Namespace, **more) -> None:
    """The run options, checked before the output folder is touched (ValueError)."""
    from ..studies.options import RunOptions

    RunOptions(histories=arguments.histories, seed=arguments.seed, threads=arguments.threads,
               **more).checked()


def _write_result(study, result, out, quiet: bool = False) -> None:
    from ..views.text import model_text, summary
    from .figures import result_figure

    report = f"{summary(result)}\n\nModel ({study.model.source}):\n{model_text(study.model)}\n"
    _write_views(out, OUTPUT_FILES, report, result, lambda path: result_figure(result, path),
                 quiet)


def _write_views(out, files: Sequence[str], report: str, result, draw, quiet: bool = False
                 ) -> None:
    """Writes the report, JSON, CSV and PNG of a result under `files` as one set, and prints
    the report."""
    from ..data.files import atomic_write_text

    text, json_file, csv_file, png_file = files
    written = out.write_set({text: lambda path: atomic_write_text(path, report),
                             json_file: result.to_json, csv_file: result.to_csv,
                             png_file: draw})
    if not quiet:
        print(report)
        print("Written: " + ", ".join(str(path) for path in written))


def _importance(arguments: argparse.Namespace, argv) -> int:
    from ..engine.cluster import client_for
    from ..views.importance_views import summary
    from .figures import importance_figure

    study = _load(arguments.model)
    _check_options(arguments)
    with _output_folder(arguments.out or Path("out"), argv) as out:
        with client_for(arguments.scheduler, arguments.workers) as client:
            result = study.importance(histories=arguments.histories, seed=arguments.seed,
                                      threads=arguments.threads,
                                      progress=not arguments.no_progress, client=client,
                                      batches=arguments.batches)
        _write_views(out, IMPORTANCE_FILES, summary(result) + "\n", result,
                     lambda path: importance_figure(result, path, arguments.top))
    return EXIT_DONE


def _sweep(arguments: argparse.Namespace, argv) -> int:
    from ..engine.cluster import client_for
    from ..model.reading import variants
    from ..model.variants import parse_sweep_option
    from ..views.sweep_views import summary
    from .figures import sweep_figure

    sweep = parse_sweep_option(arguments.sweep) if arguments.sweep is not None else None
    study = _load(arguments.model)
    sweep = sweep or study.model.sweep
    if sweep is None:
        raise ValueError(f"{study.model.source}: no [sweep] table; give --sweep KEY=V1,V2,...")
    _check_options(arguments)
    if sweep is not study.model.sweep:
        variants(study.model, sweep)  # every value a valid model before the folder is touched
    with _output_folder(arguments.out or Path("out"), argv) as out:
        with client_for(arguments.scheduler, arguments.workers) as client:
            result = study.sweep(sweep, histories=arguments.histories, seed=arguments.seed,
                                 threads=arguments.threads, progress=not arguments.no_progress,
                                 client=client, batches=arguments.batches)
        _write_views(out, SWEEP_FILES, summary(result) + "\n", result,
                     lambda path: sweep_figure(result, path))
    return EXIT_DONE


def _combine(arguments: argparse.Namespace, argv) -> int:
    from ..data.result import combine, read
    from ..studies.study import Study

    results = [read(folder) for folder in arguments.folders]
    merged = combine(results)
    study = Study.from_dict(merged.model, source=merged.model_path or "<combined>")
    with _output_folder(arguments.out, argv) as out:
        _write_result(study, merged, out)
    return EXIT_DONE


def _plot(arguments: argparse.Namespace, argv) -> int:
    from ..data.result import read
    from .figures import result_figure

    result = read(arguments.folder)
    with _output_folder(arguments.folder, argv) as out:
        written = out.write_set({OUTPUT_FILES[3]: lambda path: result_figure(result, path)})
    print("Written: " + ", ".join(str(path) for path in written))
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
