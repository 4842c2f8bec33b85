// vorla-cfgsim: a Configurator for workstations (see --help).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cfgsim_options.h"
#include "configurator.h"
#include "tool_runtime.h"

int main(int argc, char** argv) {
  using namespace vorla;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = cfgsim::ParseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "vorla-cfgsim: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(cfgsim::HelpText().c_str(), stdout);
    return 0;
  }
  sigset_t stop_signals;
  if (!tools::PrepareToolProcess("vorla-cfgsim", stop_signals)) return 1;

  cfgsim::Configurator cfg(*options, stdout);
  if (!cfg.Start(error)) {
    std::fprintf(stderr, "vorla-cfgsim: %s\n", error.c_str());
    return 1;
  }
  // The commands run beside the signal wait, so that a signal stops a script that waits.
  std::atomic<bool> commands_failed{false};
  std::thread commands([&] {
    std::string e;
    for (const auto& [kind, text] : options->commands) {
      if (cfg.stopping()) break;
      const bool ok = kind == "script" ? cfg.RunScript(text, e) : cfg.Execute(text, e);
      if (!ok) {
        cfg.Say("vorla-cfgsim: command failed: " + e);
        commands_failed = true;
        break;
      }
    }
    if (!commands_failed) cfg.Say("vorla-cfgsim: commands done");
    if (options->exit_after_commands) kill(getpid(), SIGTERM);
  });
  cfg.Say(std::string("vorla-cfgsim: stopping (") + tools::WaitForStopSignal(stop_signals) + ")");
  cfg.Stop();
  commands.join();
  return commands_failed ? 1 : 0;
}
