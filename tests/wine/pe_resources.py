#!/usr/bin/env python3
"""Reads the resource directory of a PE file, names as they are stored.

    pe_resources.py list EXE
        one JSON line per resource: {"type":T,"name":N,"language":L,"size":S},
        where T and N are numbers, or texts for named entries
    pe_resources.py group EXE TYPE NAME
        the entries of an icon group (TYPE 14, NAME a number or a text), one
        JSON line each: {"width":W,"height":H,"colors":C,"planes":P,
        "bits":B,"bytes":S,"id":I} (width and height 0 stand for 256)
    pe_resources.py data EXE TYPE NAME
        the bytes of the one resource of that type and name, to standard output

wrestool prints the name of a named entry in a named type wrongly, so the
names are read here from the directory itself.
"""
import json
import struct
import sys


class Image:
    def __init__(self, path):
        with open(path, "rb") as stream:
            self.data = stream.read()
        if self.data[:2] != b"MZ":
            raise SystemExit(f"{path}: not an MZ executable")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva = struct.unpack_from("<I", self.data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for index in range(sections):
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
                "<IIII", self.data, table + 40 * index + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))
        if self.resource_rva == 0:
            raise SystemExit(f"{path}: no resource directory")
        self.base = self.offset_of(self.resource_rva)

    def offset_of(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise SystemExit(f"RVA 0x{rva:x} is in no section")

    def directory(self, offset):
        """(id or name, is_directory, target offset) for each entry."""
        named, numbered = struct.unpack_from("<12xHH", self.data, offset)
        entries = []
        for index in range(named + numbered):
            key, target = struct.unpack_from("<II", self.data, offset + 16 + 8 * index)
            if key & 0x80000000:
                at = self.base + (key & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            entries.append((key, bool(target & 0x80000000), target & 0x7FFFFFFF))
        return entries

    def resources(self):
        for kind, _, types in self.directory(self.base):
            for name, _, names in self.directory(self.base + types):
                for language, is_directory, leaf in self.directory(self.base + names):
                    if is_directory:
                        raise SystemExit("a fourth directory level")
                    rva, size = struct.unpack_from("<II", self.data, self.base + leaf)
                    start = self.offset_of(rva)
                    yield kind, name, language, self.data[start:start + size]


def main(argv):
    if len(argv) == 3 and argv[1] == "list":
        for kind, name, language, data in Image(argv[2]).resources():
            print(json.dumps({"type": kind, "name": name, "language": language, "size": len(data)}))
        return 0
    if len(argv) == 5 and argv[1] in ("group", "data"):
        want_type = int(argv[3]) if argv[3].isdigit() else argv[3]
        want_name = int(argv[4]) if argv[4].isdigit() else argv[4]
        found = [data for kind, name, _, data in Image(argv[2]).resources()
                 if kind == want_type and name == want_name]
        if len(found) != 1:
            print(f"{len(found)} entries of type {argv[3]} named {argv[4]}", file=sys.stderr)
            return 1
        if argv[1] == "data":
            sys.stdout.buffer.write(found[0])
            return 0
        group = found[0]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        if reserved != 0 or kind != 1 or len(group) != 6 + 14 * count:
            print(f"not an icon group: reserved {reserved}, type {kind}, {count} entries in"
                  f" {len(group)} bytes", file=sys.stderr)
            return 1
        for index in range(count):
            width, height, colors, _, planes, bits, size, icon = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * index)
            print(json.dumps({"width": width, "height": height, "colors": colors, "planes": planes,
                              "bits": bits, "bytes": size, "id": icon}))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
