"""The JSON API for web applications, under /api/.

Every call carries `Authorization: Bearer TOKEN` (a token printed by
`hub token add NAME`); without a valid one the answer is 401 and nothing
changes. Texts are UTF-8 in the query and in the JSON; the hub keeps them in
the clients' code page (`encoding`, cp1252 by default), so a text that code
page cannot write is refused.

  POST   /api/jobs?computer=C&printer=P&name=N[&copies=N&duplex=D&paper=S&pages=R]
         body: the printer-ready bytes, or a document to convert
         -> 201 {"id": 7, "state": "queued"}
  GET    /api/jobs/ID   -> {"id", "computer", "printer", "name", "size", "source_size",
                            "state", "attempts", "submitted", "printed"}
  DELETE /api/jobs/ID   -> {"id", "state": "cancelled"}
  GET    /api/jobs      -> {"jobs": [the latest 200 jobs, newest first, as GET /api/jobs/ID]}
  GET    /api/computers -> {"computers": [{"name", "user", "printers": [{"name", "hidden",
                            "language"[, "dpi", "width_mm"]}], "last_poll", "online"}]}
  PUT    /api/computers/C/printers/P   body: {"language": L[, "dpi": N, "width_mm": W]}
         -> 200 {"computer", "printer", "language"[, "dpi", "width_mm"]}

A printer's language is `raw` until set: its jobs go out as submitted. For
the others (pdf, postscript, pcl6, pcl5, and zpl and escpos with the label's
or receipt's dpi and printable width) a PDF, PostScript, PNG or JPEG job is
converted once, at submit (hub.convert), with the options copies (1-999),
duplex (none, long, short), paper (A4, Letter, A5, Legal) and pages (such as
2-3 or 1,4) carried in that language; `size` is then the converted size and
`source_size` the submitted one. A document the converter cannot read answers
422 with its reason; an option that is unknown or does not apply, 400.

A job's state is queued (never handed out), sent (handed out, not
acknowledged; `attempts` counts the handouts), printed or cancelled. A
computer is online when it polled within twice the poll interval or holds a
query now. Times are UTC texts ("2024-05-01T12:00:00Z") or null.
Errors answer {"error": TEXT}: 400 (a bad request), 401 (no valid token),
404 (an unknown job, computer or printer), 409 (a job that cannot be
cancelled any more), 413 (a body over the hub's job limit), 422 (a document
that cannot be converted), 503 (the converter, Ghostscript, is not installed).
"""

import json

from . import convert
from .page import timestamp
from .protocol import ServiceError, check_job, name_key
from .replies import JSON_TYPE, reply
from .store import Conflict

JOB_ROUTE = r"/api/jobs/{id:\d{1,18}}"
JOB_LIST_LIMIT = 200
JOB_FIELDS = ("computer", "printer", "name")


def needs_token(request, config):
    # The state document shows the cipher of each job: with enrollment on,
    # that is a computer's secret.
    return request.path.startswith("/api/") and (request.path != "/api/state" or config.enrollment)


async def authorise(request, store):
    """The name of the request's bearer token, or None."""
    scheme, _, token = request.headers.get("Authorization", "").partition(" ")
    if scheme.lower() != "bearer" or not token.strip():
        return None
    return await store.api_client(token.strip())


async def answer(request, status, document):
    return await reply(request, status, json.dumps(document).encode("utf-8"), "", JSON_TYPE)


def stored(hub, label, text):
    """A text of the API as the hub keeps it: the clients' code page, one character per byte."""
    try:
        return text.encode(hub.config.encoding).decode("latin-1")
    except UnicodeEncodeError:
        raise ServiceError(400, "%s cannot be written in %s" % (label, hub.config.encoding)) from None


def shown(hub, text):
    return None if text is None else text.encode("latin-1").decode(hub.config.encoding, "replace")


def job_document(hub, job):
    return {"id": job["id"], "computer": shown(hub, job["computer"]), "printer": shown(hub, job["printer"]),
            "name": shown(hub, job["name"]), "size": job["size"], "source_size": job["source_size"],
            "state": job["state"],
            "attempts": job["attempts"], "submitted": timestamp(job["submitted"]),
            "printed": timestamp(job["printed"])}


async def queue_job(hub, computer, printer, name, data, file_name=None, source_size=None):
    """Checks and queues a job, wakes its computer's held query; returns its id."""
    check_job(computer, printer, name, file_name, len(data), hub.config.job_limit)
    try:
        job_id, key = await hub.store.add_job(computer, printer, name, data, file_name, source_size)
    except Conflict:
        raise ServiceError(409, "Spool file name already queued") from None
    hub.waiters.wake(key)
    return job_id


async def post_job(request):
    hub = request.app["hub"]
    missing = [key for key in JOB_FIELDS if key not in request.query]
    if missing:
        raise ServiceError(400, "Missing parameter: %s" % ", ".join(missing))
    computer, printer, name = (stored(hub, key, request.query[key]) for key in JOB_FIELDS)
    data = request["body"]
    check_job(computer, printer, name, None, len(data), hub.config.job_limit)  # 400 before 404
    options = [(key, value) for key, value in request.query.items() if key not in JOB_FIELDS]
    if len(dict(options)) < len(options):
        raise ServiceError(400, "An option is given twice")
    await known_printer(hub, computer, printer)
    setting = await printer_setting(hub, computer, printer)
    try:
        converted = await hub.converter.convert(data, setting, convert.job_options(dict(options), setting))
    except convert.Refused as error:
        raise ServiceError(400, str(error)) from None
    except convert.Unreadable as error:
        raise ServiceError(422, str(error)) from None
    except convert.Unavailable as error:
        raise ServiceError(503, str(error)) from None
    job_id = await queue_job(hub, computer, printer, name, converted, source_size=len(data))
    return await answer(request, 201, {"id": job_id, "state": "queued"})


async def known_printer(hub, computer, printer):
    computer_known, printer_known = await hub.store.printer_known(computer, printer)
    if not computer_known:
        raise ServiceError(404, "Unknown computer")
    if not printer_known:
        raise ServiceError(404, "Unknown printer")


async def printer_setting(hub, computer, printer):
    row = await hub.store.printer_language(computer, printer)
    return convert.Printer(*row) if row else convert.Printer()


def language_document(setting):
    document = {"language": setting.language}
    if setting.language in convert.RASTER_LANGUAGES:
        document.update(dpi=setting.dpi, width_mm=setting.width_mm)
    return document


async def put_printer(request):
    hub = request.app["hub"]
    computer, printer = (stored(hub, key, request.match_info[key]) for key in ("computer", "printer"))
    try:
        body = json.loads(request["body"])
    except ValueError:
        raise ServiceError(400, "The body must be a JSON object") from None
    try:
        setting = convert.printer_setting(body)
    except convert.Refused as error:
        raise ServiceError(400, str(error)) from None
    await known_printer(hub, computer, printer)
    await hub.store.set_printer_language(computer, printer, setting.language, setting.dpi, float(setting.width_mm))
    return await answer(request, 200, {"computer": shown(hub, computer), "printer": shown(hub, printer),
                                       **language_document(setting)})


async def get_job(request):
    hub = request.app["hub"]
    job = await hub.store.job(int(request.match_info["id"]))
    if job is None:
        raise ServiceError(404, "Unknown job")
    return await answer(request, 200, job_document(hub, job))


async def list_jobs(request):
    hub = request.app["hub"]
    jobs = await hub.store.latest_jobs(JOB_LIST_LIMIT)
    return await answer(request, 200, {"jobs": [job_document(hub, job) for job in jobs]})


async def delete_job(request):
    hub = request.app["hub"]
    job_id = int(request.match_info["id"])
    if not await hub.store.cancel(job_id):
        job = await hub.store.job(job_id)
        if job is None:
            raise ServiceError(404, "Unknown job")
        raise ServiceError(409, "Job already %s" % job["state"])
    return await answer(request, 200, {"id": job_id, "state": "cancelled"})


async def get_computers(request):
    hub = request.app["hub"]
    now = hub.store.clock()
    computers = []
    languages = await hub.store.printer_languages()
    for computer in (await hub.store.state())["computers"]:
        key = name_key(computer["name"])
        last_poll = computer["last_poll"]
        online = computer["held_until"] > now or (
            last_poll is not None and now - last_poll <= 2 * hub.config.poll_interval)
        computers.append({"name": shown(hub, computer["name"]), "user": shown(hub, computer["user"]),
                          "printers": [{"name": shown(hub, printer["name"]), "hidden": printer["hidden"],
                                        **language_document(convert.Printer(
                                            *languages.get((key, printer["name"]), ())))}
                                       for printer in computer["printers"]],
                          "last_poll": timestamp(last_poll), "online": online})
    return await answer(request, 200, {"computers": computers})


ROUTES = [
    ("POST", "/api/jobs", post_job),
    ("GET", "/api/jobs", list_jobs),
    ("GET", JOB_ROUTE, get_job),
    ("DELETE", JOB_ROUTE, delete_job),
    ("GET", "/api/computers", get_computers),
    ("PUT", "/api/computers/{computer}/printers/{printer}", put_printer),
]
