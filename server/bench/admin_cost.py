# SPDX-License-Identifier: MIT
# Usage: admin_cost.py PORT ADMIN_PORT IMAGE [N], against a server with client k/s.
# OCR latency with and without a scraper polling /metrics every second, and the cost of one admin request.
import base64, http.client, json, statistics, sys, threading, time, urllib.parse
port, admin, image = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
n = int(sys.argv[4]) if len(sys.argv) > 4 else 60
body = "image=" + urllib.parse.quote(base64.b64encode(open(image, "rb").read()).decode(), safe="")
c = http.client.HTTPConnection("127.0.0.1", port)
c.request("POST", "/oauth/2.0/token?grant_type=client_credentials&client_id=k&client_secret=s")
token = json.loads(c.getresponse().read())["access_token"]
def pct(xs, p): xs = sorted(xs); return xs[min(len(xs) - 1, int(p / 100 * len(xs)))]
def ocr_run():
    c = http.client.HTTPConnection("127.0.0.1", port)
    times = []
    for _ in range(n):
        t = time.perf_counter()
        c.request("POST", "/rest/2.0/ocr/v1/accurate_basic?access_token=" + token, body,
                  {"Content-Type": "application/x-www-form-urlencoded"})
        r = json.loads(c.getresponse().read()); assert "words_result" in r, r
        times.append((time.perf_counter() - t) * 1000)
    return times
def admin_times(path, k):
    a = http.client.HTTPConnection("127.0.0.1", admin); ts = []; size = 0
    for _ in range(k):
        t = time.perf_counter(); a.request("GET", path); size = len(a.getresponse().read()); ts.append((time.perf_counter() - t) * 1000)
    return ts, size
ocr_run()  # warm up
alone = ocr_run()
stop = False
def scraper():
    a = http.client.HTTPConnection("127.0.0.1", admin)
    while not stop:
        a.request("GET", "/metrics"); a.getresponse().read(); time.sleep(1)
th = threading.Thread(target=scraper); th.start()
scraped = ocr_run()
stop = True; th.join()
for name, xs in (("alone", alone), ("scraped 1/s", scraped)):
    print(f"OCR {name}: p50 {pct(xs,50):.1f} ms, p99 {pct(xs,99):.1f} ms over {len(xs)}")
for path in ("/metrics", "/readyz"):
    ts, size = admin_times(path, 500)
    print(f"{path}: p50 {pct(ts,50):.3f} ms, p99 {pct(ts,99):.3f} ms, {size} bytes")
