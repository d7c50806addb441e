"""Document conversion: documents this test makes (a text PDF, a two-page
PostScript program, a PNG with transparency, a JPEG) converted for every
printer language and read back: PDF and PostScript through Ghostscript and
pdftotext, the label and receipt rasters decoded into bitmaps and compared
with Ghostscript's own rendering of the document. PCL has no reader in
Debian: its PJL frame is read instead. Then the options, accepted and refused.
Last, end to end: a PDF submitted to the hub for a CUPS queue that speaks
PostScript, printed by webprintd into a PDF-writing queue (cups-pdf), and
its text read back (as root, with webprintd built).

  /usr/bin/python3 -m unittest discover -s tests/hub -p 'test_convert.py' -v"""

import asyncio
import glob
import json
import os
import pwd
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from cups_watch import QueueWatch, jobs  # noqa: E402
from e2e_common import wait_for  # noqa: E402
from hub import convert  # noqa: E402
from hub.convert import Options, Printer, Refused, Unreadable  # noqa: E402

TEXT_PS = b"""%!PS
<< /PageSize [595 842] >> setpagedevice
/Helvetica findfont 28 scalefont setfont
72 720 moveto (Hub page one) show 72 300 moveto (lower line) show showpage
72 720 moveto (Hub page two) show showpage
"""
LABEL = Printer("zpl", 203, 50.8)     # a 2-inch label: 400 dots
RECEIPT = Printer("escpos", 203, 48)  # a 58 mm roll's 384 dots


def ghostscript(data, *arguments):
    with tempfile.NamedTemporaryFile() as source:
        source.write(data)
        source.flush()
        return subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", *arguments, "-sOutputFile=-",
                               source.name], check=True, capture_output=True).stdout


def text_pages(data):
    """Each page's text, as pdftotext finds it in Ghostscript's PDF of data."""
    pdf = data if data.startswith(b"%PDF") else ghostscript(data, "-sDEVICE=pdfwrite")
    text = subprocess.run(["pdftotext", "-", "-"], input=pdf, check=True, capture_output=True).stdout.decode()
    return [" ".join(page.split()) for page in text.split("\f")[:-1]]


def png(width, height):
    """Grey and alpha: a black square on a transparent ground."""
    rows = b"".join(b"\0" + b"".join(b"\0\xff" if width // 4 <= x < width * 3 // 4 and height // 4 <= y < height * 3 // 4
                                     else b"\0\0" for x in range(width)) for y in range(height))
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 4, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


TWO_PAGES = TEXT_PS
PDF = ghostscript(TEXT_PS, "-sDEVICE=pdfwrite", "-sPageList=1")
# The PNG's picture as a JPEG.
JPEG = ghostscript(b"%!PS\n<< /PageSize [60 40] >> setpagedevice 15 10 30 20 rectfill showpage", "-sDEVICE=jpeggray",
                   "-r72", "-dJPEGQ=95")
PNG = png(60, 40)


def pbm_rows(data, width=None):
    """The P4 pages Ghostscript wrote, each a list of rows as integers of
    width bits (the page's own width unless given: cut or padded on the right)."""
    pages = []
    for match in re.finditer(rb"P4\s+(?:#.*\n)?(\d+)\s+(\d+)\s", data):
        page_width, height = int(match.group(1)), int(match.group(2))
        size = (page_width + 7) // 8
        body = data[match.end():match.end() + size * height]
        shift = (width or size * 8) - size * 8
        rows = [int.from_bytes(body[r * size:(r + 1) * size], "big") for r in range(height)]
        pages.append([row << shift if shift >= 0 else row >> -shift for row in rows])
    return pages


def rendering(data, width, page_width=595):
    """Ghostscript's own 1-bit pages of data, scaled to width dots."""
    return pbm_rows(ghostscript(data, "-sDEVICE=pbmraw", f"-r{width * 72 / page_width:.4f}"), width)


def black(rows, width):
    """The share of black dots on a page."""
    return sum(bin(row).count("1") for row in rows) / (len(rows) * width)


def zpl_labels(data, copies=False):
    """The rows of each ^GF label, its compressed hex decoded (with copies: (copies, rows))."""
    labels = []
    for match in re.finditer(rb"\^GFA,(\d+),\d+,(\d+),([^\^]*)\^FS\^PQ(\d+)", data):
        width = int(match.group(2)) * 2
        # Repeat counts first: G-Y count 1-19, g-z 20-400, added up.
        graphic = re.sub(r"([G-Yg-z]+)([0-9A-F])", lambda m: m.group(2) * sum(
            ord(c) - ord("F") if c < "a" else (ord(c) - ord("f")) * 20 for c in m.group(1)), match.group(3).decode())
        rows, row = [], ""
        for char in graphic:
            if char == ":":
                rows.append(rows[-1])
                continue
            row = row.ljust(width, "0") if char == "," else row + char
            if len(row) == width:
                rows.append(int(row, 16))
                row = ""
        labels.append((int(match.group(4)), rows) if copies else rows)
    return labels


def escpos_receipts(data):
    """Rows of each receipt: GS v 0 bands up to a cut."""
    receipts, rows, position = [], [], 2
    assert data.startswith(b"\x1b@")
    while position < len(data):
        if data.startswith(b"\x1dVB\x00", position):
            receipts.append(rows)
            rows, position = [], position + 4
            continue
        assert data.startswith(b"\x1dv0\x00", position), data[position:position + 8]
        width, height = struct.unpack_from("<HH", data, position + 4)
        body = data[position + 8:position + 8 + width * height]
        rows += [int.from_bytes(body[r * width:(r + 1) * width], "big") for r in range(height)]
        position += 8 + width * height
    return receipts


def run(document, printer, options=Options(), converter=None):
    return asyncio.run((converter or convert.Converter()).convert(document, printer, options))


class Conversions(unittest.TestCase):
    def test_documents_by_languages(self):
        texts = {TWO_PAGES: ["Hub page one lower line", "Hub page two"], PDF: ["Hub page one lower line"],
                 PNG: [""], JPEG: [""]}
        for document, pages in texts.items():
            name = document[:4]
            for language in ("pdf", "postscript"):
                with self.subTest(document=name, language=language):
                    output = run(document, Printer(language))
                    self.assertTrue(output.startswith(b"%PDF" if language == "pdf" else b"%!PS"))
                    self.assertEqual(pages, text_pages(output))
                    if document in (PNG, JPEG):
                        # Not blank, and transparency is white paper, not black.
                        self.assertTrue(0.01 < black(rendering(output, 200)[0], 200) < 0.3)
            for language in ("pcl6", "pcl5"):
                with self.subTest(document=name, language=language):
                    output = run(document, Printer(language))
                    self.assertTrue(output.startswith(b"\x1b%-12345X@PJL") and output.endswith(b"\x1b%-12345X"))
                    self.assertIn(b"@PJL SET COPIES=1\r\n@PJL ENTER LANGUAGE", output)
                    self.assertIn(b") HP-PCL XL" if language == "pcl6" else b"\x1bE", output)
            for printer, decode in ((LABEL, zpl_labels), (RECEIPT, escpos_receipts)):
                with self.subTest(document=name, language=printer.language):
                    width = printer.width_dots
                    labels = decode(run(document, printer))
                    self.assertEqual(len(pages), len(labels))
                    if document in (PNG, JPEG):
                        # The black square in the middle of the picture (15-45 x 10-30),
                        # scaled to the width, within a pixel (JPEG blurs its edges).
                        rows = labels[0]
                        inked = [y for y, row in enumerate(rows) if row]
                        middle = rows[(inked[0] + inked[-1]) // 2]
                        right = width - ((middle & -middle).bit_length() - 1)
                        found = [inked[0], inked[-1] + 1, width - middle.bit_length(), right]
                        for expected, edge in zip((10, 30, 15, 45), found):
                            self.assertAlmostEqual(expected * width / 60, edge, delta=1.5 * width / 60)
                    else:
                        for expected, label in zip(rendering(document, width), labels):
                            # A receipt ends with its last printed row.
                            self.assertEqual(expected[:len(label)], label)
                            self.assertFalse(any(expected[len(label):]))

    def test_options_in_the_printers_language(self):
        postscript = run(PDF, Printer("postscript"), Options(copies=2, duplex="long"))
        self.assertTrue(postscript.startswith(b"%!PS"))
        setup = postscript[:postscript.index(b"%%Page:")]
        self.assertIn(b"[{ << /NumCopies 2 >> setpagedevice } stopped cleartomark", setup)
        self.assertIn(b"[{ << /Duplex true /Tumble false >> setpagedevice } stopped cleartomark", setup)
        pcl = run(PDF, Printer("pcl6"), Options(copies=3, duplex="short", paper="Letter"))
        self.assertIn(b"@PJL SET COPIES=3\r\n@PJL SET DUPLEX=ON\r\n@PJL SET BINDING=SHORTEDGE\r\n"
                      b"@PJL SET PAPER=LETTER\r\n@PJL ENTER LANGUAGE", pcl)
        pdf = run(TWO_PAGES, Printer("pdf"), Options(pages="2", duplex="short"))
        self.assertEqual(["Hub page two"], text_pages(pdf))
        self.assertIn(b"/Duplex /DuplexFlipShortEdge", pdf)
        self.assertEqual([3, 3], [copies for copies, _ in zpl_labels(run(TWO_PAGES, LABEL, Options(copies=3)), copies=True)])
        self.assertEqual(4, len(escpos_receipts(run(TWO_PAGES, RECEIPT, Options(copies=2)))))
        # The paper's size is the one asked for (Letter, 612 x 792 points).
        self.assertIn(b"612 792", run(PDF, Printer("postscript"), Options(paper="Letter")))
        # Printer-ready data and a document already in the printer's language go out untouched.
        self.assertEqual(b"\x1bE raw PCL", run(b"\x1bE raw PCL", Printer("postscript")))
        self.assertEqual(PDF, run(PDF, Printer("pdf")))

    def test_unreadable_documents(self):
        for document, options, reason in (
                (b"%PDF-1.7\nnot a PDF at all", Options(), "cannot be converted"),
                (PNG[:40], Options(), "PNG image is damaged"),
                (b"%!PS\nundefined_name_here\n", Options(), "undefined"),
                (TWO_PAGES, Options(pages="3-4"), "has 2 pages: pages 3-4 selects none"),
                (PDF, Options(pages="2"), "page not found")):
            with self.subTest(document=document[:20]):
                with self.assertRaisesRegex(Unreadable, reason):
                    run(document, Printer("pcl6"), options)
        with self.assertRaisesRegex(Unreadable, "longer than 1 s"):
            run(b"%!PS\n{ } loop\n", Printer("pdf"), converter=convert.Converter(seconds=1))
        with self.assertRaisesRegex(Unreadable, "larger than 2000 bytes"):
            run(PDF, Printer("pcl5"), converter=convert.Converter(output=2000))


class JobOptions(unittest.TestCase):
    def test_accepted_and_refused(self):
        rows = [
            ({}, Printer("pdf"), Options()),
            ({"copies": "2", "duplex": "long", "paper": "A5", "pages": "2-3,5"}, Printer("pcl5"),
             Options(2, "long", "A5", "2-3,5")),
            ({"copies": "4", "pages": "1", "duplex": "none"}, LABEL, Options(4, "none", "", "1")),
            ({"color": "yes"}, Printer("pdf"), "unknown option 'color'"),
            ({"copies": "0"}, Printer("pdf"), "copies must be"),
            ({"copies": "1000"}, Printer("pdf"), "copies must be"),
            ({"copies": "-1"}, Printer("pdf"), "copies must be"),
            ({"duplex": "both"}, Printer("postscript"), "duplex must be"),
            ({"duplex": "long"}, LABEL, "duplex does not apply to a label printer"),
            ({"paper": "A4"}, RECEIPT, "paper does not apply to a receipt printer"),
            ({"paper": "B5"}, Printer("pdf"), "paper must be"),
            ({"pages": "3-2"}, Printer("pdf"), "pages must be"),
            ({"pages": "0"}, Printer("pdf"), "pages must be"),
            ({"pages": "two"}, Printer("pdf"), "pages must be"),
            ({"copies": "2"}, Printer(), "takes its jobs raw"),
        ]
        for query, printer, expected in rows:
            with self.subTest(query=query, language=printer.language):
                if isinstance(expected, Options):
                    self.assertEqual(expected, convert.job_options(query, printer))
                else:
                    with self.assertRaisesRegex(Refused, expected):
                        convert.job_options(query, printer)
        with self.assertRaisesRegex(Refused, "not to printer-ready data"):
            run(b"\x1bE raw PCL", Printer("pcl5"), Options(copies=2))

    def test_printer_settings(self):
        rows = [
            ({"language": "zpl", "dpi": 203, "width_mm": 104}, Printer("zpl", 203, 104)),
            ({"language": "postscript"}, Printer("postscript")),
            ({}, Printer()),
            ({"language": "braille"}, "language must be"),
            ({"language": "escpos", "width_mm": 72}, "needs dpi"),
            ({"language": "zpl", "dpi": 203, "width_mm": "4in"}, "needs width_mm"),
            ({"language": "pdf", "dpi": 300}, "belong to zpl and escpos"),
            ({"language": "pdf", "colour": True}, "unknown setting"),
        ]
        for body, expected in rows:
            with self.subTest(body=body):
                if isinstance(expected, Printer):
                    self.assertEqual(expected, convert.printer_setting(body))
                else:
                    with self.assertRaisesRegex(Refused, expected):
                        convert.printer_setting(body)


DAEMON = os.environ.get("WEBPRINTD", os.path.join(ROOT, "build", "native-asan", "app", "linux", "webprintd"))
PDF_QUEUE = "webprint-convert-pdf"
# cups-pdf writes a job's PDF in its owner's home, as Debian's settings and
# AppArmor profile for it have it; webprintd runs as root here.
PRINTED = os.path.join(pwd.getpwuid(0).pw_dir, "PDF")
COMPUTER = "CONVERT-E2E"


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(DAEMON) and os.path.exists("/usr/lib/cups/backend/cups-pdf"),
                     "needs root, a built webprintd and cups-pdf")
class PrintedThroughCups(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="convert-e2e-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.addCleanup(subprocess.run, ["lpadmin", "-x", PDF_QUEUE])
        # A queue without a driver: its jobs reach cups-pdf as they come, PostScript here.
        subprocess.run(["lpadmin", "-p", PDF_QUEUE, "-E", "-v", "cups-pdf:/"], check=True)
        subprocess.run(["cancel", "-a", "-x", PDF_QUEUE], check=True)

    def start(self, command, log):
        """The process, stopped when the test ends."""
        with open(os.path.join(self.work, log), "ab") as output:
            process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=output, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait, 30)
        self.addCleanup(process.terminate)
        return process

    def api(self, method, path, body=None):
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}/api/{path}", data=body, method=method,
                                         headers={"Authorization": f"Bearer {self.token}"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.load(answer)

    def test_a_pdf_printed_on_a_postscript_queue(self):
        started = time.time() - 1
        config = os.path.join(self.work, "hub.conf")
        with open(config, "w") as f:
            f.write(f"listen = 127.0.0.1:0\ndatabase = {self.work}/hub.sqlite\n")
        hub = ["/usr/bin/python3", "-m", "hub"]
        self.token = subprocess.run(hub + ["token", "add", "convert-e2e", "--config", config], cwd=ROOT, check=True,
                                    capture_output=True, text=True).stdout.split()[-1]
        listening = self.start(hub + ["serve", "--config", config], "hub.log").stdout.readline()
        self.port = int(listening.rsplit(":")[-1])
        daemon_config = os.path.join(self.work, "webprint.conf")
        with open(daemon_config, "w") as f:
            f.write(f"Url = 127.0.0.1\nPort = {self.port}\nPollFreq = 1\nComputerName = {COMPUTER}\n")
        self.start([DAEMON, "--config", daemon_config], "daemon.log")
        wait_for(lambda: any(computer["name"] == COMPUTER for computer in self.api("GET", "computers")[1]["computers"]),
                 "webprintd to register")
        self.assertEqual(200, self.api("PUT", f"computers/{COMPUTER}/printers/{PDF_QUEUE}",
                                       json.dumps({"language": "postscript"}).encode())[0])
        query = urllib.parse.urlencode({"computer": COMPUTER, "printer": PDF_QUEUE, "name": "two pages.pdf",
                                        "pages": "2"})
        document = ghostscript(TWO_PAGES, "-sDEVICE=pdfwrite")
        status, job = self.api("POST", "jobs?" + query, document)
        self.assertEqual(201, status)
        wait_for(lambda: any(row[0] == "completed" for row in jobs(PDF_QUEUE).values()), "the printout",
                 watch=QueueWatch(PDF_QUEUE))
        # cups-pdf names the file after the document's title, and may reuse a name.
        [printed] = [path for path in glob.glob(f"{PRINTED}/*.pdf") if os.path.getmtime(path) >= started]
        self.addCleanup(os.remove, printed)
        with open(printed, "rb") as f:
            self.assertEqual(["Hub page two"], text_pages(f.read()))
        job = wait_for(lambda: (lambda job: job["state"] == "printed" and job)(self.api("GET", f"jobs/{job['id']}")[1]),
                       "the job to be acknowledged")
        self.assertEqual(len(document), job["source_size"])
        self.assertGreater(job["size"], 0)


if __name__ == "__main__":
    unittest.main()
