#!/bin/bash
# Times the real webprint.exe under 32-bit Wine; run through tools/bench.sh.
#
#   tools/bench.sh program [--runs N] [--transport plain|tls]
#       One 16 MiB job from a loopback service (build/bench), printed through
#       Wine's spooler into the raw CUPS queue webprint-bench-discard, whose
#       backend only counts and hashes the bytes. Alternates webprint.exe, a
#       minimal Win32 client with a select before every read and one without,
#       N runs each (3), and checks every printout against the job. With
#       --transport tls it alternates webprint.exe in plain TCP and over TLS
#       (UseTls 1, the test CA trusted in the prefix) instead, and counts the
#       TLS handshakes per poll.
#   tools/bench.sh idle [--polls N]
#       webprint.exe polling an empty queue every second: its CPU time over
#       60 s, and its resident set (its working set) after 10 and N polls (1000).
#
# WEBPRINT_EXE times another build of webprint.exe (e.g. an older one). The
# client runs in its own Wine prefix, build/bench-program/wineprefix, with its
# settings there (PollFreq 1); its window stays hidden, as in the tray.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=$1
shift
runs=3
polls=1000
transport=plain
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --polls) polls=$2; shift 2 ;;
        --transport) transport=$2; shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target webprint minimal_client trust_root >/dev/null
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DWEBPRINT_BENCH=ON >/dev/null
cmake --build build/bench --target webprint_bench_service -j2 >/dev/null
exe=${WEBPRINT_EXE:-build/win32/app/webprint.exe}
minimal=build/win32/bench/program/minimal_client.exe

work=$root/build/bench-program
queue=webprint-bench-discard
rm -f "$work"/*.out
mkdir -p "$work"
lpstat -r 2>/dev/null | grep -q "is running" && cups_started_here="" || cups_started_here=1
counts=$(tools/cups-queue.sh "$queue" "" webprint-count)

build/bench/bench/program/webprint_bench_service --size $((16 << 20)) --printer "$queue" \
    --job-file "$work/job.prn" --transport "$transport" >"$work/service.out" 2>"$work/service.err" &
service=$!
client=""
wine_session_before_stop() {
    [ -n "$client" ] && kill "$client" 2>/dev/null || true
    kill "$service" 2>/dev/null || true
    if [ -n "$cups_started_here" ]; then kill "$(cat /run/cups/cupsd.pid)" 2>/dev/null || true; fi
}
. tools/wine-session.sh "$work"

for _ in $(seq 100); do grep -q listening "$work/service.out" && break; sleep 0.1; done
port=$(awk '/^listening/ { print $2 }' "$work/service.out")
tls_port=$(awk '/^tls/ { print $2 }' "$work/service.out")
[ -n "$port" ] || { cat "$work/service.err"; exit 1; }
[ "$transport" = tls ] && wine build/win32/tests/transport/trust_root.exe "Z:$root/tests/support/tls/ca.pem" >/dev/null
expected="$(stat -c %s "$work/job.prn") $(sha256sum "$work/job.prn" | cut -d ' ' -f 1)"

key='HKLM\Software\Morvelund\Tarnwick Web Printing'
wine reg add "$key" /v Url /t REG_SZ /d 127.0.0.1 /f >/dev/null
wine reg add "$key" /v PollFreq /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$key" /v ComputerName /t REG_SZ /d WEBPRINT-BENCH /f >/dev/null
wine reg add "$key" /v ShowStartUpPanel /t REG_DWORD /d 0 /f >/dev/null

# Waits until the service's output has more than COUNT lines starting with WORD.
await_lines() {
    local word=$1 count=$2 limit=$3
    for _ in $(seq $((limit * 10))); do
        [ "$(grep -c "^$word" "$work/service.out")" -gt "$count" ] && return 0
        sleep 0.1
    done
    echo "timed out waiting for '$word' from the service" >&2
    return 1
}

# CPU seconds (user + system) and resident kilobytes of a process.
cpu_seconds() { awk -v tick="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / tick }' "/proc/$1/stat"; }
resident_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# Arms the service's job for the next qryspool.
arm_job() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'POST /arm HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n' >&3
    local status
    read -r status <&3
    exec 3<&-
    [[ $status == "HTTP/1.1 200 OK"* ]]
}

# Points webprint.exe at the plain service (0) or the one inside TLS (1).
use_tls() {
    wine reg add "$key" /v UseTls /t REG_DWORD /d "$1" /f >/dev/null
    wine reg add "$key" /v Port /t REG_DWORD /d "$([ "$1" = 1 ] && echo "$tls_port" || echo "$port")" /f >/dev/null
}
use_tls 0

# The last query line's counts: queries, plain connections, TLS handshakes.
service_counts() { { grep '^query' "$work/service.out" || true; } | tail -n 1 | cut -d ' ' -f 2-4; }

start_client() {
    wine "$@" >"$work/client.out" 2>&1 &
    client=$!
}

stop_client() {
    kill "$client" 2>/dev/null || true
    wait "$client" 2>/dev/null || true
    client=""
}

# Runs one job with the client given; appends "LABEL line-of-service QUERIES
# HANDSHAKES" (those the run made) to the results and checks the printout.
run_job() {
    local label=$1
    shift
    local printed queued queries before after
    printed=$(grep -c '^printed' "$work/service.out" || true)
    queued=$(ls "$counts" | grep -c '\.count$' || true)
    before=$(service_counts)
    if [[ $label == webprint* ]]; then
        # The job comes with the third poll, once the program has settled in
        # the tray as it runs day to day: start-up work is not timed.
        queries=$(grep -c '^query' "$work/service.out" || true)
        start_client "$@"
        await_lines query $((queries + 1)) 60
        arm_job
        await_lines printed "$printed" 120
        stop_client
    else
        arm_job
        start_client "$@"
        await_lines printed "$printed" 120
        wait "$client"
        client=""
    fi
    after=$(service_counts)
    local queries_before handshakes_before queries_after handshakes_after
    read -r queries_before _ handshakes_before <<<"${before:-0 0 0}"
    read -r queries_after _ handshakes_after <<<"$after"
    echo "$label $(grep '^printed' "$work/service.out" | tail -n 1)" \
        "$((queries_after - queries_before)) $((handshakes_after - handshakes_before))" >>"$work/results.out"
    local got="nothing"
    for _ in $(seq 600); do
        if [ "$(ls "$counts" | grep -c '\.count$' || true)" -gt "$queued" ]; then
            got=$(cat "$(ls -t "$counts"/*.count | head -n 1)")
            break
        fi
        sleep 0.1
    done
    if [ "$got" != "$expected" ]; then
        echo "$label printed '$got', the job is '$expected'" >&2
        exit 1
    fi
}

if [ "$mode" = program ]; then
    for run in $(seq "$runs"); do
        if [ "$transport" = tls ]; then
            use_tls 0
            run_job webprint "$exe"
            use_tls 1
            run_job webprint-tls "$exe"
        else
            run_job webprint "$exe"
            run_job minimal "$minimal" "$port"
            run_job no-select "$minimal" "$port" --no-select
        fi
        echo "run $run of $runs done" >&2
    done
    python3 - "$work/results.out" <<'PYTHON'
import statistics, sys

sys.path.insert(0, "tools")
from bench_table import print_table

times, medians, p99s, queries, handshakes = {}, {}, {}, {}, {}
for line in open(sys.argv[1]):
    label, _, seconds, blocks, median, p99, polls, shakes = line.split()
    times.setdefault(label, []).append(float(seconds))
    medians.setdefault(label, []).append(float(median))
    p99s.setdefault(label, []).append(float(p99))
    queries[label] = queries.get(label, 0) + int(polls)
    handshakes[label] = handshakes.get(label, 0) + int(shakes)
runs = len(times["webprint"])
time = {label: statistics.median(values) for label, values in times.items()}
rows = []
for label, name in (("webprint", "webprint.exe"), ("webprint-tls", "webprint.exe over TLS"),
                    ("minimal", "minimal client, select before every read"),
                    ("no-select", "minimal client, no select")):
    if label not in time:
        continue
    rows.append(("16 MiB job, %s" % name, "%.0f MiB/s (%.2f s)" % (16 / time[label], time[label])))
    rows.append(("Block request, %s: median / p99" % name, "%.0f / %.0f us" % (
        statistics.median(medians[label]), statistics.median(p99s[label]))))
if "minimal" in time:
    rows.append(("Ratio minimal / webprint.exe", "%.2f" % (time["minimal"] / time["webprint"])))
    rows.append(("Ratio no-select client / webprint.exe", "%.2f" % (time["no-select"] / time["webprint"])))
if "webprint-tls" in time:
    rows.append(("Ratio TLS / plain, webprint.exe", "%.2f" % (time["webprint"] / time["webprint-tls"])))
    rows.append(("TLS handshakes / polls, webprint.exe", "%d / %d" % (
        handshakes["webprint-tls"], queries["webprint-tls"])))
print_table(rows, "Measure (median of %d runs)" % runs)
PYTHON
elif [ "$mode" = idle ]; then
    start_client "$exe"
    await_lines query 9 60
    rss_early=$(resident_kb "$client")
    cpu_start=$(cpu_seconds "$client")
    sleep 60
    cpu_end=$(cpu_seconds "$client")
    await_lines query $((polls - 1)) $((polls * 2))
    rss_late=$(resident_kb "$client")
    stop_client
    python3 - "$cpu_start" "$cpu_end" "$rss_early" "$rss_late" "$polls" <<'PYTHON'
import sys

sys.path.insert(0, "tools")
from bench_table import print_table

cpu_start, cpu_end, early, late = (float(value) for value in sys.argv[1:5])
rows = [
    ("Idle CPU over 60 s, poll every second", "%.2f s (%.2f %% of a core)" % (
        cpu_end - cpu_start, (cpu_end - cpu_start) / 60 * 100)),
    ("Resident set after 10 polls", "%.0f KiB" % early),
    ("Resident set after %s polls" % sys.argv[5], "%.0f KiB" % late),
]
print_table(rows)
PYTHON
else
    echo "usage: tools/bench.sh program [--runs N] [--transport plain|tls] | idle [--polls N]" >&2
    exit 2
fi
