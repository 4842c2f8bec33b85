// What the reference tools do before they serve: the library's event-log records go to stderr
// (a tool run from a shell writes no system log files), both security providers are readied,
// and SIGINT/SIGTERM are blocked so that WaitForStopSignal takes them (every thread started later
// inherits the mask); SIGPIPE is ignored.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

namespace vorla::tools {

// False (after a message on stderr prefixed with `program`) when the tool cannot run.
bool PrepareToolProcess(const char* program, sigset_t& stop_signals);

// Blocks until SIGINT or SIGTERM arrives; returns "SIGINT" or "SIGTERM".
const char* WaitForStopSignal(const sigset_t& stop_signals);

// An option's number: decimal, or hexadecimal with 0x; the whole text must be the number, no sign,
// at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out);

}  // namespace vorla::tools
