#include "install/installation_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_options.h"
#include "install/cached_package.h"
#include "install/product_list.h"
#include "messages/current_product_name.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakeInstaller;
using testing::FakePlatform;
using testing::Narrow;

constexpr char16_t kTempDir[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
constexpr char16_t kTempPackage[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\MSP2";
constexpr char kPackageBytes[] = "MSP package bytes";

constexpr std::uint32_t kEnglish = 1033;
constexpr std::uint32_t kGerman = 1031;
constexpr std::uint32_t kErrorStyle = 0x50010;
constexpr std::uint32_t kSuccessStyle = 0x50040;
constexpr std::uint32_t kPromptStyle = 0x50015;

constexpr char16_t kEnglishNotice[] =
    u"The following applications should be closed before continuing the install:";
constexpr char16_t kGermanNotice[] = u"Folgende Anwendungen sollten geschlossen werden:";

constexpr char16_t kCodeEn[] = u"{6A1F0000-0001-0409-0000-0000000000AB}";
constexpr char16_t kCodeDe[] = u"{6A1F0000-0001-0407-0000-0000000000AB}";
constexpr char16_t kCodeFr[] = u"{6A1F0000-0001-040C-0000-0000000000AB}";
constexpr char16_t kCodeMissing[] = u"{6A1F0000-0001-0410-0000-0000000000AB}";

void AddStrings(testing::FakeResources& resources) {
  const std::pair<std::uint32_t, const char16_t*> english[] = {
      {300, u"A problem prevented the hotfix from being installed. Contact your system "
            u"administrator. \n\n Error Code: %d"},
      {301, u"The hotfix has been successfully installed."},
      {306, u"Your version of %s is up-to-date and this hotfix is not necessary"},
      {307, u"The hotfix could not be installed because the expected Korvanta product could not "
            u"be located on your computer.\nMake sure that you are using the correct hotfix for "
            u"the product."},
      {308, u"This hotfix could not be installed because it is not designed for the version of "
            u"%s that is installed on your computer."},
      {311, u"Installation Error"},
      {312, u"Installation Successful"},
      {313, u"Installation Unnecessary"},
      {315, u"The installer has detected that the following programs\nare running.\n\n%s\nIn "
            u"order to complete installation, these programs must\nbe closed.\n%s"},
      {316, kEnglishNotice},
      {700, u"5.2.1.0"},
      {900, u"5.2.0.0,"},
  };
  for (const auto& [id, text] : english) resources.AddString(kEnglish, id, text);
  const std::pair<std::uint32_t, const char16_t*> german[] = {
      {300, u"Fehler bei der Installation. Fehlercode: %d"},
      {301, u"Der Hotfix wurde installiert."},
      {306, u"Ihre Version von %s ist aktuell"},
      {307, u"Kein Korvanta-Produkt gefunden."},
      {308, u"Nicht f\u00fcr die installierte Version von %s bestimmt."},
      {311, u"Installationsfehler"},
      {312, u"Installation erfolgreich"},
      {313, u"Installation nicht erforderlich"},
      {315, u"Programme laufen:\n%s\nBitte schlie\u00dfen.%s"},
      {316, kGermanNotice},
  };
  for (const auto& [id, text] : german) resources.AddString(kGerman, id, text);
}

std::u16string CommandLineFor(const std::u16string& patch, const std::u16string& notice) {
  return u"PATCH=\"" + patch + u"\" PATCH_NO_UNINSTALL=0 REBOOTPROMPT=S FILESINUSETEXT=\"" +
         notice + u"\"";
}

std::u16string Number(std::uint32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// A box as the user should see it. With prefixOnly the text must only begin
// with text: early failures show whatever error code the thread holds.
struct ExpectedBox {
  std::u16string text;
  std::u16string caption;
  std::uint32_t style;
  std::uint32_t locale;
  bool prefixOnly = false;
};

ExpectedBox Failed(std::uint32_t code, std::uint32_t locale) {
  if (locale == kGerman)
    return {u"Fehler bei der Installation. Fehlercode: " + Number(code), u"Installationsfehler",
            kErrorStyle, locale};
  return {u"A problem prevented the hotfix from being installed. Contact your system "
          u"administrator. \n\n Error Code: " + Number(code),
          u"Installation Error", kErrorStyle, locale};
}
ExpectedBox FailedAnyCode(std::uint32_t locale) {
  ExpectedBox box = Failed(0, locale);
  box.text.pop_back();  // the code itself
  box.prefixOnly = true;
  return box;
}
ExpectedBox Succeeded(std::uint32_t locale) {
  if (locale == kGerman)
    return {u"Der Hotfix wurde installiert.", u"Installation erfolgreich", kSuccessStyle, locale};
  return {u"The hotfix has been successfully installed.", u"Installation Successful",
          kSuccessStyle, locale};
}
ExpectedBox UpToDate(const std::u16string& name, std::uint32_t locale) {
  if (locale == kGerman)
    return {u"Ihre Version von " + name + u" ist aktuell", u"Installation nicht erforderlich",
            kErrorStyle, locale};
  return {u"Your version of " + name + u" is up-to-date and this hotfix is not necessary",
          u"Installation Unnecessary", kErrorStyle, locale};
}
ExpectedBox WrongVersion(const std::u16string& name, std::uint32_t locale) {
  if (locale == kGerman)
    return {u"Nicht f\u00fcr die installierte Version von " + name + u" bestimmt.",
            u"Installationsfehler", kErrorStyle, locale};
  return {u"This hotfix could not be installed because it is not designed for the version of " +
              name + u" that is installed on your computer.",
          u"Installation Error", kErrorStyle, locale};
}
ExpectedBox NotFound(std::uint32_t locale) {
  return {u"The hotfix could not be installed because the expected Korvanta product could not be "
          u"located on your computer.\nMake sure that you are using the correct hotfix for the "
          u"product.",
          u"Installation Error", kErrorStyle, locale};
}
ExpectedBox Prompt(std::uint32_t locale) {
  return {u"The installer has detected that the following programs\nare running.\n\nQuorvel\n\nIn "
          u"order to complete installation, these programs must\nbe closed.\n",
          u"Installation Error", kPromptStyle, locale};
}

void ExpectBoxes(const std::vector<testing::FakeMessageBoxes::Box>& shown,
                 const std::vector<ExpectedBox>& expected, const char* why) {
  ASSERT_EQ(shown.size(), expected.size()) << why;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& box = shown[i];
    const auto& want = expected[i];
    if (want.prefixOnly) {
      EXPECT_EQ(box.text.substr(0, want.text.size()), want.text) << why << ", box " << i;
    } else {
      EXPECT_EQ(box.text, want.text) << why << ", box " << i << ": " << Narrow(box.text);
    }
    EXPECT_EQ(box.caption, want.caption) << why << ", box " << i;
    EXPECT_EQ(box.style, want.style) << why << ", box " << i;
    EXPECT_EQ(box.locale, want.locale) << why << ", box " << i;
  }
}

struct ProductSetup {
  std::u16string code;
  std::u16string version;
  std::u16string language;
  std::u16string name;
  std::deque<std::uint32_t> results = {};  // of the installer, one per application
};

constexpr char16_t kInstallerDir[] = u"C:\\Windows\\Installer\\";

std::u16string PackageOf(const ProductSetup& product) {
  return kInstallerDir + product.code.substr(1, 8) + product.code.substr(20, 4) + u".msi";
}

// One machine: the hotfix's resources, a temporary directory, the products
// with their cached packages, and a user who answers the guard's prompt.
class Machine {
 public:
  explicit Machine(const std::vector<ProductSetup>& products) {
    AddStrings(fake.resources);
    fake.resources.AddResource(u"MSP", u"IDR_MSP", kPackageBytes);
    fake.files.directories.insert(kTempDir);
    fake.files.directories.insert(kInstallerDir);
    std::u16string targets;
    for (const ProductSetup& setup : products) {
      FakeInstaller::Product& product = fake.installer.products[setup.code];
      product.properties = {{u"VersionString", setup.version},
                            {u"LocalPackage", PackageOf(setup)},
                            {u"ProductName", setup.name},
                            {u"Language", setup.language}};
      product.configureResults = setup.results;
      FakeInstaller::Table sequence;
      sequence.columns = {u"Action", u"Condition"};
      sequence.rows = {{u"ResolveSourceDir", u"NOT Installed"}};
      fake.installer.databases[PackageOf(setup)].tables[u"InstallExecuteSequence"] = sequence;
      fake.files.files[PackageOf(setup)] = "cached package";
      targets += (targets.empty() ? u"" : u";") + setup.code;
    }
    SetTargets(targets);
  }

  void SetTargets(const std::u16string& targets) {
    fake.installer.summaries[kTempPackage].templateText = targets;
  }
  bool TempPackageExists() const { return fake.files.files.count(kTempPackage) != 0; }
  std::u16string CommittedCondition(const ProductSetup& setup) const {
    return fake.installer.databases.at(PackageOf(setup))
        .tables.at(u"InstallExecuteSequence")
        .rows[0][1];
  }

  FakePlatform fake;
};

// What happens at the running-program guard.
enum class Guard {
  kNotRunning,     // quor.exe is not running: no prompt
  kClosedOnRetry,  // it runs; the user closes it and chooses Retry
  kCancelled,      // it runs; the user chooses Cancel
};

class RunInstallationTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }
  void TearDown() override { ResetProcessState(); }
};

TEST_F(RunInstallationTest, Scenarios) {
  const ProductSetup en = {kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5"};
  const ProductSetup enPatched = {kCodeEn, u"5.2.1.0", u"1033", u"Quorvel 5"};
  const ProductSetup de = {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  const ProductSetup dePatched = {kCodeDe, u"5.2.1.0", u"1031", u"Quorvel 5 (Deutsch)"};
  const ProductSetup deOld = {kCodeDe, u"5.1.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  const ProductSetup frPatched = {kCodeFr, u"5.2.1.0", u"1036", u"Quorvel 5 (Fran\u00e7ais)"};
  const ProductSetup frOld = {kCodeFr, u"5.1.0.0", u"1036", u"Quorvel 5 (Fran\u00e7ais)"};
  // German (0x407) with its phone-book sort (0x10000): a locale wider than a language id.
  const ProductSetup dePhoneBook = {kCodeDe, u"5.2.0.0", u"66567", u"Quorvel 5 (Deutsch)"};
  ExpectedBox succeededPhoneBook = Succeeded(kGerman);
  succeededPhoneBook.locale = 66567;

  struct Case {
    const char* why;
    std::vector<ProductSetup> products;
    std::optional<std::u16string> targets;  // default: every product's code
    std::optional<std::u16string> applicable;  // string 900, default "5.2.0.0,"
    Guard guard;
    bool quiet;
    std::vector<ExpectedBox> boxes;
    std::vector<std::u16string> configured;  // product codes, in order
    std::vector<std::uint32_t> locales;      // SetThreadLocale calls
    bool tempDeleted;
    bool result;
  };
  const Case cases[] = {
      {"no target product installed: 307, the guard does not run",
       {}, std::u16string(kCodeMissing), {}, Guard::kCancelled, false,
       {NotFound(kEnglish)}, {}, {}, false, false},
      {"one applicable product: patched, 301",
       {en}, {}, {}, Guard::kNotRunning, false,
       {Succeeded(kEnglish)}, {kCodeEn}, {1033}, true, true},
      {"one product already patched: one 306 in the user's default locale",
       {enPatched}, {}, {}, Guard::kNotRunning, false,
       {UpToDate(u"Quorvel 5", kEnglish)}, {}, {1033, 0x400}, true, true},
      {"first up to date, second patched: no 306 at all",
       {dePatched, en}, {}, {}, Guard::kNotRunning, false,
       {Succeeded(kEnglish)}, {kCodeEn}, {1031, 1033}, true, true},
      {"both up to date: one 306 naming the second, under the user's default",
       {dePatched, frPatched}, {}, {}, Guard::kNotRunning, false,
       {UpToDate(u"Quorvel 5 (Fran\u00e7ais)", kEnglish)}, {}, {1031, 1036, 0x400}, true, true},
      {"an unlisted version: 308 in its language, the others go on",
       {deOld, en}, {}, {}, Guard::kNotRunning, false,
       {WrongVersion(u"Quorvel 5 (Deutsch)", kGerman), Succeeded(kEnglish)}, {kCodeEn},
       {1031, 1033}, true, true},
      {"success with a restart needed or started is success",
       {{kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5", {3010}},
        {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)", {1641}}},
       {}, {}, Guard::kNotRunning, false,
       {Succeeded(kEnglish), Succeeded(kGerman)}, {kCodeEn, kCodeDe}, {1033, 1031}, true, true},
      {"an installer failure shows its code and the next product is processed",
       {{kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)", {1603}}, en},
       {}, {}, Guard::kNotRunning, false,
       {Failed(1603, kGerman), Succeeded(kEnglish)}, {kCodeDe, kCodeEn}, {1031, 1033}, true, true},
      {"a failure code of 2^31 or more prints as a negative number",
       {{kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5", {0x80070005}}},
       {}, {}, Guard::kNotRunning, false,
       {{u"A problem prevented the hotfix from being installed. Contact your system "
         u"administrator. \n\n Error Code: -2147024891",
         u"Installation Error", kErrorStyle, kEnglish}},
       {kCodeEn}, {1033}, true, true},
      {"the user cancels the guard: 300, no product examined",
       {en}, {}, {}, Guard::kCancelled, false,
       {Prompt(kEnglish), FailedAnyCode(kEnglish)}, {}, {}, false, false},
      {"Retry once the program is closed: the run goes on",
       {de}, {}, {}, Guard::kClosedOnRetry, false,
       {Prompt(kEnglish), Succeeded(kGerman)}, {kCodeDe}, {1031}, true, true},
      {"the guard runs even when every product is up to date",
       {enPatched}, {}, {}, Guard::kClosedOnRetry, false,
       {Prompt(kEnglish), UpToDate(u"Quorvel 5", kEnglish)}, {}, {1033, 0x400}, true, true},
      {"the patched version listed first: 306 for that product ends the run",
       {de, en}, {}, std::u16string(u"5.2.1.0,5.2.0.0,"), Guard::kNotRunning, false,
       {UpToDate(u"Quorvel 5 (Deutsch)", kGerman)}, {}, {1031}, false, false},
      {"under /q: the same flow, only the guard's prompt is shown",
       {{kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)", {1603}}, en,
        {kCodeFr, u"5.1.0.0", u"1036", u"Quorvel 5 (Fran\u00e7ais)"}},
       {}, {}, Guard::kClosedOnRetry, true,
       {Prompt(kEnglish)}, {kCodeDe, kCodeEn}, {1031, 1033, 1036}, true, true},
      {"/q with every product up to date: nothing shown, file deleted",
       {enPatched}, {}, {}, Guard::kNotRunning, true, {}, {}, {1033, 0x400}, true, true},
      {"a code listed twice is applied twice; the second result decides",
       {{kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5", {0, 1603}}},
       std::u16string(kCodeEn) + u";" + kCodeEn, {}, Guard::kNotRunning, false,
       {Succeeded(kEnglish), Failed(1603, kEnglish)}, {kCodeEn, kCodeEn}, {1033, 1033}, true,
       true},
      {"every product at an unlisted version: one 308 each, no final 306",
       {deOld, frOld}, {}, {}, Guard::kNotRunning, false,
       {WrongVersion(u"Quorvel 5 (Deutsch)", kGerman),
        WrongVersion(u"Quorvel 5 (Fran\u00e7ais)", 1036)},
       {}, {1031, 1036}, true, true},
      {"a language above 0xFFFF reaches SetThreadLocale whole",
       {dePhoneBook}, {}, {}, Guard::kNotRunning, false,
       {succeededPhoneBook}, {kCodeDe}, {66567}, true, true},
      {"a language that is no locale leaves the previous one in force",
       {{kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"},
        {kCodeEn, u"5.1.0.0", u"Deutsch", u"Quorvel 5"}},
       {}, {}, Guard::kNotRunning, false,
       {Succeeded(kGerman), WrongVersion(u"Quorvel 5", kGerman)}, {kCodeDe}, {1031, 0}, true,
       true},
  };

  for (const Case& c : cases) {
    ResetProcessState();
    Machine machine(c.products);
    FakePlatform& fake = machine.fake;
    if (c.targets) machine.SetTargets(*c.targets);
    if (c.applicable) fake.resources.AddString(kEnglish, 900, *c.applicable);
    if (c.guard != Guard::kNotRunning) fake.processes.running = {{1234, u"Quor.exe"}};
    int boxesWhileHeld = 0;
    std::vector<bool> lockedAtBoxes;
    fake.boxes.answer = [&](const testing::FakeMessageBoxes::Box& box) {
      boxesWhileHeld += fake.files.IsHeld(kTempPackage) ? 1 : 0;
      lockedAtBoxes.push_back(fake.locks.held == 1);
      if (box.style != kPromptStyle) return kIdOk;
      if (c.guard == Guard::kCancelled) return kIdCancel;
      fake.processes.running.clear();
      return kIdRetry;
    };
    RunOptions.quiet = c.quiet;

    EXPECT_EQ(RunInstallation(fake.platform()), c.result) << c.why;

    ExpectBoxes(fake.boxes.shown, c.boxes, c.why);
    std::vector<std::u16string> configured;
    for (const auto& call : fake.installer.configureCalls) {
      configured.push_back(call.product);
      EXPECT_EQ(call.installLevel, 0) << c.why;
      EXPECT_EQ(call.installState, 5) << c.why;
    }
    EXPECT_EQ(configured, c.configured) << c.why;
    EXPECT_EQ(fake.thread.localeCalls, c.locales) << c.why;
    EXPECT_EQ(machine.TempPackageExists(), !c.tempDeleted) << c.why;
    EXPECT_EQ(fake.files.deleted.size(), c.tempDeleted ? 1u : 0u) << c.why;
    // From its writing until the service has had it for the last product,
    // so through every box; released before the program deletes it.
    EXPECT_EQ(boxesWhileHeld, static_cast<int>(fake.boxes.shown.size())) << c.why;
    EXPECT_TRUE(fake.files.held.empty()) << c.why;
    // One run at a time, from the start until the last product is done: the
    // final 306 of a run whose products were all up to date comes after.
    EXPECT_EQ(fake.locks.names, std::vector<std::u16string>{u"Global\\KorvantaHotfixInstallation"})
        << c.why;
    std::vector<bool> locked(lockedAtBoxes.size(), true);
    if (!c.locales.empty() && c.locales.back() == kLocaleUserDefault && !locked.empty())
      locked.back() = false;
    EXPECT_EQ(lockedAtBoxes, locked) << c.why;
    EXPECT_EQ(fake.locks.held, 0) << c.why;
    // Once per run, and again only after a Retry: never once per product.
    const int guardChecks =
        ProductList.empty() ? 0 : (c.guard == Guard::kClosedOnRetry ? 2 : 1);
    EXPECT_EQ(fake.processes.snapshots, guardChecks) << c.why;
    EXPECT_TRUE(fake.installer.OpenHandles().empty()) << c.why;
    EXPECT_EQ(fake.installer.badCloses(), 0) << c.why;
  }
}

TEST_F(RunInstallationTest, EditsTheCachedPackageThenAppliesThePatchWithItsCommandLine) {
  const ProductSetup de = {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  const ProductSetup en = {kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5"};
  Machine machine({de, en});
  FakePlatform& fake = machine.fake;

  EXPECT_TRUE(RunInstallation(fake.platform()));

  ASSERT_EQ(fake.installer.configureCalls.size(), 2u);
  EXPECT_EQ(fake.installer.configureCalls[0].commandLine,
            CommandLineFor(kTempPackage, kGermanNotice))
      << "the notice is loaded in the product's language";
  EXPECT_EQ(fake.installer.configureCalls[1].commandLine,
            CommandLineFor(kTempPackage, kEnglishNotice));
  ASSERT_EQ(ProductList.size(), 2u);
  EXPECT_EQ(ProductList[0].installCommandLine, CommandLineFor(kTempPackage, kGermanNotice));
  EXPECT_EQ(ProductList[1].installCommandLine, CommandLineFor(kTempPackage, kEnglishNotice));
  EXPECT_EQ(CurrentProductName, u"Quorvel 5") << "the last product's name stays";

  // Each package is edited on its copy, committed and closed, and the copy
  // put in its place, before its product is patched.
  EXPECT_EQ(machine.CommittedCondition(de), kSourceCondition);
  EXPECT_EQ(machine.CommittedCondition(en), kSourceCondition);
  const auto& calls = fake.installer.calls;
  for (const ProductSetup* setup : {&de, &en}) {
    const auto open =
        std::find(calls.begin(), calls.end(),
                  "MsiOpenDatabaseW " + Narrow(PackageOf(*setup)) + ".hotfix-edit-1 1");
    const auto configure =
        std::find(calls.begin(), calls.end(), "MsiConfigureProductExW " + Narrow(setup->code));
    ASSERT_NE(open, calls.end());
    ASSERT_NE(configure, calls.end());
    const auto closed = std::find(open, calls.end(), "MsiCloseHandle database");
    EXPECT_LT(closed, configure) << Narrow(setup->code);
  }
  EXPECT_EQ(fake.files.files.count(PackageOf(de) + u".hotfix-edit-1"), 0u);
  EXPECT_EQ(fake.files.files.count(PackageOf(en) + u".hotfix-edit-1"), 0u);
  EXPECT_EQ(fake.files.deleted, std::vector<std::u16string>{kTempPackage});
}

TEST_F(RunInstallationTest, PatchedEvenWhenTheCachedPackageCannotBeOpened) {
  const ProductSetup en = {kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5"};
  Machine machine({en});
  FakePlatform& fake = machine.fake;
  fake.installer.databases.clear();
  fake.installer.products[kCodeEn].properties[u"LocalPackage"] = u"";

  EXPECT_TRUE(RunInstallation(fake.platform()));
  ExpectBoxes(fake.boxes.shown, {Succeeded(kEnglish)}, "empty cached package path");
  EXPECT_EQ(fake.installer.CountCalls("MsiOpenDatabaseW"), 0) << "nothing to copy and open";
  EXPECT_EQ(fake.installer.configureCalls.size(), 1u);
}

TEST_F(RunInstallationTest, EarlyFailuresEndTheRunBeforeAnyProduct) {
  const ProductSetup en = {kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5"};
  struct Case {
    const char* why;
    std::function<void(Machine&)> breakIt;
    bool tempLeft;
  };
  const Case cases[] = {
      {"the package resource is missing",
       [](Machine& m) { m.fake.resources.entries.clear(); }, false},
      {"the temporary directory cannot be written",
       [](Machine& m) { m.fake.files.directories.clear(); }, false},
      {"string 700 is missing",
       [](Machine& m) { m.fake.resources.strings.erase({kEnglish, 700}); }, true},
      {"string 900 is missing",
       [](Machine& m) { m.fake.resources.strings.erase({kEnglish, 900}); }, true},
      {"the target codes cannot be read",
       [](Machine& m) { m.fake.installer.summaries.clear(); }, true},
  };
  for (const Case& c : cases) {
    ResetProcessState();
    Machine machine({en});
    c.breakIt(machine);
    machine.fake.thread.locale = kGerman;  // the initial locale is kept for the message

    EXPECT_FALSE(RunInstallation(machine.fake.platform())) << c.why;
    ExpectBoxes(machine.fake.boxes.shown, {FailedAnyCode(kGerman)}, c.why);
    EXPECT_TRUE(machine.fake.installer.configureCalls.empty()) << c.why;
    EXPECT_EQ(machine.fake.processes.snapshots, 0) << c.why << ": the guard did not run";
    EXPECT_TRUE(machine.fake.thread.localeCalls.empty()) << c.why;
    EXPECT_EQ(machine.TempPackageExists(), c.tempLeft) << c.why;
    EXPECT_TRUE(machine.fake.files.deleted.empty()) << c.why;
    EXPECT_TRUE(machine.fake.installer.OpenHandles().empty()) << c.why;
  }
}

// Hands the service a short form of a long temporary path, so that the
// package can be read although its path cannot go into a command line.
class ShortNameFileSystem : public testing::FakeFileSystem {
 public:
  std::u16string longName;
  std::u16string shortName;
  std::uint32_t GetFullPathNameW(const std::u16string& path, std::uint32_t bufferLength,
                                 char16_t* buffer) override {
    if (path != longName) return FakeFileSystem::GetFullPathNameW(path, bufferLength, buffer);
    return FakeFileSystem::GetFullPathNameW(shortName, bufferLength, buffer);
  }
};

TEST_F(RunInstallationTest, RefusesACommandLineThatWouldNotFit) {
  const ProductSetup de = {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  const ProductSetup en = {kCodeEn, u"5.2.0.0", u"1033", u"Quorvel 5"};
  struct Case {
    std::size_t directoryLength;  // of the temporary directory, closing backslash included
    bool fits;
    const char* why;
  };
  // The command line holds 62 fixed units, the German notice (48) and the
  // path: the directory and "MSP2". 1023 units fit.
  const std::size_t fixed = 62 + std::u16string(kGermanNotice).size() + 4;
  const Case cases[] = {
      {1023 - fixed, true, "exactly 1023 units fit"},
      {1024 - fixed, false, "one unit more is refused"},
      {1000, false, "far too long"},
  };
  for (const Case& c : cases) {
    ResetProcessState();
    Machine machine({de, en});
    FakePlatform& fake = machine.fake;
    ShortNameFileSystem files;
    files.tempPath = u"C:\\" + std::u16string(c.directoryLength - 4, u'd') + u"\\";
    files.directories = fake.files.directories;
    files.files = fake.files.files;
    files.installer = &fake.installer;
    files.directories.insert(files.tempPath);
    files.longName = files.tempPath + u"MSP2";
    files.shortName = u"C:\\TEMP~1\\MSP2";
    fake.installer.summaries[files.shortName] = fake.installer.summaries.at(kTempPackage);
    const Platform platform{fake.installer, fake.resources, fake.thread,      fake.boxes,
                            files,          fake.processes, fake.commandLine, fake.locks};

    EXPECT_TRUE(RunInstallation(platform)) << c.why;

    ASSERT_EQ(ProductList.size(), 2u);
    if (c.fits) {
      // The English notice is longer: that product alone is refused.
      ExpectBoxes(fake.boxes.shown, {Succeeded(kGerman), Failed(206, kEnglish)}, c.why);
      EXPECT_EQ(ProductList[0].installCommandLine.size(), 1023u) << c.why;
      EXPECT_EQ(ProductList[0].installCommandLine, CommandLineFor(files.longName, kGermanNotice))
          << c.why;
      ASSERT_EQ(fake.installer.configureCalls.size(), 1u) << c.why;
      EXPECT_EQ(fake.installer.configureCalls[0].product, kCodeDe) << c.why;
      EXPECT_EQ(fake.installer.CountCalls("MsiOpenDatabaseW"), 1)
          << c.why << ": only the patched product's package is edited";
    } else {
      ExpectBoxes(fake.boxes.shown, {Failed(206, kGerman), Failed(206, kEnglish)}, c.why);
      EXPECT_TRUE(fake.installer.configureCalls.empty()) << c.why;
      EXPECT_EQ(fake.installer.CountCalls("MsiOpenDatabaseW"), 0)
          << c.why << ": the cached package is not touched";
      EXPECT_TRUE(ProductList[0].installCommandLine.empty()) << c.why;
    }
    EXPECT_EQ(files.deleted, std::vector<std::u16string>{files.longName}) << c.why;
  }
}

TEST_F(RunInstallationTest, ASecondRunTouchesNothing) {
  const ProductSetup de = {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  struct Case {
    const char* why;
    LockResult lock;
    std::uint32_t failure;  // the last-error value a failed lock leaves
    bool quiet;
    std::vector<ExpectedBox> boxes;
  };
  const Case cases[] = {
      {"another run holds the lock: 300 with the installer's own 1618", LockResult::kTaken, 0,
       false, {Failed(kErrorInstallAlreadyRunning, kEnglish)}},
      {"the same under /q: nothing shown", LockResult::kTaken, 0, true, {}},
      {"the lock cannot be had: 300 with the reason", LockResult::kFailed, 6, false,
       {Failed(6, kEnglish)}},
  };
  for (const Case& c : cases) {
    ResetProcessState();
    Machine machine({de});
    FakePlatform& fake = machine.fake;
    fake.locks.result = c.lock;
    fake.locks.failure = c.failure;
    fake.processes.running = {{1234, u"quor.exe"}};
    RunOptions.quiet = c.quiet;
    const auto filesBefore = fake.files.files;

    EXPECT_FALSE(RunInstallation(fake.platform())) << c.why;

    ExpectBoxes(fake.boxes.shown, c.boxes, c.why);
    EXPECT_EQ(fake.files.files, filesBefore) << c.why << ": no package extracted";
    EXPECT_EQ(fake.resources.resourceLookups, 0) << c.why;
    EXPECT_TRUE(fake.installer.calls.empty()) << c.why;
    EXPECT_EQ(fake.processes.snapshots, 0) << c.why << ": no prompt either";
    EXPECT_TRUE(fake.thread.localeCalls.empty()) << c.why;
    EXPECT_EQ(fake.locks.held, 0) << c.why;
  }
}

TEST_F(RunInstallationTest, ALockWhoseHolderWasEndedIsTakenOver) {
  const ProductSetup de = {kCodeDe, u"5.2.0.0", u"1031", u"Quorvel 5 (Deutsch)"};
  Machine machine({de});
  FakePlatform& fake = machine.fake;
  fake.locks.result = LockResult::kAbandoned;

  EXPECT_TRUE(RunInstallation(fake.platform()));

  ExpectBoxes(fake.boxes.shown, {Succeeded(kGerman)}, "abandoned lock");
  ASSERT_EQ(fake.installer.configureCalls.size(), 1u);
  EXPECT_EQ(machine.CommittedCondition(de), kSourceCondition);
  EXPECT_EQ(fake.locks.held, 0);
}

}  // namespace
}  // namespace hotfix
