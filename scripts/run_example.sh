#!/usr/bin/env bash
# The main job on a fresh machine: set-up (Debian packages, the virtual environment, the module
# and the tarvo command), then the cooling-water loop availability study. Arguments go to
# `tarvo run`, e.g. --histories 1000000, --threads 1, --seed 7, --precision 0.02, --out DIR
# (default out/: report.txt, results.json, curve.csv, plot.png).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
"$VENV/bin/tarvo" run examples/cooling_water_loop.toml --out out "$@"
