#!/usr/bin/env python3
"""Servers on loopback that keep a client waiting, for the window benchmark.

    stall_server.py backlog       a listener whose backlog is full: a connect
                                  to it never completes its handshake
    stall_server.py trickle-tls   takes the TLS client hello, then sends the
                                  start of a 16 KiB handshake record one byte
                                  every 100 ms, never the whole of it
    stall_server.py hold          a print service that answers ping and
                                  printlist, and holds every qryspool's reply
                                  until the client gives up

Each prints "listening PORT" once ready, then serves until it is killed.
Standard library only; nothing leaves this machine.
"""
import socket
import sys
import threading
import time

HELD = b"qryspool"


def listener(backlog):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(backlog)
    return server


def announce(server):
    print("listening", server.getsockname()[1], flush=True)


def serve_each(server, handle):
    while True:
        connection, _ = server.accept()
        threading.Thread(target=handle, args=(connection,), daemon=True).start()


def backlog():
    # Never accepted: connections complete until the queue is full; after
    # that the kernel drops each new connection's SYN.
    server = listener(0)
    port = server.getsockname()[1]
    fillers = []
    while True:
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.settimeout(0.5)
        try:
            filler.connect(("127.0.0.1", port))
        except socket.timeout:
            filler.close()
            break
        fillers.append(filler)
    announce(server)
    while True:
        time.sleep(3600)


def trickle(connection):
    with connection:
        try:
            connection.recv(4096)
            # A handshake record of 16 KiB, of which one byte comes at a time.
            connection.sendall(b"\x16\x03\x03\x40\x00")
            while True:
                connection.sendall(b"\x02")
                time.sleep(0.1)
        except OSError:
            pass


def read_request(connection, pending):
    """One request's head and body; None once the client has gone."""
    while b"\r\n\r\n" not in pending:
        data = connection.recv(65536)
        if not data:
            return None, pending
        pending += data
    head, pending = pending.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(pending) < length:
        data = connection.recv(65536)
        if not data:
            return None, pending
        pending += data
    return head, pending[length:]


def hold(connection):
    with connection:
        pending = b""
        try:
            while True:
                head, pending = read_request(connection, pending)
                if head is None:
                    return
                request_line = head.split(b"\r\n", 1)[0]
                if b"func=" + HELD in request_line:
                    # Held until the client closes the connection.
                    while connection.recv(65536):
                        pass
                    return
                body = b"OK\r\n1" if b"func=printlist" in request_line else b"OK"
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        except OSError:
            pass


def main():
    mode = sys.argv[1] if len(sys.argv) == 2 else ""
    if mode == "backlog":
        backlog()
    elif mode in ("trickle-tls", "hold"):
        server = listener(16)
        announce(server)
        serve_each(server, trickle if mode == "trickle-tls" else hold)
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
