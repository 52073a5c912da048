#!/usr/bin/python3
"""Draws every picture of the built-in skin into resources/skin/.

Run it again after changing the look: /usr/bin/python3 resources/make_artwork.py
Needs python3-pil and fonts-wqy-microhei. The output is deterministic and committed.

Every picture is drawn twice: "NAME.png" at one pixel per logical pixel, and "NAME@2x.png" at two,
drawn again at that resolution (finer curves, text and gradients, not an enlargement) for screens
that scale by more than one. All positions and sizes below are logical pixels; the helpers turn
them into the picture's own pixels.

The look: a dark walnut window with amber accents and beige text, and a hexagon tiling ("Tessali")
as the recurring motif. Button strips are composed over the crop of the background they sit on, so
every frame is opaque and redrawing a button over itself leaves no fringe. Positions below follow the
built-in skin document (skin/skin.xml) laid out in the 590 x 530 main window and the 520 x 260
version dialog.
"""

import math
import os

from PIL import Image, ImageDraw, ImageFilter, ImageFont

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "skin")
FONT_PATH = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

MAIN_W, MAIN_H = 590, 530
DIALOG_W, DIALOG_H = 520, 260

# Palette
AMBER = (255, 192, 0)
AMBER_DEEP = (216, 130, 0)
BEIGE = (239, 201, 160)
WALNUT_TOP = (44, 36, 31)
WALNUT_BOTTOM = (24, 20, 17)
TITLE_TOP = (82, 58, 40)
TITLE_BOTTOM = (40, 29, 21)
BAND = (33, 27, 23)
WELL = (19, 15, 12)
EDGE = (78, 61, 45)
FRAME_DARK = (12, 10, 8)
GREY_TEXT = (160, 146, 130)

SS = 4  # supersampling factor for smooth shapes
K = 1  # picture pixels per logical pixel: 1, or 2 while the "@2x" pictures are drawn


def new(size, colour=(0, 0, 0, 0)):
    """A picture of a logical size."""
    return Image.new("RGBA", (size[0] * K, size[1] * K), colour)


def crop(img, box):
    """The part of a picture under a logical box (x0, y0, x1, y1), x1/y1 exclusive."""
    return img.crop(tuple(v * K for v in box))


class Pen:
    """ImageDraw over logical coordinates for the hard-edged shapes: at 2x a one-pixel line is two
    pixels wide and a rectangle's outline two pixels thick, so the pictures line up with their 1x
    versions."""

    def __init__(self, img):
        self.d = ImageDraw.Draw(img)

    def line(self, pts, fill):
        """A horizontal or vertical line, both ends included."""
        if K == 1:
            self.d.line(pts, fill=fill)
            return
        (x0, y0), (x1, y1) = pts
        self.d.rectangle([min(x0, x1) * K, min(y0, y1) * K, max(x0, x1) * K + K - 1, max(y0, y1) * K + K - 1],
                         fill=fill)

    def rectangle(self, box, fill=None, outline=None):
        """A rectangle, both corners included."""
        if K == 1:
            self.d.rectangle(box, fill=fill, outline=outline)
            return
        x0, y0, x1, y1 = box
        self.d.rectangle([x0 * K, y0 * K, x1 * K + K - 1, y1 * K + K - 1], fill=fill, outline=outline, width=K)

    def polygon(self, pts, fill):
        self.d.polygon([(x * K, y * K) for x, y in pts], fill=fill)

    def point(self, xy, fill):
        self.rectangle([xy[0], xy[1], xy[0], xy[1]], fill=fill)


def font(size):
    return ImageFont.truetype(FONT_PATH, size, index=0)


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(len(a)))


def vgradient(img, box, top, bottom):
    """Fills box (x0, y0, x1, y1), x1/y1 exclusive, with a vertical gradient."""
    d = ImageDraw.Draw(img)
    x0, y0, x1, y1 = (v * K for v in box)
    h = max(1, y1 - y0 - 1)
    for y in range(y0, y1):
        c = lerp(top, bottom, (y - y0) / h)
        d.line([(x0, y), (x1 - 1, y)], fill=c + (255,) if len(c) == 3 else c)


def smooth(size, draw_fn):
    """Draws with draw_fn(draw, s) on a supersampled transparent layer and returns it at size; s is
    the supersampled pixels per logical pixel."""
    w, h = size
    big = Image.new("RGBA", (w * K * SS, h * K * SS), (0, 0, 0, 0))
    draw_fn(ImageDraw.Draw(big), SS * K)
    return big.resize((w * K, h * K), Image.LANCZOS)


def rounded_layer(size, box, radius, fill, outline=None, width=1, corners=None):
    def fn(d, s):
        x0, y0, x1, y1 = box
        kwargs = {}
        if corners is not None:
            kwargs["corners"] = corners
        d.rounded_rectangle([x0 * s, y0 * s, x1 * s - 1, y1 * s - 1], radius * s, fill=fill,
                            outline=outline, width=width * s if outline else 0, **kwargs)
    return smooth(size, fn)


def gradient_rounded(size, box, radius, top, bottom, outline=None):
    """A rounded rectangle filled with a vertical gradient, as a layer of the given size."""
    w, h = size
    grad = new(size)
    vgradient(grad, (box[0], box[1], box[2], box[3]), top, bottom)
    mask = rounded_layer(size, box, radius, (255, 255, 255, 255)).split()[3]
    layer = new(size)
    layer.paste(grad, (0, 0), mask)
    if outline:
        layer = Image.alpha_composite(layer, rounded_layer(size, box, radius, None, outline, 1))
    return layer


def hexagon(cx, cy, r, rotation=0.0):
    return [(cx + r * math.cos(math.radians(60 * k + 30 + rotation)),
             cy + r * math.sin(math.radians(60 * k + 30 + rotation))) for k in range(6)]


def hex_tiling(size, r, colour, width=1, offset=(0, 0)):
    """A transparent layer with a pointy-top hexagon tiling outlined in colour."""
    def fn(d, s):
        w, h = size
        dx = math.sqrt(3) * r
        dy = 1.5 * r
        row = 0
        y = offset[1] - r
        while y < h + r:
            x = offset[0] - dx + (dx / 2 if row % 2 else 0)
            while x < w + dx:
                pts = [(px * s, py * s) for px, py in hexagon(x, y, r)]
                d.polygon(pts, outline=colour, width=width * s)
                x += dx
            y += dy
            row += 1
    return smooth(size, fn)


def text(img, xy, s, size, colour, bold=False, anchor="la"):
    # Drawn on a layer and composited: ImageDraw would write a translucent colour's alpha straight
    # into the picture instead of blending it.
    layer = Image.new("RGBA", img.size, (0, 0, 0, 0))
    d = ImageDraw.Draw(layer)
    f = font(size * K)
    x, y = xy[0] * K, xy[1] * K
    d.text((x, y), s, font=f, fill=colour, anchor=anchor)
    if bold:
        d.text((x + K, y), s, font=f, fill=colour, anchor=anchor)
    img.alpha_composite(layer)


def centred_text(img, box, s, size, colour, bold=False, shadow=None):
    x0, y0, x1, y1 = box
    cx = (x0 + x1) / 2
    cy = (y0 + y1) / 2
    if shadow:
        text(img, (cx, cy + 1), s, size, shadow, bold, anchor="mm")
    text(img, (cx, cy), s, size, colour, bold, anchor="mm")


def save(img, name):
    img.save(os.path.join(OUT, name + ("@%dx" % K if K != 1 else "") + ".png"), optimize=True)


def strip(frames):
    w, h = frames[0].size
    out = Image.new("RGBA", (w * len(frames), h), (0, 0, 0, 0))
    for i, f in enumerate(frames):
        out.paste(f, (i * w, 0))
    return out


def logo(size, r_scale=1.0):
    """Three tiled hexagons, the amber one carrying a downward arrow: the program's mark."""
    w, h = size

    def fn(d, s):
        r = w * 0.23 * r_scale
        cx, cy = w / 2, h / 2
        dx = math.sqrt(3) * r
        cells = [((cx - dx / 2, cy + 0.75 * r), (124, 88, 52)), ((cx + dx / 2, cy + 0.75 * r), (176, 120, 60)),
                 ((cx, cy - 0.75 * r), AMBER)]
        for (x, y), c in cells:
            pts = [(px * s, py * s) for px, py in hexagon(x, y, r * 0.96)]
            d.polygon(pts, fill=c + (255,), outline=(20, 14, 10, 255), width=max(1, int(w / 32)) * s)
        x, y = cells[2][0]
        a = r * 0.5
        d.polygon([((x - a) * s, (y - a * 0.1) * s), ((x + a) * s, (y - a * 0.1) * s), (x * s, (y + a * 0.9) * s)],
                  fill=(40, 26, 8, 255))
        d.rectangle([(x - a * 0.35) * s, (y - a * 1.0) * s, (x + a * 0.35) * s, (y - a * 0.05) * s],
                    fill=(40, 26, 8, 255))
    return smooth(size, fn)


# ---------------------------------------------------------------- main window background

def make_bg():
    size = (MAIN_W, MAIN_H)
    body = new(size)
    vgradient(body, (0, 0, MAIN_W, MAIN_H), WALNUT_TOP, WALNUT_BOTTOM)
    # Title bar with the hexagon motif fading into it.
    vgradient(body, (0, 0, MAIN_W, 29), TITLE_TOP, TITLE_BOTTOM)
    body = Image.alpha_composite(body, crop_layer(hex_tiling(size, 9, (255, 200, 120, 28)), (0, 0, MAIN_W, 29)))
    d = Pen(body)
    d.line([(0, 28), (MAIN_W, 28)], fill=AMBER_DEEP + (255,))
    # Menu band.
    d.rectangle([4, 29, MAIN_W - 5, 51], fill=BAND + (255,))
    d.line([(4, 51), (MAIN_W - 5, 51)], fill=(70, 52, 36, 255))
    # Program mark in the title bar.
    body = Image.alpha_composite(body, place(logo((20, 20)), size, (6, 5)))
    # Slide-show frame around the picture area (18, 71, 553 x 305).
    d = Pen(body)
    d.rectangle([15, 68, 18 + 553 + 2, 71 + 305 + 2], fill=FRAME_DARK + (255,))
    d.rectangle([16, 69, 18 + 553 + 1, 71 + 305 + 1], outline=EDGE + (255,))
    d.rectangle([17, 70, 18 + 553, 71 + 305], outline=(48, 38, 29, 255))
    # Subtle tiling in the lower panel.
    body = Image.alpha_composite(body, crop_layer(hex_tiling(size, 16, (255, 190, 110, 10), offset=(8, 0)),
                                                  (4, 380, MAIN_W - 4, MAIN_H - 4)))
    d = Pen(body)
    # State line marker: a small amber hexagon left of the state text (65, 390).
    body = Image.alpha_composite(body, place(smooth((14, 14), lambda dd, s: dd.polygon(
        [(x * s, y * s) for x, y in hexagon(7, 7, 6.2)], fill=AMBER + (255,))), size, (44, 389)))
    d = Pen(body)
    d.line([(24, 414), (MAIN_W - 24, 414)], fill=(62, 48, 35, 255))
    text(body, (30, 424), "保存位置", 12, GREY_TEXT + (255,))
    # Folder field behind the route text (30, 447), next to the change-folder button (508, 441).
    body = Image.alpha_composite(body, rounded_layer(size, (24, 440, 500, 466), 4, WELL + (255,), EDGE + (255,)))
    # Progress trough around the bar (24, 486, 430 x 17).
    text(body, (24, 470), "下载进度", 12, GREY_TEXT + (255,))
    body = Image.alpha_composite(body, rounded_layer(size, (21, 483, 457, 506), 5, WELL + (255,), EDGE + (255,)))
    # Window frame: 4 pixels, dark outside, warm inside.
    d = Pen(body)
    for i, c in enumerate([FRAME_DARK, (58, 44, 33), (48, 37, 28), (36, 29, 23)]):
        d.rectangle([i, i, MAIN_W - 1 - i, MAIN_H - 1 - i], outline=c + (255,))
    # Repaint the title bar over the top frame rows so the bar reaches the edge.
    top = new(size)
    vgradient(top, (1, 1, MAIN_W - 1, 4), lerp(TITLE_TOP, (120, 86, 58), 0.5), TITLE_TOP)
    body = Image.alpha_composite(body, crop_layer(top, (1, 1, MAIN_W - 1, 4)))
    # Rounded top corners: outside them the window is fully transparent, which the main window
    # turns into its region.
    mask = rounded_layer(size, (0, 0, MAIN_W, MAIN_H + 20), 9, (255, 255, 255, 255)).split()[3]
    mask = mask.point(lambda a: 0 if a < 8 else (255 if a > 247 else a))
    out = new(size)
    out.paste(body, (0, 0), mask)
    return out


def crop_layer(layer, box):
    out = Image.new("RGBA", layer.size, (0, 0, 0, 0))
    out.paste(crop(layer, box), (box[0] * K, box[1] * K))
    return out


def place(layer, size, xy):
    out = new(size)
    out.paste(layer, (xy[0] * K, xy[1] * K))
    return out


# ---------------------------------------------------------------- default slide-show picture

def make_img01():
    w, h = 553, 305
    img = new((w, h), (0, 0, 0, 255))
    # Dusk sky.
    for y in range(h * K):
        t = min(1.0, y / (h * K - K))
        if t < 0.62:
            c = lerp((30, 26, 58), (214, 120, 52), (t / 0.62) ** 1.6)
        else:
            c = lerp((214, 120, 52), (70, 40, 28), (t - 0.62) / 0.38)
        ImageDraw.Draw(img).line([(0, y), (w * K, y)], fill=c + (255,))
    # Sun.
    img = Image.alpha_composite(img, smooth((w, h), lambda d, s: d.ellipse(
        [(w * 0.68 - 38) * s, (h * 0.62 - 38) * s, (w * 0.68 + 38) * s, (h * 0.62 + 38) * s],
        fill=(255, 214, 120, 235))).filter(ImageFilter.GaussianBlur(1 * K)))
    # Stars.
    stars = new((w, h))
    d = Pen(stars)
    seed = 7
    for _ in range(60):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        x = seed % w
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        y = seed % int(h * 0.35)
        d.point((x, y), fill=(255, 240, 220, 160 + (seed % 90)))
    img.alpha_composite(stars)
    # Tessellated hills: hexagon cells filled darker towards the front.
    def hills(dd, s):
        r = 17
        dx = math.sqrt(3) * r
        for row in range(12):
            y = h * 0.58 + row * 1.5 * r
            for col in range(-1, int(w / dx) + 2):
                x = col * dx + (dx / 2 if row % 2 else 0)
                ridge = h * 0.60 + 34 * math.sin(x / 70.0) + 20 * math.sin(x / 23.0 + 1.3)
                if y < ridge:
                    continue
                depth = min(1.0, (y - ridge) / 140.0 + row * 0.04)
                c = lerp((92, 58, 40), (22, 16, 14), depth)
                pts = [(px * s, py * s) for px, py in hexagon(x, y, r - 0.6)]
                dd.polygon(pts, fill=c + (255,), outline=(255, 176, 80, 60), width=s)
    img = Image.alpha_composite(img, smooth((w, h), hills))
    # Title.
    shadow = new((w, h))
    text(shadow, (38, 58), "Tessali", 54, (0, 0, 0, 170), bold=True)
    img = Image.alpha_composite(img, shadow.filter(ImageFilter.GaussianBlur(3 * K)))
    text(img, (36, 55), "Tessali", 54, (255, 236, 200, 255), bold=True)
    text(img, (40, 128), "游戏客户端下载器", 22, BEIGE + (255,))
    text(img, (41, 162), "多源加速  ·  断点续传  ·  校验可靠", 14, (255, 214, 150, 230))
    img = Image.alpha_composite(img, place(logo((84, 84)), (w, h), (w - 118, 34)))
    # Thin inner edge so the picture sits in its frame.
    edge = new((w, h))
    Pen(edge).rectangle([0, 0, w - 1, h - 1], outline=(0, 0, 0, 120))
    img.alpha_composite(edge)
    return img


# ---------------------------------------------------------------- buttons

def primary_frames(base, box, label, size=14):
    """Amber buttons: normal, hover, pressed, disabled, each over its crop of the background."""
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    looks = [
        ((255, 214, 92), (232, 150, 0), (122, 70, 0), (52, 30, 6), None),
        ((255, 230, 140), (250, 176, 20), (140, 84, 0), (52, 30, 6), None),
        ((214, 136, 0), (246, 178, 40), (110, 62, 0), (60, 34, 6), 1),
        ((104, 98, 92), (76, 72, 68), (52, 48, 44), (150, 144, 136), None),
    ]
    frames = []
    for top, bottom, edge, ink, shift in looks:
        f = under.copy()
        f = Image.alpha_composite(f, gradient_rounded((w, h), (0, 0, w, h), 6, top, bottom, edge + (255,)))
        # A soft highlight across the upper half.
        f = Image.alpha_composite(f, rounded_layer((w, h), (2, 2, w - 2, h // 2), 4, (255, 255, 255, 40)))
        dy = shift or 0
        centred_text(f, (0, dy, w, h + dy), label, size, ink + (255,), bold=True)
        frames.append(f)
    return frames


def secondary_frames(base, box, label, count, size=13):
    """Walnut buttons with beige labels: normal, hover, pressed, disabled (first count of them)."""
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    looks = [
        ((98, 74, 52), (62, 46, 33), (128, 98, 66), BEIGE, None),
        ((130, 98, 66), (82, 60, 42), AMBER_DEEP, (255, 226, 170), None),
        ((52, 38, 28), (86, 64, 45), AMBER_DEEP, (255, 214, 150), 1),
        ((70, 64, 58), (54, 50, 46), (84, 78, 72), (128, 120, 112), None),
    ]
    frames = []
    for top, bottom, edge, ink, shift in looks[:count]:
        f = under.copy()
        f = Image.alpha_composite(f, gradient_rounded((w, h), (0, 0, w, h), 5, top, bottom, edge + (255,)))
        dy = shift or 0
        centred_text(f, (0, dy, w, h + dy), label, size, ink + (255,), bold=False, shadow=(0, 0, 0, 140))
        frames.append(f)
    return frames


def menu_frames(base, box, label):
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    normal = under.copy()
    centred_text(normal, (0, 0, w, h - 1), label, 12, (217, 194, 165, 255))
    hover = under.copy()
    hover = Image.alpha_composite(hover, rounded_layer((w, h), (1, 0, w - 1, h), 3, (255, 192, 0, 36)))
    Pen(hover).line([(6, h - 1), (w - 7, h - 1)], fill=AMBER + (255,))
    centred_text(hover, (0, 0, w, h - 1), label, 12, AMBER + (255,))
    return [normal, hover]


def window_button(base, box, glyph, hover_fill):
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    frames = []
    for i in range(2):
        f = under.copy()
        if i:
            f = Image.alpha_composite(f, rounded_layer((w, h), (0, 0, w, h), 4, hover_fill + (255,)))
        ink = (255, 255, 255, 255) if i else BEIGE + (255,)

        def draw_glyph(d, s):
            if glyph == "min":
                d.rectangle([6 * s, 13 * s, (w - 6) * s, 15 * s], fill=ink)
            else:
                m = 6.5
                d.line([(m * s, m * s), ((w - m) * s, (h - m) * s)], fill=ink, width=2 * s)
                d.line([((w - m) * s, m * s), (m * s, (h - m) * s)], fill=ink, width=2 * s)
        f = Image.alpha_composite(f, smooth((w, h), draw_glyph))
        frames.append(f)
    return frames


def page_frames(base, box):
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    off = Image.alpha_composite(under.copy(), smooth((w, h), lambda d, s: d.polygon(
        [(x * s, y * s) for x, y in hexagon(6, 6, 5.4)], fill=(58, 46, 36, 255), outline=(150, 120, 88, 255),
        width=s)))
    on = Image.alpha_composite(under.copy(), smooth((w, h), lambda d, s: d.polygon(
        [(x * s, y * s) for x, y in hexagon(6, 6, 5.6)], fill=AMBER + (255,), outline=(255, 236, 180, 255),
        width=s)))
    return [off, on]


def make_bar():
    w, h = 430, 17
    under = new((w, h), WELL + (255,))
    bar = gradient_rounded((w, h), (0, 0, w, h), 4, (255, 210, 80), (214, 120, 0), (150, 84, 0, 255))
    stripes = new((w, h))
    d = Pen(stripes)
    for x in range(-h, w + h, 12):
        d.polygon([(x, h), (x + 6, h), (x + 6 + h, 0), (x + h, 0)], fill=(255, 255, 255, 34))
    mask = rounded_layer((w, h), (0, 0, w, h), 4, (255, 255, 255, 255)).split()[3]
    clipped = new((w, h))
    clipped.paste(stripes, (0, 0), mask)
    bar = Image.alpha_composite(bar, clipped)
    bar = Image.alpha_composite(bar, rounded_layer((w, h), (2, 1, w - 2, 7), 3, (255, 255, 255, 60)))
    return Image.alpha_composite(under, bar)


# ---------------------------------------------------------------- version dialog

ROW_TOP = [62, 95, 128, 161]


def make_dialog_bg():
    w, h = DIALOG_W, DIALOG_H
    img = new((w, h), (0, 0, 0, 255))
    vgradient(img, (0, 0, w, h), WALNUT_TOP, WALNUT_BOTTOM)
    vgradient(img, (0, 0, w, 34), TITLE_TOP, TITLE_BOTTOM)
    img = Image.alpha_composite(img, crop_layer(hex_tiling((w, h), 9, (255, 200, 120, 28)), (0, 0, w, 34)))
    d = Pen(img)
    d.line([(0, 33), (w, 33)], fill=AMBER_DEEP + (255,))
    img = Image.alpha_composite(img, place(logo((20, 20)), (w, h), (8, 7)))
    text(img, (34, 9), "选择下载内容", 14, (255, 255, 255, 255), bold=True)
    text(img, (40, 44), "名称", 12, GREY_TEXT + (255,))
    text(img, (286, 44), "大小", 12, GREY_TEXT + (255,))
    text(img, (429, 44), "已完成", 12, GREY_TEXT + (255,))
    d = Pen(img)
    d.line([(14, 59), (w - 15, 59)], fill=(70, 54, 39, 255))
    for top in ROW_TOP:
        img = Image.alpha_composite(img, rounded_layer((w, h), (12, top, w - 12, top + 28), 4, (255, 220, 170, 12),
                                                       (72, 56, 41, 255)))
    d = Pen(img)
    d.line([(14, 200), (w - 15, 200)], fill=(62, 48, 35, 255))
    for i, c in enumerate([FRAME_DARK, (96, 72, 48), (40, 31, 24)]):
        d.rectangle([i, i, w - 1 - i, h - 1 - i], outline=c + (255,))
    return img


def check_frames(base, box):
    w, h = box[2] - box[0], box[3] - box[1]
    under = crop(base, box)
    frames = []
    for ticked in (False, True):
        for state in range(3):
            f = under.copy()
            edge = [(150, 122, 92), AMBER, AMBER_DEEP][state]
            fill = [WELL, (34, 27, 21), (58, 44, 32)][state]
            f = Image.alpha_composite(f, rounded_layer((w, h), (0, 0, w, h), 2, fill + (255,), edge + (255,)))
            if ticked:
                def tick(d, s):
                    d.line([(3 * s, 6.5 * s), (5.5 * s, 9.5 * s), (10.5 * s, 3.5 * s)], fill=AMBER + (255,),
                           width=2 * s, joint="curve")
                f = Image.alpha_composite(f, smooth((w, h), tick))
            frames.append(f)
    return frames


def make_menu_selected():
    img = new((8, 24), (0, 0, 0, 255))
    vgradient(img, (0, 0, 8, 24), (120, 84, 50), (78, 54, 32))
    d = Pen(img)
    d.line([(0, 0), (7, 0)], fill=(170, 120, 60, 255))
    d.line([(0, 23), (7, 23)], fill=(50, 34, 20, 255))
    return img


def make_menu_exit():
    def fn(d, s):
        d.arc([2 * s, 2.5 * s, 14 * s, 14.5 * s], 300, 240, fill=(200, 70, 40, 255), width=2 * s)
        d.line([(8 * s, 1 * s), (8 * s, 8 * s)], fill=(200, 70, 40, 255), width=2 * s)
    return smooth((16, 16), fn)


def main():
    global K
    os.makedirs(OUT, exist_ok=True)
    for K in (1, 2):
        draw_all()


def draw_all():
    bg = make_bg()
    save(bg, "BG")
    save(make_img01(), "IMG01")
    menus = [("MENU01", 14, "选择版本"), ("MENU03", 71, "官方网站"), ("MENU04", 128, "游戏资料"),
             ("MENU05", 185, "账号充值"), ("MENU06", 242, "新手指南")]
    for name, x, label in menus:
        save(strip(menu_frames(bg, (x, 30, x + 57, 48), label)), name)
    save(strip(secondary_frames(bg, (508, 441, 575, 465), "更改目录", 4, 12)), "MODIFYBTN")
    save(strip(secondary_frames(bg, (471, 478, 577, 507), "打开目录", 2)), "OPENBTN")
    save(strip(secondary_frames(bg, (471, 478, 577, 507), "暂停下载", 2)), "STOPBTN")
    save(strip(primary_frames(bg, (471, 478, 577, 507), "开始下载")), "GOBTN")
    save(strip(window_button(bg, (540, 4, 561, 25), "min", (110, 82, 56))), "MIN")
    save(strip(window_button(bg, (563, 4, 584, 25), "close", (196, 64, 44))), "CLOSE")
    save(strip(page_frames(bg, (548, 390, 560, 402))), "PAGE")
    save(make_bar(), "BAR")
    dialog = make_dialog_bg()
    save(dialog, "LIST_BOX_BG")
    save(strip(window_button(dialog, (DIALOG_W - 28, 0, DIALOG_W, 28), "close", (196, 64, 44))), "LIST_BOX_CLOSE")
    save(strip(check_frames(dialog, (21, 69, 34, 82))), "CHECK")
    ok_x, ok_y = DIALOG_W - 106 - 26, DIALOG_H - 29 - 14
    save(strip(primary_frames(dialog, (ok_x, ok_y, ok_x + 106, ok_y + 29), "确定")), "LIST_BOX_OK")
    save(make_menu_selected(), "menuselected")
    save(make_menu_exit(), "menuexit")
    icon = new((64, 64))
    icon = Image.alpha_composite(icon, rounded_layer((64, 64), (2, 2, 62, 62), 12, (44, 34, 27, 255),
                                                     (120, 86, 52, 255)))
    icon = Image.alpha_composite(icon, logo((64, 64), 1.05))
    save(icon, "icon")


if __name__ == "__main__":
    main()
