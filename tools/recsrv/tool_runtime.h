// What the reference tools do before they serve: the library's event-log records go to stderr
// (a tool run from a shell writes no system log files), both security providers are readied,
// and SIGINT/SIGTERM are blocked so that WaitForStopSignal takes them (every thread started later
// inherits the mask); SIGPIPE is ignored.
#pragma once

#include <signal.h>

namespace vorla::tools {

// False (after a message on stderr prefixed with `program`) when the tool cannot run.
bool PrepareToolProcess(const char* program, sigset_t& stop_signals);

// Blocks until SIGINT or SIGTERM arrives; returns "SIGINT" or "SIGTERM".
const char* WaitForStopSignal(const sigset_t& stop_signals);

}  // namespace vorla::tools
