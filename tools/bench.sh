#!/bin/bash
# Builds the benchmarks natively in Release (build/bench), runs each three
# times and prints the medians as a table. The JSON of the run stays in
# build/bench/results.json.
#
#   tools/bench.sh [extra Google Benchmark flags]
#
# The real webprint.exe under Wine, beside minimal clients, and at rest:
#   tools/bench.sh program [--runs N] [--transport plain|tls]
#   tools/bench.sh idle [--polls N]
# (tools/program_bench.sh says more.)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    program | idle) exec tools/program_bench.sh "$@" ;;
esac

build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DWEBPRINT_BENCH=ON >/dev/null
cmake --build "$build" --target webprint_bench -j2 >/dev/null

"$build/bench/webprint_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/results.json" --benchmark_out_format=json "$@" >/dev/null

python3 - "$build/results.json" <<'PYTHON'
import json, sys

runs = {}
for run in json.load(open(sys.argv[1]))["benchmarks"]:
    if run.get("aggregate_name") == "median":
        runs[run["run_name"]] = run

def rate(name):
    return "%.0f MiB/s" % (runs[name]["bytes_per_second"] / 2**20)

rows = [
    ("Head parsing (ParseResponseHead)", rate("ParseHead")),
    ("Exchange, Content-Length, 4 KiB body", rate("ReadResponse<ContentLengthResponse>/body:4096/0/real_time")),
    ("Exchange, Content-Length, 60000-byte body", rate("ReadResponse<ContentLengthResponse>/body:60000/0/real_time")),
    ("Exchange, chunked, 4 KiB in 1 KiB chunks", rate("ReadResponse<ChunkedBodyResponse>/body:4096/chunk:1024/real_time")),
    ("Exchange, chunked, 4 KiB in 64-byte chunks", rate("ReadResponse<ChunkedBodyResponse>/body:4096/chunk:64/real_time")),
    ("Exchange, chunked, 60000 bytes in 4 KiB chunks", rate("ReadResponse<ChunkedBodyResponse>/body:60000/chunk:4096/real_time")),
    ("Complement, the poll's byte loop", rate("ByteLoop")),
    ("Complement, eight bytes a step", rate("WordLoop")),
]
job = runs["WholeJob16MiB/min_time:3.000/manual_time"]
rows += [
    ("16 MiB job, client (download + complement + spooler)", "%.0f MiB/s" % job["client_MiB_per_s"]),
    ("16 MiB job, ideal client (same requests, no parsing)", "%.0f MiB/s" % job["ideal_MiB_per_s"]),
    ("Client / ideal", "%.2f" % job["ratio"]),
    ("Median request latency, client", "%.0f us" % job["client_median_us"]),
    ("Median request latency, ideal client", "%.0f us" % job["ideal_median_us"]),
]
tls = runs["WholeJob16MiBTls/min_time:3.000/manual_time"]
rows += [
    ("16 MiB job over TLS, client (handshake included)", "%.0f MiB/s" % tls["tls_MiB_per_s"]),
    ("16 MiB job in plain TCP, same run", "%.0f MiB/s" % tls["plain_MiB_per_s"]),
    ("TLS / plain", "%.2f" % tls["ratio"]),
    ("Median request latency, TLS / plain", "%.0f / %.0f us" % (tls["tls_median_us"], tls["plain_median_us"])),
    ("TLS handshakes per poll", "%.0f" % tls["handshakes_per_poll"]),
]
width = max(len(name) for name, _ in rows)
print("| %-*s | %s |" % (width, "Measure", "Median of 3 runs"))
print("|-%s-|-%s-|" % ("-" * width, "-" * 16))
for name, value in rows:
    print("| %-*s | %16s |" % (width, name, value))
PYTHON
