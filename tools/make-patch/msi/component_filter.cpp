#include "msi/component_filter.h"

#include "msi/patch_error.h"

namespace makepatch {
namespace {

using Key = std::vector<Value>;

// Rows that go in whatever the filter: the product's new version, and the
// validation rows that describe the tables' columns.
bool AlwaysCarried(const Table& table, const Row& row) {
  return table.name == "_Validation" || (table.name == "Property" && row[0] == Value::Text("ProductVersion"));
}

// The table a column refers to, by the naming of the standard schema:
// "Feature_" and "Feature_Parent" name the Feature table.
std::optional<std::string> ReferencedTable(const std::string& column) {
  if (column.size() > 1 && column.back() == '_') return column.substr(0, column.size() - 1);
  constexpr std::string_view kParent = "_Parent";
  if (column.size() > kParent.size() && column.ends_with(kParent)) return column.substr(0, column.size() - kParent.size());
  return std::nullopt;
}

// Equal as a patch sees them: File.Sequence is the package's own media business.
bool SameRow(const Table& table, const Row& a, const Row& b) {
  const auto sequence = table.name == "File" ? table.ColumnIndex("Sequence") : std::nullopt;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (i != sequence && a[i] != b[i]) return false;
  }
  return a.size() == b.size();
}

std::string KeyText(const Key& key) {
  std::string text;
  for (const Value& value : key) text += (text.empty() ? "" : ", ") + value.KeyText();
  return text;
}

// "(changed, component B)"
std::string Why(const char* what, const std::optional<std::string>& component) {
  return std::string(" (") + what + (component ? ", component " + *component : "") + ")";
}

std::map<Key, const Row*> RowsByKey(const Table* table) {
  std::map<Key, const Row*> rows;
  if (table != nullptr) {
    for (const Row& row : table->rows) rows.emplace(table->KeyOf(row), &row);
  }
  return rows;
}

// The values of the single-column key of a table, to resolve references.
std::set<Value> SingleKeys(const Table* table) {
  std::set<Value> keys;
  if (table == nullptr || table->columns.empty() || !table->columns[0].IsKey() ||
      (table->columns.size() > 1 && table->columns[1].IsKey()))
    return keys;
  for (const Row& row : table->rows) keys.insert(row[0]);
  return keys;
}

class Filter {
 public:
  Filter(PackagePair& pair, const ComponentFilter& filter)
      : pair_(pair), filter_(filter), original_(pair.newer.database) {
    for (const Database* database : {&pair.older.database, &pair.newer.database}) {
      const Table* files = database->FindTable("File");
      if (files == nullptr) continue;
      const auto component = files->ColumnIndex("Component_");
      for (const Row& row : files->rows) {
        if (component) componentOfFile_[row[0].KeyText()] = row[*component].KeyText();
      }
    }
  }

  std::vector<std::string> Apply() {
    RequireComponentsExist();
    std::set<std::string> names;
    for (const auto& [name, table] : pair_.older.database.tables) names.insert(name);
    for (const auto& [name, table] : pair_.newer.database.tables) names.insert(name);
    names.erase("Media");  // the patch brings media of its own
    for (const std::string& name : names) FilterTable(name);
    FilterFileBytes();
    RequireReferencesResolve();
    return lines_;
  }

 private:
  bool Carried(const std::optional<std::string>& component) const {
    const bool named = component && filter_.components.contains(*component);
    return filter_.mode == ComponentFilter::Mode::kOnly ? named : !named;
  }

  void RequireComponentsExist() const {
    for (const std::string& name : filter_.components) {
      bool found = false;
      for (const Database* database : {&pair_.older.database, &pair_.newer.database}) {
        const Table* components = database->FindTable("Component");
        found = found || (components != nullptr && components->FindRow({Value::Text(name)}) != nullptr);
      }
      if (!found) {
        throw PatchError("there is no component " + name + " in " + pair_.older.path + " or " + pair_.newer.path +
                         " (a component is named by the key of its Component row)");
      }
    }
  }

  void FilterTable(const std::string& name) {
    Database& newer = pair_.newer.database;
    const Table* oldTable = pair_.older.database.FindTable(name);
    auto found = newer.tables.find(name);
    Table* newTable = found == newer.tables.end() ? nullptr : &found->second;
    // Tables of other columns are the plan's to refuse.
    if (oldTable != nullptr && newTable != nullptr && oldTable->columns != newTable->columns) return;
    const Table& shape = newTable != nullptr ? *newTable : *oldTable;
    const std::map<Key, const Row*> oldRows = RowsByKey(oldTable);
    std::vector<Row> kept;
    std::set<Key> inNew;
    bool leftOut = false;
    if (newTable != nullptr) {
      for (const Row& row : newTable->rows) {
        Key key = newTable->KeyOf(row);
        const auto old = oldRows.find(key);
        inNew.insert(key);
        if ((old != oldRows.end() && SameRow(shape, *old->second, row)) || AlwaysCarried(shape, row) ||
            Carried(ComponentOfRow(shape, row, componentOfFile_))) {
          kept.push_back(row);
          continue;
        }
        leftOut = true;
        lines_.push_back("left out: " + name + " " + KeyText(key) +
                         Why(old == oldRows.end() ? "new" : "changed", ComponentOfRow(shape, row, componentOfFile_)));
        if (old != oldRows.end()) kept.push_back(*old->second);
      }
    }
    for (const auto& [key, row] : oldRows) {
      if (inNew.contains(key)) continue;
      const auto component = ComponentOfRow(shape, *row, componentOfFile_);
      if (AlwaysCarried(shape, *row) || Carried(component)) continue;
      leftOut = true;
      lines_.push_back("left out: " + name + " " + KeyText(key) + Why("removed", component));
      kept.push_back(*row);
    }
    if (!leftOut) return;
    if (newTable == nullptr) newTable = &newer.tables.emplace(name, Table{name, oldTable->columns, {}}).first->second;
    newTable->rows = std::move(kept);
    if (oldTable == nullptr && newTable->rows.empty()) newer.tables.erase(name);
  }

  void FilterFileBytes() {
    for (auto file = pair_.newer.files.begin(); file != pair_.newer.files.end();) {
      const auto component = componentOfFile_.find(file->first);
      const auto old = pair_.older.files.find(file->first);
      const bool same = old != pair_.older.files.end() && old->second.SameBytes(file->second);
      if (same || component == componentOfFile_.end() || Carried(component->second)) {
        ++file;
        continue;
      }
      lines_.push_back("left out: the bytes of file " + file->first +
                       Why(old == pair_.older.files.end() ? "new" : "changed", component->second));
      if (old == pair_.older.files.end()) {
        file = pair_.newer.files.erase(file);
        continue;
      }
      file->second = old->second;
      ++file;
    }
  }

  // A row the patch carries or keeps as it was must find every row it names
  // in the patched product, if the new package has that row.
  void RequireReferencesResolve() const {
    std::map<std::string, std::pair<std::set<Value>, std::set<Value>>> keysOf;  // table: (patched, new package)
    const Database& patched = pair_.newer.database;
    for (const auto& [name, table] : patched.tables) {
      for (std::size_t column = 0; column < table.columns.size(); ++column) {
        const auto target = ReferencedTable(table.columns[column].name);
        if (!target || original_.FindTable(*target) == nullptr) continue;
        auto [entry, added] = keysOf.try_emplace(*target);
        if (added) entry->second = {SingleKeys(patched.FindTable(*target)), SingleKeys(original_.FindTable(*target))};
        const auto& [present, inNew] = entry->second;
        for (const Row& row : table.rows) {
          const Value& value = row[column];
          if (value.IsNull() || present.contains(value) || !inNew.contains(value)) continue;
          const Table* targetTable = original_.FindTable(*target);
          const auto owner = ComponentOfRow(*targetTable, *targetTable->FindRow({value}), componentOfFile_);
          const Table* oldTarget = pair_.older.database.FindTable(*target);
          const bool oldHasIt = oldTarget != nullptr && oldTarget->FindRow({value}) != nullptr;
          const auto carried = ComponentOfRow(table, row, componentOfFile_);
          throw PatchError(pair_.newer.path + ": " + name + " " + KeyText(table.KeyOf(row)) +
                           (carried ? " of component " + *carried : "") + ", which the patch carries, needs " +
                           *target + " " + value.KeyText() + ", which the component filter leaves out" +
                           (oldHasIt ? "" : " and the old package lacks") +
                           (owner ? "; carry its component " + *owner + " too" : "; make the patch without a filter"));
        }
      }
    }
  }

  PackagePair& pair_;
  const ComponentFilter& filter_;
  const Database original_;
  std::map<std::string, std::string> componentOfFile_;
  std::vector<std::string> lines_;
};

}  // namespace

std::optional<std::string> ComponentOfRow(const Table& table, const Row& row,
                                          const std::map<std::string, std::string>& componentOfFile) {
  if (table.name == "Component") return row[0].KeyText();
  if (const auto column = table.ColumnIndex("Component_"); column && !row[*column].IsNull()) {
    return row[*column].KeyText();
  }
  if (const auto column = table.ColumnIndex("File_"); column && !row[*column].IsNull()) {
    const auto found = componentOfFile.find(row[*column].KeyText());
    if (found != componentOfFile.end()) return found->second;
  }
  return std::nullopt;
}

std::vector<std::string> ApplyComponentFilter(PackagePair& pair, const ComponentFilter& filter) {
  if (filter.mode == ComponentFilter::Mode::kEverything) return {};
  return Filter(pair, filter).Apply();
}

}  // namespace makepatch
