#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/process.h"

namespace vorla::platform {

// main()'s argv is in the ANSI code page, which loses what it cannot show: the arguments are
// split again from the UTF-16 command line, by the system's own rules.
std::vector<std::u16string> ProgramArguments(int argc, char** argv) {
  std::vector<std::u16string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(wide[i]));
    LocalFree(wide);
    return args;
  }
  for (int i = 0; i < argc; ++i) args.push_back(FromUtf8(argv[i]));
  return args;
}

}  // namespace vorla::platform
