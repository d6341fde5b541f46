"""Reads Windows Installer databases (.msi) and the database of a patch (.msp).

An installer database is a compound file (read with python3-olefile) whose
streams hold a string pool, the `_Tables` and `_Columns` catalogue and one
stream per table. This module turns such a storage into plain data: a code
page, a schema per table and rows keyed by their primary key, binary fields
with the bytes of their streams.

What Microsoft documents, by page title:
- "Summary Information Stream Property Set" and the pages of its properties
  ("Template Summary", "Revision Number Summary", "Last Saved By Summary",
  "Character Count Summary"): property ids, and what they mean in a package,
  a transform and a patch.
- "_Columns Table", "_Tables Table", "Column Data Types": the catalogue of
  tables and columns, and the kinds of column (integers of 2 and 4 bytes,
  strings, binary streams, nullable and key columns).
- "OLE Property Set" layout of a summary stream ([MS-OLEPS], "Property Set
  Stream"): byte order mark, section offsets, property ids and typed values.

Microsoft does not document the storage layout of tables; it is read here as
Wine's msi (dlls/msi/table.c, string.c, msipriv.h) reads it:
- A column's type word in `_Columns`: width in the low byte, 0x0100 valid,
  0x0200 localizable, 0x0800 string, 0x1000 nullable, 0x2000 key, 0x4000
  temporary; a type of 0x0900 (a valid string of width 0), nullable or not,
  is a binary column.
- Stream names: characters of [0-9A-Za-z._] packed two to a 16-bit unit in
  0x3800-0x47FF (one alone in 0x4800-0x483F); table streams carry a 0x4840
  prefix. Streams of binary fields are named "Table.key1.key2..." packed the
  same way without the prefix.
- `_StringPool`: a 32-bit header (the code page; 0x80000000 set when string
  references take three bytes), then a (length, reference count) pair of
  16-bit values per string id from 1 up; a pair of zeros is an unused id; a
  length of 0 with a reference count introduces a string of 64 KiB or more
  whose length the next pair holds (high word in its second value).
  `_StringData`: the strings back to back, in the code page.
- Table streams of a database are column-wise: every row's first column, then
  every row's second column, ... A 2-byte integer is stored as value + 0x8000,
  a 4-byte integer as value ^ 0x80000000, a string as its string id, 0 being
  Null in each case; a binary field takes two bytes and its data lives in a
  stream of its own.
"""

import struct

import olefile

# Column type bits (Wine's msipriv.h: MSITYPE_*).
TYPE_WIDTH = 0x00FF
TYPE_VALID = 0x0100
TYPE_LOCALIZABLE = 0x0200
TYPE_STRING = 0x0800
TYPE_NULLABLE = 0x1000
TYPE_KEY = 0x2000
TYPE_TEMPORARY = 0x4000

_STREAM_CHARS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
_TABLE_PREFIX = 0x4840

SUMMARY_STREAM = "\x05SummaryInformation"
# Summary property ids ("Summary Information Stream Property Set").
PID_CODEPAGE = 1
PID_TITLE = 2
PID_SUBJECT = 3
PID_AUTHOR = 4
PID_TEMPLATE = 7
PID_LASTAUTHOR = 8
PID_REVNUMBER = 9
PID_PAGECOUNT = 14
PID_WORDCOUNT = 15
PID_CHARCOUNT = 16


class FormatError(Exception):
    """A file or stream that is not what an installer database holds."""


def encode_stream_name(name, table=False):
    """The compound-file name of a stream: `name` packed, with the table prefix
    when `table`."""
    out = [chr(_TABLE_PREFIX)] if table else []
    i = 0
    while i < len(name):
        first = _STREAM_CHARS.find(name[i])
        if first < 0:
            out.append(name[i])
            i += 1
            continue
        second = _STREAM_CHARS.find(name[i + 1]) if i + 1 < len(name) else -1
        if second >= 0:
            out.append(chr(0x3800 + first + (second << 6)))
            i += 2
        else:
            out.append(chr(0x4800 + first))
            i += 1
    return "".join(out)


def decode_stream_name(stored):
    """(is_table, name) of a stored stream name."""
    table = bool(stored) and ord(stored[0]) == _TABLE_PREFIX
    out = []
    for ch in stored[1:] if table else stored:
        code = ord(ch)
        if 0x3800 <= code < 0x4800:
            code -= 0x3800
            out.append(_STREAM_CHARS[code & 0x3F])
            out.append(_STREAM_CHARS[(code >> 6) & 0x3F])
        elif 0x4800 <= code < 0x4840:
            out.append(_STREAM_CHARS[code - 0x4800])
        else:
            out.append(ch)
    return table, "".join(out)


def python_codec(codepage):
    """The Python codec of a Windows code page; 0 (neutral) reads as 1252."""
    if codepage in (0, None):
        return "cp1252"
    if codepage == 65001:
        return "utf-8"
    return "cp%d" % codepage


# --- summary information ------------------------------------------------------

_VT_I2, _VT_I4, _VT_LPSTR, _VT_FILETIME = 2, 3, 30, 64


def parse_summary(data):
    """{property id: value} of a summary information stream: integers as int,
    strings decoded in the stream's own code page, times as the raw 64-bit
    FILETIME."""
    if len(data) < 48:
        raise FormatError("summary information stream of %d bytes" % len(data))
    order, _version = struct.unpack_from("<HH", data, 0)
    if order != 0xFFFE:
        raise FormatError("summary information without the property set byte order mark")
    (sections,) = struct.unpack_from("<I", data, 24)
    if sections < 1:
        return {}
    (offset,) = struct.unpack_from("<I", data, 44)
    _size, count = struct.unpack_from("<II", data, offset)
    raw = {}
    for i in range(count):
        pid, where = struct.unpack_from("<II", data, offset + 8 + 8 * i)
        where += offset
        (vtype,) = struct.unpack_from("<I", data, where)
        vtype &= 0xFFFF
        if vtype == _VT_I2:
            raw[pid] = struct.unpack_from("<h", data, where + 4)[0]
        elif vtype == _VT_I4:
            raw[pid] = struct.unpack_from("<i", data, where + 4)[0]
        elif vtype == _VT_LPSTR:
            (length,) = struct.unpack_from("<I", data, where + 4)
            raw[pid] = bytes(data[where + 8:where + 8 + length]).split(b"\0", 1)[0]
        elif vtype == _VT_FILETIME:
            raw[pid] = struct.unpack_from("<Q", data, where + 4)[0]
        else:
            raw[pid] = None
    codec = python_codec(raw.get(PID_CODEPAGE, 0) & 0xFFFF if isinstance(raw.get(PID_CODEPAGE), int) else 0)
    return {pid: value.decode(codec, "replace") if isinstance(value, bytes) else value
            for pid, value in raw.items()}


# --- string pool ----------------------------------------------------------------

class StringPool:
    """The strings of a database or transform by id (id 0 is Null)."""

    def __init__(self, pool, data):
        if len(pool) < 4:
            raise FormatError("string pool of %d bytes" % len(pool))
        low, high = struct.unpack_from("<HH", pool, 0)
        self.long_refs = bool(high & 0x8000)
        self.codepage = low | ((high & 0x7FFF) << 16)
        self.ref_size = 3 if self.long_refs else 2
        codec = python_codec(self.codepage)
        words = struct.unpack_from("<%dH" % (len(pool) // 2), pool, 0)
        self.strings = [None]
        offset = 0
        i = 2  # the word after the header
        while i + 1 < len(words):
            length, refs = words[i], words[i + 1]
            if length == 0 and refs == 0:
                self.strings.append("")
                i += 2
                continue
            if length == 0:
                if i + 3 >= len(words):
                    raise FormatError("string pool ends inside a long string entry")
                length = (words[i + 3] << 16) + words[i + 2]
                i += 4
            else:
                i += 2
            if offset + length > len(data):
                raise FormatError("string pool runs past the end of _StringData")
            self.strings.append(bytes(data[offset:offset + length]).decode(codec, "replace"))
            offset += length
        if offset != len(data):
            raise FormatError("_StringData holds %d bytes, the pool accounts for %d" % (len(data), offset))

    def get(self, ref):
        if ref == 0:
            return None
        if ref >= len(self.strings):
            raise FormatError("string id %d beyond the pool's %d strings" % (ref, len(self.strings) - 1))
        return self.strings[ref]


# --- schema and tables ------------------------------------------------------------

class Column:
    def __init__(self, name, ctype):
        self.name = name
        self.type = ctype

    @property
    def is_key(self):
        return bool(self.type & TYPE_KEY)

    @property
    def is_binary(self):
        return (self.type & ~TYPE_NULLABLE) == (TYPE_STRING | TYPE_VALID)

    @property
    def is_string(self):
        return bool(self.type & TYPE_STRING) and not self.is_binary

    def width(self, ref_size):
        if self.is_binary:
            return 2
        if self.type & TYPE_STRING:
            return ref_size
        return 2 if (self.type & TYPE_WIDTH) <= 2 else 4

    def __eq__(self, other):
        return isinstance(other, Column) and (self.name, self.type) == (other.name, other.type)

    def __repr__(self):
        return "%s(0x%04x)" % (self.name, self.type)


class Table:
    """A table's columns and its rows: {key tuple: list of values}."""

    def __init__(self, name, columns, rows=None):
        self.name = name
        self.columns = list(columns)
        self.rows = dict(rows or {})
        self.duplicate_keys = []   # keys the stored table holds more than once

    def key_indexes(self):
        return [i for i, c in enumerate(self.columns) if c.is_key]

    def key_of(self, values):
        return tuple(values[i] for i in self.key_indexes())

    def column_index(self, name):
        for i, c in enumerate(self.columns):
            if c.name == name:
                return i
        raise KeyError("%s has no column %s" % (self.name, name))

    def value(self, key, column):
        row = self.rows.get(key)
        return None if row is None else row[self.column_index(column)]

    def copy(self):
        return Table(self.name, self.columns, {k: list(v) for k, v in self.rows.items()})


def decode_int(raw, width):
    """The integer a stored field holds, None for Null."""
    if raw == 0:
        return None
    if width == 2:
        return raw - 0x8000
    value = raw ^ 0x80000000
    return value - (1 << 32) if value & 0x80000000 else value


def stream_name_for_row(table, columns, values):
    """The name of the stream of a binary field: "Table.key1.key2"."""
    parts = [table]
    for column, value in zip(columns, values):
        if column.is_key:
            parts.append("" if value is None else str(value))
    return ".".join(parts)


class Database:
    """The tables of an installer database (or a patch's database), its code
    page and its summary information."""

    def __init__(self, codepage, tables, summary):
        self.codepage = codepage
        self.tables = tables
        self.summary = summary

    def property(self, name):
        table = self.tables.get("Property")
        return None if table is None else table.value((name,), "Value")

    def copy(self):
        return Database(self.codepage, {n: t.copy() for n, t in self.tables.items()}, dict(self.summary))


class Storage:
    """A storage of a compound file (the root or a substorage) read into
    memory: its streams by decoded name, {(is_table, name): bytes}, and its
    substorages, which stay readable after the file is closed."""

    def __init__(self, ole, path=()):
        self.path = tuple(path)
        self.streams = {}
        self.substorages = {}
        self.class_id = ole.getclsid(list(self.path)) if self.path else ole.root.clsid
        for entry in ole.listdir(streams=True, storages=True):
            if len(entry) != len(self.path) + 1 or tuple(entry[:-1]) != self.path:
                continue
            if ole.get_type(entry) == olefile.STGTY_STORAGE:
                self.substorages[entry[-1]] = Storage(ole, entry)
            else:
                self.streams[decode_stream_name(entry[-1])] = ole.openstream(entry).read()

    @property
    def storages(self):
        return sorted(self.substorages)

    def read(self, name, table=False):
        return self.streams.get((table, name))

    def clsid(self):
        return self.class_id

    def substorage(self, name):
        return self.substorages.get(name)


COLUMNS_SCHEMA = [Column("Table", TYPE_VALID | TYPE_STRING | TYPE_KEY | 64),
                   Column("Number", TYPE_VALID | TYPE_KEY | 2),
                   Column("Name", TYPE_VALID | TYPE_STRING | 64),
                   Column("Type", TYPE_VALID | 2)]
TABLES_SCHEMA = [Column("Name", TYPE_VALID | TYPE_STRING | TYPE_KEY | 64)]


def read_string_pool(storage):
    pool = storage.read("_StringPool", table=True)
    data = storage.read("_StringData", table=True)
    if pool is None or data is None:
        raise FormatError("no _StringPool/_StringData streams")
    return StringPool(pool, data)


def _read_columnwise(storage, name, columns, strings):
    raw = storage.read(name, table=True) or b""
    widths = [c.width(strings.ref_size) for c in columns]
    row_size = sum(widths)
    if row_size == 0 or len(raw) % row_size:
        raise FormatError("table %s: %d bytes is not a whole number of %d-byte rows" % (name, len(raw), row_size))
    count = len(raw) // row_size
    values = [[None] * len(columns) for _ in range(count)]
    offset = 0
    for c, (column, width) in enumerate(zip(columns, widths)):
        for r in range(count):
            field = int.from_bytes(raw[offset:offset + width], "little")
            offset += width
            if column.is_binary:
                values[r][c] = field  # resolved to the stream's bytes below
            elif column.type & TYPE_STRING:
                values[r][c] = strings.get(field)
            else:
                values[r][c] = decode_int(field, width)
    return values


def _resolve_binary(storage, table, columns, values):
    # The field itself only tells Null from present; the bytes are the stream's.
    for c, column in enumerate(columns):
        if column.is_binary:
            values[c] = storage.read(stream_name_for_row(table, columns, values))


def read_database(storage):
    """The Database held by a storage whose tables are column-wise (a package
    or the root of a patch)."""
    strings = read_string_pool(storage)
    table_names = [row[0] for row in _read_columnwise(storage, "_Tables", TABLES_SCHEMA, strings)]
    schema = {}
    for table, number, name, ctype in _read_columnwise(storage, "_Columns", COLUMNS_SCHEMA, strings):
        schema.setdefault(table, []).append((number, Column(name, ctype & 0xFFFF)))
    tables = {}
    for name in table_names:
        columns = [c for _, c in sorted(schema.get(name, []), key=lambda nc: nc[0])]
        if not columns:
            raise FormatError("table %s has no columns in _Columns" % name)
        table = Table(name, columns)
        for values in _read_columnwise(storage, name, columns, strings):
            _resolve_binary(storage, name, columns, values)
            key = table.key_of(values)
            if key in table.rows:
                table.duplicate_keys.append(key)
            table.rows[key] = values
        tables[name] = table
    summary_data = storage.read(SUMMARY_STREAM)
    summary = parse_summary(summary_data) if summary_data else {}
    return Database(strings.codepage, tables, summary)


def open_compound_file(path):
    try:
        return olefile.OleFileIO(path)
    except (OSError, IOError) as error:
        raise FormatError("%s: %s" % (path, error))


def read_package(path):
    """The Database of an installation package."""
    ole = open_compound_file(path)
    try:
        return read_database(Storage(ole))
    finally:
        ole.close()
