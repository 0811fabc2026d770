#!/usr/bin/env python3
"""Draws the application icon (app.ico: 16 to 48 pixels, 32-bit, with the
sizes 120 and 144 DPI screens ask for) and the footer logo (logo.bmp:
86 x 27, 24-bit, magenta where transparent).
Run once; the outputs are committed beside this script."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def icon_pixels(size):
    """A blue shield-like disc with a white check mark, anti-aliased by 4x4 sampling."""
    px = []
    c = (size - 1) / 2.0
    r = size * 0.46
    for y in range(size):
        row = []
        for x in range(size):
            cover = 0
            white = 0
            for sy in range(4):
                for sx in range(4):
                    fx = x + (sx + 0.5) / 4 - 0.5
                    fy = y + (sy + 0.5) / 4 - 0.5
                    if math.hypot(fx - c, fy - c) <= r:
                        cover += 1
                        # check mark: two thick strokes
                        u, v = (fx - c) / r, (fy - c) / r
                        d1 = abs((v - 0.15) - (u + 0.35)) / math.sqrt(2) if -0.55 <= u <= -0.1 else 9
                        d2 = abs((v - 0.35) + (u + 0.1) * 1.4) / math.sqrt(1 + 1.96) if -0.1 <= u <= 0.55 else 9
                        if min(d1, d2) < 0.13:
                            white += 1
            a = cover * 255 // 16
            t = y / max(size - 1, 1)
            blue = (int(40 + 60 * t), int(120 - 50 * t), int(230 - 60 * t))  # r, g, b
            if cover:
                w = white / cover
                rgb = tuple(int(b * (1 - w) + 255 * w) for b in blue)
            else:
                rgb = (0, 0, 0)
            row.append((rgb, a))
        px.append(row)
    return px


def icon_image(size):
    px = icon_pixels(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for y in reversed(range(size)):
        for (r, g, b), a in px[y]:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(stride)
        for x in range(size):
            if px[y][x][1] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, 'wb') as f:
        f.write(out)


FONT = {  # 5 x 7
    'T': ['11111', '00100', '00100', '00100', '00100', '00100', '00100'],
    'A': ['01110', '10001', '10001', '11111', '10001', '10001', '10001'],
    'V': ['10001', '10001', '10001', '10001', '01010', '01010', '00100'],
    'E': ['11111', '10000', '10000', '11110', '10000', '10000', '11111'],
    'L': ['10000', '10000', '10000', '10000', '10000', '10000', '11111'],
    'O': ['01110', '10001', '10001', '10001', '10001', '10001', '01110'],
}


def write_logo(path):
    w, h = 86, 27
    magenta = (255, 0, 255)
    img = [[magenta] * w for _ in range(h)]
    x0, y0, scale = 5, 3, 2
    for i, ch in enumerate('TAVELO'):
        for gy, line in enumerate(FONT[ch]):
            for gx, bit in enumerate(line):
                if bit == '1':
                    for dy in range(scale):
                        for dx in range(scale):
                            img[y0 + gy * scale + dy][x0 + i * 13 + gx * scale + dx] = (20, 70, 160)
    for x in range(6, 80):  # a red swoosh under the name
        y = 21 + int(round(2 * math.sin((x - 6) / 74 * math.pi)))
        img[y][x] = (220, 30, 30)
        img[y + 1][x] = (220, 30, 30)
    stride = (w * 3 + 3) & ~3
    bits = bytearray()
    for y in reversed(range(h)):
        row = bytearray()
        for r, g, b in img[y]:
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        bits += row
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(bits), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    with open(path, 'wb') as f:
        f.write(head + info + bytes(bits))


if __name__ == '__main__':
    write_ico(os.path.join(HERE, 'app.ico'), [16, 20, 24, 32, 40, 48])
    write_logo(os.path.join(HERE, 'logo.bmp'))
