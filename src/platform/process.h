// Starting other programs: one waited for with a time limit, or one left to run on its own.
//
// argv[0] names the program: a name with a "/" is run as it stands, a bare name is looked up in
// the search path (PATH). The child gets this process's environment and working folder, no open
// descriptor of ours (nothing is inherited), standard input from /dev/null and standard output and
// error to /dev/null unless a file is named for standard output. Thread-safe; never logs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorla::platform {

struct ProcessRunOutcome {
  bool started = false;  // the program could be started
  bool exited = false;   // it ended within the time limit
  int exit_code = -1;    // when exited: its exit code, or 128 + signal
};

// Starts the program and waits for it at most timeout_ms. A program that is still running when
// the time is up is killed together with the processes it started (it runs in a process group of
// its own), so that nothing keeps writing into our files after we have moved on.
// With `stdout_path`, standard output goes to that file, which is created for the child and must
// not exist yet (the start fails when it does).
ProcessRunOutcome RunProcess(const std::vector<std::u16string>& argv, uint32_t timeout_ms,
                             const std::u16string& stdout_path = {});

// Starts the program in a session of its own and does not wait for it; true when it started.
bool StartDetachedProcess(const std::vector<std::u16string>& argv);

// This program's own arguments, the program first, from what main() received: decoded from UTF-8
// where the system passes UTF-8, re-read from the process's UTF-16 command line where main()'s
// strings are in a narrower code page (Windows).
std::vector<std::u16string> ProgramArguments(int argc, char** argv);

}  // namespace vorla::platform
