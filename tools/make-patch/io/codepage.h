// Text in the code page of a database, through the system's iconv.
#pragma once

#include <cstdint>

#include "msi/transform_decoding.h"

namespace makepatch {

// 0 is the neutral code page: plain ASCII only. 65001 is UTF-8.
CodepageEncoder EncoderFor(std::uint32_t codepage);
// Bytes of the code page to UTF-8; what does not convert becomes U+FFFD.
CodepageDecoder DecoderFor(std::uint32_t codepage);

}  // namespace makepatch
