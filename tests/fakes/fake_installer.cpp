#include "tests/fakes/fake_installer.h"

#include <algorithm>

namespace hotfix::testing {
namespace {

constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorOpenFailed = 110;
constexpr std::uint32_t kErrorBadQuerySyntax = 1615;
constexpr std::uint32_t kErrorUnknownProduct = 1605;
constexpr std::uint32_t kErrorUnknownProperty = 1608;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorInvalidParameter = 87;

std::u16string Trim(const std::u16string& text) {
  const auto first = text.find_first_not_of(u' ');
  if (first == std::u16string::npos) return {};
  const auto last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

// The service's convention for text out-parameters: capacity in, length out.
std::uint32_t CopyOut(const std::u16string& value, char16_t* buffer, std::uint32_t* length) {
  if (length == nullptr) return kErrorInvalidParameter;
  const std::uint32_t capacity = *length;
  *length = static_cast<std::uint32_t>(value.size());
  if (buffer == nullptr) return 0;
  if (value.size() < capacity) {
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = u'\0';
    return 0;
  }
  if (capacity > 0) {
    std::copy(value.begin(), value.begin() + (capacity - 1), buffer);
    buffer[capacity - 1] = u'\0';
  }
  return kErrorMoreData;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::set<MsiHandle> FakeInstaller::OpenHandles() const {
  std::set<MsiHandle> handles;
  for (const auto& [handle, kind] : open_) handles.insert(handle);
  return handles;
}

int FakeInstaller::CountCalls(const std::string& prefix) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
    return call.compare(0, prefix.size(), prefix) == 0;
  }));
}

MsiHandle FakeInstaller::NewHandle(Kind kind) {
  const MsiHandle handle = nextHandle_++;
  open_[handle] = kind;
  return handle;
}

bool FakeInstaller::Forced(const std::string& op, std::uint32_t& result) {
  auto it = forcedResults.find(op);
  if (it == forcedResults.end() || it->second.empty()) return false;
  result = it->second.front();
  it->second.pop_front();
  return true;
}

bool FakeInstaller::IsOpen(MsiHandle handle, Kind kind) const {
  auto it = open_.find(handle);
  return it != open_.end() && it->second == kind;
}

std::uint32_t FakeInstaller::MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                                       std::uint32_t updateCount,
                                                       MsiHandle* summary) {
  const std::u16string text = path ? path : u"";
  calls.push_back("MsiGetSummaryInformationW " + Narrow(text) + " " + std::to_string(database) +
                  " " + std::to_string(updateCount));
  std::uint32_t forced;
  if (Forced("MsiGetSummaryInformationW", forced)) return forced;
  if (summary == nullptr) return kErrorInvalidParameter;
  if (database != 0 || summaries.find(text) == summaries.end()) return kErrorOpenFailed;
  *summary = NewHandle(Kind::kSummary);
  summaryPaths_[*summary] = text;
  return 0;
}

std::uint32_t FakeInstaller::MsiSummaryInfoGetPropertyW(MsiHandle summary, std::uint32_t property,
                                                        std::uint32_t* dataType,
                                                        std::int32_t* intValue,
                                                        InstallerFileTime* fileTime,
                                                        char16_t* buffer, std::uint32_t* length) {
  calls.push_back("MsiSummaryInfoGetPropertyW " + std::to_string(property));
  propertyReadLengths.push_back(length ? *length : 0);
  std::uint32_t forced;
  if (Forced("MsiSummaryInfoGetPropertyW", forced)) return forced;
  if (!IsOpen(summary, Kind::kSummary)) return kErrorInvalidHandle;
  const Summary& info = summaries.at(summaryPaths_.at(summary));
  if (property != kPidTemplate || !info.hasTemplate) {
    if (dataType) *dataType = 0;  // VT_EMPTY: nothing written
    return 0;
  }
  if (dataType) *dataType = 30;  // VT_LPSTR
  if (intValue) *intValue = 0;
  if (fileTime) *fileTime = {};
  return CopyOut(info.templateText, buffer, length);
}

int FakeInstaller::MsiQueryProductStateW(const char16_t* product) {
  const std::u16string code = product ? product : u"";
  calls.push_back("MsiQueryProductStateW " + Narrow(code));
  auto it = products.find(code);
  return it == products.end() ? -1 : it->second.state;
}

std::uint32_t FakeInstaller::MsiGetProductInfoW(const char16_t* product, const char16_t* property,
                                                char16_t* buffer, std::uint32_t* length) {
  const std::u16string code = product ? product : u"";
  const std::u16string name = property ? property : u"";
  calls.push_back("MsiGetProductInfoW " + Narrow(code) + " " + Narrow(name) + " " +
                  std::to_string(length ? *length : 0));
  std::uint32_t forced;
  if (Forced("MsiGetProductInfoW", forced)) return forced;
  auto it = products.find(code);
  if (it == products.end()) return kErrorUnknownProduct;
  auto value = it->second.properties.find(name);
  if (value == it->second.properties.end()) return kErrorUnknownProperty;
  return CopyOut(value->second, buffer, length);
}

std::uint32_t FakeInstaller::MsiOpenDatabaseW(const char16_t* path, std::uintptr_t persist,
                                              MsiHandle* database) {
  const std::u16string text = path ? path : u"";
  calls.push_back("MsiOpenDatabaseW " + Narrow(text) + " " + std::to_string(persist));
  std::uint32_t forced;
  if (Forced("MsiOpenDatabaseW", forced)) return forced;
  auto it = databases.find(text);
  if (it == databases.end()) return kErrorOpenFailed;
  if (it->second.openResult != 0) return it->second.openResult;
  *database = NewHandle(Kind::kDatabase);
  openDatabases_[*database] = OpenDatabase{text, it->second.tables};
  return 0;
}

std::uint32_t FakeInstaller::MsiDatabaseOpenViewW(MsiHandle database, const char16_t* query,
                                                  MsiHandle* view) {
  const std::u16string text = query ? query : u"";
  calls.push_back("MsiDatabaseOpenViewW " + Narrow(text));
  std::uint32_t forced;
  if (Forced("MsiDatabaseOpenViewW", forced)) return forced;
  if (!IsOpen(database, Kind::kDatabase)) return kErrorInvalidHandle;
  OpenDatabase& open = openDatabases_.at(database);
  const Database& file = databases.at(open.path);
  if (auto r = file.openViewResults.find(text); r != file.openViewResults.end() && r->second != 0)
    return r->second;

  // Only the form "SELECT a,b FROM t" is understood.
  const std::u16string select = u"SELECT ";
  const std::u16string from = u" FROM ";
  const auto fromAt = text.find(from);
  if (text.rfind(select, 0) != 0 || fromAt == std::u16string::npos) return kErrorBadQuerySyntax;
  const std::u16string tableName = Trim(text.substr(fromAt + from.size()));
  auto table = open.working.find(tableName);
  if (table == open.working.end()) return kErrorBadQuerySyntax;
  View v;
  v.database = database;
  v.query = text;
  v.table = tableName;
  std::u16string columns = text.substr(select.size(), fromAt - select.size());
  std::size_t start = 0;
  while (start <= columns.size()) {
    const auto comma = columns.find(u',', start);
    const std::u16string column =
        Trim(columns.substr(start, comma == std::u16string::npos ? std::u16string::npos
                                                                  : comma - start));
    const auto& names = table->second.columns;
    const auto at = std::find(names.begin(), names.end(), column);
    if (at == names.end()) return kErrorBadQuerySyntax;
    v.columnIndexes.push_back(static_cast<std::size_t>(at - names.begin()));
    if (comma == std::u16string::npos) break;
    start = comma + 1;
  }
  *view = NewHandle(Kind::kView);
  views_[*view] = v;
  return 0;
}

std::uint32_t FakeInstaller::MsiViewExecute(MsiHandle view, MsiHandle parameters) {
  calls.push_back("MsiViewExecute " + std::to_string(parameters));
  std::uint32_t forced;
  if (Forced("MsiViewExecute", forced)) return forced;
  if (!IsOpen(view, Kind::kView)) return kErrorInvalidHandle;
  View& v = views_.at(view);
  const Database& file = databases.at(openDatabases_.at(v.database).path);
  if (auto r = file.executeResults.find(v.query); r != file.executeResults.end() && r->second != 0)
    return r->second;
  v.executed = true;
  v.next = 0;
  return 0;
}

std::uint32_t FakeInstaller::MsiViewFetch(MsiHandle view, MsiHandle* record) {
  calls.push_back("MsiViewFetch");
  std::uint32_t forced;
  if (Forced("MsiViewFetch", forced)) return forced;
  if (!IsOpen(view, Kind::kView)) return kErrorInvalidHandle;
  View& v = views_.at(view);
  if (!v.executed) return kErrorFunctionFailed;
  const std::size_t attempt = v.fetches++;
  const Database& file = databases.at(openDatabases_.at(v.database).path);
  if (auto f = file.failingFetch.find(v.query); f != file.failingFetch.end() && f->second == attempt)
    return kErrorFunctionFailed;
  const Table& table = openDatabases_.at(v.database).working.at(v.table);
  if (v.next >= table.rows.size()) return kErrorNoMoreItems;
  Record r;
  r.view = view;
  r.row = v.next++;
  for (std::size_t column : v.columnIndexes) r.fields.push_back(table.rows[r.row][column]);
  *record = NewHandle(Kind::kRecord);
  records_[*record] = r;
  return 0;
}

std::uint32_t FakeInstaller::MsiRecordGetStringW(MsiHandle record, std::uint32_t field,
                                                 char16_t* buffer, std::uint32_t* length) {
  calls.push_back("MsiRecordGetStringW " + std::to_string(field) + " " +
                  std::to_string(length ? *length : 0));
  std::uint32_t forced;
  if (Forced("MsiRecordGetStringW", forced)) return forced;
  if (!IsOpen(record, Kind::kRecord)) return kErrorInvalidHandle;
  const Record& r = records_.at(record);
  if (field == 0 || field > r.fields.size()) return CopyOut(u"", buffer, length);
  return CopyOut(r.fields[field - 1], buffer, length);
}

std::uint32_t FakeInstaller::MsiRecordSetStringW(MsiHandle record, std::uint32_t field,
                                                 const char16_t* value) {
  const std::u16string text = value ? value : u"";
  calls.push_back("MsiRecordSetStringW " + std::to_string(field) + " " + Narrow(text));
  std::uint32_t forced;
  if (Forced("MsiRecordSetStringW", forced)) return forced;
  if (!IsOpen(record, Kind::kRecord)) return kErrorInvalidHandle;
  Record& r = records_.at(record);
  if (field == 0 || field > r.fields.size()) return kErrorInvalidParameter;
  r.fields[field - 1] = text;
  return 0;
}

std::uint32_t FakeInstaller::MsiViewModify(MsiHandle view, int mode, MsiHandle record) {
  std::string key = "?";
  if (auto r = records_.find(record); r != records_.end() && !r->second.fields.empty())
    key = Narrow(r->second.fields[0]);
  calls.push_back("MsiViewModify " + std::to_string(mode) + " " + key);
  std::uint32_t forced;
  if (Forced("MsiViewModify", forced)) return forced;
  if (!IsOpen(view, Kind::kView) || !IsOpen(record, Kind::kRecord)) return kErrorInvalidHandle;
  View& v = views_.at(view);
  const Database& file = databases.at(openDatabases_.at(v.database).path);
  if (auto m = file.modifyResults.find(mode); m != file.modifyResults.end() && m->second != 0)
    return m->second;
  if (mode != kMsiModifyReplace && mode != kMsiModifyUpdate) return kErrorFunctionFailed;
  const Record& r = records_.at(record);
  Table& table = openDatabases_.at(v.database).working.at(v.table);
  for (std::size_t i = 0; i < v.columnIndexes.size(); ++i)
    table.rows[r.row][v.columnIndexes[i]] = r.fields[i];
  return 0;
}

std::uint32_t FakeInstaller::MsiDatabaseCommit(MsiHandle database) {
  calls.push_back("MsiDatabaseCommit");
  std::uint32_t forced;
  if (Forced("MsiDatabaseCommit", forced)) return forced;
  if (!IsOpen(database, Kind::kDatabase)) return kErrorInvalidHandle;
  OpenDatabase& open = openDatabases_.at(database);
  databases.at(open.path).tables = open.working;
  return 0;
}

std::uint32_t FakeInstaller::MsiCloseHandle(MsiHandle handle) {
  auto it = open_.find(handle);
  std::string kind = "?";
  if (it != open_.end()) {
    switch (it->second) {
      case Kind::kSummary: kind = "summary"; break;
      case Kind::kDatabase: kind = "database"; break;
      case Kind::kView: kind = "view"; break;
      case Kind::kRecord: kind = "record"; break;
    }
  }
  calls.push_back("MsiCloseHandle " + kind);
  if (it == open_.end()) {
    ++badCloses_;
    return kErrorInvalidHandle;
  }
  open_.erase(it);
  summaryPaths_.erase(handle);
  openDatabases_.erase(handle);  // uncommitted edits are dropped
  views_.erase(handle);
  records_.erase(handle);
  return 0;
}

std::uint32_t FakeInstaller::MsiConfigureProductExW(const char16_t* product, int installLevel,
                                                    int installState, const char16_t* commandLine) {
  const std::u16string code = product ? product : u"";
  configureCalls.push_back({code, installLevel, installState, commandLine ? commandLine : u""});
  calls.push_back("MsiConfigureProductExW " + Narrow(code));
  std::uint32_t forced;
  if (Forced("MsiConfigureProductExW", forced)) return forced;
  auto it = products.find(code);
  if (it == products.end()) return kErrorUnknownProduct;
  if (it->second.configureResults.empty()) return 0;
  const std::uint32_t result = it->second.configureResults.front();
  it->second.configureResults.pop_front();
  return result;
}

}  // namespace hotfix::testing
