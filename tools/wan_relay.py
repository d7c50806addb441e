#!/usr/bin/env python3
"""A TCP relay on loopback that behaves like a long link, for the WAN benchmark.

Every piece of data is held half the round trip in each direction and then
passed on in the order it came, each piece at its own time; the end of a
stream (a close) is held the same way. A loopback connect completes at once,
so the relay charges the TCP handshake itself: the client's first bytes wait
until the round trip after the accept, and a new connection's first request
arrives 1.5 round trips after the client connected, as on a real link. The
bandwidth is loopback's; what is in flight is held in memory.

  wan_relay.py serve --rtt MS --to PORT    relay 127.0.0.1:PORT; prints "listening PORT"
  wan_relay.py check --rtt MS              validate: a 16 MiB download and a 64-byte
                                           ping-pong through the relay, against a link's
                                           2 RTT and 1 RTT; exit status 1 when off
"""
import argparse
import asyncio
import collections
import statistics
import sys


class Direction:
    """One way of a relayed connection: pieces go to `transport` `delay` seconds
    after they arrived and never before `not_before` + `delay`, in order; None
    stands for the end of the stream."""

    def __init__(self, delay, not_before=0.0):
        self.loop = asyncio.get_running_loop()
        self.delay = delay
        self.not_before = not_before
        self.pending = collections.deque()
        self.transport = None
        self.timer = None
        self.ending = False
        self.ended = False
        self.on_end = None

    def put(self, data):
        self.pending.append((max(self.loop.time(), self.not_before) + self.delay, data))
        self.schedule()

    def end(self):
        if not self.ending:
            self.ending = True
            self.put(None)

    def attach(self, transport):
        self.transport = transport
        self.schedule()

    def schedule(self):
        if self.timer is None and self.pending and self.transport is not None:
            self.timer = self.loop.call_at(self.pending[0][0], self.deliver)

    def deliver(self):
        self.timer = None
        # The loop may run a timer a clock tick early: the first piece is due.
        due_by = max(self.loop.time(), self.pending[0][0])
        while self.pending and self.pending[0][0] <= due_by:
            _, data = self.pending.popleft()
            if data is None:
                self.ended = True
                try:
                    self.transport.write_eof()
                except OSError:
                    # The other side has gone already: nothing to end.
                    pass
                self.on_end()
                return
            if not self.transport.is_closing():
                self.transport.write(data)
        self.schedule()


class Upstream(asyncio.Protocol):
    def __init__(self, relayed):
        self.relayed = relayed

    def connection_made(self, transport):
        self.relayed.to_server.attach(transport)

    def data_received(self, data):
        self.relayed.to_client.put(data)

    def eof_received(self):
        self.relayed.to_client.end()
        return True

    def connection_lost(self, exc):
        self.relayed.to_client.end()


class Relayed(asyncio.Protocol):
    """A client's connection, and its connection to the server."""

    def __init__(self, rtt, port):
        self.rtt = rtt
        self.port = port

    def connection_made(self, transport):
        loop = asyncio.get_running_loop()
        self.client = transport
        self.server = None
        self.to_server = Direction(self.rtt / 2, loop.time() + self.rtt)
        self.to_client = Direction(self.rtt / 2)
        self.to_server.on_end = self.to_client.on_end = self.maybe_close
        self.to_client.attach(transport)
        loop.create_task(self.connect(loop))

    async def connect(self, loop):
        try:
            self.server, _ = await loop.create_connection(lambda: Upstream(self), "127.0.0.1", self.port)
        except OSError:
            self.client.close()

    def data_received(self, data):
        self.to_server.put(data)

    def eof_received(self):
        self.to_server.end()
        return True

    def connection_lost(self, exc):
        self.to_server.end()

    def maybe_close(self):
        if self.to_server.ended and self.to_client.ended:
            self.client.close()
            if self.server is not None:
                self.server.close()


async def start_relay(rtt, port):
    loop = asyncio.get_running_loop()
    return await loop.create_server(lambda: Relayed(rtt, port), "127.0.0.1", 0)


def listening_port(server):
    return server.sockets[0].getsockname()[1]


async def serve(rtt, port):
    relay = await start_relay(rtt, port)
    print("listening %d" % listening_port(relay), flush=True)
    await relay.serve_forever()


DOWNLOAD = 16 << 20
PING = 64
PINGS = 20


async def check(rtt):
    """Times a plain download and a ping-pong through a fresh relay; returns
    (download seconds, median ping-pong seconds)."""
    loop = asyncio.get_running_loop()
    payload = bytes(DOWNLOAD)

    async def source(reader, writer):
        # One request line, then the whole payload and the end of the stream.
        await reader.readline()
        writer.write(payload)
        await writer.drain()
        writer.close()

    async def echo(reader, writer):
        while data := await reader.read(1 << 16):
            writer.write(data)
            await writer.drain()
        writer.close()

    timings = []
    for handler in (source, echo):
        server = await asyncio.start_server(handler, "127.0.0.1", 0)
        relay = await start_relay(rtt, listening_port(server))
        start = loop.time()
        reader, writer = await asyncio.open_connection("127.0.0.1", listening_port(relay))
        if handler is source:
            writer.write(b"GET\n")
            received = len(await reader.read())
            timings.append(loop.time() - start)
            if received != DOWNLOAD:
                raise SystemExit("the download through the relay got %d bytes of %d" % (received, DOWNLOAD))
        else:
            pings = []
            # The first exchange pays for the handshake.
            for _ in range(PINGS + 1):
                sent = loop.time()
                writer.write(b"p" * PING)
                await reader.readexactly(PING)
                pings.append(loop.time() - sent)
            timings.append(statistics.median(pings[1:]))
            # Ends the echo's side too, so nothing is left running.
            writer.write_eof()
            await reader.read()
        writer.close()
        await writer.wait_closed()
        relay.close()
        server.close()
    return timings


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("serve", "check"))
    parser.add_argument("--rtt", type=float, required=True, help="round trip in milliseconds")
    parser.add_argument("--to", type=int, help="the server's port on 127.0.0.1 (serve)")
    arguments = parser.parse_args()
    rtt = arguments.rtt / 1000
    if arguments.mode == "serve":
        if arguments.to is None:
            parser.error("serve needs --to PORT")
        asyncio.run(serve(rtt, arguments.to))
        return
    download, ping = asyncio.run(check(rtt))
    print("download %.6f" % download)
    print("pingpong %.6f" % ping)
    # A link of this round trip cannot be faster; a relay that adds more than
    # a little would make every figure through it too slow.
    if not (2 * rtt <= download <= 2 * rtt + 0.25 and rtt <= ping <= rtt + 0.005):
        print("the relay is not a link of %g ms" % arguments.rtt, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
