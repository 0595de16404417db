#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The window's capture-to-request path against a bare PNG encode of the
# same 1280x720 frame; prints both and their ratio.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
install_packages "${VIRELTO_DEMO_PACKAGES[@]}" "${VIRELTO_TEST_PACKAGES[@]}"
build=${VIRELTO_BENCH_BUILD_DIR:-$VIRELTO_ROOT/build-bench}
configure_and_build_quietly "$build" Release -DBUILD_TESTING=OFF -DVIRELTO_BENCHMARKS=ON

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
QT_QPA_PLATFORM=offscreen run_to_file capture_bench "$out/bench.csv" \
    "$build/bench/capture_bench" -minimumvalue 1500 -csv
python3 - "$out/bench.csv" "$VIRELTO_SCRIPT" <<'PY'
import csv, sys
path, script = sys.argv[1], sys.argv[2]
rows = {r[0]: float(r[3]) for r in csv.reader(open(path)) if len(r) > 3 and r[2] == "WalltimeMilliseconds"}
missing = [name for name in ("barePngEncode", "captureToRequest") if name not in rows]
if missing:
    sys.exit(f"{script}: capture_bench printed no result for {', '.join(missing)}")
bare, full = rows["barePngEncode"], rows["captureToRequest"]
print(f"bare PNG encode   {bare:8.2f} ms")
print(f"capture->request  {full:8.2f} ms")
print(f"ratio             {full / bare:8.2f}")
PY
