#!/usr/bin/env python3
"""Waits until the reference service saw a job acknowledged and its printout
landed in a capture folder, then checks it byte for byte.

  await_job.py --port P --job ID --folder DIR --expect FILE [--queue Q] [--timeout S]
               [--tls-ca FILE]

With --tls-ca the service is asked over HTTPS, trusting that CA.

Prints the printout's path; exits 1 on a mismatch, when the time runs out, or
at once when CUPS gives up on a job of queue Q, with CUPS's reason.
"""

import argparse
import json
import os
import ssl
import sys
import time
import urllib.request

from cups_watch import QueueWatch


def job_state(port, job_id, tls):
    scheme = "http" if tls is None else "https"
    with urllib.request.urlopen(f"{scheme}://127.0.0.1:{port}/api/state", timeout=5, context=tls) as answer:
        state = json.load(answer)
    for job in state["jobs"]:
        if str(job["id"]) == str(job_id):
            return job
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--job", required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--expect", required=True)
    parser.add_argument("--queue")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--tls-ca")
    args = parser.parse_args()
    watch = QueueWatch(args.queue) if args.queue else None

    def cups_failed():
        reason = watch.failure() if watch else None
        if reason:
            print(reason, file=sys.stderr)
        return reason

    tls = None if args.tls_ca is None else ssl.create_default_context(cafile=args.tls_ca)

    with open(args.expect, "rb") as f:
        expected = f.read()
    deadline = time.monotonic() + args.timeout
    while time.monotonic() < deadline:
        job = job_state(args.port, args.job, tls)
        if job is not None and job["state"] == "printed":
            break
        if cups_failed():
            return 1
        time.sleep(0.2)
    else:
        print("the job was not printed in time", file=sys.stderr)
        return 1

    # The spooler hands the document to the queue after the acknowledgement may
    # already have gone out; wait for the file, then compare.
    while time.monotonic() < deadline:
        for name in sorted(os.listdir(args.folder)):
            path = os.path.join(args.folder, name)
            if name.endswith(".prn"):
                with open(path, "rb") as f:
                    if f.read() == expected:
                        print(path)
                        return 0
        if cups_failed():
            return 1
        time.sleep(0.2)
    print("no printout matches the job byte for byte", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
