"""What a submitted document is, told by its first bytes, and the PostScript
that puts a PNG or JPEG image on a page so that Ghostscript can read it.

The image programs read the pixels from a file beside them through
PostScript's own decoders (FlateDecode with the PNG predictors, DCTDecode),
so no pixel passes through Python."""

import struct
import zlib

PDF, POSTSCRIPT, PNG, JPEG = "pdf", "postscript", "png", "jpeg"
# Anything else is printer-ready: it goes out as submitted.
SIGNATURES = ((b"%PDF-", PDF), (b"%!", POSTSCRIPT), (b"\x89PNG\r\n\x1a\n", PNG), (b"\xff\xd8\xff", JPEG))
# What may stand before a PDF's or a PostScript program's signature.
LEADING = b"\xef\xbb\xbf\x04 \t\r\n"


class Unreadable(Exception):
    """A document that its signature names but that cannot be read as one."""


def document_type(data):
    """PDF, POSTSCRIPT, PNG, JPEG or None (printer-ready)."""
    for signature, kind in SIGNATURES:
        if data.startswith(signature) or kind in (PDF, POSTSCRIPT) and data[:64].lstrip(LEADING).startswith(signature):
            return kind
    # A DOS EPS binary header holds the PostScript after it.
    return POSTSCRIPT if data.startswith(b"\xc5\xd0\xd3\xc6") else None


def image_program(data, kind, pixels_path):
    """(PostScript text, bytes to write at pixels_path). The page is the image's
    size in pixels taken as points; the caller fits it onto the paper or label."""
    header = png_header(data) if kind == PNG else jpeg_header(data)
    width, height = header["width"], header["height"]
    lines = ["%!PS", f"<< /PageSize [{width} {height}] >> setpagedevice", f"{width} {height} scale",
             f"/pixels ({ps_escape(pixels_path)}) (r) file def"]
    if kind == JPEG:
        lines += jpeg_drawing(header)
        pixels = data
    else:
        lines += png_drawing(header)
        pixels = header["compressed"]
    lines += ["showpage", ""]
    return "\n".join(lines), pixels


def ps_escape(text):
    return text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")


def image_dictionary(width, height, bits, decode, source):
    return (f"<< /ImageType 1 /Width {width} /Height {height} /BitsPerComponent {bits} /Decode [{decode}] "
            f"/ImageMatrix [{width} 0 0 -{height} 0 {height}] /DataSource {source} >> image")


# JPEG: the frame header gives the size and the components.
START_OF_FRAME = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def jpeg_header(data):
    position, adobe = 2, False
    while position + 4 <= len(data):
        if data[position] != 0xFF:
            raise Unreadable("the JPEG image is damaged: no marker where one belongs")
        marker = data[position + 1]
        if marker == 0xFF:
            position += 1
            continue
        (length,) = struct.unpack_from(">H", data, position + 2)
        if marker == 0xEE and data[position + 4:position + 9] == b"Adobe":
            adobe = True
        if marker in START_OF_FRAME and position + 10 <= len(data):
            bits, height, width, components = struct.unpack_from(">BHHB", data, position + 4)
            if not width or not height or components not in (1, 3, 4):
                raise Unreadable(f"the JPEG image has a size of {width}x{height} with {components} components")
            return {"width": width, "height": height, "components": components, "adobe": adobe}
        position += 2 + length
    raise Unreadable("the JPEG image is damaged: it has no frame header")


def jpeg_drawing(header):
    space, decode = {1: ("/DeviceGray", "0 1"), 3: ("/DeviceRGB", "0 1 0 1 0 1"),
                     4: ("/DeviceCMYK", "0 1 0 1 0 1 0 1")}[header["components"]]
    # Adobe's CMYK JPEGs store their inks inverted.
    if header["components"] == 4 and header["adobe"]:
        decode = "1 0 1 0 1 0 1 0"
    return [f"{space} setcolorspace",
            image_dictionary(header["width"], header["height"], 8, decode, "pixels /DCTDecode filter")]


# PNG: colour types 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha.
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def png_header(data):
    position, header, compressed, palette = 8, None, [], b""
    while position + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        body = data[position + 8:position + 8 + length]
        if len(body) < length:
            break
        if kind == b"IHDR" and length == 13:
            width, height, bits, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            header = {"width": width, "height": height, "bits": bits, "colour": colour, "interlace": interlace}
        elif kind == b"PLTE":
            palette = body
        elif kind == b"IDAT":
            compressed.append(body)
        elif kind == b"IEND":
            break
        position += 12 + length
    if header is None or not compressed:
        raise Unreadable("the PNG image is damaged: it lacks its header or its pixels")
    if header["colour"] not in CHANNELS or not header["width"] or not header["height"]:
        raise Unreadable("the PNG image has an unknown colour type or no pixels")
    if header["interlace"]:
        raise Unreadable("interlaced PNG images are not supported: save the image without interlacing")
    if header["colour"] == 3 and not palette:
        raise Unreadable("the PNG image has no palette for its colours")
    header["compressed"] = b"".join(compressed)
    header["palette"] = palette
    # A stream cut short shows here rather than as a half-drawn page.
    try:
        zlib.decompressobj().decompress(header["compressed"][:65536])
    except zlib.error as error:
        raise Unreadable(f"the PNG image's pixels cannot be read: {error}") from None
    return header


def png_drawing(header):
    width, height, bits, colour = header["width"], header["height"], header["bits"], header["colour"]
    channels = CHANNELS[colour]
    predictor = (f"<< /Predictor 15 /Colors {channels} /BitsPerComponent {bits} /Columns {width} >>")
    lines = [f"/rows pixels {predictor} /FlateDecode filter def"]
    if colour == 3:
        entries = len(header["palette"]) // 3
        lines.append(f"[/Indexed /DeviceRGB {entries - 1} <{header['palette'][:entries * 3].hex()}>] setcolorspace")
        return lines + [image_dictionary(width, height, bits, f"0 {(1 << bits) - 1}", "rows")]
    colours = 1 if colour in (0, 4) else 3
    lines.append("/DeviceGray setcolorspace" if colours == 1 else "/DeviceRGB setcolorspace")
    if colour in (0, 2):
        return lines + [image_dictionary(width, height, bits, " ".join(["0 1"] * colours), "rows")]
    # With alpha: each row read whole, its pixels laid over white, the alpha
    # dropped; of 16-bit samples the high byte is kept.
    step = bits // 8
    stride = channels * step
    lines += [f"/row {width * stride} string def", f"/out {width * colours} string def",
              "/over { % colour alpha -> colour over white",
              "  dup 255 exch sub 255 mul 3 1 roll mul add 255 idiv } bind def",
              "/nextrow { rows row readstring pop pop",
              f"  0 1 {width - 1} {{ /x exch def /a row x {stride} mul {(channels - 1) * step} add get def",
              f"    0 1 {colours - 1} {{ /c exch def out x {colours} mul c add",
              f"      row x {stride} mul c {step} mul add get a over put }} for",
              "  } for out } bind def"]
    return lines + [image_dictionary(width, height, 8, " ".join(["0 1"] * colours), "{ nextrow }")]
