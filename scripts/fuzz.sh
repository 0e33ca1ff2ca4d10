#!/usr/bin/env bash
# Builds the fuzz targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for SECONDS (default 60) on a copy of its seed corpus in fuzz/corpus/NAME. A crash,
# leak or timeout stops the script with the fuzzer's report and the input in build-fuzz/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
scripts/install-deps.sh
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || {
    echo "fuzz.sh needs the package $p (apt-get install -y clang libclang-rt-14-dev)" >&2
    exit 2
  }
done
# -O1 with line tables: reports keep their lines, and the targets build in half the time of -O2 -g.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
  -DVELNOR_FUZZ=ON -DVELNOR_SANITIZE=address,undefined -DVELNOR_BENCH=OFF -DBUILD_TESTING=OFF \
  -DVELNOR_BLUEZ=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

# Runs target $1 on a copy of its corpus; its output goes to build-fuzz/$1.log.
run_target() {
  mkdir -p "build-fuzz/corpus-$1"
  (cd build-fuzz && "./$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "corpus-$1" "../fuzz/corpus/$1" >"$1.log" 2>&1)
}

# Each fuzzer uses one core: as many run at once as there are cores.
failed=()
for ((i = 0; i < ${#targets[@]}; i += $(nproc))); do
  batch=("${targets[@]:i:$(nproc)}")
  pids=()
  for t in "${batch[@]}"; do
    echo "== $t, ${seconds}s =="
    run_target "$t" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    t="${batch[$j]}"
    if wait "${pids[$j]}"; then
      grep -E "^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb" \
        "build-fuzz/$t.log"
    else
      tail -n 80 "build-fuzz/$t.log"
      failed+=("$t")
    fi
  done
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "${failed[*]} failed: the input is in build-fuzz/ (crash-*, leak-*, timeout-*)" >&2
  exit 1
fi
