// The fourteen Windows Installer operations the program uses, under their
// wide-character names. The real implementation calls msi.dll (loaded from the
// system directory only); tests substitute a scripted one.
//
// Lengths are in 16-bit units. Every operation but MsiQueryProductStateW
// returns a Windows error code, 0 meaning success.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace hotfix {

struct InstallerFileTime {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

inline constexpr std::uint32_t kPidTemplate = 7;
inline constexpr std::uint32_t kPidRevisionNumber = 9;
inline constexpr std::uintptr_t kMsiDbOpenTransact = 1;
inline constexpr int kMsiModifyUpdate = 2;
inline constexpr int kMsiModifyReplace = 4;
inline constexpr int kInstallStateAdvertised = 1;
inline constexpr int kInstallStateDefault = 5;
inline constexpr int kInstallLevelDefault = 0;

class Installer {
 public:
  virtual ~Installer() = default;

  // database: 0 for none. summary receives the handle on success.
  virtual std::uint32_t MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                                  std::uint32_t updateCount, MsiHandle* summary) = 0;
  // length: in, buffer capacity in characters; out, characters written or,
  // with 234, characters needed (terminator not counted).
  virtual std::uint32_t MsiSummaryInfoGetPropertyW(MsiHandle summary, std::uint32_t property,
                                                   std::uint32_t* dataType, std::int32_t* intValue,
                                                   InstallerFileTime* fileTime, char16_t* buffer,
                                                   std::uint32_t* length) = 0;
  // Returns an install state, not an error code.
  virtual int MsiQueryProductStateW(const char16_t* product) = 0;
  virtual std::uint32_t MsiGetProductInfoW(const char16_t* product, const char16_t* property,
                                           char16_t* buffer, std::uint32_t* length) = 0;
  // persist: a persist mode such as kMsiDbOpenTransact (the real API takes it
  // in a pointer-sized argument).
  virtual std::uint32_t MsiOpenDatabaseW(const char16_t* path, std::uintptr_t persist,
                                         MsiHandle* database) = 0;
  virtual std::uint32_t MsiDatabaseOpenViewW(MsiHandle database, const char16_t* query,
                                             MsiHandle* view) = 0;
  virtual std::uint32_t MsiViewExecute(MsiHandle view, MsiHandle parameters) = 0;
  virtual std::uint32_t MsiViewFetch(MsiHandle view, MsiHandle* record) = 0;
  virtual std::uint32_t MsiRecordGetStringW(MsiHandle record, std::uint32_t field, char16_t* buffer,
                                            std::uint32_t* length) = 0;
  virtual std::uint32_t MsiRecordSetStringW(MsiHandle record, std::uint32_t field,
                                            const char16_t* value) = 0;
  virtual std::uint32_t MsiViewModify(MsiHandle view, int mode, MsiHandle record) = 0;
  virtual std::uint32_t MsiDatabaseCommit(MsiHandle database) = 0;
  virtual std::uint32_t MsiCloseHandle(MsiHandle handle) = 0;
  virtual std::uint32_t MsiConfigureProductExW(const char16_t* product, int installLevel,
                                               int installState, const char16_t* commandLine) = 0;
};

// Owns one installer handle and closes it exactly once (move-only).
class UniqueMsiHandle {
 public:
  explicit UniqueMsiHandle(Installer& installer, MsiHandle handle = 0)
      : installer_(&installer), handle_(handle) {}
  UniqueMsiHandle(const UniqueMsiHandle&) = delete;
  UniqueMsiHandle& operator=(const UniqueMsiHandle&) = delete;
  UniqueMsiHandle(UniqueMsiHandle&& other) noexcept
      : installer_(other.installer_), handle_(other.handle_) {
    other.handle_ = 0;
  }
  UniqueMsiHandle& operator=(UniqueMsiHandle&& other) noexcept {
    if (this != &other) {
      Close();
      installer_ = other.installer_;
      handle_ = other.handle_;
      other.handle_ = 0;
    }
    return *this;
  }
  ~UniqueMsiHandle() { Close(); }

  MsiHandle get() const { return handle_; }
  // For out-parameters: closes what is held, then hands out the slot.
  MsiHandle* put() {
    Close();
    return &handle_;
  }
  void Close() {
    if (handle_ != 0) {
      installer_->MsiCloseHandle(handle_);
      handle_ = 0;
    }
  }

 private:
  Installer* installer_;
  MsiHandle handle_;
};

}  // namespace hotfix
