"""The web page (GET / and its files under /static/) and the state document
(GET /api/state).

The page is plain HTML, CSS and JavaScript from hub/static/, read once at
start; everything it shows it asks of the JSON API with the token the user
signs in with. The state document shows stored texts, which are latin-1
strings (one character per byte of the client's code page).
"""

import os
import time

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/static/hub.css": ("hub.css", "text/css; charset=utf-8"),
    "/static/hub.js": ("hub.js", "text/javascript; charset=utf-8"),
}

COMPUTER_FIELDS = ("name", "user", "token", "registrations")
JOB_FIELDS = ("id", "computer", "printer", "name", "file", "size", "state", "attempts", "acks",
              "blocks_served", "cipher")


def timestamp(seconds):
    if seconds is None:
        return None
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def legacy_state(state):
    """The store's state with the field names and time texts of the state document."""
    computers = [dict({key: computer[key] for key in COMPUTER_FIELDS},
                      registered_at=timestamp(computer["registered"]),
                      last_seen=timestamp(computer["last_poll"]), printers=computer["printers"])
                 for computer in state["computers"]]
    jobs = [dict({key: job[key] for key in JOB_FIELDS}, submitted_at=timestamp(job["submitted"]),
                 printed_at=timestamp(job["printed"])) for job in state["jobs"]]
    return {"computers": computers, "jobs": jobs}


def page_files():
    """{path: (bytes, content type)} of the web page."""
    files = {}
    for path, (name, content_type) in PAGE_FILES.items():
        with open(os.path.join(STATIC, name), "rb") as source:
            files[path] = (source.read(), content_type)
    return files
