#!/usr/bin/env bash
# Fuzzes the core library for SECONDS seconds (default 600) with libFuzzer, under AddressSanitizer
# and UndefinedBehaviorSanitizer: cutset tree insertions and look-ups, laws, model checks and
# short runs (fuzz/fuzz_core.cpp). Not part of the test suite. Installs Debian's clang, its
# libFuzzer runtime and LLVM's OpenMP headers when missing; builds in build/fuzz.
# The corpus grows in build/fuzz/corpus; a crashing input is written to build/fuzz/crash-*,
# and `build/fuzz/fuzz_core FILE` replays it. The closing lines give executions and coverage.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-600}"
FUZZ_APT_PACKAGES=(clang libclang-rt-14-dev libomp-14-dev)

missing=()
for pkg in "${FUZZ_APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -ne 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build="$ROOT/build/fuzz"
cmake_build fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVO_BUILD_MODULE=OFF -DTARVO_SANITIZE=ON -DTARVO_BUILD_FUZZ=ON
mkdir -p "$build/corpus"

# A model that loops through zero delays is stopped only after a million events of one component
# in one time unit, and one that almost always loops (a state returning to itself with a delay
# that is nearly always 0) is never stopped: either takes minutes under the sanitizers. Such an
# input is a slow unit, not a finding: the fuzzer runs in a child process (-fork=1) that records
# it as a timeout (build/fuzz/timeout-*) and goes on; a crash still ends the run.
# The library's own output (progress lines, size messages) would drown the fuzzer's: both
# standard streams of the target are closed; libFuzzer keeps its own copy for its reports.
cd "$build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ./fuzz_core -max_total_time="$seconds" -timeout=60 -fork=1 -ignore_timeouts=1 -ignore_ooms=0 \
    -ignore_crashes=0 -rss_limit_mb=2048 -max_len=4096 -close_fd_mask=3 -print_final_stats=1 \
    "$build/corpus"
