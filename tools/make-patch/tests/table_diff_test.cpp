#include "msi/table_diff.h"

#include <gtest/gtest.h>

#include "msi/patch_error.h"
#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

Table FileTable(std::vector<Row> rows) {
  return {"File", {{"File", kKeyText}, {"Version", kText}, {"Sequence", kLong}}, std::move(rows)};
}
Row FileRow(const char* key, const char* version, int sequence) {
  return {Value::Text(key), Value::Text(version), Value::Integer(sequence)};
}

TEST(DiffTableTest, RowsByPrimaryKey) {
  const Table older = FileTable({FileRow("a", "1.0", 1), FileRow("b", "1.0", 2), FileRow("c", "1.0", 3)});
  const Table newer = FileTable({FileRow("a", "1.0", 9), FileRow("b", "2.0", 2), FileRow("d", "", 4)});
  const auto change = DiffTable(&older, &newer, {"File.Sequence"});
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->kind, TableChange::Kind::kRows);
  // a: only its ignored sequence differs; b: its version; c: gone; d: new.
  ASSERT_EQ(change->rows.size(), 3u);
  EXPECT_EQ(change->rows[0].kind, RowChange::Kind::kDelete);
  EXPECT_EQ(change->rows[0].row[0].text, "c");
  EXPECT_EQ(change->rows[1].kind, RowChange::Kind::kUpdate);
  EXPECT_EQ(change->rows[1].row, FileRow("b", "2.0", 2));
  EXPECT_EQ(change->rows[1].changed, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(change->rows[2].kind, RowChange::Kind::kInsert);
  EXPECT_TRUE(change->rows[2].row[1].IsNull()) << "an empty text is null";
}

TEST(DiffTableTest, AnIgnoredColumnKeepsItsOldValueInAnUpdate) {
  const Table older = FileTable({FileRow("a", "1.0", 1)});
  const Table newer = FileTable({FileRow("a", "2.0", 7)});
  const auto change = DiffTable(&older, &newer, {"File.Sequence"});
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->rows.at(0).row, FileRow("a", "2.0", 1));
}

TEST(DiffTableTest, WholeTables) {
  const Table table = FileTable({FileRow("a", "1.0", 1)});
  EXPECT_FALSE(DiffTable(&table, &table).has_value()) << "no change, no stream";

  const auto created = DiffTable(nullptr, &table);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->kind, TableChange::Kind::kCreated);
  EXPECT_EQ(created->columns, table.columns);
  ASSERT_EQ(created->rows.size(), 1u);
  EXPECT_EQ(created->rows[0].kind, RowChange::Kind::kInsert);

  const auto dropped = DiffTable(&table, nullptr);
  ASSERT_TRUE(dropped.has_value());
  EXPECT_EQ(dropped->kind, TableChange::Kind::kDropped);
}

TEST(DiffTableTest, RefusesATableWhoseColumnsChange) {
  const Table older = FileTable({});
  Table newer = FileTable({});
  newer.columns[1].type = kText & ~kColumnNullable;
  EXPECT_THROW(DiffTable(&older, &newer), PatchError);
}

}  // namespace
}  // namespace makepatch
