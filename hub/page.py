"""The status page (GET /) and the state document (GET /api/state).

Both show stored texts, which are latin-1 strings (one character per byte
of the client's code page); in the JSON they stay so, one character per
byte, and the page shows them as the client's code page (cp1252) would.
"""

import html
import time

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


def shown(text):
    """Latin-1 stored text as the client's code page shows it, HTML-escaped."""
    if text is None:
        return ""
    return html.escape(str(text).encode("latin-1").decode("cp1252", "replace"), quote=True)


def status_page(state, prefix):
    state = legacy_state(state)
    rows = ["<h2>Computers</h2><table border='1'><tr><th>Computer</th><th>User</th>"
            "<th>Registered</th><th>Last query</th><th>Printers</th></tr>"]
    for computer in state["computers"]:
        printers = "<br>".join(
            "%s (%s)" % (shown(printer["name"]), "hidden" if printer["hidden"] else "exposed")
            for printer in computer["printers"])
        rows.append("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
            shown(computer["name"]), shown(computer["user"]),
            shown(computer["registered_at"]), shown(computer["last_seen"]), printers))
    rows.append("</table><h2>Jobs</h2><table border='1'><tr><th>Id</th><th>Computer</th>"
                "<th>Printer</th><th>Document</th><th>File</th><th>Size</th><th>State</th>"
                "<th>Handouts</th><th>Acknowledgements</th><th>Blocks served</th></tr>")
    for job in state["jobs"]:
        rows.append("<tr>" + "".join("<td>%s</td>" % shown(job[key]) for key in (
            "id", "computer", "printer", "name", "file", "size", "state", "attempts", "acks",
            "blocks_served")) + "</tr>")
    rows.append("</table>")
    return ("<!DOCTYPE html><html><head><meta charset='utf-8'>"
            "<meta http-equiv='refresh' content='5'><title>Print hub</title></head>"
            "<body><h1>Print hub</h1><p>Service path: /%s</p>%s</body></html>\n" % (
                shown(prefix), "".join(rows))).encode("utf-8")
