// Text in the code page of a database, through the system's iconv.
#pragma once

#include <cstdint>

#include "msi/transform_encoding.h"

namespace makepatch {

// 0 is the neutral code page: plain ASCII only. 65001 is UTF-8.
CodepageEncoder EncoderFor(std::uint32_t codepage);

}  // namespace makepatch
