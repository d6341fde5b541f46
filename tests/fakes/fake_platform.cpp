#include "tests/fakes/fake_platform.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace hotfix::testing {
namespace {

constexpr std::uint32_t kErrorResourceNameNotFound = 1814;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

// A resource name of the form "#206" names a numeric id; both spellings of
// the same id find the same entry.
std::u16string CanonicalName(const std::u16string& name) {
  if (name.size() > 1 && name[0] == u'#') {
    std::uint32_t value = 0;
    for (std::size_t i = 1; i < name.size(); ++i) {
      if (name[i] < u'0' || name[i] > u'9') return name;
      value = value * 10 + (name[i] - u'0');
    }
    const std::string digits = std::to_string(value);
    return u"#" + std::u16string(digits.begin(), digits.end());
  }
  return name;
}

class MemoryStream : public WritableFile {
 public:
  MemoryStream(FakeFileSystem& fs, std::u16string path) : fs_(fs), path_(std::move(path)) {
    ++fs_.openFiles;
  }
  ~MemoryStream() override { --fs_.openFiles; }
  bool Close() override { return !fs_.closeFails; }
  std::size_t Write(const void* data, std::size_t size) override {
    std::string& content = fs_.files[path_];
    std::size_t take = size;
    if (fs_.writeLimit) take = std::min(size, *fs_.writeLimit > content.size() ? *fs_.writeLimit - content.size() : 0);
    content.append(static_cast<const char*>(data), take);
    return take;
  }

 private:
  FakeFileSystem& fs_;
  std::u16string path_;
};

class MemorySharedFile : public SharedFile {
 public:
  MemorySharedFile(FakeFileSystem& fs, std::u16string path) : fs_(fs), path_(std::move(path)) {
    ++fs_.openFiles;
  }
  ~MemorySharedFile() override { --fs_.openFiles; }
  bool SeekToEnd() override {
    if (fs_.seekFails) return false;
    atEnd_ = true;
    return true;
  }
  bool Write(const void* data, std::uint32_t size) override {
    const int index = fs_.sharedWrites++;
    if (fs_.failingSharedWrites.count(index) != 0) return false;
    std::string& content = fs_.files[path_];
    // Without the seek, writes would overwrite from the start of the file.
    if (!atEnd_) {
      content.replace(position_, std::min<std::size_t>(size, content.size() - position_),
                      static_cast<const char*>(data), size);
      position_ += size;
    } else {
      content.append(static_cast<const char*>(data), size);
    }
    return true;
  }

 private:
  FakeFileSystem& fs_;
  std::u16string path_;
  bool atEnd_ = false;
  std::size_t position_ = 0;
};

// Reads the file as it is when held; it cannot change while held.
class MemoryHeldFile : public HeldFile {
 public:
  MemoryHeldFile(FakeFileSystem& fs, std::u16string path) : fs_(fs), path_(std::move(path)) {
    ++fs_.openFiles;
    ++fs_.held[path_];
  }
  ~MemoryHeldFile() override {
    --fs_.openFiles;
    if (--fs_.held[path_] == 0) fs_.held.erase(path_);
  }
  std::optional<std::size_t> Read(void* data, std::size_t size) override {
    const std::string& content = fs_.files.at(path_);
    const std::size_t take = std::min(size, content.size() - position_);
    std::copy_n(content.data() + position_, take, static_cast<char*>(data));
    position_ += take;
    return take;
  }

 private:
  FakeFileSystem& fs_;
  std::u16string path_;
  std::size_t position_ = 0;
};

}  // namespace

bool FakeThreadState::SetThreadLocale(std::uint32_t value) {
  localeCalls.push_back(value);
  if (value == kLocaleUserDefault) {
    locale = userDefaultLocale;
    return true;
  }
  if ((value & 0xFFFF) == 0) return false;
  locale = value;
  return true;
}

ResourceStatus FakeResources::FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                                const std::u16string& type, ResourceBytes& bytes) {
  ++resourceLookups;
  if (module != expectedModule) return ResourceStatus::kMissing;
  auto it = entries.find({type, CanonicalName(name)});
  if (it == entries.end()) return ResourceStatus::kMissing;
  if (it->second.status != ResourceStatus::kFound) return it->second.status;
  if (it->second.bytes.empty()) return ResourceStatus::kSizeZero;
  bytes.data = reinterpret_cast<const unsigned char*>(it->second.bytes.data());
  bytes.size = it->second.bytes.size();
  return ResourceStatus::kFound;
}

namespace {

// Reads the bytes in the pieces and with the failure FakeResources names.
class PieceReader : public ResourceReader {
 public:
  PieceReader(FakeResources& resources, ResourceBytes bytes)
      : resources_(resources), memory_(bytes) {}
  std::size_t Size() const override { return memory_.Size(); }
  std::optional<std::size_t> ReadAt(std::size_t offset, void* data, std::size_t size) override {
    const int read = resources_.resourceReads++;
    if (resources_.readFailsAt && offset >= *resources_.readFailsAt &&
        read >= resources_.readFailsAfter) {
      return std::nullopt;
    }
    return memory_.ReadAt(offset, data, std::min(size, resources_.readPiece));
  }

 private:
  FakeResources& resources_;
  MemoryResourceReader memory_;
};

}  // namespace

ResourceStatus FakeResources::OpenResource(ModuleHandle module, const std::u16string& name,
                                           const std::u16string& type,
                                           std::unique_ptr<ResourceReader>& reader) {
  ResourceBytes bytes;
  const ResourceStatus status = FindResourceBytes(module, name, type, bytes);
  if (status == ResourceStatus::kFound) reader = std::make_unique<PieceReader>(*this, bytes);
  return status;
}

int FakeResources::LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                               int capacity) {
  loadedIds.push_back(id);
  const std::u16string* text = nullptr;
  if (module == expectedModule) {
    const std::uint32_t language = thread_.locale & 0xFFFF;
    if (auto it = strings.find({language, id}); it != strings.end()) {
      text = &it->second;
    } else if (auto en = strings.find({1033u, id}); en != strings.end()) {
      text = &en->second;
    }
  }
  // Loading changes the last-error value, as it may on Windows.
  thread_.lastError = text ? 0 : kErrorResourceNameNotFound;
  if (text == nullptr || capacity <= 0) {
    if (capacity > 0) buffer[0] = u'\0';
    return 0;
  }
  const int count = std::min<int>(static_cast<int>(text->size()), capacity - 1);
  std::copy(text->begin(), text->begin() + count, buffer);
  buffer[count] = u'\0';
  return count;
}

int FakeMessageBoxes::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                  std::uint32_t style) {
  shown.push_back(Box{text, caption, style, thread_.locale});
  if (!answers.empty()) {
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  if (answer) return answer(shown.back());
  return (style & 0xF) == kMbRetryCancel ? kIdRetry : kIdOk;
}

std::optional<std::vector<ProcessEntry>> FakeProcesses::SnapshotProcesses() {
  ++snapshots;
  if (snapshotFails) return std::nullopt;
  return running;
}

int FakeProcesses::CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = FoldAscii(a[i]);
    const char16_t y = FoldAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::u16string FakeFileSystem::ParentOf(const std::u16string& path) {
  const auto slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
}

std::u16string FakeFileSystem::Absolute(const std::u16string& path) const {
  const bool drive = path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
  const bool unc = path.rfind(u"\\\\", 0) == 0;
  return (drive || unc) ? path : currentDirectory + path;
}

std::uint32_t FakeFileSystem::GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) {
  if (tempPathResult) return *tempPathResult;
  if (tempPath.size() + 1 > bufferLength) return static_cast<std::uint32_t>(tempPath.size() + 1);
  std::copy(tempPath.begin(), tempPath.end(), buffer);
  buffer[tempPath.size()] = u'\0';
  return static_cast<std::uint32_t>(tempPath.size());
}

std::optional<std::u16string> FakeFileSystem::GetEnvironmentVariableW(const std::u16string& name) {
  auto it = environment.find(name);
  if (it == environment.end()) return std::nullopt;
  return it->second;
}

bool FakeFileSystem::IsDirectory(const std::u16string& path) {
  if (path.empty()) return false;
  std::u16string p = Absolute(path);
  if (p.back() != u'\\' && p.back() != u'/') p += u'\\';
  return directories.count(p) != 0;
}

PathProbe FakeFileSystem::ProbePath(const std::u16string& path) {
  probed.push_back(path);
  const std::u16string p = Absolute(path);
  if (accessDenied.count(p) != 0) return PathProbe::kAccessDenied;
  if (undetermined.count(p) != 0) return PathProbe::kUndetermined;
  if (files.count(p) != 0 || directories.count(p + u"\\") != 0) return PathProbe::kExists;
  return PathProbe::kAbsent;
}

bool FakeFileSystem::IsHeld(const std::u16string& path) const {
  return held.count(Absolute(path)) != 0;
}

std::unique_ptr<WritableFile> FakeFileSystem::OpenForWriting(const std::u16string& path) {
  if (path.empty()) return nullptr;
  const std::u16string p = Absolute(path);
  if (accessDenied.count(p) != 0 || directories.count(p + u"\\") != 0) return nullptr;
  if (IsHeld(p)) return nullptr;
  if (directories.count(ParentOf(p)) == 0) return nullptr;
  files[p].clear();
  return std::make_unique<MemoryStream>(*this, p);
}

std::unique_ptr<HeldFile> FakeFileSystem::OpenAndHold(const std::u16string& path) {
  if (beforeHold) beforeHold(*this, path);
  const std::u16string p = Absolute(path);
  if (holdFails || files.count(p) == 0) return nullptr;
  return std::make_unique<MemoryHeldFile>(*this, p);
}

std::unique_ptr<SharedFile> FakeFileSystem::OpenForAppending(const std::u16string& path) {
  appendOpened.push_back(path);
  if (path.empty()) return nullptr;
  const std::u16string p = Absolute(path);
  if (accessDenied.count(p) != 0 || directories.count(p + u"\\") != 0) return nullptr;
  if (directories.count(ParentOf(p)) == 0) return nullptr;
  files.emplace(p, std::string());
  return std::make_unique<MemorySharedFile>(*this, p);
}

std::uint32_t FakeFileSystem::GetFullPathNameW(const std::u16string& path,
                                               std::uint32_t bufferLength, char16_t* buffer) {
  if (path.empty()) return 0;
  const std::u16string full = Absolute(path);
  if (full.size() + 1 > bufferLength) return static_cast<std::uint32_t>(full.size() + 1);
  std::copy(full.begin(), full.end(), buffer);
  buffer[full.size()] = u'\0';
  return static_cast<std::uint32_t>(full.size());
}

namespace {

// Moves the file and its database from one name to the other.
void Rename(FakeFileSystem& fs, const std::u16string& from, const std::u16string& to) {
  fs.files[to] = std::move(fs.files[from]);
  fs.files.erase(from);
  if (fs.installer == nullptr) return;
  auto& databases = fs.installer->databases;
  if (auto db = databases.find(from); db != databases.end()) {
    databases[to] = std::move(db->second);
    databases.erase(from);
  } else {
    databases.erase(to);
  }
}

bool MatchesWildcards(std::u16string_view name, std::u16string_view pattern) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == u'*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip)
      if (MatchesWildcards(name.substr(skip), pattern.substr(1))) return true;
    return false;
  }
  if (name.empty()) return false;
  if (pattern[0] != u'?' && FoldAscii(pattern[0]) != FoldAscii(name[0])) return false;
  return MatchesWildcards(name.substr(1), pattern.substr(1));
}

}  // namespace

bool FakeFileSystem::DeleteFileW(const std::u16string& path) {
  deleted.push_back(path);
  const std::u16string p = Absolute(path);
  if (IsHeld(p) || undeletable.count(p) != 0) return false;
  if (installer != nullptr) installer->databases.erase(p);
  return files.erase(p) != 0;
}

bool FakeFileSystem::CopyFileW(const std::u16string& from, const std::u16string& to) {
  operations.push_back("copy " + Narrow(from) + " " + Narrow(to));
  const std::u16string source = Absolute(from);
  const std::u16string target = Absolute(to);
  if (copyFails || files.count(source) == 0 || files.count(target) != 0 ||
      directories.count(ParentOf(target)) == 0)
    return false;
  files[target] = files[source];
  if (installer != nullptr) {
    if (auto db = installer->databases.find(source); db != installer->databases.end())
      installer->databases[target] = db->second;
  }
  return true;
}

bool FakeFileSystem::FlushFileBuffers(const std::u16string& path) {
  operations.push_back("flush " + Narrow(path));
  return !flushFails && files.count(Absolute(path)) != 0;
}

bool FakeFileSystem::ReplaceFileW(const std::u16string& replaced,
                                  const std::u16string& replacement) {
  operations.push_back("replace " + Narrow(replaced) + " " + Narrow(replacement));
  const std::u16string target = Absolute(replaced);
  const std::u16string source = Absolute(replacement);
  if (files.count(target) == 0 || files.count(source) == 0 || IsHeld(target) || IsHeld(source))
    return false;
  switch (replaceFailure) {
    case ReplaceFailure::kRefused:
      return false;
    case ReplaceFailure::kLostTarget:
      files.erase(target);
      if (installer != nullptr) installer->databases.erase(target);
      return false;
    case ReplaceFailure::kNone:
      break;
  }
  Rename(*this, source, target);
  return true;
}

bool FakeFileSystem::MoveFileExW(const std::u16string& from, const std::u16string& to) {
  operations.push_back("move " + Narrow(from) + " " + Narrow(to));
  const std::u16string source = Absolute(from);
  const std::u16string target = Absolute(to);
  if (refusedMoveTargets.count(target) != 0 || files.count(source) == 0 || IsHeld(source) ||
      IsHeld(target))
    return false;
  Rename(*this, source, target);
  return true;
}

std::vector<std::u16string> FakeFileSystem::FindFileNames(const std::u16string& pattern) {
  const std::u16string p = Absolute(pattern);
  const std::u16string folder = ParentOf(p);
  const std::u16string namePattern = p.substr(folder.size());
  std::vector<std::u16string> names;
  for (const auto& [path, bytes] : files) {
    if (ParentOf(path) != folder) continue;
    const std::u16string name = path.substr(folder.size());
    if (MatchesWildcards(name, namePattern)) names.push_back(name);
  }
  return names;
}

LockResult FakeMachineLocks::TryAcquire(const std::u16string& name,
                                        std::unique_ptr<HeldLock>& lock) {
  class Held : public HeldLock {
   public:
    explicit Held(int& count) : count_(count) { ++count_; }
    ~Held() override { --count_; }

   private:
    int& count_;
  };
  names.push_back(name);
  if (result == LockResult::kAcquired || result == LockResult::kAbandoned)
    lock = std::make_unique<Held>(held);
  if (result == LockResult::kFailed) thread_.lastError = failure;
  return result;
}

namespace {

class WriteRecorder : public WritableFile, public SharedFile {
 public:
  explicit WriteRecorder(std::vector<RecordingFileSystem::WriteCall>& calls) : calls_(calls) {}
  std::size_t Write(const void* data, std::size_t size) override {
    calls_.push_back({data, size});
    return size;
  }
  bool Close() override { return true; }
  bool SeekToEnd() override { return true; }
  bool Write(const void* data, std::uint32_t size) override {
    calls_.push_back({data, size});
    return true;
  }

 private:
  std::vector<RecordingFileSystem::WriteCall>& calls_;
};

}  // namespace

std::unique_ptr<WritableFile> RecordingFileSystem::OpenForWriting(const std::u16string&) {
  return std::make_unique<WriteRecorder>(writes);
}

std::unique_ptr<SharedFile> RecordingFileSystem::OpenForAppending(const std::u16string&) {
  return std::make_unique<WriteRecorder>(writes);
}

std::optional<std::vector<std::u16string>> FakeCommandLine::CommandLineToArgvW(
    const std::u16string& text) {
  if (splitFails) return std::nullopt;
  return SplitCommandLine(text, u"C:\\Downloads\\hotfix.exe");
}

}  // namespace hotfix::testing
