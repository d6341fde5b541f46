#include "msi/package_check.h"

#include <map>
#include <set>

#include "msi/cabinet_check.h"
#include "msi/compound_file.h"
#include "msi/patch_error.h"
#include "msi/summary_information.h"
#include "msi/transform_decoding.h"

namespace makepatch {
namespace {

constexpr std::array<std::uint8_t, 16> kDatabaseClass = {0x84, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                         0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// What an installer database may hold.
constexpr std::size_t kMaxColumns = 32;
constexpr std::size_t kMaxTableName = 64;

// Texts of the checks are decoded leniently: what matters is their shape,
// not their letters.
std::string Latin1(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

class Checker {
 public:
  Checker(const ByteSource& source, const std::string& file)
      : file_(file), compound_(CompoundFile::Open(source, file, kPackageKind)) {}

  void Run(bool cabinets, const OpenBeside& openBeside) {
    const CompoundEntry& root = compound_.Root();
    if (root.classId != kDatabaseClass) {
      throw PatchError(file_ + " is not a Windows Installer package (its storage is not an installer database)");
    }
    for (const CompoundEntry& child : root.children) {
      if (child.type != CompoundEntry::Type::kStream || child.name.empty()) continue;
      if (child.name[0] == 0x4840) {
        streams_[child.name] = compound_.ReadStream(child);
      } else if (child.name == u"\x0005SummaryInformation") {
        Summary(child);
      } else {
        byName_[DecodeStreamName(child.name).name] = &child;
      }
    }
    const Database database = Tables();
    if (cabinets) Cabinets(database, openBeside);
  }

 private:
  [[noreturn]] void Damaged(const std::string& part, const std::string& detail) const {
    throw DamagedFile(file_, part, detail, kPackageKind);
  }

  void Summary(const CompoundEntry& stream) {
    try {
      ParseSummaryInformation(compound_.ReadStream(stream), [](std::uint32_t) { return CodepageDecoder(Latin1); });
    } catch (const DamagedFile&) {
      throw;
    } catch (const PatchError& error) {
      Damaged("its summary information", error.what());
    }
  }

  Database Tables() {
    const Bytes empty;
    const auto stream = [&](const std::string& table) -> const Bytes& {
      const auto found = streams_.find(EncodeStreamName(table, true));
      return found == streams_.end() ? empty : found->second;
    };
    if (!streams_.contains(EncodeStreamName("_StringPool", true)) ||
        !streams_.contains(EncodeStreamName("_StringData", true))) {
      Damaged("its string pool", "it has no _StringPool and _StringData streams");
    }
    DecodedStringPool pool;
    try {
      pool = DecodeStringPool(stream("_StringPool"), stream("_StringData"), Latin1);
    } catch (const PatchError& error) {
      Damaged("its string pool", error.what());
    }
    std::set<std::string> listed;
    try {
      for (const Row& row : DecodeTableStream(TablesTableColumns(), stream("_Tables"), pool)) {
        const std::string name = row.empty() ? "" : row[0].text;
        if (name.empty() || name.size() > kMaxTableName) Damaged("table _Tables", "it lists a table without a name");
        listed.insert(name);
      }
    } catch (const DamagedFile&) {
      throw;
    } catch (const PatchError& error) {
      Damaged("table _Tables", error.what());
    }
    Columns(stream("_Columns"), pool, listed);
    std::vector<std::pair<std::string, std::string>> unreadable;
    Database database;
    try {
      database = DecodeDatabase(streams_, Latin1, &unreadable);
    } catch (const PatchError& error) {
      Damaged("table _Columns", error.what());
    }
    if (!unreadable.empty()) Damaged("table " + unreadable.front().first, unreadable.front().second);
    return database;
  }

  // Every table's columns numbered 1 to n once each, n within what a
  // database allows, each of a type a table stream can hold.
  void Columns(const Bytes& bytes, const DecodedStringPool& pool, const std::set<std::string>& listed) {
    std::map<std::string, std::set<std::int32_t>> numbers;
    try {
      for (const Row& row : DecodeTableStream(ColumnsTableColumns(), bytes, pool)) {
        const std::string table = row[0].text;
        if (table.empty() || row[2].text.empty()) Damaged("table _Columns", "a column without a name or table");
        if (row[1].IsNull() || row[1].integer < 1 || row[1].integer > static_cast<std::int32_t>(kMaxColumns)) {
          Damaged("table _Columns", "column " + row[2].text + " of table " + table + " has the number " +
                                        (row[1].IsNull() ? std::string("null") : std::to_string(row[1].integer)));
        }
        const std::int32_t type = row[3].integer;
        const bool string = (type & kColumnString) != 0;
        const std::int32_t size = type & kColumnSizeMask;
        if (row[3].IsNull() || type < 0 || type > 0xFFFF || (!string && size != 1 && size != 2 && size != 4)) {
          Damaged("table _Columns", "column " + row[2].text + " of table " + table + " has the type " +
                                        std::to_string(type));
        }
        if (!numbers[table].insert(row[1].integer).second) {
          Damaged("table _Columns", "table " + table + " has two columns numbered " + std::to_string(row[1].integer));
        }
      }
    } catch (const DamagedFile&) {
      throw;
    } catch (const PatchError& error) {
      Damaged("table _Columns", error.what());
    }
    for (const auto& [table, used] : numbers) {
      if (*used.rbegin() != static_cast<std::int32_t>(used.size())) {
        Damaged("table _Columns", "the columns of table " + table + " are not numbered 1 to " +
                                      std::to_string(used.size()));
      }
    }
    for (const std::string& table : listed) {
      if (!numbers.contains(table)) Damaged("table " + table, "_Columns gives it no columns");
    }
  }

  void Cabinets(const Database& database, const OpenBeside& openBeside) {
    const Table* media = database.FindTable("Media");
    if (media == nullptr) return;
    for (const Row& row : media->rows) {
      const std::string cabinet = TextAt(*media, row, "Cabinet");
      if (cabinet.empty()) continue;
      if (cabinet[0] == '#') {
        const auto found = byName_.find(cabinet.substr(1));
        if (found == byName_.end()) continue;  // the reader names what is missing
        CheckCabinet(CompoundStreamSource(compound_, *found->second), file_, cabinet.substr(1), kPackageKind);
      } else if (openBeside) {
        const BesideFile beside = openBeside(cabinet);
        if (beside.source) CheckCabinet(*beside.source, beside.path, cabinet, kCabinetKind);
      }
    }
  }

  std::string file_;
  CompoundFile compound_;
  std::map<std::u16string, Bytes> streams_;               // the tables', by stored name
  std::map<std::string, const CompoundEntry*> byName_;     // the others, by decoded name
};

}  // namespace

void CheckPackage(const ByteSource& source, const std::string& file, bool cabinets, const OpenBeside& openBeside) {
  Checker(source, file).Run(cabinets, openBeside);
}

}  // namespace makepatch
