#include "install/applicability.h"

#include <cstddef>
#include <limits>

namespace hotfix {
namespace {

constexpr char16_t kPartSeparator = u'.';
constexpr char16_t kPartSeparatorAlternative = u',';
constexpr char16_t kListTerminator = u',';

// The characters the C runtime's iswspace reports in the "C" locale.
bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads the part in front of the first full stop of text and removes it and
// the full stop. Without a full stop the whole text is the part, and text is
// left empty; false then, since no part follows.
bool TakePart(std::u16string& text, std::uint16_t& field) {
  const std::size_t stop = text.find(kPartSeparator);
  field = static_cast<std::uint16_t>(DecimalValue(text.substr(0, stop)));
  if (stop == std::u16string::npos) {
    text.clear();
    return false;
  }
  text.erase(0, stop + 1);
  return true;
}

}  // namespace

std::int32_t DecimalValue(const std::u16string& text) {
  std::size_t at = 0;
  while (at < text.size() && IsWhiteSpace(text[at])) ++at;

  bool negative = false;
  if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
    negative = text[at] == u'-';
    ++at;
  }

  // Accumulated as a magnitude so that the negative limit, one larger than
  // the positive one, is reached without overflow.
  constexpr std::int64_t kPositiveLimit = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kNegativeLimit = kPositiveLimit + 1;
  const std::int64_t limit = negative ? kNegativeLimit : kPositiveLimit;
  std::int64_t magnitude = 0;
  for (; at < text.size() && IsDecimalDigit(text[at]); ++at) {
    magnitude = magnitude * 10 + (text[at] - u'0');
    if (magnitude >= limit) {
      magnitude = limit;  // saturated; the remaining digits change nothing
    }
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

FourPartVersion ParseFourPartVersion(std::u16string text) {
  FourPartVersion version;
  for (char16_t& c : text) {
    if (c == kPartSeparatorAlternative) c = kPartSeparator;
  }
  // Installer versions often have three parts ("5.2.1"): a text with fewer
  // than four parts reads every part it has; the fourth is whatever is left
  // once three parts have been taken.
  if (!TakePart(text, version.major)) return version;
  if (!TakePart(text, version.minor)) return version;
  if (!TakePart(text, version.build)) return version;
  version.revision = static_cast<std::uint16_t>(DecimalValue(text));
  return version;
}

ApplicabilityVerdict DecideApplicability(const std::u16string& installedVersion,
                                         const std::u16string& patchedVersion,
                                         const std::u16string& applicableVersions) {
  const FourPartVersion installed = ParseFourPartVersion(installedVersion);
  const FourPartVersion patched = ParseFourPartVersion(patchedVersion);
  if (installed == patched) return ApplicabilityVerdict::InstalledIsPatched;

  // Only text that a comma ends is an element; whatever follows the last
  // comma is never looked at.
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = applicableVersions.find(kListTerminator, start);
    if (end == std::u16string::npos) return ApplicabilityVerdict::NotListed;
    const FourPartVersion candidate =
        ParseFourPartVersion(applicableVersions.substr(start, end - start));
    if (candidate == installed) return ApplicabilityVerdict::InstalledListed;
    if (candidate == patched) return ApplicabilityVerdict::PatchedListedFirst;
    start = end + 1;
  }
}

}  // namespace hotfix
