#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the service in Release mode, runs the benchmarks and prints the
# ratios the service is held to. Takes a few minutes; run it on a quiet machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

VIRELTO_PACKAGES+=(tesseract-ocr) # the command-line tool, for comparison
install_packages
build=${VIRELTO_BENCH_BUILD_DIR:-$VIRELTO_ROOT/build-bench}
configure_and_build "$build" Release -DBUILD_TESTING=OFF -DVIRELTO_BENCHMARKS=ON >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fixtures=$VIRELTO_ROOT/server/tests/fixtures

# The service runs its engines single-threaded; so does the direct call.
OMP_THREAD_LIMIT=1 "$build/server/bench/ocr_bench" --benchmark_format=json >"$out/bench.json"
"$build/server/bench/ocr_bench" --memory 1000 >"$out/memory.csv"
"$build/server/bench/ocr_bench" --crowd 1000 200 >"$out/crowd.csv"

python3 - "$out" "$fixtures" <<'PY'
import json, os, statistics, subprocess, sys, time
out, fixtures = sys.argv[1], sys.argv[2]
runs = json.load(open(os.path.join(out, "bench.json")))["benchmarks"]
names = ["clean.png", "serif.png", "small.png", "photo.jpg"]

def ms(prefix, *args):
    name = "/".join([prefix] + [str(a) for a in args])
    for r in runs:
        if r["name"] == name or r["name"].startswith(name + "/"):
            return r["real_time"]
    return float("nan")

def cli_ms(name):
    env = dict(os.environ)
    env.pop("OMP_THREAD_LIMIT", None)  # the tool with its defaults
    times = []
    for _ in range(5):
        start = time.perf_counter()
        subprocess.run(["tesseract", os.path.join(fixtures, name), "-"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)

print("English pages; http: language_type=ENG, default: no language_type (Chinese and English)")
print(f"{'image':<10} {'direct ms':>10} {'http ms':>9} {'http/direct':>12} {'default ms':>11} {'default/ENG':>12} {'cli ms':>8} {'cli/http':>9}")
for i, name in enumerate(names):
    direct, http, default, cli = ms("DirectEngine", i), ms("ThroughHttp", i, 1), ms("ThroughHttp", i, 0), cli_ms(name)
    print(f"{name:<10} {direct:>10.1f} {http:>9.1f} {http / direct:>12.3f} {default:>11.1f} {default / http:>12.2f} "
          f"{cli:>8.1f} {cli / http:>9.2f}")

rate = {r["label"]: r["items_per_second"] for r in runs if r["name"].startswith("TwoClients")}
w1, w2 = rate.get("workers 1", float("nan")), rate.get("workers 2", float("nan"))
print(f"\nthroughput, two clients: workers 1 {w1:.2f} req/s, workers 2 {w2:.2f} req/s, ratio {w2 / w1:.2f}")

rows = [l.split(",") for l in open(os.path.join(out, "memory.csv")).read().split()[1:]]
first, last = rows[0], rows[-1]
crowd = [l.split(",") for l in open(os.path.join(out, "crowd.csv")).read().split()[1:]]
print("\n8 keep-alive clients, alone and beside 1000 idle + 200 slowloris connections (small.png, 2 workers):")
for row in crowd:
    if row[0] == "idle_connections":
        print(f"server memory per 1000 idle connections: {int(row[3]) / 1024:.1f} MiB")
    else:
        print(f"  {row[0]:<6} {row[1]:<6} answered {row[2]:>4}  p50 {float(row[3]):8.1f} ms  p99 {float(row[4]):8.1f} ms")
print(f"memory over {last[0]} requests: RSS {int(first[1]) // 1024} MiB after {first[0]}, "
      f"{int(last[1]) // 1024} MiB after {last[0]}; peak {int(last[2]) // 1024} MiB")
PY
