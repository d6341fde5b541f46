// The probe's entry point, command registry and output helpers.
#include "tests/tools/probe.h"

#include <windows.h>

#include <cstdio>
#include <map>

#include "app/run_options.h"
#include "tests/tools/tool_support.h"
#include "platform/win32/text.h"

namespace hotfix::probe {
namespace {

struct Command {
  std::string usage;
  CommandFunction function;
};

// A function-local map, so registrations from any file may run first.
std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

void WriteTo(DWORD which, std::string_view utf8) {
  std::string line(utf8);
  line += '\n';
  HANDLE handle = GetStdHandle(which);
  DWORD written = 0;
  WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

int ListCommands(const Args&) {
  for (const auto& [name, command] : Registry()) WriteLine(command.usage);
  return kExitDone;
}

}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* usage,
                                         CommandFunction function) {
  Registry()[name] = Command{usage, function};
}

void WriteLine(std::string_view utf8) { WriteTo(STD_OUTPUT_HANDLE, utf8); }
void WriteErrorLine(std::string_view utf8) { WriteTo(STD_ERROR_HANDLE, utf8); }

std::string Utf8(std::u16string_view text) { return tools::Utf8(text); }

std::optional<std::u16string> Utf16(std::string_view utf8) {
  if (utf8.empty()) return std::u16string();
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                 static_cast<int>(utf8.size()), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::u16string out(static_cast<size_t>(size), u'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      reinterpret_cast<wchar_t*>(out.data()), size);
  return out;
}

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (char16_t unit : text) {
    if (unit == u'"') {
      out += "\\\"";
    } else if (unit == u'\\') {
      out += "\\\\";
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out + "\"";
}

std::string JsonStrings(const std::vector<std::u16string>& texts) {
  std::string out = "[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i) out += ",";
    out += JsonString(texts[i]);
  }
  return out + "]";
}

std::string JsonStrings(const std::optional<std::vector<std::u16string>>& texts) {
  return texts ? JsonStrings(*texts) : "null";
}

std::optional<std::string> ReadFileBytes(const std::u16string& path) {
  HANDLE file = CreateFileW(win32::Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::uint32_t> ParseNumber(std::u16string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : text) {
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

int UsageError(const char* usage) {
  WriteErrorLine(std::string("usage: probe ") + usage);
  return kExitUsage;
}

HOTFIX_PROBE_COMMAND("list", "list: the usage of every command", ListCommands)

}  // namespace hotfix::probe

int wmain(int argc, wchar_t** argv) {
  using namespace hotfix::probe;
  if (argc < 2) {
    WriteErrorLine("usage: probe COMMAND ARGS... (probe list shows the commands)");
    return kExitUsage;
  }
  // Every resource lookup passes the module, as in the program. The DLL
  // search is restricted by the commands themselves, so that one of them can
  // prove each protection on its own.
  hotfix::ModuleInstance = GetModuleHandleW(nullptr);
  std::string name = Utf8(hotfix::win32::FromWide(argv[1]));
  auto found = Registry().find(name);
  if (found == Registry().end()) {
    WriteErrorLine("probe: no command " + name + " (probe list shows the commands)");
    return kExitUsage;
  }
  Args args;
  for (int i = 2; i < argc; ++i) args.push_back(hotfix::win32::FromWide(argv[i]));
  return found->second.function(args);
}
