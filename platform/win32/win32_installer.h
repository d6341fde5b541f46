// The Windows Installer service reached through msi.dll, loaded from the
// system directory only and bound at run time: the program never imports it,
// so a planted msi.dll in its folder is never loaded.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/installer.h"

namespace hotfix::win32 {

class Win32Installer : public Installer {
 public:
  Win32Installer();
  ~Win32Installer() override;
  Win32Installer(const Win32Installer&) = delete;
  Win32Installer& operator=(const Win32Installer&) = delete;

  // False when msi.dll or one of its functions could not be had; every
  // operation then fails with the Windows error code of that failure, which
  // it also leaves in the thread's last-error value.
  bool available() const { return available_; }
  std::uint32_t loadError() const { return loadError_; }

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
  struct Functions;
  HMODULE module_ = nullptr;
  std::unique_ptr<Functions> functions_;
  bool available_ = false;
  std::uint32_t loadError_ = 0;

  // What every operation does while the service is unavailable.
  std::uint32_t Unavailable() const;
};

}  // namespace hotfix::win32
