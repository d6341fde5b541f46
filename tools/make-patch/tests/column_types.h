// Column types the tests build tables from, as _Columns stores them.
#pragma once

#include "msi/database.h"

namespace makepatch::testing {

inline constexpr std::uint16_t kKeyText = kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 72;
inline constexpr std::uint16_t kText = kColumnNullable | kColumnNotBinary | kColumnString | kColumnValid | 255;
inline constexpr std::uint16_t kShort = kColumnNullable | kColumnNotBinary | kColumnValid | 2;
inline constexpr std::uint16_t kLong = kColumnNotBinary | kColumnValid | 4;
inline constexpr std::uint16_t kStream = kColumnNullable | kColumnString | kColumnValid;

}  // namespace makepatch::testing
