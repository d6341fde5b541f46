#!/usr/bin/python3
"""Lays out the administrative image of a compressed product package, as
an administrative installation ("msiexec /a PACKAGE TARGETDIR=FOLDER")
leaves it, for the tests: Wine 8's msiexec cannot make one (1626).

    make-admin-image.py PACKAGE FOLDER

FOLDER gets a copy of PACKAGE under its own name whose Word Count summary
property is 4 (an administrative image with long file names, its files
matching the tree of the Directory table) and from which the cabinets in
streams are removed (InstallAdminPackage); its Media rows stay as they are.
Every file of the File table is written uncompressed to the folder that
the Directory table gives its component, by the source names of each
directory (DefaultDir "target:source", long names of "short|long", "."
adding no folder of its own; the root is FOLDER itself).

Needs msitools (msiinfo, msibuild), gcab and python3-olefile.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import olefile

WORD_COUNT = 15
ADMINISTRATIVE_IMAGE_LONG_NAMES = 4
VT_I4 = 3


def table(package, name):
    """The rows of a table as dicts; [] when the package lacks it."""
    if name not in subprocess.run(["msiinfo", "tables", package], capture_output=True, text=True,
                                  check=True).stdout.split():
        return []
    lines = subprocess.run(["msiinfo", "export", package, name], capture_output=True, check=True).stdout
    lines = lines.decode("utf-8").split("\r\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def long_name(names):
    name = names.split("|")[-1]
    return "" if name == "." else name


def source_folders(package):
    """Directory key -> folder relative to the image's root."""
    rows = {row["Directory"]: row for row in table(package, "Directory")}
    folders = {}

    def folder(key):
        if key not in folders:
            row = rows[key]
            parent = row["Directory_Parent"]
            if not parent or parent == key:
                folders[key] = ""
            else:
                names = row["DefaultDir"].split(":")[-1]
                folders[key] = os.path.join(folder(parent), long_name(names))
        return folders[key]

    for key in rows:
        folder(key)
    return folders


def set_word_count(package, value):
    """Rewrites the Word Count of the summary information in place (an
    integer property keeps its size)."""
    with olefile.OleFileIO(package, write_mode=True) as ole:
        stream = ole.openstream("\x05SummaryInformation").read()
        section = struct.unpack_from("<I", stream, 44)[0]
        count = struct.unpack_from("<I", stream, section + 4)[0]
        for i in range(count):
            pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
            if pid == WORD_COUNT:
                at = section + offset
                if struct.unpack_from("<I", stream, at)[0] != VT_I4:
                    sys.exit(f"make-admin-image.py: the Word Count of {package} is not a 4-byte integer")
                patched = stream[:at + 4] + struct.pack("<i", value) + stream[at + 8:]
                ole.write_stream("\x05SummaryInformation", patched)
                return
    sys.exit(f"make-admin-image.py: {package} has no Word Count to mark as an image")


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    package, folder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, os.path.basename(package))
    shutil.copyfile(package, image)
    with tempfile.TemporaryDirectory() as work:
        streams = []
        for media in table(package, "Media"):
            cabinet = media["Cabinet"]
            if not cabinet:
                continue
            cab = os.path.join(work, "cabinet.cab")
            if cabinet.startswith("#"):
                streams.append(cabinet[1:])
                with open(cab, "wb") as out:
                    subprocess.run(["msiinfo", "extract", package, cabinet[1:]], stdout=out, check=True)
            else:
                shutil.copyfile(os.path.join(os.path.dirname(package), cabinet), cab)
            subprocess.run(["gcab", "-x", "-C", work, cab], check=True, capture_output=True)
            os.remove(cab)
        folders = source_folders(package)
        directory_of = {row["Component"]: row["Directory_"] for row in table(package, "Component")}
        for row in table(package, "File"):
            target = os.path.join(folder, folders[directory_of[row["Component_"]]], long_name(row["FileName"]))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.move(os.path.join(work, row["File"]), target)
    for stream in streams:
        subprocess.run(["msibuild", image, "-q", f"DELETE FROM `_Streams` WHERE `Name` = '{stream}'"], check=True)
    set_word_count(image, ADMINISTRATIVE_IMAGE_LONG_NAMES)
    return 0


if __name__ == "__main__":
    sys.exit(main())
