#include "controller/entry.h"

#include "common/logging.h"
#include "controller/workstation_service.h"
#include "platform/last_error.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace vorla {
namespace {

const void* g_module_instance = nullptr;
const char g_module_marker = 0;

std::u16string CommandLine(const std::vector<std::u16string>& args) {
  std::u16string line;
  for (const auto& a : args) {
    if (!line.empty()) line += u' ';
    line += a;
  }
  return line;
}

}  // namespace

const void* ModuleInstance() { return g_module_instance; }

int ProcessExitCode(uint32_t code) { return static_cast<int>(code & 0xFF); }

uint32_t VorlaWSMain(const std::vector<std::u16string>& args) {
  g_module_instance = &g_module_marker;
  // Both providers are ready before anything else runs. The result is not examined here: the
  // controller initialises the SecurityServer again at start-up and stops when it fails.
  SecurityServer::Instance().Initialize();
  SecurityServer_v2& sodium = SecurityServer_v2::Instance();
  if (!sodium.initialized()) sodium.Initialize();
  uint32_t exit_code = 0;
  {
    WorkStationService service;
    std::vector<std::u16string> owned(args);
    std::vector<char16_t*> argv;
    for (auto& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (service.ProcessInstallArgs(static_cast<int>(owned.size()), argv.data())) {
      g_module_instance = nullptr;
      return 0;
    }
    const std::u16string command_line = CommandLine(args);
    if (command_line.find(u"CMDLN") != std::u16string::npos) {
      // Run by hand there is no service manager, but SIGTERM and SIGINT still stop the service
      // in order (session closed at the server, closing notice, settings saved).
      const auto body = [] { CNTService::ServiceMain(CNTService::kDirectRun, nullptr); };
      if (!platform::RunWithControlSignals(body, &CNTService::Handler)) body();
    } else {
      const std::u16string& name = service.service_name();
      DebugTrace(name, u"Calling StartServiceCtrlDispatcher()");
      platform::SetLastError(0);
      platform::RunServiceDispatcher(name, &CNTService::ServiceMain);
      DebugTrace(name, u"Returned from StartServiceCtrlDispatcher(), GetLastErr=%d",
                 platform::GetLastError());
    }
    exit_code = service.status().win32_exit_code;
  }
  g_module_instance = nullptr;
  return exit_code;
}

}  // namespace vorla
