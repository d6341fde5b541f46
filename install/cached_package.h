// The fixed edits made to a product's cached installer database before the
// patch is applied.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/installer.h"

namespace hotfix {

// The conditions written into InstallExecuteSequence, character for
// character: a blank before each "<>" of the source condition and none after
// it, none on either side of the SHAREDSUPPORT comparison.
inline constexpr std::u16string_view kSourceCondition =
    u"NOT Installed OR (REINSTALLMODE AND NOT PATCH AND NOT MSIPATCHREMOVE AND REMOVE <>\"ALL\" "
    u"AND QUOR_SECONDARY_INSTALL <>\"1\")";
inline constexpr std::u16string_view kSharedSupportCondition =
    u"(NOT Installed OR (REINSTALLMODE AND NOT PATCH AND NOT MSIPATCHREMOVE AND REMOVE <>\"ALL\" "
    u"AND QUOR_SECONDARY_INSTALL <>\"1\")) AND SHAREDSUPPORT<>\"1\"";
inline constexpr std::u16string_view kMaintenanceCondition = u"Installed AND NOT MSIPATCHREMOVE";

// The component that the two Registry rows move to.
inline constexpr std::u16string_view kSharedRegistryComponent =
    u"QUORE.arx.9A0AD67F_1899_4E39_B406_AAD935BD48BE";

// One fixed edit: the row whose key column equals key (whole string, case
// sensitive) gets value in its second column.
struct ColumnEdit {
  std::u16string_view key;
  std::u16string_view value;
};

// Keyed by Action, rewriting Condition.
inline constexpr std::array<ColumnEdit, 8> SequenceConditionEdits = {{
    {u"ResolveSourceDir", kSourceCondition},
    {u"SetMergeManufacturerMDBCD", kSharedSupportCondition},
    {u"MergeManufacturerMDBCD", kSharedSupportCondition},
    {u"SetMergeManufacturerMDBCDEX", kSharedSupportCondition},
    {u"MergeManufacturerMDBCDEX", kSharedSupportCondition},
    {u"SetUncabManufacturerCD", kSharedSupportCondition},
    {u"UncabManufacturerCD", kSharedSupportCondition},
    {u"HarvestInstallSelection", kMaintenanceCondition},
}};

// Keyed by Registry, rewriting Component_.
inline constexpr std::array<ColumnEdit, 2> RegistryComponentEdits = {{
    {u"registry461", kSharedRegistryComponent},
    {u"QUORMiniDump_SendAppArgs", kSharedRegistryComponent},
}};

// Each query selects the key first and the rewritten column second.
inline constexpr char16_t kSequenceQuery[] = u"SELECT Action,Condition FROM InstallExecuteSequence";
inline constexpr char16_t kRegistryQuery[] = u"SELECT Registry,Component_ FROM Registry";

// Rows written per pass at most. The sequence pass can match only 8 rows (the
// key is unique) and so always reads its table to the end; the registry pass
// stops right after its second row.
inline constexpr int kSequenceEditBound = 10;
inline constexpr int kRegistryEditBound = 2;

// Copies localPackage to a working copy beside it, opens the copy
// transacted, rewrites the conditions of the eight InstallExecuteSequence
// actions, then moves the two Registry rows, committing each pass whose view
// opened on its own; once the copy is closed, it takes the package's place in
// one step, when at least one pass committed and no commit failed. Reports
// nothing and returns nothing: a package that cannot be copied, or a copy
// that cannot be opened or put in place, leaves the package as it was. The
// copy is gone when it returns, and every handle it opened is closed, so the
// service finds the package closed.
void AdjustCachedPackage(Installer& installer, FileSystem& files,
                         const std::u16string& localPackage);

}  // namespace hotfix
