"""Reads a transform, decides whether it may be applied to a database, and
applies it, reporting every error condition it meets.

What Microsoft documents, by page title:
- "Character Count Summary": in a transform the upper 16 bits are the
  validation flags, the lower 16 bits the error conditions to suppress.
- "MsiCreateTransformSummaryInfo function" (and "Database.CreateTransform
  SummaryInfo method"): the flags. Validation: language 0x1, product 0x2,
  platform 0x4; major 0x8, minor 0x10, update 0x20 (how many fields of the
  version); installed < base 0x40, <= 0x80, = 0x100, >= 0x200, > 0x400 ("the
  installed version is the version of the package that is being transformed,
  and the base version is the version of the package that is used to create
  the transform"); upgrade code 0x800. Error conditions: add existing row
  0x1, delete missing row 0x2, add existing table 0x4, delete missing table
  0x8, update missing row 0x10, code page mismatch 0x20 ("transform and
  database code pages do not match and neither code page is neutral").
- "Revision Number Summary": in a transform "Original-Product-Code
  Original-Product-Version ; New-Product Code New-Product-Version;
  Upgrade-Code" (the code and the version written without a separator).
- "Template Summary" and "Last Saved By Summary": a transform's platform and
  language before and after it ("platform;language").
- "About Transforms": validation may be conditioned on the UpgradeCode,
  ProductCode, ProductVersion and ProductLanguage properties.
- "ProductVersion property": major.minor.build, the fourth field ignored by
  the installer; each field at most 255.65535.65535.

Row layout, as Wine's msi reads it (dlls/msi/table.c, table_load_transform):
every row is a 16-bit mask and its values. Mask bit 0 set: a whole row is
inserted, the high byte counts the columns that follow (the rest are Null).
Mask 0: the row whose key follows is deleted. Any other mask: an update, key
columns always present and column i present when bit i is set. Values as in
a database (string ids into the transform's own pool, 2- or 4-byte integers
with their offsets, binary fields as a 2-byte flag and a stream named after
the row's key in the transform's storage). `_Tables` and `_Columns` rows are
applied first; a `_Columns` row with a Null Number takes the next one.

Which error conditions are problems. A condition the transform does not
suppress is always one: the installer refuses the transform. A suppressed
one is also one when it changes what the transform was made to do: an update
of a missing row is lost, an added row or table that exists with other
values keeps one of the two, and a code page mismatch reads the strings in
the wrong code page. A suppressed condition that leaves the database as the
transform describes whichever way the installer resolves it (deleting a row
or table that is not there, adding a row or a table that exists with the same
values) is reported as harmless: such a transform was made from another base
than the one it meets, but nothing a user gets differs. Where the outcome
differs, this module replaces an existing row by an added one and drops an
update of a missing row.
"""

import re

from msi_database import (COLUMNS_SCHEMA, Column, FormatError, PID_CHARCOUNT, PID_LASTAUTHOR, PID_REVNUMBER,
                          PID_TEMPLATE, SUMMARY_STREAM, TABLES_SCHEMA, TYPE_STRING, Table, decode_int,
                          parse_summary, read_string_pool, stream_name_for_row)

TRANSFORM_CLSID = "000C1082-0000-0000-C000-000000000046"

VALIDATE_LANGUAGE = 0x0001
VALIDATE_PRODUCT = 0x0002
VALIDATE_PLATFORM = 0x0004
VALIDATE_MAJORVERSION = 0x0008
VALIDATE_MINORVERSION = 0x0010
VALIDATE_UPDATEVERSION = 0x0020
VALIDATE_NEWLESSBASEVERSION = 0x0040
VALIDATE_NEWLESSEQUALBASEVERSION = 0x0080
VALIDATE_NEWEQUALBASEVERSION = 0x0100
VALIDATE_NEWGREATEREQUALBASEVERSION = 0x0200
VALIDATE_NEWGREATERBASEVERSION = 0x0400
VALIDATE_UPGRADECODE = 0x0800
_VALIDATE_KNOWN = 0x0FFF

ERROR_ADDEXISTINGROW = 0x01
ERROR_DELMISSINGROW = 0x02
ERROR_ADDEXISTINGTABLE = 0x04
ERROR_DELMISSINGTABLE = 0x08
ERROR_UPDATEMISSINGROW = 0x10
ERROR_CHANGECODEPAGE = 0x20

ERROR_NAMES = {ERROR_ADDEXISTINGROW: "add existing row", ERROR_DELMISSINGROW: "delete missing row",
               ERROR_ADDEXISTINGTABLE: "add existing table", ERROR_DELMISSINGTABLE: "delete missing table",
               ERROR_UPDATEMISSINGROW: "update missing row", ERROR_CHANGECODEPAGE: "code page mismatch"}

_VALIDATION_NAMES = [(VALIDATE_LANGUAGE, "language"), (VALIDATE_PRODUCT, "product"),
                     (VALIDATE_PLATFORM, "platform"), (VALIDATE_MAJORVERSION, "major"),
                     (VALIDATE_MINORVERSION, "minor"), (VALIDATE_UPDATEVERSION, "update"),
                     (VALIDATE_NEWLESSBASEVERSION, "installed<base"),
                     (VALIDATE_NEWLESSEQUALBASEVERSION, "installed<=base"),
                     (VALIDATE_NEWEQUALBASEVERSION, "installed=base"),
                     (VALIDATE_NEWGREATEREQUALBASEVERSION, "installed>=base"),
                     (VALIDATE_NEWGREATERBASEVERSION, "installed>base"),
                     (VALIDATE_UPGRADECODE, "upgrade code")]

_RELATIONS = {VALIDATE_NEWLESSBASEVERSION: ("<", lambda a, b: a < b),
              VALIDATE_NEWLESSEQUALBASEVERSION: ("<=", lambda a, b: a <= b),
              VALIDATE_NEWEQUALBASEVERSION: ("=", lambda a, b: a == b),
              VALIDATE_NEWGREATEREQUALBASEVERSION: (">=", lambda a, b: a >= b),
              VALIDATE_NEWGREATERBASEVERSION: (">", lambda a, b: a > b)}

_GUID = r"\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}"


def describe_validation(flags):
    names = [name for bit, name in _VALIDATION_NAMES if flags & bit]
    if flags & ~_VALIDATE_KNOWN:
        names.append("unknown 0x%x" % (flags & ~_VALIDATE_KNOWN))
    return ", ".join(names) or "none"


def describe_errors(flags):
    names = [name for bit, name in sorted(ERROR_NAMES.items()) if flags & bit]
    if flags & ~0x3F:
        names.append("unknown 0x%x" % (flags & ~0x3F))
    return ", ".join(names) or "none"


def parse_version(text):
    """The four fields of a version text, missing ones 0; None when it is not
    one."""
    if text is None or not re.fullmatch(r"\d+(\.\d+){0,3}", text.strip()):
        return None
    fields = [int(f) for f in text.strip().split(".")]
    return tuple(fields + [0] * (4 - len(fields)))


class TransformSummary:
    """What a transform's summary information says about where it applies."""

    def __init__(self, summary):
        self.raw = summary
        self.template = summary.get(PID_TEMPLATE) or ""
        self.last_saved_by = summary.get(PID_LASTAUTHOR) or ""
        self.revision = summary.get(PID_REVNUMBER) or ""
        count = summary.get(PID_CHARCOUNT)
        self.character_count = (count or 0) & 0xFFFFFFFF
        self.validation = self.character_count >> 16
        self.suppressed = self.character_count & 0xFFFF
        self.base_platform, self.base_language = _platform_language(self.template)
        self.new_platform, self.new_language = _platform_language(self.last_saved_by)
        match = re.fullmatch(r"\s*(%s)\s*([^;]*?)\s*;\s*(%s)\s*([^;]*?)\s*;\s*(%s)?\s*" % (_GUID, _GUID, _GUID),
                             self.revision)
        if match:
            self.base_code, self.base_version, self.new_code, self.new_version, self.upgrade_code = match.groups()
        else:
            self.base_code = self.base_version = self.new_code = self.new_version = self.upgrade_code = None

    @property
    def well_formed(self):
        return self.base_code is not None


def _platform_language(text):
    platform, _, language = text.partition(";")
    return platform.strip(), language.strip()


class ProductState:
    """The properties a transform validates against, read from a database."""

    def __init__(self, database, platform):
        self.product_code = database.property("ProductCode")
        self.version = database.property("ProductVersion")
        self.language = database.property("ProductLanguage")
        self.upgrade_code = database.property("UpgradeCode")
        self.platform = platform


def validate(summary, state):
    """The reasons the transform may not be applied to `state` (empty when it
    may)."""
    flags = summary.validation
    reasons = []
    if flags & ~_VALIDATE_KNOWN:
        reasons.append("unknown validation flags 0x%x" % (flags & ~_VALIDATE_KNOWN))
    needs_revision = flags & (VALIDATE_PRODUCT | VALIDATE_UPGRADECODE | VALIDATE_MAJORVERSION |
                              VALIDATE_MINORVERSION | VALIDATE_UPDATEVERSION)
    if needs_revision and not summary.well_formed:
        return reasons + ["Revision Number %r is not {code}version;{code}version;{upgrade code}" % summary.revision]
    if flags & VALIDATE_LANGUAGE and not _same_language(summary.base_language, state.language):
        reasons.append("language %s, the transform's is %s" % (state.language, summary.base_language or "blank"))
    if flags & VALIDATE_PRODUCT and summary.base_code != state.product_code:
        reasons.append("product code %s, the transform's base is %s" % (state.product_code, summary.base_code))
    if flags & VALIDATE_PLATFORM and (summary.base_platform or "Intel") != (state.platform or "Intel"):
        reasons.append("platform %s, the transform's is %s" % (state.platform, summary.base_platform or "blank"))
    fields = (3 if flags & VALIDATE_UPDATEVERSION else 2 if flags & VALIDATE_MINORVERSION
              else 1 if flags & VALIDATE_MAJORVERSION else 0)
    if fields:
        relations = [bit for bit in _RELATIONS if flags & bit]
        if len(relations) > 1:
            reasons.append("more than one version relation in the validation flags")
        # Microsoft names no relation for version fields without one; this
        # checker takes the strictest, equality.
        symbol, holds = _RELATIONS[relations[0] if relations else VALIDATE_NEWEQUALBASEVERSION]
        installed, base = parse_version(state.version), parse_version(summary.base_version)
        if installed is None or base is None:
            reasons.append("version %r or base version %r is not a version" % (state.version, summary.base_version))
        elif not holds(installed[:fields], base[:fields]):
            reasons.append("installed version %s, base version %s: not installed %s base in %s" %
                           (state.version, summary.base_version, symbol,
                            ("major", "major.minor", "major.minor.update")[fields - 1]))
    if flags & VALIDATE_UPGRADECODE and summary.upgrade_code != state.upgrade_code:
        reasons.append("upgrade code %s, the transform's is %s" % (state.upgrade_code, summary.upgrade_code))
    return reasons


def _same_language(transform_language, product_language):
    def number(text):
        try:
            return int(text or "0")
        except ValueError:
            return None
    return number(transform_language) == number(product_language)


class Condition:
    """An error condition met while applying a transform."""

    def __init__(self, kind, table, key, suppressed, harmless, detail=""):
        self.kind = kind
        self.table = table
        self.key = key
        self.suppressed = suppressed
        self.harmless = suppressed and harmless
        self.detail = detail

    @property
    def is_problem(self):
        return not self.harmless

    def __str__(self):
        where = self.table if self.key is None else "%s %s" % (self.table, format_key(self.key))
        text = "%s: %s" % (ERROR_NAMES[self.kind], where)
        if self.detail:
            text += " (%s)" % self.detail
        if self.harmless:
            text += " [suppressed, harmless]"
        elif self.suppressed:
            text += " [suppressed]"
        return text


def format_key(key):
    return "[" + ", ".join("Null" if v is None else str(v) for v in key) + "]"


class Record:
    """One row of a transform: what it does and the values it carries."""

    INSERT, UPDATE, DELETE = "insert", "update", "delete"

    def __init__(self, op, values, present):
        self.op = op
        self.values = values      # one per column, None where absent or Null
        self.present = present    # indexes of the columns the row carries


class Transform:
    """A transform storage: its summary, string pool and table streams."""

    def __init__(self, name, storage):
        self.name = name
        self.storage = storage
        summary = storage.read(SUMMARY_STREAM)
        self.summary = TransformSummary(parse_summary(summary) if summary else {})
        self.strings = read_string_pool(storage)
        self.table_names = sorted(n for is_table, n in storage.streams
                                  if is_table and n not in ("_StringPool", "_StringData"))

    @property
    def is_patch_transform(self):
        return self.name.startswith("#")

    def records(self, table, columns):
        """The rows of one table stream, read with the columns the table has
        where the transform is applied."""
        raw = self.storage.read(table, table=True) or b""
        ref = self.strings.ref_size
        out = []
        n = 0
        while n < len(raw):
            if n + 2 > len(raw):
                raise FormatError("transform %s, table %s: a row mask cut short" % (self.name, table))
            mask = raw[n] | (raw[n + 1] << 8)
            n += 2
            if mask & 1:
                count = mask >> 8
                if count > len(columns):
                    raise FormatError("transform %s, table %s: a row of %d columns for a table of %d" %
                                      (self.name, table, count, len(columns)))
                present = list(range(count))
                op = Record.INSERT
            else:
                present = [i for i, c in enumerate(columns) if c.is_key or (i < 16 and mask & (1 << i))]
                op = Record.DELETE if mask == 0 else Record.UPDATE
            values = [None] * len(columns)
            for i in present:
                column = columns[i]
                width = column.width(ref)
                if n + width > len(raw):
                    raise FormatError("transform %s, table %s: a row cut short" % (self.name, table))
                field = int.from_bytes(raw[n:n + width], "little")
                n += width
                if column.is_binary:
                    values[i] = field
                elif column.type & TYPE_STRING:
                    values[i] = self.strings.get(field)
                else:
                    values[i] = decode_int(field, width)
            for i in present:
                if columns[i].is_binary:
                    values[i] = self.storage.read(stream_name_for_row(table, columns, values))
            out.append(Record(op, values, present))
        return out

    def inserted_keys(self, table, columns):
        """The keys of the rows this transform inserts into `table`."""
        if table not in self.table_names:
            return []
        keys = [i for i, c in enumerate(columns) if c.is_key]
        return [tuple(r.values[i] for i in keys) for r in self.records(table, columns) if r.op == Record.INSERT]


class Change:
    """One change a transform made, for the record of what a patch does."""

    def __init__(self, table, op, key, columns=()):
        self.table, self.op, self.key, self.columns = table, op, key, tuple(columns)

    def __str__(self):
        text = "%s %s" % (self.op, self.table)
        if self.key:
            text += " " + format_key(self.key)
        if self.columns:
            text += ": " + ", ".join(self.columns)
        return text


def apply_transform(database, transform):
    """Applies `transform` to a copy of `database`: (the result, the error
    conditions met, the changes made)."""
    db = database.copy()
    conditions = []
    changes = []
    suppressed = transform.summary.suppressed

    def meet(kind, table, key, harmless, detail=""):
        conditions.append(Condition(kind, table, key, bool(suppressed & kind), harmless, detail))

    if (transform.strings.codepage and db.codepage and transform.strings.codepage != db.codepage):
        meet(ERROR_CHANGECODEPAGE, "_StringPool", None, False,
             "transform %d, database %d" % (transform.strings.codepage, db.codepage))

    # Tables the transform adds although they exist: their columns are
    # gathered aside and compared with the existing ones.
    readded = {}
    if "_Tables" in transform.table_names:
        for record in transform.records("_Tables", TABLES_SCHEMA):
            name = record.values[0]
            if record.op == Record.DELETE:
                if name in db.tables:
                    del db.tables[name]
                    changes.append(Change(name, "drop table", ()))
                else:
                    meet(ERROR_DELMISSINGTABLE, name, None, True)
            elif name in db.tables:
                readded[name] = Table(name, [])
            else:
                db.tables[name] = Table(name, [])
                changes.append(Change(name, "add table", ()))
    if "_Columns" in transform.table_names:
        _apply_columns(db, readded, transform, changes, meet)
    for name, shadow in readded.items():
        same = shadow.columns == db.tables[name].columns
        meet(ERROR_ADDEXISTINGTABLE, name, None, same, "" if same else "with other columns")

    for name in transform.table_names:
        if name in ("_Tables", "_Columns"):
            continue
        table = db.tables.get(name)
        if table is None or not table.columns:
            raise FormatError("transform %s changes table %s, which neither the database nor the transform "
                              "defines" % (transform.name, name))
        _apply_rows(table, transform.records(name, table.columns), changes, meet)
    return db, conditions, changes


def _apply_columns(db, readded, transform, changes, meet):
    numbers = {}
    for record in transform.records("_Columns", COLUMNS_SCHEMA):
        table_name, number, column_name, ctype = record.values
        table = readded.get(table_name) or db.tables.get(table_name)
        if record.op == Record.DELETE:
            if table is None or number is None or not 1 <= number <= len(table.columns):
                meet(ERROR_DELMISSINGROW, "_Columns", (table_name, number), True)
                continue
            del table.columns[number - 1]
            for row in table.rows.values():
                del row[number - 1]
            continue
        if table is None:
            raise FormatError("transform %s adds column %s to table %s, which does not exist" %
                              (transform.name, column_name, table_name))
        if number is None:
            # The installer's own transforms leave Number Null for new columns.
            numbers[table_name] = numbers.get(table_name, len(table.columns)) + 1
            number = numbers[table_name]
        column = Column(column_name, (ctype or 0) & 0xFFFF)
        if number <= len(table.columns):
            if table.columns[number - 1] != column:
                meet(ERROR_ADDEXISTINGROW, "_Columns", (table_name, number), False,
                     "column %s replaces %s" % (column_name, table.columns[number - 1].name))
                table.columns[number - 1] = column
            continue
        if number != len(table.columns) + 1:
            raise FormatError("transform %s adds column %d of table %s after %d columns" %
                              (transform.name, number, table_name, len(table.columns)))
        table.columns.append(column)
        for row in table.rows.values():
            row.append(None)
        if table_name not in readded:
            changes.append(Change(table_name, "add column", (), [column_name]))


def _shown(value):
    if isinstance(value, bytes):
        return "<%d bytes>" % len(value)
    return "Null" if value is None else repr(value)


def _apply_rows(table, records, changes, meet):
    keys = table.key_indexes()
    for record in records:
        key = tuple(record.values[i] for i in keys)
        existing = table.rows.get(key)
        if record.op == Record.DELETE:
            if existing is None:
                meet(ERROR_DELMISSINGROW, table.name, key, True)
            else:
                del table.rows[key]
                changes.append(Change(table.name, "delete", key))
        elif record.op == Record.INSERT:
            if existing is not None:
                same = existing == record.values
                meet(ERROR_ADDEXISTINGROW, table.name, key, same, "" if same else "with other values")
            table.rows[key] = list(record.values)
            if existing is None:
                changes.append(Change(table.name, "insert", key))
        else:
            if existing is None:
                meet(ERROR_UPDATEMISSINGROW, table.name, key, False)
                continue
            changed = ["%s %s" % (table.columns[i].name, _shown(record.values[i])) for i in record.present
                       if not table.columns[i].is_key and existing[i] != record.values[i]]
            for i in record.present:
                existing[i] = record.values[i]
            changes.append(Change(table.name, "update", key, changed))
