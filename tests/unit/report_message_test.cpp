#include "messages/report_message.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app/process_state.h"
#include "app/run_options.h"
#include "messages/current_product_name.h"
#include "messages/string_table.h"
#include "tests/fakes/fake_installer.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/res_file.h"

namespace hotfix {
namespace {

using testing::Narrow;

const ModuleHandle kModule = reinterpret_cast<ModuleHandle>(0x140000000);
constexpr std::uint32_t kStop = 0x50010;
constexpr std::uint32_t kInformation = 0x50040;

const std::u16string kEnglish300 =
    u"A problem prevented the hotfix from being installed. Contact your system administrator. "
    u"\n\n Error Code: %d";
const std::u16string kEnglish307 =
    u"The hotfix could not be installed because the expected Korvanta product could not be "
    u"located on your computer.\nMake sure that you are using the correct hotfix for the "
    u"product.";

class ReportMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    ModuleInstance = kModule;
    world.resources.expectedModule = kModule;
    auto& r = world.resources;
    r.AddString(1033, 300, kEnglish300);
    r.AddString(1033, 301, u"The hotfix has been successfully installed.");
    r.AddString(1033, 306, u"Your version of %s is up-to-date and this hotfix is not necessary");
    r.AddString(1033, 307, kEnglish307);
    r.AddString(1033, 308, u"This hotfix could not be installed because it is not designed for "
                           u"the version of %s that is installed on your computer.");
    r.AddString(1033, 309, u"The command line that you supplied is incorrect.");
    r.AddString(1033, 310, u"You must supply a patch list.");
    r.AddString(1033, 311, u"Installation Error");
    r.AddString(1033, 312, u"Installation Successful");
    r.AddString(1033, 313, u"Installation Unnecessary");
    r.AddString(1031, 300, u"Fehler. \n\n Fehlercode: %d");
    r.AddString(1031, 306, u"Ihre Version von %s ist aktuell");
    r.AddString(1031, 311, u"Installationsfehler");
    r.AddString(1031, 313, u"Installation nicht erforderlich");
  }
  void TearDown() override { ResetProcessState(); }

  const testing::FakeMessageBoxes::Box& OnlyBox() {
    EXPECT_EQ(world.boxes.shown.size(), 1u);
    static const testing::FakeMessageBoxes::Box kNone{u"<no box>", u"<no box>", 0, 0};
    return world.boxes.shown.empty() ? kNone : world.boxes.shown.front();
  }

  testing::FakePlatform world;
};

struct ReportCase {
  const char* reason;
  std::uint32_t id;
  std::uint32_t lastError;
  std::u16string productName;
  std::u16string text;
  std::u16string caption;
  std::uint32_t style;
};

// Names the case by its reason in test output.
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.reason; }

class ReportMessageById : public ReportMessageTest,
                          public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportMessageById, ShowsTextCaptionAndIconOfTheId) {
  const ReportCase& c = GetParam();
  world.thread.lastError = c.lastError;
  CurrentProductName = c.productName;
  ReportMessage(world.platform(), c.id);
  const auto& box = OnlyBox();
  EXPECT_EQ(box.text, c.text) << c.reason << "\n  got: [" << Narrow(box.text) << "]";
  EXPECT_EQ(box.caption, c.caption) << c.reason << "\n  got: [" << Narrow(box.caption) << "]";
  EXPECT_EQ(box.style, c.style) << c.reason;
}

const ReportCase kReportCases[] = {
    {"300 prints the last error in decimal", 300, 1603, u"",
     u"A problem prevented the hotfix from being installed. Contact your system administrator. "
     u"\n\n Error Code: 1603",
     u"Installation Error", kStop},
    {"300 prints a code of 2^31 or more negative", 300, 0x80070005u, u"",
     u"A problem prevented the hotfix from being installed. Contact your system administrator. "
     u"\n\n Error Code: -2147024891",
     u"Installation Error", kStop},
    {"300 prints 0 when no error is pending", 300, 0, u"",
     u"A problem prevented the hotfix from being installed. Contact your system administrator. "
     u"\n\n Error Code: 0",
     u"Installation Error", kStop},
    {"301 is the only one with the information icon", 301, 5, u"Quorvel",
     u"The hotfix has been successfully installed.", u"Installation Successful", kInformation},
    {"306 names the product under its own caption, with the stop sign", 306, 0, u"Quorvel 2024",
     u"Your version of Quorvel 2024 is up-to-date and this hotfix is not necessary",
     u"Installation Unnecessary", kStop},
    {"306 with an empty name keeps both blanks", 306, 0, u"",
     u"Your version of  is up-to-date and this hotfix is not necessary",
     u"Installation Unnecessary", kStop},
    {"307 shows two lines", 307, 0, u"Quorvel", kEnglish307, u"Installation Error", kStop},
    {"308 names the product", 308, 0, u"Quorvel 2024",
     u"This hotfix could not be installed because it is not designed for the version of "
     u"Quorvel 2024 that is installed on your computer.",
     u"Installation Error", kStop},
    {"308 with an empty name keeps both blanks", 308, 0, u"",
     u"This hotfix could not be installed because it is not designed for the version of  that "
     u"is installed on your computer.",
     u"Installation Error", kStop},
    {"310 takes no argument", 310, 1603, u"Quorvel", u"You must supply a patch list.",
     u"Installation Error", kStop},
    {"an id no flow reports is shown as a failure without argument", 309, 1603, u"Quorvel",
     u"The command line that you supplied is incorrect.", u"Installation Error", kStop},
    {"an id without any text still gives a box", 314, 0, u"", u"", u"Installation Error", kStop},
};

INSTANTIATE_TEST_SUITE_P(Ids, ReportMessageById, ::testing::ValuesIn(kReportCases));

TEST_F(ReportMessageTest, QuietShowsNothingLoadsNothingAndKeepsTheLastError) {
  RunOptions.quiet = true;
  for (std::uint32_t id : {300u, 301u, 306u, 307u, 308u, 310u}) {
    world.thread.lastError = 1603;
    ReportMessage(world.platform(), id);
    EXPECT_EQ(world.thread.lastError, 1603u) << id;
  }
  EXPECT_TRUE(world.boxes.shown.empty());
  EXPECT_TRUE(world.resources.loadedIds.empty());
}

TEST_F(ReportMessageTest, TheCodeIsTakenBeforeLoadingChangesTheLastError) {
  // The fake's LoadStringW sets the last error (0 on a hit, 1814 on a miss),
  // as loading may on Windows.
  world.thread.lastError = 1618;
  ReportMessage(world.platform(), 300);
  EXPECT_NE(OnlyBox().text.find(u"Error Code: 1618"), std::u16string::npos)
      << Narrow(OnlyBox().text);
  EXPECT_EQ(world.resources.loadedIds, (std::vector<std::uint32_t>{300, 311}));
}

TEST_F(ReportMessageTest, TextAndCaptionComeFromTheThreadLanguage) {
  world.thread.SetThreadLocale(1031);
  world.thread.lastError = 1603;
  ReportMessage(world.platform(), 300);
  EXPECT_EQ(OnlyBox().text, u"Fehler. \n\n Fehlercode: 1603");
  EXPECT_EQ(OnlyBox().caption, u"Installationsfehler");
  EXPECT_EQ(OnlyBox().locale, 1031u);
}

TEST_F(ReportMessageTest, ATemplateLongerThan255ArrivesCut) {
  world.resources.AddString(1033, 307, std::u16string(300, u'x'));
  ReportMessage(world.platform(), 307);
  EXPECT_EQ(OnlyBox().text, std::u16string(255, u'x'));
}

TEST_F(ReportMessageTest, ALongProductNameIsCutToTheTemplateLengthPlus512) {
  world.resources.AddString(1033, 308, u"v %s!");  // 5 units
  CurrentProductName = std::u16string(600, u'n');
  ReportMessage(world.platform(), 308);
  // A buffer of 5 + 512 units holds 516 of text and the terminator.
  EXPECT_EQ(OnlyBox().text, u"v " + std::u16string(514, u'n'));
}

TEST_F(ReportMessageTest, APlaceholderWithoutArgumentIsShownAsWritten) {
  // A translation of 301 that names an argument the message does not carry.
  world.thread.SetThreadLocale(1045);
  world.resources.AddString(1045, 301, u"Poprawka %s zosta\u0142a zainstalowana.");
  world.resources.AddString(1045, 312, u"Instalacja zako\u0144czona");
  CurrentProductName = u"Quorvel";
  ReportMessage(world.platform(), 301);
  EXPECT_EQ(OnlyBox().text, u"Poprawka %s zosta\u0142a zainstalowana.");
  EXPECT_EQ(OnlyBox().style, kInformation);
}

TEST_F(ReportMessageTest, AMissingCaptionGivesAnEmptyCaption) {
  world.resources.strings.erase({1033, 313});
  ReportMessage(world.platform(), 306);
  EXPECT_EQ(OnlyBox().caption, u"");
  EXPECT_EQ(OnlyBox().style, kStop);
}

// The table the program ships, read from the compiled resource file.
class ShippedTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    ModuleInstance = kModule;
    std::string error;
    auto file = testing::LoadResFile(HOTFIX_RESOURCE_FILE, &error);
    ASSERT_TRUE(file.has_value()) << HOTFIX_RESOURCE_FILE << ": " << error;
    resources = std::make_unique<testing::ResFileResources>(std::move(*file));
    resources->expectedModule = kModule;
    resources->currentLanguage = [this] { return world.thread.locale; };
  }
  void TearDown() override { ResetProcessState(); }

  Platform platform() {
    return Platform{world.installer, *resources,  world.thread,      world.boxes,
                    world.files,     world.processes, world.commandLine, world.locks};
  }

  testing::FakePlatform world;
  std::unique_ptr<testing::ResFileResources> resources;
};

TEST_F(ShippedTableTest, EveryLanguageFillsItsPlaceholdersAndHasCaptions) {
  const std::uint32_t kLanguages[] = {1028, 1029, 1031, 1033, 1034, 1036, 1038,
                                      1040, 1041, 1042, 1045, 1046, 1049, 2052};
  const std::u16string kName = u"Quorvel-Testname";
  for (std::uint32_t language : kLanguages) {
    world.thread.SetThreadLocale(language);
    for (std::uint32_t id : {300u, 301u, 306u, 307u, 308u, 310u}) {
      world.boxes.shown.clear();
      world.thread.lastError = 1234567;
      CurrentProductName = kName;
      ReportMessage(platform(), id);
      ASSERT_EQ(world.boxes.shown.size(), 1u);
      const auto& box = world.boxes.shown[0];
      const std::string where = "language " + std::to_string(language) + " id " +
                                std::to_string(id) + ": [" + Narrow(box.text) + "]";
      EXPECT_FALSE(box.text.empty()) << where;
      EXPECT_FALSE(box.caption.empty()) << where;
      EXPECT_EQ(box.text.find(u"%d"), std::u16string::npos) << where;
      EXPECT_EQ(box.text.find(u"%s"), std::u16string::npos) << where;
      const bool namesProduct = id == 306 || id == 308;
      EXPECT_EQ(box.text.find(kName) != std::u16string::npos, namesProduct) << where;
      EXPECT_EQ(box.text.find(u"1234567") != std::u16string::npos, id == 300) << where;
      EXPECT_EQ(box.style, id == 301 ? kInformation : kStop) << where;
      // Text and caption in the same language: the English caption shows
      // only under English.
      const bool englishCaption = box.caption == u"Installation Error" ||
                                  box.caption == u"Installation Successful" ||
                                  box.caption == u"Installation Unnecessary";
      EXPECT_EQ(englishCaption, language == 1033) << where << " caption [" << Narrow(box.caption)
                                                  << "]";
    }
  }
}

}  // namespace
}  // namespace hotfix
