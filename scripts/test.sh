#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the project needs and runs every test three ways:
#   1. plain: a Debug build with warnings as errors;
#   2. sanitized: the same under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. fuzz: the OCR service built on its own with clang (no Qt in reach), with
#      its network parsers fuzzed for VIRELTO_FUZZ_SECONDS each (default 60).
# Every pass runs and ends with its wall time, after the last lines of any
# test it skipped (their reason); the script fails if any pass failed.
# --pass NAME runs one of them alone.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage() {
    cat <<USAGE
usage: scripts/test.sh [--pass NAME]...

Installs the Debian packages the project needs, then runs every test in
three passes, each in its own build folder:

  plain      build/       a Debug build with warnings as errors
  sanitized  build-asan/  the same under ASan and UBSan
  fuzz       build-fuzz/  the OCR service alone, built with clang, its network
                          parsers fuzzed for \$VIRELTO_FUZZ_SECONDS seconds each (default 60)

  --pass NAME  run only pass NAME (plain, sanitized or fuzz); may be repeated
  -h, --help   this text

All three take about 28 minutes on 2 cores and 1.8 GB of disk. The folders are
\$VIRELTO_TEST_BUILD_DIR, \$VIRELTO_ASAN_BUILD_DIR and \$VIRELTO_FUZZ_BUILD_DIR
when set; apt's output goes to install-output.log in the first.
USAGE
}

passes=()
while [ $# -gt 0 ]; do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --pass)
            case ${2:-} in
                plain|sanitized|fuzz) passes+=("$2"); shift ;;
                *) echo "test.sh: --pass needs plain, sanitized or fuzz, not '${2:-}'" >&2; exit 2 ;;
            esac ;;
        *) echo "test.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
[ ${#passes[@]} -gt 0 ] || passes=(plain sanitized fuzz)

plain=${VIRELTO_TEST_BUILD_DIR:-$VIRELTO_ROOT/build}
VIRELTO_INSTALL_LOG=${VIRELTO_INSTALL_LOG:-$plain/install-output.log}
install_packages "${VIRELTO_DEMO_PACKAGES[@]}" "${VIRELTO_TEST_PACKAGES[@]}" || exit 1
jobs=$(nproc)
failed=()

# Wall time since START (in $SECONDS), as "9 min 12 s".
took() {
    local seconds=$((SECONDS - $1))
    if [ "$seconds" -ge 60 ]; then
        echo "$((seconds / 60)) min $((seconds % 60)) s"
    else
        echo "$seconds s"
    fi
}

pass() { # pass NAME COMMAND...
    local start=$SECONDS
    echo "=== $1"
    if "${@:2}"; then
        echo "=== $1: $(took "$start")"
    else
        echo "=== $1: FAILED after $(took "$start")" >&2
        failed+=("$1")
    fi
}

# run_ctest DIR [ctest options...]: ctest in DIR, then what each test it
# skipped printed last (its reason), which ctest keeps only in its log.
run_ctest() {
    local dir=$1 summary status=0 name
    shift
    summary=$(mktemp)
    (cd "$dir" && ctest "$@") | tee "$summary" || status=$?
    sed -n '/^The following tests did not run:/,/^$/ s/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$summary" |
        while IFS= read -r name; do
            echo "Skipped: $name; the last lines it printed:"
            test_output "$dir/Testing/Temporary/LastTest.log" "$name" | tail -n 20 | sed 's/^/  | /'
        done
    rm -f "$summary"
    return "$status"
}

test_output() { # test_output LASTTEST_LOG NAME: what test NAME printed, from ctest's log
    name=$2 awk '
        !state && /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); state = $0 == ENVIRON["name"]; next }
        state == 1 && $0 == "Output:" { state = 2; getline; next }
        state == 2 && $0 == "<end of output>" { exit }
        state == 2 { print }
    ' "$1"
}

plain_pass() {
    configure_and_build "$plain" Debug -DVIRELTO_WERROR=ON -DBUILD_TESTING=ON -DVIRELTO_BENCHMARKS=ON &&
        run_ctest "$plain" --output-on-failure -j"$jobs"
}

sanitized=${VIRELTO_ASAN_BUILD_DIR:-$VIRELTO_ROOT/build-asan}
sanitized_pass() (
    # Leaks inside Qt's platform plugins, fontconfig and libdbus are theirs,
    # once per process; everything else fails the test.
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
    export LSAN_OPTIONS=suppressions=$VIRELTO_ROOT/tests/sanitizers/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    configure_and_build "$sanitized" Debug -DVIRELTO_WERROR=ON -DBUILD_TESTING=ON -DVIRELTO_SANITIZE=ON &&
        run_ctest "$sanitized" --output-on-failure -j"$jobs" -E '^packaging$'
)

fuzzed=${VIRELTO_FUZZ_BUILD_DIR:-$VIRELTO_ROOT/build-fuzz}
fuzz_pass() {
    # Qt out of CMake's reach: a find_package(Qt5) in the service fails. Set
    # from an initial cache, not with -D: nothing in the service looks for Qt,
    # and CMake would call the variable unused (while still naming any -D
    # option below that it ignores).
    mkdir -p "$fuzzed" &&
        echo 'set(CMAKE_DISABLE_FIND_PACKAGE_Qt5 ON CACHE BOOL "Qt out of reach")' >"$fuzzed/without-qt.cmake" &&
        build_step "" "configuring $fuzzed" \
            cmake -C "$fuzzed/without-qt.cmake" -S "$VIRELTO_ROOT/server" -B "$fuzzed" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
            -DVIRELTO_WERROR=ON -DVIRELTO_FUZZ=ON -DVIRELTO_FUZZ_SECONDS="${VIRELTO_FUZZ_SECONDS:-60}" &&
        build_step "" "building in $fuzzed" cmake --build "$fuzzed" -j"$jobs" &&
        run_ctest "$fuzzed" --output-on-failure -j"$jobs"
}

for name in "${passes[@]}"; do
    case $name in
        plain) pass "tests" plain_pass ;;
        sanitized) pass "tests under ASan and UBSan" sanitized_pass ;;
        fuzz) pass "service alone, fuzzed" fuzz_pass ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    printf 'scripts/test.sh: failed: %s\n' "${failed[@]}" >&2
    exit 1
fi
[ ${#passes[@]} -eq 3 ] && echo "scripts/test.sh: all passes green" || echo "scripts/test.sh: ${passes[*]} green"
