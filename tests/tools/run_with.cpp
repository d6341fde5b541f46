// Starts a Windows program with Windows-side environment variables set and
// waits for it. Under Wine the Linux TMP and TEMP never reach a Windows
// program, so tests that need them set them here.
//
//   run_with [--cwd DIR] [--exit-code-file FILE] [--pid-file FILE]
//            [--unset NAME]... [NAME=VALUE]...
//            (-- PROGRAM [ARGS...] | --cmdline-file FILE [--program PATH])
//
// After "--" the child's command line is built from the arguments, quoted so
// that CommandLineToArgvW gives them back. --cmdline-file passes the file's
// UTF-8 contents as the command line exactly, byte for byte; --program then
// names the image to start, or else the command line's first word does.
// The exit code is the child's; --exit-code-file also gets it in decimal, all
// 32 bits, since a Linux exit status keeps only the low 8. 125 means the
// child could not be started.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/tools/tool_support.h"

namespace {

using hotfix::tools::Handle;
using hotfix::tools::Utf8;

constexpr int kCannotStart = 125;

void Complain(const std::wstring& text) {
  const std::string bytes = Utf8(L"run_with: " + text + L"\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

bool WriteText(const std::wstring& path, const std::string& text) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) &&
         written == text.size();
}

std::optional<std::wstring> FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                 static_cast<int>(bytes.size()), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                      text.data(), size);
  return text;
}

// Quotes one argument so that CommandLineToArgvW and the C runtimes return it
// unchanged: backslashes count only before a quote.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

std::string Decimal(DWORD value) { return std::to_string(value) + "\n"; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring cwd;
  std::wstring exitCodeFile;
  std::wstring pidFile;
  std::wstring cmdlineFile;
  std::wstring program;
  std::vector<std::wstring> childArgs;
  bool haveChild = false;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    auto value = [&]() -> std::optional<std::wstring> {
      if (i + 1 >= argc) {
        Complain(L"missing value after " + arg);
        return std::nullopt;
      }
      return std::wstring(argv[++i]);
    };
    if (arg == L"--") {
      childArgs.assign(argv + i + 1, argv + argc);
      haveChild = !childArgs.empty();
      break;
    }
    std::optional<std::wstring> v;
    if (arg == L"--cwd" || arg == L"--exit-code-file" || arg == L"--pid-file" ||
        arg == L"--cmdline-file" || arg == L"--program" || arg == L"--unset") {
      v = value();
      if (!v) return kCannotStart;
    }
    if (arg == L"--cwd") {
      cwd = *v;
    } else if (arg == L"--exit-code-file") {
      exitCodeFile = *v;
    } else if (arg == L"--pid-file") {
      pidFile = *v;
    } else if (arg == L"--cmdline-file") {
      cmdlineFile = *v;
      haveChild = true;
    } else if (arg == L"--program") {
      program = *v;
    } else if (arg == L"--unset") {
      SetEnvironmentVariableW(v->c_str(), nullptr);
    } else if (size_t equals = arg.find(L'='); equals != std::wstring::npos && equals > 0) {
      // The child inherits this process's block, so setting it here is setting it there.
      if (!SetEnvironmentVariableW(arg.substr(0, equals).c_str(),
                                   arg.substr(equals + 1).c_str())) {
        Complain(L"cannot set " + arg);
        return kCannotStart;
      }
    } else {
      Complain(L"not an option or NAME=VALUE: " + arg);
      return kCannotStart;
    }
  }
  if (!haveChild) {
    Complain(L"nothing to run: give -- PROGRAM [ARGS...] or --cmdline-file FILE");
    return kCannotStart;
  }

  std::wstring commandLine;
  if (!cmdlineFile.empty()) {
    std::optional<std::string> bytes = ReadBytes(cmdlineFile);
    std::optional<std::wstring> text = bytes ? FromUtf8(*bytes) : std::nullopt;
    if (!text) {
      Complain(L"cannot read UTF-8 command line from " + cmdlineFile);
      return kCannotStart;
    }
    commandLine = *text;
  } else {
    for (size_t i = 0; i < childArgs.size(); ++i) {
      commandLine += (i ? L" " : L"") + Quote(childArgs[i]);
    }
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line buffer.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), buffer.data(), nullptr,
                      nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, nullptr,
                      cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
    Complain(L"CreateProcessW failed with error " + std::to_wstring(GetLastError()) + L": " +
             commandLine);
    return kCannotStart;
  }
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  if (!pidFile.empty()) WriteText(pidFile, Decimal(info.dwProcessId));
  // Unbounded here; the shell that started this bounds the whole run.
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  if (!exitCodeFile.empty()) WriteText(exitCodeFile, Decimal(exitCode));
  return static_cast<int>(exitCode);
}
