#include <vector>

#include "platform/process.h"
#include "service/crash_handler.h"
#include "controller/entry.h"

int main(int argc, char** argv) {
  vorla::InstallThreadExceptionFilter();
  const std::vector<std::u16string> args = vorla::platform::ProgramArguments(argc, argv);
  return vorla::ProcessExitCode(vorla::VorlaWSMain(args));
}
