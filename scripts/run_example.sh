#!/usr/bin/env bash
# The main job on a fresh machine: set-up (Debian packages, the virtual environment and the
# module), then the cooling-water loop availability study. Arguments go to the study, e.g.
# --histories 1000000, --threads 1, --seed 7, --output plot.png.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh"
"$VPY" "$ROOT/examples/cooling_water_loop.py" "$@"
