"""Runs the fuzz properties of a reader for a time budget and prints what it ran.

    .venv/bin/python scripts/fuzz_readers.py model 600     # the model reader, 10 minutes
    .venv/bin/python scripts/fuzz_readers.py results 600   # the result reader

The properties are those of tests/test_tarvokit_fuzz.py (model) and
tests/test_tarvokit_fuzz_results.py (results). Each is run in chunks of examples with fresh
random seeds, in turn, until the budget is spent; a chunk that fails is reported (Hypothesis
prints the smallest failing input it found) and the run goes on. The last lines give the
examples run and the failures per property; the exit status is 1 if any failed.
"""

import os
import sys
import time
import traceback
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
CHUNK = 50  # examples per call of a property

PROPERTIES = {
    "model": ("test_tarvokit_fuzz", [
        "test_model_structures_end_in_a_model_or_one_line",
        "test_expressions_end_in_cut_sets_or_one_line",
        "test_fault_trees_end_in_cut_sets_or_one_line",
        "test_model_files_end_in_a_model_or_one_line",
        "test_command_lines_end_in_exit_0_or_2_without_a_traceback"]),
    "results": ("test_tarvokit_fuzz_results", [
        "test_altered_result_folders_end_in_a_result_or_one_line",
        "test_the_verbs_on_altered_folders_exit_0_or_2_without_a_traceback"]),
}


def main(reader: str, seconds: float) -> int:
    os.environ.setdefault("TARVO_FUZZ_EXAMPLES", str(CHUNK))
    os.environ.setdefault("TARVO_FUZZ_RESULT_EXAMPLES", str(CHUNK))
    sys.path.insert(0, str(TESTS))
    import warnings

    from hypothesis import settings

    # No example database: each chunk draws afresh instead of replaying a failure found before
    # (the profiles the test modules register inherit this).
    settings.register_profile("fuzz-budget", database=None)
    settings.load_profile("fuzz-budget")

    warnings.simplefilter("error")  # as the test suite runs them (pyproject.toml)
    warnings.filterwarnings("ignore", module="hypothesis")
    module_name, names = PROPERTIES[reader]
    module = __import__(module_name)
    counts = {name: 0 for name in names}
    failures: dict[str, list[str]] = {name: [] for name in names}
    for name in names:
        test = getattr(module, name)
        body = test.hypothesis.inner_test

        def counted(*args, _body=body, _name=name, **kwargs):
            counts[_name] += 1
            return _body(*args, **kwargs)

        test.hypothesis.inner_test = counted
    started = time.monotonic()
    rounds = 0
    while time.monotonic() - started < seconds:
        rounds += 1
        for name in names:
            if time.monotonic() - started >= seconds:
                break
            try:
                getattr(module, name)()
            except Exception as error:  # a property that failed: report it, go on
                summary = "".join(traceback.format_exception_only(error)).strip()
                failures[name].append(summary)
                print(f"FAILED {name}: {summary}", flush=True)
        print(f"  {time.monotonic() - started:6.0f} s: round {rounds},"
              f" {sum(counts.values()):,} examples so far", flush=True)
    print(f"Fuzzed the {reader} reader for {time.monotonic() - started:.0f} s"
          f" ({rounds} rounds of up to {CHUNK} examples per property):")
    for name in names:
        print(f"  {name}: {counts[name]:,} examples, {len(failures[name])} failures"
              f" ({len(set(failures[name]))} distinct)")
    total = sum(len(found) for found in failures.values())
    distinct = {summary for found in failures.values() for summary in found}
    print(f"Total: {sum(counts.values()):,} examples, {total} failures"
          f" ({len(distinct)} distinct)")
    return 1 if total else 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3) or sys.argv[1] not in PROPERTIES:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(PROPERTIES)}}} [SECONDS]")
    sys.exit(main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) == 3 else 600.0))
