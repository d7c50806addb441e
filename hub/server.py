"""Running the hub: the listening socket, TLS, signals, start and stop.

`serve(config)` prints "listening on HOST:PORT" on standard output once it
accepts connections (port 0 picks a free one) and runs until SIGTERM or
SIGINT. Each accepted connection counts in the state document; a failed TLS
handshake is one log line and costs no other client anything.
"""

import asyncio
import logging
import resource
import signal
import ssl
import sys
import time

from aiohttp import HttpVersion11, web, web_protocol

from .app import make_app
from .replies import JSON_TYPE, TEXT_TYPE, error_body, is_api, log

KEEPALIVE_SECONDS = 120
SHUTDOWN_SECONDS = 1


def log_line(text):
    sys.stderr.write("- - - [%s] %s\n" % (time.strftime("%d/%b/%Y %H:%M:%S"), text))
    sys.stderr.flush()


class _Connection(web_protocol.RequestHandler):
    def connection_lost(self, exc):
        # aiohttp 3.8 lets a handler run on after its client has left. A held
        # query would wait on for nobody and then take its computer's next
        # job, which would go out again only when that handout ran out: the
        # query ends with its connection.
        request, task = self._current_request, self._task_handler
        super().connection_lost(exc)
        if request is not None and request.get("held") and task is not None:
            task.cancel()

    def handle_error(self, request, status=500, exc=None, message=None):
        """Requests aiohttp could not parse: a one-line answer, then the
        connection closes (its framing cannot be trusted)."""
        text = {400: "Bad request", 413: "Request too large"}.get(status, "Internal error")
        request["line"] = "<unparsed request>"
        # aiohttp stands in an HTTP/1.0 request for what it could not parse;
        # the answer is HTTP/1.1 like every other.
        request._version = HttpVersion11
        request._cache.pop("version", None)
        if is_api(request):
            body, content_type = error_body(status, text), JSON_TYPE
        else:
            body, content_type = text.encode(), TEXT_TYPE
        log(request, status, len(body), message or (repr(exc) if exc else ""))
        response = web.Response(status=status, body=body, headers={"Content-Type": content_type})
        response.force_close()
        return response


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


class _TlsAccept(asyncio.Protocol):
    """Takes a TCP connection through the TLS handshake, then hands it to the
    HTTP connection; a failed handshake is one log line (asyncio's own TLS
    server drops it silently)."""

    handshakes = set()  # running handshakes, kept from the garbage collector

    def __init__(self, make_connection, context):
        self._make_connection = make_connection
        self._context = context

    def connection_made(self, transport):
        transport.pause_reading()  # start_tls reads from here on
        task = asyncio.ensure_future(self._handshake(transport))
        self.handshakes.add(task)
        task.add_done_callback(self.handshakes.discard)

    async def _handshake(self, transport):
        connection = self._make_connection()
        try:
            secure = await asyncio.get_running_loop().start_tls(
                transport, connection, self._context, server_side=True)
        except (OSError, asyncio.TimeoutError) as error:
            log_line("TLS connection failed: %s" % (getattr(error, "reason", None) or error))
            transport.close()
            return
        connection.connection_made(secure)

    def connection_lost(self, error):
        pass


def _more_files():
    """Every held query is an open connection: allow as many as the system lets us."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


async def _serve(config):
    loop = asyncio.get_running_loop()
    tls = tls_context(config.tls_cert, config.tls_key) if config.tls_cert else None
    runner = web.AppRunner(make_app(config), handle_signals=False, access_log=None)
    await runner.setup()
    hub = runner.app["hub"]

    def connection():
        hub.connections += 1
        return _Connection(runner.server, loop=loop, keepalive_timeout=KEEPALIVE_SECONDS, access_log=None)

    factory = connection if tls is None else lambda: _TlsAccept(connection, tls)
    try:
        server = await loop.create_server(factory, config.host, config.port, backlog=4096)
    except OSError:
        await runner.cleanup()
        raise
    host, port = server.sockets[0].getsockname()[:2]
    print("listening on %s:%d" % (host, port), flush=True)
    stop = asyncio.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    await stop.wait()
    server.close()
    await runner.server.shutdown(SHUTDOWN_SECONDS)
    await runner.cleanup()


def serve(config):
    """Runs the hub; returns the exit code."""
    logging.getLogger("aiohttp").addHandler(logging.NullHandler())
    logging.getLogger("aiohttp").propagate = False
    _more_files()
    try:
        asyncio.run(_serve(config))
    except (OSError, ssl.SSLError) as error:
        print("serve: %s" % error, file=sys.stderr)
        return 1
    return 0
