#!/usr/bin/env python3
"""Reference remote-print service for the webprint client.

Run it to try the client, or to compare another service against it:

  print_service.py serve  [--host H] [--port P] [--db FILE] [--path 1|2|3]
                          [--chunked [--chunk-size N]]
                          [--tls-cert FILE --tls-key FILE]
  print_service.py submit FILE --computer C --printer P [--name N]
                          [--file-name F] [--db FILE] [--encoding CP]

`serve` prints "listening on HOST:PORT" on stdout once it accepts connections
(`--port 0` picks a free port) and logs one line per request on stderr.
With --tls-cert and --tls-key (PEM files) it speaks the same HTTP inside TLS,
1.2 or later; the client must trust the certificate's issuer.
`submit` queues FILE ("-" for standard input) for computer C and prints the job
id; it writes into the database directly, also while the service runs.

The client polls with HTTP/1.1 POST requests to "/<prefix><function>", where
the prefix is the one of three candidates chosen by --path:

  1  .00010101000000000000/system/rmtprt.aspx?func=
  2  .00010101000000000000/admin/rmtprt.$.aspx?func=
  3  .00010101000000000000/.system/rmtprt.aspx?func=

Functions and replies (text replies are lines joined by CR LF, no final line end):

  ping        200 "OK"
  printlist   the printer list document -> 200 "OK\\r\\n<token>"
  qryspool    <qryspool cputok='N'/> -> 200 "SPOOL\\r\\n<file>\\r\\n<size>\\r\\n<document>\\r\\n<printer>\\r\\n<job id>"
              (texts escaped with the five XML entities), or 200 "EMPTY";
              403 "Unknown computer token"
  spooldata   <spooldata file='F' offset='N' blocksize='B' encode='C' /> -> 200 with
              bytes [N, N+min(B,4096)) of the job, each byte complemented;
              404 "Unknown spool file", 416 "Offset outside the spool file"
  printed     <printed id='X'/> -> 200 "OK"; 404 "Unknown job" or "Job already printed"

A malformed document answers 400, a wrong path or unknown function 404; every
error body is one line. A job stays queued until `printed` names it.

Other endpoints: GET / (status page), GET /api/state (JSON), and
POST /jobs?computer=C&printer=P&name=N[&file=F] with the job's bytes as body
-> 201 "<job id>". Query values are percent-encoded bytes of the client's ANSI
code page. In the JSON every text is latin-1 decoded: one character per byte.
"""

import argparse
import html
import json
import os
import re
import secrets
import sqlite3
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PREFIXES = (
    ".00010101000000000000/system/rmtprt.aspx?func=",
    ".00010101000000000000/admin/rmtprt.$.aspx?func=",
    ".00010101000000000000/.system/rmtprt.aspx?func=",
)
FUNCTIONS = ("ping", "printlist", "qryspool", "spooldata", "printed")
DEFAULT_DB = "print_service.sqlite"
BLOCK_LIMIT = 4096            # the client's block buffer
STORED_BLOCK = 4096           # bytes per stored row of job data
DOCUMENT_LIMIT = 1 << 20      # protocol request bodies
JOB_LIMIT = 256 << 20         # job data accepted by /jobs and submit
FIELD_LIMIT = 255             # bytes per text field of a job
TOKEN_LIMIT = 2 ** 31 - 1     # the client reads the token as a signed 32-bit number
COMPLEMENT = bytes(range(255, -1, -1))

ENTITIES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "'": "&apos;", '"': "&quot;"}
ENTITY_CHARS = {value: key for key, value in ENTITIES.items()}
ENTITY_RE = re.compile("&(?:lt|gt|amp|apos|quot);")
CONTROL_RE = re.compile("[\x00-\x1f]")

# Request documents. Bodies are decoded as latin-1, so one character is one byte.
# The computer and user names arrive unescaped: the user name is taken after the
# last "' user='" of the opening line.
LIST_OPEN_RE = re.compile(r"<list cpu='(.*)' user='(.*)'>\Z", re.S)
PRINTER_RE = re.compile(
    r" <printer name='((?:[^'\"<>&\x00-\x1f]|&(?:lt|gt|amp|apos|quot);)*)'"
    r" hide='([01])'/>\Z")
QRYSPOOL_RE = re.compile(r"<qryspool cputok='(-?\d{1,18})'/>\Z")
# The client writes the file name and cipher unescaped, so the attributes are
# found by their fixed order; the numbers between them anchor the split.
SPOOLDATA_RE = re.compile(
    r"<spooldata file='(.*?)' offset='(-?\d{1,18})' blocksize='(-?\d{1,18})'"
    r" encode='(.*)' />\Z", re.S)
PRINTED_RE = re.compile(r"<printed id='(.*)'/>\Z", re.S)

SCHEMA = """
CREATE TABLE IF NOT EXISTS computers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE COLLATE NOCASE,
    user TEXT NOT NULL,
    token INTEGER NOT NULL UNIQUE,
    registrations INTEGER NOT NULL DEFAULT 0,
    registered_at TEXT NOT NULL,
    last_seen TEXT
);
CREATE TABLE IF NOT EXISTS printers (
    computer_id INTEGER NOT NULL REFERENCES computers(id),
    position INTEGER NOT NULL,
    name TEXT NOT NULL,
    hidden INTEGER NOT NULL,
    PRIMARY KEY (computer_id, position)
);
CREATE TABLE IF NOT EXISTS jobs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    computer TEXT NOT NULL COLLATE NOCASE,
    printer TEXT NOT NULL,
    name TEXT NOT NULL,
    file TEXT,
    size INTEGER NOT NULL,
    state TEXT NOT NULL DEFAULT 'queued',
    acks INTEGER NOT NULL DEFAULT 0,
    blocks_served INTEGER NOT NULL DEFAULT 0,
    cipher TEXT,
    submitted_at TEXT NOT NULL,
    printed_at TEXT
);
-- A job's data in rows of STORED_BLOCK bytes: SQLite reads a whole blob value
-- even for substr, so one large blob would make every block cost the whole job.
CREATE TABLE IF NOT EXISTS job_data (
    job_id INTEGER NOT NULL REFERENCES jobs(id),
    block INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (job_id, block)
) WITHOUT ROWID;
CREATE UNIQUE INDEX IF NOT EXISTS queued_files ON jobs(file) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS queue ON jobs(computer, state, id);
"""


class ServiceError(Exception):
    """A request that is answered with an error status and a one-line text."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status
        self.text = text


def xml_escape(text):
    return "".join(ENTITIES.get(char, char) for char in text)


def xml_unescape(text):
    return ENTITY_RE.sub(lambda match: ENTITY_CHARS[match.group(0)], text)


def now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def open_store(path):
    db = sqlite3.connect(path, timeout=10, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    # Every served block updates its counter; without fsync per commit a
    # 1 MiB download stays fast, and WAL keeps committed jobs across a crash.
    db.execute("PRAGMA synchronous=NORMAL")
    db.executescript(SCHEMA)
    return db


class transaction:
    """BEGIN IMMEDIATE ... COMMIT, or ROLLBACK when the block raises."""

    def __init__(self, db):
        self.db = db

    def __enter__(self):
        self.db.execute("BEGIN IMMEDIATE")
        return self.db

    def __exit__(self, kind, value, trace):
        self.db.execute("COMMIT" if kind is None else "ROLLBACK")
        return False


# ---- protocol functions; texts are latin-1 strings, the bodies' bytes -------

def parse_printer_list(text):
    """Returns (computer, user, [(printer, hidden)]) or raises ServiceError 400."""
    lines = text.split("\r\n")
    opening = LIST_OPEN_RE.match(lines[0])
    if len(lines) < 2 or lines[-1] != "</list>" or not opening:
        raise ServiceError(400, "Malformed printer list")
    computer, user = opening.groups()
    if not computer or CONTROL_RE.search(computer) or CONTROL_RE.search(user):
        raise ServiceError(400, "Malformed printer list: computer or user name")
    printers = []
    for number, line in enumerate(lines[1:-1], start=2):
        match = PRINTER_RE.match(line)
        if not match:
            raise ServiceError(400, "Malformed printer list: line %d" % number)
        printers.append((xml_unescape(match.group(1)), match.group(2) == "1"))
    return computer, user, printers


def register(db, computer, user, printers):
    """Stores the computer's printer list and returns its token."""
    with transaction(db):
        row = db.execute("SELECT id, token FROM computers WHERE name = ?",
                         (computer,)).fetchone()
        if row:
            computer_id, token = row
            db.execute("UPDATE computers SET name = ?, user = ?, registered_at = ?,"
                       " registrations = registrations + 1 WHERE id = ?",
                       (computer, user, now(), computer_id))
            db.execute("DELETE FROM printers WHERE computer_id = ?", (computer_id,))
        else:
            # Random rather than sequential, so a token left over from another
            # database is very unlikely to name a computer here.
            while True:
                token = secrets.randbelow(TOKEN_LIMIT) + 1
                if not db.execute("SELECT 1 FROM computers WHERE token = ?",
                                  (token,)).fetchone():
                    break
            computer_id = db.execute(
                "INSERT INTO computers (name, user, token, registrations, registered_at)"
                " VALUES (?, ?, ?, 1, ?)", (computer, user, token, now())).lastrowid
        db.executemany("INSERT INTO printers VALUES (?, ?, ?, ?)",
                       [(computer_id, position, name, int(hidden))
                        for position, (name, hidden) in enumerate(printers)])
    return token


def query_spool(db, text):
    """Returns (reply text, log detail) for a qryspool document."""
    match = QRYSPOOL_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed qryspool document")
    token = int(match.group(1))
    row = db.execute("SELECT name FROM computers WHERE token = ?", (token,)).fetchone()
    if not row:
        raise ServiceError(403, "Unknown computer token")
    db.execute("UPDATE computers SET last_seen = ? WHERE token = ?", (now(), token))
    job = db.execute("SELECT id, file, size, name, printer FROM jobs"
                     " WHERE computer = ? AND state = 'queued' ORDER BY id LIMIT 1",
                     (row[0],)).fetchone()
    if not job:
        return "EMPTY", "token %d empty" % token
    job_id, file_name, size, name, printer = job
    fields = ["SPOOL", xml_escape(file_name), str(size), xml_escape(name),
              xml_escape(printer), str(job_id)]
    return "\r\n".join(fields), "token %d job %d" % (token, job_id)


def spool_block(db, text):
    """Returns (complemented block, log detail) for a spooldata document."""
    match = SPOOLDATA_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed spooldata document")
    file_name, cipher = match.group(1), match.group(4)
    offset, blocksize = int(match.group(2)), int(match.group(3))
    if blocksize <= 0:
        # An empty block would leave the client asking for the same offset forever.
        raise ServiceError(400, "Block size must be positive")
    job = db.execute("SELECT id, size FROM jobs WHERE file = ? AND state = 'queued'",
                     (file_name,)).fetchone()
    if not job:
        raise ServiceError(404, "Unknown spool file")
    job_id, size = job
    if offset < 0 or offset >= size:
        raise ServiceError(416, "Offset outside the spool file")
    end = min(offset + blocksize, offset + BLOCK_LIMIT, size)
    first = offset // STORED_BLOCK
    stored = b"".join(row[0] for row in db.execute(
        "SELECT data FROM job_data WHERE job_id = ? AND block BETWEEN ? AND ? ORDER BY block",
        (job_id, first, (end - 1) // STORED_BLOCK)))
    start = offset - first * STORED_BLOCK
    block = stored[start:start + end - offset]
    db.execute("UPDATE jobs SET blocks_served = blocks_served + 1, cipher = ?"
               " WHERE id = ?", (cipher, job_id))
    return block.translate(COMPLEMENT), "job %d offset %d length %d" % (
        job_id, offset, len(block))


def acknowledge(db, text):
    """Marks the job printed; returns a log detail."""
    match = PRINTED_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed printed document")
    if not re.fullmatch(r"\d{1,18}", match.group(1)):
        raise ServiceError(404, "Unknown job")
    job_id = int(match.group(1))
    with transaction(db):
        row = db.execute("SELECT state FROM jobs WHERE id = ?", (job_id,)).fetchone()
        if not row:
            raise ServiceError(404, "Unknown job")
        # Every acknowledgement is counted, so a repeated one shows in the state.
        db.execute("UPDATE jobs SET acks = acks + 1 WHERE id = ?", (job_id,))
        already_printed = row[0] != "queued"
        if not already_printed:
            db.execute("UPDATE jobs SET state = 'printed', printed_at = ? WHERE id = ?",
                       (now(), job_id))
            db.execute("DELETE FROM job_data WHERE job_id = ?", (job_id,))
    if already_printed:
        raise ServiceError(404, "Job already printed")
    return "job %d printed" % job_id


# ---- jobs ------------------------------------------------------------------

def check_field(label, value, sent_to_client=True):
    """Refuses texts the client could not take back whole from a reply field."""
    if not value:
        raise ServiceError(400, "%s must not be empty" % label)
    if len(value) > FIELD_LIMIT:
        raise ServiceError(400, "%s longer than %d bytes" % (label, FIELD_LIMIT))
    # Control characters separate the reply's fields, and blanks at the start
    # of a field are dropped by the client.
    if CONTROL_RE.search(value):
        raise ServiceError(400, "%s must not contain control characters" % label)
    if sent_to_client and value[0] == " ":
        raise ServiceError(400, "%s must not begin with a blank" % label)


def add_job(db, computer, printer, name, data, file_name=None):
    """Queues a job and returns its id. Texts are latin-1 strings."""
    check_field("computer", computer, sent_to_client=False)
    check_field("printer", printer)
    check_field("name", name)
    if file_name is not None:
        check_field("file", file_name)
    if len(data) > JOB_LIMIT:
        raise ServiceError(413, "Job larger than %d bytes" % JOB_LIMIT)
    try:
        with transaction(db):
            job_id = db.execute(
                "INSERT INTO jobs (computer, printer, name, file, size, submitted_at)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (computer, printer, name, file_name, len(data), now())).lastrowid
            db.executemany("INSERT INTO job_data VALUES (?, ?, ?)", (
                (job_id, start // STORED_BLOCK, data[start:start + STORED_BLOCK])
                for start in range(0, len(data), STORED_BLOCK)))
            if file_name is None:
                db.execute("UPDATE jobs SET file = ? WHERE id = ?",
                           ("job%d.spl" % job_id, job_id))
    except sqlite3.IntegrityError:
        raise ServiceError(409, "Spool file name already queued") from None
    return job_id


def read_state(db):
    computers = []
    for computer_id, name, user, token, registrations, registered_at, last_seen in db.execute(
            "SELECT id, name, user, token, registrations, registered_at, last_seen"
            " FROM computers ORDER BY name"):
        printers = [{"name": printer, "hidden": bool(hidden)} for printer, hidden in db.execute(
            "SELECT name, hidden FROM printers WHERE computer_id = ? ORDER BY position",
            (computer_id,))]
        computers.append({"name": name, "user": user, "token": token,
                          "registrations": registrations, "registered_at": registered_at,
                          "last_seen": last_seen, "printers": printers})
    columns = ("id", "computer", "printer", "name", "file", "size", "state", "acks",
               "blocks_served", "cipher", "submitted_at", "printed_at")
    jobs = [dict(zip(columns, row)) for row in db.execute(
        "SELECT %s FROM jobs ORDER BY id" % ", ".join(columns))]
    return {"computers": computers, "jobs": jobs}


def shown(text):
    """Latin-1 stored text as the client's code page shows it, HTML-escaped."""
    if text is None:
        return ""
    return html.escape(text.encode("latin-1").decode("cp1252", "replace"), quote=True)


def status_page(state, path_number):
    rows = ["<h2>Computers</h2><table border='1'><tr><th>Computer</th><th>User</th>"
           "<th>Token</th><th>Registered</th><th>Last query</th><th>Printers</th></tr>"]
    for computer in state["computers"]:
        printers = "<br>".join(
            "%s (%s)" % (shown(printer["name"]), "hidden" if printer["hidden"] else "exposed")
            for printer in computer["printers"])
        rows.append("<tr><td>%s</td><td>%s</td><td>%d</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
            shown(computer["name"]), shown(computer["user"]), computer["token"],
            shown(computer["registered_at"]), shown(computer["last_seen"]), printers))
    rows.append("</table><h2>Jobs</h2><table border='1'><tr><th>Id</th><th>Computer</th>"
                "<th>Printer</th><th>Document</th><th>File</th><th>Size</th><th>State</th>"
                "<th>Acknowledgements</th><th>Blocks served</th></tr>")
    for job in state["jobs"]:
        rows.append("<tr>" + "".join("<td>%s</td>" % shown(str(job[key])) for key in (
            "id", "computer", "printer", "name", "file", "size", "state", "acks",
            "blocks_served")) + "</tr>")
    rows.append("</table>")
    return ("<!DOCTYPE html><html><head><meta charset='utf-8'>"
            "<meta http-equiv='refresh' content='5'><title>Print service</title></head>"
            "<body><h1>Print service</h1><p>Service path: /%s</p>%s</body></html>\n" % (
                shown(PREFIXES[path_number - 1]), "".join(rows))).encode("utf-8")


# ---- HTTP ------------------------------------------------------------------

class PrintService(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, db_path, path_number, chunk_size, tls=None):
        super().__init__(address, Handler)
        self.tls = tls                        # an ssl.SSLContext, or None
        self.db_path = db_path
        self.path_number = path_number
        self.chunk_size = chunk_size          # 0: Content-Length framing
        self.counter_lock = threading.Lock()
        self.connections = 0
        self.requests = dict.fromkeys(FUNCTIONS + ("not_found",), 0)

    def get_request(self):
        connection, address = super().get_request()
        if self.tls is not None:
            # The handshake runs in the connection's own thread (Handler.handle),
            # so a slow or failing one holds up no other client.
            connection = self.tls.wrap_socket(connection, server_side=True,
                                              do_handshake_on_connect=False)
        return connection, address

    def count(self, key):
        with self.counter_lock:
            if key == "connection":
                self.connections += 1
            else:
                self.requests[key] += 1


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PrintService/1.0"
    # Head and body leave in one write (the buffer is flushed once per reply)
    # and without Nagle's delay, so a keep-alive client is not held up per block.
    wbufsize = 1 << 16
    disable_nagle_algorithm = True
    timeout = 120
    # A request line without a version is answered with a status line and
    # headers too, rather than with a bare HTTP/0.9 body.
    default_request_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        self.db = None
        self.server.count("connection")

    def handle(self):
        # TLS failures (a refused certificate, a broken record) end the
        # connection with one log line, as any peer that went away.
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                self.connection.do_handshake()
            super().handle()
        except ssl.SSLError as error:
            self.log_message("TLS connection failed: %s", error.reason or error)
            self.close_connection = True

    def finish(self):
        if self.db is not None:
            self.db.close()
        super().finish()

    def store(self):
        if self.db is None:
            self.db = open_store(self.server.db_path)
        return self.db

    # -- framing --

    def log_request(self, code="-", size="-"):
        pass  # _reply logs one line with the outcome

    def send_error(self, code, message=None, explain=None):
        # Request framing that cannot be trusted: answer and close.
        self.close_connection = True
        text = message or self.responses.get(code, ("Error",))[0]
        self._reply(code, text, "", chunked=False)

    def _reply(self, status, body, detail, chunked, content_type=None):
        if isinstance(body, str):
            body = body.encode("latin-1")
            content_type = content_type or "text/plain; charset=windows-1252"
        # Logged before the reply leaves, so the line is there once the peer has it.
        self.log_message('"%s" %d %d%s', self.requestline, status, len(body),
                         " " + detail if detail else "")
        self.send_response(status)
        self.send_header("Content-Type", content_type or "application/octet-stream")
        if self.close_connection:
            self.send_header("Connection", "close")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.flush()
            size = self.server.chunk_size
            # Each chunk is its own write, so the client meets chunks that
            # arrive in separate reads.
            for start in range(0, len(body), size):
                piece = body[start:start + size]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        self.wfile.flush()

    def _read_body(self, limit, required):
        """The request body, or None after an error reply (the connection closes)."""
        if "Transfer-Encoding" in self.headers:
            self.send_error(501, "Chunked request bodies are not accepted")
            return None
        lengths = [value.strip() for value in self.headers.get_all("Content-Length") or ()]
        if not lengths:
            if required:
                self.send_error(411, "Content-Length required")
                return None
            return b""
        if len(set(lengths)) > 1 or not re.fullmatch("[0-9]{1,18}", lengths[0]):
            self.send_error(400, "Bad Content-Length")
            return None
        length = int(lengths[0])
        if length > limit:
            self.send_error(413, "Request body larger than %d bytes" % limit)
            return None
        body = self.rfile.read(length)
        if len(body) < length:
            self.close_connection = True  # the peer went away mid-body
            return None
        return body

    def _handle(self, route, limit, required):
        body = self._read_body(limit, required)
        if body is None:
            return
        target, _, query = self.path.partition("?")
        target = urllib.parse.unquote(target, encoding="latin-1")
        # Only the replies on the client's side of the service are chunked;
        # the status page, the state and job submission keep Content-Length.
        chunked = self.command == "POST" and target != "/jobs" and self.server.chunk_size > 0
        # The outer try covers the error replies too: the peer may be gone by then.
        try:
            try:
                route(target, query, body, chunked)
            except ServiceError as error:
                self._reply(error.status, error.text, error.text, chunked)
            except sqlite3.OperationalError as error:
                self._reply(503, "Database busy", repr(error), chunked)
            except (ConnectionError, TimeoutError):
                raise
            except Exception as error:  # a bug must not cost the client its connection
                self._reply(500, "Internal error", repr(error), chunked)
        except (ConnectionError, TimeoutError):
            self.close_connection = True  # the peer is gone; nothing to answer

    def do_GET(self):
        self._handle(self._route_get, DOCUMENT_LIMIT, required=False)

    def do_POST(self):
        self._handle(self._route_post, JOB_LIMIT, required=True)

    # -- routes --

    def _route_get(self, target, query, body, chunked):
        if target == "/":
            page = status_page(read_state(self.store()), self.server.path_number)
            self._reply(200, page, "", chunked, "text/html; charset=utf-8")
        elif target == "/api/state":
            state = read_state(self.store())
            with self.server.counter_lock:
                state.update(path=self.server.path_number,
                             prefix=PREFIXES[self.server.path_number - 1],
                             connections=self.server.connections,
                             requests=dict(self.server.requests))
            self._reply(200, json.dumps(state, indent=1).encode("ascii"), "", chunked,
                        "application/json")
        else:
            raise ServiceError(404, "Not found")

    def _route_post(self, target, query, body, chunked):
        if target == "/jobs":
            self._submit(query, body)
            return
        prefix_path, _, prefix_query = PREFIXES[self.server.path_number - 1].partition("?")
        function = query[len(prefix_query):] if query.startswith(prefix_query) else None
        if target != "/" + prefix_path or function not in FUNCTIONS:
            self.server.count("not_found")
            raise ServiceError(404, "Not found")
        self.server.count(function)
        if len(body) > DOCUMENT_LIMIT:
            raise ServiceError(413, "Document too large")
        text = body.decode("latin-1")
        if function == "ping":
            self._reply(200, "OK", "ping", chunked)
        elif function == "printlist":
            computer, user, printers = parse_printer_list(text)
            token = register(self.store(), computer, user, printers)
            self._reply(200, "OK\r\n%d" % token, "computer %s token %d printers %d" % (
                computer, token, len(printers)), chunked)
        elif function == "qryspool":
            self._reply(200, *query_spool(self.store(), text), chunked)
        elif function == "spooldata":
            self._reply(200, *spool_block(self.store(), text), chunked)
        else:
            self._reply(200, "OK", acknowledge(self.store(), text), chunked)

    def _submit(self, query, body):
        fields = dict(urllib.parse.parse_qsl(query, keep_blank_values=True, encoding="latin-1"))
        missing = [key for key in ("computer", "printer", "name") if key not in fields]
        if missing:
            raise ServiceError(400, "Missing parameter: %s" % ", ".join(missing))
        job_id = add_job(self.store(), fields["computer"], fields["printer"], fields["name"],
                         body, fields.get("file"))
        self._reply(201, str(job_id), "job %d queued" % job_id, chunked=False)


# ---- command line ----------------------------------------------------------

def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


def serve(args):
    try:
        open_store(args.db).close()
        tls = tls_context(args.tls_cert, args.tls_key) if args.tls_cert else None
        server = PrintService((args.host, args.port), args.db, args.path,
                              args.chunk_size if args.chunked else 0, tls)
    except (OSError, sqlite3.Error) as error:
        print("serve: %s" % error, file=sys.stderr)
        return 1
    host, port = server.server_address[:2]
    print("listening on %s:%d" % (host, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


def submit(args):
    def ansi(label, text):
        try:
            return text.encode(args.encoding).decode("latin-1")
        except UnicodeEncodeError:
            raise ServiceError(400, "%s cannot be written in %s" % (label, args.encoding))

    try:
        if args.file == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(args.file, "rb") as source:
                data = source.read()
        name = args.name if args.name is not None else os.path.basename(args.file)
        db = open_store(args.db)
        try:
            job_id = add_job(db, ansi("computer", args.computer), ansi("printer", args.printer),
                             ansi("name", name), data,
                             None if args.file_name is None else ansi("file", args.file_name))
        finally:
            db.close()
    except (OSError, sqlite3.Error, ServiceError) as error:
        print("submit: %s" % error, file=sys.stderr)
        return 1
    print(job_id)
    return 0


def positive(text):
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    serve_parser = commands.add_parser("serve", help="answer the client's requests")
    serve_parser.add_argument("--host", default="127.0.0.1", help="address to bind")
    serve_parser.add_argument("--port", type=int, default=7000, help="0 picks a free port")
    serve_parser.add_argument("--db", default=DEFAULT_DB, help="SQLite database file")
    serve_parser.add_argument("--path", type=int, choices=(1, 2, 3), default=1,
                              help="which service path prefix answers")
    serve_parser.add_argument("--chunked", action="store_true",
                              help="send service replies with chunked transfer coding")
    serve_parser.add_argument("--chunk-size", type=positive, default=1000,
                              help="largest chunk with --chunked")
    serve_parser.add_argument("--tls-cert", metavar="FILE",
                              help="serve over TLS with this certificate chain (PEM)")
    serve_parser.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    serve_parser.set_defaults(run=serve)

    submit_parser = commands.add_parser("submit", help="queue a job")
    submit_parser.add_argument("file", help="the job's bytes; - for standard input")
    submit_parser.add_argument("--computer", required=True)
    submit_parser.add_argument("--printer", required=True)
    submit_parser.add_argument("--name", help="document name; the file's name by default")
    submit_parser.add_argument("--file-name", help="spool file name; job<id>.spl by default")
    submit_parser.add_argument("--db", default=DEFAULT_DB, help="SQLite database file")
    submit_parser.add_argument("--encoding", default="cp1252",
                               help="the client's ANSI code page, for the texts")
    submit_parser.set_defaults(run=submit)

    args = parser.parse_args(argv)
    if args.command == "serve" and (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
