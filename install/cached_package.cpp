#include "install/cached_package.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "install/working_copy.h"

namespace hotfix {
namespace {

// Database columns are read through this many units, terminator included.
constexpr std::uint32_t kKeyBufferLength = 260;

constexpr std::uint32_t kKeyField = 1;
constexpr std::uint32_t kValueField = 2;

// Reads the key column of record. Nothing is compared when the read failed:
// in particular a key too long for the buffer (more data) arrives cut, and
// a cut key must never pass for a list key.
bool ReadKey(Installer& installer, MsiHandle record, std::u16string& key) {
  std::array<char16_t, kKeyBufferLength> buffer{};
  std::uint32_t length = kKeyBufferLength;
  if (installer.MsiRecordGetStringW(record, kKeyField, buffer.data(), &length) != kErrorSuccess)
    return false;
  const std::size_t limit = std::min<std::size_t>(length, kKeyBufferLength - 1);
  key.assign(buffer.data(), std::find(buffer.begin(), buffer.begin() + limit, u'\0'));
  return true;
}

// Writes the changed record back over its row. Wine's msi refuses
// MSIMODIFY_REPLACE on a view made by SELECT with ERROR_FUNCTION_FAILED;
// MSIMODIFY_UPDATE makes the same change to the fetched row there, and its
// key column is left as it was, so the two modes agree on the result.
void WriteRowBack(Installer& installer, MsiHandle view, MsiHandle record) {
  if (installer.MsiViewModify(view, kMsiModifyReplace, record) == kErrorFunctionFailed)
    installer.MsiViewModify(view, kMsiModifyUpdate, record);
}

// What became of one pass's commit.
enum class PassCommit { kNone, kDone, kFailed };

// One pass over the rows of query: every row whose key is in edits gets its
// second column rewritten, until bound rows were written or the rows end.
// Commits whenever the view could be opened, changes or not.
PassCommit RunEditPass(Installer& installer, MsiHandle database, const char16_t* query,
                       std::span<const ColumnEdit> edits, int bound) {
  int modifications = 0;
  MsiHandle openedView = 0;
  if (installer.MsiDatabaseOpenViewW(database, query, &openedView) != kErrorSuccess)
    return PassCommit::kNone;
  const UniqueMsiHandle view(installer, openedView);

  if (installer.MsiViewExecute(view.get(), 0) == kErrorSuccess) {
    MsiHandle fetched = 0;
    std::u16string key;
    while (installer.MsiViewFetch(view.get(), &fetched) == kErrorSuccess) {
      const UniqueMsiHandle record(installer, fetched);
      fetched = 0;
      if (ReadKey(installer, record.get(), key)) {
        for (const ColumnEdit& edit : edits) {
          if (key != edit.key) continue;
          const std::u16string value(edit.value);
          installer.MsiRecordSetStringW(record.get(), kValueField, value.c_str());
          WriteRowBack(installer, view.get(), record.get());
          ++modifications;
        }
      }
      if (modifications >= bound) break;
    }
  }
  // The view is closed after the commit, on the way out. A commit that
  // failed may have written part of the file.
  return installer.MsiDatabaseCommit(database) == kErrorSuccess ? PassCommit::kDone
                                                                : PassCommit::kFailed;
}

// Both passes on the database file at path; true when the file is worth
// putting in the package's place: at least one pass committed and none
// failed to. The database is closed when it returns.
bool EditDatabase(Installer& installer, const std::u16string& path) {
  MsiHandle openedDatabase = 0;
  if (installer.MsiOpenDatabaseW(path.c_str(), kMsiDbOpenTransact, &openedDatabase) !=
      kErrorSuccess)
    return false;
  const UniqueMsiHandle database(installer, openedDatabase);

  const PassCommit sequence = RunEditPass(installer, database.get(), kSequenceQuery,
                                          SequenceConditionEdits, kSequenceEditBound);
  // Runs whatever became of the sequence pass.
  const PassCommit registry = RunEditPass(installer, database.get(), kRegistryQuery,
                                          RegistryComponentEdits, kRegistryEditBound);
  return sequence != PassCommit::kFailed && registry != PassCommit::kFailed &&
         (sequence == PassCommit::kDone || registry == PassCommit::kDone);
}

}  // namespace

void AdjustCachedPackage(Installer& installer, FileSystem& files,
                         const std::u16string& localPackage) {
  WorkingCopy copy(files, localPackage);
  if (!copy.Make()) return;
  if (EditDatabase(installer, copy.path())) copy.Replace();
}

}  // namespace hotfix
