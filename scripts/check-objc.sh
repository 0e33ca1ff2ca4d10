#!/usr/bin/env bash
# Checks the Objective-C layer of the CoreBluetooth backend on a machine without Apple's SDK:
# each .mm file is compiled for syntax and types (ARC, blocks) against our own declarations of
# the CoreBluetooth, Foundation and dispatch API it uses. A misspelt selector, a wrong argument
# type or a missing declaration fails the check. Needs clang++ (Debian's clang).
set -euo pipefail
cd "$(dirname "$0")/.."
clang="${CLANGXX:-clang++}"
status=0
for file in bluetooth/corebluetooth/*.mm; do
  if ! "$clang" -std=c++20 -fobjc-runtime=macosx-12.4 -fobjc-arc -fblocks -x objective-c++ \
      -fsyntax-only -Werror -Wall -Wextra -Wpedantic -Wundeclared-selector \
      -isystem bluetooth/corebluetooth/linux_check -I. "$file"; then
    echo "check-objc: $file failed" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "check-objc: the Objective-C layer compiles against the declarations"
exit "$status"
