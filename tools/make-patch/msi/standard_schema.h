// The columns of Windows Installer's standard tables, as Microsoft's
// database reference documents them: what a transform's table streams are
// read with when the package they apply to is not at hand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "msi/database.h"

namespace makepatch {

// The documented columns of a standard table, in order; nothing for a table
// the reference does not define.
std::optional<std::vector<Column>> StandardColumns(const std::string& table);

// A column type from its text in an exported table's second line ("s72",
// "L255", "i2", "V0"; key columns are told apart elsewhere); nothing when
// the text is not one.
std::optional<std::uint16_t> ColumnTypeFromText(const std::string& text);

}  // namespace makepatch
