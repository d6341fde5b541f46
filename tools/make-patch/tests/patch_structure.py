"""Holds a patch package (.msp) against what Windows Installer documents for
patch packages and patch transforms, read with olefile and msiinfo, not with
the code that wrote it.

    patch_structure.py PATCH.msp     prints one line per problem, exit 1 if any
"""
import re
import struct
import subprocess
import sys

import olefile

PATCH_CLSID = "000C1086-0000-0000-C000-000000000046"
TRANSFORM_CLSID = "000C1082-0000-0000-C000-000000000046"
SUMMARY = "\x05SummaryInformation"
GUID = r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}"
VERSION = r"[0-9]{1,5}(\.[0-9]{1,5}){0,3}"
VT_I2, VT_I4, VT_LPSTR, VT_FILETIME = 2, 3, 30, 64

# Property id -> (name, type, required) for a patch package and a transform.
PATCH_PROPERTIES = {
    1: ("Codepage", VT_I2, False), 2: ("Title", VT_LPSTR, False), 3: ("Subject", VT_LPSTR, False),
    4: ("Author", VT_LPSTR, False), 5: ("Keywords", VT_LPSTR, False), 6: ("Comments", VT_LPSTR, False),
    7: ("Template", VT_LPSTR, True),
    8: ("Last Saved By", VT_LPSTR, True), 9: ("Revision Number", VT_LPSTR, True),
    12: ("Create Time/Date", VT_FILETIME, False), 13: ("Last Saved Time/Date", VT_FILETIME, False),
    15: ("Word Count", VT_I4, True), 18: ("Creating Application", VT_LPSTR, False),
    19: ("Security", VT_I4, False),
}
TRANSFORM_PROPERTIES = {
    1: ("Codepage", VT_I2, False), 2: ("Title", VT_LPSTR, False), 4: ("Author", VT_LPSTR, False),
    7: ("Template", VT_LPSTR, True), 8: ("Last Saved By", VT_LPSTR, False),
    9: ("Revision Number", VT_LPSTR, True), 12: ("Create Time/Date", VT_FILETIME, False),
    14: ("Page Count", VT_I4, True), 16: ("Character Count", VT_I4, True),
    18: ("Creating Application", VT_LPSTR, False), 19: ("Security", VT_I4, False),
}
# Validation in the high word of Character Count: product code, major,
# minor and update version equal to the base version, upgrade code.
TRANSFORM_VALIDATION = 0x0922
TRANSFORM_ERROR_CONDITIONS = 0x001F


def read_property_set(data):
    """{pid: (type, value)} of the first section of a property set stream."""
    (offset,) = struct.unpack_from("<I", data, 44)
    size, count = struct.unpack_from("<II", data, offset)
    properties = {}
    for index in range(count):
        pid, at = struct.unpack_from("<II", data, offset + 8 + 8 * index)
        (vt,) = struct.unpack_from("<I", data, offset + at)
        body = offset + at + 4
        if vt == VT_I2:
            value = struct.unpack_from("<h", data, body)[0]
        elif vt == VT_I4:
            value = struct.unpack_from("<i", data, body)[0]
        elif vt == VT_FILETIME:
            value = struct.unpack_from("<Q", data, body)[0]
        elif vt == VT_LPSTR:
            (length,) = struct.unpack_from("<I", data, body)
            value = data[body + 4:body + 4 + length].rstrip(b"\0").decode("latin-1")
        else:
            value = None
        properties[pid] = (vt, value)
    return properties


def check_properties(label, properties, expected):
    problems = []
    for pid, (vt, _) in sorted(properties.items()):
        if pid not in expected:
            problems.append(f"{label}: property {pid} is not one this kind of file carries")
        elif expected[pid][1] != vt:
            problems.append(f"{label}: {expected[pid][0]} has type {vt}, documented {expected[pid][1]}")
    for pid, (name, _, required) in expected.items():
        if required and pid not in properties:
            problems.append(f"{label}: the required {name} is missing")
    return problems


def decode_name(name):
    """The readable form of an encoded stream name ('!' marks a table)."""
    def char(x):
        return "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"[x]
    out = ""
    for ch in name:
        c = ord(ch)
        if c == 0x4840:
            out += "!"
        elif 0x4800 <= c < 0x4840:
            out += char(c - 0x4800)
        elif 0x3800 <= c < 0x4800:
            out += char((c - 0x3800) & 0x3F) + char(((c - 0x3800) >> 6) & 0x3F)
        else:
            out += ch
    return out


def read_strings(ole, storage):
    """The string pool of a transform: [None, text1, text2, ...]."""
    streams = {decode_name(e[-1]): e for e in ole.listdir() if len(e) == 2 and e[0] == storage}
    pool = ole.openstream(streams["!_StringPool"]).read()
    data = ole.openstream(streams["!_StringData"]).read()
    strings, at, i = [None], 0, 4
    while i < len(pool):
        length, refs = struct.unpack_from("<HH", pool, i)
        i += 4
        if length == 0 and refs != 0:
            low, high = struct.unpack_from("<HH", pool, i)
            length, i = low | (high << 16), i + 4
        strings.append(data[at:at + length].decode("cp1252", "replace"))
        at += length
    return strings, streams


def check_patch_transform(ole, storage, patch_code, root_streams):
    """The patch transform: a PatchPackage row naming the patch, and the
    media whose cabinet is a stream of the patch."""
    problems = []
    strings, streams = read_strings(ole, storage)
    if "!PatchPackage" not in streams:
        return [f"{storage}: no PatchPackage table (Windows Installer refuses the patch with error 2768)"]
    rows = ole.openstream(streams["!PatchPackage"]).read()
    mask, patch_id, media = struct.unpack_from("<HHH", rows, 0)
    if mask != 0x0201 or strings[patch_id] != patch_code:
        problems.append(f"{storage}: PatchPackage row {strings[patch_id]!r}, expected {patch_code}")
    media_rows = ole.openstream(streams["!Media"]).read() if "!Media" in streams else b""
    if len(media_rows) < 16:
        problems.append(f"{storage}: no Media row for the patch's own media")
    else:
        mask, disk, last, prompt, cabinet, volume, source = struct.unpack_from("<HHIHHHH", media_rows, 0)
        if disk - 0x8000 != media - 0x8000:
            problems.append(f"{storage}: PatchPackage names disk {media - 0x8000}, the media row is {disk - 0x8000}")
        if cabinet and (not strings[cabinet].startswith("#") or strings[cabinet][1:] not in root_streams):
            problems.append(f"{storage}: cabinet {strings[cabinet]!r} is not a stream of the patch")
        if not source:
            problems.append(f"{storage}: the patch media name no Source property")
    return problems


def msiinfo_rows(patch, table):
    out = subprocess.run(["msiinfo", "export", patch, table], capture_output=True, check=True).stdout
    return [line.split("\t") for line in out.decode("cp1252").replace("\r", "").split("\n")[3:] if line]


def check_patch(patch):
    problems = []
    ole = olefile.OleFileIO(patch)
    if ole.root.clsid != PATCH_CLSID:
        problems.append(f"root class {ole.root.clsid}, a patch is {PATCH_CLSID}")
    summary = read_property_set(ole.openstream(SUMMARY).read())
    problems += check_properties("patch summary", summary, PATCH_PROPERTIES)
    value = {pid: v for pid, (_, v) in summary.items()}
    if not re.fullmatch(f"{GUID}(;{GUID})*", value.get(7, "")):
        problems.append(f"Template {value.get(7)!r} is not a list of product codes")
    if not re.fullmatch(f"({GUID})+", value.get(9, "")):
        problems.append(f"Revision Number {value.get(9)!r} does not start with the patch code")
    if value.get(15) != 4:
        problems.append(f"Word Count {value.get(15)} with MsiPatchSequence; Windows Installer 3.0 patches say 4")
    if "Patch" not in value.get(2, ""):
        problems.append(f"Title {value.get(2)!r} does not say Patch")
    patch_code = value.get(9, "")[:38]
    targets = value.get(7, "").split(";")

    storages = {e[0] for e in ole.listdir(streams=False, storages=True) if len(e) == 1}
    root_streams = {decode_name(e[0]) for e in ole.listdir() if len(e) == 1}
    listed = [name[1:] for name in value.get(8, "").split(";") if name]
    if not value.get(8, "").startswith(":") or any(not n for n in listed):
        problems.append(f"Last Saved By {value.get(8)!r} is not a list of :substorage names")
    for name in sorted(storages - set(listed)):
        problems.append(f"substorage {name} is not in the transform list")
    for name in listed:
        if name not in storages:
            problems.append(f"transform {name} of Last Saved By is not in the patch")
            continue
        if ole.getclsid(name) != TRANSFORM_CLSID:
            problems.append(f"transform {name} has class {ole.getclsid(name)}, a transform is {TRANSFORM_CLSID}")
        properties = read_property_set(ole.openstream([name, SUMMARY]).read())
        problems += check_properties(f"transform {name}", properties, TRANSFORM_PROPERTIES)
        tvalue = {pid: v for pid, (_, v) in properties.items()}
        revision = re.fullmatch(f"({GUID})({VERSION});({GUID})({VERSION});({GUID})", tvalue.get(9, ""))
        if not revision:
            problems.append(f"transform {name}: Revision Number {tvalue.get(9)!r} is not old;new;upgrade code")
        elif revision.group(1) not in targets:
            problems.append(f"transform {name}: product {revision.group(1)} is not a target of the patch")
        flags = tvalue.get(16, 0) & 0xFFFFFFFF
        if (flags >> 16, flags & 0xFFFF) != (TRANSFORM_VALIDATION, TRANSFORM_ERROR_CONDITIONS):
            problems.append(f"transform {name}: Character Count {flags:#010x}, expected "
                            f"{(TRANSFORM_VALIDATION << 16) | TRANSFORM_ERROR_CONDITIONS:#010x}")
        if not re.fullmatch(r"[^;]*;[0-9]+", tvalue.get(7, "")):
            problems.append(f"transform {name}: Template {tvalue.get(7)!r} is not platform;language")
        if name.startswith("#"):
            problems += check_patch_transform(ole, name, patch_code, root_streams)

    tables = subprocess.run(["msiinfo", "tables", patch], capture_output=True, text=True, check=True).stdout.split()
    for table in ("MsiPatchMetadata", "MsiPatchSequence"):
        if table not in tables:
            problems.append(f"the patch carries no {table} table")
    if "MsiPatchMetadata" in tables:
        metadata = {row[1]: row[2] for row in msiinfo_rows(patch, "MsiPatchMetadata") if row[0] == ""}
        for required in ("Classification", "DisplayName", "AllowRemoval"):
            if not metadata.get(required):
                problems.append(f"MsiPatchMetadata has no {required}")
        if metadata.get("AllowRemoval") not in ("0", "1"):
            problems.append(f"AllowRemoval is {metadata.get('AllowRemoval')!r}")
    if "MsiPatchSequence" in tables:
        for family, product, sequence, *_ in msiinfo_rows(patch, "MsiPatchSequence"):
            if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", family) or not re.fullmatch(VERSION, sequence):
                problems.append(f"MsiPatchSequence row {family!r} {sequence!r}")
            if product and product not in targets:
                problems.append(f"MsiPatchSequence names {product}, which the patch does not target")
    return problems


if __name__ == "__main__":
    found = check_patch(sys.argv[1])
    for problem in found:
        print(problem)
    sys.exit(1 if found else 0)
