#include <vector>

#include "common/text.h"
#include "service/crash_handler.h"
#include "controller/entry.h"

int main(int argc, char** argv) {
  vorla::InstallThreadExceptionFilter();
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(vorla::FromUtf8(argv[i]));
  return vorla::ProcessExitCode(vorla::VorlaWSMain(args));
}
