#!/bin/bash
# Sets up this machine, builds webprint.exe and shows it doing its job: the
# reference print service on 127.0.0.1 hands it a sample job, the client prints
# it raw through Wine's spooler into a CUPS queue whose jobs land as files, and
# the printout is checked byte for byte. Runs until Ctrl-C.
#   tools/run.sh [--tls] [--linux] [--proxy]
# With --tls the service speaks HTTPS with a certificate from a throw-away CA
# made for this run, trusted only by this run's client (the key is deleted at
# once, so it can sign nothing more): added to the trusted roots of the build
# tree's Wine prefix, or handed to webprintd as its CA file; the client has
# UseTls on. --linux does the same with webprintd, the Linux daemon, printing
# through CUPS directly; its settings file and log are in build/run/.
# --proxy puts a tinyproxy of its own (config and log in build/run/proxy/) in
# front of the service: the client's Proxy setting names it, and webprintd
# takes it from http_proxy / https_proxy as Linux programs do.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=""
tls=false
proxy=false
for option in "$@"; do
    case "$option" in
        --tls) tls=true ;;
        --linux) linux=1 ;;
        --proxy) proxy=true ;;
        *) echo "usage: tools/run.sh [--tls] [--linux] [--proxy]" >&2; exit 2 ;;
    esac
done

tools/setup.sh
if [ -n "$linux" ]; then
    cmake --preset native >/dev/null
    cmake --build --preset native -j2 --target webprintd
else
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 -j2 --target webprint trust_root
fi

port=${WEBPRINT_PORT:-7000}
computer=WEBPRINT-DEMO
queue=webprint-demo
run=$root/build/run
mkdir -p "$run"
rm -f "$run"/service.sqlite*

lpstat -r 2>/dev/null | grep -q "is running" && cups_started_here="" || cups_started_here=1
# The printouts land in CUPS's spool, which its backend can reach wherever the
# checkout is; build/run/printed points there.
printed=$(tools/cups-queue.sh "$queue")
rm -rf "$run/printed"
ln -s "$printed" "$run/printed"

service_tls=()
await_tls=()
scheme=http
if $tls; then
    certs=$run/tls
    rm -rf "$certs" && mkdir -p "$certs"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=webprint demo CA $(date +%s)" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$certs/server.key" \
        -out "$certs/server.csr" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$certs/server.ext"
    openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
        -days 30 -extfile "$certs/server.ext" -out "$certs/server.pem" 2>/dev/null
    rm -f "$certs/ca.key"
    service_tls=(--tls-cert "$certs/server.pem" --tls-key "$certs/server.key")
    await_tls=(--tls-ca "$certs/ca.pem")
    scheme=https
fi

/usr/bin/python3 -m hub serve --port "$port" --db "$run/service.sqlite" "${service_tls[@]}" \
    >"$run/service.out" 2>"$run/service.log" &
service=$!
proxy_pid=""
wine_session_before_stop() {
    kill "$service" $proxy_pid 2>/dev/null || true
    if [ -n "$cups_started_here" ]; then kill "$(cat /run/cups/cupsd.pid)" 2>/dev/null || true; fi
}
for _ in $(seq 100); do grep -q listening "$run/service.out" 2>/dev/null && break; sleep 0.1; done
grep -q listening "$run/service.out" || { cat "$run/service.log"; exit 1; }

proxy_setting=""
via=""
if $proxy; then
    python3 tools/http_proxy.py "$run/proxy" --connect-port "$port" >"$run/proxy.out" &
    proxy_pid=$!
    for _ in $(seq 100); do grep -q listening "$run/proxy.out" 2>/dev/null && break; sleep 0.1; done
    proxy_setting=$(sed -n 's/^listening on //p' "$run/proxy.out")
    [ -n "$proxy_setting" ] || exit 1
    via=" through the proxy $proxy_setting (its log: $run/proxy/tinyproxy.log)"
fi

# A sample job with every byte value, after a line of text.
{ printf 'webprint sample job, %s\r\n' "$(date)"; python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 16)'; } >"$run/sample.prn"
job=$(/usr/bin/python3 -m hub submit "$run/sample.prn" --computer "$computer" --printer "$queue" \
    --name "webprint sample" --db "$run/service.sqlite")
# The web page signs in with an API token.
token=$(/usr/bin/python3 -m hub token add demo --db "$run/service.sqlite")

if [ -n "$linux" ]; then
    printf 'Url = 127.0.0.1\nPort = %s\nPollFreq = 5\nComputerName = %s\nUseTls = %s\n' \
        "$port" "$computer" "$($tls && echo 1 || echo 0)" >"$run/webprint.conf"
    # OpenSSL takes the trusted roots from SSL_CERT_FILE when it is set.
    # The daemon takes a proxy from the environment, as Linux programs do.
    unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
    if $proxy; then export http_proxy=http://$proxy_setting/ https_proxy=http://$proxy_setting/; fi
    SSL_CERT_FILE=$($tls && echo "$certs/ca.pem" || echo /etc/ssl/certs/ca-certificates.crt) \
        build/native/app/linux/webprintd --config "$run/webprint.conf" 2>"$run/webprintd.log" &
    daemon=$!
    trap 'kill "$daemon" 2>/dev/null || true; wine_session_before_stop' EXIT
    trap 'exit 130' INT TERM
    echo "webprintd runs, polling 127.0.0.1:$port every 5 seconds$via; its log is $run/webprintd.log."
else
    . tools/wine-session.sh build/win32 user-display

    key='HKLM\Software\Morvelund\Tarnwick Web Printing'
    wine reg add "$key" /v Url /t REG_SZ /d 127.0.0.1 /f >/dev/null
    wine reg add "$key" /v Port /t REG_DWORD /d "$port" /f >/dev/null
    wine reg add "$key" /v PollFreq /t REG_DWORD /d 5 /f >/dev/null
    wine reg add "$key" /v ComputerName /t REG_SZ /d "$computer" /f >/dev/null
    wine reg add "$key" /v ShowStartUpPanel /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$key" /v UseTls /t REG_DWORD /d "$($tls && echo 1 || echo 0)" /f >/dev/null
    if $proxy; then
        wine reg add "$key" /v Proxy /t REG_SZ /d "$proxy_setting" /f >/dev/null
    else
        wine reg delete "$key" /v Proxy /f >/dev/null 2>&1 || true
    fi
    if $tls; then
        wine build/win32/tests/transport/trust_root.exe "Z:$certs/ca.pem"
    fi

    wine build/win32/app/webprint.exe >/dev/null 2>&1 &
    echo "webprint.exe runs on display $DISPLAY, polling 127.0.0.1:$port every 5 seconds$($tls && echo ' over TLS')$via."
fi

if printout=$(python3 tools/await_job.py --port "$port" --job "$job" --folder "$printed" --expect "$run/sample.prn" \
    --queue "$queue" "${await_tls[@]}"); then
    echo "The sample job was printed to $printout and matches the job byte for byte."
else
    echo "The sample job did not arrive; see $run/service.log." >&2
    exit 1
fi
cat <<EOT

Web page:      $scheme://127.0.0.1:$port/ (sign in with the token $token)
More jobs:     /usr/bin/python3 -m hub submit FILE --computer $computer --printer $queue --db $run/service.sqlite
Printouts:     $run/printed/ (that is, $printed/)
Press Ctrl-C to stop the client, the service and everything else started here.
EOT
wait "$service"
