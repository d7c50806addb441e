"""How long a job waits before it moves: run through tools/bench.sh latency.

Jobs are submitted over HTTP (POST /jobs) at random moments to an idle client
that prints through CUPS into a raw queue whose device is a socket on this
machine. Per job: the time from the submit to the job's first byte arriving at
that socket, and to the client's acknowledgement (the moment its `printed`
request reaches the service, seen by a relay in front of the service). Then a
queue of ten jobs submitted at once: the time to the last acknowledgement.
Every printout is compared with its job.

  latency_bench.py --work DIR --queue NAME [--daemon PATH] [--exe PATH]
                   [--service CMD] [--poll SECONDS] [--long-poll SECONDS]
                   [--baseline-jobs N] [--long-poll-jobs N]

--service is the reference service's command, run from the checkout (the hub
by default); "{port}" and "{db}" in it are replaced. webprint.exe runs under the Wine session of the calling script.
"""

import argparse
import math
import os
import random
import re
import shlex
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_table import print_table  # noqa: E402

KEY = r"HKLM\Software\Morvelund\Tarnwick Web Printing"
JOB_SIZE = 2048
QUEUE_JOBS = 10
DEADLINE = 180


class Printer:
    """The queue's device: one connection per job; notes when its first byte came."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.printouts = []  # (first byte time, bytes)
        self.changed = threading.Condition()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            connection, _ = self.listener.accept()
            threading.Thread(target=self._take, args=(connection,), daemon=True).start()

    def _take(self, connection):
        first, data = None, bytearray()
        with connection:
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                if first is None:
                    first = time.monotonic()
                data += chunk
        if first is not None:
            with self.changed:
                self.printouts.append((first, bytes(data)))
                self.changed.notify_all()


def count_new(seen, start, marker):
    """How often marker occurs in seen ending past start: the occurrences
    before it were counted with the read before."""
    count, at = 0, seen.find(marker, max(0, start - len(marker) + 1))
    while at >= 0:
        count += 1
        at = seen.find(marker, at + 1)
    return count


class Relay:
    """Passes the client's connections to the service; notes when each
    acknowledgement and each query arrives."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.acknowledged = []
        self.queries = 0
        self.changed = threading.Condition()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listener.accept()
            service = socket.create_connection(("127.0.0.1", self.target_port))
            for one in (client, service):
                one.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._pump, args=(client, service, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(service, client, False), daemon=True).start()

    def _pump(self, source, sink, watch):
        # A request line may be split between reads: the end of the last read
        # goes before the next.
        tail = b""
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                if watch:
                    seen = tail + chunk
                    now = time.monotonic()
                    with self.changed:
                        self.acknowledged += [now] * count_new(seen, len(tail), b"func=printed")
                        self.queries += count_new(seen, len(tail), b"func=qryspool")
                        self.changed.notify_all()
                    tail = seen[-12:]
                sink.sendall(chunk)
        except OSError:
            pass
        for one in (source, sink):
            try:
                one.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def wait_on(condition_variable, predicate, what, seconds=DEADLINE):
    with condition_variable:
        if not condition_variable.wait_for(predicate, seconds):
            raise SystemExit("timed out waiting for " + what)


class Bench:
    def __init__(self, args):
        self.args = args
        self.printer = Printer()
        subprocess.run(["lpadmin", "-p", args.queue, "-E", "-v", "socket://127.0.0.1:%d" % self.printer.port],
                       check=True)
        subprocess.run(["cancel", "-a", "-x", args.queue], check=False)
        # Jobs of an earlier run would be handed out first.
        database = os.path.join(args.work, "service.sqlite")
        if os.path.exists(database):
            os.remove(database)
        command = args.service.format(port=0, db=database)
        self.service_log = open(os.path.join(args.work, "service.err"), "w")
        self.service = subprocess.Popen(shlex.split(command), stdout=subprocess.PIPE, stderr=self.service_log,
                                        text=True)
        line = self.service.stdout.readline()
        match = re.search(r"listening on [^:]+:(\d+)", line)
        if not match:
            raise SystemExit("the service did not start: " + line)
        self.service_port = int(match.group(1))
        self.relay = Relay(self.service_port)
        self.client = None
        self.number = 0

    def close(self):
        self.stop_client()
        self.service.terminate()
        self.service.wait()

    # -- the clients --

    def start_client(self, program, poll, long_poll, computer):
        log = open(os.path.join(self.args.work, "%s.log" % program), "a")
        if program == "webprintd":
            conf = os.path.join(self.args.work, "webprintd.conf")
            with open(conf, "w") as out:
                out.write("Url = 127.0.0.1\nPort = %d\nPollFreq = %d\nComputerName = %s\n" % (
                    self.relay.port, poll, computer))
                if long_poll:
                    out.write("LongPoll = %d\n" % long_poll)
            command = [self.args.daemon, "--config", conf]
        else:
            values = [("Url", "REG_SZ", "127.0.0.1"), ("Port", "REG_DWORD", self.relay.port),
                      ("PollFreq", "REG_DWORD", poll), ("ComputerName", "REG_SZ", computer),
                      ("ShowStartUpPanel", "REG_DWORD", 0)]
            for name, kind, value in values:
                subprocess.run(["wine", "reg", "add", KEY, "/v", name, "/t", kind, "/d", str(value), "/f"],
                               stdout=subprocess.DEVNULL, check=True)
            if long_poll:
                subprocess.run(["wine", "reg", "add", KEY, "/v", "LongPoll", "/t", "REG_DWORD", "/d",
                                str(long_poll), "/f"], stdout=subprocess.DEVNULL, check=True)
            else:
                subprocess.run(["wine", "reg", "delete", KEY, "/v", "LongPoll", "/f"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            command = ["wine", self.args.exe]
        queries = self.relay.queries
        self.client = subprocess.Popen(command, stdout=log, stderr=log)
        # Idle: registered and asked once for a job, which it did not get.
        wait_on(self.relay.changed, lambda: self.relay.queries > queries, "the client's first query")

    def stop_client(self):
        if self.client is not None:
            self.client.terminate()
            try:
                self.client.wait(10)
            except subprocess.TimeoutExpired:
                self.client.kill()
                self.client.wait()
            self.client = None

    # -- jobs --

    def submit(self, computer):
        self.number += 1
        data = random.randbytes(JOB_SIZE)
        url = "http://127.0.0.1:%d/jobs?computer=%s&printer=%s&name=latency-%d" % (
            self.service_port, computer, self.args.queue, self.number)
        start = time.monotonic()
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method="POST")) as reply:
            if reply.status != 201:
                raise SystemExit("the service refused the job: %d" % reply.status)
        return start, data

    def check(self, printouts, jobs):
        got = sorted(data for _, data in printouts)
        if got != sorted(data for _, data in jobs):
            raise SystemExit("the printouts are not the jobs submitted")

    def one_job(self, computer, pause):
        time.sleep(random.uniform(0, pause))
        printed, acknowledged = len(self.printer.printouts), len(self.relay.acknowledged)
        start, data = self.submit(computer)
        wait_on(self.printer.changed, lambda: len(self.printer.printouts) > printed, "the printout")
        wait_on(self.relay.changed, lambda: len(self.relay.acknowledged) > acknowledged, "the acknowledgement")
        first, got = self.printer.printouts[printed]
        self.check([(first, got)], [(start, data)])
        return first - start, self.relay.acknowledged[acknowledged] - start

    def queue(self, computer):
        printed, acknowledged = len(self.printer.printouts), len(self.relay.acknowledged)
        jobs = [self.submit(computer) for _ in range(QUEUE_JOBS)]
        wait_on(self.relay.changed, lambda: len(self.relay.acknowledged) >= acknowledged + QUEUE_JOBS,
                "the queue's acknowledgements", DEADLINE + QUEUE_JOBS * 30)
        wait_on(self.printer.changed, lambda: len(self.printer.printouts) >= printed + QUEUE_JOBS, "the printouts")
        self.check(self.printer.printouts[printed:], jobs)
        return self.relay.acknowledged[acknowledged + QUEUE_JOBS - 1] - jobs[0][0]

    def run(self, program, label, poll, long_poll, count):
        computer = "LATENCY-%s-%d" % (program.upper(), long_poll)
        self.start_client(program, poll, long_poll, computer)
        times = []
        for number in range(count):
            times.append(self.one_job(computer, long_poll or poll))
            print("%s %s: job %d of %d, %.3f s to the first byte" % (program, label, number + 1, count,
                                                                     times[-1][0]), file=sys.stderr)
        drained = self.queue(computer)
        print("%s %s: ten jobs drained in %.3f s" % (program, label, drained), file=sys.stderr)
        self.stop_client()
        return times, drained


def percentile(values, share):
    """The nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def seconds(value):
    return "%.3f s" % value if value < 1 else "%.1f s" % value


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", required=True)
    parser.add_argument("--queue", required=True)
    parser.add_argument("--daemon")
    parser.add_argument("--exe")
    parser.add_argument("--service", default="/usr/bin/python3 -m hub serve --port {port} --db {db}")
    parser.add_argument("--poll", type=int, default=30)
    parser.add_argument("--long-poll", type=int, default=25)
    parser.add_argument("--baseline-jobs", type=int, default=10)
    parser.add_argument("--long-poll-jobs", type=int, default=20)
    args = parser.parse_args()

    bench = Bench(args)
    programs = [(name, path) for name, path in (("webprintd", args.daemon), ("webprint.exe", args.exe)) if path]
    settings = [(label, args.poll, long_poll, count) for label, long_poll, count in (
        ("PollFreq %d" % args.poll, 0, args.baseline_jobs),
        ("PollFreq %d, LongPoll %d" % (args.poll, args.long_poll), args.long_poll, args.long_poll_jobs))
        if count > 0]
    rows = []
    try:
        for label, poll, long_poll, count in settings:
            for name, _ in programs:
                times, drained = bench.run("webprintd" if name == "webprintd" else "webprint", label, poll,
                                           long_poll, count)
                first = [one for one, _ in times]
                acknowledged = [one for _, one in times]
                rows.append(("%s, %s (%d jobs)" % (name, label, count),
                             "%s / %s" % (seconds(statistics.median(first)), seconds(percentile(first, 0.95))),
                             "%s / %s" % (seconds(statistics.median(acknowledged)),
                                          seconds(percentile(acknowledged, 0.95))),
                             seconds(drained)))
    finally:
        bench.close()
    print_table(rows, "Client, settings", ("Submit to first byte, p50 / p95", "Submit to acknowledgement, p50 / p95",
                                            "Ten jobs at once, drained"))


if __name__ == "__main__":
    main()
