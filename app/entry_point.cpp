#include "app/entry_point.h"

#include <new>
#include <string>

#include "app/command_line_parser.h"
#include "app/run_options.h"
#include "install/installation_driver.h"
#include "install/product_list.h"
#include "payload/extract_patch.h"
#include "payload/patch_list.h"
#include "payload/patch_targets.h"

namespace hotfix {
namespace {

constexpr char16_t kProductListCaption[] = u"List of Products";
constexpr std::uint32_t kProductListStyle = kMbOk | kMbSetForeground | kMbTopmost;

// Each flow runs whatever became of the one before, and the exit code is 0
// in every case: running out of memory inside one flow ends that flow only.
template <typename Flow>
void RunFlow(Flow&& flow) {
  try {
    flow();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

void ShowProductList(const Platform& platform) {
  // An empty path makes the extraction write to a fresh temporary file and
  // leave its name here. That copy is not deleted afterwards.
  std::u16string packagePath;
  std::u16string targets;
  {
    // Held while the service reads it, so that what it reads is the package.
    // On any failure the codes stay empty and the box shows an empty text; a
    // copy that could not be written or held whole is not read at all, as
    // another process may have put its own package there.
    PackageHold hold;
    if (ExtractPatch(platform, packagePath, hold)) {
      GetPatchTargets(platform, packagePath, targets);
    }
  }

  // Fixed English caption, no icon, and shown under /q as well.
  platform.boxes.MessageBoxW(targets, kProductListCaption, kProductListStyle);
}

int RunHotfix(const Platform& platform) {
  ParseCommandLine(platform.commandLine);

  if (RunOptions.install) {
    RunFlow([&] { RunInstallation(platform); });
  } else {
    // Always in this order, whatever the order of the switches. The paths
    // are passed as copies: RunOptions only records what the user typed.
    if (RunOptions.extract) {
      RunFlow([&] {
        std::u16string path = RunOptions.extractPath;
        ExtractPatch(platform, path);
      });
    }
    if (RunOptions.patchList) {
      RunFlow([&] {
        std::u16string fileName = RunOptions.patchListPath;
        WritePatchList(platform, fileName);
      });
    }
    if (RunOptions.listProducts) {
      RunFlow([&] { ShowProductList(platform); });
    }
  }

  ProductList.clear();
  return 0;
}

}  // namespace hotfix
