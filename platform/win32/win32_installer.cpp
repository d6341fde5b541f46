#include "platform/win32/win32_installer.h"

#include "platform/win32/text.h"

namespace hotfix::win32 {
namespace {

constexpr int kInstallStateUnknown = -1;

// The error of the last failed load or lookup, never 0: a failure must not
// read as success.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

using Handle = unsigned long;  // MSIHANDLE
static_assert(sizeof(Handle) == sizeof(MsiHandle), "installer handles are 32-bit");

}  // namespace

struct Win32Installer::Functions {
  UINT(WINAPI* getSummaryInformation)(Handle, LPCWSTR, UINT, Handle*);
  UINT(WINAPI* summaryInfoGetProperty)(Handle, UINT, UINT*, INT*, FILETIME*, LPWSTR, DWORD*);
  INT(WINAPI* queryProductState)(LPCWSTR);
  UINT(WINAPI* getProductInfo)(LPCWSTR, LPCWSTR, LPWSTR, DWORD*);
  UINT(WINAPI* openDatabase)(LPCWSTR, LPCWSTR, Handle*);
  UINT(WINAPI* databaseOpenView)(Handle, LPCWSTR, Handle*);
  UINT(WINAPI* viewExecute)(Handle, Handle);
  UINT(WINAPI* viewFetch)(Handle, Handle*);
  UINT(WINAPI* recordGetString)(Handle, UINT, LPWSTR, DWORD*);
  UINT(WINAPI* recordSetString)(Handle, UINT, LPCWSTR);
  UINT(WINAPI* viewModify)(Handle, INT, Handle);
  UINT(WINAPI* databaseCommit)(Handle);
  UINT(WINAPI* closeHandle)(Handle);
  UINT(WINAPI* configureProductEx)(LPCWSTR, INT, INT, LPCWSTR);
};

namespace {

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return fn != nullptr;
}

}  // namespace

Win32Installer::Win32Installer() {
  // Never the program's folder: only the system directory is searched.
  module_ = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module_ == nullptr) {
    loadError_ = LastErrorOr(ERROR_MOD_NOT_FOUND);
    return;
  }
  functions_ = std::make_unique<Functions>();
  Functions& f = *functions_;
  available_ = Bind(module_, "MsiGetSummaryInformationW", f.getSummaryInformation) &&
               Bind(module_, "MsiSummaryInfoGetPropertyW", f.summaryInfoGetProperty) &&
               Bind(module_, "MsiQueryProductStateW", f.queryProductState) &&
               Bind(module_, "MsiGetProductInfoW", f.getProductInfo) &&
               Bind(module_, "MsiOpenDatabaseW", f.openDatabase) &&
               Bind(module_, "MsiDatabaseOpenViewW", f.databaseOpenView) &&
               Bind(module_, "MsiViewExecute", f.viewExecute) &&
               Bind(module_, "MsiViewFetch", f.viewFetch) &&
               Bind(module_, "MsiRecordGetStringW", f.recordGetString) &&
               Bind(module_, "MsiRecordSetStringW", f.recordSetString) &&
               Bind(module_, "MsiViewModify", f.viewModify) &&
               Bind(module_, "MsiDatabaseCommit", f.databaseCommit) &&
               Bind(module_, "MsiCloseHandle", f.closeHandle) &&
               Bind(module_, "MsiConfigureProductExW", f.configureProductEx);
  if (!available_) loadError_ = LastErrorOr(ERROR_PROC_NOT_FOUND);
}

std::uint32_t Win32Installer::Unavailable() const {
  // Message 300 shows the thread's last-error value: it must show why the
  // service is missing, not what some earlier call left there.
  ::SetLastError(loadError_);
  return loadError_;
}

Win32Installer::~Win32Installer() {
  if (module_ != nullptr) FreeLibrary(module_);
}

std::uint32_t Win32Installer::MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                                        std::uint32_t updateCount,
                                                        MsiHandle* summary) {
  if (!available_) return Unavailable();
  Handle h = 0;
  const UINT result = functions_->getSummaryInformation(database, Wide(path), updateCount, &h);
  if (summary != nullptr) *summary = h;
  return result;
}

std::uint32_t Win32Installer::MsiSummaryInfoGetPropertyW(MsiHandle summary, std::uint32_t property,
                                                         std::uint32_t* dataType,
                                                         std::int32_t* intValue,
                                                         InstallerFileTime* fileTime,
                                                         char16_t* buffer, std::uint32_t* length) {
  if (!available_) return Unavailable();
  UINT type = 0;
  INT value = 0;
  FILETIME time{};
  DWORD count = length ? *length : 0;
  const UINT result = functions_->summaryInfoGetProperty(summary, property, &type, &value, &time,
                                                         Wide(buffer), length ? &count : nullptr);
  if (dataType) *dataType = type;
  if (intValue) *intValue = value;
  if (fileTime) *fileTime = {time.dwLowDateTime, time.dwHighDateTime};
  if (length) *length = count;
  return result;
}

int Win32Installer::MsiQueryProductStateW(const char16_t* product) {
  if (!available_) {
    Unavailable();
    return kInstallStateUnknown;
  }
  return functions_->queryProductState(Wide(product));
}

std::uint32_t Win32Installer::MsiGetProductInfoW(const char16_t* product, const char16_t* property,
                                                 char16_t* buffer, std::uint32_t* length) {
  if (!available_) return Unavailable();
  DWORD count = length ? *length : 0;
  const UINT result =
      functions_->getProductInfo(Wide(product), Wide(property), Wide(buffer), length ? &count : nullptr);
  if (length) *length = count;
  return result;
}

std::uint32_t Win32Installer::MsiOpenDatabaseW(const char16_t* path, std::uintptr_t persist,
                                               MsiHandle* database) {
  if (!available_) return Unavailable();
  Handle h = 0;
  // The persist mode travels in the pointer-sized argument.
  const UINT result = functions_->openDatabase(Wide(path), reinterpret_cast<LPCWSTR>(persist), &h);
  if (database != nullptr) *database = h;
  return result;
}

std::uint32_t Win32Installer::MsiDatabaseOpenViewW(MsiHandle database, const char16_t* query,
                                                   MsiHandle* view) {
  if (!available_) return Unavailable();
  Handle h = 0;
  const UINT result = functions_->databaseOpenView(database, Wide(query), &h);
  if (view != nullptr) *view = h;
  return result;
}

std::uint32_t Win32Installer::MsiViewExecute(MsiHandle view, MsiHandle parameters) {
  if (!available_) return Unavailable();
  return functions_->viewExecute(view, parameters);
}

std::uint32_t Win32Installer::MsiViewFetch(MsiHandle view, MsiHandle* record) {
  if (!available_) return Unavailable();
  Handle h = 0;
  const UINT result = functions_->viewFetch(view, &h);
  if (record != nullptr) *record = h;
  return result;
}

std::uint32_t Win32Installer::MsiRecordGetStringW(MsiHandle record, std::uint32_t field,
                                                  char16_t* buffer, std::uint32_t* length) {
  if (!available_) return Unavailable();
  DWORD count = length ? *length : 0;
  const UINT result = functions_->recordGetString(record, field, Wide(buffer), length ? &count : nullptr);
  if (length) *length = count;
  return result;
}

std::uint32_t Win32Installer::MsiRecordSetStringW(MsiHandle record, std::uint32_t field,
                                                  const char16_t* value) {
  if (!available_) return Unavailable();
  return functions_->recordSetString(record, field, Wide(value));
}

std::uint32_t Win32Installer::MsiViewModify(MsiHandle view, int mode, MsiHandle record) {
  if (!available_) return Unavailable();
  return functions_->viewModify(view, mode, record);
}

std::uint32_t Win32Installer::MsiDatabaseCommit(MsiHandle database) {
  if (!available_) return Unavailable();
  return functions_->databaseCommit(database);
}

std::uint32_t Win32Installer::MsiCloseHandle(MsiHandle handle) {
  if (!available_) return Unavailable();
  return functions_->closeHandle(handle);
}

std::uint32_t Win32Installer::MsiConfigureProductExW(const char16_t* product, int installLevel,
                                                     int installState, const char16_t* commandLine) {
  if (!available_) return Unavailable();
  return functions_->configureProductEx(Wide(product), installLevel, installState, Wide(commandLine));
}

}  // namespace hotfix::win32
