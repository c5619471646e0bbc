"""The memory estimate of a run (tarvokit.model.memory) beside the peak memory of real runs.

Each case runs in a child process: it reads a model of one shape (a long horizon, a fine
resolution, many units, many states, many cut sets), runs a few thousand histories and reports
its peak resident memory. The estimate is meant as an upper bound that is not far above it:

    PYTHONPATH=src .venv/bin/python bench/bench_memory.py
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"
THREADS = 2

CHILD = textwrap.dedent("""\
    import json, resource, sys, warnings
    warnings.simplefilter("ignore")
    import tarvokit
    from tarvokit.model import memory
    data, histories, threads, out = json.loads(sys.argv[1])
    study = tarvokit.Model.from_dict(data)
    if out:  # the whole command: the run, then its report, JSON, CSV and plot
        import tomllib, pathlib
        from tarvokit.command.cli import main
        model_file = pathlib.Path(out) / "model.toml"
        model_file.parent.mkdir(parents=True, exist_ok=True)
        model_file.write_text(sys.argv[2])
        code = main(["run", str(model_file), "--histories", str(histories), "--threads",
                     str(threads), "--out", out, "--no-progress"])
        assert code == 0, code
    else:
        study.run(histories=histories, threads=threads)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    estimate = memory.estimate(study.model.shape, threads)
    print(json.dumps([peak, estimate.total, {p.what: p.bytes for p in estimate.parts}]))
    """)

# `tarvo markov` with its files, beside the estimate of the exact answer.
MARKOV_CHILD = textwrap.dedent("""\
    import json, pathlib, resource, sys, warnings
    warnings.simplefilter("ignore")
    from tarvokit.command.cli import main
    from tarvokit.model import memory
    horizon, folder = int(sys.argv[1]), pathlib.Path(sys.argv[2])
    model = folder / "model.toml"
    model.write_text(sys.argv[3])
    with open("/dev/null", "w") as quiet:
        sys.stdout = quiet
        code = main(["markov", str(model), "--out", str(folder / "out")])
        sys.stdout = sys.__stdout__
    assert code == 0, code
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps([peak, memory.markov_estimate(horizon, 4)]))
    """)

UNIT = {"failure": {"law": "Exponential", "mean": 200}, "repair": {"law": "Exponential",
                                                                   "mean": 10}}


def case(horizon: int, resolution: int, components: dict, system: dict) -> dict:
    return {"study": {"horizon": horizon, "resolution": resolution},
            "components": components, "system": system}


CASES = {
    "small (8,760 h x 60)": case(8760, 60, {"u": {"count": 3, **UNIT}},
                                 {"fails_when": "atleast(2, u[*])"}),
    "long horizon (10^7 h x 1)": case(10_000_000, 1, {"u": UNIT}, {"cut_sets": [["u"]]}),
    "fine resolution (10^6 h x 600)": case(1_000_000, 600, {"u": UNIT}, {"cut_sets": [["u"]]}),
    "many units (200,000)": case(100, 1, {"u": {"count": 200_000, **UNIT}},
                                 {"cut_sets": [["u[1]"]]}),
    "many states (600 x 12 components)": case(100, 1, {
        "big": {"states": [f"s{i}" for i in range(600)], "transitions": [
            {"from": "s0", "to": "s1", "law": "Exponential", "mean": 50},
            {"from": "s1", "to": "s0", "law": "Exponential", "mean": 5}]},
        "u": {"count": 11, **UNIT}}, {"cut_sets": [["big"]]}),
    "many cut sets (22 choose 5)": case(1000, 1, {"u": {"count": 22, **UNIT}},
                                        {"fails_when": "atleast(5, u[*])"}),
}


def measure(data: dict, histories: int = 2000, out: str | None = None
            ) -> tuple[int, int, dict]:
    finished = subprocess.run([sys.executable, "-c", CHILD,
                               json.dumps([data, histories, THREADS, out]), toml_text(data)],
                              capture_output=True, text=True, check=True,
                              env={"PYTHONPATH": str(SRC), "PATH": "/usr/bin:/bin"})
    peak, total, parts = json.loads(finished.stdout.splitlines()[-1])
    return peak, total, parts


def toml_text(data: dict) -> str:
    """The model as a file (the cases use tables of numbers and strings only)."""
    lines = []
    for table, content in data.items():
        if table == "components":
            for name, entry in content.items():
                lines.append(f"[components.{name}]")
                lines += [f"{key} = {_inline(value)}" for key, value in entry.items()]
        else:
            lines.append(f"[{table}]")
            lines += [f"{key} = {_inline(value)}" for key, value in content.items()]
    return "\n".join(lines) + "\n"


def _inline(value) -> str:
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {_inline(v)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(_inline(v) for v in value) + "]"
    return json.dumps(value)


def main() -> None:
    print(f"{'case':36} {'measured peak':>14} {'estimate':>10} {'ratio':>6}  largest part")
    runs = [(name, data, None) for name, data in CASES.items()]
    with tempfile.TemporaryDirectory() as folder:
        runs.append(("tarvo run, long horizon, with files", CASES["long horizon (10^7 h x 1)"],
                     folder))
        for name, data, out in runs:
            peak, total, parts = measure(data, out=out)
            largest = max(parts, key=parts.get)
            print(f"{name:36} {peak / 1e6:11.0f} MB {total / 1e6:7.0f} MB {total / peak:6.2f}"
                  f"  {largest} ({parts[largest] / 1e6:.0f} MB)")
        print(f"{'tarvo markov, with files':36} {'measured peak':>14} {'estimate':>10}"
              f" {'ratio':>6}")
        for horizon in (1_000_000, 4_000_000):
            data = case(horizon, 1, {"u": {"count": 2, **UNIT}}, {"cut_sets": [["u[1]", "u[2]"]]})
            finished = subprocess.run(
                [sys.executable, "-c", MARKOV_CHILD, str(horizon), folder, toml_text(data)],
                capture_output=True, text=True, check=True,
                env={"PYTHONPATH": str(SRC), "PATH": "/usr/bin:/bin"})
            peak, total = json.loads(finished.stdout.splitlines()[-1])
            print(f"{f'  horizon {horizon:,} h':36} {peak / 1e6:11.0f} MB {total / 1e6:7.0f} MB"
                  f" {total / peak:6.2f}")
    print(f"(threads {THREADS}; an estimate below its measured peak would be a fault)")


if __name__ == "__main__":
    main()
