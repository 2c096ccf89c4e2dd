#!/usr/bin/env python3
"""Checks the demo host's HTML report the way a reader sees it.

    check_report.py REPORT.html [--charts N] [--events M] [--png OUT.png]

Renders the page with the headless browser of the machine (Debian's
`chromium`, at a 1280x2000 window, with a profile of its own that is removed
afterwards) and reads the screenshot:

  - the plot areas of the per-server charts are the rectangles of exactly
    #f4f7fb (the report keeps a frame of that colour around each, so each
    is one connected region) at least 200x60 pixels: there must be N of them
    (N defaults to the number of <svg class="chart"> in the page). The
    resources chart has a background of its own, #f7f4ec, and must be there
    once; it is not one of the N;
  - each plot area holds a fair number of pixels of its series' colours (the
    stroke colours of the page's series): none is blank;
  - event lines are columns of #d1495b (or #ff00ff for a damaged frame) over
    at least half a plot area's height; with --events, at least M distinct x
    positions of them over all charts (a line at the same time on several
    charts counts once).

--png keeps the screenshot, cut below the page's content. Exit status 0 when
every check holds, 1 with the reasons otherwise (also when the browser or the
report is missing or the screenshot cannot be read). Standard library only:
the PNG (8-bit RGB or RGBA, not interlaced) is decoded here.
"""
import argparse
import html.parser
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import zlib

PLOT_BACKGROUND = (0xF4, 0xF7, 0xFB)
RESOURCES_BACKGROUND = (0xF7, 0xF4, 0xEC)
EVENT_COLOURS = ((0xD1, 0x49, 0x5B), (0xFF, 0x00, 0xFF))
WINDOW = (1280, 2000)
MIN_AREA = (200, 60)      # a plot area is at least this wide and high
SERIES_TOLERANCE = 12     # per colour component, for anti-aliased lines
BROWSER_LIMIT = 90        # seconds the browser may take


class CheckFailed(Exception):
    pass


# --- the page -------------------------------------------------------------

class _Series(html.parser.HTMLParser):
    """The stroke colours of the page's series, per kind of chart."""

    def __init__(self):
        super().__init__()
        self.svg = None
        self.charts = 0
        self.colours = {"chart": set(), "resources": set()}

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg":
            classes = (a.get("class") or "").split()
            self.svg = "chart" if "chart" in classes else "resources" if "resources" in classes else None
            self.charts += self.svg == "chart"
        elif self.svg and a.get("data-series") and a.get("stroke", "").startswith("#"):
            self.colours[self.svg].add(_rgb(a["stroke"]))

    def handle_endtag(self, tag):
        if tag == "svg":
            self.svg = None


def _rgb(text):
    text = text.lstrip("#")
    if len(text) == 3:
        text = "".join(c * 2 for c in text)
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


# --- the screenshot -------------------------------------------------------

class Image:
    def __init__(self, width, height, channels, rows):
        self.width, self.height, self.channels, self.rows = width, height, channels, rows

    def pixel(self, x, y):
        i = x * self.channels
        return tuple(self.rows[y][i:i + 3])


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise CheckFailed(f"{path} is not a PNG file")
    pos, idat, header = 8, [], None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    if header is None:
        raise CheckFailed(f"{path}: no IHDR chunk")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise CheckFailed(f"{path}: PNG of bit depth {depth}, colour type {colour}, interlace {interlace}; "
                          "only 8-bit RGB or RGBA, not interlaced, can be read here")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(idat))
    stride = width * channels
    if len(raw) != height * (stride + 1):
        raise CheckFailed(f"{path}: image data of {len(raw)} bytes for {width}x{height}")
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for i in range(channels, stride):
                row[i] = (row[i] + row[i - channels]) & 0xFF
        elif kind == 2:
            row = bytearray((a + b) & 0xFF for a, b in zip(row, prev))
        elif kind == 3:
            for i in range(stride):
                left = row[i - channels] if i >= channels else 0
                row[i] = (row[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                if i >= channels:
                    row[i] = (row[i] + _paeth(row[i - channels], prev[i], prev[i - channels])) & 0xFF
                else:
                    row[i] = (row[i] + prev[i]) & 0xFF
        elif kind != 0:
            raise CheckFailed(f"{path}: row {y} has filter type {kind}")
        rows.append(bytes(row))
        prev = row
    return Image(width, height, channels, rows)


def write_png(path, image, height):
    """Writes the image's first `height` rows (RGB or RGBA as it is)."""
    colour = 2 if image.channels == 3 else 6
    raw = b"".join(b"\x00" + image.rows[y] for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", image.width, height, 8, colour, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def content_height(image, margin=16):
    """The rows down to the last one that is not all the colour of the page's bottom-left corner."""
    blank = image.rows[image.height - 1][:image.channels] * image.width
    y = image.height
    while y > 0 and image.rows[y - 1] == blank:
        y -= 1
    return min(image.height, y + margin)


def regions(image, colour, min_size=MIN_AREA):
    """Bounding boxes (x0, y0, x1, y1; end exclusive) of the 4-connected
    regions of exactly `colour`, at least min_size, top to bottom."""
    pattern = bytes(colour) + (b"\xff" if image.channels == 4 else b"")
    n = image.channels
    parent = {}

    def find(r):
        while parent[r] != r:
            parent[r] = parent[parent[r]]
            r = parent[r]
        return r

    runs, previous = [], []
    for y, row in enumerate(image.rows):
        current, start = [], 0
        while True:
            i = row.find(pattern, start)
            if i < 0:
                break
            if i % n:
                start = i + 1
                continue
            j = i
            while row.startswith(pattern, j):
                j += n
            run = (y, i // n, j // n)
            parent[run] = run
            for p in previous:  # runs of the row above that touch this one
                if p[1] < run[2] and run[1] < p[2]:
                    parent[find(p)] = find(run)
            current.append(run)
            runs.append(run)
            start = j
        previous = current
    boxes = {}
    for run in runs:
        root = find(run)
        y, x0, x1 = run
        b = boxes.get(root)
        boxes[root] = (x0, y, x1, y + 1) if b is None else (min(b[0], x0), min(b[1], y), max(b[2], x1), max(b[3], y + 1))
    found = [b for b in boxes.values() if b[2] - b[0] >= min_size[0] and b[3] - b[1] >= min_size[1]]
    return sorted(found, key=lambda b: (b[1], b[0]))


def near(p, colours, tolerance):
    return any(abs(p[0] - c[0]) <= tolerance and abs(p[1] - c[1]) <= tolerance and abs(p[2] - c[2]) <= tolerance
               for c in colours)


def series_pixels(image, box, colours):
    x0, y0, x1, y1 = box
    count = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            if near(image.pixel(x, y), colours, SERIES_TOLERANCE):
                count += 1
    return count


def event_lines(image, box):
    """x centres of the event lines in the box: columns whose longest run of
    an event colour spans at least half the box's height, neighbours joined."""
    x0, y0, x1, y1 = box
    columns = []
    for x in range(x0, x1):
        longest = run = 0
        for y in range(y0, y1):
            if image.pixel(x, y) in EVENT_COLOURS:
                run += 1
                longest = max(longest, run)
            else:
                run = 0
        if longest * 2 >= y1 - y0:
            columns.append(x)
    lines = []
    for x in columns:
        if lines and x - lines[-1][-1] <= 1:
            lines[-1].append(x)
        else:
            lines.append([x])
    return [(g[0] + g[-1]) / 2 for g in lines]


# --- the browser ----------------------------------------------------------

def screenshot(report, out):
    browser = shutil.which("chromium")
    if not browser:
        raise CheckFailed("no `chromium` on PATH: tools/setup installs it (the Debian package chromium)")
    profile = tempfile.mkdtemp(prefix="tm-report-browser.")
    command = [browser, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
               f"--window-size={WINDOW[0]},{WINDOW[1]}", "--force-color-profile=srgb",
               "--force-device-scale-factor=1", "--no-first-run", "--disable-extensions",
               "--disable-background-networking", f"--user-data-dir={profile}",
               f"--screenshot={out}", "file://" + os.path.abspath(report)]
    try:
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output, _ = proc.communicate(timeout=BROWSER_LIMIT)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            raise CheckFailed(f"the browser took more than {BROWSER_LIMIT} s")
        if proc.returncode != 0 or not os.path.exists(out):
            tail = "\n".join(output.decode(errors="replace").splitlines()[-15:])
            raise CheckFailed(f"the browser ended with status {proc.returncode} and no screenshot:\n{tail}")
    finally:
        shutil.rmtree(profile, ignore_errors=True)


# --- the check ------------------------------------------------------------

def check(report, charts, events, png):
    if not os.path.isfile(report):
        raise CheckFailed(f"no report at {report}")
    page = _Series()
    with open(report, encoding="utf-8", errors="replace") as f:
        page.feed(f.read())
    if charts is None:
        charts = page.charts
    if not page.colours["chart"]:
        raise CheckFailed("the page has no series in an <svg class=\"chart\">")

    work = tempfile.mkdtemp(prefix="tm-report-shot.")
    try:
        shot = os.path.join(work, "report.png")
        screenshot(report, shot)
        image = read_png(shot)
        if png:
            write_png(png, image, content_height(image))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    faults, notes = [], []
    areas = regions(image, PLOT_BACKGROUND)
    if len(areas) != charts:
        faults.append(f"{len(areas)} plot areas of #f4f7fb in the screenshot, expected {charts} "
                      f"(at {', '.join('%d,%d %dx%d' % (b[0], b[1], b[2] - b[0], b[3] - b[1]) for b in areas) or 'none'})")
    positions = []
    for n, box in enumerate(areas):
        width = box[2] - box[0]
        pixels = series_pixels(image, box, page.colours["chart"])
        if pixels < width // 2:
            faults.append(f"plot area {n + 1} at y={box[1]} is blank: {pixels} pixels of series colours")
        lines = event_lines(image, box)
        notes.append(f"chart {n + 1} at y={box[1]}: {pixels} series pixels, event lines at x={[round(x) for x in lines]}")
        positions.extend(lines)
    distinct = []
    for x in sorted(positions):
        if not distinct or x - distinct[-1] > 2:
            distinct.append(x)
    if events is not None and len(distinct) < events:
        faults.append(f"event lines at {len(distinct)} distinct x positions, expected at least {events}")

    resources = regions(image, RESOURCES_BACKGROUND)
    if len(resources) != 1:
        faults.append(f"{len(resources)} plot areas of #f7f4ec (resources), expected 1")
    else:
        pixels = series_pixels(image, resources[0], page.colours["resources"])
        notes.append(f"resources at y={resources[0][1]}: {pixels} series pixels")
        if pixels < (resources[0][2] - resources[0][0]) // 2:
            faults.append(f"the resources plot area is blank: {pixels} pixels of series colours")
    return faults, notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("report")
    parser.add_argument("--charts", type=int, help="per-server charts expected (default: as many as the page has)")
    parser.add_argument("--events", type=int, help="distinct event positions expected at least")
    parser.add_argument("--png", help="keep the screenshot here")
    args = parser.parse_args()
    try:
        faults, notes = check(args.report, args.charts, args.events, args.png)
    except CheckFailed as e:
        print(f"check_report: FAIL: {e}")
        return 1
    for n in notes:
        print("check_report: " + n)
    if args.png:
        print(f"check_report: screenshot in {args.png}")
    if faults:
        for f in faults:
            print(f"check_report: FAIL: {f}")
        return 1
    print(f"check_report: PASS: {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
