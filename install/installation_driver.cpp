#include "install/installation_driver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/run_options.h"
#include "install/applicability.h"
#include "install/cached_package.h"
#include "install/discovery.h"
#include "install/product_list.h"
#include "install/program_guard.h"
#include "messages/current_product_name.h"
#include "messages/format.h"
#include "messages/report_message.h"
#include "messages/string_table.h"
#include "payload/extract_patch.h"
#include "payload/patch_targets.h"

namespace hotfix {
namespace {

// The installer command line: the temporary package, no uninstall entry for
// the patch, restarts suppressed, and the files-in-use notice in the product's
// language.
constexpr char16_t kInstallCommandLineFormat[] =
    u"PATCH=\"%s\" PATCH_NO_UNINSTALL=0 REBOOTPROMPT=S FILESINUSETEXT=\"%s\"";
// Units of the formatted command line, terminator included.
constexpr std::size_t kCommandLineCapacity = 1024;

// Held by one run at a time on the whole machine, one name for every hotfix
// built from this code: the service installs one product at a time anyway,
// but the cached-package edits happen outside its lock, and two runs at once
// would edit one package together and patch its product twice.
constexpr char16_t kSingleRunLockName[] = u"Global\\KorvantaHotfixInstallation";

bool IsInstallSuccess(std::uint32_t result) {
  return result == kErrorSuccess || result == kErrorSuccessRebootInitiated ||
         result == kErrorSuccessRebootRequired;
}

// Edits the product's cached package and applies the patch, then reports the
// outcome in the locale already set for the product.
void ApplyPatch(const Platform& platform, ProductEntry& entry, const std::u16string& patchPath) {
  std::u16string inUseNotice;
  LoadStringText(platform.resources, ModuleInstance, kMsgFilesInUse, inUseNotice,
                 kStringCapacity);

  const FormattedText commandLine = FormatTemplate(
      kInstallCommandLineFormat, {patchPath, inUseNotice}, kCommandLineCapacity);
  if (commandLine.truncated) {
    // A cut command line would name another package file, or none: refuse
    // the product rather than hand the service a wrong PATCH path.
    platform.thread.SetLastError(kErrorFilenameExcedRange);
    ReportMessage(platform, kMsgInstallFailed);
    return;
  }
  entry.installCommandLine += commandLine.text;

  // Whatever goes wrong in the edits, the patch is applied all the same.
  AdjustCachedPackage(platform.installer, platform.files, entry.localPackage);

  const std::uint32_t result = platform.installer.MsiConfigureProductExW(
      entry.productCode.c_str(), kInstallLevelDefault, kInstallStateDefault,
      entry.installCommandLine.c_str());
  if (IsInstallSuccess(result)) {
    ReportMessage(platform, kMsgInstallSucceeded);
  } else {
    // Message 300 shows the thread's last-error value as its code.
    platform.thread.SetLastError(result);
    ReportMessage(platform, kMsgInstallFailed);
  }
}

}  // namespace

bool RunInstallation(const Platform& platform) {
  // Before anything is written: a second run touches nothing.
  std::unique_ptr<HeldLock> singleRun;
  switch (platform.locks.TryAcquire(kSingleRunLockName, singleRun)) {
    case LockResult::kAcquired:
    case LockResult::kAbandoned:  // the run that held it was ended; this one goes on
      break;
    case LockResult::kTaken:
      // What the installer itself answers while another installation runs.
      platform.thread.SetLastError(kErrorInstallAlreadyRunning);
      ReportMessage(platform, kMsgInstallFailed);
      return false;
    case LockResult::kFailed:
      // Without the lock this run could be the second; the last-error value
      // says why it could not be had.
      ReportMessage(platform, kMsgInstallFailed);
      return false;
  }

  // The package is held from its writing until the service has had it for
  // the last product: the program may run elevated, the temporary folder is
  // the user's, and any process of the user could otherwise swap the file
  // for a package of its own choosing.
  std::u16string patchPath;
  PackageHold patchHold;
  if (!ExtractPatch(platform, patchPath, patchHold)) {
    ReportMessage(platform, kMsgInstallFailed);
    return false;
  }

  std::u16string patchedVersion;
  if (LoadStringText(platform.resources, ModuleInstance, kStrPatchedVersion, patchedVersion,
                     kStringCapacity) == 0) {
    ReportMessage(platform, kMsgInstallFailed);
    return false;
  }
  std::u16string applicableVersions;
  if (LoadStringText(platform.resources, ModuleInstance, kStrApplicableVersions,
                     applicableVersions, kStringCapacity) == 0) {
    ReportMessage(platform, kMsgInstallFailed);
    return false;
  }

  std::u16string targets;
  if (!GetPatchTargets(platform, patchPath, targets)) {
    ReportMessage(platform, kMsgInstallFailed);
    return false;
  }

  DiscoverProducts(platform.installer, targets, patchedVersion, applicableVersions);
  if (ProductList.empty()) {
    ReportMessage(platform, kMsgProductNotFound);
    return false;
  }

  // Once, before any product is looked at, even if none will need the patch.
  if (!EnsureProductClosed(platform)) {
    ReportMessage(platform, kMsgInstallFailed);
    return false;
  }

  std::size_t upToDate = 0;
  for (std::size_t index = 0; index < ProductList.size(); ++index) {
    ProductEntry& entry = ProductList[index];
    CurrentProductName = entry.productName;
    // Everything reported for this product is loaded in its language. The
    // result is not examined: an unusable id leaves the previous locale.
    platform.thread.SetThreadLocale(static_cast<std::uint32_t>(DecimalValue(entry.language)));

    switch (DecideApplicability(entry.installedVersion, entry.patchedVersion,
                                entry.applicableVersions)) {
      case ApplicabilityVerdict::InstalledIsPatched:
        ++upToDate;
        break;
      case ApplicabilityVerdict::NotListed:
        ReportMessage(platform, kMsgWrongVersion);
        break;
      case ApplicabilityVerdict::PatchedListedFirst:
        // The list says this product is past the patch: stop the run here,
        // leaving the temporary package in place.
        ReportMessage(platform, kMsgUpToDate);
        return false;
      case ApplicabilityVerdict::InstalledListed:
        ApplyPatch(platform, entry, patchPath);
        break;
    }
  }

  // The last product is done; the final message may wait for the user.
  singleRun.reset();

  if (upToDate == ProductList.size()) {
    // Not one product's message: shown in the user's own language, naming the
    // last product handled.
    platform.thread.SetThreadLocale(kLocaleUserDefault);
    ReportMessage(platform, kMsgUpToDate);
  }

  // The hold would refuse the program's own delete too.
  patchHold.reset();
  platform.files.DeleteFileW(patchPath);
  return true;
}

}  // namespace hotfix
