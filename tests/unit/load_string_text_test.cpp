#include "messages/string_table.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/fakes/fake_installer.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::Narrow;

const ModuleHandle kModule = reinterpret_cast<ModuleHandle>(0x140000000);

struct LoadCase {
  const char* reason;
  std::uint32_t locale;
  std::uint32_t id;
  ModuleHandle module;
  int capacity;
  std::u16string expectedText;
  int expectedCount;
};

// Names the case by its reason in test output.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.reason; }

class LoadStringTextTest : public ::testing::TestWithParam<LoadCase> {};

const std::u16string kLong(300, u'x');

TEST_P(LoadStringTextTest, ReplacesTheTextWithTheLoadedString) {
  const LoadCase& c = GetParam();
  testing::FakeThreadState thread;
  thread.locale = c.locale;
  testing::FakeResources resources(thread);
  resources.expectedModule = kModule;
  resources.AddString(1033, 301, u"The hotfix has been successfully installed.");
  resources.AddString(1031, 301, u"Der Hotfix wurde erfolgreich installiert.");
  resources.AddString(1033, 700, u"5.2.1.0");
  resources.AddString(1033, 999, kLong);

  std::u16string text = u"left over from before";
  const int count = LoadStringText(resources, c.module, c.id, text, c.capacity);
  EXPECT_EQ(text, c.expectedText) << c.reason << ": got [" << Narrow(text) << "]";
  EXPECT_EQ(count, c.expectedCount) << c.reason;
}

const LoadCase kLoadCases[] = {
    {"the text in the thread's language", 1031, 301, kModule, 256,
     u"Der Hotfix wurde erfolgreich installiert.", 41},
    {"English text under English", 1033, 301, kModule, 256,
     u"The hotfix has been successfully installed.", 43},
    {"data strings exist in English only and are found under any language", 1041, 700, kModule,
     256, u"5.2.1.0", 7},
    {"a missing id empties the text and gives 0", 1033, 314, kModule, 256, u"", 0},
    {"another module finds nothing", 1033, 301, reinterpret_cast<ModuleHandle>(0x1), 256, u"", 0},
    {"a text longer than 255 arrives cut to 255", 1033, 999, kModule, 256,
     std::u16string(255, u'x'), 255},
    {"a small buffer cuts to capacity - 1", 1033, 700, kModule, 4, u"5.2", 3},
    {"capacity 0 loads nothing", 1033, 700, kModule, 0, u"", 0},
};

INSTANTIATE_TEST_SUITE_P(Strings, LoadStringTextTest, ::testing::ValuesIn(kLoadCases));

TEST(LoadStringTextBuffer, CapacityZeroNeverReachesLoadString) {
  // LoadStringW with no room would hand out a pointer into the resource.
  testing::FakeThreadState thread;
  testing::FakeResources resources(thread);
  std::u16string text = u"x";
  EXPECT_EQ(LoadStringText(resources, nullptr, 301, text, 0), 0);
  EXPECT_TRUE(resources.loadedIds.empty());
  EXPECT_TRUE(text.empty());
}

// A loader that reports more than it wrote and leaves no terminator: the
// text must still end within the buffer.
class UnterminatedResources : public ModuleResources {
 public:
  ResourceStatus FindResourceBytes(ModuleHandle, const std::u16string&, const std::u16string&,
                                   ResourceBytes&) override {
    return ResourceStatus::kMissing;
  }
  int LoadStringW(ModuleHandle, std::uint32_t, char16_t* buffer, int capacity) override {
    for (int i = 0; i < capacity; ++i) buffer[i] = u'a';
    return capacity + 10;
  }
};

TEST(LoadStringTextBuffer, TextEndsWithinTheBufferAndTheCountIsPassedOn) {
  UnterminatedResources resources;
  std::u16string text;
  EXPECT_EQ(LoadStringText(resources, nullptr, 1, text, 8), 18);
  EXPECT_EQ(text, std::u16string(8, u'a'));
}

}  // namespace
}  // namespace hotfix
