#include "msi/patch_rules.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace makepatch {
namespace {

constexpr char kMajorUpgrade[] = "ship a major upgrade instead: a new product code and a full package";
constexpr std::int32_t kFeatureFollowParent = 0x0002;
// The bits of Component.Attributes that say what KeyPath names.
constexpr std::int32_t kComponentKeyPathKind = 0x0004 | 0x0020;  // registry, ODBC data source
constexpr std::int32_t kRemoveOnInstall = 0x0001;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

template <typename Fn>
void ForEachRow(const Database& database, const char* name, Fn&& fn) {
  if (const Table* table = database.FindTable(name)) {
    for (const Row& row : table->rows) fn(*table, row);
  }
}

// "short|long" or a single name: the two names, long second.
std::pair<std::string, std::string> ShortAndLong(const std::string& name) {
  const auto bar = name.find('|');
  if (bar == std::string::npos) return {name, name};
  return {name.substr(0, bar), name.substr(bar + 1)};
}

std::string LongName(const std::string& name) { return ShortAndLong(name).second; }

// RemoveFile.FileName matching: * and ? as wildcards, letter case ignored.
bool WildcardMatch(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                                        std::tolower(static_cast<unsigned char>(name[n])))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The parts of a package the rules look at, by primary key.
struct Product {
  struct Feature {
    std::string parent;  // "" for a top-level feature
    std::string title;
    std::int32_t attributes = 0;
  };
  struct Component {
    std::string id;  // ComponentId, upper case
    std::string directory;
    std::int32_t attributes = 0;
    std::string keyPath;
  };
  struct File {
    std::string component;
    std::string name;  // FileName as stored: "short|long" or one name
  };
  struct Registry {
    std::string component;
    std::int32_t root = 0;
    std::string key;
    std::string name;
  };
  struct Removal {  // a RemoveFile or RemoveRegistry row
    std::string name;
    std::string place;  // RemoveFile: DirProperty; RemoveRegistry: Root and Key
    std::int32_t mode = 0;
  };
  std::map<std::string, Feature> features;
  std::map<std::string, Component> components;
  std::map<std::string, File> files;
  std::map<std::string, Registry> registry;
  std::map<std::string, std::set<std::string>> featuresOf;      // component -> features
  std::map<std::string, std::set<std::string>> componentsOf;    // feature -> components
  std::vector<Removal> removeFiles;
  std::vector<Removal> removeRegistry;

  bool HasFeature(const std::string& key) const { return features.contains(key); }
  bool HasComponent(const std::string& key) const { return components.contains(key); }
  const std::set<std::string>& FeaturesOf(const std::string& component) const {
    static const std::set<std::string> none;
    const auto found = featuresOf.find(component);
    return found == featuresOf.end() ? none : found->second;
  }
};

std::string RegistryPlace(std::int32_t root, const std::string& key) {
  return std::to_string(root) + "\\" + Lower(key);
}

Product ReadProduct(const Database& database) {
  Product product;
  ForEachRow(database, "Feature", [&](const Table& t, const Row& row) {
    const std::string key = TextAt(t, row, "Feature");
    std::string parent = TextAt(t, row, "Feature_Parent");
    if (parent == key) parent.clear();  // a root may name itself as its parent
    product.features[key] = {parent, TextAt(t, row, "Title"), IntegerAt(t, row, "Attributes")};
  });
  ForEachRow(database, "Component", [&](const Table& t, const Row& row) {
    std::string id = TextAt(t, row, "ComponentId");
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    product.components[TextAt(t, row, "Component")] = {id, TextAt(t, row, "Directory_"),
                                                        IntegerAt(t, row, "Attributes"), TextAt(t, row, "KeyPath")};
  });
  ForEachRow(database, "File", [&](const Table& t, const Row& row) {
    product.files[TextAt(t, row, "File")] = {TextAt(t, row, "Component_"), TextAt(t, row, "FileName")};
  });
  ForEachRow(database, "Registry", [&](const Table& t, const Row& row) {
    product.registry[TextAt(t, row, "Registry")] = {TextAt(t, row, "Component_"), IntegerAt(t, row, "Root"),
                                                     TextAt(t, row, "Key"), TextAt(t, row, "Name")};
  });
  ForEachRow(database, "FeatureComponents", [&](const Table& t, const Row& row) {
    const std::string feature = TextAt(t, row, "Feature_");
    const std::string component = TextAt(t, row, "Component_");
    product.featuresOf[component].insert(feature);
    product.componentsOf[feature].insert(component);
  });
  ForEachRow(database, "RemoveFile", [&](const Table& t, const Row& row) {
    product.removeFiles.push_back({TextAt(t, row, "FileName"), TextAt(t, row, "DirProperty"),
                                   IntegerAt(t, row, "InstallMode")});
  });
  ForEachRow(database, "RemoveRegistry", [&](const Table& t, const Row& row) {
    product.removeRegistry.push_back(
        {TextAt(t, row, "Name"), RegistryPlace(IntegerAt(t, row, "Root"), TextAt(t, row, "Key")), 0});
  });
  return product;
}

std::string Quoted(const std::string& text) { return text.empty() ? "none" : text; }
// What a component's key path names, by the kind its attributes give it.
std::string KeyPathText(const std::string& keyPath, std::int32_t attributes) {
  if (keyPath.empty()) return "its folder";
  if (attributes & 0x0004) return "Registry row " + keyPath;
  if (attributes & 0x0020) return "ODBCDataSource row " + keyPath;
  return "File row " + keyPath;
}
std::string ParentText(const std::string& parent) { return parent.empty() ? "the top level" : parent; }

std::string Join(const std::set<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

class RuleCheck {
 public:
  RuleCheck(const Database& older, const Database& newer) : old_(ReadProduct(older)), new_(ReadProduct(newer)) {}

  std::vector<RuleFinding> Run() {
    ChangedKeys();
    ComponentCodes();
    KeyPaths();
    FeatureHierarchy();
    FeatureMembership();
    RemovedFiles();
    NewFeatures();
    SharedComponents();
    RemovedRegistry();
    return std::move(findings_);
  }

 private:
  void Refuse(const std::string& message) { findings_.push_back({RuleFinding::Kind::kRefusal, message}); }
  void Warn(const std::string& message) { findings_.push_back({RuleFinding::Kind::kWarning, message}); }

  static std::string KeyRule(const char* table, const std::string& from, const std::string& to) {
    return std::string(table) + " row " + from + " has the key " + to +
           " in the new package: a patch must keep the primary keys of the rows the installed product has "
           "(Windows Installer would remove the installed " + table + " " + from + " and add another); keep the key " +
           from + ", or " + kMajorUpgrade;
  }

  // A row whose key changed reads as one removed and one added; say what it
  // is, and keep the rules below from reporting it again as a removal.
  void ChangedKeys() {
    for (const auto& [key, component] : old_.components) {
      if (new_.HasComponent(key) || component.id.empty()) continue;
      for (const auto& [newKey, candidate] : new_.components) {
        if (!old_.HasComponent(newKey) && candidate.id == component.id) {
          renamedComponents_[key] = newKey;
          Refuse(KeyRule("Component", key, newKey));
          break;
        }
      }
    }
    for (const auto& [key, file] : old_.files) {
      if (new_.files.contains(key)) continue;
      const auto renamed = renamedComponents_.find(file.component);
      const std::string component = renamed == renamedComponents_.end() ? file.component : renamed->second;
      for (const auto& [newKey, candidate] : new_.files) {
        if (!old_.files.contains(newKey) && candidate.component == component &&
            Lower(LongName(candidate.name)) == Lower(LongName(file.name))) {
          renamedFiles_.insert(key);
          Refuse(KeyRule("File", key, newKey));
          break;
        }
      }
    }
    for (const auto& [key, feature] : old_.features) {
      if (new_.HasFeature(key)) continue;
      const auto members = old_.componentsOf.find(key);
      for (const auto& [newKey, candidate] : new_.features) {
        if (old_.HasFeature(newKey)) continue;
        const auto newMembers = new_.componentsOf.find(newKey);
        const bool sameComponents = members != old_.componentsOf.end() && newMembers != new_.componentsOf.end() &&
                                    members->second == newMembers->second;
        if (sameComponents || (!feature.title.empty() && candidate.title == feature.title)) {
          renamedFeatures_.insert(key);
          renamedFeatureTargets_.insert(newKey);
          Refuse(KeyRule("Feature", key, newKey));
          break;
        }
      }
    }
  }

  void ComponentCodes() {
    for (const auto& [key, component] : old_.components) {
      const auto found = new_.components.find(key);
      if (found == new_.components.end() || found->second.id == component.id) continue;
      Refuse("Component row " + key + ": its ComponentId changed from " + Quoted(component.id) + " to " +
             Quoted(found->second.id) +
             ": a patch must not change the code of a component the product has installed; keep the code " +
             Quoted(component.id) + " (a changed component needs a new component with new resources), or " +
             kMajorUpgrade);
    }
  }

  void KeyPaths() {
    for (const auto& [key, component] : old_.components) {
      const auto found = new_.components.find(key);
      if (found == new_.components.end()) continue;
      const Product::Component& now = found->second;
      if (now.keyPath != component.keyPath ||
          (now.attributes & kComponentKeyPathKind) != (component.attributes & kComponentKeyPathKind)) {
        Refuse("Component row " + key + ": its key path changed from " +
               KeyPathText(component.keyPath, component.attributes) + " to " +
               KeyPathText(now.keyPath, now.attributes) +
               ": a patch must not give a component another key path (Windows Installer tells by it "
               "whether the component is installed); keep the key path, put the new resource in a new "
               "component, or " + kMajorUpgrade);
        continue;
      }
      const auto oldFile = old_.files.find(component.keyPath);
      const auto newFile = new_.files.find(now.keyPath);
      if ((component.attributes & kComponentKeyPathKind) == 0 && oldFile != old_.files.end() &&
          newFile != new_.files.end() && Lower(LongName(oldFile->second.name)) != Lower(LongName(newFile->second.name))) {
        Refuse("File row " + component.keyPath + ": the key file of component " + key + " is renamed from " +
               LongName(oldFile->second.name) + " to " + LongName(newFile->second.name) +
               ": a patch must not rename a component's key file, since that needs a new component code; keep the "
               "name, or " + kMajorUpgrade);
      }
    }
  }

  void FeatureHierarchy() {
    for (const auto& [key, feature] : old_.features) {
      if (!new_.HasFeature(key)) continue;
      const std::string& parent = new_.features.at(key).parent;
      if (!feature.parent.empty() && !new_.HasFeature(feature.parent) && !renamedFeatures_.contains(feature.parent)) {
        Refuse("Feature row " + feature.parent + " is removed while its child feature " + key +
               " stays: a patch that removes a feature must remove its child features too; remove " + key +
               " and its children with it, keep " + feature.parent + ", or " + kMajorUpgrade);
      } else if (parent != feature.parent && !renamedFeatures_.contains(feature.parent)) {
        Refuse("Feature row " + key + ": its parent changed from " + ParentText(feature.parent) + " to " +
               ParentText(parent) +
               ": a patch must not move an existing feature in the feature tree; keep it under " +
               ParentText(feature.parent) + ", or " + kMajorUpgrade);
      }
    }
  }

  void FeatureMembership() {
    std::set<std::string> reported;
    for (const auto& [component, features] : old_.featuresOf) {
      if (renamedComponents_.contains(component)) continue;
      const std::set<std::string>& now = new_.FeaturesOf(component);
      std::set<std::string> added;
      for (const std::string& feature : now) {
        if (!features.contains(feature)) added.insert(feature);
      }
      for (const std::string& feature : features) {
        if (now.contains(feature) || renamedFeatures_.contains(feature)) continue;
        if (!added.empty()) {
          if (reported.insert(component).second) {
            Refuse("FeatureComponents row " + feature + ", " + component + ": component " + component +
                   " moved from feature " + feature + " to " + Join(added) +
                   ": a patch must not move a component to another feature; keep it in " + feature + ", or " +
                   kMajorUpgrade);
          }
        } else if (new_.HasFeature(feature)) {
          Refuse("FeatureComponents row " + feature + ", " + component + ": component " + component +
                 " is removed from feature " + feature +
                 ", which stays: a patch must not remove a component from a feature (its files and registry "
                 "values would stay installed); keep the component and empty it of what it no longer needs "
                 "(with RemoveFile and RemoveRegistry rows), or " + kMajorUpgrade);
        }
      }
    }
  }

  bool RemovedByRemoveFile(const Product::File& file, const std::string& directory) const {
    // Named, not bound: clang 14 cannot capture structured bindings.
    const auto names = ShortAndLong(file.name);
    const auto& shortName = names.first;
    const auto& longName = names.second;
    return std::any_of(new_.removeFiles.begin(), new_.removeFiles.end(), [&](const Product::Removal& row) {
      if ((row.mode & kRemoveOnInstall) == 0 || row.place != directory || row.name.empty()) return false;
      const auto [shortPattern, longPattern] = ShortAndLong(row.name);
      return WildcardMatch(longPattern, longName) || WildcardMatch(shortPattern, shortName);
    });
  }

  void RemovedFiles() {
    for (const auto& [key, file] : old_.files) {
      if (new_.files.contains(key) || renamedFiles_.contains(key)) continue;
      const auto component = new_.components.find(file.component);
      if (component == new_.components.end() || new_.FeaturesOf(file.component).empty()) continue;
      const std::string& directory = old_.components.count(file.component) != 0
                                         ? old_.components.at(file.component).directory
                                         : component->second.directory;
      if (RemovedByRemoveFile(file, directory)) continue;
      Refuse("File row " + key + " (" + LongName(file.name) + ") is removed from component " + file.component +
             ", which stays: a patch leaves the installed file on disk unless the new package removes it; add a "
             "RemoveFile row for it (Component_ " + file.component + ", FileName " + LongName(file.name) +
             ", DirProperty " + directory + ", InstallMode 1), or keep the file");
    }
  }

  // Whether a patch installs the feature on a machine that has the product:
  // Windows reinstalls the installed features, and a new one only comes
  // along when it follows an installed parent.
  bool Installs(const std::string& key, std::set<std::string>& seen) const {
    if (old_.HasFeature(key)) return true;
    const auto found = new_.features.find(key);
    if (found == new_.features.end() || found->second.parent.empty() || !seen.insert(key).second) return false;
    return (found->second.attributes & kFeatureFollowParent) != 0 && Installs(found->second.parent, seen);
  }

  void NewFeatures() {
    for (const auto& [key, feature] : new_.features) {
      if (old_.HasFeature(key) || renamedFeatureTargets_.contains(key)) continue;
      std::set<std::string> seen;
      if (Installs(key, seen)) continue;
      // Only the top of a subtree that stays absent: its children follow it.
      std::set<std::string> parentSeen;
      if (!feature.parent.empty() && new_.HasFeature(feature.parent) && !old_.HasFeature(feature.parent) &&
          !Installs(feature.parent, parentSeen)) {
        continue;
      }
      const std::string what =
          feature.parent.empty()
              ? "Feature row " + key + " is a new top-level feature"
              : "Feature row " + key + " is new under " + feature.parent +
                    " without the attribute msidbFeatureAttributesFollowParent (2)";
      Warn(what + ": a patch does not install it on machines that have the product (Windows installs a new "
                  "feature only as a child of an installed feature that follows its parent); make it a child of "
                  "an installed feature with attributes msidbFeatureAttributesFollowParent (2) and "
                  "msidbFeatureAttributesUIDisallowAbsent (16), or ship it in a full package");
    }
  }

  // Microsoft advises against adding or removing resources of a component
  // that two or more features share.
  void SharedComponents() {
    std::map<std::string, std::set<std::string>> changes;  // component -> rows
    for (const auto& [key, file] : new_.files) {
      if (!old_.files.contains(key)) changes[file.component].insert("File " + key + " added");
    }
    for (const auto& [key, file] : old_.files) {
      if (!new_.files.contains(key)) changes[file.component].insert("File " + key + " removed");
    }
    for (const auto& [key, value] : new_.registry) {
      if (!old_.registry.contains(key)) changes[value.component].insert("Registry " + key + " added");
    }
    for (const auto& [key, value] : old_.registry) {
      if (!new_.registry.contains(key)) changes[value.component].insert("Registry " + key + " removed");
    }
    for (const auto& [component, rows] : changes) {
      const std::set<std::string>& features = old_.FeaturesOf(component);
      if (features.size() < 2 || !new_.HasComponent(component)) continue;
      Warn("Component row " + component + " is shared by features " + Join(features) + " and the new package " +
           "changes what it holds (" + Join(rows) + "): Microsoft advises against adding or removing resources "
           "of a shared component in an update; put them in a component of their own");
    }
  }

  void RemovedRegistry() {
    for (const auto& [key, value] : old_.registry) {
      if (new_.registry.contains(key) || !new_.HasComponent(value.component) ||
          new_.FeaturesOf(value.component).empty()) {
        continue;
      }
      const std::string place = RegistryPlace(value.root, value.key);
      const std::string name = Lower(value.name);
      const bool removed = std::any_of(new_.removeRegistry.begin(), new_.removeRegistry.end(),
                                       [&](const Product::Removal& row) {
                                         return row.place == place && (row.name == "-" || Lower(row.name) == name);
                                       });
      if (removed) continue;
      Warn("Registry row " + key + " is removed from component " + value.component +
           ", which stays: a patch leaves the installed value in the registry unless the new package removes it; "
           "add a RemoveRegistry row for it (Root " + std::to_string(value.root) + ", Key " + value.key +
           ", Name " + Quoted(value.name) + ")");
    }
  }

  Product old_;
  Product new_;
  std::map<std::string, std::string> renamedComponents_;  // old key -> new key
  std::set<std::string> renamedFiles_;
  std::set<std::string> renamedFeatures_;
  std::set<std::string> renamedFeatureTargets_;
  std::vector<RuleFinding> findings_;
};

}  // namespace

std::vector<RuleFinding> CheckPatchingRules(const Database& older, const Database& newer) {
  return RuleCheck(older, newer).Run();
}

}  // namespace makepatch
