#!/usr/bin/env bash
# Builds the toolkit-free core and the unit, widget and integration tests (with the programs
# they start) with clang under AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/, warnings as errors, and runs every test there; the Qt libraries stay as Debian
# built them. Any sanitizer report fails its test. Ends with one line: the tests that passed,
# or how many failed, and the time taken.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
summary="the build failed"
trap 'status=$?; ((status == 0)) || echo "sanitizers: $summary after $((SECONDS - started)) s"' EXIT

bash tools/setup.sh --packages-only clang libclang-rt-14-dev

# For the tests, the programs they start and the test listing at build time alike. Leaks are
# checked in every process, Qt's included: the few that system libraries under Qt make for
# themselves are suppressed by library (tests/support/lsan.supp), which keeps a leak of ours
# in view where turning leak checking off for the Qt tests would hide it. The noise test gets
# a small allocator quarantine of its own (tests/CMakeLists.txt).
export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1

CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERO_WERROR=ON -DMERO_SANITIZE=ON >/dev/null
cmake --build build-asan -j2 --target unit_tests widget_tests integration_tests

summary="the tests did not run"
cd build-asan
log=$(mktemp)
ctest_status=0
QT_QPA_PLATFORM=offscreen ctest -j2 --timeout 300 --output-on-failure 2>&1 | tee "$log" ||
  ctest_status=$?
# "100% tests passed, 0 tests failed out of 346"
read -r failed total < <(sed -n 's/.* tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log") || true
rm -f "$log"
if ((ctest_status != 0)) || [ -z "${total:-}" ] || ((failed != 0)) || ((total == 0)); then
  summary="${failed:-?} of ${total:-?} tests failed under ASan+UBSan"
  exit 1
fi
echo "sanitizers: $total tests passed under ASan+UBSan in $((SECONDS - started)) s"
