#!/usr/bin/env bash
# Installs what is missing, builds, and starts the helper on the simulated radio.
# Extra arguments go to the helper (for example --config PATH --air DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DVELNOR_BENCH=OFF >/dev/null
targets=(Velnor_HelperApp)
# The device emulator is built too once the project has it.
if cmake --build build --target help | grep -q '^\.\.\. velnor-sim$'; then targets+=(velnor-sim); fi
cmake --build build -j"$(nproc)" --target "${targets[@]}"
exec build/Velnor_HelperApp "$@"
