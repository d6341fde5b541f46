#include "msi/transform_decoding.h"

#include <gtest/gtest.h>

#include "column_types.h"
#include "io/codepage.h"
#include "msi/patch_error.h"
#include "msi/standard_schema.h"

namespace makepatch {
namespace {

using namespace testing;

std::optional<std::string> Ascii(std::string_view utf8) { return std::string(utf8); }
std::string AsIs(std::string_view bytes) { return std::string(bytes); }

const std::vector<Column> kPropertyColumns = {{"Property", kKeyText}, {"Value", kText}};
const std::vector<Column> kBinaryColumns = {{"Name", kKeyText}, {"Data", kStream}};

// A table of 17 columns: a change past the 15th is written as a whole row.
std::vector<Column> WideColumns() {
  std::vector<Column> columns = {{"Key", kKeyText}};
  for (int i = 1; i < 17; ++i) columns.push_back({"C" + std::to_string(i), kShort});
  return columns;
}

Row WideRow(std::int32_t last) {
  Row row = {Value::Text("w")};
  for (int i = 1; i < 17; ++i) row.push_back(Value::Integer(i == 16 ? last : i));
  return row;
}

SchemaLookup Schema(const std::map<std::string, std::vector<Column>>& tables) {
  return [tables](const std::string& table) -> std::optional<std::vector<Column>> {
    const auto found = tables.find(table);
    if (found == tables.end()) return std::nullopt;
    return found->second;
  };
}

const std::map<std::string, std::vector<Column>> kSchema = {{"Property", kPropertyColumns}, {"Wide", WideColumns()}};

std::vector<TableChange> SampleChanges() {
  return {
      {TableChange::Kind::kRows, "Property", kPropertyColumns,
       {{RowChange::Kind::kUpdate, {Value::Text("ProductVersion"), Value::Text("5.2.1.0")}, {false, true}},
        {RowChange::Kind::kInsert, {Value::Text("NEW"), Value::Text("x")}, {}},
        {RowChange::Kind::kDelete, {Value::Text("OLD"), Value::Null()}, {}}}},
      {TableChange::Kind::kRows, "Wide", WideColumns(),
       {{RowChange::Kind::kUpdate, WideRow(99), std::vector<bool>(16, false)}}},
      {TableChange::Kind::kCreated, "Blobs", kBinaryColumns,
       {{RowChange::Kind::kInsert, {Value::Text("b1"), Value::Binary({1, 2, 3})}, {}}}},
      {TableChange::Kind::kDropped, "Gone", {}, {}},
  };
}

const TableChange* Find(const DecodedTransform& decoded, const std::string& table) {
  for (const TableChange& change : decoded.changes) {
    if (change.table == table) return &change;
  }
  return nullptr;
}

TEST(DecodeTransformTest, ReadsWhatTheEncoderWrites) {
  std::vector<TableChange> changes = SampleChanges();
  changes[1].rows[0].changed.push_back(true);  // the 17th column
  const DecodedTransform decoded = DecodeTransform(EncodeTransform(changes, 1252, Ascii), Schema(kSchema), AsIs);
  EXPECT_TRUE(decoded.unreadable.empty());
  EXPECT_EQ(decoded.codepage, 1252u);

  const TableChange* property = Find(decoded, "Property");
  ASSERT_NE(property, nullptr);
  ASSERT_EQ(property->rows.size(), 3u);
  EXPECT_EQ(property->rows[0].kind, RowChange::Kind::kUpdate) << "a masked update of column 2";
  EXPECT_EQ(property->rows[0].row, (Row{Value::Text("ProductVersion"), Value::Text("5.2.1.0")}));
  EXPECT_EQ(property->rows[0].changed, (std::vector<bool>{false, true}));
  EXPECT_EQ(property->rows[1].kind, RowChange::Kind::kInsert);
  EXPECT_EQ(property->rows[2].kind, RowChange::Kind::kDelete);
  EXPECT_EQ(property->rows[2].row[0], Value::Text("OLD")) << "a deletion carries the keys only";

  const TableChange* wide = Find(decoded, "Wide");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->rows[0].kind, RowChange::Kind::kInsert) << "past column 15 the row travels whole";
  EXPECT_EQ(wide->rows[0].row, WideRow(99));

  const TableChange* blobs = Find(decoded, "Blobs");
  ASSERT_NE(blobs, nullptr);
  EXPECT_EQ(blobs->kind, TableChange::Kind::kCreated);
  EXPECT_EQ(blobs->columns, kBinaryColumns) << "the columns come from the transform's own _Columns rows";
  ASSERT_EQ(blobs->rows.size(), 1u);
  EXPECT_EQ(blobs->rows[0].row[1], Value::Binary({1, 2, 3})) << "the field's stream, found by the row's key";

  ASSERT_NE(Find(decoded, "Gone"), nullptr);
  EXPECT_EQ(Find(decoded, "Gone")->kind, TableChange::Kind::kDropped);
}

TEST(DecodeTransformTest, DamageIsToldPerTable) {
  struct Case {
    const char* why;
    std::function<void(std::map<std::u16string, Bytes>&)> damage;
    const char* table;
    const char* reason;
  };
  const auto stream = [](std::map<std::u16string, Bytes>& streams, const char* table) -> Bytes& {
    return streams.at(EncodeStreamName(table, true));
  };
  const Case cases[] = {
      {"a row cut short", [&](auto& s) { stream(s, "Property").pop_back(); }, "Property", "ends inside a row"},
      {"a string the pool lacks", [&](auto& s) { stream(s, "Property")[2] = 0x7F; }, "Property", "string pool does not have"},
      {"more columns than the table", [&](auto& s) { stream(s, "Property")[1] = 9; }, "Property", "columns"},
      {"a table of unknown columns", [&](auto& s) { s[EncodeStreamName("Mystery", true)] = {0, 0}; }, "Mystery",
       "columns are unknown"},
  };
  for (const Case& c : cases) {
    auto streams = EncodeTransform(SampleChanges(), 1252, Ascii);
    c.damage(streams);
    const DecodedTransform decoded = DecodeTransform(streams, Schema(kSchema), AsIs);
    ASSERT_EQ(decoded.unreadable.size(), 1u) << c.why;
    EXPECT_EQ(decoded.unreadable[0].first, c.table) << c.why;
    EXPECT_NE(decoded.unreadable[0].second.find(c.reason), std::string::npos) << c.why << ": " << decoded.unreadable[0].second;
    EXPECT_NE(Find(decoded, "Wide"), nullptr) << c.why << ": the other tables are still read";
  }
  auto streams = EncodeTransform(SampleChanges(), 1252, Ascii);
  streams.at(EncodeStreamName("_StringData", true)).resize(3);
  EXPECT_THROW(DecodeTransform(streams, Schema(kSchema), AsIs), PatchError) << "a pool longer than its data";
}

TEST(ApplyTransformTest, ChangesRowsAndTellsWhatIsMissing) {
  Database base;
  base.tables["Property"] = {"Property", kPropertyColumns,
                             {{Value::Text("ProductVersion"), Value::Text("5.2.0.0")}, {Value::Text("OLD"), Value::Text("y")}}};
  base.tables["Gone"] = {"Gone", kPropertyColumns, {}};
  std::vector<std::string> conflicts;
  const Database patched = ApplyTransform(base, SampleChanges(), &conflicts);
  const Table& property = patched.tables.at("Property");
  EXPECT_EQ(property.rows, (std::vector<Row>{{Value::Text("ProductVersion"), Value::Text("5.2.1.0")},
                                              {Value::Text("NEW"), Value::Text("x")}}));
  EXPECT_TRUE(patched.tables.contains("Blobs"));
  EXPECT_FALSE(patched.tables.contains("Gone"));
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_NE(conflicts[0].find("changes rows of the table Wide, which is missing"), std::string::npos) << conflicts[0];

  std::vector<std::string> again;
  ApplyTransform(patched, SampleChanges(), &again);
  EXPECT_NE(std::find_if(again.begin(), again.end(), [](const std::string& c) {
              return c.find("deletes the row (OLD) of Property, which is missing") != std::string::npos;
            }), again.end());
}

TEST(DecodeStreamNameTest, InvertsTheEncoding) {
  for (const char* name : {"File", "_StringPool", "Media", "#T1", "Binary.Icon.ico", "x"}) {
    for (bool table : {true, false}) {
      const StreamName decoded = DecodeStreamName(EncodeStreamName(name, table));
      EXPECT_EQ(decoded.name, name);
      EXPECT_EQ(decoded.isTable, table);
    }
  }
}

// A damaged patch hands the decoder empty strings with no bytes behind
// them; UTF-8 (65001) once crashed on those.
TEST(DecoderForTest, EmptyTextInEveryKindOfCodePage) {
  for (std::uint32_t codepage : {0u, 1252u, 65001u, 932u}) {
    EXPECT_EQ(DecoderFor(codepage)(std::string_view()), "") << codepage;
    EXPECT_EQ(DecoderFor(codepage)(std::string_view("ab", 2)), "ab") << codepage;
  }
}

TEST(StandardColumnsTest, DocumentedShapes) {
  struct Case {
    const char* table;
    std::size_t columns, keys;
    const char* column;
    unsigned width;  // bytes in a table stream, 0 for a string
  };
  const Case cases[] = {
      {"File", 8, 1, "Sequence", 4}, {"Media", 6, 1, "DiskId", 2}, {"Registry", 6, 1, "Root", 2},
      {"Patch", 6, 2, "PatchSize", 4}, {"Upgrade", 7, 5, "Attributes", 4}, {"Shortcut", 16, 1, "Hotkey", 2},
  };
  for (const Case& c : cases) {
    const auto columns = StandardColumns(c.table);
    ASSERT_TRUE(columns) << c.table;
    EXPECT_EQ(columns->size(), c.columns) << c.table;
    EXPECT_EQ(std::count_if(columns->begin(), columns->end(), [](const Column& x) { return x.IsKey(); }),
              static_cast<std::ptrdiff_t>(c.keys)) << c.table;
    const Table shape{c.table, *columns, {}};
    const Column& column = (*columns)[*shape.ColumnIndex(c.column)];
    EXPECT_EQ(column.IsString() ? 0u : column.IntegerWidth(), c.width) << c.table << "." << c.column;
  }
  EXPECT_FALSE(StandardColumns("WixUI_Custom"));
  EXPECT_EQ(ColumnTypeFromText("s72"), std::optional<std::uint16_t>(kKeyText & ~kColumnKey));
  EXPECT_EQ(ColumnTypeFromText("v0"), std::optional<std::uint16_t>(kStream & ~kColumnNullable));
  EXPECT_FALSE(ColumnTypeFromText("i3"));
}

}  // namespace
}  // namespace makepatch
