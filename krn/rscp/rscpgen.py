#!/usr/bin/env python3
"""Writes the built-in code page data from rscpf5_manifest.json.

The data is the converter's catalogue rows, its character map of own
characters, the segment directory and the segments, in the byte layouts of
krn/rscp/rscpdat.h, as C++ sources that compile fast (plain aggregate
initialisers, big segments spread over several files). Characters come from
Python's codecs; only mappings that survive the round trip are entered,
except in a segment marked "read_only", which takes every code its codec
reads and splits off the further codes of each value into a segment that a
page lists as read only (flag "in").

    python3 krn/rscp/rscpgen.py            write the sources
    python3 krn/rscp/rscpgen.py --check    regenerate in memory, fail on any
                                           difference from the files on disk

Uses the standard library only.
"""

import argparse
import json
import os
import sys
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
MANIFEST = os.path.join(HERE, "rscpf5_manifest.json")
CORE_PREFIX = "rscpf5"
TEST_DIR = os.path.join(ROOT, "tests", "krn", "rscp")
BIG_SEGMENT = 1500      # points; bigger segments get files of their own
SEGMENT_FILES = 6       # files the big segments are spread over
MAX_BUILD_ROWS = 99
MAX_DEPTH = 9           # nesting below a code page's top list
ROW_INPUT_ONLY = 0x400  # build-list row flag: its segments are only read


class DataError(Exception):
    pass


def is_control(v):
    return v < 0x20 or 0x7F <= v <= 0x9F


def cid(seg_id):
    """C identifier part of a five-character segment id."""
    return "".join(c if c.isalnum() else "_" for c in seg_id)


def hexbytes(text):
    text = text.replace(" ", "")
    if len(text) % 2:
        raise DataError("odd hex text %r" % text)
    return bytes.fromhex(text)


class Decoder:
    """Decodes and encodes one code through a Python codec, with the
    manifest's value overrides (GB 18030 as its 2005 edition maps it)."""

    def __init__(self, manifest):
        swap = manifest.get("gb18030_swap", {})
        self.gb_code_to_value = {hexbytes(k): int(v, 16) for k, v in swap.items() if k != "comment"}
        self.gb_value_to_code = {v: k for k, v in self.gb_code_to_value.items()}

    def decode(self, codec, code):
        if codec == "gb18030" and code in self.gb_code_to_value:
            return self.gb_code_to_value[code]
        try:
            s = code.decode(codec)
        except UnicodeDecodeError:
            return None
        if len(s) != 1:
            return None
        v = ord(s)
        if codec == "gb18030" and v in self.gb_value_to_code:
            return None  # the code that names this value is the override's
        return v

    def encode(self, codec, value):
        if codec == "gb18030" and value in self.gb_value_to_code:
            return self.gb_value_to_code[value]
        try:
            return chr(value).encode(codec)
        except UnicodeEncodeError:
            return None

    def round_trip(self, codec, code):
        """The value of code when encoding it gives code back, else None."""
        v = self.decode(codec, code)
        if v is None or 0xD800 <= v <= 0xDFFF:
            return None
        return v if self.encode(codec, v) == code else None


def build_row(list_id, row):
    """A build-list row [id, sequence, mode, flags...] as a tuple with its
    flag word; the flag "in" marks a row whose segments are only read."""
    flags = 0
    for f in row[3:]:
        if f == "in":
            flags |= ROW_INPUT_ONLY
        elif isinstance(f, int):
            flags |= f
        else:
            raise DataError("%s: row flag %r" % (list_id, f))
    return (row[0], row[1], row[2], flags)


def byte_ranges(ranges):
    for lo, hi in ranges:
        yield from range(lo, hi + 1)


class Segment:
    def __init__(self, seg_id, kind):
        if len(seg_id) != 5:
            raise DataError("segment id %r is not five characters" % seg_id)
        self.id = seg_id
        self.kind = kind          # 1 points, 2 rule, 3 build list
        self.kind_word = kind
        self.points = []          # (value, code bytes)
        self.rule = None          # (rule kind, attr1, attr2)
        self.rows = []            # (id, sequence, mode, flags)
        self.read_only = None     # points of a "read_only" segment, before it is split off


def gb18030_four_byte_runs(dec):
    """BMP runs whose four-byte codes are consecutive: [first, last, code]."""
    def linear(b):
        return (((b[0] - 0x81) * 10 + (b[1] - 0x30)) * 126 + (b[2] - 0x81)) * 10 + (b[3] - 0x30)
    runs = []
    for u in range(0x80, 0x10000):
        if 0xD800 <= u <= 0xDFFF:
            continue
        b = dec.encode("gb18030", u)
        if b is None or len(b) != 4 or dec.decode("gb18030", b) != u:
            continue
        lin = linear(b)
        if runs and runs[-1][1] == u - 1 and runs[-1][3] == lin - 1:
            runs[-1][1] = u
            runs[-1][3] = lin
        else:
            runs.append([u, u, b, lin])
    return [(r[0], r[1], r[2]) for r in runs]


def urange_attrs(first, last, code):
    def num(v):
        t = "%X" % v
        t = t.rjust(4, "0")
        return t if len(t) == 6 else t + ","
    return num(first) + num(last) + code.hex().upper(), "81308130,FE39FE39"


def own_values(manifest):
    """The own characters that segments use, each with its weqcode."""
    return manifest["_own"]


def make_points(spec, dec, manifest, done):
    seg = Segment(spec["id"], 1)
    pts = []
    codec = spec.get("codec")
    prefix = hexbytes(spec.get("prefix", ""))
    if "bytes" in spec:
        for b in byte_ranges(spec["bytes"]):
            code = prefix + bytes([b])
            v = dec.round_trip(codec, code)
            if v is None:
                continue
            which = spec.get("values")
            if which == "printable" and is_control(v) or which == "control" and not is_control(v):
                continue
            pts.append((v, code))
    elif "double" in spec and "read_only" in spec:
        pts, seg.read_only = double_with_read_only(spec, dec)
    elif "double" in spec:
        # One or more areas of lead and trail bytes. With "agree" only the
        # codes that the other codec maps to the same value; with "differ"
        # only the others (so two pages can share what they agree on).
        other = spec.get("agree") or spec.get("differ")
        for leads, trails in double_areas(spec):
            for l in byte_ranges(leads):
                for t in byte_ranges(trails):
                    code = bytes([l, t])
                    v = dec.round_trip(codec, code)
                    if v is None or v < 0x80:
                        continue
                    if other and (dec.round_trip(other, code) == v) != ("agree" in spec):
                        continue
                    pts.append((v, code))
    elif "values_range" in spec:
        for v in byte_ranges(spec["values_range"]):
            code = dec.encode(codec, v)
            if code is None:
                raise DataError("%s: no code for U+%04X" % (spec["id"], v))
            pts.append((v, code))
    elif "own" in spec:
        pts = [(v, hexbytes(c)) for v, c in spec["own"]]
    elif "own_run" in spec:
        start, count, code = spec["own_run"]
        base = hexbytes(code)
        pts = [(start + i, base[:-1] + bytes([base[-1] + i])) for i in range(count)]
    elif "own_long" in spec:
        # Own characters with codes of every length from lo to hi bytes:
        # ESC [ then the length's digits repeated.
        start, lo, hi = spec["own_long"]
        for n in range(lo, hi + 1):
            body = (b"%d" % n) * n
            pts.append((start + n - lo, (b"\x1b[" + body)[:n]))
    elif "own_weq16" in spec:
        base = spec["own_weq16"]
        pts = [(v, (base + w).to_bytes(2, "big")) for w, v in sorted(manifest["_weq_of_own"].items())]
    elif spec.get("gb18030_four") == "points":
        runs = gb18030_four_byte_runs(dec)
        ranged = choose_gb_ranges(runs, spec.get("max_ranges") or manifest["_gb_max_ranges"])
        for first, last, code in runs:
            if (first, last) in ranged:
                continue
            c = int.from_bytes(code, "big")
            for u in range(first, last + 1):
                which = spec.get("values")
                if which == "printable" and is_control(u) or which == "control" and not is_control(u):
                    continue
                pts.append((u, dec.encode("gb18030", u)))
    else:
        raise DataError("segment %s: no source" % spec["id"])
    if "only" in spec:
        keep = set()
        for other in spec["only"]:
            keep.update(v for v, _ in flatten_points(other, done))
        pts = [(v, c) for v, c in pts if v in keep]
    if "minus" in spec:
        taken = set()
        for other in spec["minus"]:
            taken.update(v for v, _ in flatten_points(other, done))
        pts = [(v, c) for v, c in pts if v not in taken]
    seg.points = sorted(pts, key=lambda p: (len(p[1]), p[1]))
    return seg


def double_areas(spec):
    """The [leads, trails] areas of a double-byte segment."""
    return spec["double"] if isinstance(spec["double"][0][0][0], list) else [spec["double"]]


def double_with_read_only(spec, dec):
    """Every code of the areas that the codec reads as one character from
    U+0080 on, split into the codes written and the codes only read. Of the
    codes of one value the one written is the codec's own, unless its lead
    byte is one that "read_only" lists as not written: then the first other
    code of the value. Returns (written points, read-only points)."""
    codec = spec["codec"]
    ro = spec["read_only"]
    avoid = set(byte_ranges(ro.get("not_written", [])))
    if "agree" in spec or "differ" in spec:
        raise DataError("%s: read_only goes with neither agree nor differ" % spec["id"])
    by_value = {}
    for leads, trails in double_areas(spec):
        for l in byte_ranges(leads):
            for t in byte_ranges(trails):
                code = bytes([l, t])
                v = dec.decode(codec, code)
                if v is None or v < 0x80 or 0xD800 <= v <= 0xDFFF:
                    continue
                by_value.setdefault(v, []).append(code)
    written, read = [], []
    for v, codes in sorted(by_value.items()):
        codes.sort()
        own = dec.encode(codec, v)
        if own not in codes:
            first = None  # the codec writes the value outside these areas
        elif own[0] not in avoid:
            first = own
        else:
            first = next((c for c in codes if c[0] not in avoid), own)
        for c in codes:
            (written if c == first else read).append((v, c))
    return written, read


def choose_gb_ranges(runs, max_ranges):
    """The longest BMP runs (at most max_ranges), as (first, last) pairs."""
    plain = [r for r in runs if not any(is_control(u) for u in range(r[0], min(r[1], 0xA0) + 1))]
    longest = sorted(plain, key=lambda r: (-(r[1] - r[0]), r[0]))[:max_ranges]
    return {(r[0], r[1]) for r in longest}


def flatten_points(seg_id, done, seen=None):
    seg = done[seg_id]
    if seg.kind == 1:
        return list(seg.points)
    if seg.kind == 3:
        out = []
        for row in seg.rows:
            out += flatten_points(row[0], done)
        return out
    return []


def build_segments(manifest, dec, specs, strict=True):
    done = {}
    # Own characters: every value above U+10FFFF in an explicit point list
    # gets a weqcode (its distance from the own base, plus one).
    own_base = manifest["tcp01"]["own_base"]
    own = set()
    for spec in specs:
        if "own" in spec:
            own.update(v for v, _ in spec["own"] if v >= own_base)
        if "own_long" in spec:
            own.update(spec["own_long"][0] + i for i in range(spec["own_long"][2] - spec["own_long"][1] + 1))
        if "own_run" in spec:
            own.update(spec["own_run"][0] + i for i in range(spec["own_run"][1]))
    own.add(own_base)
    manifest["_weq_of_own"] = {v - own_base + 1: v for v in sorted(own)}
    manifest["_gb_max_ranges"] = next((s.get("max_ranges") for s in specs if s.get("gb18030_four") == "ranges"), 0)
    pending = list(specs)
    while pending:
        progressed = False
        for spec in list(pending):
            deps = spec.get("minus", []) + spec.get("only", [])
            if any(d not in done for d in deps):
                continue
            pending.remove(spec)
            progressed = True
            if "build" in spec:
                seg = Segment(spec["id"], 3)
                seg.rows = [build_row(spec["id"], r) for r in spec["build"]]
            elif "rule" in spec:
                seg = Segment(spec["id"], 2)
                seg.rule = (spec["rule"], spec.get("attr1", ""), spec.get("attr2", ""))
            elif spec.get("gb18030_four") == "ranges":
                seg = Segment(spec["id"], 3)
                runs = gb18030_four_byte_runs(dec)
                ranged = choose_gb_ranges(runs, spec["max_ranges"])
                n = 0
                for first, last, code in runs:
                    if (first, last) not in ranged:
                        continue
                    n += 1
                    sub = Segment("GR%02d " % n, 2)
                    sub.rule = (68,) + urange_attrs(first, last, code)
                    done[sub.id] = sub
                    seg.rows.append((sub.id, n, 1, 0))
                sub = Segment("GR%02d " % (n + 1), 2)
                sub.rule = (68,) + urange_attrs(0x10000, 0x10FFFF, bytes.fromhex("90308130"))
                done[sub.id] = sub
                seg.rows.append((sub.id, n + 1, 1, 0))
            elif "chain" in spec:
                # Build lists nested depth deep: id1 lists id2 ... the last
                # lists the named segment.
                stem, depth, leaf = spec["chain"]
                ids = ["%s%02d" % (stem, i + 1) for i in range(depth)]
                for i, sid in enumerate(ids):
                    sub = Segment(sid.ljust(5), 3)
                    sub.rows = [((ids[i + 1].ljust(5) if i + 1 < depth else leaf), 1, 1, 0)]
                    done[sub.id] = sub
                seg = Segment(spec["id"], 3)
                seg.rows = [(ids[0].ljust(5), 1, 1, 0)]
            elif "rows_generated" in spec:
                seg = Segment(spec["id"], 3)
                base, count = spec["rows_generated"]
                seg.rows = [(base, i % 127 + 1, 1, 0) for i in range(count)]
            else:
                seg = make_points(spec, dec, manifest, done)
                if seg.read_only is not None:
                    # The codes only read form a segment of their own, which
                    # a page lists in a row of its own (flag "in").
                    ro = Segment(spec["read_only"]["id"], 1)
                    ro.points = sorted(seg.read_only, key=lambda p: (len(p[1]), p[1]))
                    if ro.id in done:
                        raise DataError("segment %s twice" % ro.id)
                    done[ro.id] = ro
            if "kind_word" in spec:
                seg.kind_word = spec["kind_word"]
            if seg.id in done:
                raise DataError("segment %s twice" % seg.id)
            done[seg.id] = seg
        if not progressed:
            raise DataError("segments depend on each other: %s" % [s["id"] for s in pending])
    return done


def shift_rule_words(rule):
    """Segment name, un-shift word (or None) and STRT bytes of a shift rule,
    read as the loader reads its two attribute texts."""
    _, a1, a2 = rule
    a1, a2 = a1[:20], a2[:20]
    seam = 0 < len(a1) < 20 and a2 and a1[-1] not in " ," and a2[0] not in " ,"
    words = [w for w in (a1 + (" " if seam else "") + a2).replace(",", " ").split(" ") if w]
    if len(words) < 2:
        raise DataError("shift rule %r: too few words" % (rule,))
    unshift = words[1] if words[1].lower() in ("unsj", "uneuc") else None
    rest = words[2:] if unshift else words[1:]
    return words[0], unshift, hexbytes(rest[0]) if rest else b""


def check_structure(pages, segs):
    """The rules the loaders rely on: every id resolves, lists are acyclic,
    shallow and short, sequence numbers unique, control codes only below
    rows of mode 2, and in the fullest variant no code twice (codes of a
    shift rule count behind its STRT sequence) and no value written twice
    (a value that a shift rule writes included); a value may have further
    codes in rows that are only read (flag "in")."""
    def mode_of(row):
        return 2 if row[2] in (2, 3, 4) else 1

    def enter(out, mode, v, code, sid, read_only):
        if is_control(v) and mode != 2:
            raise DataError("%s: control code U+%04X outside a mode-2 row" % (sid, v))
        out.append((v, code, sid, read_only))

    def walk(seg_id, depth, stack, mode, read_only, out):
        if seg_id not in segs:
            raise DataError("segment %r does not exist (from %s)" % (seg_id, stack))
        if seg_id in stack:
            raise DataError("build lists loop: %s" % (stack + [seg_id]))
        if depth > MAX_DEPTH:
            raise DataError("build lists nest too deep: %s" % stack)
        seg = segs[seg_id]
        if seg.kind == 3:
            if len(seg.rows) > MAX_BUILD_ROWS:
                raise DataError("%s: %d rows" % (seg_id, len(seg.rows)))
            seqs = [r[1] for r in seg.rows]
            if len(set(seqs)) != len(seqs) or not all(1 <= s <= 127 for s in seqs):
                raise DataError("%s: sequence numbers not unique" % seg_id)
            for row in sorted(seg.rows, key=lambda r: r[1]):
                walk(row[0], depth + 1, stack + [seg_id], mode_of(row),
                     read_only or bool(row[3] & ROW_INPUT_ONLY), out)
        elif seg.kind == 1:
            for v, code in seg.points:
                enter(out, mode, v, (None, code), seg_id, read_only)
        elif seg.kind == 2 and seg.rule[0] in (2, 58, 73):
            name, _, strt = shift_rule_words(seg.rule)
            named = segs.get(name.ljust(5))
            if named is None or named.kind != 1:
                raise DataError("%s: shift rule names missing segment %r" % (seg_id, name))
            for v, code in named.points:
                enter(out, mode, v, (strt, code), seg_id, read_only)

    for page in pages:
        if not page.get("segid"):
            continue
        out = []
        walk(page["segid"], 0, [], 1, False, out)
        # The variant with control codes and own characters holds all others.
        vals, codes = {}, {}
        for v, code, sid, read_only in out:
            if code in codes:
                raise DataError("%s: code %s%s twice (%s, %s)" % (
                    page["cp"], "" if code[0] is None else code[0].hex() + " ", code[1].hex(), codes[code], sid))
            codes[code] = sid
            if read_only:
                continue
            if v in vals:
                raise DataError("%s: U+%04X written twice (%s, %s)" % (page["cp"], v, vals[v], sid))
            vals[v] = sid


def tcp00_row(page):
    def field(text, width):
        if len(text) > width:
            raise DataError("%s: %r longer than %d" % (page["cp"], text, width))
        return text.ljust(width)
    row = (field(page["cp"], 4) + field(page.get("vendor", ""), 3) + field(page["cls"], 2) +
           field(page["struct"], 2) + field(page.get("c5", "00"), 2) + field(page.get("vcp", "00000"), 5) +
           field(page["desc"], 50) + field(page.get("c8", "00000"), 5) + field(page.get("rel1", "0000"), 4) +
           field(page.get("rel2", "0000"), 4) + "%02d" % page["major"] + "%02d" % page["minor"] +
           field(page.get("source", "4"), 1) + field(page.get("c18", "-"), 1) +
           field(page.get("c19_22", "----"), 4) + field(page.get("digit", "0"), 1) +
           field(page.get("segid", ""), 5))
    assert len(row) == 97, (page["cp"], len(row))
    if not all(32 <= ord(c) < 127 for c in row):
        raise DataError("%s: row is not 7-bit text" % page["cp"])
    return row


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def chars(text, width):
    return "{" + ",".join("'%s'" % (c if c not in "'\\" else "\\" + c) for c in text.ljust(width)) + "}"


def emit_points(seg, name):
    lists = {1: [], 2: [], 3: [], 5: []}
    for v, code in seg.points:
        n = len(code)
        lists[1 if n == 1 else 2 if n == 2 else 3 if n <= 4 else 5].append((v, code))
    out = []
    names = {}
    for key, suffix in ((1, "1"), (2, "2"), (3, "34")):
        pts = lists[key]
        if not pts:
            names[key] = "nullptr"
            continue
        arr = "%s_%s" % (name, suffix)
        names[key] = arr
        vals = []
        for v, code in pts:
            word = v | (len(code) << 24 if key == 3 else 0)
            cb = list(code) + [0] * (4 - len(code))
            vals.append("{0x%X,{%d,%d,%d,%d}}" % (word, cb[0], cb[1], cb[2], cb[3]))
        out.append("static const rscpSegPoint_t %s[] = {\n%s};\n" % (arr, wrap(vals)))
    if lists[5]:
        arr = "%s_L" % name
        names[5] = arr
        items = []
        for v, code in lists[5]:
            if len(code) > 126:
                raise DataError("%s: code of %d bytes" % (seg.id, len(code)))
            items.append("{0x%X,%d,{%s}}" % (v, len(code), ",".join(str(b) for b in code)))
        out.append("static const rscpSegLongPoint_t %s[] = {\n%s};\n" % (arr, wrap(items, 1)))
    else:
        names[5] = "nullptr"
    counts = [len(lists[k]) for k in (1, 2, 3, 5)]
    out.append("extern const rscpSegPoints_t %s = {{%s}, %s, %s, %s, %s};\n" %
               (name, ",".join(map(str, counts)), names[1], names[2], names[3], names[5]))
    return "".join(out)


def wrap(items, per_line=0):
    lines, line = [], ""
    for it in items:
        if per_line == 1 or len(line) + len(it) + 1 > 110:
            if line:
                lines.append(line)
            line = ""
        line += it + ","
    if line:
        lines.append(line)
    return "\n".join(lines) + "\n"


def emit_rule(seg, name):
    kind, a1, a2 = seg.rule
    a1, a2 = a1[:20], a2[:20]
    header = kind | len(a1) << 7 | len(a2) << 12
    return "extern const rscpSegRule_t %s = {0x%X, %s, %s};\n" % (name, header, chars(a1, 20), chars(a2, 20))


def emit_build(seg, name):
    rows = []
    for sid, seq, mode, flags in seg.rows:
        attr = (seq & 0x7F) | (mode & 7) << 7 | flags
        rows.append("{%s,{},0x%X}" % (chars(sid, 5), attr))
    rows.append("{%s,{},0}" % chars("     ", 5))
    return "extern const rscpSegBuildRow_t %s[] = {\n%s};\n" % (name, wrap(rows))


def versions():
    return ("Python %s (codecs), Unicode data %s" %
            (sys.version.split()[0], unicodedata.unidata_version))


def header(what, extra=""):
    return ("// Generated by krn/rscp/rscpgen.py from krn/rscp/rscpf5_manifest.json: do not edit.\n"
            "// %s.\n// Sources: %s.%s\n" % (what, versions(), extra))


def generate(manifest, set_name, prefix, ns, big_files, include):
    """Returns {path: text} for one data set."""
    dec = Decoder(manifest)
    data = manifest if set_name == "core" else manifest[set_name]
    if set_name != "core":
        data.setdefault("tcp01", manifest["tcp01"])
        data.setdefault("date", manifest["date"])
        data.setdefault("tcp01_last_max", manifest["tcp01_last_max"])
    specs = list(data["segments"])
    # Each page's top segment is a build list named after the page.
    for page in data["pages"]:
        if page.get("top"):
            specs.append({"id": page["segid"], "build": page["top"]})
    segs = build_segments(data, dec, specs)
    if set_name == "core":
        check_structure(data["pages"], segs)
    files = {}
    sym = {}
    for seg in segs.values():
        sym[seg.id] = {1: "%sPts_%s" % (prefix, cid(seg.id)), 2: "%sRule_%s" % (prefix, cid(seg.id)),
                       3: "%sList_%s" % (prefix, cid(seg.id))}[seg.kind]
    # Big point segments spread over files; the rest stays in the catalogue.
    big = sorted((s for s in segs.values() if s.kind == 1 and len(s.points) > BIG_SEGMENT),
                 key=lambda s: (-len(s.points), s.id))
    buckets = [[] for _ in range(big_files)]
    loads = [0] * big_files
    for s in big:
        i = loads.index(min(loads))
        buckets[i].append(s)
        loads[i] += len(s.points)
    in_bucket = {s.id for b in buckets for s in b}
    externs = []
    for i, bucket in enumerate(buckets):
        if not bucket:
            continue
        body = [header("Character segments of the built-in code pages, part %d" % (i + 1)),
                '#include "%s"\n\nnamespace %s {\n\n' % (include, ns)]
        for s in sorted(bucket, key=lambda s: s.id):
            body.append("// Segment %s: %d points.\n" % (s.id, len(s.points)))
            body.append(emit_points(s, sym[s.id]))
            body.append("\n")
            externs.append("extern const rscpSegPoints_t %s;\n" % sym[s.id])
        body.append("}  // namespace %s\n" % ns)
        put_data(files, "%s_s%d" % (prefix_file(set_name), i + 1), "".join(body))
    # The catalogue file.
    rows = sorted(data["pages"], key=lambda p: p["cp"])
    tcp00 = "".join("%s\n" % c_string(tcp00_row(p)) for p in rows) + c_string(" " * 97) + "\n"
    t01 = []
    weq = dict(data["_weq_of_own"])
    for w, v in data["tcp01"].get("extra", []):
        weq[w] = int(v, 16)
    for w in sorted(weq):
        v = weq[w]
        t01.append("0x%02X,0x%02X,0x%02X,0x%02X,0x%02X" % (w >> 8, w & 0xFF, v >> 16, v >> 8 & 0xFF, v & 0xFF))
    t01.append("0,0,0,0,0")
    body = [header("Catalogue rows, own characters, segment directory and small segments",
                   "\n// Code pages: %s." % ", ".join(p["cp"] for p in rows)),
            '#include "%s"\n\nnamespace %s {\n\n' % (include, ns)]
    body += externs
    body.append("\n")
    order = sorted(segs.values(), key=lambda s: (s.id != data["pages"][0].get("first_segment", "1100T"), s.id))
    if set_name == "core":
        order = sorted(segs.values(), key=lambda s: (s.id != "1100T", s.id))
    for s in order:
        if s.id in in_bucket:
            continue
        if s.kind == 1:
            body.append(emit_points(s, sym[s.id]))
        elif s.kind == 2:
            body.append(emit_rule(s, sym[s.id]))
        else:
            body.append(emit_build(s, sym[s.id]))
    body.append("\n}  // namespace %s\n\n" % ns)
    if set_name != "core":
        body.append("namespace %s {\n\n" % ns)
    body.append("extern const char %sTcp00[] =\n%s;\n" % (prefix, tcp00))
    body.append("extern const uint8_t %sTcp01[] = {\n%s};\n" % (prefix, wrap(t01)))
    body.append("extern const uint32_t %sTcp01LastMax = %d;\n" % (prefix, data["tcp01_last_max"]))
    body.append("extern const int32_t %sDate[3] = {%d, %d, %d};\n" % ((prefix,) + tuple(data["date"])))
    dir_rows = []
    for s in order:
        addr = ("&" if s.kind != 3 else "") + ns + "::" + sym[s.id]
        dir_rows.append("{%s,{},%du,0,%s}" % (chars(s.id, 5), s.kind_word, addr))
    for missing in data.get("dir_extra", []):
        dir_rows.append("{%s,{},%du,0,nullptr}" % (chars(missing["id"], 5), missing["kind_word"]))
    dir_rows.append("{%s,{},0u,0,nullptr}" % chars("     ", 5))
    body.append("extern const rscpSegDirEntry_t %sSegDir[] = {\n%s};\n" % (prefix, wrap(dir_rows, 1)))
    if set_name != "core":
        body.append("\n}  // namespace %s\n" % ns)
    put_data(files, "%s_cat" % prefix_file(set_name), "".join(body))
    return files, segs


def put_data(files, base, text):
    """The tables go into base.inc; base.cpp only includes it, so that the
    build compiles each part on its own and the data stays apart from the
    hand-written sources."""
    files[base + ".inc"] = text
    files[base + ".cpp"] = ("// Generated by krn/rscp/rscpgen.py: do not edit.\n"
                            '#include "%s.inc"\n' % base)


def prefix_file(set_name):
    return "rscpf5" if set_name == "core" else "rscpf5_tset"


def f1_tables(manifest):
    """The F1 filter's data as C++ source: rows, pair entries, tables made
    byte by byte (input page -> Unicode -> output page), sets, group pairs
    and super groups."""
    f1 = manifest["f1"]
    codecs = f1["codecs"]
    rows = []
    for group, text in f1["rows"]:
        for item in text.split():
            cp, cls = item.split("/")
            rows.append((cp, group, int(cls)))
    if len(rows) != 85 or len({r[0] for r in rows}) != len(rows):
        raise DataError("f1: 85 distinct code pages expected, got %d" % len(rows))
    tables, index = [], {}
    for src, dst, text in f1["tables"]:
        key = "%s_%s" % (src, dst)
        sub = "\x1a".encode(codecs[dst])
        out = []
        for b in range(256):
            try:
                c = bytes([b]).decode(codecs[src]).encode(codecs[dst])
            except (UnicodeDecodeError, UnicodeEncodeError):
                c = sub
            if len(c) != 1:
                c = sub
            out.append(c[0])
        index[key] = len(tables)
        tables.append(("t_%s_to_%s %s" % (src, dst, text), out))

    def ref(value):
        if isinstance(value, int):
            if value not in (0, 8, 16, 32):
                raise DataError("f1: reference %r" % value)
            return value
        return 0x100 + index[value]

    pairs = []
    first = {}
    for src, dst, value in f1["pairs"]:
        pairs.append((dst, ref(value), first.get(src, -1)))
        first[src] = len(pairs) - 1
    sets = {}
    for group, default, cells in f1["sets"]:
        cell = [default] * 225
        for a, b, value in cells:
            cell[a * 15 + b] = ref(value)
        sets[group] = cell
    supers = {g: [g] for g in range(28)}
    for g, members in f1["super_groups"].items():
        supers[int(g)] = members
    out = [header("F1 filter data"), '#include "krn/rscp/rscpf1_int.h"\n\nnamespace rscpf5 {\nnamespace {\n\n']
    out.append("const rscpF1Row_t kRows[] = {\n%s};\n" % wrap(
        ["{{u'%s',u'%s',u'%s',u'%s'},%d,%du,1u,%d}" % (tuple(cp) + (g, c, first.get(cp, -1))) for cp, g, c in rows], 1))
    out.append("const rscpF1Pair_t kPairs[] = {\n%s};\n" % wrap(
        ["{{u'%s',u'%s',u'%s',u'%s'},%du,%d}" % (tuple(dst) + (r, nxt)) for dst, r, nxt in pairs], 1))
    out.append("const rscpF1Table_t kTables[] = {\n")
    for name, data in tables:
        out.append("{u%s, {\n%s}},\n" % (c_string(name), wrap(["0x%02X" % b for b in data], 16)))
    out.append("};\n")
    for g in sorted(sets):
        out.append("const uint16_t kSet%d[225] = {\n%s};\n" % (g, wrap(["%d" % v for v in sets[g]], 15)))
    out.append("const uint8_t kGroupPairs[][2] = {\n%s};\n\n}  // namespace\n\n" % wrap(
        ["{%d,%d}" % (a, b) for a, b in f1["group_pairs"]], 8))
    out.append("extern const rscpF1Data_t rscpF5F1 = {\n  kRows, %d, kPairs, %d, kTables, %d,\n" % (
        len(rows), len(pairs), len(tables)))
    out.append("  {%s},\n" % ", ".join("kSet%d" % g if g in sets else "nullptr" for g in range(28)))
    out.append("  kGroupPairs, %d,\n" % len(f1["group_pairs"]))
    out.append("  {%s}};\n\n}  // namespace rscpf5\n" % ", ".join(
        "{%d,{%s}}" % (len(supers[g]), ",".join(str(m) for m in supers[g])) for g in range(28)))
    return "".join(out)


def page_table(manifest, segs):
    """The pages with their public counterparts and deltas, for the tests."""
    out = [header("Code pages of the built-in data with their references and deltas"),
           "// {code page, iconv name, ICU name, synthetic, deltas (\"ref:code\" or \"ref:lo..hi\")}\n"]
    for p in sorted(manifest["pages"], key=lambda p: p["cp"]):
        if not p.get("segid"):
            continue
        deltas = p.get("deltas", [])
        out.append('{"%s", %s, %s, %s, "%s"},\n' % (
            p["cp"], c_string(p.get("iconv", "")), c_string(p.get("icu", "")),
            "true" if p.get("synthetic") else "false", " ".join(deltas)))
    return "".join(out)


def all_files():
    with open(MANIFEST, encoding="utf-8") as f:
        manifest = json.load(f)
    files = {}
    core, segs = generate(manifest, "core", "rscpF5", "rscpf5", SEGMENT_FILES,
                          "krn/rscp/rscpdat.h")
    for name, text in core.items():
        files[os.path.join(HERE, name)] = text
    files[os.path.join(TEST_DIR, "rscpf5_pages.inc")] = page_table(manifest, segs)
    f1 = {}
    put_data(f1, "rscpf5_f1", f1_tables(manifest))
    for name, text in f1.items():
        files[os.path.join(HERE, name)] = text
    if "test_set" in manifest:
        tset, _ = generate(manifest, "test_set", "rscpF5T", "rscpf5test", 1, "krn/rscp/rscpdat.h")
        for name, text in tset.items():
            files[os.path.join(TEST_DIR, name)] = text
    return files


def same_data(old, new):
    """Equal but for the line naming the generating Python's version, so
    that the check passes under another interpreter that makes the same
    data."""
    strip = lambda t: [l for l in t.splitlines() if not l.startswith("// Sources: ")]
    return strip(old) == strip(new)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="compare with the files on disk")
    args = ap.parse_args()
    try:
        files = all_files()
    except DataError as e:
        print("rscpgen: %s" % e, file=sys.stderr)
        return 2
    stale = []
    for path, text in sorted(files.items()):
        old = None
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                old = f.read()
        if old == text or (args.check and old is not None and same_data(old, text)):
            continue
        stale.append(os.path.relpath(path, ROOT))
        if not args.check:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    # Generated files that the manifest no longer makes.
    for d, pattern in ((HERE, "rscpf5_s"), (TEST_DIR, "rscpf5_tset_s")):
        for name in sorted(os.listdir(d)):
            path = os.path.join(d, name)
            if (name.startswith(pattern) and name.endswith((".cpp", ".inc"))
                    and path not in files):
                stale.append(os.path.relpath(path, ROOT) + " (no longer generated)")
                if not args.check:
                    os.remove(path)
    if args.check:
        for s in stale:
            print("rscpgen: out of date: %s" % s, file=sys.stderr)
        return 1 if stale else 0
    for s in stale:
        print("rscpgen: wrote %s" % s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
