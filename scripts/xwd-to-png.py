#!/usr/bin/env python3
"""xwd-to-png.py IN.xwd OUT.png: converts a screen dump written by xwd (a true-colour
Z pixmap, as an X server of 24 or 32 bits per pixel writes) to an 8-bit RGB PNG.
Standard library only. Exit status 0 on success, 1 for a dump it cannot read, 2 on a
usage error."""
import struct
import sys
import zlib

HEADER_FIELDS = 25  # CARD32 fields of the dump's header, big-endian
Z_PIXMAP = 2


def mask_shift(mask):
    """The shift and width of a contiguous colour mask."""
    if mask == 0:
        raise ValueError("a colour mask is empty")
    shift = 0
    while not (mask >> shift) & 1:
        shift += 1
    width = 0
    while (mask >> (shift + width)) & 1:
        width += 1
    return shift, width


def read_xwd(data):
    """(width, height, rows of RGB bytes) of a dump."""
    if len(data) < HEADER_FIELDS * 4:
        raise ValueError("shorter than an xwd header")
    f = struct.unpack(">%dI" % HEADER_FIELDS, data[:HEADER_FIELDS * 4])
    (header_size, version, pixmap_format, _depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual, red_mask,
     green_mask, blue_mask, _bits_per_rgb, _map_entries, ncolors) = f[:20]
    if version != 7:
        raise ValueError("not an xwd dump of version 7")
    if pixmap_format != Z_PIXMAP or bits_per_pixel not in (24, 32):
        raise ValueError("only true-colour Z pixmaps of 24 or 32 bits per pixel are read")
    start = header_size + 12 * ncolors
    if width == 0 or height == 0 or bytes_per_line * (height - 1) + width * bits_per_pixel // 8 > len(data) - start:
        raise ValueError("the pixels are cut short")
    step = bits_per_pixel // 8
    endian = "little" if byte_order == 0 else "big"
    channels = [mask_shift(m) for m in (red_mask, green_mask, blue_mask)]
    # Bytes of whole 8-bit channels are copied by slices; other layouts pixel by pixel.
    byte_of = None
    if all(bits == 8 and shift % 8 == 0 for shift, bits in channels):
        byte_of = [shift // 8 if endian == "little" else step - 1 - shift // 8 for shift, _ in channels]
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        out = bytearray(3 * width)
        if byte_of is not None:
            for c in range(3):
                out[c::3] = line[byte_of[c]::step]
            rows.append(bytes(out))
            continue
        for x in range(width):
            v = int.from_bytes(line[x * step:(x + 1) * step], endian)
            for c, (shift, bits) in enumerate(channels):
                value = (v >> shift) & ((1 << bits) - 1)
                out[3 * x + c] = value << (8 - bits) if bits < 8 else value >> (bits - 8)
        rows.append(bytes(out))
    return width, height, rows


def png_bytes(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 6)) +
            chunk(b"IEND", b""))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("Usage: xwd-to-png.py IN.xwd OUT.png\n")
        return 2
    try:
        with open(argv[1], "rb") as f:
            width, height, rows = read_xwd(f.read())
        with open(argv[2], "wb") as f:
            f.write(png_bytes(width, height, rows))
    except (OSError, ValueError) as e:
        sys.stderr.write("xwd-to-png: %s: %s\n" % (argv[1], e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
