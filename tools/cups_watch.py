#!/usr/bin/env python3
"""Watches the jobs of a CUPS queue, so that a wait for a printout ends as soon
as CUPS gives up on a job, with CUPS's own reason, not at its deadline.

  cups_watch.py probe QUEUE FOLDER

sends a one-byte job through QUEUE and waits until it lands in FOLDER, the
queue's capture folder; exits 1 with CUPS's reason when it does not.
"""

import csv
import os
import re
import subprocess
import sys
import time

JOBS_TEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cups", "jobs.test")
ERROR_LOG = "/var/log/cups/error_log"
# Job states from which a job does not print without someone stepping in; a
# held job too, unless CUPS holds it only while it is still receiving it.
GIVEN_UP = {"aborted", "canceled", "processing-stopped"}
PROBE_SECONDS = 30


def run(*command, data=None):
    return subprocess.run(command, input=data, capture_output=True, env=dict(os.environ, LC_ALL="C"))


def jobs(queue):
    """{job id: (state, reasons, message)} of every job CUPS keeps for the queue."""
    answer = run("ipptool", "-c", f"ipp://localhost/printers/{queue}", JOBS_TEST)
    rows = list(csv.reader(answer.stdout.decode(errors="replace").splitlines()))
    return {row[0]: tuple(row[1:4]) for row in rows[1:] if len(row) >= 4}


def stopped(queue):
    """CUPS's reason when the queue is stopped, else None."""
    lines = run("lpstat", "-p", queue).stdout.decode(errors="replace").splitlines()
    if not lines or " disabled " not in lines[0]:
        return None
    return " ".join(line.strip() for line in lines[1:]) or "no reason given"


def logged(job_id):
    """The scheduler's errors and warnings about a job, where its log is readable."""
    pattern = re.compile(r"^[EW] \[[^]]*\] \[Job %s\] (.*)" % job_id)
    try:
        with open(ERROR_LOG, errors="replace") as log:
            return "; ".join(m.group(1) for m in map(pattern.match, log) if m)
    except OSError:
        return ""


class QueueWatch:
    """Reports the first job of the queue that CUPS gave up on, or the queue
    stopping. tools/cups-queue.sh clears the queue's history, so every job it
    keeps is one of this run."""

    def __init__(self, queue):
        self.queue = queue
        self.next_look = 0.0

    def failure(self):
        """CUPS's reason, or None while all is well; looks at most twice a second."""
        now = time.monotonic()
        if now < self.next_look:
            return None
        self.next_look = now + 0.5
        reason = stopped(self.queue)
        if reason:
            return f"CUPS stopped the queue {self.queue}: {reason}"
        for job_id, (state, reasons, message) in jobs(self.queue).items():
            if state in GIVEN_UP or (state == "pending-held" and "job-incoming" not in reasons):
                return f"CUPS job {self.queue}-{job_id} is {state}: {message or logged(job_id) or reasons}"
        return None


def probe(queue, folder):
    """None when a one-byte job reaches the folder, else why not."""
    watch = QueueWatch(queue)
    sent = run("lp", "-d", queue, "-o", "raw", "-t", "capture probe", data=b"\n")
    found = re.search(rb"request id is \S+-(\d+) ", sent.stdout)
    if not found:
        return f"CUPS refused a job for {queue}: {(sent.stderr or sent.stdout).decode(errors='replace').strip()}"
    job_id = found.group(1).decode()
    deadline = time.monotonic() + PROBE_SECONDS
    while time.monotonic() < deadline:
        # job-N.prn from the capture backend, job-N.count from the counting one.
        landed = [name for name in os.listdir(folder)
                  if name.startswith(f"job-{job_id}.") and not name.endswith(".part")]
        if landed:
            os.remove(os.path.join(folder, landed[0]))
            return None
        reason = watch.failure()
        if reason:
            return reason
        time.sleep(0.1)
    state = jobs(queue).get(job_id, ("gone",))[0]
    return f"CUPS job {queue}-{job_id} did not reach {folder} within {PROBE_SECONDS} s (it is {state})"


def main():
    if len(sys.argv) != 4 or sys.argv[1] != "probe":
        print(__doc__.strip(), file=sys.stderr)
        return 2
    reason = probe(sys.argv[2], sys.argv[3])
    if reason:
        print(reason, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
