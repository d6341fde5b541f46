// The bytes of a database transform: its string pool and the row-wise table
// streams that say which rows to add, change or delete, and the encoded
// names of the streams that hold them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "msi/table_diff.h"

namespace makepatch {

using Bytes = std::vector<std::uint8_t>;

// The format's fixed parts, shared by the encoder and the decoder.
// A table's stream name starts with this unit.
inline constexpr char16_t kTableStreamPrefix = 0x4840;
// The low bit of a row's mask: the row is written whole, and the high byte
// says how many columns it has.
inline constexpr std::uint16_t kRowWhole = 0x0001;
// A masked update names columns 1 to 15 only.
inline constexpr unsigned kMaskBits = 16;
// The compound-file limit of a stream name, terminator excluded.
inline constexpr std::size_t kMaxStreamNameUnits = 31;
// The fixed columns of the system tables _Tables and _Columns.
const std::vector<Column>& TablesTableColumns();
const std::vector<Column>& ColumnsTableColumns();

// UTF-8 to UTF-16; throws PatchError on a malformed sequence.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// text with each byte that begins no well-formed sequence shown as U+FFFD:
// what a report or a message may show of bytes from a damaged file.
std::string ValidUtf8(std::string_view text);

// The name of a stream in an installer storage: characters of
// [0-9A-Za-z._] are packed two to a 16-bit unit (0x3800 and up), a lone one
// into 0x4800 and up, any other character stays as it is; a table's stream
// starts with 0x4840. Throws PatchError when the result does not fit the 31
// units a compound-file name may have.
std::u16string EncodeStreamName(std::string_view name, bool isTable);

// The stream of a binary field is named after the table and the row's keys:
// "Binary.Logo".
std::string FieldStreamName(const std::string& table, const std::vector<Column>& columns, const Row& row);

// Turns a UTF-8 text into the bytes of a code page; nothing when a
// character has no place in it.
using CodepageEncoder = std::function<std::optional<std::string>(std::string_view utf8)>;

// The strings a transform refers to, each stored once with its reference
// count. Id 0 is the null string; ids are given in order of first use.
class StringPool {
 public:
  StringPool(std::uint32_t codepage, CodepageEncoder encode);

  // Counts one more reference to text and returns its id (0 for "").
  // Throws PatchError when the text does not fit the code page.
  std::uint32_t Reference(const std::string& text);
  // The id of a text referenced before (0 for "").
  std::uint32_t Id(const std::string& text) const;

  // 2, or 3 once there are more ids than 16 bits hold.
  unsigned BytesPerReference() const { return entries_.size() + 1 > 0xFFFF ? 3 : 2; }
  std::uint32_t codepage() const { return codepage_; }

  // _StringPool: the code page (with 0x8000 in the high word for 3-byte
  // references), then a (length, references) pair of 16-bit values per
  // string; a string of 64 KiB or more takes two pairs: (0, references)
  // and (low word, high word of its length).
  Bytes PoolStream() const;
  // _StringData: the strings' bytes back to back.
  Bytes DataStream() const;

 private:
  struct Entry {
    std::string bytes;  // in the code page
    std::uint32_t references = 0;
  };
  std::uint32_t codepage_;
  CodepageEncoder encode_;
  std::vector<Entry> entries_;  // id - 1
  std::unordered_map<std::string, std::uint32_t> ids_;
};

// The streams of one transform, by encoded name: the table streams, the
// streams of binary fields, _StringPool and _StringData. Codepage: that of
// the database the transform applies to.
std::map<std::u16string, Bytes> EncodeTransform(const std::vector<TableChange>& changes,
                                                std::uint32_t codepage,
                                                const CodepageEncoder& encode);

}  // namespace makepatch
