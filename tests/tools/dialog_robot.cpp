// Answers the message boxes that other processes of the same session (the same
// Wine prefix) show, the way a test plan says, and records what each box
// showed: one JSON line per box, UTF-8, appended to the output file and
// flushed before the box is answered.
//
//   dialog_robot --out FILE [--answers A,B,...] [--default A]
//                [--signal-dir DIR] [--screenshot-dir DIR]
//                [--stop-file FILE] [--until-exit-of PID] [--max-boxes N]
//                [--timeout SECONDS] [--hook-timeout SECONDS] [--poll-ms N]
//
// An answer is a button name (ok cancel abort retry ignore yes no tryagain
// continue), a button id, or "none" (leave the box alone); NAME-after:FILE
// waits until FILE exists before pressing. Answers are used one per box in
// the order the boxes appear; --default is used when the list runs out.
//
// --signal-dir gets "ready" once the robot watches, and box-N.json (the
// recorded line) as each box comes up, before it is answered.
// --screenshot-dir gets box-N.bmp, the box's window rectangle as shown.
//
// Exit code: 0 when stopped by the stop file, the watched process, or
// --max-boxes; 3 on the overall timeout; 2 on a usage error.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/tools/tool_support.h"

static_assert(sizeof(wchar_t) == 2, "UTF-16 wchar_t expected");

namespace {

using hotfix::tools::Handle;
using hotfix::tools::Utf8;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr wchar_t kBoxClass[] = L"#32770";
constexpr int kMessageBoxTextId = 0xFFFF;
// A pressed box that is still up is pressed again this often, this many times.
constexpr ULONGLONG kRepressIntervalMs = 1000;
constexpr int kMaxRepresses = 10;
// Mean difference per channel (0..255) below which a captured icon counts as
// the stock icon it is compared with.
constexpr double kIconMatchThreshold = 25.0;
// The best match must beat the next by this much: the question and
// information icons are alike.
constexpr double kIconMatchMargin = 4.0;

class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc_ != nullptr) ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

// A 32-bit top-down DIB section selected into a memory DC.
class Bitmap {
 public:
  Bitmap(int width, int height) : width_(width), height_(height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    ScreenDc screen;
    dc_ = CreateCompatibleDC(screen.get());
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<std::uint32_t*>(bits);
    if (dc_ != nullptr && bitmap_ != nullptr) old_ = SelectObject(dc_, bitmap_);
  }
  ~Bitmap() {
    if (dc_ != nullptr) {
      if (old_ != nullptr) SelectObject(dc_, old_);
      DeleteDC(dc_);
    }
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  bool ok() const { return dc_ != nullptr && bits_ != nullptr && old_ != nullptr; }
  HDC dc() const { return dc_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // 0x00RRGGBB per pixel, rows top to bottom.
  std::vector<std::uint32_t> Pixels() const {
    GdiFlush();
    return std::vector<std::uint32_t>(bits_, bits_ + static_cast<size_t>(width_) * height_);
  }
  void Fill(COLORREF colour) {
    RECT all{0, 0, width_, height_};
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc_, &all, brush);
    DeleteObject(brush);
  }

 private:
  int width_;
  int height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  std::uint32_t* bits_ = nullptr;
};

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  // Written beside the target and renamed, so a reader never sees half a file.
  std::wstring partial = path + L".partial";
  {
    Handle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size()) {
      return false;
    }
  }
  return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool AppendLine(const std::wstring& path, const std::string& line) {
  Handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string bytes = line + "\n";
  DWORD written = 0;
  bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      nullptr) &&
            written == bytes.size();
  FlushFileBuffers(file.get());
  return ok;
}

void Complain(const std::wstring& text) {
  std::string bytes = "dialog_robot: " + Utf8(text) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

std::string Timestamp() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

// ---------------------------------------------------------------- the plan

struct Answer {
  std::wstring name;      // as written, for the record
  int buttonId = 0;       // 0: press nothing
  std::wstring waitFor;   // a file that must exist before pressing
};

std::optional<int> ButtonIdOf(const std::wstring& name) {
  struct Named {
    const wchar_t* name;
    int id;
  };
  static constexpr Named kButtons[] = {
      {L"ok", IDOK},       {L"cancel", IDCANCEL}, {L"abort", IDABORT},
      {L"retry", IDRETRY}, {L"ignore", IDIGNORE}, {L"yes", IDYES},
      {L"no", IDNO},       {L"close", IDCLOSE},   {L"help", IDHELP},
      {L"tryagain", 10},   {L"continue", 11},     {L"none", 0},
  };
  for (const Named& button : kButtons) {
    if (_wcsicmp(name.c_str(), button.name) == 0) return button.id;
  }
  if (!name.empty() && name.find_first_not_of(L"0123456789") == std::wstring::npos &&
      name.size() < 6) {
    return std::stoi(name);
  }
  return std::nullopt;
}

std::optional<Answer> ParseAnswer(const std::wstring& text) {
  Answer answer;
  answer.name = text;
  std::wstring button = text;
  size_t hook = text.find(L"-after:");
  if (hook != std::wstring::npos) {
    button = text.substr(0, hook);
    answer.waitFor = text.substr(hook + 7);
    if (answer.waitFor.empty()) return std::nullopt;
  }
  std::optional<int> id = ButtonIdOf(button);
  if (!id) return std::nullopt;
  answer.buttonId = *id;
  return answer;
}

struct Options {
  std::wstring out;
  std::vector<Answer> answers;
  Answer fallback = {L"ok", IDOK, L""};
  std::wstring signalDir;
  std::wstring screenshotDir;
  std::wstring stopFile;
  DWORD untilExitOf = 0;
  int maxBoxes = 0;
  ULONGLONG timeoutMs = 240'000;
  ULONGLONG hookTimeoutMs = 120'000;
  DWORD pollMs = 50;
};

std::optional<Options> ParseOptions(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::wstring name = argv[i];
    if (i + 1 >= argc) {
      Complain(L"missing value after " + name);
      return std::nullopt;
    }
    std::wstring value = argv[++i];
    if (name == L"--out") {
      options.out = value;
    } else if (name == L"--answers") {
      size_t start = 0;
      while (start <= value.size()) {
        size_t comma = value.find(L',', start);
        std::wstring item = value.substr(start, comma == std::wstring::npos ? std::wstring::npos
                                                                            : comma - start);
        std::optional<Answer> answer = ParseAnswer(item);
        if (!answer) {
          Complain(L"not an answer: " + item);
          return std::nullopt;
        }
        options.answers.push_back(*answer);
        if (comma == std::wstring::npos) break;
        start = comma + 1;
      }
    } else if (name == L"--default") {
      std::optional<Answer> answer = ParseAnswer(value);
      if (!answer) {
        Complain(L"not an answer: " + value);
        return std::nullopt;
      }
      options.fallback = *answer;
    } else if (name == L"--signal-dir") {
      options.signalDir = value;
    } else if (name == L"--screenshot-dir") {
      options.screenshotDir = value;
    } else if (name == L"--stop-file") {
      options.stopFile = value;
    } else if (name == L"--until-exit-of") {
      options.untilExitOf = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
    } else if (name == L"--max-boxes") {
      options.maxBoxes = _wtoi(value.c_str());
    } else if (name == L"--timeout") {
      options.timeoutMs = static_cast<ULONGLONG>(_wtoi(value.c_str())) * 1000;
    } else if (name == L"--hook-timeout") {
      options.hookTimeoutMs = static_cast<ULONGLONG>(_wtoi(value.c_str())) * 1000;
    } else if (name == L"--poll-ms") {
      options.pollMs = static_cast<DWORD>(std::max(1, _wtoi(value.c_str())));
    } else {
      Complain(L"unknown option " + name);
      return std::nullopt;
    }
  }
  if (options.out.empty()) {
    Complain(L"--out FILE is required");
    return std::nullopt;
  }
  return options;
}

// ---------------------------------------------------------------- reading a box

std::wstring WindowText(HWND window) {
  // WM_GETTEXT is marshalled across processes; the length query may be an
  // underestimate for some controls, hence the margin.
  int length = GetWindowTextLengthW(window);
  std::vector<wchar_t> buffer(static_cast<size_t>(std::max(length, 0)) + 256, L'\0');
  int got = GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
  return std::wstring(buffer.data(), static_cast<size_t>(std::max(got, 0)));
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

struct Child {
  HWND hwnd;
  std::wstring className;
  int id;
  DWORD style;
  RECT rect;  // screen coordinates
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
  auto* children = reinterpret_cast<std::vector<Child>*>(param);
  Child child{hwnd, ClassOf(hwnd), GetDlgCtrlID(hwnd),
              static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)), {}};
  GetWindowRect(hwnd, &child.rect);
  children->push_back(child);
  return TRUE;
}

std::vector<Child> VisibleChildren(HWND box) {
  std::vector<Child> all;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&all));
  std::vector<Child> visible;
  for (const Child& child : all) {
    if (GetParent(child.hwnd) == box && (child.style & WS_VISIBLE) != 0) visible.push_back(child);
  }
  return visible;
}

bool IsIconStatic(const Child& child) {
  return _wcsicmp(child.className.c_str(), L"Static") == 0 &&
         (child.style & SS_TYPEMASK) == SS_ICON;
}

std::wstring ProcessImageName(DWORD pid) {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return L"";
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == pid) return entry.szExeFile;
  }
  return L"";
}

// Copies a rectangle of the screen as shown. The box's process owns its
// icon handles, so pixels are all another process can compare.
std::optional<std::vector<std::uint32_t>> CaptureScreen(const RECT& rect) {
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return std::nullopt;
  Bitmap bitmap(width, height);
  ScreenDc screen;
  if (!bitmap.ok() || screen.get() == nullptr) return std::nullopt;
  if (!BitBlt(bitmap.dc(), 0, 0, width, height, screen.get(), rect.left, rect.top, SRCCOPY)) {
    return std::nullopt;
  }
  return bitmap.Pixels();
}

struct StockIcon {
  const char* name;
  LPCWSTR id;
};
const StockIcon kStockIcons[] = {
    {"stop", IDI_HAND},
    {"question", IDI_QUESTION},
    {"warning", IDI_EXCLAMATION},
    {"information", IDI_ASTERISK},
};

int Channel(std::uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xFF); }

int PixelDistance(std::uint32_t a, std::uint32_t b) {
  return std::abs(Channel(a, 16) - Channel(b, 16)) + std::abs(Channel(a, 8) - Channel(b, 8)) +
         std::abs(Channel(a, 0) - Channel(b, 0));
}

// Mean difference per channel between the capture and the stock icon drawn
// at the same size, over the pixels the icon covers fully (those that come
// out the same on black and on white).
std::optional<double> IconDistance(const std::vector<std::uint32_t>& captured, int width,
                                   int height, LPCWSTR stockId) {
  HICON icon = LoadIconW(nullptr, stockId);
  if (icon == nullptr) return std::nullopt;
  Bitmap onBlack(width, height);
  Bitmap onWhite(width, height);
  if (!onBlack.ok() || !onWhite.ok()) return std::nullopt;
  onBlack.Fill(RGB(0, 0, 0));
  onWhite.Fill(RGB(255, 255, 255));
  DrawIconEx(onBlack.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
  DrawIconEx(onWhite.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
  std::vector<std::uint32_t> black = onBlack.Pixels();
  std::vector<std::uint32_t> white = onWhite.Pixels();
  long long total = 0;
  long long count = 0;
  for (size_t i = 0; i < captured.size(); ++i) {
    if (PixelDistance(black[i], white[i]) > 6) continue;
    total += PixelDistance(captured[i], black[i]);
    ++count;
  }
  if (count < static_cast<long long>(captured.size()) / 8) return std::nullopt;
  return static_cast<double>(total) / (3.0 * static_cast<double>(count));
}

struct IconReading {
  std::string name;    // none, stop, question, warning, information, unknown
  std::string scores;  // JSON object, for diagnosis
};

IconReading ReadIcon(const std::vector<Child>& children) {
  const Child* iconChild = nullptr;
  for (const Child& child : children) {
    if (IsIconStatic(child)) iconChild = &child;
  }
  if (iconChild == nullptr) return {"none", "{}"};
  // A box without an icon may keep the icon control, empty, under its text.
  // The handle means nothing in this process, but zero is still zero.
  DWORD_PTR handle = 0;
  if (SendMessageTimeoutW(iconChild->hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &handle) &&
      handle == 0) {
    return {"none", "{}"};
  }
  RECT client{};
  GetClientRect(iconChild->hwnd, &client);
  POINT origin{0, 0};
  ClientToScreen(iconChild->hwnd, &origin);
  RECT onScreen{origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
  std::optional<std::vector<std::uint32_t>> captured = CaptureScreen(onScreen);
  if (!captured) return {"unknown", "{}"};
  bool uniform = std::all_of(captured->begin(), captured->end(),
                             [&](std::uint32_t p) { return p == captured->front(); });
  if (uniform) return {"none", "{}"};
  IconReading reading{"unknown", "{"};
  double best = 1e9;
  double second = 1e9;
  const char* bestName = nullptr;
  bool first = true;
  for (const StockIcon& stock : kStockIcons) {
    std::optional<double> distance =
        IconDistance(*captured, client.right, client.bottom, stock.id);
    if (!distance) continue;
    char item[64];
    std::snprintf(item, sizeof item, "%s\"%s\":%.1f", first ? "" : ",", stock.name, *distance);
    reading.scores += item;
    first = false;
    if (*distance < best) {
      second = best;
      best = *distance;
      bestName = stock.name;
    } else if (*distance < second) {
      second = *distance;
    }
  }
  reading.scores += "}";
  if (bestName != nullptr && best < kIconMatchThreshold && second - best >= kIconMatchMargin) {
    reading.name = bestName;
  }
  return reading;
}

bool SaveBmp(const std::wstring& path, const std::vector<std::uint32_t>& pixels, int width,
             int height) {
  const int rowBytes = (width * 3 + 3) & ~3;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;  // bottom-up
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(rowBytes * height);
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + info.biSizeImage;
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
  bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
  std::string row(static_cast<size_t>(rowBytes), '\0');
  for (int y = height - 1; y >= 0; --y) {
    for (int x = 0; x < width; ++x) {
      std::uint32_t p = pixels[static_cast<size_t>(y) * width + x];
      row[static_cast<size_t>(x) * 3 + 0] = static_cast<char>(p & 0xFF);
      row[static_cast<size_t>(x) * 3 + 1] = static_cast<char>((p >> 8) & 0xFF);
      row[static_cast<size_t>(x) * 3 + 2] = static_cast<char>((p >> 16) & 0xFF);
    }
    bytes += row;
  }
  return WriteWholeFile(path, bytes);
}

// ---------------------------------------------------------------- the robot

// A line that says what went wrong with box NUMBER.
std::string ErrorLine(int number, const std::wstring& text) {
  return "{\"box\":" + std::to_string(number) + ",\"error\":" + JsonString(text) + "}";
}

struct Pressed {
  HWND box;
  int number;
  int buttonId;
  ULONGLONG lastPress;
  int presses;
};

class Robot {
 public:
  explicit Robot(Options options) : options_(std::move(options)), start_(GetTickCount64()) {}

  int Run() {
    Handle watched(options_.untilExitOf != 0
                       ? OpenProcess(SYNCHRONIZE, FALSE, options_.untilExitOf)
                       : nullptr);
    if (options_.untilExitOf != 0 && !watched) {
      Complain(L"cannot watch process " + std::to_wstring(options_.untilExitOf));
    }
    if (!options_.signalDir.empty()) WriteWholeFile(options_.signalDir + L"\\ready", "ready\n");
    for (;;) {
      bool stopRequested = (!options_.stopFile.empty() && FileExists(options_.stopFile)) ||
                           (watched && WaitForSingleObject(watched.get(), 0) == WAIT_OBJECT_0);
      Scan();
      RepressStuckBoxes();
      if (stopRequested) return kExitOk;
      if (options_.maxBoxes > 0 && number_ >= options_.maxBoxes && pressed_.empty()) {
        return kExitOk;
      }
      if (Elapsed() > options_.timeoutMs) {
        AppendLine(options_.out, "{\"error\":\"robot timed out\",\"boxes\":" +
                                     std::to_string(number_) + "}");
        return kExitTimeout;
      }
      Sleep(options_.pollMs);
    }
  }

 private:
  ULONGLONG Elapsed() const { return GetTickCount64() - start_; }

  static BOOL CALLBACK CollectBox(HWND hwnd, LPARAM param) {
    auto* boxes = reinterpret_cast<std::vector<HWND>*>(param);
    if (IsWindowVisible(hwnd) && ClassOf(hwnd) == kBoxClass) boxes->push_back(hwnd);
    return TRUE;
  }

  void Scan() {
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    for (HWND box : boxes) {
      if (seen_.insert(box).second) HandleBox(box);
    }
  }

  // A box's window appears before its controls are painted; wait until its
  // contents hold still, within a bound. Boxes of two programs open together
  // lie over each other at the screen's centre, and the icon is read from
  // the screen's pixels: the box is kept on top (within its own topmost or
  // plain layer) meanwhile, and has repainted by the time it holds still.
  void Settle(HWND box) {
    std::string previous;
    for (int attempt = 0; attempt < 20; ++attempt) {
      SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      Sleep(50);
      std::vector<Child> children = VisibleChildren(box);
      std::string now = Utf8(WindowText(box)) + "|" + std::to_string(children.size()) + "|" +
                        ReadIcon(children).name;
      if (attempt >= 2 && now == previous) return;
      previous = now;
    }
  }

  void HandleBox(HWND box) {
    int number = ++number_;
    const Answer& answer = number <= static_cast<int>(options_.answers.size())
                               ? options_.answers[static_cast<size_t>(number) - 1]
                               : options_.fallback;
    // Styles as the program made them, before the raise below restacks it.
    auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(box, GWL_EXSTYLE));
    auto style = static_cast<DWORD>(GetWindowLongPtrW(box, GWL_STYLE));
    Settle(box);
    if (!IsWindow(box)) {
      AppendLine(options_.out, ErrorLine(number, L"box closed before it could be read"));
      return;
    }

    std::vector<Child> children = VisibleChildren(box);
    std::wstring text;
    if (HWND item = GetDlgItem(box, kMessageBoxTextId); item != nullptr) {
      text = WindowText(item);
    } else {
      for (const Child& child : children) {
        if (_wcsicmp(child.className.c_str(), L"Static") == 0 && !IsIconStatic(child)) {
          text = WindowText(child.hwnd);
          break;
        }
      }
    }
    std::vector<Child> buttons;
    for (const Child& child : children) {
      if (_wcsicmp(child.className.c_str(), L"Button") == 0) buttons.push_back(child);
    }
    std::stable_sort(buttons.begin(), buttons.end(), [](const Child& a, const Child& b) {
      return a.rect.top != b.rect.top && std::abs(a.rect.top - b.rect.top) > 8
                 ? a.rect.top < b.rect.top
                 : a.rect.left < b.rect.left;
    });
    IconReading icon = ReadIcon(children);
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);

    bool hasButton = answer.buttonId == 0;
    std::string buttonList = "[";
    for (size_t i = 0; i < buttons.size(); ++i) {
      if (buttons[i].id == answer.buttonId) hasButton = true;
      buttonList += (i ? "," : "") + std::string("{\"id\":") + std::to_string(buttons[i].id) +
                    ",\"text\":" + JsonString(WindowText(buttons[i].hwnd)) + "}";
    }
    buttonList += "]";

    std::string screenshot;
    if (!options_.screenshotDir.empty()) {
      RECT rect{};
      GetWindowRect(box, &rect);
      std::optional<std::vector<std::uint32_t>> pixels = CaptureScreen(rect);
      std::wstring name = L"box-" + std::to_wstring(number) + L".bmp";
      if (pixels && SaveBmp(options_.screenshotDir + L"\\" + name, *pixels,
                            rect.right - rect.left, rect.bottom - rect.top)) {
        screenshot = Utf8(name);
      }
    }

    std::string line = "{\"box\":" + std::to_string(number) +
                       ",\"caption\":" + JsonString(WindowText(box)) +
                       ",\"text\":" + JsonString(text) + ",\"icon\":\"" + icon.name +
                       "\",\"buttons\":" + buttonList +
                       ",\"topmost\":" + ((exStyle & WS_EX_TOPMOST) ? "true" : "false") +
                       ",\"style\":\"" + Hex(style) + "\",\"exstyle\":\"" + Hex(exStyle) +
                       "\",\"pid\":" + std::to_string(pid) +
                       ",\"process\":" + JsonString(ProcessImageName(pid)) +
                       ",\"answer\":" + JsonString(answer.name) +
                       ",\"icon_scores\":" + icon.scores +
                       (screenshot.empty() ? "" : ",\"screenshot\":\"" + screenshot + "\"") +
                       ",\"time\":\"" + Timestamp() + "\",\"elapsed_ms\":" +
                       std::to_string(Elapsed()) + "}";
    AppendLine(options_.out, line);
    if (!options_.signalDir.empty()) {
      WriteWholeFile(options_.signalDir + L"\\box-" + std::to_wstring(number) + L".json",
                     line + "\n");
    }

    if (!answer.waitFor.empty()) WaitForHookFile(number, answer.waitFor);
    if (answer.buttonId == 0) return;
    int buttonId = answer.buttonId;
    if (!hasButton) {
      // Pressing an id the box lacks would end it with a result no user can
      // give; take Cancel (or the first button) so the program goes on and the
      // test fails on the recorded error instead of hanging.
      buttonId = buttons.empty() ? IDCANCEL : buttons.front().id;
      for (const Child& button : buttons) {
        if (button.id == IDCANCEL) buttonId = IDCANCEL;
      }
      AppendLine(options_.out, ErrorLine(number, L"no button " + std::to_wstring(answer.buttonId) +
                                                     L" in this box; pressed " +
                                                     std::to_wstring(buttonId)));
    }
    PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(buttonId), 0);
    pressed_.push_back({box, number, buttonId, GetTickCount64(), 1});
  }

  void WaitForHookFile(int number, const std::wstring& path) {
    ULONGLONG until = GetTickCount64() + options_.hookTimeoutMs;
    while (!FileExists(path)) {
      if (GetTickCount64() > until) {
        AppendLine(options_.out, ErrorLine(number, L"gave up waiting for " + path));
        return;
      }
      Sleep(options_.pollMs);
    }
  }

  void RepressStuckBoxes() {
    ULONGLONG now = GetTickCount64();
    for (auto it = pressed_.begin(); it != pressed_.end();) {
      if (!IsWindow(it->box) || !IsWindowVisible(it->box)) {
        it = pressed_.erase(it);
        continue;
      }
      if (now - it->lastPress >= kRepressIntervalMs) {
        if (it->presses >= kMaxRepresses) {
          AppendLine(options_.out, ErrorLine(it->number, L"box did not close when pressed"));
          it = pressed_.erase(it);
          continue;
        }
        PostMessageW(it->box, WM_COMMAND, static_cast<WPARAM>(it->buttonId), 0);
        it->lastPress = now;
        ++it->presses;
      }
      ++it;
    }
  }

  Options options_;
  ULONGLONG start_;
  int number_ = 0;
  std::set<HWND> seen_;
  std::vector<Pressed> pressed_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return kExitUsage;
  return Robot(std::move(*options)).Run();
}
