"""Compares a patched product's database with the package it should equal,
and checks the files the patches carry.

What patching adds by design, and is therefore excused, by Microsoft's page
titles:
- "Patch Packages", "PatchPackage Table", "Patch Table", "MsiPatchHeaders
  Table": the rows of PatchPackage, Patch and MsiPatchHeaders (tables only
  patching fills).
- "ImageFamilies Table (Patchwiz.dll)", "Media Table": the Media row of each
  applied patch (its Cabinet is "#" and a cabinet stream of that patch) and
  the property its Source names, when the Property table holds it.
- "File Table": File.Sequence (the installer renumbers each patch's files,
  and the new package numbers its own), and msidbFileAttributesPatchAdded
  (0x1000) of File.Attributes.
- "PATCHNEWPACKAGECODE property", "PATCHNEWSUMMARYSUBJECT property",
  "PATCHNEWSUMMARYCOMMENTS property": properties a patch adds for the
  installer.
- "PatchFiles Action": its rows in InstallExecuteSequence and
  AdminExecuteSequence.
- The product's own Media rows: a patch carries its files on its own media,
  so the new package's media rows (new cabinets, other LastSequence) never
  reach the installed product; differences there are notes, not problems.
Everything else must be equal, table by table, column by column; a table
that exists on one side only is a problem unless it is empty.

The files a patch carries (rows of File whose size, version or hash the
patches changed, and new rows) must point, by their Sequence, past every
media row of the product's own, into a patch's media, and the cabinet of
that patch must hold a file of that name and size ("Microsoft Cabinet
Format": CFHEADER, CFFILE). A versioned file whose version does not rise is
not replaced ("File Versioning Rules": with REINSTALLMODE "o", the patching
default, an installed file is replaced only when its version is lower).
"""

from msi_transform import format_key, parse_version

PATCH_TABLES = frozenset(["PatchPackage", "Patch", "MsiPatchHeaders"])
PATCH_PROPERTIES = frozenset(["PATCHNEWPACKAGECODE", "PATCHNEWSUMMARYSUBJECT", "PATCHNEWSUMMARYCOMMENTS"])
PATCH_ADDED = 0x1000


class PatchMedia:
    """The Media rows and cabinets of the patches applied to a product."""

    def __init__(self, sequence):
        self.rows = set()       # (DiskId, Cabinet) of each patch media row
        self.sources = set()
        self.cabinets = {}      # (patch code, stream) -> {file: size}
        for item in sequence.applied:
            for stream, files in item.patch.cabinet_files.items():
                self.cabinets[(item.code, stream)] = files or {}
            for media in item.patch.media:
                if media.cabinet_stream:
                    self.rows.add((media.disk_id, media.cabinet))
                if media.source:
                    self.sources.add(media.source)

    def is_patch_media_row(self, row, columns):
        return (row[_index(columns, "DiskId")], row[_index(columns, "Cabinet")]) in self.rows


def _index(columns, name):
    for i, c in enumerate(columns):
        if c.name == name:
            return i
    return None


def _excused_extra_row(table, key, row, media):
    """Why a row the patched product has, and the new package lacks, is
    patching's own (None when it is not)."""
    if table.name in PATCH_TABLES:
        return "a %s row of the patch" % table.name
    if table.name == "Media" and media.is_patch_media_row(row, table.columns):
        return "the patch's media"
    if table.name == "Property" and (key[0] in PATCH_PROPERTIES or key[0] in media.sources):
        return "a property of patching"
    if table.name in ("InstallExecuteSequence", "AdminExecuteSequence") and key == ("PatchFiles",):
        return "the PatchFiles action"
    return None


def compare_databases(result, expected, media):
    """(problems, notes): how `result` (the patched product) differs from
    `expected` (the new package)."""
    problems, notes = [], []
    for name in sorted(set(result.tables) | set(expected.tables)):
        got, want = result.tables.get(name), expected.tables.get(name)
        if got is None or want is None:
            present = got or want
            side = "the patched product" if want is None else "the new package"
            if name in PATCH_TABLES and want is None:
                notes.append("table %s: only in the patched product (patching's own)" % name)
            elif not present.rows:
                notes.append("table %s: only in %s, empty" % (name, side))
            else:
                problems.append("table %s: only in %s (%d rows)" % (name, side, len(present.rows)))
            continue
        if got.columns != want.columns:
            problems.append("table %s: columns %s after the patches, %s in the new package" %
                            (name, got.columns, want.columns))
            continue
        _compare_rows(got, want, media, problems, notes)
    return problems, notes


def _compare_rows(got, want, media, problems, notes):
    name = got.name
    own_media = name == "Media"
    for key in sorted(set(got.rows) | set(want.rows), key=_sort_key):
        a, b = got.rows.get(key), want.rows.get(key)
        where = "%s %s" % (name, format_key(key))
        if b is None:
            reason = _excused_extra_row(got, key, a, media)
            if reason:
                notes.append("%s: only after the patches (%s)" % (where, reason))
            elif own_media:
                notes.append("%s: only after the patches (the product's own media)" % where)
            else:
                problems.append("%s: only after the patches" % where)
            continue
        if a is None:
            (notes if own_media else problems).append("%s: only in the new package" % where)
            continue
        for i, column in enumerate(got.columns):
            x, y = a[i], b[i]
            if name == "File" and column.name == "Sequence":
                continue
            if name == "File" and column.name == "Attributes" and x is not None and y is not None:
                x, y = x & ~PATCH_ADDED, y & ~PATCH_ADDED
            if x != y:
                text = "%s: %s %s after the patches, %s in the new package" % (where, column.name, _show(x), _show(y))
                (notes if own_media else problems).append(text)


def _sort_key(key):
    return tuple((v is None, str(v)) for v in key)


def _show(value):
    if value is None:
        return "Null"
    if isinstance(value, bytes):
        return "<%d bytes>" % len(value)
    return repr(value)


def check_carried_files(base, result, media):
    """Problems of the files the patches change: whether they travel in a
    patch's media, in its cabinet, and whether the installer would replace
    the installed copy."""
    problems = []
    before, after = base.tables.get("File"), result.tables.get("File")
    if after is None:
        return problems
    columns = after.columns
    seq, size, version = _index(columns, "Sequence"), _index(columns, "FileSize"), _index(columns, "Version")
    own_last = _own_media_last_sequence(result, media)
    for key, row in sorted(after.rows.items(), key=lambda kv: _sort_key(kv[0])):
        old = before.rows.get(key) if before is not None else None
        if old is not None and not _file_changed(base, result, key, old, row, size, version):
            continue
        where = "File %s" % format_key(key)
        delta = _patch_rows(result, key[0]) if old is not None else []
        if delta:
            # "Patch Table": the PatchFiles action applies the patch the
            # patch's media carry (at the row's Sequence, in the cabinet
            # under the file's key, PatchSize bytes) to the installed copy.
            problems += _check_delta(result, where, key[0], delta, own_last, media)
        elif row[seq] is None or row[seq] <= own_last:
            problems.append("%s: %s by the patches but its Sequence %s lies in the product's own media "
                            "(up to %d): the installer looks for it on the original source" %
                            (where, "changed" if old else "added", row[seq], own_last))
        else:
            found = [sizes for sizes in media.cabinets.values() if key[0] in sizes]
            if not found:
                problems.append("%s: no cabinet of the applied patches holds it" % where)
            elif all(sizes[key[0]] != row[size] for sizes in found):
                problems.append("%s: FileSize %s, the patch's cabinet holds %s bytes" %
                                (where, row[size], ", ".join(str(s[key[0]]) for s in found)))
        if old is not None and version is not None:
            was, now = parse_version(old[version]), parse_version(row[version])
            if was is not None and now is not None and now <= was:
                problems.append("%s: version %s replaces %s; the installer keeps the installed file" %
                                (where, row[version], old[version]))
    return problems


def _patch_rows(database, file_key):
    table = database.tables.get("Patch")
    if table is None:
        return []
    file_, sequence, size = (_index(table.columns, name) for name in ("File_", "Sequence", "PatchSize"))
    return [(row[sequence], row[size]) for row in table.rows.values() if row[file_] == file_key]


def _check_delta(result, where, file_key, rows, own_last, media):
    problems = []
    sequence = result.tables.get("InstallExecuteSequence")
    if sequence is None or not any(row[0] == "PatchFiles" for row in sequence.rows.values()):
        problems.append("%s: travels as a Patch row, but InstallExecuteSequence has no PatchFiles action" % where)
    for number, size in rows:
        if number is None or number <= own_last:
            problems.append("%s: its Patch row's Sequence %s lies in the product's own media (up to %d)" %
                            (where, number, own_last))
        found = [sizes[file_key] for sizes in media.cabinets.values() if file_key in sizes]
        if not found:
            problems.append("%s: no cabinet of the applied patches holds its delta" % where)
        elif size not in found:
            problems.append("%s: PatchSize %s, the patch's cabinet holds %s bytes" %
                            (where, size, ", ".join(str(s) for s in found)))
    return problems


def _own_media_last_sequence(database, media):
    table = database.tables.get("Media")
    if table is None:
        return 0
    last = _index(table.columns, "LastSequence")
    values = [row[last] or 0 for row in table.rows.values() if not media.is_patch_media_row(row, table.columns)]
    return max(values, default=0)


def _file_changed(base, result, key, old, row, size, version):
    if old[size] != row[size] or (version is not None and old[version] != row[version]):
        return True
    hashes_before, hashes_after = base.tables.get("MsiFileHash"), result.tables.get("MsiFileHash")
    hash_before = hashes_before.rows.get(key) if hashes_before else None
    hash_after = hashes_after.rows.get(key) if hashes_after else None
    return hash_before != hash_after
