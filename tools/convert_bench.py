"""Benchmark of the hub's document conversion (tools/bench.sh convert).

1. A 10-page text PDF (made here with Ghostscript) converted by hub.convert
   for postscript, pcl6 and zpl at 203 dpi on a 104 mm label, each RUNS
   times: the median time per document and, for zpl, per label.
2. The hub itself, started on a free port over a fresh SQLite file: POLLERS
   computers poll it without `wait`, each every POLL_INTERVAL, for SECONDS at
   rest, then for SECONDS while that PDF is submitted through the API, one
   submission after another, for a label printer (each converted at submit),
   ROUNDS times: the polls' p50 and p99 at rest and while converting.

  /usr/bin/python3 tools/convert_bench.py [--runs N] [--pollers N] [--seconds S] [--rounds N]
Prints a Markdown table; the method is in docs/benchmarks.md."""

import argparse
import asyncio
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from bench_table import print_table  # noqa: E402
from hub import convert  # noqa: E402

PAGES = 10
LABEL = convert.Printer("zpl", 203, 104)
SERVICE_PATH = "/.00010101000000000000/system/rmtprt.aspx?func="
POLL_INTERVAL = 0.1  # seconds between one poller's polls


def text_pdf():
    """Ten A4 pages of 48 lines of running text."""
    lines = ["%!PS", "/Times-Roman findfont 11 scalefont setfont"]
    for page in range(1, PAGES + 1):
        for line in range(48):
            lines.append(f"56 {790 - line * 15} moveto (Page {page}, line {line + 1}: the quick brown fox jumps "
                         f"over the lazy dog, and the hub converts it for the printer.) show")
        lines.append("showpage")
    made = subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-sPAPERSIZE=a4",
                           "-sOutputFile=-", "-"], input="\n".join(lines).encode(), capture_output=True, check=True)
    return made.stdout


async def conversion_times(pdf, runs):
    converter = convert.Converter()
    times = {}
    for name, printer in (("postscript", convert.Printer("postscript")), ("pcl6", convert.Printer("pcl6")),
                          ("zpl", LABEL)):
        spent = []
        for _ in range(runs):
            started = time.perf_counter()
            await converter.convert(pdf, printer)
            spent.append(time.perf_counter() - started)
        times[name] = statistics.median(spent)
    return times


class Connection:
    """One kept HTTP/1.1 connection to the hub."""

    def __init__(self, port):
        self.port = port

    async def open(self):
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", self.port)
        return self

    async def request(self, method, path, body=b"", headers=()):
        head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
        head += "".join(f"{name}: {value}\r\n" for name, value in headers)
        self.writer.write(head.encode() + b"\r\n" + body)
        status_line, *lines = (await self.reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        length = next(int(line.split(":")[1]) for line in lines if line.lower().startswith("content-length:"))
        return int(status_line.split()[1]), await self.reader.readexactly(length)

    async def register(self, computer, printer):
        listing = f"<list cpu='{computer}' user='bench'>\r\n <printer name='{printer}' hide='0'/>\r\n</list>"
        status, body = await self.request("POST", SERVICE_PATH + "printlist", listing.encode())
        assert status == 200, body
        return int(body.split(b"\r\n")[1])


async def poller(port, number, stop, latencies):
    """A computer that polls every POLL_INTERVAL until stop is set, the
    latency of each poll appended to latencies."""
    connection = await Connection(port).open()
    token = await connection.register(f"BENCH-POLLER-{number}", "queue")
    query = f"<qryspool cputok='{token}'/>".encode()
    await asyncio.sleep(POLL_INTERVAL * number / 100 % POLL_INTERVAL)
    next_poll = time.perf_counter()
    while not stop.is_set():
        started = time.perf_counter()
        status, _ = await connection.request("POST", SERVICE_PATH + "qryspool", query)
        assert status == 200
        latencies.append(time.perf_counter() - started)
        next_poll += POLL_INTERVAL
        await asyncio.sleep(max(0, next_poll - time.perf_counter()))
    connection.writer.close()


async def submitter(port, token, pdf, stop, done):
    """The PDF submitted for the label printer, one submission after another."""
    connection = await Connection(port).open()
    query = urllib.parse.urlencode({"computer": "BENCH-LABELS", "printer": "labels", "name": "bench.pdf"})
    while not stop.is_set():
        status, body = await connection.request("POST", "/api/jobs?" + query, pdf,
                                                [("Authorization", f"Bearer {token}")])
        assert status == 201, body
        done.append(json.loads(body)["id"])
    connection.writer.close()


async def polls(port, token, pdf, pollers, seconds, converting):
    """Poll latencies over seconds, with the label printer's conversions or without."""
    stop, latencies, done = asyncio.Event(), [], []
    tasks = [asyncio.create_task(poller(port, number, stop, latencies)) for number in range(pollers)]
    if converting:
        tasks.append(asyncio.create_task(submitter(port, token, pdf, stop, done)))
    await asyncio.sleep(seconds)
    stop.set()
    await asyncio.gather(*tasks)
    latencies.sort()
    return latencies, len(done)


def percentile(values, share):
    return values[min(len(values) - 1, int(len(values) * share))]


async def setting_up(port, token):
    """The label printer registered and set to zpl at 203 dpi, 104 mm."""
    connection = await Connection(port).open()
    await connection.register("BENCH-LABELS", "labels")
    body = json.dumps({"language": "zpl", "dpi": LABEL.dpi, "width_mm": LABEL.width_mm}).encode()
    status, answer = await connection.request("PUT", "/api/computers/BENCH-LABELS/printers/labels", body,
                                              [("Authorization", f"Bearer {token}"),
                                               ("Content-Type", "application/json")])
    assert status == 200, answer
    connection.writer.close()


def hub_polls(pdf, pollers, seconds, rounds):
    """(latencies at rest, latencies while converting, conversions done)."""
    work = tempfile.mkdtemp(prefix="convert-bench-")
    config = os.path.join(work, "hub.conf")
    with open(config, "w") as f:
        f.write(f"listen = 127.0.0.1:0\ndatabase = {work}/hub.sqlite\n")
    token = subprocess.run(["/usr/bin/python3", "-m", "hub", "token", "add", "bench", "--config", config], cwd=ROOT,
                           check=True, capture_output=True, text=True).stdout.split()[-1]
    hub = subprocess.Popen(["/usr/bin/python3", "-m", "hub", "serve", "--config", config], cwd=ROOT,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = int(re.search(r"listening on .*:(\d+)", hub.stdout.readline()).group(1))
        asyncio.run(setting_up(port, token))
        # Rounds of rest and of conversions take turns, so that a change in
        # the machine's other load falls on both alike.
        at_rest, converting, done = [], [], 0
        for _ in range(rounds):
            at_rest += asyncio.run(polls(port, token, pdf, pollers, seconds, False))[0]
            latencies, submitted = asyncio.run(polls(port, token, pdf, pollers, seconds, True))
            converting += latencies
            done += submitted
        return sorted(at_rest), sorted(converting), done
    finally:
        hub.terminate()
        hub.wait()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pollers", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=2)
    parser.add_argument("--rounds", type=int, default=10)
    arguments = parser.parse_args()
    pdf = text_pdf()
    times = asyncio.run(conversion_times(pdf, arguments.runs))
    rows = [(f"10-page text PDF ({len(pdf) // 1024} KiB) to PostScript", "%.2f s" % times["postscript"]),
            ("10-page text PDF to PCL XL (pcl6)", "%.2f s" % times["pcl6"]),
            ("10-page text PDF to ZPL, 203 dpi, 104 mm: 10 labels", "%.2f s" % times["zpl"]),
            ("ZPL, per label", "%.3f s" % (times["zpl"] / PAGES))]
    print_table(rows, column=f"Median of {arguments.runs} runs")
    print()
    at_rest, converting, done = hub_polls(pdf, arguments.pollers, arguments.seconds, arguments.rounds)
    rate = arguments.pollers / POLL_INTERVAL
    rows = [("Polls at rest: p50 / p99", "%.1f / %.1f ms" % (percentile(at_rest, 0.5) * 1000,
                                                            percentile(at_rest, 0.99) * 1000)),
            ("Polls while converting: p50 / p99", "%.1f / %.1f ms" % (percentile(converting, 0.5) * 1000,
                                                                     percentile(converting, 0.99) * 1000)),
            ("p99 while converting / at rest", "%.2f" % (percentile(converting, 0.99) / percentile(at_rest, 0.99))),
            ("Label conversions at submit in that time", "%d (%d labels)" % (done, done * PAGES))]
    print_table(rows, column=f"{arguments.pollers} computers, {rate:.0f} polls/s, "
                              f"{arguments.rounds} x {arguments.seconds:.0f} s each")


if __name__ == "__main__":
    main()
