#!/usr/bin/env bash
# Fuzzes the model reader and the result reader with Hypothesis for SECONDS seconds each
# (default 600), one after the other, and prints the examples each property ran and the
# failures it found (scripts/fuzz_readers.py). The test suite runs the same properties with a
# few hundred examples.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-600}"
status=0
for reader in model results; do
    echo "== The $reader reader, $seconds s"
    "$VPY" "$ROOT/scripts/fuzz_readers.py" "$reader" "$seconds" || status=1
done
exit $status
