// The plain way to make the hotfix's ten cached-package changes: open the
// package transacted once, run one SQL UPDATE per changed row (the eight
// InstallExecuteSequence conditions and the two Registry components, the very
// texts of the program's lists), commit once.
//
//   msi_update PACKAGE
//
// Prints {"updated":N,...} with the number of statements that ran; exit
// code 0 when all ten did and the commit succeeded, 1 otherwise, 2 on usage.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <string>

#include "install/cached_package.h"

namespace {

// Runs query with the record (value, key) for its two markers.
bool Update(MSIHANDLE database, const wchar_t* query, std::u16string_view value,
            std::u16string_view key) {
  MSIHANDLE view = 0;
  if (MsiDatabaseOpenViewW(database, query, &view) != ERROR_SUCCESS) return false;
  const std::wstring valueText(value.begin(), value.end());
  const std::wstring keyText(key.begin(), key.end());
  MSIHANDLE record = MsiCreateRecord(2);
  MsiRecordSetStringW(record, 1, valueText.c_str());
  MsiRecordSetStringW(record, 2, keyText.c_str());
  const bool done = MsiViewExecute(view, record) == ERROR_SUCCESS;
  MsiCloseHandle(record);
  MsiViewClose(view);
  MsiCloseHandle(view);
  return done;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: msi_update PACKAGE\n", stderr);
    return 2;
  }
  MSIHANDLE database = 0;
  if (MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, &database) != ERROR_SUCCESS) {
    std::fputs("msi_update: cannot open the package\n", stderr);
    return 1;
  }
  int updated = 0;
  for (const hotfix::ColumnEdit& edit : hotfix::SequenceConditionEdits) {
    updated += Update(database, L"UPDATE `InstallExecuteSequence` SET `Condition` = ? WHERE `Action` = ?",
                      edit.value, edit.key);
  }
  for (const hotfix::ColumnEdit& edit : hotfix::RegistryComponentEdits) {
    updated += Update(database, L"UPDATE `Registry` SET `Component_` = ? WHERE `Registry` = ?",
                      edit.value, edit.key);
  }
  const bool committed = MsiDatabaseCommit(database) == ERROR_SUCCESS;
  MsiCloseHandle(database);
  std::printf("{\"updated\":%d,\"committed\":%s}\n", updated, committed ? "true" : "false");
  return updated == 10 && committed ? 0 : 1;
}
