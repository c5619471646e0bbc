#!/usr/bin/env bash
# The whole test suite: set-up, native tests, native tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Python tests against the installed module.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh" --tests

echo "== Native tests"
cmake_build native -DTARVO_BUILD_TESTS=ON -DTARVO_BUILD_MODULE=OFF -DTARVO_BUILD_BENCH=ON
ctest --test-dir "$ROOT/build/native" --output-on-failure -j "$(nproc)"

echo "== Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake_build sanitize -DTARVO_BUILD_TESTS=ON -DTARVO_BUILD_MODULE=OFF -DTARVO_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$ROOT/build/sanitize" --output-on-failure -j "$(nproc)"

echo "== Python tests"
cd "$ROOT"
"$VENV/bin/lint-imports"
"$VPY" -m pytest tests
