#include "msi/transform_encoding.h"

#include <gtest/gtest.h>

#include "msi/patch_error.h"
#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

// ASCII as it is, "é" as code page 1252 has it, nothing else.
std::optional<std::string> Latin(std::string_view utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      out += utf8[i];
    } else if (utf8.substr(i, 2) == "\xc3\xa9") {
      out += '\xe9';
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::map<std::u16string, Bytes> Encode(const std::vector<TableChange>& changes) {
  return EncodeTransform(changes, 1252, Latin);
}

const Bytes& Stream(const std::map<std::u16string, Bytes>& streams, std::string_view name, bool table = true) {
  const auto found = streams.find(EncodeStreamName(name, table));
  if (found == streams.end()) throw std::runtime_error("no stream " + std::string(name));
  return found->second;
}

TEST(EncodeStreamNameTest, PacksNameCharacters) {
  struct Case {
    const char* name;
    bool table;
    std::u16string expected;
    const char* why;
  };
  const Case cases[] = {
      {"File", true, {0x4840, 0x430F, 0x422F}, "two pairs behind the table mark"},
      {"Media", false, {0x4216, 0x4327, 0x4824}, "an odd last character stands alone"},
      {"#T1", false, {u'#', 0x385D}, "characters outside the set stay as they are"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeStreamName(c.name, c.table), c.expected) << c.why;
  }
  EXPECT_THROW(EncodeStreamName(std::string(63, 'a'), true), PatchError) << "beyond 31 units";
}

// Found by fuzzing inspect-patch: a product code cut inside a character
// made its JSON report invalid UTF-8.
TEST(ValidUtf8Test, ShowsWhatIsNoCharacterAsReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> rows[] = {
      {"plain {PC}5.2.1.0", "plain {PC}5.2.1.0"},
      {"B\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80", "B\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"{7C4A\xC3", "{7C4A" + r},                       // cut inside a character
      {"\x8F\xC3\x92}5.2", r + "\xC3\x92}5.2"},          // a stray continuation byte
      {"\xFF\xE2\x82", r + r + r},                        // no lead, then a cut sequence
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(ValidUtf8(text), expected) << text;
    EXPECT_NO_THROW(Utf8ToUtf16(ValidUtf8(text)));
  }
}

TEST(StringPoolTest, IdsCountsAndHeader) {
  StringPool pool(1252, Latin);
  EXPECT_EQ(pool.Reference(""), 0u) << "the empty text is null";
  EXPECT_EQ(pool.Reference("b"), 1u);
  EXPECT_EQ(pool.Reference("\xc3\xa9t\xc3\xa9"), 2u);
  EXPECT_EQ(pool.Reference("b"), 1u);
  EXPECT_EQ(pool.PoolStream(), (Bytes{0xE4, 0x04, 0x00, 0x00, 1, 0, 2, 0, 3, 0, 1, 0}));
  EXPECT_EQ(pool.DataStream(), (Bytes{'b', 0xE9, 't', 0xE9})) << "stored in the code page";
  EXPECT_THROW(pool.Reference("\xe2\x82\xac"), PatchError) << "the euro sign is not in the stand-in code page";
}

TEST(StringPoolTest, LongStringsAndWideReferences) {
  StringPool pool(1252, Latin);
  pool.Reference(std::string(70000, 'a'));
  // A marker pair carrying the count, then the length split in two words.
  EXPECT_EQ(pool.PoolStream(), (Bytes{0xE4, 0x04, 0, 0, 0, 0, 1, 0, 0x70, 0x11, 0x01, 0x00}));

  StringPool many(1252, Latin);
  for (int i = 0; i < 0xFFFE; ++i) many.Reference("s" + std::to_string(i));
  EXPECT_EQ(many.BytesPerReference(), 2u);
  many.Reference("one more");
  EXPECT_EQ(many.BytesPerReference(), 3u);
  EXPECT_EQ(many.PoolStream()[3], 0x80) << "the header says references take 3 bytes";
}

TEST(EncodeTransformTest, InsertUpdateAndDeleteRows) {
  const std::vector<Column> columns = {{"K", kKeyText}, {"I2", kShort}, {"I4", kLong}, {"S", kText}};
  const TableChange change{TableChange::Kind::kRows,
                           "T",
                           columns,
                           {{RowChange::Kind::kInsert,
                             {Value::Text("k1"), Value::Integer(5), Value::Integer(-1), Value::Text("x")},
                             {}},
                            {RowChange::Kind::kUpdate,
                             {Value::Text("k1"), Value::Null(), Value::Integer(7), Value::Null()},
                             {false, false, true, false}},
                            {RowChange::Kind::kDelete, {Value::Text("k2"), {}, {}, {}}, {}}}};
  const auto streams = Encode({change});
  EXPECT_EQ(Stream(streams, "T"), (Bytes{
                                      0x01, 0x04, 1, 0, 0x05, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 2, 0,  // whole row
                                      0x04, 0x00, 1, 0, 0x07, 0x00, 0x00, 0x80,  // key and column 2
                                      0x00, 0x00, 3, 0,                          // delete: the key only
                                  }));
  EXPECT_EQ(Stream(streams, "_StringData"), (Bytes{'k', '1', 'x', 'k', '2'}));
  EXPECT_EQ(Stream(streams, "_StringPool"), (Bytes{0xE4, 0x04, 0, 0, 2, 0, 2, 0, 1, 0, 1, 0, 2, 0, 1, 0}));
  EXPECT_EQ(streams.size(), 3u) << "no _Tables or _Columns for a table that exists";
}

TEST(EncodeTransformTest, ChangesMasksCannotNameAreWrittenWhole) {
  std::vector<Column> columns = {{"K", kKeyText}};
  for (int i = 1; i < 17; ++i) columns.push_back({"C" + std::to_string(i), kShort});
  Row row(columns.size(), Value::Integer(1));
  row[0] = Value::Text("k");
  std::vector<bool> changed(columns.size(), false);
  changed[16] = true;
  const auto streams =
      Encode({{TableChange::Kind::kRows, "Wide", columns, {{RowChange::Kind::kUpdate, row, changed}}}});
  const Bytes& bytes = Stream(streams, "Wide");
  ASSERT_EQ(bytes.size(), 2u + 2u + 16u * 2u);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 17);
}

TEST(EncodeTransformTest, NewTablesAndBinaryFields) {
  const TableChange created{TableChange::Kind::kCreated,
                            "Binary",
                            {{"Name", kKeyText}, {"Data", kStream}},
                            {{RowChange::Kind::kInsert, {Value::Text("Icon1"), Value::Binary({1, 2, 3})}, {}},
                             {RowChange::Kind::kInsert, {Value::Text("Icon2"), Value::Null()}, {}}}};
  const auto streams = Encode({created});
  // Strings in order of first use: the table name, the column names, the keys.
  EXPECT_EQ(Stream(streams, "_StringData"), (Bytes{'B', 'i', 'n', 'a', 'r', 'y', 'N', 'a', 'm', 'e', 'D', 'a',
                                                   't', 'a', 'I', 'c', 'o', 'n', '1', 'I', 'c', 'o', 'n', '2'}));
  EXPECT_EQ(Stream(streams, "_Tables"), (Bytes{0x01, 0x01, 1, 0}));
  EXPECT_EQ(Stream(streams, "_Columns"), (Bytes{0x01, 0x04, 1, 0, 0, 0, 2, 0, 0x48, 0xAD,  // numbers left null
                                                0x01, 0x04, 1, 0, 0, 0, 3, 0, 0x00, 0x99}));
  EXPECT_EQ(Stream(streams, "Binary"), (Bytes{0x01, 0x02, 4, 0, 1, 0, 0x01, 0x02, 5, 0, 0, 0}));
  EXPECT_EQ(Stream(streams, "Binary.Icon1", false), (Bytes{1, 2, 3}));
  EXPECT_FALSE(streams.contains(EncodeStreamName("Binary.Icon2", false))) << "a null field has no stream";

  const TableChange dropped{TableChange::Kind::kDropped, "Old", {{"K", kKeyText}}, {}};
  const auto drop = Encode({dropped});
  EXPECT_EQ(Stream(drop, "_Tables"), (Bytes{0x00, 0x00, 1, 0}));
  EXPECT_FALSE(drop.contains(EncodeStreamName("Old", true)));
}

TEST(EncodeTransformTest, RefusesValuesTheColumnCannotHold) {
  const std::vector<Column> columns = {{"K", kKeyText}, {"I2", kShort}};
  for (int value : {40000, -32768}) {
    EXPECT_THROW(Encode({{TableChange::Kind::kRows, "T", columns,
                          {{RowChange::Kind::kInsert, {Value::Text("k"), Value::Integer(value)}, {}}}}}),
                 PatchError)
        << value;
  }
}

}  // namespace
}  // namespace makepatch
