#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the service in Release mode, runs the benchmarks and prints the
# ratios the service is held to. Takes a few minutes; run it on a quiet machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

# tesseract-ocr: the command-line tool, for comparison
install_packages "${VIRELTO_DEMO_PACKAGES[@]}" "${VIRELTO_TEST_PACKAGES[@]}" tesseract-ocr
build=${VIRELTO_BENCH_BUILD_DIR:-$VIRELTO_ROOT/build-bench}
configure_and_build_quietly "$build" Release -DBUILD_TESTING=OFF -DVIRELTO_BENCHMARKS=ON

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fixtures=$VIRELTO_ROOT/server/tests/fixtures
bench=$build/server/bench/ocr_bench

echo "Running ocr_bench (a few minutes) ..."
# The service runs its engines single-threaded; so does the direct call.
OMP_THREAD_LIMIT=1 run_to_file "ocr_bench (latency and throughput)" "$out/bench.json" "$bench" --benchmark_format=json
run_to_file "ocr_bench --memory" "$out/memory.csv" "$bench" --memory 1000
run_to_file "ocr_bench --crowd" "$out/crowd.csv" "$bench" --crowd 1000 200
OMP_THREAD_LIMIT=1 run_to_file "ocr_bench --boundary" "$out/boundary.csv" "$bench" --boundary 40

# Camera photos with their true text: the line reader, the Tesseract reader
# and the tesseract command, one process each (the peak memory is per process).
camera=${VIRELTO_CAMERA_PICTURES:-$VIRELTO_ROOT/../shared/camera-dev}
if [ -d "$camera" ]; then
    echo "Reading the camera photos in $camera (a few minutes) ..."
    for reader in auto tesseract cli; do
        OMP_THREAD_LIMIT=1 run_to_file "camera_bench $reader" "$out/camera-$reader.txt" \
            "$build/server/bench/camera_bench" "$camera" "$reader"
    done
    # A desk's day: the pages on one thread each against the pages sharing
    # the idle cores, 2 workers, the same binary.
    echo "Sending the camera photos as a desk would, one client and then four (about 5 minutes) ..."
    for cores in 1 0; do
        run_to_file "ocr_bench --desk (cores $cores)" "$out/desk-$cores.csv" "$bench" --desk "$camera" "$cores"
    done
else
    echo "No camera photos at $camera (set VIRELTO_CAMERA_PICTURES): their figures are left out"
fi

python3 - "$out" "$fixtures" "$VIRELTO_SCRIPT" <<'PY'
import json, os, statistics, subprocess, sys, time
out, fixtures, script = sys.argv[1], sys.argv[2], sys.argv[3]

def fail(message):
    sys.exit(f"{script}: {message}")

try:
    runs = json.load(open(os.path.join(out, "bench.json")))["benchmarks"]
except (ValueError, KeyError) as e:
    fail(f"ocr_bench printed no benchmark results in JSON ({e})")
names = ["clean.png", "serif.png", "small.png", "photo.jpg"]

def ms(prefix, *args):
    name = "/".join([prefix] + [str(a) for a in args])
    for r in runs:
        if r["name"] == name or r["name"].startswith(name + "/"):
            return r["real_time"]
    fail(f"ocr_bench printed no result for {name}")

def cli_ms(name):
    env = dict(os.environ)
    env.pop("OMP_THREAD_LIMIT", None)  # the tool with its defaults
    times = []
    for _ in range(5):
        start = time.perf_counter()
        done = subprocess.run(["tesseract", os.path.join(fixtures, name), "-"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            fail(f"tesseract {name} failed (exit {done.returncode}): {done.stderr.strip()}")
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)

print("English pages; http: language_type=ENG, default: no language_type (Chinese and English)")
print(f"{'image':<10} {'direct ms':>10} {'http ms':>9} {'http/direct':>12} {'default ms':>11} {'default/ENG':>12} {'cli ms':>8} {'cli/http':>9}")
for i, name in enumerate(names):
    direct, http, default, cli = ms("DirectEngine", i), ms("ThroughHttp", i, 1), ms("ThroughHttp", i, 0), cli_ms(name)
    print(f"{name:<10} {direct:>10.1f} {http:>9.1f} {http / direct:>12.3f} {default:>11.1f} {default / http:>12.2f} "
          f"{cli:>8.1f} {cli / http:>9.2f}")

rate = {r.get("label"): r.get("items_per_second") for r in runs if r["name"].startswith("TwoClients")}
if rate.get("workers 1") is None or rate.get("workers 2") is None:
    fail("ocr_bench printed no TwoClients result for workers 1 and workers 2")
w1, w2 = rate["workers 1"], rate["workers 2"]
print(f"\nthroughput, two clients: workers 1 {w1:.2f} req/s, workers 2 {w2:.2f} req/s, ratio {w2 / w1:.2f}")

rows = [l.split(",") for l in open(os.path.join(out, "memory.csv")).read().split()[1:]]
if not rows or any(len(row) < 3 for row in rows):
    fail("ocr_bench --memory printed no rows of three columns")
first, last = rows[0], rows[-1]
crowd = [l.split(",") for l in open(os.path.join(out, "crowd.csv")).read().split()[1:]]
if not crowd or any(len(row) < (4 if row[0] == "idle_connections" else 5) for row in crowd):
    fail("ocr_bench --crowd printed no rows, or rows too short")
print("\n8 keep-alive clients, alone and beside 1000 idle + 200 slowloris connections (small.png, 2 workers):")
for row in crowd:
    if row[0] == "idle_connections":
        print(f"server memory per 1000 idle connections: {int(row[3]) / 1024:.1f} MiB")
    else:
        print(f"  {row[0]:<6} {row[1]:<6} answered {row[2]:>4}  p50 {float(row[3]):8.1f} ms  p99 {float(row[4]):8.1f} ms")
print(f"memory over {last[0]} requests: RSS {int(first[1]) // 1024} MiB after {first[0]}, "
      f"{int(last[1]) // 1024} MiB after {last[0]}; peak {int(last[2]) // 1024} MiB")

rows = [l.split(",") for l in open(os.path.join(out, "boundary.csv")).read().split()[1:]]
paths = {(r[0], r[1]): (float(r[2]), float(r[3])) for r in rows if len(r) == 4 and r[1] in ("thread", "process", "http")}
if len(paths) != 3 * len(names):
    fail("ocr_bench --boundary printed too few rows")
print("\nthe process boundary, English pages (p50 / p99 ms of 40 each): in-process, worker process, HTTP")
print(f"{'image':<10} {'in-process':>16} {'process':>16} {'process/in':>11} {'http':>16} {'http/process':>13} {'http/in':>8}")
for name in names:
    t, p, h = paths[(name, "thread")], paths[(name, "process")], paths[(name, "http")]
    print(f"{name:<10} {t[0]:>7.1f} / {t[1]:>6.1f} {p[0]:>7.1f} / {p[1]:>6.1f} {p[0] / t[0]:>5.2f}/{p[1] / t[1]:<5.2f} "
          f"{h[0]:>7.1f} / {h[1]:>6.1f} {h[0] / p[0]:>13.3f} {h[0] / t[0]:>8.3f}")
for r in rows:
    if r[0] == "worker_start":
        print(f"a worker process from start to ready (Chinese, English and the line models): p50 {float(r[2]):.0f} ms, max {float(r[4]):.0f} ms")
    if r[0] == "worker_peak_rss_kb":
        print(f"a worker process's peak memory after photo.jpg: {int(r[1]) // 1024} MiB")

summaries = {}
for reader in ("auto", "tesseract", "cli"):
    path = os.path.join(out, f"camera-{reader}.txt")
    if os.path.exists(path):
        lines = open(path).read().splitlines()
        summaries[reader] = lines
desk = {}
for cores in ("1", "0"):
    path = os.path.join(out, f"desk-{cores}.csv")
    if os.path.exists(path):
        rows = [l.split(",") for l in open(path).read().split()[1:]]
        if not rows or len(rows[0]) < 7:
            fail(f"ocr_bench --desk {cores} printed no row of seven columns")
        desk[cores] = rows[0]
if len(desk) == 2:
    one, shared = desk["1"], desk["0"]
    print(f"\na desk on the {one[1]} camera photos, 2 workers, {shared[6]} cores "
          f"(pages on one thread each -> sharing the idle cores):")
    print(f"  one client, summed time: {float(one[2]):.1f} s -> {float(shared[2]):.1f} s, "
          f"ratio {float(shared[2]) / float(one[2]):.2f}")
    print(f"  4 clients, pictures a minute: {float(one[3]):.1f} -> {float(shared[3]):.1f}, "
          f"ratio {float(shared[3]) / float(one[3]):.2f}")
    print(f"  peak memory of the service, its workers and spare: {int(one[4]) // 1024} MiB -> "
          f"{int(shared[4]) // 1024} MiB")
    if int(one[5]) or int(shared[5]):
        print(f"  failed requests: {one[5]} and {shared[5]}")

if summaries:
    print("\ncamera photos (character error rate, whitespace ignored, NFKC):")
    for reader, lines in summaries.items():
        print("  " + lines[-1])
    if "auto" in summaries and "tesseract" in summaries:
        mean = lambda lines: float(lines[-1].split("mean")[1].split()[0])
        print(f"  latency per picture, line reader / Tesseract reader: {mean(summaries['auto']) / mean(summaries['tesseract']):.2f}")
PY
