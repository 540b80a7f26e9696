#!/usr/bin/env python3
"""Writes setup.ico: the program's 32x32, 16-colour icon, a ticked box on a blue tile.

The icon is drawn from the shapes below, so the same script always writes the same
bytes. Run it from anywhere: python3 resources/make_icon.py
"""
import pathlib
import struct

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, GREY, LIGHT_GREY, GREEN, BLUE, WHITE = 0, 2, 4, 8, 7, 10, 12, 15


def inside_tile(x, y):
    """A square tile with rounded corners, one pixel in from the edge."""
    radius = 5
    cx = min(max(x, 1 + radius), SIZE - 2 - radius)
    cy = min(max(y, 1 + radius), SIZE - 2 - radius)
    return 1 <= x <= SIZE - 2 and 1 <= y <= SIZE - 2 and (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def near_tick(x, y):
    """The tick: two thick strokes meeting at (13, 22)."""
    def near_segment(ax, ay, bx, by, width):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= width ** 2
    return near_segment(7, 15, 13, 22, 2.2) or near_segment(13, 22, 26, 6, 2.2)


def colour_at(x, y):
    """Palette index of the pixel at (x, y), y counted from the top."""
    if not inside_tile(x, y):
        return BLACK
    if near_tick(x, y):
        return GREEN if near_tick(x - 1, y - 1) else DARK_GREEN
    if 6 <= x <= 23 and 9 <= y <= 26:
        if x in (6, 23) or y in (9, 26):
            return NAVY
        return WHITE if x < 22 and y < 25 else LIGHT_GREY
    edge = not (inside_tile(x - 1, y) and inside_tile(x + 1, y) and inside_tile(x, y - 1) and inside_tile(x, y + 1))
    return NAVY if edge else BLUE


def icon_image():
    """The RT_ICON data: header, palette, 4-bit colour rows and 1-bit mask rows, bottom row first."""
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colours = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):
        row = [colour_at(x, y) for x in range(SIZE)]
        colours += bytes((row[x] << 4) | row[x + 1] for x in range(0, SIZE, 2))
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (0 if inside_tile(x, y) else 1)
        mask += struct.pack(">I", bits)
    return header + palette + bytes(colours) + bytes(mask)


def main():
    image = icon_image()
    assert len(image) == 744, len(image)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    out = pathlib.Path(__file__).with_name("setup.ico")
    out.write_bytes(directory + entry + image)
    print(f"wrote {out} ({6 + 16 + len(image)} bytes)")


if __name__ == "__main__":
    main()
