// make-delta: the delta patch of one file against another, as make-patch
// makes them for a patch package; for the tests and the benchmark, and for
// a release engineer who wants to see what a file's delta would cost.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "delta/delta_patch.h"

namespace {

constexpr char kUsage[] =
    "usage: make-delta OLD NEW PATCH [--header HEADER] [--chunk-limit BYTES]\n"
    "\n"
    "Writes the patch that ApplyPatchToFileW turns OLD into NEW with, and with --header\n"
    "its header alone (what the Patch table's Header column holds). Prints the sizes.\n"
    "Exit code 1 when the pair is beyond what the decoder takes (OLD empty or above\n"
    "32 MiB), 2 for a bad command line or a file that cannot be read or written.\n"
    "--chunk-limit lowers the size at which a chunk falls back to literals (tests).\n";

[[noreturn]] void Fail(int code, const std::string& message) {
  std::fprintf(stderr, "make-delta: %s\n", message.c_str());
  std::exit(code);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) Fail(2, "cannot open " + path);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) Fail(2, "cannot read " + path);
  return bytes;
}

// Whole or not at all: a temporary name beside it, renamed at the end.
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::string temporary = path + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      Fail(2, "cannot write " + path);
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    Fail(2, "cannot write " + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  std::string headerPath;
  makepatch::LzxDeltaOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((argument == "--header" || argument == "--chunk-limit") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (argument == "--header") {
        headerPath = value;
      } else {
        char* end = nullptr;
        options.chunkByteLimit = std::strtoul(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0') Fail(2, "--chunk-limit needs a number of bytes");
      }
    } else if (argument.starts_with("--")) {
      Fail(2, "unknown option " + argument + "\n\n" + kUsage);
    } else {
      files.push_back(argument);
    }
  }
  if (files.size() != 3) Fail(2, std::string("needs OLD, NEW and PATCH\n\n") + kUsage);

  const std::vector<std::uint8_t> oldFile = ReadFile(files[0]);
  const std::vector<std::uint8_t> newFile = ReadFile(files[1]);
  const std::optional<makepatch::DeltaPatch> patch = makepatch::MakeDeltaPatch(oldFile, newFile, options);
  if (!patch) {
    Fail(1, files[0] + " (" + std::to_string(oldFile.size()) +
                " bytes): no delta patch; the decoder takes an old file of 1 byte to 32 MiB");
  }
  WriteFile(files[2], patch->bytes);
  if (!headerPath.empty()) WriteFile(headerPath, patch->header);
  std::printf("%s: %zu bytes (old %zu, new %zu, header %zu)\n", files[2].c_str(), patch->bytes.size(),
              oldFile.size(), newFile.size(), patch->header.size());
  return 0;
}
