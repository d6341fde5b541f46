#!/usr/bin/python3
"""Builds a product package of many or large files, with wixl, for the
make-patch benchmark and the tests of delta patches: one cabinet beside the
package (a compound file cannot hold more than 2 GB, so large products keep
their cabinets outside).

    big-product.py --version V --files N --size BYTES [--large BYTES]
                   [--change K] [--change-bytes B] OUTPUT.msi

N files of BYTES each (one of them --large bytes instead, when given), in
components of 100 files each, one feature. Their contents are deterministic
and compress to about half, as program files do (every 32 KiB are 16 KiB
of pseudo-random bytes twice). With --change K, the first K files (the large
one among them) differ from the files of a build without it in B bytes
(default 4096), at their middle: the new version of the pair.
"""
import argparse
import hashlib
import os
import random
import subprocess
import sys
import tempfile

CODE = "{B16B16B1-6000-4000-8000-00000000B16B}"
BLOCK = 32768


def guid(*parts):
    digest = hashlib.md5("/".join(parts).encode()).hexdigest().upper()
    return "{%s-%s-%s-%s-%s}" % (digest[:8], digest[8:12], digest[12:16], digest[16:20], digest[20:32])


def write_content(path, seed, size, changed_bytes):
    rng = random.Random(seed)
    with open(path, "wb") as out:
        written = 0
        middle = size // 2
        while written < size:
            half = rng.randbytes(BLOCK // 2)
            block = half + half
            piece = block[: size - written]
            if changed_bytes and written <= middle < written + len(piece):
                at = middle - written
                count = min(changed_bytes, len(piece) - at)
                piece = piece[:at] + bytes(b ^ 0x5A for b in piece[at:at + count]) + piece[at + count:]
            out.write(piece)
            written += len(piece)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--large", type=int, default=0)
    parser.add_argument("--change", type=int, default=0)
    parser.add_argument("--change-bytes", type=int, default=4096)
    parser.add_argument("output")
    args = parser.parse_args()

    output = os.path.abspath(args.output)
    work = tempfile.mkdtemp(prefix="big-product-", dir=os.path.dirname(output))
    components = []
    for index in range(args.files):
        name = "f%05d.bin" % index
        size = args.large if (args.large and index == 0) else args.size
        changed = args.change_bytes if index < args.change else 0
        write_content(os.path.join(work, name), index, size, changed)
        if index % 100 == 0:
            components.append([])
        components[-1].append(name)

    wxs = ['<?xml version="1.0" encoding="utf-8"?>',
           '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
           '<Product Id="%s" Name="Quorvel Bench" Language="1033" Codepage="1252" Version="%s" '
           'Manufacturer="Korvanta" UpgradeCode="%s">' % (CODE, args.version, guid("bench", "upgrade")),
           '<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>',
           '<Media Id="1" Cabinet="product.cab" EmbedCab="no"/>',
           '<Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFiles64Folder">'
           '<Directory Id="INSTALLDIR" Name="Quorvel Bench">']
    for number, names in enumerate(components):
        wxs.append('<Component Id="C%d" Guid="%s" Win64="yes">' % (number, guid("bench", str(number))))
        for position, name in enumerate(names):
            key = ' KeyPath="yes"' if position == 0 else ""
            wxs.append('<File Id="%s" Name="%s" Source="%s"%s/>' % (name, name, name, key))
        wxs.append('</Component>')
    wxs.append('</Directory></Directory></Directory><Feature Id="Bench" Level="1">')
    wxs += ['<ComponentRef Id="C%d"/>' % number for number in range(len(components))]
    wxs.append('</Feature></Product></Wix>')
    with open(os.path.join(work, "product.wxs"), "w") as out:
        out.write("\n".join(wxs))
    package = os.path.join(work, "out", "product.msi")
    os.makedirs(os.path.dirname(package))
    subprocess.run(["wixl", "-a", "x64", "-o", package, "product.wxs"], cwd=work, check=True)
    # wixl names the cabinet in the Media table but writes none beside the
    # package: gcab makes it, the files in their sequence order.
    names = [name for component in components for name in component]
    subprocess.run(["gcab", "-c", "-z", os.path.join("out", "product.cab"), *names], cwd=work, check=True)
    os.replace(package, output)
    os.replace(os.path.join(work, "out", "product.cab"), os.path.join(os.path.dirname(output), "product.cab"))
    subprocess.run(["rm", "-rf", work], check=True)


if __name__ == "__main__":
    sys.exit(main())
