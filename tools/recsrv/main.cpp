// vorla-recsrv: a recording server for workstations (see --help).
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "options.h"
#include "platform/event_log.h"
#include "recording_server.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace {

// The network library reports through the event log; a tool run from a shell shows those
// records on stderr instead of writing system log files.
class StderrEventLog final : public vorla::platform::EventLog {
 public:
  bool Write(const vorla::platform::EventLogRecord& r) override {
    std::fprintf(stderr, "vorla-recsrv: log 0x%08X: %s\n", r.code,
                 vorla::ToUtf8(r.text).c_str());
    return true;
  }
};

}  // namespace

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
  static StderrEventLog event_log;
  platform::SetEventLogForTesting(&event_log);
  if (!SecurityServer::Instance().Initialize()) {
    std::fprintf(stderr, "vorla-recsrv: the security provider could not be initialised\n");
    return 1;
  }
  if (!SecurityServer_v2::Instance().initialized())
    std::fprintf(stderr, "vorla-recsrv: the sealing library is not ready; links stay unsealed\n");

  // The signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  recsrv::RecordingServer server(*options, stdout);
  if (!server.Start(error)) {
    std::fprintf(stderr, "vorla-recsrv: %s\n", error.c_str());
    return 1;
  }
  int sig = 0;
  sigwait(&stop_signals, &sig);
  server.Say(std::string("vorla-recsrv: stopping (") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
             ")");
  server.Stop();
  return 0;
}
