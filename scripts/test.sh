#!/usr/bin/env bash
# Builds and runs every test: the release build, the ASan/UBSan build, the
# ThreadSanitizer build of the threaded tests (the TSan build compiles only
# the tests labelled "threads"), and a short run of each fuzz
# target over its seeds. Usage: scripts/test.sh [build-root]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${1:-$here/build}"
jobs="$(nproc)"
"$here/scripts/deps.sh" || exit 1

failures=0
passed=0
step() {  # step NAME COMMAND...
  local name="$1"; shift
  echo "=== $name"
  if "$@"; then passed=$((passed + 1)); else echo "=== FAILED: $name"; failures=$((failures + 1)); fi
}

build() {  # build DIR CMAKE-ARGS...
  local dir="$1"; shift
  cmake -S "$here" -B "$dir" -DKRY_WERROR=ON "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}

step "release build" build "$root/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "release tests" ctest --test-dir "$root/release" --output-on-failure -j2 --timeout 300

step "asan build" build "$root/asan" -DCMAKE_BUILD_TYPE=Debug -DKRY_SANITIZE=ON -DKRY_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  step "asan tests" ctest --test-dir "$root/asan" --output-on-failure -j2 --timeout 600

step "tsan build" build "$root/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRY_TSAN=ON -DKRY_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  step "tsan tests" ctest --test-dir "$root/tsan" --output-on-failure -j2 --timeout 600

fuzz() {
  CC=clang CXX=clang++ build "$root/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRY_FUZZ=ON -DKRY_TESTS=OFF || return 1
  "$here/scripts/fuzz.sh" "$root/fuzz" "${KRY_FUZZ_SECONDS:-15}"
}
step "fuzz smoke" fuzz

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
