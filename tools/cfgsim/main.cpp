// vorla-cfgsim: a Configurator for workstations (see --help).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cfgsim_options.h"
#include "common/text.h"
#include "configurator.h"
#include "platform/event_log.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace {

// The network library reports through the event log; a tool run from a shell shows those
// records on stderr instead of writing system log files.
class StderrEventLog final : public vorla::platform::EventLog {
 public:
  bool Write(const vorla::platform::EventLogRecord& r) override {
    std::fprintf(stderr, "vorla-cfgsim: log 0x%08X: %s\n", r.code,
                 vorla::ToUtf8(r.text).c_str());
    return true;
  }
};

}  // namespace

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
  static StderrEventLog event_log;
  platform::SetEventLogForTesting(&event_log);
  if (!SecurityServer::Instance().Initialize()) {
    std::fprintf(stderr, "vorla-cfgsim: the security provider could not be initialised\n");
    return 1;
  }
  if (!SecurityServer_v2::Instance().initialized())
    std::fprintf(stderr, "vorla-cfgsim: the sealing library is not ready; links stay unsealed\n");

  // The signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

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
  int sig = 0;
  sigwait(&stop_signals, &sig);
  cfg.Say(std::string("vorla-cfgsim: stopping (") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  cfg.Stop();
  commands.join();
  return commands_failed ? 1 : 0;
}
