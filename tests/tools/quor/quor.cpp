// Stands in for the product's main program in the Wine tests: it is installed
// with each sample product as quor.exe and runs, windowless, until it is told
// to stop.
//
//   quor.exe STOP_FILE [READY_FILE [SECONDS]]
//
// It polls for STOP_FILE and exits once that file exists. READY_FILE, when
// given, is created as soon as the program runs and removed when it exits, so
// a test can wait for it to be up. SECONDS (default 600, at most 3600) bounds
// its life, so a test that forgets it can never leave it behind. Exit code 0
// when told to stop, 1 when its time ran out, 2 for a bad command line.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

namespace {

constexpr DWORD kPollMilliseconds = 50;
constexpr unsigned long kDefaultSeconds = 600;
constexpr unsigned long kMaxSeconds = 3600;

bool FileExists(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool CreateMarker(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// Whole decimal number in 1..kMaxSeconds, or 0.
unsigned long ParseSeconds(const wchar_t* text) {
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || value == 0 || value > kMaxSeconds) return 0;
  return value;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 4 || argv[1][0] == L'\0') return 2;
  const wchar_t* stopFile = argv[1];
  const wchar_t* readyFile = argc >= 3 && argv[2][0] != L'\0' ? argv[2] : nullptr;
  unsigned long seconds = kDefaultSeconds;
  if (argc == 4) {
    seconds = ParseSeconds(argv[3]);
    if (seconds == 0) return 2;
  }

  if (readyFile != nullptr && !CreateMarker(readyFile)) return 2;
  const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
  int result = 1;
  while (GetTickCount64() < deadline) {
    if (FileExists(stopFile)) {
      result = 0;
      break;
    }
    Sleep(kPollMilliseconds);
  }
  if (readyFile != nullptr) DeleteFileW(readyFile);
  return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 2;
  int result = Run(argc, argv);
  LocalFree(argv);
  return result;
}
