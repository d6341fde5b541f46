// The name of the product being handled: the %s of messages 306 and 308.
#pragma once

#include <string>

namespace hotfix {

extern std::u16string CurrentProductName;

}  // namespace hotfix
