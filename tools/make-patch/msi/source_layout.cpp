#include "msi/source_layout.h"

#include <map>
#include <utility>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

struct Names {
  std::string shortName;
  std::string longName;
  const std::string& Pick(bool shortNames) const { return shortNames ? shortName : longName; }
};

// "short|long" or one name for both; "." is no name (the parent's folder).
Names SplitNames(const std::string& text) {
  const auto bar = text.find('|');
  Names names = bar == std::string::npos ? Names{text, text} : Names{text.substr(0, bar), text.substr(bar + 1)};
  if (names.shortName == ".") names.shortName.clear();
  if (names.longName == ".") names.longName.clear();
  return names;
}

class SourceTree {
 public:
  explicit SourceTree(const Database& database) {
    if (const Table* table = database.FindTable("Directory")) {
      for (const Row& row : table->rows) {
        const std::string defaultDir = TextAt(*table, row, "DefaultDir");
        const auto colon = defaultDir.find(':');
        // The source names, when a directory has them, else its target names.
        directories_[TextAt(*table, row, "Directory")] = {
            TextAt(*table, row, "Directory_Parent"),
            SplitNames(colon == std::string::npos ? defaultDir : defaultDir.substr(colon + 1))};
      }
    }
  }

  // The folder of a directory relative to the package's folder, "" for the
  // root, else ending in "/".
  std::string Folder(const std::string& key, bool shortNames) const {
    std::string folder;
    std::string at = key;
    for (std::size_t depth = 0;; ++depth) {
      const auto found = directories_.find(at);
      if (found == directories_.end()) throw PatchError("the Directory table has no row " + at);
      const auto& [parent, names] = found->second;
      if (parent.empty() || parent == at) return folder;  // a root: the package's folder
      if (depth > directories_.size()) throw PatchError("the parents of Directory row " + key + " form a loop");
      const std::string& name = names.Pick(shortNames);
      if (!name.empty()) folder = name + "/" + folder;
      at = parent;
    }
  }

 private:
  std::map<std::string, std::pair<std::string, Names>> directories_;
};

}  // namespace

SourceLayout PlanSourceLayout(const Database& database, std::int32_t wordCount) {
  SourceLayout layout;
  const Table* files = database.FindTable("File");
  if (files == nullptr) return layout;
  const bool compressedPackage = (wordCount & kWordCountCompressed) != 0;
  // An administrative installation expands every file into the tree and
  // drops the package's cabinets, whatever File.Attributes still say.
  const bool image = (wordCount & kWordCountAdministrativeImage) != 0;
  const bool shortNames = (wordCount & kWordCountShortNames) != 0;

  std::map<std::string, std::string> directoryOf;
  if (const Table* components = database.FindTable("Component")) {
    for (const Row& row : components->rows) {
      directoryOf[TextAt(*components, row, "Component")] = TextAt(*components, row, "Directory_");
    }
  }
  const SourceTree tree(database);
  const auto attributesColumn = files->ColumnIndex("Attributes");
  for (const Row& row : files->rows) {
    const std::string key = TextAt(*files, row, "File");
    const std::int32_t attributes = attributesColumn && row[*attributesColumn].kind == Value::Kind::kInteger
                                        ? row[*attributesColumn].integer
                                        : 0;
    const bool compressed =
        !image && (compressedPackage ? (attributes & kFileAttributeNoncompressed) == 0
                                     : (attributes & kFileAttributeCompressed) != 0);
    if (compressed) {
      layout.compressed.insert(key);
      continue;
    }
    const Names names = SplitNames(TextAt(*files, row, "FileName"));
    UncompressedFile file{key, {}};
    for (const bool shortForm : {shortNames, !shortNames}) {
      std::string path = names.Pick(shortForm);
      // A compressed package keeps its uncompressed files at its root.
      if (!compressedPackage) {
        const std::string component = TextAt(*files, row, "Component_");
        const auto directory = directoryOf.find(component);
        if (directory == directoryOf.end()) {
          throw PatchError("file " + key + " belongs to component " + component + ", which the Component table lacks");
        }
        path = tree.Folder(directory->second, shortForm) + path;
      }
      if (file.paths.empty() || file.paths.front() != path) file.paths.push_back(std::move(path));
    }
    layout.uncompressed.push_back(std::move(file));
  }
  return layout;
}

}  // namespace makepatch
