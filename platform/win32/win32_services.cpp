#include "platform/win32/win32_services.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "messages/string_lookup.h"
#include "platform/image_layout.h"
#include "platform/win32/text.h"

namespace hotfix::win32 {
namespace {

HMODULE AsModule(ModuleHandle module) {
  return reinterpret_cast<HMODULE>(const_cast<void*>(module));
}

// One string block of the module's table in exactly one language.
std::optional<ResourceBytes> FindStringBlock(HMODULE module, std::uint16_t blockId,
                                             std::uint16_t language) {
  HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(blockId), language);
  if (block == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, block);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (data == nullptr) return std::nullopt;
  return ResourceBytes{static_cast<const unsigned char*>(data), SizeofResource(module, block)};
}

class StdioFile : public WritableFile {
 public:
  explicit StdioFile(FILE* file) : file_(file) {}
  ~StdioFile() override {
    if (file_ != nullptr) std::fclose(file_);
  }
  std::size_t Write(const void* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_);
  }
  bool Close() override {
    FILE* file = std::exchange(file_, nullptr);
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    return std::fclose(file) == 0 && flushed;
  }

 private:
  FILE* file_;
};

class Win32HeldFile : public HeldFile {
 public:
  explicit Win32HeldFile(HANDLE handle) : handle_(handle) {}
  ~Win32HeldFile() override { CloseHandle(handle_); }
  std::optional<std::size_t> Read(void* data, std::size_t size) override {
    DWORD read = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    if (!ReadFile(handle_, data, wanted, &read, nullptr)) return std::nullopt;
    return read;
  }

 private:
  HANDLE handle_;
};

class Win32SharedFile : public SharedFile {
 public:
  explicit Win32SharedFile(HANDLE handle) : handle_(handle) {}
  ~Win32SharedFile() override { CloseHandle(handle_); }
  // SetFilePointer without a high part fails on a file of 4 GiB or more and
  // leaves the position at the start.
  bool SeekToEnd() override {
    return SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_END) != FALSE;
  }
  bool Write(const void* data, std::uint32_t size) override {
    DWORD written = 0;
    return WriteFile(handle_, data, size, &written, nullptr) != FALSE;
  }

 private:
  HANDLE handle_;
};

// A resource read from the module's own file, at the offset its section
// gives. The file stays open for reading only, shared with readers only: from
// the open on, nobody can change, rename or delete it.
class OwnFileResourceReader : public ResourceReader {
 public:
  OwnFileResourceReader(HANDLE file, std::uint64_t offset, std::size_t size)
      : file_(file), offset_(offset), size_(size) {}
  ~OwnFileResourceReader() override { CloseHandle(file_); }
  std::size_t Size() const override { return size_; }
  std::optional<std::size_t> ReadAt(std::size_t offset, void* data, std::size_t size) override {
    if (offset >= size_) return 0;
    return ReadFileAt(file_, offset_ + offset, data, std::min(size, size_ - offset));
  }

  // ReadFile at a position, one call; ReadFile takes a 32-bit count.
  static std::optional<std::size_t> ReadFileAt(HANDLE file, std::uint64_t position, void* data,
                                               std::size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD read = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(file, data, wanted, &read, &at)) return std::nullopt;
    return read;
  }

 private:
  HANDLE file_;
  std::uint64_t offset_;
  std::size_t size_;
};

// The module's file, when it can be opened and is the file the module was
// loaded from (the same headers), and the resource lies whole in the raw data
// of a section; else nothing, and the caller reads the mapped image.
//
// Reading the mapped image would fault its pages in one by one and keep them
// resident: a payload of hundreds of megabytes would cost several times a
// copy of it, and its size in memory.
std::unique_ptr<ResourceReader> OpenInOwnFile(HMODULE module, const ResourceBytes& bytes) {
  std::vector<wchar_t> path(32768);
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return nullptr;
  HANDLE file = CreateFileW(path.data(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // Closed on every way out but the last, which hands it to the reader.
  std::unique_ptr<void, decltype(&CloseHandle)> owned(file, &CloseHandle);

  // The headers fit in the image's first page, the only page of it read here.
  constexpr std::size_t kHeaderPage = 4096;
  unsigned char headers[kHeaderPage];
  std::size_t got = 0;
  while (got < kHeaderPage) {
    const auto read = OwnFileResourceReader::ReadFileAt(file, got, headers + got, kHeaderPage - got);
    if (!read || *read == 0) break;
    got += *read;
  }
  const auto* image = reinterpret_cast<const unsigned char*>(module);
  const auto headersSize = ImageHeadersSize(headers, got);
  if (!headersSize || !SameImageHeaders(image, headers, *headersSize)) return nullptr;
  const auto rva = static_cast<std::uintptr_t>(bytes.data - image);
  if (rva > MAXDWORD) return nullptr;
  const auto offset = ImageFileOffset(headers, *headersSize, static_cast<std::uint32_t>(rva),
                                      bytes.size);
  LARGE_INTEGER fileSize{};
  if (!offset || !GetFileSizeEx(file, &fileSize) ||
      static_cast<std::uint64_t>(fileSize.QuadPart) < *offset + bytes.size) {
    return nullptr;
  }
  return std::make_unique<OwnFileResourceReader>(owned.release(), *offset, bytes.size);
}

class Win32HeldLock : public HeldLock {
 public:
  explicit Win32HeldLock(HANDLE mutex) : mutex_(mutex) {}
  ~Win32HeldLock() override {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }

 private:
  HANDLE mutex_;
};

}  // namespace

ResourceStatus Win32Resources::FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                                 const std::u16string& type, ResourceBytes& bytes) {
  HMODULE m = AsModule(module);
  HRSRC found = FindResourceW(m, Wide(name), Wide(type));
  if (found == nullptr) return ResourceStatus::kMissing;
  const DWORD size = SizeofResource(m, found);
  if (size == 0) return ResourceStatus::kSizeZero;
  HGLOBAL loaded = LoadResource(m, found);
  if (loaded == nullptr) return ResourceStatus::kLoadFailed;
  const void* data = LockResource(loaded);
  if (data == nullptr) return ResourceStatus::kLockFailed;
  bytes.data = static_cast<const unsigned char*>(data);
  bytes.size = size;
  return ResourceStatus::kFound;
}

ResourceStatus Win32Resources::OpenResource(ModuleHandle module, const std::u16string& name,
                                            const std::u16string& type,
                                            std::unique_ptr<ResourceReader>& reader) {
  // LockResource only computes the address: no page of the resource is read.
  ResourceBytes bytes;
  const ResourceStatus status = FindResourceBytes(module, name, type, bytes);
  if (status != ResourceStatus::kFound) return status;
  reader = OpenInOwnFile(AsModule(module), bytes);
  if (!reader) reader = std::make_unique<MemoryResourceReader>(bytes);
  return ResourceStatus::kFound;
}

int Win32Resources::LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                                int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  // LoadStringW follows the thread's UI language on current Windows, not the
  // thread locale that selects each product's language: the table is
  // searched in the locale's language and its carried variant first, and
  // the system chooses only where the table has neither.

  // Blocks the table lacks leave 1814 or 1815 behind, which a later message
  // 300 would show as the error of some other step.
  const DWORD lastError = ::GetLastError();
  HMODULE m = AsModule(module);
  const LookupLocales locales{GetThreadLocale(), GetUserDefaultLCID(), GetSystemDefaultLCID()};
  std::optional<int> count = LookUpString(
      [m](std::uint16_t blockId, std::uint16_t language) {
        return FindStringBlock(m, blockId, language);
      },
      locales, id, buffer, capacity);
  ::SetLastError(lastError);
  if (count) return *count;
  const int systemCount = ::LoadStringW(m, id, Wide(buffer), capacity);
  // When nothing arrives, the system's reason stays for the caller to show.
  if (systemCount > 0) ::SetLastError(lastError);
  return systemCount;
}

std::uint32_t Win32ThreadState::GetLastError() { return ::GetLastError(); }
void Win32ThreadState::SetLastError(std::uint32_t code) { ::SetLastError(code); }
bool Win32ThreadState::SetThreadLocale(std::uint32_t locale) {
  return ::SetThreadLocale(locale) != FALSE;
}

int Win32MessageBoxes::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                   std::uint32_t style) {
  return ::MessageBoxW(nullptr, Wide(text), Wide(caption), style);
}

std::optional<std::vector<ProcessEntry>> Win32Processes::SnapshotProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<ProcessEntry> list;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    list.push_back(ProcessEntry{entry.th32ProcessID, FromWide(entry.szExeFile)});
  }
  CloseHandle(snapshot);
  return list;
}

int Win32Processes::CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return lstrcmpiW(Wide(a), Wide(b));
}

void Win32Processes::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t Win32FileSystem::GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) {
  return ::GetTempPathW(bufferLength, Wide(buffer));
}

std::optional<std::u16string> Win32FileSystem::GetEnvironmentVariableW(const std::u16string& name) {
  std::u16string value(256, u'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(Wide(name), Wide(value.data()),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::u16string();
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.assign(length, u'\0');  // length includes the terminator here
  }
}

bool Win32FileSystem::IsDirectory(const std::u16string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(Wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

PathProbe Win32FileSystem::ProbePath(const std::u16string& path) {
  if (GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES) return PathProbe::kExists;
  // Only these say that nothing is there; a sharing violation, a network
  // error and the like say nothing about it.
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PathProbe::kAbsent;
    case ERROR_ACCESS_DENIED:
      return PathProbe::kAccessDenied;
    default:
      return PathProbe::kUndetermined;
  }
}

std::optional<std::u16string> Win32FileSystem::CurrentDriveRoot() {
  wchar_t current[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, current);
  if (length < 3 || length > MAX_PATH || current[1] != L':') return std::nullopt;
  const wchar_t root[] = {current[0], L':', L'\\', L'\0'};
  return FromWide(root);
}

std::unique_ptr<WritableFile> Win32FileSystem::OpenForWriting(const std::u16string& path) {
  FILE* file = _wfopen(Wide(path), L"wb");
  if (file == nullptr) return nullptr;
  return std::make_unique<StdioFile>(file);
}

std::unique_ptr<HeldFile> Win32FileSystem::OpenAndHold(const std::u16string& path) {
  // Read access only, so that the service can still open it to read; no
  // write or delete sharing, so that nobody can change, rename or delete it.
  // A link is held as itself, not the file it points at, so the name cannot
  // be pointed elsewhere either.
  HANDLE handle = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32HeldFile>(handle);
}

std::unique_ptr<SharedFile> Win32FileSystem::OpenForAppending(const std::u16string& path) {
  HANDLE handle = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32SharedFile>(handle);
}

std::uint32_t Win32FileSystem::GetFullPathNameW(const std::u16string& path,
                                                std::uint32_t bufferLength, char16_t* buffer) {
  wchar_t* filePart = nullptr;
  return ::GetFullPathNameW(Wide(path), bufferLength, Wide(buffer), &filePart);
}

bool Win32FileSystem::DeleteFileW(const std::u16string& path) {
  return ::DeleteFileW(Wide(path)) != FALSE;
}

bool Win32FileSystem::CopyFileW(const std::u16string& from, const std::u16string& to) {
  if (::CopyFileW(Wide(from), Wide(to), TRUE)) return true;
  const DWORD error = ::GetLastError();
  // What a copy that failed part way (a full disk) wrote; never a file that
  // was there before.
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) ::DeleteFileW(Wide(to));
  ::SetLastError(error);
  return false;
}

bool Win32FileSystem::FlushFileBuffers(const std::u16string& path) {
  HANDLE handle = CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = ::FlushFileBuffers(handle) != FALSE;
  return CloseHandle(handle) != FALSE && flushed;
}

bool Win32FileSystem::ReplaceFileW(const std::u16string& replaced,
                                   const std::u16string& replacement) {
  return ::ReplaceFileW(Wide(replaced), Wide(replacement), nullptr, 0, nullptr, nullptr) != FALSE;
}

bool Win32FileSystem::MoveFileExW(const std::u16string& from, const std::u16string& to) {
  return ::MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}

std::vector<std::u16string> Win32FileSystem::FindFileNames(const std::u16string& pattern) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(Wide(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    found.cFileName[MAX_PATH - 1] = L'\0';
    names.push_back(FromWide(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

LockResult Win32MachineLocks::TryAcquire(const std::u16string& name,
                                         std::unique_ptr<HeldLock>& lock) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, Wide(name));
  if (mutex == nullptr) {
    // It exists, made by a process whose security keeps this user out: an
    // elevated run, seen from one that is not.
    return ::GetLastError() == ERROR_ACCESS_DENIED ? LockResult::kTaken : LockResult::kFailed;
  }
  switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
      lock = std::make_unique<Win32HeldLock>(mutex);
      return LockResult::kAcquired;
    case WAIT_ABANDONED:
      lock = std::make_unique<Win32HeldLock>(mutex);
      return LockResult::kAbandoned;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return LockResult::kTaken;
    default: {
      const DWORD error = ::GetLastError();
      CloseHandle(mutex);
      ::SetLastError(error);
      return LockResult::kFailed;
    }
  }
}

std::u16string Win32CommandLine::GetCommandLineW() { return FromWide(::GetCommandLineW()); }

std::optional<std::vector<std::u16string>> Win32CommandLine::CommandLineToArgvW(
    const std::u16string& commandLine) {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(Wide(commandLine), &count);
  if (arguments == nullptr) return std::nullopt;
  std::vector<std::u16string> list;
  for (int i = 0; i < count; ++i) list.push_back(FromWide(arguments[i]));
  GlobalFree(arguments);
  return list;
}

}  // namespace hotfix::win32
