// Small pieces every Windows test program needs: a handle owner and UTF-8
// output of wide text.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == 2, "UTF-16 wchar_t expected");

namespace hotfix::tools {

// Closes a kernel handle once; INVALID_HANDLE_VALUE counts as none.
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_;
};

inline std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
  return out;
}

inline std::string Utf8(std::u16string_view text) {
  return Utf8(std::wstring_view(reinterpret_cast<const wchar_t*>(text.data()), text.size()));
}

}  // namespace hotfix::tools
