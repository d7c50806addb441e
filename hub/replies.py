"""Replies and the request log: every answer of the hub leaves through reply().

Each request is one line on standard error, written before its reply leaves
(so the line is there once the peer has the reply). Error bodies are one line
of text, or {"error": TEXT} under /api/; error_body() makes the latter.
"""

import json
import sys
import time

from aiohttp import web

TEXT_TYPE = "text/plain; charset=windows-1252"
JSON_TYPE = "application/json; charset=utf-8"


def log(request, status, size, detail=""):
    """One line per request, as the old reference service wrote it."""
    line = request.get("line") or "%s %s HTTP/%d.%d" % (
        request.method, request.raw_path, request.version.major, request.version.minor)
    peer = request.remote or "-"
    sys.stderr.write('%s - - [%s] "%s" %d %d%s\n' % (
        peer, time.strftime("%d/%b/%Y %H:%M:%S"), line, status, size,
        " " + detail if detail else ""))
    sys.stderr.flush()


def is_api(request):
    return request.path.startswith("/api/")


async def reply(request, status, body, detail="", content_type=None, close=False):
    """Sends a reply; the client's side of the service gets it chunked with --chunked."""
    if isinstance(body, str):
        body = body.encode("latin-1")
        content_type = content_type or TEXT_TYPE
    log(request, status, len(body), detail)
    headers = {"Content-Type": content_type or "application/octet-stream"}
    chunk_size = request.get("chunk_size", 0)
    if not chunk_size:
        response = web.Response(status=status, body=body, headers=headers)
        if close:
            response.force_close()
        return response
    response = web.StreamResponse(status=status, headers=headers)
    response.enable_chunked_encoding()
    if close:
        response.force_close()
    await response.prepare(request)
    # Each chunk is its own write, so the client meets chunks that arrive in
    # separate reads.
    for start in range(0, len(body), chunk_size):
        await response.write(body[start:start + chunk_size])
    await response.write_eof()
    return response


def error_body(status, text):
    """Every error's body: one line of text, or {"error": text} under /api/."""
    return json.dumps({"error": text}).encode("utf-8")


async def reply_error(request, status, text, detail=None, close=False):
    if is_api(request):
        return await reply(request, status, error_body(status, text), text if detail is None else detail,
                           JSON_TYPE, close)
    return await reply(request, status, text, text if detail is None else detail, close=close)
