#!/bin/bash
# Builds the benchmarks natively in Release (build/bench), runs each three
# times and prints the medians as a table. The JSON of the run stays in
# build/bench/results.json and daemon_results.json. The webprintd rows print
# through a CUPS queue that discards its jobs, webprintd-bench-discard.
#
#   tools/bench.sh [extra Google Benchmark flags]
#   tools/bench.sh --help      prints this and runs nothing
#
# The real webprint.exe under Wine, beside minimal clients, and at rest; both
# real programs over an emulated long link:
#   tools/bench.sh program [--runs N] [--transport plain|tls]
#   tools/bench.sh idle [--polls N]
#   tools/bench.sh wan [--rtt MS,...] [--blocks N,...] [--sizes MIB,...] [--runs N]
#   tools/bench.sh window
# (tools/program_bench.sh says more.) The print hub under many simulated
# clients, on SQLite and on PostgreSQL behind nginx (tools/fleet_bench.py says more):
#   tools/bench.sh fleet [--backends sqlite,postgres] [--rates N,...] [--held N,...]
# How long a job submitted to an idle client waits, webprintd natively and
# webprint.exe under Wine, with and without LongPoll (tools/latency_bench.py
# says more); then the window mode's table:
#   tools/bench.sh latency [--poll S] [--long-poll S] [--baseline-jobs N] [--long-poll-jobs N]
# The hub's document conversion, and the hub's polls while it converts:
#   tools/bench.sh convert [--runs N] [--pollers N] [--seconds S] [--rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    program | idle | wan | window) exec tools/program_bench.sh "$@" ;;
    fleet) shift; exec /usr/bin/python3 tools/fleet_bench.py "$@" ;;
    convert) shift; exec /usr/bin/python3 tools/convert_bench.py "$@" ;;
    latency)
        shift
        cmake --preset win32 >/dev/null
        cmake --build --preset win32 -j2 --target webprint >/dev/null
        cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DWEBPRINT_BENCH=ON >/dev/null
        cmake --build build/bench --target webprintd -j2 >/dev/null
        work=$PWD/build/bench-latency
        mkdir -p "$work"
        lpstat -r 2>/dev/null | grep -q "is running" || cupsd
        for _ in $(seq 100); do lpstat -r 2>/dev/null | grep -q "is running" && break; sleep 0.1; done
        (
            . tools/wine-session.sh "$work"
            python3 tools/latency_bench.py --work "$work" --queue webprint-bench-latency \
                --daemon "${WEBPRINTD:-build/bench/app/linux/webprintd}" \
                --exe "${WEBPRINT_EXE:-build/win32/app/webprint.exe}" "$@"
        )
        echo
        exec tools/program_bench.sh window
        ;;
    # The comment above is the usage.
    -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
esac

build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DWEBPRINT_BENCH=ON >/dev/null
cmake --build "$build" --target webprint_bench webprintd_bench webprintd -j2 >/dev/null

"$build/bench/webprint_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/results.json" --benchmark_out_format=json "$@" >/dev/null

# webprintd: its job path and a minimal client through CUPS, then the daemon
# itself at rest, polling an empty queue every second for ten seconds.
lpadmin -p webprintd-bench-discard -E -v file:/dev/null
"$build/bench/webprintd_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/daemon_results.json" --benchmark_out_format=json >/dev/null
# The scheduler would keep every job's file for a day.
cancel -a -x webprintd-bench-discard
idle=$(mktemp -d)
/usr/bin/python3 -m hub serve --port 0 --db "$idle/service.sqlite" >"$idle/service.out" 2>/dev/null &
service=$!
for _ in $(seq 100); do grep -q listening "$idle/service.out" && break; sleep 0.1; done
printf 'Url = 127.0.0.1\nPort = %s\nPollFreq = 1\n' "$(sed -n 's/.*://p' "$idle/service.out")" >"$idle/webprint.conf"
"$build/app/linux/webprintd" --config "$idle/webprint.conf" 2>"$idle/daemon.log" &
daemon=$!
cpu_ticks() { awk '{print $14 + $15}' "/proc/$daemon/stat"; }
sleep 2
before=$(cpu_ticks)
sleep 10
idle_cpu=$(echo "$before $(cpu_ticks) $(getconf CLK_TCK)" | awk '{printf "%.2f %%", ($2 - $1) / $3 / 10 * 100}')
kill "$daemon" "$service"
wait "$daemon" "$service" 2>/dev/null || true
rm -rf "$idle"

python3 - "$build/results.json" "$build/daemon_results.json" "$idle_cpu" <<'PYTHON'
import json, sys

sys.path.insert(0, "tools")
from bench_table import print_table

runs = {}
for results in sys.argv[1:3]:
    for run in json.load(open(results))["benchmarks"]:
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
daemon = runs["WebprintdJob16MiB/iterations:4/manual_time"]
rows += [
    ("16 MiB job through CUPS, webprintd", "%.0f MiB/s" % daemon["daemon_MiB_per_s"]),
    ("16 MiB job through CUPS, minimal client (no select)", "%.0f MiB/s" % daemon["minimal_MiB_per_s"]),
    ("webprintd / minimal client", "%.2f" % daemon["ratio"]),
    ("webprintd idle CPU, polling every second", sys.argv[3]),
]
print_table(rows, column="Median of 3 runs")
PYTHON
