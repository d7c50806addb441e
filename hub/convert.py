"""Documents made into what a printer speaks: a PDF, PostScript program, PNG
or JPEG submitted for a printer whose language is not raw is converted once,
with Ghostscript, and the options of the job (copies, duplex, paper, pages)
are carried in that printer's own language.

Ghostscript runs as a child process with a time limit, limits on its CPU
time, address space and output file size and a lower priority, at most
`parallel` at once, awaited with asyncio: a conversion never holds up the
hub's other work. Its input and output are files in a private temporary
folder that only it may read."""

import asyncio
import os
import re
import shutil
import signal
import sys
import tempfile
from typing import NamedTuple

from . import documents, raster

LANGUAGES = ("raw", "pdf", "postscript", "pcl6", "pcl5", "zpl", "escpos")
RASTER_LANGUAGES = ("zpl", "escpos")
PRINTER_KIND = {"zpl": "a label printer", "escpos": "a receipt printer"}
# Ghostscript's paper names, PJL's, and the page in points.
PAPERS = {"A4": ("a4", "A4"), "Letter": ("letter", "LETTER"), "A5": ("a5", "A5"), "Legal": ("legal", "LEGAL")}
OPTIONS = ("copies", "duplex", "paper", "pages")
MAX_COPIES = 999
PAGES = re.compile(r"([0-9]{1,6})(?:-([0-9]{1,6}))?")
UNIVERSAL_EXIT = b"\x1b%-12345X"
GHOSTSCRIPT = "gs"
# Each page as it is output tells its size, so that a document that yields no
# page is refused, not sent to print nothing.
PAGE_REPORT = ("<< /EndPage { exch pop 2 ne dup { (\n%%PageSize: ) print currentpagedevice /PageSize get == } if }"
               " >> setpagedevice")
PAGE_SIZE = re.compile(rb"^%%PageSize: \[([\d.]+) ", re.M)


class Refused(Exception):
    """A printer setting or job option the hub cannot apply (400)."""


class Unreadable(Exception):
    """A document the converter cannot read (422): the text is its reason."""


class Unavailable(Exception):
    """The converter itself is missing (503)."""


class Printer(NamedTuple):
    language: str = "raw"
    dpi: int = 0
    width_mm: float = 0

    @property
    def width_dots(self):
        """The printable width in whole bytes of dots, as ^GF and GS v 0 count it."""
        return int(self.width_mm * self.dpi / 25.4) // 8 * 8


class Options(NamedTuple):
    copies: int = 1
    duplex: str = ""  # the printer's own default
    paper: str = ""
    pages: str = ""


def printer_setting(body):
    """The Printer a PUT body asks for ({"language", "dpi", "width_mm"}), or Refused."""
    if not isinstance(body, dict):
        raise Refused("the body must be a JSON object")
    unknown = sorted(set(body) - {"language", "dpi", "width_mm"})
    if unknown:
        raise Refused(f"unknown setting {unknown[0]!r}")
    language = body.get("language", "raw")
    if language not in LANGUAGES:
        raise Refused(f"language must be one of {', '.join(LANGUAGES)}")
    if language not in RASTER_LANGUAGES:
        if body.get("dpi") or body.get("width_mm"):
            raise Refused(f"dpi and width_mm belong to zpl and escpos, not to {language}")
        return Printer(language)
    dpi, width_mm = body.get("dpi"), body.get("width_mm")
    if type(dpi) is not int or not 100 <= dpi <= 1200:
        raise Refused(f"{language} needs dpi, a whole number from 100 to 1200")
    if type(width_mm) not in (int, float) or not 10 <= width_mm <= 300:
        raise Refused(f"{language} needs width_mm, the printable width from 10 to 300")
    return Printer(language, dpi, width_mm)


def job_options(query, printer):
    """The Options given as query parameters (only the four are passed here), or Refused."""
    unknown = sorted(set(query) - set(OPTIONS))
    if unknown:
        raise Refused(f"unknown option {unknown[0]!r}: the options are {', '.join(OPTIONS)}")
    if query and printer.language == "raw":
        raise Refused("this printer takes its jobs raw: options need the printer's language set")
    copies = query.get("copies", "1")
    if not re.fullmatch("[0-9]{1,3}", copies) or not 1 <= int(copies) <= MAX_COPIES:
        raise Refused(f"copies must be a whole number from 1 to {MAX_COPIES}")
    duplex = query.get("duplex", "")
    if duplex not in ("", "none", "long", "short"):
        raise Refused("duplex must be none, long or short")
    paper = query.get("paper", "")
    if paper and paper not in PAPERS:
        raise Refused(f"paper must be one of {', '.join(PAPERS)}")
    if printer.language in RASTER_LANGUAGES:
        if duplex not in ("", "none"):
            raise Refused(f"duplex does not apply to {PRINTER_KIND[printer.language]}")
        if paper:
            raise Refused(f"paper does not apply to {PRINTER_KIND[printer.language]}: its width is set on the printer")
    pages = query.get("pages", "")
    if pages:
        for part in pages.split(","):
            match = PAGES.fullmatch(part)
            if not match or int(match.group(1)) < 1 or match.group(2) and int(match.group(2)) < int(match.group(1)):
                raise Refused("pages must be pages or ranges of them, such as 2-3 or 1,4-5")
    return Options(int(copies), duplex, paper, pages)


class Converter:
    """Runs the conversions of one hub: at most `parallel` Ghostscript
    processes, each for at most `seconds` and `memory` bytes of address space,
    writing at most `output` bytes."""

    def __init__(self, seconds=60, memory=1 << 30, output=256 << 20, parallel=None):
        self.seconds, self.memory, self.output = seconds, memory, output
        self.slots = asyncio.Semaphore(parallel or os.cpu_count() or 1)

    async def convert(self, data, printer, options=Options()):
        """The bytes to print on printer; Refused or Unreadable."""
        if printer.language == "raw":
            return data
        kind = documents.document_type(data)
        if kind is None:
            if options != Options():
                raise Refused("options apply to PDF, PostScript, PNG and JPEG documents, not to printer-ready data")
            return data
        # A document already in the printer's language goes out untouched.
        if kind == printer.language and options == Options():
            return data
        async with self.slots:
            work = tempfile.mkdtemp(prefix="hub-convert-")
            try:
                return await self.convert_in(work, data, kind, printer, options)
            finally:
                await asyncio.to_thread(shutil.rmtree, work, ignore_errors=True)

    async def convert_in(self, work, data, kind, printer, options):
        source = os.path.join(work, "document")
        if kind in (documents.PNG, documents.JPEG):
            try:
                program, pixels = documents.image_program(data, kind, os.path.join(work, "pixels"))
            except documents.Unreadable as error:
                raise Unreadable(str(error)) from None
            await asyncio.to_thread(write, os.path.join(work, "pixels"), pixels)
            data = program.encode()
        # Files are written and read off the event loop: a job may be large.
        await asyncio.to_thread(write, source, data)
        # An image has no paper of its own: on a page printer it is fitted to A4 unless told.
        paper = options.paper or ("A4" if kind in (documents.PNG, documents.JPEG) else "")
        output = os.path.join(work, "output")
        if printer.language in RASTER_LANGUAGES:
            return await self.raster(work, source, output, kind, printer, options)
        arguments = page_arguments(paper, options.pages) + [f"-sOutputFile={output}"]
        language = printer.language
        device = {"pdf": "pdfwrite", "postscript": "ps2write", "pcl6": "pxlmono", "pcl5": "ljet4pjl"}[language]
        setup = {"pdf": pdf_preferences, "postscript": postscript_setup}.get(language, lambda _: "")(options)
        pages = await self.ghostscript(work, arguments + [f"-sDEVICE={device}", "-c", setup + PAGE_REPORT, "-f", source])
        check_selection(kind, pages, options.pages)
        converted = await asyncio.to_thread(read, output)
        if language in ("pcl6", "pcl5"):
            converted = pjl_framed(converted, options)
        return converted

    async def raster(self, work, source, output, kind, printer, options):
        """Each page rendered one bit deep at the printer's dpi, scaled so that
        the first page's width is the printer's."""
        arguments = page_arguments("", options.pages)
        # The first pass only reads the pages' sizes.
        pages = await self.ghostscript(work, arguments + ["-sDEVICE=nullpage", "-c", PAGE_REPORT, "-f", source])
        check_selection(kind, pages, options.pages)
        width = printer.width_dots
        resolution = width * 72 / pages[0]
        pages_file = os.path.join(work, "pages.pbm")
        await self.ghostscript(work, arguments + [
            "-sDEVICE=pbmraw", f"-r{resolution:.4f}", f"-sOutputFile={pages_file}", "-c", PAGE_REPORT, "-f", source])
        status, said = await self.child(work, [sys.executable, raster.__file__, printer.language, str(width),
                                               str(options.copies), pages_file, output])
        if status:
            raise Unreadable("the pages could not be encoded: " + said.decode(errors="replace")[-400:])
        return await asyncio.to_thread(read, output)

    async def ghostscript(self, work, arguments):
        """Runs Ghostscript in work on arguments that report the pages; the
        widths of the pages in points, or Unreadable with its own words."""
        status, said = await self.child(work, [
            GHOSTSCRIPT, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
            f"--permit-file-read={work}/"] + arguments)
        widths = [float(width) for width in PAGE_SIZE.findall(said)]
        if status or not widths or not widths[0]:
            raise Unreadable(ghostscript_reason(said, status))
        return widths

    async def child(self, work, command):
        """Runs command in work within the limits; (its exit status, what it said)."""
        # The limits are set by prlimit and nice rather than in a forked child
        # of this process, which has threads. The child stays in the hub's
        # session: in a session of its own the kernel's automatic grouping
        # would give it as much CPU as the whole hub, whatever its nice value.
        process = await asyncio.create_subprocess_exec(
            "prlimit", f"--cpu={self.seconds}", f"--as={self.memory}", f"--fsize={self.output}", "--",
            "nice", "-n", "19", *command, cwd=work, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        try:
            said = await asyncio.wait_for(first_bytes(process), self.seconds)
        except (asyncio.TimeoutError, asyncio.CancelledError) as error:
            process.kill()
            await process.wait()
            if isinstance(error, asyncio.CancelledError):
                raise
            raise Unreadable(f"the conversion took longer than {self.seconds} s") from None
        status = process.returncode
        # nice's own status when it cannot run the command.
        if status == 127:
            raise Unavailable(f"{command[0]} cannot be run: is it installed? " + said.decode(errors="replace")[:200])
        if status in (-signal.SIGXCPU, -signal.SIGKILL):
            raise Unreadable(f"the conversion took longer than {self.seconds} s")
        if status == -signal.SIGXFSZ:
            raise Unreadable(f"the converted document would be larger than {self.output} bytes")
        return status, said


async def first_bytes(process, limit=1 << 20):
    """What the process says, up to limit bytes (a document may print without
    end), once it has ended."""
    said = b""
    while chunk := await process.stdout.read(65536):
        said += chunk[:limit - len(said)]
    await process.wait()
    return said


def check_selection(kind, pages, selection):
    """Ghostscript reads a PDF's selected pages only, and refuses pages it does
    not have; of other documents it reads every page and outputs the selected
    ones: a selection past the end would print nothing."""
    if not selection or kind == documents.PDF:
        return
    if all(int(part.split("-")[0]) > len(pages) for part in selection.split(",")):
        raise Unreadable(f"the document has {len(pages)} page{'s' if len(pages) > 1 else ''}: "
                         f"pages {selection} selects none")


def page_arguments(paper, pages):
    arguments = []
    if paper:
        arguments += [f"-sPAPERSIZE={PAPERS[paper][0]}", "-dFIXEDMEDIA", "-dFitPage"]
    if pages:
        arguments += [f"-sPageList={pages}"]
    return arguments


def pdf_preferences(options):
    """The PDF's own print preferences: copies and duplex for its print dialog or printer."""
    preferences = ""
    if options.copies > 1:
        preferences += f" /NumCopies {options.copies}"
    if options.duplex:
        preferences += " /Duplex /" + {"none": "Simplex", "long": "DuplexFlipLongEdge",
                                       "short": "DuplexFlipShortEdge"}[options.duplex]
    return f"[ {{Catalog}} << /ViewerPreferences << {preferences} >> >> /PUT pdfmark" if preferences else ""


def postscript_setup(options):
    """Page device settings at the head of the program, each in its own
    stopped context as a printer's own feature code is, so that a printer
    without a duplex unit prints the rest."""
    settings = []
    if options.copies > 1:
        settings.append(f"/NumCopies {options.copies}")
    if options.duplex:
        settings.append({"none": "/Duplex false", "long": "/Duplex true /Tumble false",
                         "short": "/Duplex true /Tumble true"}[options.duplex])
    code = " ".join(f"[{{ << {setting} >> setpagedevice }} stopped cleartomark" for setting in settings)
    return f"<< /PSDocOptions ({code}) >> setdistillerparams" if code else ""


def pjl_framed(converted, options):
    """Ghostscript's PJL header with the job's settings before it enters the language."""
    enter = converted.find(b"@PJL ENTER LANGUAGE")
    if not converted.startswith(UNIVERSAL_EXIT) or enter < 0:
        raise Unreadable("the converter wrote no PJL header")
    settings = [f"@PJL SET COPIES={options.copies}"]
    if options.duplex:
        settings.append(f"@PJL SET DUPLEX={'OFF' if options.duplex == 'none' else 'ON'}")
    if options.duplex in ("long", "short"):
        settings.append(f"@PJL SET BINDING={'LONGEDGE' if options.duplex == 'long' else 'SHORTEDGE'}")
    if options.paper:
        settings.append(f"@PJL SET PAPER={PAPERS[options.paper][1]}")
    framed = converted[:enter] + "".join(line + "\r\n" for line in settings).encode() + converted[enter:]
    return framed if framed.endswith(UNIVERSAL_EXIT) else framed + UNIVERSAL_EXIT


def ghostscript_reason(said, status):
    # Its messages begin with a run of asterisks: the words are what counts.
    lines = [line.strip().lstrip("* ") for line in said.decode(errors="replace").splitlines()
             if line.strip() and not PAGE_SIZE.match(line.strip().encode())]
    # Its first lines say what is wrong; the operand stack dump after them does not.
    reason = "; ".join(lines[:4]) or ("Ghostscript ended with status %d" % status if status else "it has no pages")
    return f"the document cannot be converted: {reason[:400]}"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        raise Unreadable("the converter wrote nothing") from None
