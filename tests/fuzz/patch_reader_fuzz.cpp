// inspect-patch's reading of a patch or a hotfix.exe, on damaged bytes: it
// either describes them (in all three forms) or refuses them with one line
// that names the input; never a crash, a hang or a read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command.h"
#include "msi/patch_error.h"
#include "msi/transform_encoding.h"
#include "report_writers.h"

// GLib's type system keeps what it registers for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgsf-1.so\nleak:libgio-2.0.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const inspectpatch::Bytes bytes(data, data + size);
  try {
    const inspectpatch::ReadPatch read = inspectpatch::ReadPatchBytes(bytes, "input.msp");
    const std::string text = inspectpatch::TextReport(read.report);
    const std::string json = inspectpatch::JsonReport(read.report);
    const std::string html = inspectpatch::HtmlReport(read.report);
    if (text.empty() || json.empty() || html.find("</html>") == std::string::npos) std::abort();
    // Deployment tools parse the JSON: whatever the patch holds, it stays UTF-8.
    try {
      makepatch::Utf8ToUtf16(json);
      makepatch::Utf8ToUtf16(text);
    } catch (const makepatch::PatchError&) {
      std::fprintf(stderr, "a report that is not UTF-8\n");
      std::abort();
    }
  } catch (const makepatch::PatchError& error) {
    const std::string message = error.what();
    // The one line names the file, and is one line.
    if (message.rfind("input.msp", 0) != 0 || message.find('\n') != std::string::npos) {
      std::fprintf(stderr, "bad refusal: %s\n", message.c_str());
      std::abort();
    }
  }
  return 0;
}
