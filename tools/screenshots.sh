#!/bin/bash
# Takes a picture of each page of the client's window (Status, Settings,
# Printers) from the real program under Xvfb, into docs/screenshots/. The
# Status page shows a sample job that the client fetched from the reference
# print service and printed into a CUPS queue.
#   tools/screenshots.sh [BUILD_DIR]      (default build/win32, the win32 preset)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/win32}

tools/setup.sh
[ -f "$build/CMakeCache.txt" ] || cmake --preset win32 >/dev/null
cmake --build "$build" -j2 --target webprint screenshot_driver
build=$(cd "$build" && pwd)

out=$root/docs/screenshots
work=$build/screenshots
rm -rf "$work"
mkdir -p "$out" "$work"
queue=Office-Laser
computer=RECEPTION-PC

lpstat -r 2>/dev/null | grep -q "is running" && cups_started_here="" || cups_started_here=1
printed=$(tools/cups-queue.sh "$queue")

/usr/bin/python3 -m hub serve --port 0 --db "$work/service.sqlite" >"$work/service.out" 2>"$work/service.log" &
service=$!
wine_session_before_stop() {
    kill "$service" 2>/dev/null || true
    lpadmin -x "$queue" 2>/dev/null || true
    if [ -n "$cups_started_here" ]; then kill "$(cat /run/cups/cupsd.pid)" 2>/dev/null || true; fi
}
trap wine_session_before_stop EXIT
for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on .*:\([0-9]*\).*/\1/p' "$work/service.out")
[ -n "$port" ] || { cat "$work/service.log"; exit 1; }

printf 'Invoice 2024-117\r\n%.0s' $(seq 400) >"$work/invoice.prn"
job=$(/usr/bin/python3 -m hub submit "$work/invoice.prn" --computer "$computer" --printer "$queue" \
    --name "Invoice 2024-117.pdf" --db "$work/service.sqlite")

. tools/wine-session.sh "$build"

key='HKLM\Software\Morvelund\Tarnwick Web Printing'
wine reg delete "$key" /f >/dev/null 2>&1 || true
wine reg add "$key" /v Url /t REG_SZ /d 127.0.0.1 /f >/dev/null
wine reg add "$key" /v Port /t REG_DWORD /d "$port" /f >/dev/null
wine reg add "$key" /v ComputerName /t REG_SZ /d "$computer" /f >/dev/null

driver=$build/tests/ui/screenshot_driver.exe
wine "$driver" start "$(winepath -w "$build/app/webprint.exe")"
python3 tools/await_job.py --port "$port" --job "$job" --folder "$printed" --expect "$work/invoice.prn" \
    --queue "$queue" >/dev/null

page=0
for name in status settings printers; do
    geometry=$(wine "$driver" page "$page" | tr -d '\r')
    # Let the X server show what Wine has drawn.
    sleep 0.5
    /usr/bin/import -window root -crop "$geometry" +repage "$out/$name.png"
    echo "docs/screenshots/$name.png"
    page=$((page + 1))
done
wine "$driver" exit
