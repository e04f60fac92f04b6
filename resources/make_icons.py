#!/usr/bin/env python3
"""Draws Drovetail's own icons and banner as PNG files (standard library only).

Run from anywhere: python3 resources/make_icons.py. The shapes are simple geometry rendered with
4x4 supersampling; the PNGs it writes are committed beside it.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 4  # subsamples per axis


def png(path, w, h, px):
    raw = b"".join(b"\0" + bytes(px[y * w * 4:(y + 1) * w * 4]) for y in range(h))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


class Canvas:
    def __init__(self, w, h, bg=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.px = [c for _ in range(w * h) for c in bg]

    def fill(self, inside, color, box=None):
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0) - 1), max(0, int(y0) - 1)
        x1, y1 = min(self.w, int(math.ceil(x1)) + 1), min(self.h, int(math.ceil(y1)) + 1)
        r, g, b = color[:3]
        a0 = color[3] if len(color) > 3 else 255
        for y in range(y0, y1):
            for x in range(x0, x1):
                n = 0
                for sy in range(SS):
                    for sx in range(SS):
                        if inside(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS):
                            n += 1
                if not n:
                    continue
                a = a0 * n / (SS * SS) / 255.0
                i = (y * self.w + x) * 4
                da = self.px[i + 3] / 255.0
                oa = a + da * (1 - a)
                for k, c in enumerate((r, g, b)):
                    self.px[i + k] = int(round((c * a + self.px[i + k] * da * (1 - a)) / oa)) if oa else 0
                self.px[i + 3] = int(round(oa * 255))

    def circle(self, cx, cy, rad, color):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= rad * rad, color,
                  (cx - rad, cy - rad, cx + rad, cy + rad))

    def ring(self, cx, cy, rad, width, color, start=0, end=360):
        def inside(x, y):
            d = math.hypot(x - cx, y - cy)
            if not (rad - width / 2 <= d <= rad + width / 2):
                return False
            ang = math.degrees(math.atan2(y - cy, x - cx)) % 360
            return start <= ang <= end if start <= end else (ang >= start or ang <= end)
        self.fill(inside, color, (cx - rad - width, cy - rad - width, cx + rad + width, cy + rad + width))

    def rect(self, x0, y0, x1, y1, color, radius=0):
        def inside(x, y):
            if not (x0 <= x <= x1 and y0 <= y <= y1):
                return False
            if radius <= 0:
                return True
            qx = max(x0 + radius - x, 0, x - (x1 - radius))
            qy = max(y0 + radius - y, 0, y - (y1 - radius))
            return qx * qx + qy * qy <= radius * radius
        self.fill(inside, color, (x0, y0, x1, y1))

    def poly(self, pts, color):
        def inside(x, y):
            c = False
            j = len(pts) - 1
            for i in range(len(pts)):
                xi, yi = pts[i]
                xj, yj = pts[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    c = not c
                j = i
            return c
        xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        self.fill(inside, color, (min(xs), min(ys), max(xs), max(ys)))

    def line(self, x0, y0, x1, y1, width, color):
        dx, dy = x1 - x0, y1 - y0
        n = math.hypot(dx, dy) or 1
        ox, oy = -dy / n * width / 2, dx / n * width / 2
        self.poly([(x0 + ox, y0 + oy), (x1 + ox, y1 + oy), (x1 - ox, y1 - oy), (x0 - ox, y0 - oy)], color)
        self.circle(x0, y0, width / 2, color)
        self.circle(x1, y1, width / 2, color)

    def save(self, name):
        png(os.path.join(HERE, name), self.w, self.h, self.px)


BLUE, DARK, GREEN, RED, AMBER, WHITE, GREY = ((47, 111, 168), (31, 59, 87), (76, 160, 90), (200, 70, 60),
                                              (232, 178, 58), (255, 255, 255), (120, 130, 140))


def segments(c, x, y, s, colors=(BLUE, GREEN, AMBER)):
    """The product mark: three linked segments, the first one dovetailed."""
    w = s / 3.4
    for i, col in enumerate(colors):
        c.rect(x + i * (w + s * 0.05), y + s * 0.2, x + i * (w + s * 0.05) + w, y + s * 0.8, col, s * 0.06)
    c.poly([(x + w, y + s * 0.35), (x + w + s * 0.12, y + s * 0.3), (x + w + s * 0.12, y + s * 0.7),
            (x + w, y + s * 0.65)], colors[0])


def icon(name, draw, size=24):
    c = Canvas(size, size)
    draw(c, size)
    c.save(os.path.join("icons", name + ".png"))


def arrow(c, s, direction, color):
    m = s / 2
    if direction == "left":
        c.poly([(3, m), (11, 4), (11, 9), (20, 9), (20, 15), (11, 15), (11, 20)], color)
    else:
        c.poly([(21, m), (13, 4), (13, 9), (4, 9), (4, 15), (13, 15), (13, 20)], color)


def main():
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    icon("drovetail", lambda c, s: (c.rect(1, 1, s - 1, s - 1, DARK, s * 0.18), segments(c, s * 0.12, s * 0.1, s * 0.8)), 64)
    icon("tray", lambda c, s: (c.rect(0, 0, s, s, DARK, 4), segments(c, 2, 1, s - 4)), 22)
    icon("choose", lambda c, s: (c.rect(4, 2, 17, 22, WHITE + (255,), 2), c.rect(4, 2, 17, 22, GREY + (90,), 2),
                                 c.rect(7, 7, 14, 8.5, GREY), c.rect(7, 11, 14, 12.5, GREY), c.circle(17, 17, 5.5, BLUE),
                                 c.rect(16, 14, 18, 20, WHITE), c.rect(14, 16, 20, 18, WHITE)))
    icon("send", lambda c, s: c.poly([(2, 11), (22, 3), (15, 21), (11, 14)], BLUE))
    icon("stop", lambda c, s: (c.circle(12, 12, 10, RED), c.rect(7.5, 7.5, 16.5, 16.5, WHITE, 1.5)))
    icon("toggle", lambda c, s: (c.rect(3, 3, 21, 21, GREY, 3), c.rect(5, 5, 19, 19, WHITE, 2),
                                 c.line(7.5, 12.5, 10.5, 16, 2.4, GREEN), c.line(10.5, 16, 17, 8, 2.4, GREEN)))
    icon("merge", lambda c, s: (c.line(5, 5, 12, 12, 3, BLUE), c.line(5, 19, 12, 12, 3, BLUE),
                                c.line(12, 12, 18, 12, 3, BLUE), c.poly([(17, 7), (23, 12), (17, 17)], BLUE)))
    icon("help", lambda c, s: (c.circle(12, 12, 10, BLUE), c.ring(12, 9.5, 3.5, 2.4, WHITE, 180, 90),
                               c.rect(10.8, 12, 13.2, 15, WHITE), c.circle(12, 18, 1.5, WHITE)))
    icon("back", lambda c, s: arrow(c, s, "left", GREEN))
    icon("forward", lambda c, s: arrow(c, s, "right", GREEN))
    icon("halt", lambda c, s: (c.poly([(8, 2), (16, 2), (22, 8), (22, 16), (16, 22), (8, 22), (2, 16), (2, 8)], RED),
                               c.rect(6, 10.5, 18, 13.5, WHITE)))
    icon("refresh", lambda c, s: (c.ring(12, 12, 8, 3, GREEN, 30, 330), c.poly([(17, 1), (22, 8), (14, 8)], GREEN)))
    icon("home", lambda c, s: (c.poly([(12, 2), (23, 12), (1, 12)], AMBER), c.rect(4, 11, 20, 22, AMBER),
                               c.rect(10, 15, 14, 22, DARK)))
    icon("key", lambda c, s: (c.ring(7, 12, 4, 3, AMBER), c.line(11, 12, 22, 12, 3, AMBER),
                              c.rect(17, 12, 19, 17, AMBER), c.rect(20, 12, 22, 16, AMBER)))
    icon("download", lambda c, s: (c.rect(10, 2, 14, 12, BLUE), c.poly([(5, 11), (19, 11), (12, 18)], BLUE),
                                   c.rect(3, 19, 21, 22, GREY, 1)))
    icon("go", lambda c, s: (c.circle(10, 10, 9, GREEN), c.poly([(7, 5), (15, 10), (7, 15)], WHITE)), 20)
    icon("contact", lambda c, s: (c.circle(8, 5, 3.5, BLUE), c.rect(2, 9.5, 14, 15, BLUE, 4)), 16)
    icon("tab-send", lambda c, s: c.poly([(1, 7), (15, 2), (10, 14), (7, 9)], BLUE), 16)
    icon("tab-browse", lambda c, s: (c.circle(8, 8, 7, BLUE), c.ring(8, 8, 3, 1.3, WHITE), c.rect(1, 7.4, 15, 8.6, WHITE)), 16)
    icon("tab-support", lambda c, s: (c.rect(1, 2, 12, 10, GREEN, 3), c.poly([(3, 9), (3, 13), (7, 9)], GREEN),
                                      c.rect(6, 6, 15, 13, AMBER, 3)), 16)
    icon("tab-sibling", lambda c, s: (c.circle(5, 8, 4, AMBER), c.circle(11, 8, 4, BLUE)), 16)

    banner = Canvas(960, 60)
    for y in range(60):
        for x in range(960):
            t = x / 959
            i = (y * 960 + x) * 4
            banner.px[i:i + 4] = [int(31 + 16 * t), int(59 + 40 * t), int(87 + 60 * t), 255]
    segments(banner, 14, 6, 48)
    for k in range(8):
        banner.rect(520 + k * 52, 22, 560 + k * 52, 38, (255, 255, 255, 28 + 6 * k), 5)
    banner.save("banner.png")


if __name__ == "__main__":
    main()
