// The command-line splitter and ParseCommandLine with any command line.
#include <cstddef>
#include <cstdint>

#include "app/command_line_parser.h"
#include "app/process_state.h"
#include "app/run_options.h"
#include "platform/command_line.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  const std::u16string line = fuzz::AsText(data, size);

  const std::vector<std::u16string> arguments = SplitCommandLine(line, u"hotfix.exe");
  FUZZ_CHECK(!arguments.empty());  // the program path is always there
  std::size_t units = 0;
  for (const auto& argument : arguments) units += argument.size();
  FUZZ_CHECK(units <= line.size() + 10);  // nothing is made up

  ResetProcessState();
  testing::FakeCommandLine commandLine;
  commandLine.commandLine = line;
  ParseCommandLine(commandLine);
  const RunOptionsRecord& options = RunOptions;
  // The default mode runs exactly when no flow was chosen.
  FUZZ_CHECK(options.install == !(options.extract || options.patchList || options.listProducts));
  FUZZ_CHECK(options.extract || options.extractPath.empty());
  FUZZ_CHECK(options.patchList || options.patchListPath.empty());
  return 0;
}
