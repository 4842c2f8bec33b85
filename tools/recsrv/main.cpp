// vorla-recsrv: a recording server for workstations (see --help).
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "recording_server.h"
#include "tool_runtime.h"

int main(int argc, char** argv) {
  using namespace vorla;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = recsrv::ParseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "vorla-recsrv: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(recsrv::HelpText().c_str(), stdout);
    return 0;
  }
  sigset_t stop_signals;
  if (!tools::PrepareToolProcess("vorla-recsrv", stop_signals)) return 1;

  recsrv::RecordingServer server(*options, stdout);
  if (!server.Start(error)) {
    std::fprintf(stderr, "vorla-recsrv: %s\n", error.c_str());
    return 1;
  }
  server.Say(std::string("vorla-recsrv: stopping (") + tools::WaitForStopSignal(stop_signals) +
             ")");
  server.Stop();
  return 0;
}
