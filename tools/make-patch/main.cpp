// make-patch: a Windows Installer patch (.msp) from pairs of product
// packages, the version installed and the version to update to.
#include <gsf/gsf-utils.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "msi/patch_error.h"
#include "msi/component_filter.h"
#include "msi/patch_plan.h"
#include "msi/relinked_files.h"
#include "io/codepage.h"
#include "io/content_store.h"
#include "io/delta_files.h"
#include "io/package_reader.h"
#include "io/patch_writer.h"

namespace {

constexpr char kUsage[] =
    "usage: make-patch --patch-code GUID --output PATCH.msp [options] OLD.msi NEW.msi [OLD.msi NEW.msi ...]\n"
    "\n"
    "Makes one patch that updates each OLD package's product to its NEW package: every\n"
    "table row that differs, every file whose bytes differ or that is new. A portable\n"
    "executable (EXE, DLL, ...) that differs only in its build stamps (link time,\n"
    "checksum, debug signature, export and resource times, signature) is the old file\n"
    "linked again: it is not carried, and each such file is named on standard error.\n"
    "\n"
    "  --patch-code GUID      the patch's own code, {GUID} in upper case (required)\n"
    "  --output PATCH.msp     where to write it (required); replaced only on success\n"
    "  --title TEXT           the patch's name (default: product name and new version)\n"
    "  --description TEXT     a short description of the patch\n"
    "  --manufacturer TEXT    (default: the Manufacturer of the first NEW package)\n"
    "  --classification TEXT  Hotfix, Update, Security Rollup, ... (default: Hotfix)\n"
    "  --family NAME          the series the patch belongs to: its patch family in the\n"
    "                         sequencing of patches (default: a family of its own)\n"
    "  --supersede            supersede every earlier patch of the family; the patch then\n"
    "                         applies to the product as first installed\n"
    "  --more-info-url URL    support link of the patch\n"
    "  --delta                carry each changed file that gains by it as a delta against\n"
    "                         the old package's copy, applied to the installed file, unless\n"
    "                         the patch as a whole is no smaller for it; says how each\n"
    "                         changed file travels and why\n"
    "  --exact                carry every file whose bytes differ, relinked ones too\n"
    "  --component NAME       carry only the changes of this component (its Component\n"
    "                         row, the rows that name it or its files, its files' bytes)\n"
    "                         and the new ProductVersion; repeatable. Every change left\n"
    "                         out is named on standard error\n"
    "  --exclude-component NAME  carry every change but this component's; repeatable;\n"
    "                         does not mix with --component\n"
    "  --no-removal           mark the patch as one that cannot be uninstalled\n"
    "  --allow-removal        insist on an uninstallable patch: refuse one that adds rows\n"
    "                         that make removal impossible (by default such a patch is\n"
    "                         marked not removable, with a warning)\n"
    "  -h, --help             print this help and exit\n"
    "  --version              print make-patch's version and exit\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set, is the creation time written into the patch, so that\n"
    "the same inputs give the same bytes; otherwise it is the current time.\n"
    "\n"
    "Large files are kept in a folder .make-patch-XXXXXX beside PATCH.msp while it runs;\n"
    "a run removes those that runs no longer alive (killed ones) left there.\n";

struct Arguments {
  makepatch::PatchOptions options;
  bool delta = false;
  bool exact = false;
  makepatch::ComponentFilter filter;
  std::string output;
  std::vector<std::string> packages;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "make-patch: %s\n\n%s", message.c_str(), kUsage);
  std::exit(2);
}

Arguments Parse(int argc, char** argv) {
  Arguments arguments;
  makepatch::PatchOptions& options = arguments.options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(argument + " needs a value");
      return argv[++i];
    };
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (argument == "--version") {
      std::puts("make-patch " HOTFIX_TOOLS_VERSION);
      std::exit(0);
    } else if (argument == "--patch-code") {
      options.patchCode = value();
    } else if (argument == "--output" || argument == "-o") {
      arguments.output = value();
    } else if (argument == "--title") {
      options.title = value();
    } else if (argument == "--description") {
      options.description = value();
    } else if (argument == "--manufacturer") {
      options.manufacturer = value();
    } else if (argument == "--classification") {
      options.classification = value();
    } else if (argument == "--family") {
      options.family = value();
    } else if (argument == "--more-info-url") {
      options.moreInfoUrl = value();
    } else if (argument == "--delta") {
      arguments.delta = true;
    } else if (argument == "--exact") {
      arguments.exact = true;
    } else if (argument == "--component" || argument == "--exclude-component") {
      const auto mode = argument == "--component" ? makepatch::ComponentFilter::Mode::kOnly
                                                  : makepatch::ComponentFilter::Mode::kAllBut;
      if (arguments.filter.mode != makepatch::ComponentFilter::Mode::kEverything && arguments.filter.mode != mode) {
        UsageError("--component and --exclude-component do not mix");
      }
      arguments.filter.mode = mode;
      arguments.filter.components.insert(value());
    } else if (argument == "--supersede") {
      options.supersede = true;
    } else if (argument == "--allow-removal") {
      options.removal = makepatch::Removal::kRequired;
    } else if (argument == "--no-removal") {
      options.removal = makepatch::Removal::kNever;
    } else if (argument.size() > 1 && argument[0] == '-') {
      UsageError("unknown option " + argument);
    } else {
      arguments.packages.push_back(argument);
    }
  }
  if (options.patchCode.empty()) UsageError("--patch-code is required");
  if (arguments.output.empty()) UsageError("--output is required");
  if (arguments.packages.empty() || arguments.packages.size() % 2 != 0) {
    UsageError("packages come in pairs: OLD.msi NEW.msi");
  }
  return arguments;
}

std::int64_t CreationTime() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == '\0') return static_cast<std::int64_t>(std::time(nullptr));
  char* end = nullptr;
  const long long seconds = std::strtoll(epoch, &end, 10);
  if (*end != '\0' || seconds < 0) UsageError("SOURCE_DATE_EPOCH must be a number of seconds");
  return seconds;
}

// Reads every package once: the old ones first, keeping nothing but sizes
// and digests, then the new ones, keeping the bytes of the files that
// differ from an old package of their pairs (the files the patch carries).
std::vector<makepatch::PackagePair> ReadPairs(const std::vector<std::string>& paths, bool exact,
                                              makepatch::ContentStore& store) {
  std::map<std::string, std::set<std::string>> oldsOf;  // new package -> its old ones
  for (std::size_t i = 0; i < paths.size(); i += 2) oldsOf[paths[i + 1]].insert(paths[i]);
  std::map<std::string, makepatch::Package> read;
  const makepatch::KeepFile keepNothing = [](const std::string&, const makepatch::PackageFile&) { return false; };
  for (std::size_t i = 0; i < paths.size(); i += 2) {
    if (!read.contains(paths[i]) && !oldsOf.contains(paths[i])) {
      read.emplace(paths[i], makepatch::ReadPackage(paths[i], keepNothing, store));
    }
  }
  for (const auto& entry : oldsOf) {
    const std::string& path = entry.first;
    const std::set<std::string>& olds = entry.second;  // clang 14 captures no structured binding
    if (read.contains(path)) continue;
    const makepatch::KeepFile changed = [&](const std::string& key, const makepatch::PackageFile& file) {
      for (const std::string& old : olds) {
        const auto found = read.find(old);
        if (found == read.end()) return true;  // an old package that is also a new one: read after
        const auto before = found->second.files.find(key);
        if (before == found->second.files.end()) return true;
        if (!before->second.SameBytes(file) && (exact || !makepatch::OnlyBuildStampsDiffer(before->second, file))) {
          return true;
        }
      }
      return false;
    };
    read.emplace(path, makepatch::ReadPackage(path, changed, store));
  }
  std::vector<makepatch::PackagePair> pairs;
  for (std::size_t i = 0; i < paths.size(); i += 2) pairs.push_back({read.at(paths[i]), read.at(paths[i + 1]), {}});
  return pairs;
}

// Leaves out of each pair what the patch does not carry: relinked files
// (unless --exact) and the changes a component filter excludes, naming each
// on standard error once.
void LeaveOut(std::vector<makepatch::PackagePair>& pairs, const Arguments& arguments) {
  std::vector<std::string> lines;
  for (makepatch::PackagePair& pair : pairs) {
    if (arguments.exact) {
      for (auto& [key, file] : pair.newer.files) file.buildStamps.reset();
    } else {
      for (std::string& line : makepatch::LeaveOutRelinkedFiles(pair)) lines.push_back(std::move(line));
    }
    for (std::string& line : makepatch::ApplyComponentFilter(pair, arguments.filter)) lines.push_back(std::move(line));
  }
  std::set<std::string> said;
  for (const std::string& line : lines) {
    if (said.insert(line).second) std::fprintf(stderr, "make-patch: %s\n", line.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments = Parse(argc, argv);
  arguments.options.creationTime = CreationTime();
  gsf_init();
  try {
    makepatch::ContentStore store(arguments.output);
    std::vector<makepatch::PackagePair> pairs = ReadPairs(arguments.packages, arguments.exact, store);
    LeaveOut(pairs, arguments);
    std::vector<makepatch::DeltaDecision> deltas;
    if (arguments.delta) deltas = makepatch::PlanDeltas(pairs, store);
    const makepatch::PatchPlan plan = makepatch::PlanPatch(pairs, arguments.options, makepatch::EncoderFor);
    for (const std::string& warning : plan.warnings) std::fprintf(stderr, "make-patch: warning: %s\n", warning.c_str());
    if (arguments.delta) {
      makepatch::WriteSmallerPatch(plan, pairs, std::move(deltas), arguments.options, arguments.output, store);
    } else {
      makepatch::WritePatch(plan, arguments.output);
    }
  } catch (const makepatch::PatchError& error) {
    std::fprintf(stderr, "make-patch: %s\n", error.what());
    return 1;
  }
  return 0;
}
