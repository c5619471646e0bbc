"""The `tarvo` command: `tarvo run|check|importance|sweep|markov|combine|plot|report ...`.

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
from contextlib import contextmanager
from typing import Callable, Iterator, NoReturn, Sequence

EXIT_DONE, EXIT_INVALID, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE, EXIT_TERMINATED = \
    0, 2, 130, 141, 143
OUTPUT_FILES = ("report.txt", "results.json", "curve.csv", "plot.png")
IMPORTANCE_FILES = ("importance.txt", "importance.json", "importance.csv", "importance.png")
SWEEP_FILES = ("sweep.txt", "sweep.json", "sweep.csv", "sweep.png")
REPORT_FILE, COMPARISON_FILE = "report.html", "comparison.html"
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
  tarvo report out/loop out/exact --out out/compared

History i of a run with seed S uses seed S + i: runs whose seeds are closer than their history
counts share histories. The report states the seeds used."""


# Each verb's --help ends with what it does on an example.
VERB_EXAMPLES = {
    "run": """example:
  tarvo run examples/cooling_water_loop.toml --histories 200000 --seed 7 --out out/loop
    simulates 200,000 histories (seeds 7..200006) and writes out/loop/report.txt,
    results.json, curve.csv and plot.png; Ctrl-C keeps the finished histories, and
  tarvo run examples/cooling_water_loop.toml --resume out/loop --histories 100000
    adds 100,000 more on the next seeds. With --precision 0.02 it runs until the 95 %
    interval of the mean unavailability is within +-2 % of it.""",
    "check": """example:
  tarvo check examples/cooling_water_loop.toml
    reads and checks the model, then lists its components, their transitions, the minimal
    cut sets and the memory a run needs; nothing is simulated.""",
    "importance": """example:
  tarvo importance examples/cooling_water_loop.toml --histories 20000 --top 3
    ranks every cut set and component by its share of the downtime and by the downtime that
    would go without it, from paired runs on the same seeds; writes importance.txt, .json,
    .csv and .png.""",
    "sweep": """example:
  tarvo sweep examples/cooling_water_loop.toml --sweep components.valve.repair.period=730,365
    runs the model with the valve inspected every 730 h and every 365 h on the same seeds
    and reports each value's figures and the paired differences; writes sweep.txt, .json,
    .csv and .png.""",
    "combine": """example:
  tarvo combine out/a out/b --out out/both
    merges two runs of the same model on disjoint seeds into one result (the counts add
    exactly); overlapping seeds or another model are refused.""",
    "markov": """example:
  tarvo markov examples/pumps_markov.toml --out out/exact
    solves the model's continuous-time Markov chain (every law Exponential) and writes the
    exact report, results.json, curve.csv and plot.png, as `tarvo run` does.""",
    "plot": """example:
  tarvo plot out/loop
    redraws the pictures of every result in out/loop (plot.png of a run or a Markov answer,
    importance.png, sweep.png) from its files; the other files stay as they are.""",
    "report": """example:
  tarvo report out/loop
    writes out/loop/report.html again from the folder's files: one self-contained page with
    the answer, every figure, the pictures, the model in plain words and the provenance.
  tarvo report out/loop out/exact --out out/compared
    writes out/compared/comparison.html, the two results side by side, curves on one plot.""",
}


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
    main.add_argument("--version", action=_VersionAction, nargs=0,
                      help="show the version and exit")
    verbs = main.add_subparsers(dest="verb", required=True, parser_class=_Parser,
                                metavar="{run,check,importance,sweep,markov,combine,plot,report}")
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
    markov = verbs.add_parser("markov", help="the exact answer of a model whose laws are all"
                              " Exponential, from its Markov chain",
                              epilog=VERB_EXAMPLES["markov"],
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    markov.add_argument("model", type=Path, help="the model file (TOML)")
    markov.add_argument("--out", type=Path, default=None,
                        help=f"folder for {', '.join(OUTPUT_FILES)} (default out)")
    markov.add_argument("--state-limit", type=_positive, default=200_000,
                        help="refuse chains of more states (default 200000)")
    check = verbs.add_parser("check", help="validate a model; print its components and minimal"
                             " cut sets", epilog=VERB_EXAMPLES["check"],
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("model", type=Path, help="the model file (TOML)")
    combine = verbs.add_parser("combine", help="merge results of one model on disjoint seeds",
                               epilog=VERB_EXAMPLES["combine"],
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    combine.add_argument("folders", type=Path, nargs="+", metavar="DIR",
                         help="folders written by `tarvo run` of the same model")
    combine.add_argument("--out", type=Path, required=True,
                         help=f"folder for the merged {', '.join(OUTPUT_FILES)}")
    plot = verbs.add_parser("plot", help="redraw the pictures of the results in DIR from its"
                            " files", epilog=VERB_EXAMPLES["plot"],
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    plot.add_argument("folder", type=Path, metavar="DIR",
                      help="a folder written by run, markov, importance, sweep or combine")
    report = verbs.add_parser("report", help="write DIR/report.html again from DIR's files, or"
                              " one page comparing several folders", epilog=VERB_EXAMPLES["report"],
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    report.add_argument("folders", type=Path, nargs="+", metavar="DIR",
                        help="a folder a study wrote into; two or more are compared")
    report.add_argument("--out", type=Path, default=None,
                        help=f"folder for {REPORT_FILE} (one DIR) or {COMPARISON_FILE} (several;"
                             " default: the first DIR)")
    return main


def _study_parser(verbs, verb: str, summary: str, files: Sequence[str],
                  histories_note: str) -> argparse.ArgumentParser:
    """A verb that simulates: the options every study shares."""
    study = verbs.add_parser(verb, help=summary, description=summary, epilog=VERB_EXAMPLES[verb],
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


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for (reading the package metadata takes time)."""

    def __call__(self, parser, namespace, values, option_string=None) -> NoReturn:
        print(f"tarvo {_version()}")
        parser.exit()


def _version() -> str:
    from .._version import package_version

    return package_version()


def _invalid_input() -> tuple[type[BaseException], ...]:
    """What the command reports as invalid input: imported only when an error is on its way,
    so that --version and --help load nothing of the package."""
    from ..data.files import OutputError, ResultError
    from ..engine.cluster import ClusterError
    from ..model.errors import ModelError

    return (_InvalidInput, ModelError, ValueError, ClusterError, OutputError, ResultError)


def main(argv: Sequence[str] | None = None) -> int:
    with _termination_as_interruption() as terminated:
        code = _main(argv)
    # SIGTERM (what `timeout` and batch schedulers send) ends a run as Ctrl-C does; only the
    # status tells them apart, as a shell's would.
    return EXIT_TERMINATED if terminated() and code == EXIT_INTERRUPTED else code


@contextmanager
def _termination_as_interruption() -> Iterator[Callable[[], bool]]:
    """While the block runs, SIGTERM does what SIGINT does at that moment (the planner's first
    Ctrl-C only asks to stop after the running call). Outside the main thread, nothing."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield lambda: False
        return
    received: list[int] = []

    def on_terminate(signum, frame):
        received.append(signum)
        handler = signal.getsignal(signal.SIGINT)
        if callable(handler):
            handler(signal.SIGINT, frame)
        else:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, on_terminate)
    try:
        yield lambda: bool(received)
    finally:
        signal.signal(signal.SIGTERM, previous)


def _main(argv: Sequence[str] | None) -> int:
    try:
        arguments = parser().parse_args(argv)
        verb: Callable[[argparse.Namespace, Sequence[str] | None], int] = {
            "run": _run, "check": _check, "importance": _importance, "sweep": _sweep,
            "combine": _combine, "plot": _plot, "markov": _markov,
            "report": _report}[arguments.verb]
        return verb(arguments, argv)
    except SystemExit:
        raise
    except KeyboardInterrupt as interruption:
        what = str(interruption) or "interrupted"  # StudyInterrupted says how far it got
        from ..data.files import InterruptedAfterWriting

        if isinstance(interruption, InterruptedAfterWriting):  # the set is whole
            print(f"\ntarvo: {what}", file=sys.stderr)
        else:
            print(f"\ntarvo: {what}; no file written", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return _reader_went_away()
    except Exception as error:
        if not isinstance(error, _invalid_input()):
            raise
        print(f"tarvo: error: {error}", file=sys.stderr)
        return EXIT_INVALID


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


def _load(path: Path, model_only: bool = False):
    """The study of a model file (its model alone for `check`, which runs nothing), its
    warnings on standard error."""
    from ..model.reading import load

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = load(path)
    for warning in caught:
        print(f"tarvo: warning: {warning.message}", file=sys.stderr)
    if model_only:
        return model
    from ..studies.study import Study

    return Study(model)


def _check(arguments: argparse.Namespace, argv) -> int:
    from ..views.text import model_text

    print(model_text(_load(arguments.model, model_only=True)))
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
            _write_result(study, interruption.result, out, quiet=True,
                          progress=not arguments.no_progress)
            print(f"\ntarvo: {interruption}; the {interruption.result.histories:,} finished"
                  f" histories are written to {out.folder}, marked interrupted; to run the"
                  f" rest: {_resume_command(arguments, out.folder, interruption.done)}",
                  file=sys.stderr)
            return EXIT_INTERRUPTED
        _write_result(study, result, out, progress=not arguments.no_progress)
    return EXIT_DONE


def _resume_command(arguments: argparse.Namespace, folder: Path, done: int) -> str:
    """The command that runs what an interrupted run still had to: the histories it missed,
    or, with a precision target, the same target with what is left of --max-histories."""
    import shlex

    from ..studies.options import RunOptions

    words = ["tarvo", "run", str(arguments.model), "--resume", str(folder)]
    if arguments.precision is None:
        left = max(arguments.histories - done, 2)
        words += ["--histories", str(left)]
    else:
        most = RunOptions(histories=arguments.histories, precision=arguments.precision,
                          max_histories=arguments.max_histories).checked().max_histories
        left = max(most - done, 2)
        words += ["--histories", str(min(arguments.histories, left)),
                  "--precision", repr(arguments.precision), "--max-histories", str(left)]
        if arguments.precision_of is not None:
            words += ["--precision-of", arguments.precision_of]
    if arguments.threads is not None:
        words += ["--threads", str(arguments.threads)]
    return " ".join(shlex.quote(word) for word in words)


def _check_options(arguments: argparse.Namespace, **more) -> None:
    """The run options, checked before the output folder is touched (ValueError)."""
    from ..studies.options import RunOptions

    RunOptions(histories=arguments.histories, seed=arguments.seed, threads=arguments.threads,
               **more).checked()


def _write_result(study, result, out, quiet: bool = False, progress: bool = True) -> None:
    from ..views.text import model_text, summary
    from .figures import result_figure

    report = f"{summary(result)}\n\nModel ({study.model.source}):\n{model_text(study.model)}\n"
    _write_views(out, OUTPUT_FILES, report, result, lambda path: result_figure(result, path),
                 quiet, result.horizon if progress else 0, kind="run",
                 model_path=study.model.source)


# Above this many time units, a bar shows the CSV being written (millions of lines take a while).
PROGRESS_FROM_UNITS = 200_000


def _write_views(out, files: Sequence[str], report: str, result, draw, quiet: bool = False,
                 csv_lines: int = 0, kind: str = "run", model_path: str | None = None) -> None:
    """Writes the report, JSON, CSV and PNG of a result under `files` and report.html as one
    set, and prints the report. `csv_lines`: the lines of a curve CSV, shown with a bar when
    they are many. The JSON records where it comes from (`provenance`), for the page."""
    from ..data.files import atomic_write_text
    from .pages import BackgroundPicture, json_text, provenance, write_page

    text, json_file, csv_file, png_file = files
    data = result.to_dict()
    data["provenance"] = provenance(out.command, model_path, data, [*files, REPORT_FILE], result)
    # The picture is drawn beside the page, the two costliest files: the page comes first.
    picture = BackgroundPicture(draw)
    try:
        with _file_progress(csv_lines if csv_lines >= PROGRESS_FROM_UNITS else 0) as lines:
            written = out.write_set({
                text: lambda path: atomic_write_text(path, report),
                json_file: lambda path: atomic_write_text(path, json_text(data, kind)),
                csv_file: lambda path: result.to_csv(path, progress=lines),
                REPORT_FILE: lambda path: write_page(path, out.folder, kind, result, data),
                png_file: picture.write})
    finally:
        picture.close()
    if not quiet:
        print(report)
        print("Written: " + ", ".join(str(path) for path in written))


@contextmanager
def _file_progress(lines: int) -> Iterator:
    """A bar on standard error counting the CSV's lines as they are written (none for 0, nor
    where standard error is not a terminal: its redraws would pile up as lines there)."""
    if not lines or not sys.stderr.isatty():
        yield None
        return
    from tqdm import tqdm

    with tqdm(total=lines, desc="writing curve.csv", unit=" lines", unit_scale=True,
              file=sys.stderr, dynamic_ncols=True) as bar:
        yield bar.update


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
                     lambda path: importance_figure(result, path, arguments.top),
                     kind="importance", model_path=study.model.source)
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
                     lambda path: sweep_figure(result, path), kind="sweep",
                     model_path=study.model.source)
    return EXIT_DONE


def _markov(arguments: argparse.Namespace, argv) -> int:
    from ..views.markov_views import summary
    from ..views.text import model_text
    from .figures import markov_figure

    study = _load(arguments.model)
    result = study.markov(arguments.state_limit)  # refused models write nothing
    report = (f"{summary(result)}\n\nModel ({study.model.source}):\n"
              f"{model_text(study.model)}\n")
    with _output_folder(arguments.out or Path("out"), argv) as out:
        _write_views(out, OUTPUT_FILES, report, result,
                     lambda path: markov_figure(result, path), csv_lines=result.horizon,
                     kind="markov", model_path=study.model.source)
    return EXIT_DONE


def _combine(arguments: argparse.Namespace, argv) -> int:
    from ..data.result import combine, read
    from ..studies.study import Study

    results = [read(folder) for folder in arguments.folders]
    merged = combine(results, [str(folder) for folder in arguments.folders])
    study = Study.from_dict(merged.model, source=merged.model_path or "<combined>")
    with _output_folder(arguments.out, argv) as out:
        _write_result(study, merged, out)
    return EXIT_DONE


def _plot(arguments: argparse.Namespace, argv) -> int:
    from ..data.folders import read_folder
    from .pages import picture_writers

    folder = read_folder(arguments.folder)
    with _output_folder(arguments.folder, argv) as out:
        written = out.write_set(picture_writers(folder))
    print("Written: " + ", ".join(str(path) for path in written))
    return EXIT_DONE


def _report(arguments: argparse.Namespace, argv) -> int:
    from ..data.folders import read_folder
    from ..data.files import atomic_write_text
    from ..views.report import comparison_page, page

    folders = [read_folder(folder) for folder in arguments.folders]
    if len(folders) == 1:
        name, html = REPORT_FILE, page(folders[0])
    else:
        name, html = COMPARISON_FILE, comparison_page(folders)
    with _output_folder(arguments.out or arguments.folders[0], argv) as out:
        written = out.write_set({name: lambda path: atomic_write_text(path, html)})
    print("Written: " + ", ".join(str(path) for path in written))
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
