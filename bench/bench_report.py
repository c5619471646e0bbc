"""What a run's files cost on top of its simulation: report.txt, results.json, curve.csv,
plot.png and report.html of the README's loop (examples/cooling_water_loop.toml), each timed and
all together as `tarvo run` writes them. Goal: the whole set within 1.0 s.

The set is timed twice: in this process, its libraries loaded and warm, and in a fresh one, as
`tarvo run` pays it (the first picture loads matplotlib and its fonts; the first interval loads
scipy.special).

    .venv/bin/python bench/bench_report.py [--histories 100000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GOAL_SECONDS = 1.0


def main() -> int:
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--histories", type=int, default=100_000)
    options.add_argument("--repeat", type=int, default=3)
    arguments = options.parse_args()

    started = time.perf_counter()
    import tarvokit
    from tarvokit.command import cli, pages
    from tarvokit.data.files import OutputFolder, atomic_write_text
    from tarvokit.views import figures, report, text

    study = tarvokit.load(ROOT / "examples" / "cooling_water_loop.toml")
    result = study.run(histories=arguments.histories, seed=1)
    print(f"simulation of {arguments.histories:,} histories: {result.seconds:.2f} s"
          f" (set-up and imports {time.perf_counter() - started - result.seconds:.2f} s)")

    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        data = result.to_dict()
        data["provenance"] = pages.provenance("bench", str(study.model.source), data, [])
        steps = {
            "report.txt": lambda: atomic_write_text(folder / "report.txt", text.summary(result)),
            "results.json": lambda: atomic_write_text(folder / "results.json",
                                                      pages.json_text(data, "run")),
            "curve.csv": lambda: result.to_csv(folder / "curve.csv"),
            "plot.png": lambda: figures.save_png(figures.result_figure(result),
                                                 folder / "plot.png"),
            "report.html": lambda: pages.write_page(folder / "report.html", folder, "run",
                                                    result, data),
        }
        for name, step in steps.items():
            times = []
            for _ in range(arguments.repeat):
                begin = time.perf_counter()
                step()
                times.append(time.perf_counter() - begin)
            print(f"  {name:<13} {statistics.median(times):6.3f} s (median of {arguments.repeat};"
                  f" first {times[0]:.3f} s)")
        whole, own, children = [], [], []
        for _ in range(arguments.repeat):
            begin, cpu = time.perf_counter(), os.times()
            with OutputFolder(folder / "out", "bench") as out:
                cli._write_result(study, result, out, quiet=True, progress=False)
            whole.append(time.perf_counter() - begin)
            after = os.times()
            own.append(after.user + after.system - cpu.user - cpu.system)
            children.append(after.children_user + after.children_system
                            - cpu.children_user - cpu.children_system)
        size = (folder / "out" / "report.html").stat().st_size
        best = statistics.median(whole)
        print(f"all the files of the run, as `tarvo run` writes them: {best:.3f} s (median of"
              f" {arguments.repeat}; first {whole[0]:.3f} s); goal {GOAL_SECONDS:.1f} s:"
              f" {'met' if best <= GOAL_SECONDS else 'NOT met'}; report.html {size / 1e3:,.0f} kB")
        print(f"  CPU seconds: this process {statistics.median(own):.3f} s, the picture's process"
              f" {statistics.median(children):.3f} s (on an idle machine with two cores the time"
              " is about the larger; load average now"
              f" {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")
    fresh = [json.loads(subprocess.run([sys.executable, "-c", FRESH, str(arguments.histories)],
                                       check=True, capture_output=True, text=True,
                                       cwd=ROOT).stdout) for _ in range(arguments.repeat)]
    middle = sorted(fresh, key=lambda found: found["seconds"])[len(fresh) // 2]
    print(f"the same in a fresh process, as `tarvo run` writes them: {middle['seconds']:.3f} s"
          f" (median of {arguments.repeat}); CPU seconds: that process {middle['own']:.3f} s,"
          f" the picture's process {middle['children']:.3f} s")
    return 0


# The files of a run written by a process that has loaded no more than a run needs.
FRESH = """
import json, os, sys, tempfile, time
from pathlib import Path
import tarvokit
from tarvokit.command import cli
from tarvokit.data.files import OutputFolder
study = tarvokit.load(Path("examples") / "cooling_water_loop.toml")
result = study.run(histories=int(sys.argv[1]), seed=1)
with tempfile.TemporaryDirectory() as folder:
    begin, cpu = time.perf_counter(), os.times()
    with OutputFolder(Path(folder) / "out", "bench") as out:
        cli._write_result(study, result, out, quiet=True, progress=False)
    seconds, after = time.perf_counter() - begin, os.times()
print(json.dumps({"seconds": seconds,
                  "own": after.user + after.system - cpu.user - cpu.system,
                  "children": after.children_user + after.children_system
                              - cpu.children_user - cpu.children_system}))
"""


if __name__ == "__main__":
    sys.exit(main())
