#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the project needs and runs every test three ways:
#   1. a Debug build with warnings as errors;
#   2. the same under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the OCR service built on its own with clang (no Qt in reach), with
#      its network parsers fuzzed for VIRELTO_FUZZ_SECONDS each (default 60).
# Every pass runs; the script fails if any of them did.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${VIRELTO_DEMO_PACKAGES[@]}" "${VIRELTO_TEST_PACKAGES[@]}" || exit 1
jobs=$(nproc)
failed=()

pass() { # pass NAME COMMAND...
    echo "=== $1"
    if ! "${@:2}"; then
        echo "=== $1: FAILED" >&2
        failed+=("$1")
    fi
}

plain=${VIRELTO_TEST_BUILD_DIR:-$VIRELTO_ROOT/build}
plain_pass() {
    configure_and_build "$plain" Debug -DVIRELTO_WERROR=ON -DBUILD_TESTING=ON -DVIRELTO_BENCHMARKS=ON &&
        (cd "$plain" && ctest --output-on-failure -j"$jobs")
}

sanitized=${VIRELTO_ASAN_BUILD_DIR:-$VIRELTO_ROOT/build-asan}
sanitized_pass() (
    # Leaks inside Qt's platform plugins, fontconfig and libdbus are theirs,
    # once per process; everything else fails the test.
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
    export LSAN_OPTIONS=suppressions=$VIRELTO_ROOT/tests/sanitizers/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    configure_and_build "$sanitized" Debug -DVIRELTO_WERROR=ON -DBUILD_TESTING=ON -DVIRELTO_SANITIZE=ON &&
        cd "$sanitized" && ctest --output-on-failure -j"$jobs" -E '^packaging$'
)

fuzzed=${VIRELTO_FUZZ_BUILD_DIR:-$VIRELTO_ROOT/build-fuzz}
fuzz_pass() {
    build_step "" "configuring $fuzzed" \
        cmake -S "$VIRELTO_ROOT/server" -B "$fuzzed" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DVIRELTO_WERROR=ON -DVIRELTO_FUZZ=ON -DVIRELTO_FUZZ_SECONDS="${VIRELTO_FUZZ_SECONDS:-60}" \
        -DCMAKE_DISABLE_FIND_PACKAGE_Qt5=ON &&
        build_step "" "building in $fuzzed" cmake --build "$fuzzed" -j"$jobs" &&
        (cd "$fuzzed" && ctest --output-on-failure -j"$jobs")
}

pass "tests" plain_pass
pass "tests under ASan and UBSan" sanitized_pass
pass "service alone, fuzzed" fuzz_pass

if [ ${#failed[@]} -gt 0 ]; then
    printf 'scripts/test.sh: failed: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "scripts/test.sh: all passes green"
