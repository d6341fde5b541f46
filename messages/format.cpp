#include "messages/format.h"

#include <algorithm>
#include <string_view>

namespace hotfix {
namespace {

// Collects the output up to capacity - 1 units and notes whether anything
// was left out. Padding is written through it too, so no width in a
// template can make the output grow beyond the buffer.
class BoundedOutput {
 public:
  explicit BoundedOutput(std::size_t capacity) : limit_(capacity == 0 ? 0 : capacity - 1) {
    text_.reserve(limit_);
  }

  void Put(char16_t c) {
    if (text_.size() < limit_) {
      text_.push_back(c);
    } else {
      truncated_ = true;
    }
  }
  void Put(std::u16string_view s) {
    const std::size_t room = limit_ - text_.size();
    text_.append(s.substr(0, room));
    if (s.size() > room) truncated_ = true;
  }
  void Repeat(char16_t c, std::size_t count) {
    const std::size_t room = limit_ - text_.size();
    text_.append(std::min(count, room), c);
    if (count > room) truncated_ = true;
  }

  FormattedText Finish() && { return FormattedText{std::move(text_), truncated_}; }

 private:
  std::size_t limit_;
  std::u16string text_;
  bool truncated_ = false;
};

enum class Kind { kSigned, kUnsigned, kHexLower, kHexUpper, kCharacter, kText };

// One placeholder as wsprintfW reads it: %[-][#][0][width][.precision][size]type.
struct Placeholder {
  bool leftAlign = false;
  bool alternate = false;  // '#': 0x before hexadecimal
  bool zeroPad = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
  bool shortSize = false;  // 'h' on a number: 16 bits
  Kind kind = Kind::kSigned;
};

std::size_t ReadCount(std::u16string_view pattern, std::size_t& at) {
  constexpr std::size_t kMaxCount = 1u << 20;  // far beyond any buffer; avoids overflow
  std::size_t value = 0;
  while (at < pattern.size() && pattern[at] >= u'0' && pattern[at] <= u'9') {
    value = std::min(kMaxCount, value * 10 + (pattern[at] - u'0'));
    ++at;
  }
  return value;
}

// Reads the placeholder that starts at pattern[start] == '%'. On success
// `end` is one past its type letter. Fails for a conversion that wsprintfW
// would not perform with a 32-bit number or a wide text (64-bit sizes,
// unknown letters, an unfinished placeholder at the end of the template).
bool ParsePlaceholder(std::u16string_view pattern, std::size_t start, Placeholder& out,
                      std::size_t& end) {
  std::size_t at = start + 1;
  for (; at < pattern.size(); ++at) {
    const char16_t c = pattern[at];
    if (c == u'-') {
      out.leftAlign = true;
    } else if (c == u'#') {
      out.alternate = true;
    } else if (c == u'0') {
      out.zeroPad = true;
    } else {
      break;
    }
  }
  out.width = ReadCount(pattern, at);
  if (at < pattern.size() && pattern[at] == u'.') {
    ++at;
    out.hasPrecision = true;
    out.precision = ReadCount(pattern, at);
  }
  if (at < pattern.size()) {
    const char16_t size = pattern[at];
    if (size == u'h') {
      out.shortSize = true;
      ++at;
    } else if (size == u'l' || size == u'w') {
      ++at;
    } else if (size == u'I') {
      return false;  // I64: a 64-bit value that no message carries
    }
  }
  if (at >= pattern.size()) return false;
  switch (pattern[at]) {
    case u'd':
    case u'i':
      out.kind = Kind::kSigned;
      break;
    case u'u':
      out.kind = Kind::kUnsigned;
      break;
    case u'x':
      out.kind = Kind::kHexLower;
      break;
    case u'X':
      out.kind = Kind::kHexUpper;
      break;
    case u'c':
    case u'C':
      out.kind = Kind::kCharacter;
      break;
    // Every text argument here is wide, so the narrow spellings (%S, %hs)
    // print it as well instead of misreading it.
    case u's':
    case u'S':
      out.kind = Kind::kText;
      break;
    default:
      return false;
  }
  end = at + 1;
  return true;
}

std::u16string Digits(std::uint32_t value, unsigned base, bool upper) {
  const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  std::u16string reversed;
  do {
    reversed.push_back(digits[value % base]);
    value /= base;
  } while (value != 0);
  return std::u16string(reversed.rbegin(), reversed.rend());
}

// zeroesAllowed: '0' pads with zeroes only for numbers without a precision;
// texts are always padded with blanks.
void PutPadded(BoundedOutput& out, const Placeholder& p, std::u16string_view prefix,
               std::u16string_view body, bool zeroesAllowed) {
  const std::size_t length = prefix.size() + body.size();
  const std::size_t padding = p.width > length ? p.width - length : 0;
  if (p.leftAlign) {
    out.Put(prefix);
    out.Put(body);
    out.Repeat(u' ', padding);
  } else if (p.zeroPad && zeroesAllowed) {
    out.Put(prefix);
    out.Repeat(u'0', padding);
    out.Put(body);
  } else {
    out.Repeat(u' ', padding);
    out.Put(prefix);
    out.Put(body);
  }
}

void PutNumber(BoundedOutput& out, const Placeholder& p, std::int32_t argument) {
  std::u16string prefix;
  std::u16string body;
  if (p.kind == Kind::kSigned) {
    const std::int32_t value = p.shortSize ? static_cast<std::int16_t>(argument) : argument;
    // The magnitude of the most negative value still fits 32 unsigned bits.
    const std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    if (value < 0) prefix = u"-";
    body = Digits(magnitude, 10, false);
  } else {
    std::uint32_t value = static_cast<std::uint32_t>(argument);
    if (p.shortSize) value &= 0xFFFFu;
    const bool hex = p.kind != Kind::kUnsigned;
    body = Digits(value, hex ? 16 : 10, p.kind == Kind::kHexUpper);
    if (hex && p.alternate && value != 0) prefix = p.kind == Kind::kHexUpper ? u"0X" : u"0x";
  }
  // A precision asks for at least that many digits.
  if (p.hasPrecision && p.precision > body.size()) {
    body.insert(0, std::min(p.precision, std::size_t{1} << 16) - body.size(), u'0');
  }
  PutPadded(out, p, prefix, body, !p.hasPrecision);
}

}  // namespace

FormattedText FormatTemplate(const std::u16string& pattern,
                             const std::vector<FormatArgument>& arguments, std::size_t capacity) {
  const std::u16string_view view(pattern);
  BoundedOutput out(capacity);
  std::size_t nextArgument = 0;
  std::size_t at = 0;
  while (at < view.size()) {
    const char16_t c = view[at];
    if (c != u'%') {
      out.Put(c);
      ++at;
      continue;
    }
    if (at + 1 < view.size() && view[at + 1] == u'%') {
      out.Put(u'%');
      at += 2;
      continue;
    }
    Placeholder p;
    std::size_t end = 0;
    if (!ParsePlaceholder(view, at, p, end)) {
      // Not a conversion that can be made: the percent sign stands as
      // written and the text after it is copied like any other.
      out.Put(u'%');
      ++at;
      continue;
    }
    const std::u16string_view written = view.substr(at, end - at);
    at = end;

    // Placeholders take the arguments in turn, one each, as printf does. One
    // without an argument, or whose argument is of the other kind, is copied
    // as written: a translation that names an argument the message does not
    // carry must never make the formatting read anything.
    const FormatArgument* argument =
        nextArgument < arguments.size() ? &arguments[nextArgument++] : nullptr;
    if (p.kind == Kind::kText) {
      const auto* text = argument ? std::get_if<std::u16string>(argument) : nullptr;
      if (text == nullptr) {
        out.Put(written);
        continue;
      }
      std::u16string_view body(*text);
      if (p.hasPrecision) body = body.substr(0, p.precision);
      PutPadded(out, p, {}, body, false);
    } else {
      const auto* number = argument ? std::get_if<std::int32_t>(argument) : nullptr;
      if (number == nullptr) {
        out.Put(written);
        continue;
      }
      if (p.kind == Kind::kCharacter) {
        const char16_t one = static_cast<char16_t>(static_cast<std::uint32_t>(*number) & 0xFFFFu);
        PutPadded(out, p, {}, std::u16string_view(&one, 1), false);
      } else {
        PutNumber(out, p, *number);
      }
    }
  }
  return std::move(out).Finish();
}

}  // namespace hotfix
