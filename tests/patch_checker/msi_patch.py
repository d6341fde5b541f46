"""A patch package (.msp): what it targets, its transforms, its media, its
sequencing data, and whether it can be uninstalled.

What Microsoft documents, by page title:
- "Patch Packages": a summary information stream, transform substorages (two
  for each target: the changes of the database, and the patch transform that
  adds the Patch, PatchPackage, Media, InstallExecuteSequence and
  AdminExecuteSequence entries of the patch), cabinet streams.
- "Template Summary": a patch's target product codes, ";"-separated.
  "Revision Number Summary": the patch code, then the codes of the patches it
  makes obsolete (read only for patches without an MsiPatchSequence table).
  "Last Saved By Summary": the transforms in the order they are processed,
  ":"-prefixed names of substorages.
- "MsiPatchMetadata Table" (AllowRemoval, MinorUpdateTargetRTM; "the table
  must be in the database of the patch file and not in a transform") and
  "MsiPatchSequence Table" (PatchFamily, ProductCode, Sequence, Attributes;
  msidbPatchSequenceSupersedeEarlier 0x1; the row of a family whose
  ProductCode is the target wins over the family's row with a Null one).
- "Uninstallable Patches": a patch is not uninstallable without an
  MsiPatchMetadata row {Null} AllowRemoval 1, when it is a major upgrade, or
  when it adds new content to AppId, BindImage, Class, Complus,
  CreateFolder, DuplicateFile, Environment, Extension, Font, IniFile,
  IsolatedComponent, LockPermissions, MsiLockPermissionsEx, MIME, MoveFile,
  MsiServiceConfig, MsiServiceConfigFailureActions, ODBCAttribute,
  ODBCDataSource, ODBCDriver, ODBCSourceAttribute, ODBCTranslator, ProgId,
  PublishComponent, RemoveIniFile, SelfReg, ServiceControl, ServiceInstall,
  TypeLib or Verb. (Rows added to RemoveFile or RemoveRegistry do not mark
  it, although removing what they removed cannot bring it back; not checked.)
- "ImageFamilies Table (Patchwiz.dll)": the patch adds one Media row whose
  Cabinet is "#" and the cabinet's stream name and whose Source is a
  property: "No two patches may have the same source property."
- "Media Table": the columns of the Media row read here.
"""

import re
import struct

from msi_database import (Column, FormatError, Storage, TYPE_KEY, TYPE_STRING, TYPE_VALID, TYPE_NULLABLE,
                          PID_TEMPLATE, PID_LASTAUTHOR, PID_REVNUMBER, PID_TITLE, PID_SUBJECT,
                          SUMMARY_STREAM, open_compound_file, read_database)
from msi_transform import Transform, TRANSFORM_CLSID, parse_version

PATCH_CLSID = "000C1086-0000-0000-C000-000000000046"
SUPERSEDE_EARLIER = 0x1

# "Uninstallable Patches": tables to which an uninstallable patch adds no rows.
NOT_UNINSTALLABLE_TABLES = frozenset("""
    AppId BindImage Class Complus CreateFolder DuplicateFile Environment Extension Font IniFile
    IsolatedComponent LockPermissions MsiLockPermissionsEx MIME MoveFile MsiServiceConfig
    MsiServiceConfigFailureActions ODBCAttribute ODBCDataSource ODBCDriver ODBCSourceAttribute
    ODBCTranslator ProgId PublishComponent RemoveIniFile SelfReg ServiceControl ServiceInstall
    TypeLib Verb""".split())

_S = TYPE_VALID | TYPE_STRING | TYPE_NULLABLE
# "Media Table": the row a patch transform adds; used to read the patch's
# media without a target database at hand.
MEDIA_COLUMNS = [Column("DiskId", TYPE_VALID | TYPE_KEY | 2), Column("LastSequence", TYPE_VALID | 4),
                 Column("DiskPrompt", _S | 64), Column("Cabinet", _S | 255),
                 Column("VolumeLabel", _S | 32), Column("Source", _S | 72)]

_GUID = re.compile(r"\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}")


def cabinet_files(data):
    """{name: uncompressed size} of the files a cabinet lists ("Microsoft
    Cabinet Format": CFHEADER, then the CFFILE entries); None when `data` is
    not a cabinet."""
    if len(data) < 36 or data[:4] != b"MSCF":
        return None
    (first_file,) = struct.unpack_from("<I", data, 16)
    count, flags = struct.unpack_from("<HH", data, 28)
    files = {}
    offset = first_file
    for _ in range(count):
        size, _start, _folder, _date, _time, attributes = struct.unpack_from("<IIHHHH", data, offset)
        end = data.index(b"\0", offset + 16)
        raw = data[offset + 16:end]
        files[raw.decode("utf-8" if attributes & 0x80 else "cp1252", "replace")] = size
        offset = end + 1
    return files


class FamilyRow:
    def __init__(self, family, product_code, sequence, attributes):
        self.family = family
        self.product_code = product_code
        self.sequence = sequence
        self.version = parse_version(sequence)
        self.attributes = attributes or 0

    @property
    def supersedes_earlier(self):
        return bool(self.attributes & SUPERSEDE_EARLIER)

    def __str__(self):
        return "family %s product %s sequence %s attributes %d" % (
            self.family, self.product_code or "Null", self.sequence, self.attributes)


class Media:
    def __init__(self, transform, disk_id, last_sequence, cabinet, source):
        self.transform, self.disk_id, self.last_sequence = transform, disk_id, last_sequence
        self.cabinet, self.source = cabinet, source

    @property
    def cabinet_stream(self):
        return self.cabinet[1:] if self.cabinet and self.cabinet.startswith("#") else None


class Patch:
    """A patch package read into memory; `problems` lists what is wrong with
    the package itself, whatever it is applied to."""

    def __init__(self, path):
        self.path = path
        self.problems = []
        ole = open_compound_file(path)
        try:
            root = Storage(ole)
            if root.clsid() != PATCH_CLSID:
                self.problems.append("%s: class id %s, a patch has %s" % (path, root.clsid(), PATCH_CLSID))
            self.database = read_database(root)
            summary = self.database.summary
            self.title = summary.get(PID_SUBJECT) or summary.get(PID_TITLE) or ""
            revision = summary.get(PID_REVNUMBER) or ""
            codes = _GUID.findall(revision)
            self.code = codes[0] if codes else revision
            self.obsoletes = codes[1:]
            if not codes or not revision.startswith(codes[0]):
                self.problems.append("%s: Revision Number %r does not begin with a patch code" % (path, revision))
            self.targets = [t for t in (summary.get(PID_TEMPLATE) or "").split(";") if t]
            for code in sorted(set(t for t in self.targets if self.targets.count(t) > 1)):
                self.problems.append("%s: Template lists product %s %d times" %
                                     (self.code, code, self.targets.count(code)))
            self.transform_names = [n for n in (summary.get(PID_LASTAUTHOR) or "").split(";") if n]
            self.transforms = []
            for entry in self.transform_names:
                if not entry.startswith(":"):
                    self.problems.append("%s: transform %s is not a substorage (no ':')" % (self.code, entry))
                    continue
                storage = root.substorage(entry[1:])
                if storage is None:
                    self.problems.append("%s: Last Saved By names %s, which the patch does not hold" %
                                         (self.code, entry))
                    continue
                if storage.clsid() != TRANSFORM_CLSID:
                    self.problems.append("%s: transform %s has class id %s, not %s" %
                                         (self.code, entry[1:], storage.clsid(), TRANSFORM_CLSID))
                self.transforms.append(Transform(entry[1:], storage))
            self.streams = sorted(name for is_table, name in root.streams
                                  if not is_table and name != SUMMARY_STREAM)
            self.metadata = _metadata(self.database)
            self.families = _families(self.database)
            self.has_sequence_table = "MsiPatchSequence" in self.database.tables
            self.media = self._read_media()
            self.cabinet_files = {name: cabinet_files(root.read(name) or b"") for name in self.cabinets()
                                  if name in self.streams}
            self._check_package()
        finally:
            ole.close()

    @property
    def allow_removal(self):
        return self.metadata.get((None, "AllowRemoval"))

    @property
    def minor_update_target_rtm(self):
        return self.metadata.get((None, "MinorUpdateTargetRTM")) == "1"

    def family_rows(self, product_code):
        """The MsiPatchSequence rows that hold for one target: per family the
        row naming the product, else the family's row with a Null product."""
        chosen = {}
        for row in self.families:
            if row.product_code == product_code:
                chosen[row.family] = row
            elif row.product_code is None and row.family not in chosen:
                chosen[row.family] = row
        return list(chosen.values())

    def _read_media(self):
        media = []
        for transform in self.transforms:
            if "Media" not in transform.table_names:
                continue
            for record in transform.records("Media", MEDIA_COLUMNS):
                if record.op == record.INSERT:
                    disk_id, last, _prompt, cabinet, _label, source = record.values
                    media.append(Media(transform.name, disk_id, last, cabinet, source))
        return media

    def media_sources(self):
        return sorted(set(m.source for m in self.media if m.source))

    def cabinets(self):
        return sorted(set(m.cabinet_stream for m in self.media if m.cabinet_stream))

    def _check_package(self):
        for table in ("MsiPatchSequence", "MsiPatchMetadata"):
            for transform in self.transforms:
                if table in transform.table_names:
                    self.problems.append("%s: transform %s carries %s, which belongs in the patch's own database" %
                                         (self.code, transform.name, table))
        for name, files in self.cabinet_files.items():
            if files is None:
                self.problems.append("%s: stream %s is not a cabinet" % (self.code, name))
        for m in self.media:
            if m.cabinet_stream and m.cabinet_stream not in self.streams:
                self.problems.append("%s: Media row %s of %s names cabinet %s, which the patch does not hold" %
                                     (self.code, m.disk_id, m.transform, m.cabinet))
        for name in ("MsiPatchSequence", "MsiPatchMetadata"):
            table = self.database.tables.get(name)
            for key in table.duplicate_keys if table else []:
                self.problems.append("%s: %s holds key %s more than once" % (self.code, name, list(key)))
        for row in self.families:
            if row.version is None:
                self.problems.append("%s: MsiPatchSequence family %s has Sequence %r, not a version" %
                                     (self.code, row.family, row.sequence))

    def removal_blockers(self, changes):
        """Why Windows marks this patch as not uninstallable, whatever its
        AllowRemoval says: `changes` are (transform name, Change) pairs of
        what its transforms did to a product."""
        reasons = []
        for name, change in changes:
            if change.op == "insert" and change.table in NOT_UNINSTALLABLE_TABLES:
                reasons.append("transform %s adds row %s to %s" % (name, list(change.key), change.table))
        for transform in self.transforms:
            summary = transform.summary
            if not transform.is_patch_transform and summary.well_formed and summary.base_code != summary.new_code:
                reasons.append("transform %s changes the product code (a major upgrade)" % transform.name)
        return reasons


def _metadata(database):
    table = database.tables.get("MsiPatchMetadata")
    if table is None:
        return {}
    return {(row[0], row[1]): row[2] for row in table.rows.values()}


def _families(database):
    table = database.tables.get("MsiPatchSequence")
    if table is None:
        return []
    index = {c.name: i for i, c in enumerate(table.columns)}
    try:
        return [FamilyRow(row[index["PatchFamily"]], row[index["ProductCode"]], row[index["Sequence"]],
                          row[index["Attributes"]] if "Attributes" in index else 0)
                for row in table.rows.values()]
    except KeyError as missing:
        raise FormatError("MsiPatchSequence has no column %s" % missing)
