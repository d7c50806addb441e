"""The fleet benchmark: many simulated clients against the hub, on this machine.

  /usr/bin/python3 tools/fleet_bench.py [--backends sqlite,postgres]
      [--rates 500,1000,...] [--held 1000,2500,...] [--seconds N]
  (tools/bench.sh fleet runs it)

Each simulated client speaks the client's own wire, byte for byte: HTTP/1.1
POSTs with its head, a new connection per poll kept alive through the poll,
a registration on the first poll and on every eleventh, one query, and for a
job its blocks one at a time, complemented back and checked, then the
acknowledgement. The hub runs as one instance on SQLite, and as two instances
on a private PostgreSQL behind a private nginx. Four runs per back end:

  polls   empty polls at stepped rates, started on a fixed schedule (a slow
          answer does not delay the next poll); latency from the scheduled
          start to the answer, connection included
  held    that many clients hold a query (wait='300'); jobs submitted through
          the API wake them; latency from the submission to the job's reply
  jobs    1,000 clients poll every 5 s while jobs arrive through the API at a
          steady rate; each must be printed once, whole
  kill    as jobs, and one instance is killed (SIGKILL) half-way and started
          again two seconds later: no job lost, none handed out after its
          acknowledgement

The result is a Markdown table on stdout; the details of every step go to
stderr.
"""

import argparse
import asyncio
import hashlib
import json
import os
import random
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "hub"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from bench_table import print_table  # noqa: E402
from services import HubInstance, NginxFront, PostgresCluster, raise_file_limit  # noqa: E402

PREFIX = "/.00010101000000000000/system/rmtprt.aspx?func="
BLOCK = 4096
POLLS_BETWEEN_REGISTRATIONS = 10
COMPLEMENT = bytes(range(255, -1, -1))
PRINTER = "Fleet Printer"
ANSWER_DEADLINE = 15   # seconds per read, as the client's own
HELD_SECONDS = 300


def log(text):
    print(text, file=sys.stderr, flush=True)


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def job_data(job_number, size):
    """Bytes that differ from job to job, cheap to make."""
    seed = hashlib.sha256(b"%d" % job_number).digest()
    return (seed * (size // len(seed) + 1))[:size]


# ---- the client's wire -------------------------------------------------------

class WireError(Exception):
    pass


class Connection:
    """One TCP connection that sends requests as the client composes them."""

    def __init__(self, reader, writer, host):
        self.reader, self.writer, self.host = reader, writer, host

    @classmethod
    async def open(cls, host, port):
        try:
            async with asyncio.timeout(ANSWER_DEADLINE):
                reader, writer = await asyncio.open_connection(host, port)
        except TimeoutError:
            raise WireError("connect: time-out") from None
        except OSError as error:
            raise WireError("connect: %s" % error) from None
        return cls(reader, writer, host)

    async def post(self, function, document, deadline=ANSWER_DEADLINE):
        """(status, body) of one exchange."""
        body = document.encode("latin-1")
        self.writer.write(("POST %s%s HTTP/1.1\r\nContent-Length: %d\r\nUser-Agent: Tarnwick Jan  9 2014\r\n"
                           "Connection: Keep-Alive\r\nHost: %s\r\nContent-Type: application/xml\r\n\r\n" % (
                               PREFIX, function, len(body), self.host)).encode("latin-1") + body)
        return await self.answer(deadline)

    async def answer(self, deadline):
        # TimeoutError is an OSError: the time-out is told apart first.
        try:
            async with asyncio.timeout(deadline):
                head = await self.reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                status = int(lines[0].split(" ", 2)[1])
                length = None
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value)
                if length is None:
                    raise WireError("answer without Content-Length")
                return status, await self.reader.readexactly(length)
        except TimeoutError:
            raise WireError("answer: time-out") from None
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError, IndexError) as error:
            raise WireError("answer: %r" % error) from None

    def close(self):
        self.writer.close()


class Ledger:
    """What the clients printed and acknowledged, against what was submitted."""

    def __init__(self):
        self.digests = {}        # job id: digest of the submitted bytes
        self.submitted_at = {}   # job id: monotonic time the submission was sent
        self.handed_at = {}      # job id: monotonic time of its first handout
        self.printed = {}        # job id: times printed whole
        self.acknowledged = {}   # job id: monotonic time its acknowledgement was answered
        self.unacknowledged = set()  # printed, but the acknowledgement failed
        self.latencies = []      # seconds from submission to acknowledgement
        self.corrupt = 0
        self.after_ack = 0       # handouts of a job after its acknowledgement

    def handed_out(self, job_id):
        if job_id in self.acknowledged:
            self.after_ack += 1
        self.handed_at.setdefault(job_id, time.monotonic())

    def woken(self, jobs):
        """Seconds from submission to first handout of the jobs handed out."""
        return [self.handed_at[job] - self.submitted_at[job] for job in jobs if job in self.handed_at]


class Client:
    """One simulated computer with the client's registration and query steps."""

    def __init__(self, number):
        self.name = "FLEET-%05d" % number
        self.token = -1
        self.countdown = 0

    async def poll(self, fleet, wait=None):
        """One poll; a job printed returns its id, an empty queue None. Raises WireError."""
        connection = await Connection.open(fleet.host, fleet.port)
        try:
            previous = self.countdown
            self.countdown -= 1
            if previous <= 0 or self.token == -1:
                listing = "<list cpu='%s' user='fleet'>\r\n <printer name='%s' hide='0'/>\r\n</list>" % (
                    self.name, PRINTER)
                status, reply = await connection.post("printlist", listing)
                fields = reply.split(b"\r\n")
                if status != 200 or fields[0] != b"OK" or len(fields) < 2:
                    raise WireError("printlist: %d %r" % (status, reply[:80]))
                self.token = int(fields[1])
                self.countdown = POLLS_BETWEEN_REGISTRATIONS
            query = "<qryspool cputok='%d'%s/>" % (self.token, "" if wait is None else " wait='%d'" % wait)
            status, reply = await connection.post("qryspool", query, ANSWER_DEADLINE + (wait or 0))
            if status != 200:
                raise WireError("qryspool: %d %r" % (status, reply[:80]))
            if reply[:5].upper() != b"SPOOL":
                return None
            fields = reply.decode("latin-1").split("\r\n")
            file_name, size, job_id = fields[1], int(fields[2]), int(fields[5])
            fleet.ledger.handed_out(job_id)
            digest = hashlib.sha256()
            offset = 0
            while offset < size:
                status, block = await connection.post("spooldata", "<spooldata file='%s' offset='%d' blocksize='%d'"
                                                       " encode='' />" % (file_name, offset, BLOCK))
                if status != 200 or not block:
                    raise WireError("spooldata: %d %r" % (status, block[:80]))
                digest.update(block.translate(COMPLEMENT))
                offset += len(block)
            # Printed: it counts whether or not the acknowledgement gets through.
            fleet.ledger.printed[job_id] = fleet.ledger.printed.get(job_id, 0) + 1
            # A job whose submission got no answer is not in the ledger.
            if job_id in fleet.ledger.digests and digest.digest() != fleet.ledger.digests[job_id]:
                fleet.ledger.corrupt += 1
            try:
                status, _ = await connection.post("printed", "<printed id='%d'/>" % job_id)
            except WireError:
                status = None
            if status != 200:
                # The hub may hand it out again, and the client print it again.
                fleet.ledger.unacknowledged.add(job_id)
                raise WireError("printed: %s" % status)
            now = time.monotonic()
            fleet.ledger.acknowledged.setdefault(job_id, now)
            if job_id in fleet.ledger.submitted_at:
                fleet.ledger.latencies.append(now - fleet.ledger.submitted_at[job_id])
            return job_id
        finally:
            connection.close()


class Fleet:
    """The simulated computers and the API caller, against one address."""

    def __init__(self, host, port, api_token, computers):
        self.host, self.port, self.api_token = host, port, api_token
        self.clients = [Client(number) for number in range(computers)]
        self.ledger = Ledger()
        self.api = None
        self.job_count = 0
        self.next_client = 0      # where the next run of polls starts
        self.held_failures = 0    # of the current held run

    async def register_all(self, clients, concurrency=64):
        """Every client's first poll, as many at a time as concurrency."""
        pending = list(clients)

        async def worker():
            while pending:
                client = pending.pop()
                await client.poll(self)

        await asyncio.gather(*(worker() for _ in range(concurrency)))

    async def submit(self, computer, size):
        """Queues a job through the API; returns its id."""
        self.job_count += 1
        data = job_data(self.job_count, size)
        started = time.monotonic()
        if self.api is None:
            self.api = await Connection.open(self.host, self.port)
        target = "/api/jobs?computer=%s&printer=%s&name=fleet%%20job%%20%d" % (
            computer, PRINTER.replace(" ", "%20"), self.job_count)
        self.api.writer.write(("POST %s HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\n"
                               "Content-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n" % (
                                   target, self.host, self.api_token, len(data))).encode("ascii") + data)
        try:
            status, body = await self.api.answer(ANSWER_DEADLINE)
        except WireError:
            self.api.close()
            self.api = None
            raise
        if status != 201:
            raise WireError("submit: %d %r" % (status, body[:80]))
        job_id = json.loads(body)["id"]
        self.ledger.digests[job_id] = hashlib.sha256(data).digest()
        self.ledger.submitted_at[job_id] = started
        return job_id

    async def api_get(self, path):
        connection = await Connection.open(self.host, self.port)
        try:
            connection.writer.write(("GET %s HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\n\r\n" % (
                path, self.host, self.api_token)).encode("ascii"))
            status, body = await connection.answer(ANSWER_DEADLINE)
            return status, json.loads(body)
        finally:
            connection.close()


# ---- the runs ------------------------------------------------------------------

async def run_polls(fleet, rate, seconds):
    """Empty polls started on schedule at rate a second; (done/s, p99 s, failures)."""
    latencies, failures = [], [0]
    clients = fleet.clients
    tasks = set()

    async def one(client, due):
        try:
            await client.poll(fleet)
            latencies.append(time.monotonic() - due)
        except WireError:
            failures[0] += 1

    start = time.monotonic() + 0.1
    total = int(rate * seconds)
    for number in range(total):
        due = start + number / rate
        delay = due - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        task = asyncio.ensure_future(one(clients[(fleet.next_client + number) % len(clients)], due))
        tasks.add(task)
        task.add_done_callback(tasks.discard)
    fleet.next_client = (fleet.next_client + total) % len(clients)
    if tasks:
        await asyncio.wait(tasks)
    elapsed = time.monotonic() - start
    return len(latencies) / elapsed, percentile(latencies, 0.99), failures[0]


async def hold(fleet, client, stop):
    """Holds queries for one client until stop, printing what wakes it."""
    while not stop.is_set():
        try:
            await client.poll(fleet, wait=HELD_SECONDS)
        except WireError as error:
            fleet.held_failures += 1
            log("held query: %s" % error)
            await asyncio.sleep(1)


async def run_held(fleet, clients, jobs_wanted, rate):
    """The clients hold queries; jobs submitted at rate wake random ones.
    Returns (wake-up p95 s, wake-ups seen, failures)."""
    fleet.held_failures = 0
    stop = asyncio.Event()
    holders = []
    # Opened in batches, so the listen queue does not overflow into SYN retries.
    for start in range(0, len(clients), 200):
        holders += [asyncio.ensure_future(hold(fleet, client, stop)) for client in clients[start:start + 200]]
        await asyncio.sleep(0.05)
    # Time for the last of them to reach the hub and be held.
    await asyncio.sleep(2 + len(clients) / 1000)
    jobs = []
    start = time.monotonic()
    for number, client in enumerate(random.sample(clients, min(jobs_wanted, len(clients)))):
        await asyncio.sleep(max(0, start + number / rate - time.monotonic()))
        try:
            jobs.append(await fleet.submit(client.name, 2 * BLOCK))
        except WireError as error:
            fleet.held_failures += 1
            log("submit: %s" % error)
    deadline = time.monotonic() + 10
    while len(fleet.ledger.woken(jobs)) < len(jobs) and time.monotonic() < deadline:
        await asyncio.sleep(0.1)
    woken = fleet.ledger.woken(jobs)
    stop.set()
    for holder in holders:
        holder.cancel()
    await asyncio.gather(*holders, return_exceptions=True)
    return percentile(woken, 0.95), len(woken), fleet.held_failures


async def run_jobs(fleet, clients, interval, seconds, rate, kill=None):
    """clients poll every interval s while jobs arrive at rate a second for
    seconds; kill (a coroutine function) runs half-way. Returns the ledger's counts."""
    ledger = fleet.ledger = Ledger()
    stop = asyncio.Event()
    poll_failures = [0]

    async def poller(client):
        await asyncio.sleep(random.uniform(0, interval))
        while not stop.is_set():
            started = time.monotonic()
            try:
                await client.poll(fleet)
            except WireError:
                poll_failures[0] += 1
            await asyncio.sleep(max(0, interval - (time.monotonic() - started)))

    pollers = [asyncio.ensure_future(poller(client)) for client in clients]
    submitted = failed_submissions = 0
    start = time.monotonic()
    killer = None
    for number in range(int(seconds * rate)):
        await asyncio.sleep(max(0, start + number / rate - time.monotonic()))
        if kill is not None and killer is None and number >= seconds * rate / 2:
            killer = asyncio.ensure_future(kill())
        try:
            await fleet.submit(random.choice(clients).name, random.randint(1, 16) * 1024)
            submitted += 1
        except WireError as error:
            failed_submissions += 1
            log("submit: %s" % error)
    if killer is not None:
        await killer
    # A handout that died with its connection comes back after 15 s idle.
    deadline = time.monotonic() + 2 * interval + 40
    while time.monotonic() < deadline and any(job not in ledger.acknowledged for job in ledger.digests):
        await asyncio.sleep(0.2)
    stop.set()
    for task in pollers:
        task.cancel()
    await asyncio.gather(*pollers, return_exceptions=True)
    states = {}
    for job_id in ledger.digests:
        status, job = await fleet.api_get("/api/jobs/%d" % job_id)
        states[job["state"] if status == 200 else "missing"] = states.get(job["state"] if status == 200 else "missing", 0) + 1
    return {
        "submitted": submitted, "failed submissions": failed_submissions,
        "printed": sum(1 for job in ledger.digests if ledger.printed.get(job)),
        "printed twice": sum(1 for job, count in ledger.printed.items()
                             if count > 1 and job not in ledger.unacknowledged),
        "again after a lost acknowledgement": sum(1 for job, count in ledger.printed.items()
                                                  if count > 1 and job in ledger.unacknowledged),
        "lost": sum(1 for job in ledger.digests if not ledger.printed.get(job)),
        "corrupt": ledger.corrupt, "after ack": ledger.after_ack,
        "not printed in hub": len(ledger.digests) - states.get("printed", 0),
        "poll failures": poll_failures[0],
        "p95": percentile(ledger.latencies, 0.95),
    }


# ---- the hub -----------------------------------------------------------------

class Hub:
    """Hub instances on one database, reachable at one port: one instance
    straight on SQLite, or two behind nginx on a private PostgreSQL."""

    def __init__(self, backend, work):
        self.backend, self.work = backend, work
        self.cluster = self.front = None
        self.instances = []

    def start(self):
        if self.backend == "postgres":
            self.cluster = PostgresCluster().start()
            self.instances = [HubInstance(self.work, self.cluster.dsn).start() for _ in range(2)]
            self.front = NginxFront([instance.port for instance in self.instances]).start()
            self.port = self.front.port
        else:
            self.instances = [HubInstance(self.work).start()]
            self.port = self.instances[0].port
        self.api_token = self.instances[0].command("token", "add", "fleet").split()[-1]
        return self

    async def kill_and_restart(self):
        """SIGKILL to the first instance, and the same instance again two seconds later."""
        self.instances[0].kill()
        log("killed the instance on port %d" % self.instances[0].port)
        await asyncio.sleep(2)
        await asyncio.get_running_loop().run_in_executor(None, self.instances[0].start)

    def stop(self):
        for instance in self.instances:
            instance.stop()
        if self.front:
            self.front.stop()
        if self.cluster:
            self.cluster.stop()


# ---- one back end --------------------------------------------------------------

async def measure(hub, args):
    fleet = Fleet("127.0.0.1", hub.port, hub.api_token, args.computers)
    started = time.monotonic()
    await fleet.register_all(fleet.clients)
    log("%s: %d computers registered in %.1f s" % (hub.backend, args.computers, time.monotonic() - started))
    results = {}

    # The last step that held, and the first that did not. The machine is
    # shared: a step that fails is tried once more before it counts.
    results["polls"] = [None, None]
    for rate in args.rates:
        for _ in range(2):
            done, p99, failures = await run_polls(fleet, rate, args.seconds)
            log("%s: polls at %d/s: %.0f/s done, p99 %.1f ms, %d failed" % (
                hub.backend, rate, done, p99 * 1000, failures))
            held = not failures and p99 < 0.1 and done >= 0.98 * rate
            if held:
                break
        if not held:
            results["polls"][1] = (rate, p99)
            break
        results["polls"][0] = (rate, p99)

    # Each step holds the queries of clients of its own: those of the step
    # before were given up by closing their connections, which the hub may
    # not notice before they end. The last 1,000 clients are the jobs' runs.
    most = None
    first = 0
    for count in args.held:
        if first + count > args.computers - 1000:
            break
        p95, woken, failures = await run_held(fleet, fleet.clients[first:first + count], 100, 20)
        first += count
        log("%s: %d held: wake-up p95 %.1f ms, %d woken, %d failures" % (
            hub.backend, count, p95 * 1000, woken, failures))
        if failures or woken < 100 or p95 >= 0.2:
            break
        most = (count, p95)
    results["held"] = most

    for name, kill in (("jobs", None), ("kill", hub.kill_and_restart)):
        counts = await run_jobs(fleet, fleet.clients[-1000:], 5, args.job_seconds, args.job_rate, kill)
        log("%s: %s: %s" % (hub.backend, name, counts))
        results[name] = counts
    if fleet.api:
        fleet.api.close()
    return results


def rows_for(results):
    def polls(steps):
        held, failed = ("%d/s: p99 %.0f ms" % (step[0], step[1] * 1000) if step else None for step in steps)
        return held or "none (%s)" % failed

    def held(value):
        return "%d, p95 %.0f ms" % (value[0], value[1] * 1000) if value else "below the first step"

    def jobs(counts):
        text = "%d/%d printed, %d twice, %d lost, %d corrupt" % (
            counts["printed"], counts["submitted"], counts["printed twice"], counts["lost"], counts["corrupt"])
        if counts["again after a lost acknowledgement"]:
            text += ", %d again after a lost acknowledgement" % counts["again after a lost acknowledgement"]
        if counts["failed submissions"]:
            text += "; submissions unanswered: %d" % counts["failed submissions"]
        return text

    return [
        ("Empty polls sustained (p99 < 100 ms)", *[polls(r["polls"]) for r in results]),
        ("Held queries (job wake-up p95 < 200 ms)", *[held(r["held"]) for r in results]),
        ("Jobs while 1,000 clients poll", *[jobs(r["jobs"]) for r in results]),
        ("Job submission to acknowledgement, p95", *["%.1f s" % r["jobs"]["p95"] for r in results]),
        ("Instance killed mid-run", *[jobs(r["kill"]) for r in results]),
        ("Handed out after acknowledgement", *["%d" % (r["jobs"]["after ack"] + r["kill"]["after ack"])
                                               for r in results]),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    numbers = lambda text: [int(value) for value in text.split(",")]  # noqa: E731
    parser.add_argument("--backends", default="sqlite,postgres")
    parser.add_argument("--rates", type=numbers, default=[250, 500, 750, 1000, 1500, 2000])
    parser.add_argument("--held", type=numbers, default=[1000, 2500, 5000, 7500, 10000])
    parser.add_argument("--seconds", type=int, default=10, help="per poll rate")
    parser.add_argument("--computers", type=int, default=30000)
    parser.add_argument("--job-rate", type=float, default=10)
    parser.add_argument("--job-seconds", type=int, default=30)
    args = parser.parse_args()
    raise_file_limit()
    headings, results = [], []
    for backend in args.backends.split(","):
        with tempfile.TemporaryDirectory(prefix="fleet-") as work:
            hub = Hub(backend, work).start()
            try:
                results.append(asyncio.run(measure(hub, args)))
            finally:
                hub.stop()
        headings.append("SQLite, one instance" if backend == "sqlite" else "PostgreSQL, two behind nginx")
    print_table(rows_for(results), column=headings)
    # The machine is shared: how busy it was says how far the figures go.
    print("\nLoad average at the end: %.1f (1 min), %.1f (5 min); %d CPUs" % (*os.getloadavg()[:2], os.cpu_count()))


if __name__ == "__main__":
    main()
