#!/usr/bin/env bash
# Developer build in build/NAME: module, native tests and benchmarks, without installing.
# Use the module with PYTHONPATH=build/NAME; run native tests with build/NAME/tarvo_tests.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
name="${1:?usage: scripts/dev_build.sh NAME [cmake args...]}"; shift
cmake_build "$name" -DTARVO_BUILD_TESTS=ON -DTARVO_BUILD_BENCH=ON "$@"
