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

namespace {

// Each byte below 0x80 as it is, anything else as U+FFFD.
std::string AsciiOnly(std::string_view bytes) {
  std::string out;
  for (char c : bytes) out += (c & 0x80) != 0 ? "\xEF\xBF\xBD" : std::string(1, c);
  return out;
}

}  // namespace

CodepageDecoder DecoderFor(std::uint32_t codepage) {
  if (codepage == 0) return AsciiOnly;
  if (codepage == 65001) {
    return [](std::string_view bytes) {
      if (bytes.empty()) return std::string();
      gchar* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
      std::string out(valid);
      g_free(valid);
      return out;
    };
  }
  const std::string charset = "CP" + std::to_string(codepage);
  return [charset](std::string_view bytes) {
    // An empty view may hold no pointer at all, which GLib refuses aloud.
    if (bytes.empty()) return std::string();
    gsize written = 0;
    gchar* converted = g_convert_with_fallback(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                               charset.c_str(), "\xEF\xBF\xBD", nullptr, &written, nullptr);
    if (converted == nullptr) return AsciiOnly(bytes);
    std::string out(converted, written);
    g_free(converted);
    return out;
  };
}

}  // namespace makepatch
