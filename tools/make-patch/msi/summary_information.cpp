#include "msi/summary_information.h"

#include "msi/patch_error.h"

namespace makepatch {
namespace {

constexpr std::uint32_t kTypeI2 = 2;
constexpr std::uint32_t kTypeI4 = 3;
constexpr std::uint32_t kTypeText = 30;  // VT_LPSTR
constexpr std::uint32_t kTypeFiletime = 64;
constexpr std::int64_t kFiletimeEpochOffset = 11644473600;  // seconds from 1601 to 1970
constexpr std::size_t kHeaderSize = 28;

class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
  std::uint64_t At(std::size_t offset, unsigned width) const {
    if (offset > bytes_.size() || bytes_.size() - offset < width) {
      throw PatchError("its summary information is damaged (a field past its end)");
    }
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes_[offset + i]) << (8 * i);
    return value;
  }
  std::string_view Text(std::size_t offset, std::size_t length) const {
    if (offset > bytes_.size() || bytes_.size() - offset < length) {
      throw PatchError("its summary information is damaged (a text past its end)");
    }
    return {reinterpret_cast<const char*>(bytes_.data()) + offset, length};
  }

 private:
  const Bytes& bytes_;
};

}  // namespace

SummaryInfo ParseSummaryInformation(const Bytes& bytes,
                                    const std::function<CodepageDecoder(std::uint32_t)>& decoderFor) {
  const Reader in(bytes);
  if (in.At(0, 2) != 0xFFFE) throw PatchError("its summary information is not a property set");
  if (in.At(24, 4) < 1) throw PatchError("its summary information holds no property set");
  const std::size_t section = static_cast<std::size_t>(in.At(kHeaderSize + 16, 4));
  const std::size_t count = static_cast<std::size_t>(in.At(section + 4, 4));
  if (count > bytes.size() / 8) throw PatchError("its summary information is damaged (too many properties)");

  struct Entry {
    std::uint32_t id;
    std::size_t offset;
  };
  std::vector<Entry> entries;
  SummaryInfo info;
  for (std::size_t i = 0; i < count; ++i) {
    const auto id = static_cast<std::uint32_t>(in.At(section + 8 + 8 * i, 4));
    const std::size_t offset = section + static_cast<std::size_t>(in.At(section + 12 + 8 * i, 4));
    entries.push_back({id, offset});
    if (id == kPidCodepage && in.At(offset, 4) == kTypeI2) info.codepage = static_cast<std::uint16_t>(in.At(offset + 4, 2));
  }
  const CodepageDecoder decode = decoderFor(info.codepage);
  for (const Entry& entry : entries) {
    if (entry.id == kPidCodepage) continue;
    const std::uint64_t type = in.At(entry.offset, 4);
    if (type == kTypeI2) {
      info.integers[entry.id] = static_cast<std::int16_t>(in.At(entry.offset + 4, 2));
    } else if (type == kTypeI4) {
      info.integers[entry.id] = static_cast<std::int32_t>(in.At(entry.offset + 4, 4));
    } else if (type == kTypeText) {
      std::string_view text = in.Text(entry.offset + 8, static_cast<std::size_t>(in.At(entry.offset + 4, 4)));
      while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
      info.texts[entry.id] = decode(text);
    } else if (type == kTypeFiletime) {
      const std::uint64_t ticks = in.At(entry.offset + 4, 8);
      info.times[entry.id] = static_cast<std::int64_t>(ticks / 10000000ULL) - kFiletimeEpochOffset;
    }
  }
  return info;
}

}  // namespace makepatch
