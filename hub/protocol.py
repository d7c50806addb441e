"""The client's side of the hub: the polling protocol's documents and replies.

Pure functions over latin-1 texts (one character per byte of the client's
ANSI code page); nothing here touches the network or the database.

The client polls with HTTP/1.1 POST requests to "/<prefix><function>", where
the prefix is the one of three candidates the hub is configured to answer:

  1  .00010101000000000000/system/rmtprt.aspx?func=
  2  .00010101000000000000/admin/rmtprt.$.aspx?func=
  3  .00010101000000000000/.system/rmtprt.aspx?func=

Functions and replies (text replies are lines joined by CR LF, no final line end):

  ping        200 "OK"
  printlist   the printer list document -> 200 "OK\\r\\n<token>"
  qryspool    <qryspool cputok='N'/> or <qryspool cputok='N' wait='S'/> ->
              200 "SPOOL\\r\\n<file>\\r\\n<size>\\r\\n<document>\\r\\n<printer>\\r\\n<job id>"
              (texts escaped with the five XML entities), or 200 "EMPTY";
              403 "Unknown computer token". With `wait` the reply is held
              until a job is waiting for the computer or S seconds (at most
              300) have passed.
  spooldata   <spooldata file='F' offset='N' blocksize='B' encode='C' /> -> 200 with
              bytes [N, N+min(B,4096)) of the job, each byte complemented;
              404 "Unknown spool file", 416 "Offset outside the spool file"
  printed     <printed id='X'/> -> 200 "OK"; 404 "Unknown job" or "Job already printed"

A malformed document answers 400, a wrong path or unknown function 404; every
error body is one line.
"""

import re

PREFIXES = (
    ".00010101000000000000/system/rmtprt.aspx?func=",
    ".00010101000000000000/admin/rmtprt.$.aspx?func=",
    ".00010101000000000000/.system/rmtprt.aspx?func=",
)
FUNCTIONS = ("ping", "printlist", "qryspool", "spooldata", "printed")
BLOCK_LIMIT = 4096            # the client's block buffer
DOCUMENT_LIMIT = 1 << 20      # protocol request bodies
FIELD_LIMIT = 255             # bytes per text field of a job
WAIT_LIMIT = 300              # seconds a query may be held
COMPLEMENT = bytes(range(255, -1, -1))

ENTITIES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "'": "&apos;", '"': "&quot;"}
ENTITY_CHARS = {value: key for key, value in ENTITIES.items()}
ENTITY_RE = re.compile("&(?:lt|gt|amp|apos|quot);")
CONTROL_RE = re.compile("[\x00-\x1f]")

# The computer and user names arrive unescaped: the user name is taken after
# the last "' user='" of the opening line.
LIST_OPEN_RE = re.compile(r"<list cpu='(.*)' user='(.*)'>\Z", re.S)
PRINTER_RE = re.compile(
    r" <printer name='((?:[^'\"<>&\x00-\x1f]|&(?:lt|gt|amp|apos|quot);)*)'"
    r" hide='([01])'/>\Z")
QRYSPOOL_RE = re.compile(r"<qryspool cputok='(-?\d{1,18})'(?: wait='(\d{1,18})')?/>\Z")
# The client writes the file name and cipher unescaped, so the attributes are
# found by their fixed order; the numbers between them anchor the split.
SPOOLDATA_RE = re.compile(
    r"<spooldata file='(.*?)' offset='(-?\d{1,18})' blocksize='(-?\d{1,18})'"
    r" encode='(.*)' />\Z", re.S)
PRINTED_RE = re.compile(r"<printed id='(.*)'/>\Z", re.S)
ASCII_FOLD = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


class ServiceError(Exception):
    """A request that is answered with an error status and a one-line text;
    `detail` goes to the log line instead of the text."""

    def __init__(self, status, text, detail=None):
        super().__init__(text)
        self.status = status
        self.text = text
        self.detail = detail


def name_key(name):
    """The form computer names are matched in: ASCII letters without case."""
    return name.translate(ASCII_FOLD)


def xml_escape(text):
    return "".join(ENTITIES.get(char, char) for char in text)


def xml_unescape(text):
    return ENTITY_RE.sub(lambda match: ENTITY_CHARS[match.group(0)], text)


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


def parse_query(text):
    """Returns (token, seconds to hold) of a qryspool document."""
    match = QRYSPOOL_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed qryspool document")
    return int(match.group(1)), min(int(match.group(2) or 0), WAIT_LIMIT)


def parse_block_request(text):
    """Returns (file name, offset, length wanted, cipher) of a spooldata document."""
    match = SPOOLDATA_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed spooldata document")
    blocksize = int(match.group(3))
    if blocksize <= 0:
        # An empty block would leave the client asking for the same offset forever.
        raise ServiceError(400, "Block size must be positive")
    return match.group(1), int(match.group(2)), min(blocksize, BLOCK_LIMIT), match.group(4)


def parse_printed(text):
    """Returns the acknowledged job id."""
    match = PRINTED_RE.match(text)
    if not match:
        raise ServiceError(400, "Malformed printed document")
    if not re.fullmatch(r"\d{1,18}", match.group(1)):
        raise ServiceError(404, "Unknown job")
    return int(match.group(1))


def spool_reply(job):
    """The six-line reply that offers a job (a dict of the store's job fields)."""
    return "\r\n".join(["SPOOL", xml_escape(job["file"]), str(job["size"]),
                        xml_escape(job["name"]), xml_escape(job["printer"]), str(job["id"])])


def check_job(computer, printer, name, file_name, size, limit):
    """Refuses a job the client could not take, or one over the size limit."""
    check_field("computer", computer, sent_to_client=False)
    check_field("printer", printer)
    check_field("name", name)
    if file_name is not None:
        check_field("file", file_name)
    if size > limit:
        raise ServiceError(413, "Job larger than %d bytes" % limit)


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
