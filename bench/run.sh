#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The window's capture-to-request path against a bare PNG encode of the
# same 1280x720 frame; prints both and their ratio.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
install_packages
build=${VIRELTO_BENCH_BUILD_DIR:-$VIRELTO_ROOT/build-bench}
configure_and_build "$build" Release -DBUILD_TESTING=OFF -DVIRELTO_BENCHMARKS=ON >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/capture_bench" -minimumvalue 1500 -csv 2>/dev/null | python3 -c '
import csv, sys
rows = {r[0]: float(r[3]) for r in csv.reader(sys.stdin) if len(r) > 3 and r[2] == "WalltimeMilliseconds"}
bare, full = rows["barePngEncode"], rows["captureToRequest"]
print(f"bare PNG encode   {bare:8.2f} ms")
print(f"capture->request  {full:8.2f} ms")
print(f"ratio             {full / bare:8.2f}")
'
