#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test twice: under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer. First they are
# built and run with clang and libc++, as on macOS. VELNOR_TEST_BUILDS picks others,
# e.g. VELNOR_TEST_BUILDS="plain" for an optimised build without sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
builds="${VELNOR_TEST_BUILDS:-libcxx asan tsan}"
extra=()
[[ " $builds " == *" libcxx "* ]] && extra=(clang libc++-dev libc++abi-dev googletest)
scripts/install-deps.sh "${extra[@]}"
# The CoreBluetooth backend's Objective-C layer, against our declarations of Apple's API.
scripts/check-objc.sh
for kind in $builds; do
  case "$kind" in
    plain) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    # Sanitizer builds are Debug builds: they compile faster, and they turn on the debug checks
    # (a sync onto a queue from its own thread aborts instead of deadlocking).
    # Line tables are all that a sanitizer report needs, and they build a fifth faster than -g.
    # The real-stack tests run in a virtual machine beside this build (VELNOR_REALSTACK=OFF: not).
    asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
                                 -DVELNOR_SANITIZE=address,undefined
                                 -DVELNOR_REALSTACK_TESTS="${VELNOR_REALSTACK:-ON}") ;;
    # The real-stack tests' virtual machine runs once, beside the AddressSanitizer build.
    tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
                                 -DVELNOR_SANITIZE=thread -DVELNOR_REALSTACK_TESTS=OFF) ;;
    # clang with libc++, as on macOS: the tests on the simulated radio, with GoogleTest built
    # from Debian's sources for libc++ (its C parts with clang too). Unoptimised and without debug
    # information, since this build is only to find what differs with libc++: cheapest to build.
    libcxx) dir=build-libcxx
            flags=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
                   "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g0" -DVELNOR_BLUEZ=OFF -DVELNOR_REALSTACK_TESTS=OFF
                   -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++) ;;
    *) echo "unknown build kind: $kind" >&2; exit 2 ;;
  esac
  echo "== $kind build ($dir) =="
  # BUILD_TESTING is set explicitly: scripts/start.sh turns it off in the shared build directory.
  cmake -S . -B "$dir" -DVELNOR_WERROR=ON -DVELNOR_BENCH=OFF \
    -DBUILD_TESTING=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs")
done
