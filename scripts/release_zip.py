#!/usr/bin/env python3
"""Zips a folder the same way every time: release_zip.py BASE FOLDER OUT.zip

The entries are FOLDER/ and its files below BASE, sorted by name, each with the time
SOURCE_DATE_EPOCH (zip keeps local time in 2-second steps, taken here as UTC), the
mode 0644 (folders 0755), made on "Unix", deflated at level 9 (folders stored), with no extra fields.
"""
import os
import sys
import time
import zipfile


def entry(name, epoch, mode, is_dir):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(max(epoch, 315532800))[:6])
    info.create_system = 3
    info.external_attr = ((0o040000 if is_dir else 0o100000) | mode) << 16
    if is_dir:
        info.external_attr |= 0x10
    info.compress_type = zipfile.ZIP_STORED if is_dir else zipfile.ZIP_DEFLATED
    return info


def main():
    base, folder, out = sys.argv[1:4]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    root = os.path.join(base, folder)
    names = []
    for top, dirs, files in os.walk(root):
        dirs.sort()
        rel = os.path.relpath(top, base)
        names.append((rel + "/", None))
        for f in sorted(files):
            names.append((rel + "/" + f, os.path.join(top, f)))
    names.sort(key=lambda n: n[0])
    tmp = out + ".part"
    with zipfile.ZipFile(tmp, "w", compresslevel=9) as z:
        for name, path in names:
            if path is None:
                z.writestr(entry(name, epoch, 0o755, True), b"")
            else:
                with open(path, "rb") as f:
                    z.writestr(entry(name, epoch, 0o644, False), f.read(), compresslevel=9)
    os.replace(tmp, out)


if __name__ == "__main__":
    main()
