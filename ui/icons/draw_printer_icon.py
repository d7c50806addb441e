#!/usr/bin/env python3
"""Draws the program's printer icon, pixel by pixel at 16x16 and 32x32, and
writes it as a Windows .ico file (32 bits per pixel with an alpha channel).

    python3 ui/icons/draw_printer_icon.py ui/icons/printer.ico
"""
import struct
import sys

OUTLINE = (64, 64, 72, 255)
BODY_LIGHT = (214, 216, 222, 255)
BODY = (170, 174, 184, 255)
BODY_DARK = (120, 124, 136, 255)
PAPER = (255, 255, 255, 255)
PAPER_EDGE = (150, 150, 160, 255)
INK = (70, 110, 190, 255)
LIGHT = (40, 190, 70, 255)
SLOT = (40, 40, 48, 255)


class Canvas:
    def __init__(self, side):
        self.side = side
        self.pixels = [[(0, 0, 0, 0)] * side for _ in range(side)]

    def fill(self, left, top, right, bottom, colour):
        """Fills the rectangle with both corners included."""
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                self.pixels[y][x] = colour

    def box(self, left, top, right, bottom, edge, inside):
        self.fill(left, top, right, bottom, edge)
        self.fill(left + 1, top + 1, right - 1, bottom - 1, inside)

    def rounded_box(self, left, top, right, bottom, edge, inside):
        self.box(left, top, right, bottom, edge, inside)
        for x, y in ((left, top), (right, top), (left, bottom), (right, bottom)):
            self.pixels[y][x] = (0, 0, 0, 0)


def printer_16():
    c = Canvas(16)
    # The sheet waiting at the top.
    c.box(4, 0, 11, 6, PAPER_EDGE, PAPER)
    # The body, lighter along its top.
    c.rounded_box(0, 5, 15, 12, OUTLINE, BODY)
    c.fill(1, 6, 14, 7, BODY_LIGHT)
    c.fill(1, 11, 14, 11, BODY_DARK)
    c.fill(12, 8, 13, 8, LIGHT)
    # The slot and the printed sheet coming out at the front.
    c.fill(3, 10, 12, 10, SLOT)
    c.box(3, 10, 12, 15, PAPER_EDGE, PAPER)
    c.fill(5, 12, 10, 12, INK)
    c.fill(5, 14, 8, 14, INK)
    return c


def printer_32():
    c = Canvas(32)
    c.box(8, 1, 23, 12, PAPER_EDGE, PAPER)
    c.fill(11, 4, 20, 4, INK)
    c.fill(11, 7, 17, 7, INK)
    c.rounded_box(1, 11, 30, 25, OUTLINE, BODY)
    c.fill(2, 12, 29, 15, BODY_LIGHT)
    c.fill(2, 23, 29, 24, BODY_DARK)
    c.fill(24, 16, 26, 17, LIGHT)
    c.fill(5, 20, 26, 21, SLOT)
    c.box(6, 20, 25, 31, PAPER_EDGE, PAPER)
    c.fill(9, 23, 22, 23, INK)
    c.fill(9, 26, 20, 26, INK)
    c.fill(9, 29, 16, 29, INK)
    return c


def icon_image(canvas):
    """A device-independent bitmap as an icon holds it: the header, the
    bottom-up BGRA rows, then the 1-bit transparency mask."""
    side = canvas.side
    header = struct.pack("<IiiHHIIiiII", 40, side, side * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b""
    for y in reversed(range(side)):
        for red, green, blue, alpha in canvas.pixels[y]:
            rows += bytes((blue, green, red, alpha))
    mask_row_bytes = ((side + 31) // 32) * 4
    mask = b""
    for y in reversed(range(side)):
        bits = 0
        for x in range(side):
            if canvas.pixels[y][x][3] == 0:
                bits |= 1 << (mask_row_bytes * 8 - 1 - x)
        mask += bits.to_bytes(mask_row_bytes, "big")
    return header + rows + mask


def write_icon(path, canvases):
    images = [icon_image(canvas) for canvas in canvases]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for canvas, image in zip(canvases, images):
        directory += struct.pack("<BBBBHHII", canvas.side, canvas.side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as out:
        out.write(directory + b"".join(images))


if __name__ == "__main__":
    write_icon(sys.argv[1] if len(sys.argv) > 1 else "printer.ico", [printer_16(), printer_32()])
