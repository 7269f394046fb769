#!/usr/bin/env python3
"""Writes a reference hash list for a simulated device image.

Creates the files that the list names inside the image (programs,
libraries, data files and kernel modules of several packages under /opt,
and /etc/init.conf) and writes IMAGE/etc/refhashlist, a version 3 list with
every record kind: sources (the platform's own among them), packages,
credentials, entry types 0-4, attributes and the SHA-1 of every file.
Files of the image named with --existing (relative paths) are listed too,
under the platform's source, with their present SHA-1. When the image has a
vdata file, its line for /etc/refhashlist is brought up to date.
The output is the same on every run (fixed seed).

    make-sample-refhashlist.py IMAGE_DIR [--count N] [--platform-source NAME]
                               [--existing REL]...
"""
import argparse
import hashlib
import os
import random


def counted(tag, data):
    return b"%c %d %s\n" % (tag, len(data), data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("image")
    ap.add_argument("--count", type=int, default=300)
    ap.add_argument("--platform-source", default="org.keepstone.platform")
    ap.add_argument("--existing", action="append", default=[])
    args = ap.parse_args()
    rnd = random.Random(1729)

    sources = [args.platform_source.encode(), b"org.example.vendor", b"com.example.apps"]
    packages = [
        # (package, directory, suffix, share of files)
        (b"base-tools", "opt/base/bin", "", 4),
        (b"base-libs", "opt/base/lib", ".so", 4),
        (b"viewer", "opt/apps/viewer", "", 2),
        (b"viewer-data", "opt/apps/viewer/data", ".xml", 2),
        (b"kernel-modules", "opt/modules/kernel/drivers", ".ko", 2),
        (b"kernel-modules-debug", "opt/modules/debug", ".ko", 1),
        (b"kernel-modules-profiling", "opt/modules/profiling", ".ko", 1),
        (b"kernel-ltt-modules", "opt/modules/ltt", ".ko", 1),
        (b"vendor-modules", "opt/modules/vendor", ".ko", 1),
    ]
    credentials = [b"", b"UID::0,GID::0", b"GRP::100", b"CAP::net_admin CAP::sys_time",
                   b"tcb", b"AID::com.example.apps/viewer", b"UID::0,GRP::100,tcb"]
    weights = [p[3] for p in packages]

    out = [b"Tarvo3.0\n"]
    made = 0
    while made < args.count:
        source = rnd.choice(sources)
        out.append(counted(ord("S"), source))
        for _ in range(rnd.randint(5, 25)):
            if made >= args.count:
                break
            package, directory, suffix, _w = rnd.choices(packages, weights)[0]
            rel = "%s/f%04d%s" % (directory, made, suffix)
            content = ("%s %d\n" % (rel, rnd.getrandbits(64))).encode() * rnd.randint(1, 3)
            path = os.path.join(args.image, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
            kind = rnd.choice([0, 0, 0, 1, 3])
            out.append(b"X %d A %d %d %d " % (kind, rnd.randint(0, 3), 0, rnd.randint(0, 7)))
            out.append(b"H 40 %s\n" % hashlib.sha1(content).hexdigest().encode())
            out.append(counted(ord("P"), package))
            cred = rnd.choice(credentials)
            if cred:
                out.append(counted(ord("W"), cred))
            out.append(counted(ord("R"), rel.encode()))
            made += 1
    # Directories (d, p) and the start-up configuration, under the platform.
    out.append(counted(ord("S"), sources[0]))
    for kind, rel in [(2, "opt/base"), (4, "opt/apps")]:
        out.append(b"X %d " % kind + counted(ord("W"), b"tcb") + counted(ord("R"), rel.encode()))
    init_conf = b"# services started at boot\nstart on startup\n"
    with open(os.path.join(args.image, "etc/init.conf"), "wb") as f:
        f.write(init_conf)
    out.append(b"H 40 %s\n" % hashlib.sha1(init_conf).hexdigest().encode())
    out.append(counted(ord("R"), b"etc/init.conf"))
    for rel in args.existing:
        with open(os.path.join(args.image, rel), "rb") as f:
            digest = hashlib.sha1(f.read()).hexdigest().encode()
        out.append(b"X 0 A 0 0 0 H 40 %s\n" % digest + counted(ord("R"), rel.encode()))
    os.makedirs(os.path.join(args.image, "etc"), exist_ok=True)
    text = b"".join(out)
    with open(os.path.join(args.image, "etc/refhashlist"), "wb") as f:
        f.write(text)
    vdata = os.path.join(args.image, "etc/tarvo_vdata")
    if os.path.exists(vdata):
        lines = {}
        with open(vdata, "rb") as f:
            for line in f.read().splitlines():
                digest, path = line.split(b"  ", 1)
                lines[path] = digest
        lines[b"/etc/refhashlist"] = hashlib.sha1(text).hexdigest().encode()
        with open(vdata, "wb") as f:
            for path in sorted(lines):
                f.write(lines[path] + b"  " + path + b"\n")


if __name__ == "__main__":
    main()
