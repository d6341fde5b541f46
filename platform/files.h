// File system services: temporary directory, existence checks, byte streams,
// the shared append file of the patch list, full paths, deletion, and the
// copy, flush, replace and listing that the cached-package edits rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hotfix {

inline constexpr std::uint32_t kMaxPath = 260;

// What a test for the existence of a path found. Only kAbsent says that
// nothing exists under the path.
enum class PathProbe {
  kAbsent,
  kExists,
  kAccessDenied,
  kUndetermined,  // the test failed otherwise: sharing violation, network error...
};

// A file opened for writing. Destroyed without Close, it is closed without
// looking at the result.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all bytes; returns the number written (a byte stream's fwrite).
  virtual std::size_t Write(const void* data, std::size_t size) = 0;
  // Hands on what the stream still buffers and closes the file (fclose):
  // false when either fails, a full disk for one. Nothing may follow it.
  virtual bool Close() = 0;
};

// A file opened for reading only and shared with readers only: while it is
// open, no process (this one included) can write, rename or delete it, and
// any process can still read it. Closed when destroyed.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  // ReadFile from the current position: the number of bytes read, 0 at the
  // end of the file; nothing when the read fails.
  virtual std::optional<std::size_t> Read(void* data, std::size_t size) = 0;
};

// A file handle of CreateFileW; CloseHandle when destroyed.
class SharedFile {
 public:
  virtual ~SharedFile() = default;
  // To the end of the file, at its full 64-bit size; false when the
  // position cannot be set.
  virtual bool SeekToEnd() = 0;
  virtual bool Write(const void* data, std::uint32_t size) = 0;  // WriteFile
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // GetTempPathW: writes the directory (with a closing backslash) into buffer
  // and returns its length without the terminator; 0 on failure; more than
  // bufferLength when the buffer is too small.
  virtual std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) = 0;

  // Services of the temporary-name maker.
  virtual std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) = 0;
  virtual bool IsDirectory(const std::u16string& path) = 0;
  virtual PathProbe ProbePath(const std::u16string& path) = 0;
  // The root of the current drive ("C:\"), or nothing.
  virtual std::optional<std::u16string> CurrentDriveRoot() = 0;

  // A byte stream opened with mode "wb": created or truncated, no sharing
  // restriction, no line-end translation. Nothing when it cannot be opened.
  virtual std::unique_ptr<WritableFile> OpenForWriting(const std::u16string& path) = 0;

  // Opens an existing file to hold it (see HeldFile). Nothing when it cannot
  // be opened so: missing, or open for writing or deleting elsewhere.
  virtual std::unique_ptr<HeldFile> OpenAndHold(const std::u16string& path) = 0;

  // CreateFileW with read and write access, others may read, open or create,
  // normal attributes. Nothing when it cannot be opened.
  virtual std::unique_ptr<SharedFile> OpenForAppending(const std::u16string& path) = 0;

  // GetFullPathNameW into a buffer of bufferLength characters; returns the
  // length written without the terminator, the length needed (terminator
  // included) when the buffer is too small, 0 on failure.
  virtual std::uint32_t GetFullPathNameW(const std::u16string& path, std::uint32_t bufferLength,
                                         char16_t* buffer) = 0;

  virtual bool DeleteFileW(const std::u16string& path) = 0;

  // CopyFileW to a name that must not exist yet (bFailIfExists): a new file
  // with the bytes and attributes of from. A copy that fails part way leaves
  // nothing at to.
  virtual bool CopyFileW(const std::u16string& from, const std::u16string& to) = 0;

  // Opens the file for writing and hands whatever the system still buffers
  // of it to the disk (FlushFileBuffers); false when either fails.
  virtual bool FlushFileBuffers(const std::u16string& path) = 0;

  // ReplaceFileW without a backup: replaced gets the bytes of replacement
  // and keeps its own attributes and security; the name replacement is gone.
  // When it fails, both names may still be there, or (the system says
  // ERROR_UNABLE_TO_MOVE_REPLACEMENT) only replacement.
  virtual bool ReplaceFileW(const std::u16string& replaced, const std::u16string& replacement) = 0;

  // MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH and
  // without MOVEFILE_COPY_ALLOWED: a rename within the volume, over to when
  // it exists, done whole or not at all.
  virtual bool MoveFileExW(const std::u16string& from, const std::u16string& to) = 0;

  // The names (without folder) of the files, not folders, that
  // FindFirstFileW and FindNextFileW list for pattern, a path whose last
  // part may hold wildcards; none when nothing matches or the listing fails.
  virtual std::vector<std::u16string> FindFileNames(const std::u16string& pattern) = 0;
};

}  // namespace hotfix
