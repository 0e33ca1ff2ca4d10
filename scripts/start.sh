#!/usr/bin/env bash
# Installs what is missing, builds, and starts the helper on the simulated radio.
# Extra arguments go to the helper (for example --config PATH --air DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELNOR_BENCH=OFF >/dev/null
# The helper and the device emulator that the README's demo runs beside it.
cmake --build build -j"$(nproc)" --target Velnor_HelperApp velnor-sim
exec build/Velnor_HelperApp "$@"
