#!/usr/bin/env bash
# test.sh -- builds the tree and runs the whole suite, once plain and once
# with AddressSanitizer and UndefinedBehaviorSanitizer (every report fatal).
# Both builds treat compiler warnings as errors (NAS_WERROR).
# Every C and C++ source must match .clang-format first.
#   tools/test.sh           format check, both builds, then the ARM cross build
#   tools/test.sh format    only the format check
#   tools/test.sh plain     only the plain build
#   tools/test.sh sanitize  only the sanitizer build
#   tools/test.sh arm       only the ARM cross build, unit tests under qemu-arm
#                           (tools/test_arm.sh; part of "all" too)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/setup.sh"
jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAS_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600
}
mode=${1:-all}
if [ "$mode" = all ] || [ "$mode" = format ]; then
  echo "== format check (clang-format --dry-run --Werror)"
  (cd "$top" && git ls-files -z '*.cpp' '*.h' '*.c' | grep -zv '/corpus/' |
    xargs -0 clang-format --dry-run --Werror)
fi
if [ "$mode" = all ] || [ "$mode" = plain ]; then
  echo "== plain build"
  run_suite "$top/build" -DNAS_SANITIZE=OFF
fi
if [ "$mode" = all ] || [ "$mode" = sanitize ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_suite "$top/build-sanitize" -DNAS_SANITIZE=ON
fi
if [ "$mode" = all ] || [ "$mode" = arm ]; then
  echo "== ARM cross build, unit tests under qemu-arm"
  bash "$top/tools/test_arm.sh"
fi
