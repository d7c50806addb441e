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
#   tools/bench.sh wan [--rtt MS,...] [--blocks N,...] [--sizes MIB,...] [--runs N]
#       Over an emulated long link (tools/wan_relay.py, checked first against a
#       plain download and a ping-pong at each round trip): webprintd natively
#       and webprint.exe print jobs of each size through the relay with each
#       BlocksInFlight, and curl downloads the same bytes through it; every
#       printout and download is checked. Defaults: RTT 0,20,50,100 ms,
#       BlocksInFlight 1,16,64, sizes 1,4 MiB, 1 run. Seconds per job, and the
#       share of the one-at-a-time latency hidden when RTT 0 is measured.
#   tools/bench.sh window
#       How long the window takes to answer a message sent from another
#       process (bench/program/answer_probe.cpp), while a poll connects to a
#       loopback listener whose backlog is full, during a trickling TLS
#       handshake, during a 4 MiB job and during a held query (the servers of
#       tools/stall_server.py, the job from the loopback service): worst and
#       p99 over 10 s from the window's first answer, a fresh client each.
#
# WEBPRINT_EXE times another build of webprint.exe (e.g. an older one). The
# client runs in its own Wine prefix, build/bench-program/wineprefix, with its
# settings there (PollFreq 1); its window stays hidden, as in the tray.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=$1
shift
runs=""
polls=1000
transport=plain
rtts=0,20,50,100
blocks=1,16,64
sizes=1,4
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --polls) polls=$2; shift 2 ;;
        --transport) transport=$2; shift 2 ;;
        --rtt) rtts=$2; shift 2 ;;
        --blocks) blocks=$2; shift 2 ;;
        --sizes) sizes=$2; shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
[ -n "$runs" ] || runs=$([ "$mode" = wan ] && echo 1 || echo 3)
# The service's document: the largest job asked for; a job gets its first bytes.
service_size=$((16 << 20))
if [ "$mode" = wan ]; then
    service_size=$(($(tr , '\n' <<<"$sizes" | sort -n | tail -n 1) << 20))
    command -v curl >/dev/null || tools/setup.sh
fi

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target webprint minimal_client answer_probe trust_root >/dev/null
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DWEBPRINT_BENCH=ON >/dev/null
cmake --build build/bench --target webprint_bench_service webprintd -j2 >/dev/null
exe=${WEBPRINT_EXE:-build/win32/app/webprint.exe}
daemon=build/bench/app/linux/webprintd
minimal=build/win32/bench/program/minimal_client.exe
probe=build/win32/bench/program/answer_probe.exe

work=$root/build/bench-program
queue=webprint-bench-discard
rm -f "$work"/*.out
mkdir -p "$work"
lpstat -r 2>/dev/null | grep -q "is running" && cups_started_here="" || cups_started_here=1
counts=$(tools/cups-queue.sh "$queue" "" webprint-count)

build/bench/bench/program/webprint_bench_service --size "$service_size" --printer "$queue" \
    --job-file "$work/job.prn" --transport "$transport" >"$work/service.out" 2>"$work/service.err" &
service=$!
client=""
relay=""
stall=""
wine_session_before_stop() {
    [ -n "$client" ] && kill "$client" 2>/dev/null || true
    [ -n "$relay" ] && kill "$relay" 2>/dev/null || true
    [ -n "$stall" ] && kill "$stall" 2>/dev/null || true
    kill "$service" 2>/dev/null || true
    if [ -n "$cups_started_here" ]; then kill "$(cat /run/cups/cupsd.pid)" 2>/dev/null || true; fi
}
. tools/wine-session.sh "$work"

for _ in $(seq 100); do grep -q listening "$work/service.out" && break; sleep 0.1; done
port=$(awk '/^listening/ { print $2 }' "$work/service.out")
tls_port=$(awk '/^tls/ { print $2 }' "$work/service.out")
[ -n "$port" ] || { cat "$work/service.err"; exit 1; }
[ "$transport" = tls ] && wine build/win32/tests/transport/trust_root.exe "Z:$root/tests/support/tls/ca.pem" >/dev/null

# The job the next arm_job hands out, and what its printout must be.
use_job_size() {
    job_size=$1
    expected="$job_size $(head -c "$job_size" "$work/job.prn" | sha256sum | cut -d ' ' -f 1)"
}
use_job_size "$service_size"

key='HKLM\Software\Morvelund\Tarnwick Web Printing'
wine reg add "$key" /v Url /t REG_SZ /d 127.0.0.1 /f >/dev/null
wine reg add "$key" /v PollFreq /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$key" /v ComputerName /t REG_SZ /d WEBPRINT-BENCH /f >/dev/null
wine reg add "$key" /v ShowStartUpPanel /t REG_DWORD /d 0 /f >/dev/null
# One block request at a time, as the minimal clients make them, whatever an
# earlier wan run left in the prefix; the wan mode sets its own.
wine reg delete "$key" /v BlocksInFlight /f >/dev/null 2>&1 || true

# Waits until the service's output has more than COUNT lines starting with
# WORD; fails at once when the client has ended.
await_lines() {
    local word=$1 count=$2 limit=$3
    for _ in $(seq $((limit * 10))); do
        [ "$(grep -c "^$word" "$work/service.out")" -gt "$count" ] && return 0
        if [ -n "$client" ] && ! kill -0 "$client" 2>/dev/null; then
            echo "the client ended before '$word' came; its output:" >&2
            cat "$work/client.out" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "timed out waiting for '$word' from the service" >&2
    return 1
}

# CPU seconds (user + system) and resident kilobytes of a process.
cpu_seconds() { awk -v tick="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / tick }' "/proc/$1/stat"; }
resident_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# Arms the service's job (of job_size bytes) for the next qryspool.
arm_job() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'POST /arm?size=%s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n' "$job_size" >&3
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

# Win32 programs run under Wine, others (webprintd) natively.
start_client() {
    if [[ $1 == *.exe ]]; then
        wine "$@" >"$work/client.out" 2>&1 &
    else
        "$@" >"$work/client.out" 2>&1 &
    fi
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
        await_lines printed "$printed" 600
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

# The window's answers while a poll waits, one fresh client per case, polling
# every second; prints the table. The job case checks that the job printed.
window_table() {
    local scenario stall_port printed
    rm -f "$work/window.out"
    for scenario in backlog trickle-tls job hold; do
        use_tls 0
        if [ "$scenario" = job ]; then
            use_job_size $((4 << 20))
            arm_job
            printed=$(grep -c '^printed' "$work/service.out" || true)
        else
            python3 tools/stall_server.py "$scenario" >"$work/stall.out" 2>&1 &
            stall=$!
            for _ in $(seq 100); do grep -q listening "$work/stall.out" && break; sleep 0.1; done
            stall_port=$(awk '/^listening/ { print $2 }' "$work/stall.out")
            [ -n "$stall_port" ] || { cat "$work/stall.out" >&2; exit 1; }
            [ "$scenario" = trickle-tls ] && wine reg add "$key" /v UseTls /t REG_DWORD /d 1 /f >/dev/null
            wine reg add "$key" /v Port /t REG_DWORD /d "$stall_port" /f >/dev/null
        fi
        start_client "$exe"
        if ! wine "$probe" 10 >"$work/probe.out" 2>&1; then
            cat "$work/probe.out" >&2
            exit 1
        fi
        [ "$scenario" = job ] && await_lines printed "$printed" 60
        stop_client
        if [ -n "$stall" ]; then
            kill "$stall"
            wait "$stall" 2>/dev/null || true
            stall=""
        fi
        echo "$scenario $(cat "$work/probe.out")" >>"$work/window.out"
    done
    use_tls 0
    python3 - "$work/window.out" <<'PYTHON'
import sys

sys.path.insert(0, "tools")
from bench_table import print_table

cases = {
    "backlog": "connects to a listener whose backlog is full",
    "trickle-tls": "meets a trickling TLS handshake",
    "job": "prints a 4 MiB job",
    "hold": "waits for a held query",
}
def shown(milliseconds):
    return "no answer in 20 s" if float(milliseconds) >= 20000 else "%s ms" % milliseconds

rows = []
for line in open(sys.argv[1]):
    case, _, messages, _, worst, _, p99, _, _ = line.split()
    rows.append(("While a poll %s (%s messages)" % (cases[case], messages), shown(worst), shown(p99)))
print_table(rows, "Window's answer to a message, over 10 s", ("worst", "p99"))
PYTHON
}

if [ "$mode" = window ]; then
    window_table
elif [ "$mode" = program ]; then
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
elif [ "$mode" = wan ]; then
    # BlocksInFlight for both programs; 1 is what a missing setting means,
    # and is left out.
    use_blocks() {
        if [ "$1" = 1 ]; then
            wine reg delete "$key" /v BlocksInFlight /f >/dev/null 2>&1 || true
        else
            wine reg add "$key" /v BlocksInFlight /t REG_DWORD /d "$1" /f >/dev/null
        fi
        printf 'Url = 127.0.0.1\nPort = %s\nPollFreq = 1\nComputerName = WEBPRINTD-BENCH\n' "$relay_port" \
            >"$work/webprintd.conf"
        [ "$1" = 1 ] || echo "BlocksInFlight = $1" >>"$work/webprintd.conf"
    }
    for rtt in ${rtts//,/ }; do
        if ! python3 tools/wan_relay.py check --rtt "$rtt" >"$work/check.out"; then
            cat "$work/check.out"
            exit 1
        fi
        echo "$rtt $(awk '{ printf "%s ", $2 }' "$work/check.out")" >>"$work/checks.out"
        python3 tools/wan_relay.py serve --rtt "$rtt" --to "$port" >"$work/relay.out" 2>&1 &
        relay=$!
        for _ in $(seq 300); do grep -q listening "$work/relay.out" && break; sleep 0.1; done
        relay_port=$(awk '/^listening/ { print $2 }' "$work/relay.out")
        if [ -z "$relay_port" ]; then
            echo "the relay did not start:" >&2
            cat "$work/relay.out" >&2
            ps -o pid,stat,etime,cmd -p "$relay" >&2 || true
            exit 1
        fi
        wine reg add "$key" /v Port /t REG_DWORD /d "$relay_port" /f >/dev/null
        for run in $(seq "$runs"); do
            for size in ${sizes//,/ }; do
                use_job_size $((size << 20))
                seconds=$(curl -sS --max-time 600 -o "$work/download" -w '%{time_total}' "http://127.0.0.1:$relay_port/job?size=$job_size")
                got="$(stat -c %s "$work/download") $(sha256sum "$work/download" | cut -d ' ' -f 1)"
                if [ "$got" != "$expected" ]; then
                    echo "curl downloaded '$got', the job is '$expected'" >&2
                    exit 1
                fi
                echo "$size $rtt $seconds" >>"$work/downloads.out"
                for inflight in ${blocks//,/ }; do
                    use_blocks "$inflight"
                    run_job "webprintd:$size:$rtt:$inflight" "$daemon" --config "$work/webprintd.conf"
                    run_job "webprint:$size:$rtt:$inflight" "$exe"
                done
            done
            echo "RTT $rtt ms: run $run of $runs done" >&2
        done
        kill "$relay"
        wait "$relay" 2>/dev/null || true
        relay=""
    done
    python3 - "$work" "$rtts" "$blocks" "$sizes" <<'PYTHON'
import statistics, sys

sys.path.insert(0, "tools")
from bench_table import print_table

work, rtts, blocks, sizes = sys.argv[1], *(argument.split(",") for argument in sys.argv[2:5])

rows = []
for line in open(work + "/checks.out"):
    rtt, download, ping = line.split()
    link = float(rtt) / 1000
    rows.append(("%s ms" % rtt, "%.3f s (2 RTT + %.0f ms)" % (float(download), (float(download) - 2 * link) * 1000),
                 "%.2f ms (RTT + %.2f ms)" % (float(ping) * 1000, (float(ping) - link) * 1000)))
print_table(rows, "Relay check, RTT", ("16 MiB download", "64-byte ping-pong, median"))
print()

times = {}
for line in open(work + "/results.out"):
    fields = line.split()
    times.setdefault(tuple(fields[0].split(":")), []).append(float(fields[2]))
for line in open(work + "/downloads.out"):
    size, rtt, seconds = line.split()
    times.setdefault(("curl", size, rtt), []).append(float(seconds))
time = {key: statistics.median(values) for key, values in times.items()}

programs = (("webprintd", "webprintd"), ("webprint", "webprint.exe"))
headings = ["RTT", "curl"]
for _, name in programs:
    headings += ["%s, BlocksInFlight %s" % (name, blocks[0])] + blocks[1:]
rows = []
for size in sizes:
    for rtt in rtts:
        row = ["%s MiB" % size, "%s ms" % rtt, "%.3f" % time["curl", size, rtt]]
        row += ["%.3f" % time[program, size, rtt, inflight] for program, _ in programs for inflight in blocks]
        rows.append(row)
runs = len(times["curl", sizes[0], rtts[0]])
print("Seconds per job (median of %d run%s):" % (runs, "" if runs == 1 else "s"))
print_table(rows, "Job", headings)

# The goal's measure: 1 - (time at RTT - time at RTT 0) / (blocks x RTT).
if "0" in rtts and len(rtts) > 1:
    print()
    rows = []
    for size in sizes:
        count = int(size) * 256
        for rtt in rtts:
            if rtt == "0":
                continue
            cost = count * float(rtt) / 1000
            rows.append(["%s MiB" % size, "%s ms" % rtt] + [
                "%.3f" % (1 - (time[program, size, rtt, inflight] - time[program, size, "0", inflight]) / cost)
                for program, _ in programs for inflight in blocks])
    print("Share of the one-at-a-time latency hidden, 1 - (time - time at RTT 0) / (blocks x RTT):")
    print_table(rows, "Job", headings[:1] + headings[2:])
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
    echo "usage: tools/bench.sh program [--runs N] [--transport plain|tls] | idle [--polls N]" \
        "| wan [--rtt MS,...] [--blocks N,...] [--sizes MIB,...] [--runs N] | window" >&2
    exit 2
fi
