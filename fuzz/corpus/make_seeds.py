#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into
fuzz/corpus/<target>/ (run from anywhere; the output is committed). The
seeds that only a target can make (a flash image written by the
configuration library, a signed store index) come from the targets
themselves: see scripts/fuzz-run.sh --seeds."""
import hashlib
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def put(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def sample(path):
    with open(os.path.join(ROOT, "sim/sample/image", path), "rb") as f:
        return f.read()


# ---- PNG pictures: every colour type and bit depth, at or below 64 x 64 ----

def chunk(kind, body):
    c = kind + body
    return struct.pack(">I", len(body)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)


def adam7(width, height):
    """The (x0, y0, dx, dy) passes of the interlaced form."""
    return [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4),
            (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def pack_row(samples, depth):
    if depth >= 8:
        step = depth // 8
        return b"".join(s.to_bytes(step, "big") for s in samples)
    out, acc, bits = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def png(width, height, colour, depth, interlace=False, palette=None, trns=None, filt=0):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    top = (1 << depth) - 1

    def pixel(x, y):
        if colour == 3:
            return [(x + 3 * y) % len(palette)]
        return [((x * 7 + y * 5 + c * 11) * (top // 15 or 1)) % (top + 1) for c in range(channels)]

    def rows(xs, ys):
        raw = b""
        for y in ys:
            samples = []
            for x in xs:
                samples += pixel(x, y)
            raw += bytes([filt]) + pack_row(samples, depth) if filt == 0 else b""
            if filt != 0:  # "Sub" filter for byte depths, none otherwise
                line = pack_row(samples, depth)
                bpp = max(1, channels * depth // 8)
                out = bytearray(line)
                for i in range(len(line) - 1, bpp - 1, -1):
                    out[i] = (line[i] - line[i - bpp]) & 0xFF
                raw += bytes([1]) + bytes(out)
        return raw

    if interlace:
        raw = b""
        for x0, y0, dx, dy in adam7(width, height):
            xs, ys = range(x0, width, dx), range(y0, height, dy)
            if len(xs) and len(ys):
                raw += rows(xs, ys)
    else:
        raw = rows(range(width), range(height))
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0,
                                      1 if interlace else 0))
    if palette:
        out += chunk(b"PLTE", b"".join(bytes(p) for p in palette))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    out += chunk(b"IDAT", zlib.compress(raw, 9))
    out += chunk(b"IEND", b"")
    return out


def pngs():
    pal = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)] * 4
    cases = [
        ("gray1-16x16", dict(width=16, height=16, colour=0, depth=1)),
        ("gray2-9x7", dict(width=9, height=7, colour=0, depth=2)),
        ("gray4-13x5", dict(width=13, height=5, colour=0, depth=4)),
        ("gray8-64x64", dict(width=64, height=64, colour=0, depth=8)),
        ("gray16-3x3", dict(width=3, height=3, colour=0, depth=16)),
        ("gray8-trns-8x8", dict(width=8, height=8, colour=0, depth=8, trns=b"\x00\x10")),
        ("rgb8-64x64", dict(width=64, height=64, colour=2, depth=8)),
        ("rgb8-1x1", dict(width=1, height=1, colour=2, depth=8)),
        ("rgb8-sub-63x17", dict(width=63, height=17, colour=2, depth=8, filt=1)),
        ("rgb16-5x4", dict(width=5, height=4, colour=2, depth=16)),
        ("pal1-10x10", dict(width=10, height=10, colour=3, depth=1, palette=pal[:2])),
        ("pal2-11x3", dict(width=11, height=3, colour=3, depth=2, palette=pal[:4])),
        ("pal4-16x16", dict(width=16, height=16, colour=3, depth=4, palette=pal)),
        ("pal8-trns-32x20", dict(width=32, height=20, colour=3, depth=8, palette=pal,
                                 trns=b"\x00\x80")),
        ("graya8-12x12", dict(width=12, height=12, colour=4, depth=8)),
        ("graya16-4x4", dict(width=4, height=4, colour=4, depth=16)),
        ("rgba8-64x64", dict(width=64, height=64, colour=6, depth=8)),
        ("rgba8-interlaced-33x21", dict(width=33, height=21, colour=6, depth=8, interlace=True)),
        ("rgba16-6x2", dict(width=6, height=2, colour=6, depth=16)),
        ("gray8-interlaced-7x9", dict(width=7, height=9, colour=0, depth=8, interlace=True)),
        ("rgb8-too-wide-65x2", dict(width=65, height=2, colour=2, depth=8)),
        ("rgb8-too-tall-2x65", dict(width=2, height=65, colour=2, depth=8)),
    ]
    for name, args in cases:
        put("fuzz_png_picture", name + ".png", png(**args))


# ---- hash lists ----

def hashlists():
    body = sample("etc/refhashlist").split(b"\n", 1)[1]
    lines = body.split(b"\n")
    put("fuzz_parse_hashlist", "sample-head", b"\x01" + b"\n".join(lines[:40]) + b"\n")
    put("fuzz_parse_hashlist", "sample-head-dev", b"\x07" + b"\n".join(lines[:40]) + b"\n")
    put("fuzz_parse_hashlist", "sample-head-2.0", b"\x00" + b"\n".join(lines[:40]) + b"\n")
    h = "a00e40a02c6c1edde83a4f9719b1f2847a9ae4dc"
    modules = ("S 16 com.example.apps\n"
               "X 0 A 3 0 0 H 40 %s\nP 14 kernel-modules\nW 3 tcb\nR 14 lib/modules/a.ko\n"
               "R 14 lib/modules/b.ko\n" % h)
    put("fuzz_parse_hashlist", "one-package-two-modules", b"\x01" + modules.encode())
    put("fuzz_parse_hashlist", "source-and-words",
        b"\x03S 3 abc\nX 1 A 2 0 3 H 40 " + h.encode() +
        b"\nP 6 viewer\nW 28 CAP::net_admin CAP::sys_time\nR 5 a/b/c\n")


# ---- developer-mode entries (count, two unused bytes, entries) ----

def entry(kind, name, value):
    return struct.pack("<III", kind, len(name), len(value)) + name + value


def developer_mode():
    origin = entry(0, b"developer_origin", b"factory")
    relaxed = entry(1, b"relaxed_exec_validation", struct.pack("<I", 1))
    other = entry(0, b"x", b"")
    put("fuzz_developer_mode", "origin", struct.pack("<HH", 1, 0) + origin)
    put("fuzz_developer_mode", "origin-relaxed", struct.pack("<HH", 2, 0) + origin + relaxed)
    put("fuzz_developer_mode", "three", struct.pack("<HH", 3, 0) + other + relaxed + origin)
    put("fuzz_developer_mode", "count-too-high", struct.pack("<HH", 5, 0) + origin)


# ---- software certificate entries (count, entries) ----

def sw_cert():
    def named(name, data):
        return name.ljust(12, b"\0") + hashlib.sha1(data).digest()
    put("fuzz_sw_cert", "vdata", struct.pack("<H", 1) + named(b"vdata", b"v"))
    put("fuzz_sw_cert", "three", struct.pack("<H", 3) + named(b"kernel", b"k") +
        named(b"vdata", b"v") + named(b"initfs", b"i"))
    put("fuzz_sw_cert", "two-vdata", struct.pack("<H", 2) + named(b"vdata", b"a") +
        named(b"vdata", b"b"))
    put("fuzz_sw_cert", "short", struct.pack("<H", 2) + named(b"vdata", b"v")[:20])


# ---- fstab texts ----

def fstab():
    put("fuzz_fstab", "var", "ubi0:var /var ubifs rw,noatime,sync,bulk_read 0 0\n")
    put("fuzz_fstab", "several",
        "rootfs / rootfs defaults 0 0\nproc /proc proc nosuid,nodev,noexec 0 0\n"
        "ubi0:var /var ubifs nosuid,nodev,compr=lzo,mode=0755 0 0\n"
        "tmpfs /tmp tmpfs size=16m 0 0\n")
    put("fuzz_fstab", "no-options", "ubi0:var /var ubifs")
    put("fuzz_fstab", "not-ubifs", "ubi0:var /var ext4 rw\nubi1:var /var ubifs ro,remount\n")
    put("fuzz_fstab", "all-flags",
        "ubi0:var /var ubifs ro,rw,nosuid,suid,nodev,dev,noexec,exec,sync,async,remount,"
        "noatime,atime,nodiratime,diratime,relatime,norelatime,strictatime,dirsync,"
        "mand,nomand,silent,loud,,extra=1\n")


# ---- policy texts and account files ----

def policies():
    conf = sample("var/lib/tarvo/restok/restok.conf")
    put("fuzz_policy_parser", "sample", b"\x00" + conf)
    put("fuzz_policy_parser", "sample-builtin", b"\x10" + conf)
    put("fuzz_policy_parser", "sample-extra", b"\x12" + conf)
    put("fuzz_policy_parser", "keys",
        b"\x10Package: p\nSource: s\nProvide: a b\nKey: k1 k2\nRank: 3\nUntrusted: yes\n"
        b"Recover: r\nGrant: a\nObject: o\nPolicy: add\nRequest: a UID::root\n")
    put("fuzz_policy_parser", "account",
        b"\x31Package: user\nProvide: home\nObject: files\nRequest: UID::user GRP::users\n")
    put("fuzz_policy_parser", "account-mode", b"\x21Package: a\nRequest: GID::0\n")


# ---- XML documents: a walk path, a NUL, the document ----

def xml():
    index = ('<?xml version="1.0"?>\n<pstore owner="UID::0" version="2">\n <envelope>\n'
             '  <file hash="vnYzG5Xfw5nNd20vxoAh4NsDzE8=" mode="33188" name="/tmp/a" size="5"/>\n'
             '  <link name="first" to="/tmp/a"/>\n </envelope>\n'
             '  <signature>b-EC+mkw46IHHxVnBg293AW5fujyc=-UID::0</signature>\n</pstore>\n')
    put("fuzz_xmldoc", "index", b"envelope/file\0" + index.encode())
    put("fuzz_xmldoc", "entities", b"a/b/c\0<r a='&lt;&amp;&#x41;&quot;'>t&gt;<![CDATA[x]]><b/>"
        b"<!-- c --><?pi x?></r>")
    put("fuzz_xmldoc", "utf8", "x\0<r n=\"é€😀\">ü</r>".encode())
    put("fuzz_xmldoc", "latin1", b"\0<?xml version='1.0' encoding='ISO-8859-1'?><r>\xe9</r>")


# ---- base64, credentials, signatures, vdata, journal ----

def texts():
    for i, t in enumerate(["", "QQ==", "QUI=", "QUJD", "vnYzG5Xfw5nNd20vxoAh4NsDzE8=",
                           "YWJj\nZGVm", "R=", "====", "Zm9v YmFy"]):
        put("fuzz_base64", "b%d" % i, t)

    status = ("Name:\tx\nUid:\t0\t0\t0\t0\nGid:\t100\t100\t100\t100\n"
              "Groups:\t4 20 24 100\nCapInh:\t0000000000000000\nCapPrm:\t000001ffffffffff\n"
              "CapEff:\t000001ffffffffff\n")
    put("fuzz_creds_text", "uid-status", b"\x40UID::0\n" + status.encode())
    put("fuzz_creds_text", "cap", b"\x08CAP::net_admin\n" + status.encode())
    put("fuzz_creds_text", "grp-words", b"\x10GRP::*\n" + struct.pack(
        "<8I", 0x00020000, 3, 0, 0x00010001, 1000, 0x00020003, 20, 24))
    for i, t in enumerate(["GID::users", "UID::root", "AID::com.example.apps/viewer",
                           "SRC::org.keepstone.platform", "7::5", "CAP::", "CAP::*",
                           "UID::4294967295", "GRP::?"]):
        put("fuzz_creds_text", "t%d" % i, bytes([i * 7 & 0xFF]) + t.encode() + b"\n")

    sig = b"\x10\x2f" * 10
    import base64
    b64 = base64.b64encode(sig).decode()
    put("fuzz_signature_text", "b64-token", "b-%s-UID::0" % b64)
    put("fuzz_signature_text", "b64-no-token", "b-%s" % b64)
    put("fuzz_signature_text", "hex-token", "x-%s-com.example.apps.viewer\nrest" % sig.hex())
    put("fuzz_signature_text", "hex-dash-token", "x-%s--a-b" % sig.hex())

    put("fuzz_vdata", "two", "%s  /usr/bin/a\n%s  /usr/lib/b c\n" % ("a" * 40, "0" * 40))
    put("fuzz_vdata", "star-and-tail", "%s *d\n%s  /e" % ("1" * 40, "2" * 40))
    put("fuzz_vdata", "replace", "%s  /a\n%s  /a\n" % ("3" * 40, "4" * 40))

    # flags, 16-bit file length, (file), change position, XOR mask, records
    put("fuzz_dpkg_journal", "records", b"\x00\x00\x00\x05\x01first|second record|third")
    put("fuzz_dpkg_journal", "no-change", b"\x00\x00\x00\x00\x00one")
    put("fuzz_dpkg_journal", "empty-records", b"\x00\x00\x00\x30\x80||x||")
    put("fuzz_dpkg_journal", "raw-short", b"\x01\x08\x00\x04\x00\x00\x00AAAA\x00\x00rec")
    put("fuzz_dpkg_journal", "raw-long-blob",
        b"\x01\x20\x00" + struct.pack("<I", 0xFFFFFFF0) + b"\0" * 28 + b"\x00\x00rec")


def cal():
    # geometry, bad blocks, empty image, then writes: block and area, length/3, power cut
    put("fuzz_cal_area", "writes", b"\x00\x00\x00\x00" + b"\x00\x10\x00\x01\x20\x00\x04\x05\x00"
        b"\x00\x30\x00\x02\x01\x00")
    put("fuzz_cal_area", "compaction", b"\x00\x00\x00\x00" + b"\x00\x40\x00" * 6)
    put("fuzz_cal_area", "power-cuts", b"\x00\x00\x00\x00" + b"\x00\x40\x00\x00\x40\x02"
        b"\x00\x40\x05\x01\x10\x01\x00\x40\x09")
    put("fuzz_cal_area", "bad-blocks", b"\x01\x0a\x00\x00" + b"\x00\x20\x00\x05\x20\x00"
        b"\x01\x60\x00")
    put("fuzz_cal_area", "big-geometry", b"\x03\x00\x00\x00" + b"\x00\xff\x00\x04\x80\x00")


if __name__ == "__main__":
    pngs()
    hashlists()
    developer_mode()
    sw_cert()
    fstab()
    policies()
    xml()
    texts()
    cal()
