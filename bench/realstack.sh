#!/usr/bin/env bash
# The real-stack bench beside the simulated radio, from one build: BUILD_DIR (default build)
# must have been configured with -DVELNOR_BENCH=ON. The real stack runs in scripts/bluez-vm.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
cmake --build "$build" -j"$(nproc)" --target realstack_bench Velnor_HelperApp velnor-sim
bench="$(realpath "$build")/realstack_bench"
"$bench" --radio sim
scripts/bluez-vm.sh --timeout 600 -- "$bench" --radio bluez
