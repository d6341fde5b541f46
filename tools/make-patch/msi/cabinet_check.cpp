#include "msi/cabinet_check.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "msi/transform_encoding.h"

namespace makepatch {
namespace {

constexpr std::uint64_t kHeaderSize = 36;
constexpr std::uint64_t kFolderEntrySize = 8;
constexpr std::uint64_t kFileEntrySize = 16;
constexpr std::uint64_t kBlockHeaderSize = 8;
constexpr std::uint64_t kNameLimit = 256;  // terminator included
constexpr std::uint32_t kHeaderReserveLimit = 60000;
constexpr std::uint32_t kBlockLimit = 32768;
// What an encoder may add to a block that does not compress.
constexpr std::uint32_t kStoredBlockLimit = kBlockLimit + 6144;

constexpr std::uint16_t kPreviousCabinet = 0x0001;
constexpr std::uint16_t kNextCabinet = 0x0002;
constexpr std::uint16_t kReservePresent = 0x0004;

// A file's folder index when it is split across the cabinets of a set.
constexpr std::uint16_t kContinuedFromPrevious = 0xFFFD, kContinuedToNext = 0xFFFE;

constexpr std::uint16_t kCompressionNone = 0, kCompressionMszip = 1, kCompressionQuantum = 2, kCompressionLzx = 3;

std::string Hex(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x0000";
  for (int i = 5; i >= 2; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return text;
}

// Folders and blocks are counted from 1 in what people read.
std::string FolderName(std::size_t index) { return "folder " + std::to_string(index + 1); }

struct Folder {
  std::uint32_t start = 0;
  std::uint16_t blocks = 0;
  std::uint16_t compression = 0;
  std::uint64_t uncompressed = 0;
};

class Check {
 public:
  Check(const ByteSource& source, const std::string& file, const std::string& cabinet, const std::string& kind)
      : source_(source), file_(file), cabinet_(cabinet), kind_(kind) {}

  CabinetShape Run() {
    ReadHeader();
    ReadFolders();
    ReadFiles();
    for (std::size_t i = 0; i < folders_.size(); ++i) WalkBlocks(i);
    for (const CabinetEntry& entry : shape_.files) {
      const Folder& folder = folders_[entry.folder];
      if (std::uint64_t{entry.offset} + entry.size > folder.uncompressed) {
        Refuse("file " + entry.name + " claims " + Grouped(entry.size) + " bytes at " + Grouped(entry.offset) +
               " of " + FolderName(entry.folder) + ", whose blocks hold " + Grouped(folder.uncompressed));
      }
    }
    for (const Folder& folder : folders_) shape_.uncompressed += folder.uncompressed;
    return std::move(shape_);
  }

 private:
  [[noreturn]] void Refuse(const std::string& detail) const { throw DamagedCabinet(file_, cabinet_, detail, kind_); }

  // size bytes at offset, all of them inside the cabinet, or a refusal naming
  // what ran past its end.
  void Read(std::uint64_t offset, void* out, std::size_t size, const std::string& what) const {
    if (offset > end_ || size > end_ - offset) {
      Refuse(what + " at " + Grouped(offset) + " runs past its end at " + Grouped(end_));
    }
    if (!source_.ReadAt(offset, out, size)) Refuse(what + " at " + Grouped(offset) + " cannot be read");
  }

  // A NUL-terminated name of at most kNameLimit bytes at at_, which then
  // points past it.
  std::string ReadName(const std::string& what) {
    std::array<char, kNameLimit> bytes{};
    const std::uint64_t available = at_ < end_ ? end_ - at_ : 0;
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(available, kNameLimit));
    Read(at_, bytes.data(), size, what);
    const auto nul = std::find(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), '\0');
    if (nul == bytes.begin() + static_cast<std::ptrdiff_t>(size)) {
      if (size < kNameLimit) Refuse(what + " at " + Grouped(at_) + " runs past its end at " + Grouped(end_));
      Refuse(what + " at " + Grouped(at_) + " is longer than " + Grouped(kNameLimit - 1) + " bytes");
    }
    std::string name(bytes.begin(), nul);
    at_ += name.size() + 1;
    return name;
  }

  void ReadHeader() {
    const std::uint64_t size = source_.Size();
    std::array<std::uint8_t, kHeaderSize> header{};
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderSize));
    if (!source_.ReadAt(0, header.data(), first)) Refuse("its header cannot be read");
    if (first < 4 || header[0] != 'M' || header[1] != 'S' || header[2] != 'C' || header[3] != 'F') {
      Refuse("it does not begin with MSCF");
    }
    if (first < kHeaderSize) {
      Refuse("it holds " + Grouped(size) + " bytes, fewer than its " + Grouped(kHeaderSize) + "-byte header");
    }
    const unsigned minor = header[24], major = header[25];
    if (major != 1 || minor != 3) {
      Refuse("version " + std::to_string(major) + "." + std::to_string(minor) + ", not 1.3");
    }
    const std::uint32_t claimed = Le32(&header[8]);
    if (claimed > size) {
      Refuse("it claims " + Grouped(claimed) + " bytes, but holds " + Grouped(size) + ": it is cut short");
    }
    if (claimed < kHeaderSize) {
      Refuse("it claims " + Grouped(claimed) + " bytes, fewer than its " + Grouped(kHeaderSize) + "-byte header");
    }
    end_ = claimed;
    filesStart_ = Le32(&header[16]);
    folderCount_ = Le16(&header[26]);
    fileCount_ = Le16(&header[28]);
    flags_ = Le16(&header[30]);
    if ((flags_ & ~(kPreviousCabinet | kNextCabinet | kReservePresent)) != 0) {
      Refuse("its flags " + Hex(flags_) + " are unknown");
    }
    if (fileCount_ > 0 && folderCount_ == 0) Refuse("it lists " + Grouped(fileCount_) + " files but no folder");

    at_ = kHeaderSize;
    if ((flags_ & kReservePresent) != 0) {
      std::array<std::uint8_t, 4> reserve{};
      Read(at_, reserve.data(), reserve.size(), "its reserve sizes");
      const std::uint32_t headerReserve = Le16(&reserve[0]);
      folderReserve_ = reserve[2];
      blockReserve_ = reserve[3];
      if (headerReserve > kHeaderReserveLimit) {
        Refuse("its header reserves " + Grouped(headerReserve) + " bytes, more than " + Grouped(kHeaderReserveLimit));
      }
      at_ += reserve.size();
      if (headerReserve > end_ - at_) {
        Refuse("its header's " + Grouped(headerReserve) + " reserved bytes at " + Grouped(at_) +
               " run past its end at " + Grouped(end_));
      }
      at_ += headerReserve;
    }
    // Names of the neighbours in a set: read to find what follows them.
    if ((flags_ & kPreviousCabinet) != 0) {
      ReadName("the name of its previous cabinet");
      ReadName("the name of its previous disk");
    }
    if ((flags_ & kNextCabinet) != 0) {
      ReadName("the name of its next cabinet");
      ReadName("the name of its next disk");
    }
  }

  void ReadFolders() {
    const std::uint64_t entrySize = kFolderEntrySize + folderReserve_;
    if (std::uint64_t{folderCount_} * entrySize > end_ - at_) {
      Refuse("its " + Grouped(folderCount_) + " folders of " + Grouped(entrySize) + " bytes at " + Grouped(at_) +
             " run past its end at " + Grouped(end_));
    }
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(folderCount_ * entrySize));
    Read(at_, entries.data(), entries.size(), "its folders");
    folders_.reserve(folderCount_);
    for (std::size_t i = 0; i < folderCount_; ++i) {
      const std::uint8_t* entry = entries.data() + i * entrySize;
      Folder folder;
      folder.start = Le32(entry);
      folder.blocks = Le16(entry + 4);
      folder.compression = Le16(entry + 6);
      CheckCompression(i, folder.compression);
      folders_.push_back(folder);
    }
    at_ += entries.size();
    if (filesStart_ < at_) {
      Refuse("its file entries start at " + Grouped(filesStart_) + ", inside its header and folders, which end at " +
             Grouped(at_));
    }
    if (filesStart_ > end_ || std::uint64_t{fileCount_} * kFileEntrySize > end_ - filesStart_) {
      Refuse("its " + Grouped(fileCount_) + " file entries at " + Grouped(filesStart_) + " run past its end at " +
             Grouped(end_));
    }
  }

  void CheckCompression(std::size_t index, std::uint16_t compression) const {
    const unsigned type = compression & 0x000F, level = (compression >> 4) & 0xF, window = (compression >> 8) & 0x1F;
    const bool known = (compression & 0xE000) == 0 &&
                       ((type == kCompressionNone && compression == type) ||
                        (type == kCompressionMszip && compression == type) ||
                        (type == kCompressionQuantum && level >= 1 && level <= 7 && window >= 10 && window <= 21) ||
                        (type == kCompressionLzx && level == 0 && window >= 15 && window <= 21));
    if (!known) Refuse(FolderName(index) + " has the unknown compression " + Hex(compression));
  }

  void ReadFiles() {
    at_ = filesStart_;
    shape_.files.reserve(fileCount_);
    for (std::size_t i = 0; i < fileCount_; ++i) {
      const std::string what = "file entry " + std::to_string(i + 1);
      std::array<std::uint8_t, kFileEntrySize> entry{};
      Read(at_, entry.data(), entry.size(), what);
      at_ += entry.size();
      CabinetEntry file;
      file.size = Le32(&entry[0]);
      file.offset = Le32(&entry[4]);
      const std::uint16_t folder = Le16(&entry[8]);
      // Bytes as stored, in no code page a damaged cabinet can be trusted
      // to name: what reports and messages show of them is UTF-8.
      file.name = ValidUtf8(ReadName("the name of " + what));
      if (file.name.empty()) Refuse(what + " has no name");
      if (folder >= kContinuedFromPrevious) {
        const char* direction =
            folder == kContinuedFromPrevious ? "from" : folder == kContinuedToNext ? "into" : "from and into";
        Refuse("file " + file.name + " continues " + direction +
               " another cabinet of its set, and a cabinet is read on its own");
      }
      if (folder >= folderCount_) {
        Refuse("file " + file.name + " names " + FolderName(folder) + ", but the cabinet has " + Grouped(folderCount_));
      }
      file.folder = folder;
      shape_.files.push_back(std::move(file));
    }
    dataStart_ = at_;
    // Every block header takes bytes of its own: the chains together cannot
    // claim more blocks than the bytes after the entries hold, which bounds
    // the walk even when folders point at the same bytes.
    const std::uint64_t blockSize = kBlockHeaderSize + blockReserve_;
    std::uint64_t claimed = 0;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const Folder& folder = folders_[i];
      if (folder.start < dataStart_ || folder.start > end_) {
        Refuse(FolderName(i) + "'s blocks start at " + Grouped(folder.start) + ", outside its data, " +
               Grouped(dataStart_) + " to " + Grouped(end_));
      }
      if (std::uint64_t{folder.blocks} * blockSize > end_ - folder.start) {
        Refuse(FolderName(i) + " claims " + Grouped(folder.blocks) + " blocks, more than the " +
               Grouped(end_ - folder.start) + " bytes from its start at " + Grouped(folder.start) + " hold");
      }
      claimed += folder.blocks;
    }
    if (claimed * blockSize > end_ - dataStart_) {
      Refuse("its folders claim " + Grouped(claimed) + " blocks, more than the " + Grouped(end_ - dataStart_) +
             " bytes after its entries hold");
    }
  }

  void WalkBlocks(std::size_t index) {
    Folder& folder = folders_[index];
    const std::uint64_t blockSize = kBlockHeaderSize + blockReserve_;
    std::uint64_t at = folder.start;
    for (std::size_t b = 0; b < folder.blocks; ++b) {
      const std::string what = "block " + std::to_string(b + 1) + " of " + FolderName(index);
      std::array<std::uint8_t, kBlockHeaderSize> header{};
      Read(at, header.data(), header.size(), what);
      const std::uint32_t stored = Le16(&header[4]), uncompressed = Le16(&header[6]);
      if (uncompressed > kBlockLimit) {
        Refuse(what + " holds " + Grouped(uncompressed) + " bytes, more than a block's " + Grouped(kBlockLimit));
      }
      // A block split across cabinets holds nothing here; only the last of a
      // cabinet followed by another may be one.
      const bool continues = (flags_ & kNextCabinet) != 0 && index + 1 == folders_.size() && b + 1 == folder.blocks;
      if (uncompressed == 0 && !continues) Refuse(what + " holds no bytes");
      if (folder.compression == kCompressionNone && stored != uncompressed && uncompressed != 0) {
        Refuse(what + " stores " + Grouped(stored) + " bytes for " + Grouped(uncompressed) +
               " in a folder without compression");
      }
      if (stored > kStoredBlockLimit) {
        Refuse(what + " stores " + Grouped(stored) + " bytes, more than a block's " + Grouped(kStoredBlockLimit));
      }
      const std::uint64_t next = at + blockSize + stored;
      if (next > end_) {
        Refuse(what + " at " + Grouped(at) + " runs past its end at " + Grouped(end_));
      }
      folder.uncompressed += uncompressed;
      at = next;
    }
  }

  const ByteSource& source_;
  const std::string& file_;
  const std::string& cabinet_;
  const std::string& kind_;

  std::uint64_t end_ = 0;  // the size the header claims, checked against the source's
  std::uint64_t at_ = 0;   // where the entries are read, in order
  std::uint64_t filesStart_ = 0;
  std::uint64_t dataStart_ = 0;  // past the last file entry
  std::uint16_t folderCount_ = 0, fileCount_ = 0, flags_ = 0;
  std::uint8_t folderReserve_ = 0, blockReserve_ = 0;
  std::vector<Folder> folders_;
  CabinetShape shape_;
};

}  // namespace

CabinetShape CheckCabinet(const ByteSource& source, const std::string& file, const std::string& cabinet,
                          const std::string& kind) {
  return Check(source, file, cabinet, kind).Run();
}

}  // namespace makepatch
