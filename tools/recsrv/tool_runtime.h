// What the reference tools do before they serve: the library's event-log records go to stderr
// (a tool run from a shell writes no system log files), both security providers are readied,
// and SIGINT/SIGTERM are blocked so that WaitForStopSignal takes them (every thread started later
// inherits the mask); SIGPIPE is ignored.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vorla::tools {

// False (after a message on stderr prefixed with `program`) when the tool cannot run.
bool PrepareToolProcess(const char* program, sigset_t& stop_signals);

// Blocks until SIGINT or SIGTERM arrives; returns "SIGINT" or "SIGTERM".
const char* WaitForStopSignal(const sigset_t& stop_signals);

// An option's number: decimal, or hexadecimal with 0x; the whole text must be the number, no sign,
// at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out);

// The value of the option at args[i] (the next word, which it consumes), with the error a user
// sees when it is missing or not a number in range.
class OptionValue {
 public:
  OptionValue(const std::vector<std::string>& args, size_t& i, std::string& error)
      : args_(args), i_(i), error_(error) {}
  bool Text(std::string& out) {
    if (i_ + 1 >= args_.size()) {
      error_ = "option " + args_[i_] + " needs a value";
      return false;
    }
    out = args_[++i_];
    return true;
  }
  bool Number(uint64_t max, uint64_t& out) {
    const std::string option = args_[i_];
    std::string v;
    if (!Text(v)) return false;
    if (!ParseNumber(v, max, out)) {
      error_ = "option " + option + ": not a number in range: " + v;
      return false;
    }
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t& i_;
  std::string& error_;
};

}  // namespace vorla::tools
