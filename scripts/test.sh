#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the project needs, builds it with warnings as errors and runs
# every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages
build=${VIRELTO_TEST_BUILD_DIR:-$VIRELTO_ROOT/build}
configure_and_build "$build" Debug -DVIRELTO_WERROR=ON -DBUILD_TESTING=ON -DVIRELTO_BENCHMARKS=ON
cd "$build"
ctest --output-on-failure -j"$(nproc)"
