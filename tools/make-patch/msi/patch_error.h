// The one kind of failure make-patch reports: a message a release engineer
// can act on ("package B is version 5.2.0.0, the same as A").
#pragma once

#include <stdexcept>
#include <string>

namespace makepatch {

class PatchError : public std::runtime_error {
 public:
  explicit PatchError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace makepatch
