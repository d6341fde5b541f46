// Substitutes for the Win32 services, held in memory, and one object that
// bundles them with the scripted installer into a Platform.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/fakes/fake_installer.h"

namespace hotfix::testing {

class FakeThreadState : public ThreadState {
 public:
  std::uint32_t lastError = 0;
  std::uint32_t userDefaultLocale = 1033;
  std::uint32_t locale = 1033;
  std::vector<std::uint32_t> localeCalls;  // every SetThreadLocale argument

  std::uint32_t GetLastError() override { return lastError; }
  void SetLastError(std::uint32_t code) override { lastError = code; }
  // Like Windows: 0x400 means the user's default; a locale whose language
  // part is 0 is refused and changes nothing. Sort bits above the 16 of the
  // language are kept, as Windows keeps them.
  bool SetThreadLocale(std::uint32_t value) override;
};

// Resources keyed by (type, name) and strings by (language, id). Strings are
// looked up in the thread locale's language, then in 1033.
class FakeResources : public ModuleResources {
 public:
  explicit FakeResources(FakeThreadState& thread) : thread_(thread) {}

  struct Entry {
    std::string bytes;
    ResourceStatus status = ResourceStatus::kFound;  // forced failure point
  };
  std::map<std::pair<std::u16string, std::u16string>, Entry> entries;  // (type, name)
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::u16string> strings;  // (language, id)
  ModuleHandle expectedModule = nullptr;  // lookups through another module fail
  // Readers of OpenResource give at most this many bytes a read, and fail
  // every read that starts at or after readFailsAt (counted from the start
  // of the resource) from the readFailsAfter-th read on (0: the first).
  std::size_t readPiece = SIZE_MAX;
  std::optional<std::size_t> readFailsAt;
  int readFailsAfter = 0;
  int resourceReads = 0;
  std::vector<std::uint32_t> loadedIds;
  int resourceLookups = 0;

  void AddString(std::uint32_t language, std::uint32_t id, const std::u16string& text) {
    strings[{language, id}] = text;
  }
  void AddResource(const std::u16string& type, const std::u16string& name, std::string bytes) {
    entries[{type, name}] = Entry{std::move(bytes)};
  }

  ResourceStatus FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                   const std::u16string& type, ResourceBytes& bytes) override;
  ResourceStatus OpenResource(ModuleHandle module, const std::u16string& name,
                              const std::u16string& type,
                              std::unique_ptr<ResourceReader>& reader) override;
  int LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) override;

 private:
  FakeThreadState& thread_;
};

class FakeMessageBoxes : public MessageBoxes {
 public:
  explicit FakeMessageBoxes(FakeThreadState& thread) : thread_(thread) {}

  struct Box {
    std::u16string text;
    std::u16string caption;
    std::uint32_t style;
    std::uint32_t locale;  // the thread locale when it was shown
  };
  std::vector<Box> shown;
  // Answers given in turn; when used up, `answer` decides (default: OK, or
  // Retry for a Retry/Cancel box).
  std::deque<int> answers;
  std::function<int(const Box&)> answer;

  int MessageBoxW(const std::u16string& text, const std::u16string& caption,
                  std::uint32_t style) override;

 private:
  FakeThreadState& thread_;
};

class FakeProcesses : public Processes {
 public:
  std::vector<ProcessEntry> running;
  bool snapshotFails = false;
  int snapshots = 0;
  std::vector<std::uint32_t> sleeps;  // every pause asked for; none is taken

  std::optional<std::vector<ProcessEntry>> SnapshotProcesses() override;
  int CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) override;
  void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
};

// A file system in memory. Paths are compared as given; directories are
// listed explicitly.
class FakeFileSystem : public FileSystem {
 public:
  std::map<std::u16string, std::string> files;
  std::set<std::u16string> directories;
  std::set<std::u16string> accessDenied;  // ProbePath refuses; opening fails
  std::map<std::u16string, std::u16string> environment;
  std::u16string tempPath = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
  std::optional<std::uint32_t> tempPathResult;  // forced GetTempPathW result
  std::u16string currentDirectory = u"C:\\work\\";
  std::optional<std::u16string> driveRoot = u"C:\\";
  std::set<std::u16string> undetermined;  // ProbePath cannot tell
  std::optional<std::size_t> writeLimit;  // OpenForWriting streams stop after this many bytes
  bool closeFails = false;                // Close of those streams fails
  std::set<int> failingSharedWrites;      // 0-based indexes of WriteFile calls that fail
  bool seekFails = false;                 // SeekToEnd fails
  int sharedWrites = 0;
  int openFiles = 0;  // files opened and not yet closed
  // Holds: while a path is held, writing, reopening for writing and deleting
  // it fail. beforeHold runs first (another process at work); holdFails
  // refuses every hold.
  std::map<std::u16string, int> held;
  std::function<void(FakeFileSystem&, const std::u16string&)> beforeHold;
  bool holdFails = false;
  bool IsHeld(const std::u16string& path) const;
  std::vector<std::u16string> probed;
  std::vector<std::u16string> deleted;
  std::vector<std::u16string> appendOpened;
  // The cached-package steps. A database of `installer` travels with the
  // file of its path when that is copied, replaced, moved or deleted.
  FakeInstaller* installer = nullptr;
  bool copyFails = false;   // CopyFileW fails (and leaves nothing)
  bool flushFails = false;  // FlushFileBuffers fails
  enum class ReplaceFailure {
    kNone,
    kRefused,    // ReplaceFileW fails and changes nothing
    kLostTarget  // fails with the replaced file gone (ERROR_UNABLE_TO_MOVE_REPLACEMENT)
  };
  ReplaceFailure replaceFailure = ReplaceFailure::kNone;
  std::set<std::u16string> refusedMoveTargets;  // MoveFileExW to these fails, changing nothing
  std::set<std::u16string> undeletable;  // DeleteFileW refuses these
  std::vector<std::string> operations;  // "copy A B", "flush A", "replace A B", "move A B"

  std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) override;
  std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) override;
  bool IsDirectory(const std::u16string& path) override;
  PathProbe ProbePath(const std::u16string& path) override;
  std::optional<std::u16string> CurrentDriveRoot() override { return driveRoot; }
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
  // '*' and '?' in the name part only, letters compared ignoring ASCII case.
  std::vector<std::u16string> FindFileNames(const std::u16string& pattern) override;

  // The folder part of a path ("C:\a\b" gives "C:\a\"); empty for a bare name.
  static std::u16string ParentOf(const std::u16string& path);
  std::u16string Absolute(const std::u16string& path) const;
};

// Records where each write started and how long it was, storing nothing:
// for tests of writes that must come straight from resource memory, or that
// are too large to keep.
class RecordingFileSystem : public FakeFileSystem {
 public:
  struct WriteCall {
    const void* data;
    std::size_t size;
  };
  std::vector<WriteCall> writes;

  std::unique_ptr<WritableFile> OpenForWriting(const std::u16string& path) override;
  std::unique_ptr<SharedFile> OpenForAppending(const std::u16string& path) override;
};

class FakeCommandLine : public CommandLineSource {
 public:
  std::u16string commandLine = u"C:\\Downloads\\hotfix.exe";
  bool splitFails = false;
  std::u16string GetCommandLineW() override { return commandLine; }
  std::optional<std::vector<std::u16string>> CommandLineToArgvW(
      const std::u16string& text) override;
};

// The machine-wide lock: free, taken by another process, or left abandoned,
// as the test says.
class FakeMachineLocks : public MachineLocks {
 public:
  LockResult result = LockResult::kAcquired;
  std::uint32_t failure = 0;  // the last-error value that kFailed leaves
  std::vector<std::u16string> names;  // every name asked for
  int held = 0;  // locks handed out and not yet released

  explicit FakeMachineLocks(FakeThreadState& thread) : thread_(thread) {}
  LockResult TryAcquire(const std::u16string& name, std::unique_ptr<HeldLock>& lock) override;

 private:
  FakeThreadState& thread_;
};

// Everything at once, wired together.
struct FakePlatform {
  FakeInstaller installer;
  FakeThreadState thread;
  FakeResources resources{thread};
  FakeMessageBoxes boxes{thread};
  FakeFileSystem files;
  FakeProcesses processes;
  FakeCommandLine commandLine;
  FakeMachineLocks locks{thread};

  FakePlatform() { files.installer = &installer; }

  Platform platform() {
    return Platform{installer, resources, thread, boxes, files, processes, commandLine, locks};
  }
};

}  // namespace hotfix::testing
