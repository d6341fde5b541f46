// inspect-patch: what a Windows Installer patch or a hotfix.exe changes.
#include "command.h"

int main(int argc, char** argv) {
  return inspectpatch::Run(std::vector<std::string>(argv + 1, argv + argc), HOTFIX_TOOLS_VERSION);
}
