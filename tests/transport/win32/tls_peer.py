#!/usr/bin/env python3
"""A TLS server on loopback for the Windows TLS channel's tests.

  tls_peer.py start STATE_DIR CERT_DIR   starts it in the background; writes
                                          STATE_DIR/ports ("name port" lines)
  tls_peer.py stop STATE_DIR             stops it

One listener per kind of server (tests/support/tls_refusals.h names them); the
tests that ask what a listener saw use their own. Most are TLS servers with
one of the test certificates; some refuse in other ways: "tls1.1" speaks TLS
1.1 at most, "weak-ciphers" offers only ciphers without encryption, "closes"
closes on the client's hello, "plain-http" answers it as an HTTP service
does, "trickles" sends the start of a handshake record a byte at a time.
After the handshake a connection to the others takes commands, one per line:
  echo N        N bytes follow; they are sent back
  close-notify  the server sends close_notify and closes
  drop          the server closes without close_notify
  garbage       the server sends a record that does not decrypt, then closes
  seen NAME     waits until no connection to listener NAME is open, then
                answers "BYTES CLOSE" for the connection that ended last: the
                application bytes it received and how it ended ("notify"
                for close_notify, "ragged" for a plain close)
"""
import os
import select
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import warnings

# Listener name, certificate.
LISTENERS = [
    ("server", "server"),
    ("server-2", "server"),
    ("server-3", "server"),
    ("other-host", "other-host"),
    ("expired", "expired"),
    ("not-yet-valid", "not-yet-valid"),
    ("untrusted", "untrusted"),
    ("non-ca-issuer", "non-ca-issuer"),
    ("client-only", "client-only"),
    ("tls1.1", "server"),
    ("weak-ciphers", "server"),
    ("closes", None),
    ("plain-http", None),
    ("trickles", None),
]
# A trickling server sends a byte this often, for at most this long: longer
# than the tests' handshake time-out, shorter than a test may take.
TRICKLE_SECONDS = 0.05
TRICKLE_FOR_SECONDS = 3


class Listener:
    def __init__(self, name, context, cert_dir):
        self.name = name
        self.context = context
        self.cert_dir = cert_dir
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.lock = threading.Condition()
        self.open = 0
        self.finished = 0
        self.last = "none"


def read_exact(conn, count):
    data = b""
    while len(data) < count:
        part = conn.recv(min(65536, count - len(data)))
        if not part:
            raise EOFError
        data += part
    return data


def read_line(conn, received):
    line = b""
    while not line.endswith(b"\n"):
        part = conn.recv(1)
        if not part:
            raise EOFError
        line += part
        received[0] += 1
    return line.decode().strip()


def serve(conn, received, listeners):
    try:
        while True:
            command = read_line(conn, received).split()
            if command[0] == "echo":
                data = read_exact(conn, int(command[1]))
                received[0] += len(data)
                conn.sendall(data)
            elif command[0] == "close-notify":
                conn.unwrap().close()
                return "served"
            elif command[0] == "drop":
                return "served"
            elif command[0] == "garbage":
                os.write(conn.fileno(), b"\x17\x03\x03\x00\x20" + b"\x55" * 32)
                return "served"
            elif command[0] == "seen":
                other = listeners[command[1]]
                with other.lock:
                    other.lock.wait_for(lambda: other.open == 0 and other.finished > 0, timeout=5)
                    answer = other.last + "\n"
                conn.sendall(answer.encode())
    except EOFError:
        return "notify"
    except (ssl.SSLError, OSError):
        return "ragged"


def read_hello(raw):
    """Waits for the client's hello and takes what has come of it."""
    raw.settimeout(5)
    try:
        raw.recv(65536)
    except OSError:
        pass


def refuse(kind, raw):
    read_hello(raw)
    if kind == "plain-http":
        raw.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    elif kind == "trickles":
        # A handshake record of 16 KiB, announced and then sent a byte at a time.
        record = b"\x16\x03\x03\x40\x00" + b"\x00" * 200
        for i in range(int(TRICKLE_FOR_SECONDS / TRICKLE_SECONDS)):
            try:
                raw.sendall(record[i:i + 1])
            except OSError:
                break
            time.sleep(TRICKLE_SECONDS)
    return "ragged"


def accept_loop(listener, listeners):
    while True:
        raw, _ = listener.sock.accept()
        with listener.lock:
            listener.open += 1

        def run(raw=raw):
            ending = "ragged"
            received = [0]
            try:
                if listener.name in ("closes", "plain-http", "trickles"):
                    ending = refuse(listener.name, raw)
                else:
                    conn = listener.context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
                    ending = serve(conn, received, listeners)
            except (ssl.SSLError, OSError):
                pass
            finally:
                raw.close()
                with listener.lock:
                    listener.open -= 1
                    listener.finished += 1
                    listener.last = "%d %s" % (received[0], ending)
                    listener.lock.notify_all()

        threading.Thread(target=run, daemon=True).start()


def run_server(state_dir, cert_dir):
    listeners = {}
    for name, stem in LISTENERS:
        context = None
        if stem is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(cert_dir, stem + ".pem"), os.path.join(cert_dir, stem + ".key"))
        if name == "tls1.1":
            # A server too old for the client: TLS 1.1 at most.
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                context.maximum_version = ssl.TLSVersion.TLSv1_1
        elif name == "weak-ciphers":
            # TLS 1.2 (1.3 has only strong ciphers) with nothing but ciphers
            # that leave the data unencrypted, which no client offers.
            context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.set_ciphers("NULL-SHA256:NULL-SHA:@SECLEVEL=0")
        listeners[name] = Listener(name, context, cert_dir)
    for listener in listeners.values():
        threading.Thread(target=accept_loop, args=(listener, listeners), daemon=True).start()
    ports = "".join("%s %d\n" % (name, l.sock.getsockname()[1]) for name, l in listeners.items())
    with open(os.path.join(state_dir, "ports.tmp"), "w") as f:
        f.write(ports)
    os.replace(os.path.join(state_dir, "ports.tmp"), os.path.join(state_dir, "ports"))
    signal.sigwait([signal.SIGTERM, signal.SIGINT])


def main():
    command, state_dir = sys.argv[1], sys.argv[2]
    pid_file = os.path.join(state_dir, "pid")
    if command == "stop":
        if os.path.exists(pid_file):
            try:
                os.kill(int(open(pid_file).read()), signal.SIGTERM)
            except ProcessLookupError:
                pass
            os.remove(pid_file)
        return 0
    if command == "serve":
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
        run_server(state_dir, sys.argv[3])
        return 0
    # start: a detached server whose output goes to a file, so the caller's
    # pipes close when this returns.
    os.makedirs(state_dir, exist_ok=True)
    ports_file = os.path.join(state_dir, "ports")
    if os.path.exists(ports_file):
        os.remove(ports_file)
    with open(os.path.join(state_dir, "log"), "w") as log:
        process = subprocess.Popen([sys.executable, __file__, "serve", state_dir, sys.argv[3]],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(pid_file, "w") as f:
        f.write(str(process.pid))
    for _ in range(100):
        if os.path.exists(ports_file):
            return 0
        if process.poll() is not None:
            break
        time.sleep(0.05)
    print("tls_peer did not start; see", os.path.join(state_dir, "log"), file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
