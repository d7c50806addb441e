"""The hub's HTTP application: `make_app(config)` builds it (aiohttp).

One route table (`routes`) serves three audiences:
- the client's polling protocol (hub.protocol) at the configured service
  path, answered with one-line texts, chunked with `--chunked`;
- the web page (GET /, hub/static/), the state as JSON (GET /api/state) and job
  submission (POST /jobs?computer=C&printer=P&name=N[&file=F], 201 "<id>");
- the JSON API for web applications (hub.api), under /api/, with bearer
  tokens.

One middleware frames every request as the client expects: the body is read
whole first (Content-Length required on POST, no chunked request bodies,
size limits), errors become one-line texts (JSON under /api/), and each
request is logged as one line on standard error before its reply leaves.

A held query (`wait`) waits on the computer's event in `Waiters`; a job
queued here, by another instance (NOTIFY) or by `hub submit` (found by the
store's watch) sets it, and the query asks the database again.
"""

import asyncio
import contextlib
import json
import re
import urllib.parse

from aiohttp import web

from . import api, convert, page, protocol
from .api import queue_job
from .config import Config
from .protocol import DOCUMENT_LIMIT, FUNCTIONS, PREFIXES, ServiceError
from .replies import is_api, reply, reply_error
from .store import Store, Unavailable


class Waiters:
    """One asyncio.Event per computer with a held query; setting it wakes
    every query of that computer, and the next wait gets a fresh event."""

    def __init__(self):
        self._events = {}
        self.held = {}           # name key -> queries held now

    def event(self, key):
        """Taken before the database is asked, so a wake between the answer
        and the wait is not lost."""
        return self._events.setdefault(key, asyncio.Event())

    def wake(self, key):
        if key is None:
            events, self._events = self._events.values(), {}
        else:
            events = [self._events.pop(key)] if key in self._events else []
        for event in events:
            event.set()


class Hub:
    """What the handlers share: settings, the store, the waiting queries, counters."""

    def __init__(self, config, store):
        self.config = config
        self.store = store
        # A conversion's output is a job too: it is held to the job limit.
        self.converter = convert.Converter(output=config.job_limit)
        self.waiters = Waiters()
        self.connections = 0
        self.requests = dict.fromkeys(FUNCTIONS + ("not_found",), 0)


async def read_body(request, limit):
    """The request body, or an error reply that closes the connection."""
    if "Transfer-Encoding" in request.headers:
        return await reply_error(request, 501, "Chunked request bodies are not accepted", close=True)
    lengths = [value.strip() for value in request.headers.getall("Content-Length", ())]
    if not lengths:
        if request.method == "POST":
            return await reply_error(request, 411, "Content-Length required", close=True)
        return b""
    if len(set(lengths)) > 1 or not re.fullmatch("[0-9]{1,18}", lengths[0]):
        return await reply_error(request, 400, "Bad Content-Length", close=True)
    length = int(lengths[0])
    if length > limit:
        return await reply_error(request, 413, "Request body larger than %d bytes" % limit, close=True)
    if length == 0:
        return b""
    try:
        return await request.content.readexactly(length)
    except asyncio.IncompleteReadError:
        raise ConnectionResetError("the peer went away mid-body") from None


@web.middleware
async def framing(request, handler):
    hub = request.app["hub"]
    # Only the replies on the client's side of the service are chunked.
    if request.method == "POST" and request.path != "/jobs" and not is_api(request):
        request["chunk_size"] = hub.config.chunk_size
    try:
        if api.needs_token(request, hub.config):
            # Before the body is read: without a valid token nothing is taken in.
            request["client"] = await api.authorise(request, hub.store)
            if request["client"] is None:
                return await reply_error(request, 401, "A valid bearer token is required")
        limit = hub.config.job_limit if request.method == "POST" else DOCUMENT_LIMIT
        body = await read_body(request, limit)
        if isinstance(body, web.StreamResponse):
            return body
        request["body"] = body
        return await handler(request)
    except web.HTTPException:
        # The router found no route: a path or method the hub does not serve.
        if request.method == "POST" and not is_api(request):
            hub.requests["not_found"] += 1
        return await reply_error(request, 404, "Not found")
    except ServiceError as error:
        return await reply_error(request, error.status, error.text, error.detail)
    except Unavailable as error:
        return await reply_error(request, 503, "Database busy", repr(error))
    except (ConnectionError, asyncio.CancelledError):
        raise
    except Exception as error:  # a bug must not cost the client its connection
        return await reply_error(request, 500, "Internal error", repr(error))


# ---- the client's side ------------------------------------------------------

async def service(request):
    hub = request.app["hub"]
    prefix_query = PREFIXES[hub.config.path - 1].partition("?")[2]
    query = request.raw_path.partition("?")[2]
    function = query[len(prefix_query):] if query.startswith(prefix_query) else None
    if function not in FUNCTIONS:
        raise web.HTTPNotFound()
    hub.requests[function] += 1
    body = request["body"]
    if len(body) > DOCUMENT_LIMIT:
        raise ServiceError(413, "Document too large")
    text = body.decode("latin-1")
    if function == "ping":
        return await reply(request, 200, "OK", "ping")
    if function == "printlist":
        computer, user, printers = protocol.parse_printer_list(text)
        token = await hub.store.register(computer, user, printers, hub.config.enrollment)
        if token is None:
            raise ServiceError(403, "Unknown computer", "computer %s is not enrolled" % computer)
        return await reply(request, 200, "OK\r\n%d" % token, "computer %s token %d printers %d" % (
            computer, token, len(printers)))
    if function == "qryspool":
        return await query_spool(request, hub, *protocol.parse_query(text))
    if function == "spooldata":
        file_name, offset, length, cipher = protocol.parse_block_request(text)
        job_id, data = await hub.store.block(file_name, offset, length, cipher, hub.config.enrollment)
        if data == "refused":
            raise ServiceError(404, "Unknown spool file",
                               "job %d: the cipher is not its computer's secret" % job_id)
        if data == "unknown":
            raise ServiceError(404, "Unknown spool file")
        if data == "outside":
            raise ServiceError(416, "Offset outside the spool file")
        return await reply(request, 200, data.translate(protocol.COMPLEMENT),
                           "job %d offset %d length %d" % (job_id, offset, len(data)))
    job_id = protocol.parse_printed(text)
    state = await hub.store.acknowledge(job_id)
    if state is False:
        raise ServiceError(404, "Unknown job")
    if state not in ("queued", "sent"):
        raise ServiceError(404, "Job already printed")
    return await reply(request, 200, "OK", "job %d printed" % job_id)


async def query_spool(request, hub, token, wait):
    """Hands out the computer's next job; with `wait`, holds the reply until
    one is waiting or the time is up."""
    store = hub.store
    deadline = store.clock() + wait
    key = await store.poll(token, deadline if wait else 0)
    if key is None:
        raise ServiceError(403, "Unknown computer token")
    if wait:
        request["held"] = True
        hub.waiters.held[key] = hub.waiters.held.get(key, 0) + 1
    try:
        while True:
            event = hub.waiters.event(key)
            job, handout_end = await store.claim(key)
            remaining = deadline - store.clock()
            if job or remaining <= 0:
                break
            # A handout of this computer that runs out frees its job: look then.
            if handout_end is not None:
                remaining = min(remaining, handout_end - store.clock() + 0.01)
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(event.wait(), max(remaining, 0))
    finally:
        if wait:
            hub.waiters.held[key] -= 1
            if not hub.waiters.held[key]:
                del hub.waiters.held[key]
            # Also when the client went away during the hold: it is not held any more.
            await store.end_hold(token)
    if not job:
        return await reply(request, 200, "EMPTY", "token %d empty" % token)
    return await reply(request, 200, protocol.spool_reply(job), "token %d job %d" % (token, job["id"]))


# ---- jobs, the web page, the state ---------------------------------------------

async def submit(request):
    hub = request.app["hub"]
    fields = dict(urllib.parse.parse_qsl(request.raw_path.partition("?")[2], keep_blank_values=True,
                                         encoding="latin-1"))
    missing = [key for key in ("computer", "printer", "name") if key not in fields]
    if missing:
        raise ServiceError(400, "Missing parameter: %s" % ", ".join(missing))
    job_id = await queue_job(hub, fields["computer"], fields["printer"], fields["name"],
                             request["body"], fields.get("file"))
    return await reply(request, 201, str(job_id), "job %d queued" % job_id)


async def page_file(request):
    body, content_type = request.app["page"][request.path]
    return await reply(request, 200, body, content_type=content_type)


async def api_state(request):
    hub = request.app["hub"]
    state = page.legacy_state(await hub.store.state())
    state.update(path=hub.config.path, prefix=PREFIXES[hub.config.path - 1],
                 connections=hub.connections, requests=dict(hub.requests),
                 held=sum(hub.waiters.held.values()))
    return await reply(request, 200, json.dumps(state, indent=1).encode("ascii"),
                       content_type="application/json")


def routes(config):
    service_path = "/" + PREFIXES[config.path - 1].partition("?")[0]
    return [
        ("GET", "/api/state", api_state),
        ("POST", "/jobs", submit),
        ("POST", service_path, service),
    ] + api.ROUTES + [("GET", path, page_file) for path in page.PAGE_FILES]


def make_app(config=None, store=None):
    """The hub as an aiohttp application. Without a store, it opens
    config.database at start-up and closes it at clean-up; either way the
    watch for new jobs runs from start to clean-up."""
    config = config or Config()
    app = web.Application(middlewares=[framing], client_max_size=config.job_limit)
    app["page"] = page.page_files()
    for method, path, handler in routes(config):
        app.router.add_route(method, path, handler)

    async def resources(app):
        hub = Hub(config, store or await Store.open(config.database))
        app["hub"] = hub
        stopping = asyncio.Event()
        watch = asyncio.ensure_future(hub.store.watch(hub.waiters.wake, stopping))
        yield
        stopping.set()
        await watch
        if store is None:
            await hub.store.close()

    app.cleanup_ctx.append(resources)
    return app
