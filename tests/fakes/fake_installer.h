// A scripted Windows Installer: products, patch summaries and transacted
// databases held in memory. It tracks every handle it hands out and records
// the calls made, so a test can assert what was opened, modified, committed
// and closed.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/installer.h"

namespace hotfix::testing {

class FakeInstaller : public Installer {
 public:
  struct Product {
    int state = kInstallStateDefault;
    std::map<std::u16string, std::u16string> properties;
    std::deque<std::uint32_t> configureResults;  // one per call; 0 when used up
  };

  struct Summary {
    std::u16string templateText;
    bool hasTemplate = true;
  };

  struct Table {
    std::vector<std::u16string> columns;
    std::vector<std::vector<std::u16string>> rows;
    bool operator==(const Table&) const = default;
  };

  struct Database {
    std::map<std::u16string, Table> tables;  // what the file holds (committed)
    std::uint32_t openResult = 0;
    std::map<std::u16string, std::uint32_t> openViewResults;  // by query
    std::map<std::u16string, std::uint32_t> executeResults;   // by query
    // By query: the fetch with this 0-based index fails with 1627.
    std::map<std::u16string, std::size_t> failingFetch;
    // Result of MsiViewModify by mode; a mode not listed succeeds.
    std::map<int, std::uint32_t> modifyResults;
  };

  struct ConfigureCall {
    std::u16string product;
    int installLevel;
    int installState;
    std::u16string commandLine;
  };

  // What the service knows. Keys: product code, full path of a summary file,
  // path of a database.
  std::map<std::u16string, Product> products;
  std::map<std::u16string, Summary> summaries;
  std::map<std::u16string, Database> databases;

  // Results forced onto the next calls of an operation (by name), taking
  // effect before any other behaviour.
  std::map<std::string, std::deque<std::uint32_t>> forcedResults;

  // What was done.
  std::vector<std::string> calls;  // e.g. "MsiViewModify 4 registry461"
  std::vector<ConfigureCall> configureCalls;
  std::vector<std::uint32_t> propertyReadLengths;  // in/out length passed to each summary read

  // Handle bookkeeping.
  std::set<MsiHandle> OpenHandles() const;
  int handlesOpened() const { return static_cast<int>(nextHandle_ - 1); }
  int badCloses() const { return badCloses_; }  // closes of handles not open

  int CountCalls(const std::string& prefix) const;

  // Installer
  std::uint32_t MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                          std::uint32_t updateCount, MsiHandle* summary) override;
  std::uint32_t MsiSummaryInfoGetPropertyW(MsiHandle summary, std::uint32_t property,
                                           std::uint32_t* dataType, std::int32_t* intValue,
                                           InstallerFileTime* fileTime, char16_t* buffer,
                                           std::uint32_t* length) override;
  int MsiQueryProductStateW(const char16_t* product) override;
  std::uint32_t MsiGetProductInfoW(const char16_t* product, const char16_t* property,
                                   char16_t* buffer, std::uint32_t* length) override;
  std::uint32_t MsiOpenDatabaseW(const char16_t* path, std::uintptr_t persist,
                                 MsiHandle* database) override;
  std::uint32_t MsiDatabaseOpenViewW(MsiHandle database, const char16_t* query,
                                     MsiHandle* view) override;
  std::uint32_t MsiViewExecute(MsiHandle view, MsiHandle parameters) override;
  std::uint32_t MsiViewFetch(MsiHandle view, MsiHandle* record) override;
  std::uint32_t MsiRecordGetStringW(MsiHandle record, std::uint32_t field, char16_t* buffer,
                                    std::uint32_t* length) override;
  std::uint32_t MsiRecordSetStringW(MsiHandle record, std::uint32_t field,
                                    const char16_t* value) override;
  std::uint32_t MsiViewModify(MsiHandle view, int mode, MsiHandle record) override;
  std::uint32_t MsiDatabaseCommit(MsiHandle database) override;
  std::uint32_t MsiCloseHandle(MsiHandle handle) override;
  std::uint32_t MsiConfigureProductExW(const char16_t* product, int installLevel, int installState,
                                       const char16_t* commandLine) override;

 private:
  enum class Kind { kSummary, kDatabase, kView, kRecord };
  struct OpenDatabase {
    std::u16string path;
    std::map<std::u16string, Table> working;  // uncommitted edits
  };
  struct View {
    MsiHandle database = 0;
    std::u16string query;
    std::u16string table;
    std::vector<std::size_t> columnIndexes;
    bool executed = false;
    std::size_t next = 0;
    std::size_t fetches = 0;
  };
  struct Record {
    MsiHandle view = 0;
    std::size_t row = 0;
    std::vector<std::u16string> fields;  // fields[0] is field 1
  };

  MsiHandle NewHandle(Kind kind);
  bool Forced(const std::string& op, std::uint32_t& result);
  bool IsOpen(MsiHandle handle, Kind kind) const;

  MsiHandle nextHandle_ = 1;
  std::map<MsiHandle, Kind> open_;
  int badCloses_ = 0;
  std::map<MsiHandle, std::u16string> summaryPaths_;
  std::map<MsiHandle, OpenDatabase> openDatabases_;
  std::map<MsiHandle, View> views_;
  std::map<MsiHandle, Record> records_;
};

// UTF-16 to a narrow text for messages (non-ASCII as '?').
std::string Narrow(const std::u16string& text);

}  // namespace hotfix::testing
