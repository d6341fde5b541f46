#include "io/codepage.h"

#include <glib.h>

#include <algorithm>
#include <string>

namespace makepatch {

CodepageEncoder EncoderFor(std::uint32_t codepage) {
  if (codepage == 0) {
    return [](std::string_view utf8) -> std::optional<std::string> {
      if (std::any_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) != 0; })) return std::nullopt;
      return std::string(utf8);
    };
  }
  if (codepage == 65001) {
    return [](std::string_view utf8) -> std::optional<std::string> {
      if (!g_utf8_validate(utf8.data(), static_cast<gssize>(utf8.size()), nullptr)) return std::nullopt;
      return std::string(utf8);
    };
  }
  const std::string charset = "CP" + std::to_string(codepage);
  return [charset](std::string_view utf8) -> std::optional<std::string> {
    gsize written = 0;
    GError* error = nullptr;
    // No fallback: a character the code page lacks is an error, never a "?".
    gchar* converted = g_convert(utf8.data(), static_cast<gssize>(utf8.size()), charset.c_str(), "UTF-8",
                                 nullptr, &written, &error);
    if (converted == nullptr) {
      g_clear_error(&error);
      return std::nullopt;
    }
    std::string out(converted, written);
    g_free(converted);
    return out;
  };
}

}  // namespace makepatch
