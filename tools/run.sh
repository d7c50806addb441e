#!/bin/bash
# Sets up this machine, builds webprint.exe and shows it doing its job: the
# reference print service on 127.0.0.1 hands it a sample job, the client prints
# it raw through Wine's spooler into a CUPS queue whose jobs land as files, and
# the printout is checked byte for byte. Runs until Ctrl-C.
#   tools/run.sh [--linux]
# --linux does the same with webprintd, the Linux daemon, printing through
# CUPS directly; its settings file and log are in build/run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=""
[ "${1:-}" = "--linux" ] && linux=1

tools/setup.sh
if [ -n "$linux" ]; then
    cmake --preset native >/dev/null
    cmake --build --preset native -j2 --target webprintd
else
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 -j2 --target webprint
fi

port=${WEBPRINT_PORT:-7000}
computer=WEBPRINT-DEMO
queue=webprint-demo
run=$root/build/run
printed=$run/printed
mkdir -p "$run"
rm -f "$run/service.sqlite" "$printed"/*.prn

. tools/cups-queue.sh "$queue" "$printed"

python3 tools/print_service.py serve --port "$port" --db "$run/service.sqlite" \
    >"$run/service.out" 2>"$run/service.log" &
service=$!
wine_session_before_stop() {
    kill "$service" 2>/dev/null || true
    if [ -n "$cups_started_here" ]; then kill "$(cat /run/cups/cupsd.pid)" 2>/dev/null || true; fi
}
for _ in $(seq 100); do grep -q listening "$run/service.out" 2>/dev/null && break; sleep 0.1; done
grep -q listening "$run/service.out" || { cat "$run/service.log"; exit 1; }

# A sample job with every byte value, after a line of text.
{ printf 'webprint sample job, %s\r\n' "$(date)"; python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 16)'; } >"$run/sample.prn"
job=$(python3 tools/print_service.py submit "$run/sample.prn" --computer "$computer" --printer "$queue" \
    --name "webprint sample" --db "$run/service.sqlite")

if [ -n "$linux" ]; then
    printf 'Url = 127.0.0.1\nPort = %s\nPollFreq = 5\nComputerName = %s\n' "$port" "$computer" >"$run/webprint.conf"
    build/native/app/linux/webprintd --config "$run/webprint.conf" 2>"$run/webprintd.log" &
    daemon=$!
    trap 'kill "$daemon" 2>/dev/null || true; wine_session_before_stop' EXIT
    trap 'exit 130' INT TERM
    echo "webprintd runs, polling 127.0.0.1:$port every 5 seconds; its log is $run/webprintd.log."
else
    . tools/wine-session.sh build/win32 user-display

    key='HKLM\Software\Morvelund\Tarnwick Web Printing'
    wine reg add "$key" /v Url /t REG_SZ /d 127.0.0.1 /f >/dev/null
    wine reg add "$key" /v Port /t REG_DWORD /d "$port" /f >/dev/null
    wine reg add "$key" /v PollFreq /t REG_DWORD /d 5 /f >/dev/null
    wine reg add "$key" /v ComputerName /t REG_SZ /d "$computer" /f >/dev/null
    wine reg add "$key" /v ShowStartUpPanel /t REG_DWORD /d 1 /f >/dev/null

    wine build/win32/app/webprint.exe >/dev/null 2>&1 &
    echo "webprint.exe runs on display $DISPLAY, polling 127.0.0.1:$port every 5 seconds."
fi

if printout=$(python3 tools/await_job.py --port "$port" --job "$job" --folder "$printed" --expect "$run/sample.prn"); then
    echo "The sample job was printed to $printout and matches the job byte for byte."
else
    echo "The sample job did not arrive; see $run/service.log." >&2
    exit 1
fi
cat <<EOT

Status page:   http://127.0.0.1:$port/
More jobs:     python3 tools/print_service.py submit FILE --computer $computer --printer $queue --db $run/service.sqlite
Printouts:     $printed/
Press Ctrl-C to stop the client, the service and everything else started here.
EOT
wait "$service"
