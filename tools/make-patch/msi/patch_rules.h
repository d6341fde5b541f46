// What a patch may change in a product. A patch is a small update or a
// minor upgrade, and Windows Installer documents what those must leave as it
// is ("Changing the Product Code"): the features and components the machine
// has, their codes and key paths, the rows it knows by their keys, and files
// that would otherwise stay behind. A pair that breaks one of these rules
// builds a patch that installs "successfully" and leaves a product that is
// neither the old version nor the new one. Pure: the databases arrive read.
#pragma once

#include <string>
#include <vector>

#include "msi/database.h"

namespace makepatch {

struct RuleFinding {
  enum class Kind {
    kRefusal,  // forbidden: no patch can be made from the pair
    kWarning,  // allowed, but Microsoft advises against it, or Windows will
               // not do what the package seems to ask
  };
  Kind kind = Kind::kRefusal;
  // Names the table, the row and the rule, and what to do instead.
  std::string message;

  friend bool operator==(const RuleFinding&, const RuleFinding&) = default;
};

// Every finding of the pair older -> newer, refusals and warnings mixed, in
// a fixed order (by rule, then by key). Empty when the pair keeps the rules.
std::vector<RuleFinding> CheckPatchingRules(const Database& older, const Database& newer);

}  // namespace makepatch
