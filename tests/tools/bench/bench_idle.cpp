// Runs, windowless and linked to kernel32 only, until STOP_FILE exists or
// SECONDS have passed (default 3600), so that the Wine machine stays warm
// between the programs that are measured.
//
//   bench_idle STOP_FILE [SECONDS]
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) return 2;
  const unsigned long long seconds = argc == 3 ? std::wcstoull(argv[2], nullptr, 10) : 3600;
  const ULONGLONG deadline = GetTickCount64() + seconds * 1000;
  while (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) {
    Sleep(100);
  }
  return 0;
}
