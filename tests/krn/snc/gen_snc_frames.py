#!/usr/bin/env python3
"""Frame fixtures for the SNC tests and seeds for the frame fuzz target.

Written from the frame layout alone: a 24-byte big-endian header ("SNCFRAME",
type, version, header length, token length, data length, adapter type,
flags), an optional extension (a 32-bit item mask, then for each present item
in ascending order a 16-bit length and its bytes), the token and the data.

Writes snc_frames.inc beside this script (build cases that the builder must
reproduce byte for byte, and parse cases with what the parser must report)
and the seed files of fuzz/krn/snc/fuzz_unframe.seeds.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))

NAMES = ["REVERSE_REQ", "INIT_REQ", "INIT", "INIT_ACK", "ACCEPT", "ACCEPT_ACK", "ACCEPT_FAILED",
         "DATA_OPEN", "DATA_MIC", "DATA_WRAP", "SHUTDOWN", "SHUTDOWN_MSG", "REJECTED", "ERROR"]
# Token and data rules per type: R required (> 0), N none (0), O optional.
RULES = ["NR", "NN", "RO", "NN", "RO", "NN", "NO", "NR", "RR", "RN", "NN", "NR", "NN", "NO"]
QOP_TYPES = {1, 2, 4}  # INIT_REQ, INIT and ACCEPT carry the sender's QOP


def obeys(rule, n):
    return rule == "O" or (rule == "R") == (n > 0)


def extension(items):
    present = [(i, b) for i, b in enumerate(items) if b]
    if not present:
        return b""
    mask = sum(1 << i for i, _ in present)
    return struct.pack(">I", mask) + b"".join(struct.pack(">H", len(b)) + b for _, b in present)


def encode(ftype, token=b"", data=b"", flags=0, items=(), version=5, adapter=2, hdr_len=None,
           token_len=None, data_len=None, magic=b"SNCFRAME"):
    ext = extension(list(items) + [b""] * (8 - len(items)))
    hl = 24 + len(ext) if hdr_len is None else hdr_len
    tl = len(token) if token_len is None else token_len
    dl = len(data) if data_len is None else data_len
    head = magic + struct.pack(">BBHIIHH", ftype, version, hl, tl, dl, adapter, flags)
    return head + ext + token + data


def qop_flags(qmin, qmax, quse):
    return (qmin & 3) << 1 | (qmax & 3) << 3 | (quse & 3) << 5


def decode(buf):
    """What a parser must report for buf, or None when it must refuse it."""
    if len(buf) < 24 or buf[:8] != b"SNCFRAME":
        return None
    ftype, version, hl, tl, dl, adapter, flags = struct.unpack(">BBHIIHH", buf[8:24])
    if hl < 24 or hl > len(buf) or tl > len(buf) - hl or dl > len(buf) - hl - tl:
        return None
    if ftype < 14 and not (obeys(RULES[ftype][0], tl) and obeys(RULES[ftype][1], dl)):
        return None
    q = ((flags >> 1) & 3, (flags >> 3) & 3, (flags >> 5) & 3)
    if not (all(q) and q[0] <= q[2] <= q[1]):
        q = (0, 0, 0)
    items = [(0, 0)] * 8
    mask = 0
    if hl > 24:
        ext = buf[24:hl]
        if len(ext) < 4:
            return None
        if version >= 3:
            mask = struct.unpack(">I", ext[:4])[0] & 0xFF
            pos = 4
            for i in range(8):
                if not mask & (1 << i):
                    continue
                if len(ext) - pos < 2:
                    return None
                n = struct.unpack(">H", ext[pos:pos + 2])[0]
                if n > len(ext) - pos - 2:
                    return None
                items[i] = (24 + pos + 2, n)
                pos += 2 + n
    return dict(type=ftype, version=version, hdr=hl, token=(hl, tl), data=(hl + tl, dl),
                frame=hl + tl + dl, qop=q, mask=mask, items=items)


def c_bytes(b):
    return "{" + ",".join(str(x) for x in b) + "}"


def build_cases():
    """(name, type, session flags, flags, (min, max, use), adapter, token, data, items)."""
    cases = []
    for t in range(14):
        tok = b"" if RULES[t][0] == "N" else bytes(range(1, 6))
        dat = b"" if RULES[t][1] == "N" else b"user data"
        cases.append((NAMES[t], t, 0, 0, (1, 3, 2), 2, tok, dat, []))
        if RULES[t][1] == "O":
            cases.append((NAMES[t] + "_nodata", t, 0, 0, (2, 3, 3), 4, tok, b"", []))
    cases.append(("INIT_refresh_target", 2, 1, 0, (2, 2, 2), 2, b"\x60\x01tok", b"Adapter id",
                  [b"\x00\x02\x04\x01canonical"]))
    cases.append(("INIT_REQ_refresh_flag", 1, 0, 1, (3, 3, 3), 3, b"", b"", []))
    cases.append(("DATA_OPEN_qop_not_sent", 7, 0, 0, (1, 3, 3), 2, b"", b"x" * 300, []))
    cases.append(("ERROR_wrong_target", 13, 0, 0, (1, 3, 3), 2, b"", b"\x00",
                  [b"\x00\x02canon", b"", b"p:acceptor@REALM", struct.pack(">H", 40)]))
    cases.append(("ERROR_all_items", 13, 0, 0, (1, 3, 3), 7, b"", b"",
                  [bytes([i]) * (i + 1) for i in range(8)]))
    cases.append(("DATA_MIC_big_token", 8, 0, 0, (1, 3, 2), 2, bytes(range(256)) * 3, b"d", []))
    out = []
    for name, t, sflags, flags, q, adapter, tok, dat, items in cases:
        f = flags | sflags
        if t in QOP_TYPES:
            f |= qop_flags(*q)
        frame = encode(t, tok, dat, f, items, adapter=adapter)
        out.append((name, t, sflags, flags, q, adapter, tok, dat, items, frame))
    return out


def parse_cases():
    init = encode(2, b"tok", b"id")
    cases = [
        ("init_req_24", encode(1)),
        ("init_req_token_1", encode(1, b"t")),
        ("short_23", encode(1)[:23]),
        ("empty", b""),
        ("bad_magic", encode(1, magic=b"SNCFRAMF")),
        ("lower_magic", encode(1, magic=b"sncframe")),
        ("version2_ext_8", encode(7, data=b"abc", version=2, hdr_len=32)[:24] + b"\x00\x00\x00\x01\x00\x02zz" +
         b"abc"),
        ("version2_hdr_26", encode(1, version=2, hdr_len=26) + b"\x00\x00"),
        ("version5_hdr_26", encode(1, hdr_len=26) + b"\x00\x00"),
        ("item_past_end", encode(13, hdr_len=24 + 4 + 2 + 3) + b"\x00\x00\x00\x01\x00\x04abc"),
        ("item_length_cut", encode(13, hdr_len=24 + 5) + b"\x00\x00\x00\x01\x00"),
        ("second_item_missing", encode(13, hdr_len=24 + 4 + 3) + b"\x00\x00\x00\x03\x00\x01a"),
        ("ext_left_over", encode(13, hdr_len=24 + 4 + 3 + 5) + b"\x00\x00\x00\x01\x00\x01a" + b"rest!"),
        ("mask_high_bits", encode(13, hdr_len=24 + 4 + 3) + b"\xff\x00\x00\x01\x00\x01a"),
        ("token_beyond", encode(2, b"tok", b"id", token_len=100)),
        ("data_beyond", encode(2, b"tok", b"id", data_len=3)),
        ("data_huge", encode(7, data=b"d", data_len=0xFFFFFFFF)),
        ("token_huge", encode(8, b"t", b"d", token_len=0xFFFFFFFF)),
        ("hdr_beyond", encode(1, hdr_len=400)),
        ("type_20", encode(20, b"tok", b"data")),
        ("type_255_empty", encode(255)),
        ("data_open_empty", encode(7)),
        ("data_wrap_with_data", encode(9, b"t", b"d")),
        ("back_to_back", init + encode(7, data=b"second")),
        ("trailing_garbage", encode(10) + b"garbage"),
        ("qop_ok", encode(1, flags=qop_flags(1, 3, 2))),
        ("qop_use_above_max", encode(1, flags=qop_flags(1, 2, 3))),
        ("qop_min_zero", encode(1, flags=qop_flags(0, 3, 2))),
        ("qop_use_below_min", encode(1, flags=qop_flags(3, 3, 2))),
        ("qop_on_data_frame", encode(7, data=b"d", flags=qop_flags(2, 3, 3) | 0xFF81)),
    ]
    for hl in range(0, 24):
        cases.append(("hdr_len_%d" % hl, encode(1, hdr_len=hl) + b"\x00" * 24))
    return cases


def main():
    lines = ["// Generated by gen_snc_frames.py; do not edit.", ""]
    lines.append("const BuildFixture kBuildFixtures[] = {")
    for name, t, sflags, flags, q, adapter, tok, dat, items, frame in build_cases():
        it = ",".join(c_bytes(b) for b in (list(items) + [b""] * (8 - len(items))))
        lines.append('    {"%s", %d, %d, %d, {%d, %d, %d}, %d, %s, %s, {{%s}}, %s},' %
                     (name, t, sflags, flags, q[0], q[1], q[2], adapter, c_bytes(tok), c_bytes(dat), it,
                      c_bytes(frame)))
    lines.append("};")
    lines.append("")
    lines.append("const ParseFixture kParseFixtures[] = {")
    seeds = {}
    for name, buf in parse_cases():
        d = decode(buf)
        seeds[name] = buf
        if d is None:
            lines.append('    {"%s", %s, false, 0, 0, 0, {0, 0}, {0, 0}, 0, {0, 0, 0}, 0, {}},' % (name, c_bytes(buf)))
            continue
        items = ",".join("{%d, %d}" % it for it in d["items"])
        lines.append('    {"%s", %s, true, %d, %d, %d, {%d, %d}, {%d, %d}, %d, {%d, %d, %d}, %d, {{%s}}},' % (
            name, c_bytes(buf), d["type"], d["version"], d["hdr"], d["token"][0], d["token"][1], d["data"][0],
            d["data"][1], d["frame"], d["qop"][0], d["qop"][1], d["qop"][2], d["mask"], items))
    lines.append("};")
    with open(os.path.join(HERE, "snc_frames.inc"), "w") as f:
        f.write("\n".join(lines) + "\n")
    seed_dir = os.path.join(ROOT, "fuzz", "krn", "snc", "fuzz_unframe.seeds")
    os.makedirs(seed_dir, exist_ok=True)
    for case in build_cases():
        seeds["build_" + case[0]] = case[-1]
    for name, buf in seeds.items():
        with open(os.path.join(seed_dir, name), "wb") as f:
            f.write(buf)


if __name__ == "__main__":
    main()
