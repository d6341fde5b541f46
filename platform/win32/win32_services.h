// The Win32 services behind the core's narrow interfaces.
#pragma once

#include "platform/platform.h"

namespace hotfix::win32 {

class Win32Resources : public ModuleResources {
 public:
  ResourceStatus FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                   const std::u16string& type, ResourceBytes& bytes) override;
  // Reads the resource from the program's own file where it can (see the
  // implementation), else from the mapped image.
  ResourceStatus OpenResource(ModuleHandle module, const std::u16string& name,
                              const std::u16string& type,
                              std::unique_ptr<ResourceReader>& reader) override;
  int LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) override;
};

class Win32ThreadState : public ThreadState {
 public:
  std::uint32_t GetLastError() override;
  void SetLastError(std::uint32_t code) override;
  bool SetThreadLocale(std::uint32_t locale) override;
};

class Win32MessageBoxes : public MessageBoxes {
 public:
  int MessageBoxW(const std::u16string& text, const std::u16string& caption,
                  std::uint32_t style) override;
};

class Win32Processes : public Processes {
 public:
  std::optional<std::vector<ProcessEntry>> SnapshotProcesses() override;
  int CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) override;
  void Sleep(std::uint32_t milliseconds) override;
};

class Win32FileSystem : public FileSystem {
 public:
  std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) override;
  std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) override;
  bool IsDirectory(const std::u16string& path) override;
  PathProbe ProbePath(const std::u16string& path) override;
  std::optional<std::u16string> CurrentDriveRoot() override;
  std::unique_ptr<WritableFile> OpenForWriting(const std::u16string& path) override;
  std::unique_ptr<HeldFile> OpenAndHold(const std::u16string& path) override;
  std::unique_ptr<SharedFile> OpenForAppending(const std::u16string& path) override;
  std::uint32_t GetFullPathNameW(const std::u16string& path, std::uint32_t bufferLength,
                                 char16_t* buffer) override;
  bool DeleteFileW(const std::u16string& path) override;
  bool CopyFileW(const std::u16string& from, const std::u16string& to) override;
  bool FlushFileBuffers(const std::u16string& path) override;
  bool ReplaceFileW(const std::u16string& replaced, const std::u16string& replacement) override;
  bool MoveFileExW(const std::u16string& from, const std::u16string& to) override;
  std::vector<std::u16string> FindFileNames(const std::u16string& pattern) override;
};

class Win32MachineLocks : public MachineLocks {
 public:
  LockResult TryAcquire(const std::u16string& name, std::unique_ptr<HeldLock>& lock) override;
};

class Win32CommandLine : public CommandLineSource {
 public:
  std::u16string GetCommandLineW() override;
  std::optional<std::vector<std::u16string>> CommandLineToArgvW(
      const std::u16string& commandLine) override;
};

}  // namespace hotfix::win32
