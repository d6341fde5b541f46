#include "command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include <glib.h>

#include "io/codepage.h"
#include "io/package_reader.h"
#include "msi/patch_error.h"
#include "report_writers.h"
#include "storage_reader.h"

namespace inspectpatch {
namespace {

using makepatch::PatchError;

constexpr char kUsage[] =
    "usage: inspect-patch [--json | --html PAGE] PATCH.msp|hotfix.exe [OLD.msi ...]\n"
    "\n"
    "Tells what a Windows Installer patch, or a hotfix.exe built around one, changes:\n"
    "the patch's identity, removability, family and media; per target product the\n"
    "versions it applies to and brings and what its transforms say; with the old\n"
    "packages, the changes told file by file and whether it applies to each.\n"
    "\n"
    "  --json       one JSON document on standard output instead of text\n"
    "  --html PAGE  write one self-contained HTML page to PAGE\n"
    "  --version    print the version and exit\n"
    "  --help       print this text and exit\n";

// A file is read whole: a patch or a hotfix is at most a few hundred MiB,
// and every read of it is then bounds-checked against its size.
Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PatchError(path + ": cannot be read (no such file, or no permission)");
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw PatchError(path + ": cannot be read");
  return bytes;
}

// Written beside the target and renamed into place: a failed run leaves
// no half-written page.
void WriteFileWhole(const std::string& path, const std::string& text) {
  std::string partial = path + ".partial-XXXXXX";
  const int descriptor = mkstemp(partial.data());
  if (descriptor < 0) throw PatchError(path + ": cannot be written");
  const bool written = write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const mode_t mask = umask(0);
  umask(mask);
  const bool closed = fchmod(descriptor, 0666 & ~mask) == 0 && close(descriptor) == 0;
  if (!written || !closed || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    throw PatchError(path + ": cannot be written");
  }
}

}  // namespace

ReadPatch ReadPatchBytes(const Bytes& bytes, const std::string& name) {
  if (bytes.empty()) throw PatchError(name + ": an empty file, not a patch");
  std::optional<HotfixResources> hotfix;
  const Bytes* patch = &bytes;
  std::string what = name;
  if (LooksLikeProgram(bytes)) {
    hotfix = ReadHotfixResources(bytes, name);
    patch = &hotfix->patch;
    what = name + " (its patch)";
  }
  ReadPatch read;
  read.storage = ReadStorage(*patch, what);
  read.report = DescribePatch(read.storage, what, patch->size(), makepatch::DecoderFor);
  read.report.file = name;
  read.report.fileSize = bytes.size();
  read.report.hotfix = std::move(hotfix);
  if (read.report.hotfix) read.report.hotfix->patch.clear();
  return read;
}

int Run(const std::vector<std::string>& arguments, const std::string& version) {
  // The libraries' own complaints about a damaged file would be lines
  // beside the one that says what is wrong.
  g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  g_log_set_writer_func([](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
                        nullptr, nullptr);
  enum class Form { kText, kJson, kHtml } form = Form::kText;
  std::string page;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--version") {
      std::cout << "inspect-patch " << version << "\n";
      return 0;
    }
    if (argument == "--json" && form == Form::kText) {
      form = Form::kJson;
    } else if (argument == "--html" && form == Form::kText) {
      if (i + 1 >= arguments.size()) {
        std::cerr << "inspect-patch: --html needs the page to write\n";
        return 2;
      }
      form = Form::kHtml;
      page = arguments[++i];
    } else if (argument == "--json" || argument == "--html") {
      std::cerr << "inspect-patch: give one of --json and --html\n";
      return 2;
    } else if (argument.size() > 1 && argument[0] == '-') {
      std::cerr << "inspect-patch: unknown option " << argument << " (see --help)\n";
      return 2;
    } else {
      files.push_back(argument);
    }
  }
  if (files.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    ReadPatch read = ReadPatchBytes(ReadFile(files[0]), files[0]);
    for (std::size_t i = 1; i < files.size(); ++i) {
      const makepatch::Package old = makepatch::ReadPackageDatabase(files[i]);
      read.report.packages.push_back(JudgePackage(read.report, read.storage, old.database, old.summaryTemplate,
                                                  files[i], makepatch::DecoderFor));
    }
    switch (form) {
      case Form::kText: std::cout << TextReport(read.report); break;
      case Form::kJson: std::cout << JsonReport(read.report); break;
      case Form::kHtml: WriteFileWhole(page, HtmlReport(read.report)); break;
    }
    std::cout.flush();
    if (!std::cout) throw PatchError("standard output: cannot be written");
  } catch (const PatchError& error) {
    std::cerr << "inspect-patch: " << error.what() << "\n";
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "inspect-patch: " << files[0] << ": cannot be read (" << error.what() << ")\n";
    return 1;
  }
  return 0;
}

}  // namespace inspectpatch
