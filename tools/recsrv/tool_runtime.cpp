#include "tool_runtime.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/event_log.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace vorla::tools {
namespace {

class StderrEventLog final : public platform::EventLog {
 public:
  explicit StderrEventLog(const char* program) : program_(program) {}
  bool Write(const platform::EventLogRecord& r) override {
    std::fprintf(stderr, "%s: log 0x%08X: %s\n", program_, r.code, ToUtf8(r.text).c_str());
    return true;
  }

 private:
  const char* program_;
};

}  // namespace

bool PrepareToolProcess(const char* program, sigset_t& stop_signals) {
  static StderrEventLog event_log(program);
  platform::SetEventLogForTesting(&event_log);
  if (!SecurityServer::Instance().Initialize()) {
    std::fprintf(stderr, "%s: the security provider could not be initialised\n", program);
    return false;
  }
  if (!SecurityServer_v2::Instance().initialized())
    std::fprintf(stderr, "%s: the sealing library is not ready; links stay unsealed\n", program);
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

const char* WaitForStopSignal(const sigset_t& stop_signals) {
  int sig = 0;
  sigwait(&stop_signals, &sig);
  return sig == SIGINT ? "SIGINT" : "SIGTERM";
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

}  // namespace vorla::tools
