#!/usr/bin/python3
"""Damaged packages and patches through make-patch and inspect-patch.

Every copy is damaged on purpose in one structure of the file (the compound
file's header, FAT and directory, the string pool, a table, the cabinet, a
size that claims gigabytes), cut short, or has random bytes changed. Each tool
must end with 0, or with 1 and one line that names the file (and, for the
damage aimed at a structure, that structure), within a time bound; never of a
signal, never leaving its output behind.

Where a structure sits is read with olefile, not with our readers.

  damaged_inputs_test.py MAKE_PATCH INSPECT_PATCH WIX_TESTDATA
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import olefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "patch_checker"))
from msi_database import decode_stream_name  # noqa: E402

MAKE_PATCH, INSPECT_PATCH, WIX = sys.argv[1:4]
PACKAGE = os.path.join(WIX, "prodAv100.msi")
PATCH = os.path.join(WIX, "PatchAv101.msp")
TIME_BOUND = 20.0  # seconds a run, on a loaded CI machine
PATCH_CODE = "{D5A1E2C3-0B4F-4E6A-9C8D-7F6E5D4C3B2A}"


class Layout:
    """Where the structures of a compound file sit, by file offset."""

    def __init__(self, path):
        self.path = path
        self.ole = olefile.OleFileIO(path)
        self.sector = self.ole.sectorsize
        self.ole.loadminifat()
        self.entries = {}
        for entry in self.ole.direntries:
            if entry is not None:
                name = decode_stream_name(entry.name)[1]
                self.entries[name] = entry

    def sector_offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start, table):
        sectors = []
        while start < 0xFFFFFFFA and len(sectors) < len(table):
            sectors.append(start)
            start = table[start]
        return sectors

    def stream_offset(self, name, at=0):
        """The file offset of byte `at` of a stream."""
        entry = self.entries[name]
        if entry.size >= self.ole.minisectorcutoff:
            sectors = self.chain(entry.isectStart, self.ole.fat)
            return self.sector_offset(sectors[at // self.sector]) + at % self.sector
        mini = self.chain(entry.isectStart, self.ole.minifat)
        position = mini[at // 64] * 64 + at % 64
        root = self.chain(self.ole.root.isectStart, self.ole.fat)
        return self.sector_offset(root[position // self.sector]) + position % self.sector

    def directory_offset(self, name):
        """The file offset of a stream's directory entry."""
        sid = self.entries[name].sid
        sectors = self.chain(self.ole.first_dir_sector, self.ole.fat)
        per = self.sector // 128
        return self.sector_offset(sectors[sid // per]) + (sid % per) * 128

    def first_fat_sector(self):
        with open(self.path, "rb") as file:
            return struct.unpack_from("<I", file.read(512), 0x4C)[0]


def put(data, offset, raw):
    data[offset:offset + len(raw)] = raw


def damaged_packages(good):
    """(what, bytes, the part the refusal must name or None)"""
    layout = Layout(PACKAGE)
    cab = layout.stream_offset("product.cab")
    fat = layout.sector_offset(layout.first_fat_sector())
    cases = []

    def case(what, part, change):
        data = bytearray(good)
        change(data)
        cases.append((what, bytes(data), part))

    case("header signature", "its compound file", lambda d: put(d, 0, b"NOTOLE2!"))
    case("sector shift of 2^30", "its compound file", lambda d: put(d, 0x1E, struct.pack("<H", 30)))
    case("FAT entry past the end", "", lambda d: put(d, fat + 4 * 3, struct.pack("<I", 0x00FFFFF0)))
    case("FAT loop", "", lambda d: put(d, fat + 4 * 3, struct.pack("<I", 3)))
    case("directory name length", "its compound file",
         lambda d: put(d, layout.directory_offset("File") + 64, struct.pack("<H", 0xFFF0)))
    case("directory loop", "its compound file",
         lambda d: put(d, layout.directory_offset("File") + 68,
                       struct.pack("<I", layout.entries["File"].sid)))
    case("stream claiming 4 GB", "", lambda d: put(d, layout.directory_offset("product.cab") + 120,
                                                    struct.pack("<I", 0xFFFFFF00)))
    case("string pool entry longer than the strings", "its string pool",
         lambda d: put(d, layout.stream_offset("_StringPool", 4), struct.pack("<H", 0xFFFF)))
    case("table File names a string the pool lacks", "table File",
         lambda d: put(d, layout.stream_offset("File", 0), struct.pack("<H", 0xFFF0)))
    case("table _Columns numbers a column 16000", "table _Columns",
         lambda d: put(d, layout.stream_offset("_Columns", 2 * layout.entries["_Columns"].size // 8),
                       struct.pack("<H", 0x8000 + 16000)))
    case("cabinet signature", "cabinet product.cab", lambda d: put(d, cab, b"XXXX"))
    # The first file entry of the cabinet: its size claims nearly 4 GB.
    first_file = cab + struct.unpack_from("<I", good, cab + 16)[0]
    case("cabinet file claiming 4 GB", "cabinet product.cab",
         lambda d: put(d, first_file, struct.pack("<I", 0xFFFFFFF0)))
    case("cabinet's blocks claiming more than a block", "cabinet product.cab",
         lambda d: put(d, cab + struct.unpack_from("<I", good, cab + 36)[0] + 6, struct.pack("<H", 0xFFFF)))
    for cut in (0, 100, 512, 1536, len(good) // 2, len(good) - 1):
        cases.append((f"cut short at {cut} bytes", good[:cut], None))
    generator = random.Random(26)
    for n in range(40):
        data = bytearray(good)
        for _ in range(generator.randint(1, 8)):
            data[generator.randrange(len(data))] = generator.randrange(256)
        if n % 5 == 4:
            data = data[:generator.randrange(len(data))]
        cases.append((f"random bytes, copy {n}", bytes(data), None))
    return cases


def damaged_patches(good):
    cases = [("patch header", b"\0" * 8 + good[8:], "its compound file"),
             ("patch cut short at half", good[:len(good) // 2], None),
             ("patch cut short at 700", good[:700], None)]
    generator = random.Random(2626)
    for n in range(20):
        data = bytearray(good)
        for _ in range(generator.randint(1, 8)):
            data[generator.randrange(len(data))] = generator.randrange(256)
        cases.append((f"patch, random bytes, copy {n}", bytes(data), None))
    return cases


def run(command, workdir):
    start = time.monotonic()
    result = subprocess.run(command, cwd=workdir, capture_output=True, timeout=TIME_BOUND * 3)
    return result, time.monotonic() - start


def judge(failures, tool, what, result, elapsed, named, part, output=None):
    if tool == "inspect-patch" and part and part.startswith("cabinet"):
        part = None  # it reads an old package's tables, not its cabinets
    lines = result.stderr.decode("utf-8", "replace").splitlines()
    problem = None
    if result.returncode < 0:
        problem = f"died of signal {-result.returncode}"
    elif result.returncode not in (0, 1):
        problem = f"exit code {result.returncode}"
    elif elapsed > TIME_BOUND:
        problem = f"took {elapsed:.1f} s"
    elif result.returncode == 1:
        if len(lines) != 1:
            problem = f"{len(lines)} lines on stderr: {lines[:4]}"
        elif named not in lines[0]:
            problem = f"the line does not name {named}: {lines[0]}"
        elif part and (part not in lines[0] or "damaged" not in lines[0]):
            problem = f"the line does not say that {part} is damaged: {lines[0]}"
        elif output and os.path.exists(output):
            problem = "its output was left behind"
    elif part is not None:
        problem = f"accepted a package whose {part or 'compound file'} is damaged"
    if problem:
        failures.append(f"{tool}, {what}: {problem}")


def main():
    failures = []
    work = tempfile.mkdtemp(prefix="damaged-")
    try:
        good = open(PACKAGE, "rb").read()
        # A newer version of the same package: the pair make-patch is given.
        newer = os.path.join(work, "newer.msi")
        shutil.copy(PACKAGE, newer)
        os.chmod(newer, 0o644)
        subprocess.run(["msibuild", newer, "-q",
                        "UPDATE `Property` SET `Value` = '1.0.1.0' WHERE `Property` = 'ProductVersion'"], check=True)
        for what, data, part in damaged_packages(good):
            damaged = os.path.join(work, "damaged.msi")
            with open(damaged, "wb") as out:
                out.write(data)
            output = os.path.join(work, "out.msp")
            result, elapsed = run([MAKE_PATCH, "--patch-code", PATCH_CODE, "--output", output, damaged, newer], work)
            judge(failures, "make-patch", what, result, elapsed, "damaged.msi", part, output)
            if os.path.exists(output):
                os.remove(output)
            result, elapsed = run([INSPECT_PATCH, PATCH, damaged], work)
            judge(failures, "inspect-patch", what, result, elapsed, "damaged.msi", part)
        patch = open(PATCH, "rb").read()
        for what, data, part in damaged_patches(patch):
            damaged = os.path.join(work, "damaged.msp")
            with open(damaged, "wb") as out:
                out.write(data)
            result, elapsed = run([INSPECT_PATCH, "--json", damaged, PACKAGE], work)
            judge(failures, "inspect-patch", what, result, elapsed, "damaged.msp", part)
        leftovers = [name for name in os.listdir(work) if name.startswith(".make-patch-")]
        if leftovers:
            failures.append(f"scratch folders left behind: {leftovers}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
