// Reading what transform_encoding writes, and what other tools write in the
// same format: stream names, the string pool, the row-wise table streams of
// a transform (masks, updates, deletions, tables it adds with their _Tables
// and _Columns rows) and the column-wise table streams of a database (a
// patch's own tables). Pure and bounds-checked: the bytes come from outside.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "msi/table_diff.h"
#include "msi/transform_encoding.h"

namespace makepatch {

// The name a stream of an installer storage stands for, and whether it is a
// table's stream (the reverse of EncodeStreamName).
struct StreamName {
  std::string name;  // UTF-8
  bool isTable = false;
};
StreamName DecodeStreamName(std::u16string_view encoded);

// Turns the bytes of a code page into UTF-8 (never fails: what the code page
// lacks becomes U+FFFD).
using CodepageDecoder = std::function<std::string(std::string_view bytes)>;

// The strings of a _StringPool and _StringData pair, by id (index 0, the
// null string, is ""). Throws PatchError when the two do not fit together.
struct DecodedStringPool {
  std::uint32_t codepage = 0;
  unsigned bytesPerReference = 2;
  std::vector<std::string> strings;
};
DecodedStringPool DecodeStringPool(const Bytes& pool, const Bytes& data, const CodepageDecoder& decode);

// The columns of a table a transform touches, when known: from the database
// it applies to, or from a compiled-in schema.
using SchemaLookup = std::function<std::optional<std::vector<Column>>(const std::string& table)>;

// One transform, as far as it could be read. A table whose columns are
// unknown, or whose stream does not fit them, is named in `unreadable` with
// the reason, never guessed at.
struct DecodedTransform {
  std::uint32_t codepage = 0;
  // In the order the transform applies them: created tables first (with all
  // their rows), then row changes of existing tables; dropped tables last.
  std::vector<TableChange> changes;
  // A row whose mask wrote every column (the low bit) is a kInsert: it adds
  // the row, or replaces the row with that key.
  std::vector<std::pair<std::string, std::string>> unreadable;  // table, why
};

// streams: the transform's streams by encoded name (as EncodeTransform
// makes them). Throws PatchError only when the string pool itself is
// unreadable; a damaged table is reported in `unreadable`.
DecodedTransform DecodeTransform(const std::map<std::u16string, Bytes>& streams, const SchemaLookup& schema,
                                 const CodepageDecoder& decode);

// A whole database stored in streams: _Tables, _Columns and the column-wise
// stream of each table. Binary fields hold no bytes (their streams are not read). Throws PatchError when
// the system tables are unreadable; a table whose stream does not fit its
// columns is named in *unreadable.
Database DecodeDatabase(const std::map<std::u16string, Bytes>& streams, const CodepageDecoder& decode,
                        std::vector<std::pair<std::string, std::string>>* unreadable);

// The rows of one column-wise table stream, as stored (for _Tables and
// _Columns, whose columns are fixed). Throws PatchError when the stream
// does not fit the columns or names a string the pool lacks.
std::vector<Row> DecodeTableStream(const std::vector<Column>& columns, const Bytes& bytes,
                                   const DecodedStringPool& pool);

// The database after a transform's changes: rows inserted or replaced,
// updated column by column, deleted; tables created and dropped. What a
// change finds missing (a row to update or delete, a table) is told in
// *conflicts, as Windows Installer's error conditions name them.
Database ApplyTransform(const Database& base, const std::vector<TableChange>& changes,
                        std::vector<std::string>* conflicts);

}  // namespace makepatch
