"""One-bit pages, as Ghostscript's pbmraw device writes them, made into what
label and receipt printers print: ZPL ^GF graphics, one label a page, and
ESC/POS GS v 0 raster, one receipt a page with a cut after it.

A page is (width in dots, height in rows, rows): each row is (width + 7) // 8
bytes, most significant bit first, a set bit a black dot, as in all three.

The hub runs this file as a child process, beside Ghostscript, so that the
encoding of many large pages never holds up its event loop:
  python3 raster.py zpl|escpos WIDTH COPIES PAGES.pbm OUTPUT"""

import re
import sys

PBM_FIELD = re.compile(rb"(?:\s|#[^\n]*\n)*(\d+)")


def pbm_pages(data):
    """The pages of concatenated P4 images, each cut or padded with white to
    width dots: a document's pages of other widths keep their left part."""
    pages, position = [], 0
    while position < len(data):
        if data[position:position + 2] != b"P4":
            break
        position += 2
        fields = []
        for _ in range(2):
            match = PBM_FIELD.match(data, position)
            if not match:
                raise ValueError("a raster page without its size")
            fields.append(int(match.group(1)))
            position = match.end()
        position += 1  # the one whitespace byte before the pixels
        width, height = fields
        row_bytes = (width + 7) // 8
        pixels = data[position:position + row_bytes * height]
        if len(pixels) < row_bytes * height:
            raise ValueError("a raster page cut short")
        position += row_bytes * height
        pages.append((width, height, [pixels[row * row_bytes:(row + 1) * row_bytes] for row in range(height)]))
    return pages


def fit_width(page, width):
    """The page cut or padded with white on the right to width dots (a multiple of 8)."""
    old_width, height, rows = page
    row_bytes = width // 8
    if (old_width + 7) // 8 == row_bytes and old_width % 8 == 0:
        return width, height, rows
    keep = min(old_width, width)
    last = keep // 8
    mask = (0xFF00 >> (keep % 8)) & 0xFF
    fitted = []
    for row in rows:
        head = row[:last]
        if keep % 8:
            head += bytes([row[last] & mask])
        fitted.append(head.ljust(row_bytes, b"\0"))
    return width, height, fitted


def trim_bottom(page):
    """Without the white rows under the last black one: a receipt ends where
    its print ends (one row is kept for an empty page)."""
    width, height, rows = page
    while len(rows) > 1 and not any(rows[-1]):
        rows = rows[:-1]
    return width, len(rows), rows


# ZPL's repeat counts: G to Y stand for 1 to 19, g to z for 20 to 400 in
# steps of 20; a count's letters add up, and the hex digit follows them.
ONES = "GHIJKLMNOPQRSTUVWXY"
TWENTIES = "ghijklmnopqrstuvwxyz"
LONGEST_COUNT = 419
RUN = re.compile(r"([0-9A-F])\1{2,}")


def repeated(run):
    """A run of one hex digit as ZPL's counts and the digit."""
    digit, count, text = run.group(1), len(run.group(0)), ""
    while count:
        part = min(count, LONGEST_COUNT)
        text += (TWENTIES[part // 20 - 1] if part >= 20 else "") + (ONES[part % 20 - 1] if part % 20 else "") + digit
        count -= part
    return text


def zpl_label(page, copies):
    """One label: the page as a ^GF graphic in ZPL's compressed ASCII hex:
    ':' repeats the row before, ',' fills the rest of a row with white, and
    runs of a digit are counted."""
    width, height, rows = page
    row_bytes = width // 8
    total = row_bytes * height
    encoded, previous = [], None
    for row in rows:
        if row == previous:
            encoded.append(":")
        else:
            text = row.hex().upper()
            short = text.rstrip("0")
            encoded.append(RUN.sub(repeated, short) + ("," if len(short) < len(text) else ""))
        previous = row
    graphic = "".join(encoded)
    return (f"^XA^PW{width}^LL{height}^FO0,0^GFA,{total},{total},{row_bytes},{graphic}^FS"
            f"^PQ{copies}^XZ\n").encode()


ESC_POS_INIT = b"\x1b@"
# Feed to the cutter and cut, leaving a little paper (GS V 66 0).
ESC_POS_CUT = b"\x1dVB\x00"
# Printers buffer a raster command whole: bands of this many rows keep it small.
BAND_ROWS = 256


def escpos_receipt(page):
    """One receipt: the page in GS v 0 bands, then the cut."""
    width, height, rows = page
    row_bytes = width // 8
    out = bytearray()
    for start in range(0, height, BAND_ROWS):
        band = rows[start:start + BAND_ROWS]
        out += b"\x1dv0\x00" + row_bytes.to_bytes(2, "little") + len(band).to_bytes(2, "little")
        out += b"".join(band)
    return bytes(out) + ESC_POS_CUT


def zpl(pages, width, copies):
    return b"".join(zpl_label(fit_width(page, width), copies) for page in pages)


def escpos(pages, width, copies):
    receipts = b"".join(escpos_receipt(trim_bottom(fit_width(page, width))) for page in pages)
    return ESC_POS_INIT + receipts * copies


def main(language, width, copies, source, target):
    with open(source, "rb") as f:
        pages = pbm_pages(f.read())
    encode = zpl if language == "zpl" else escpos
    with open(target, "wb") as f:
        f.write(encode(pages, int(width), int(copies)))


if __name__ == "__main__":
    main(*sys.argv[1:])
