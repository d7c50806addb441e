#!/usr/bin/env python3
"""A private HTTP proxy in front of the reference service: Debian's tinyproxy
with its own config file, port and log in a folder of the caller's, in the
foreground. The system's tinyproxy service is never touched.

  http_proxy.py FOLDER [--port P] [--connect-port N]... [--basic-auth USER:PASSWORD]

prints "listening on 127.0.0.1:PORT" once the proxy accepts connections and
runs until stopped. --connect-port limits CONNECT (tunnels for TLS) to those
ports (others get 403; none given: every port); --basic-auth makes it ask
for a password (407). Its log, one line per request, is FOLDER/tinyproxy.log.
"""

import argparse
import os
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(folder, port=0, connect_ports=(), basic_auth=None):
    """Starts tinyproxy; returns (process, port) once it accepts connections."""
    os.makedirs(folder, exist_ok=True)
    port = port or free_port()
    config = os.path.join(folder, "tinyproxy.conf")
    with open(config, "w") as f:
        # No User, PidFile or Syslog: it runs as its caller and leaves
        # nothing outside the folder.
        f.write(f"Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\nMaxClients 20\n"
                f"LogLevel Connect\nLogFile \"{os.path.join(folder, 'tinyproxy.log')}\"\n")
        f.writelines(f"ConnectPort {p}\n" for p in connect_ports)
        if basic_auth:
            f.write("BasicAuth {} {}\n".format(*basic_auth.split(":", 1)))
    process = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while process.poll() is None and time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    process.wait()
    raise RuntimeError(f"tinyproxy did not start on port {port}; see {config}")


def stop(process):
    process.terminate()
    process.wait(timeout=10)


def log(folder):
    with open(os.path.join(folder, "tinyproxy.log"), errors="replace") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--connect-port", type=int, action="append", default=[])
    parser.add_argument("--basic-auth")
    arguments = parser.parse_args()
    process, port = start(arguments.folder, arguments.port, arguments.connect_port, arguments.basic_auth)
    # Stopped, it stops the proxy and ends with it.
    signal.signal(signal.SIGTERM, lambda *_: process.terminate())
    signal.signal(signal.SIGINT, lambda *_: process.terminate())
    print(f"listening on 127.0.0.1:{port}", flush=True)
    process.wait()


if __name__ == "__main__":
    main()
