// The process entry of VorlaWS.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorla {

// Runs the program with its arguments (argv[0] is the program path) and returns its exit code
// before the reduction to 8 bits (see ProcessExitCode).
//   "-v", "-i", "-u" as the first argument: report, install or remove the service.
//   "CMDLN" anywhere in the command line (case-sensitive): run the service body directly.
//   otherwise: hand the process to the service manager.
uint32_t VorlaWSMain(const std::vector<std::u16string>& args);

// The process exit code the system can carry: the low 8 bits (0xFFFFFFFF gives 255, 998 gives 230).
int ProcessExitCode(uint32_t code);

// Opaque identity of the running program module, set while VorlaWSMain runs (nullptr otherwise).
const void* ModuleInstance();

}  // namespace vorla
