// Child processes for tests: a function run in a forked child, and real programs started with
// their own environment and captured output. Every child is waited for or killed by its owner.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorla::test {

// Runs `body` in a forked child that ends with _exit(0) if body returns. Returns the child's exit
// code, or 128 + signal when a signal ended it, or -1 on a time-out (the child is then killed).
int RunInChild(const std::function<void()>& body, int timeout_ms = 20000);

// A program started with posix_spawn; stdout and stderr go to files in `output_dir`.
class ChildProgram {
 public:
  // `env` entries are added to (value) or removed from (nullopt) this process's environment.
  ChildProgram(const std::vector<std::string>& argv,
               const std::map<std::string, std::optional<std::string>>& env,
               const std::string& output_dir);
  ~ChildProgram();  // kills the child if it still runs
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Waits up to timeout_ms; the exit code (128 + signal), or nullopt when it still runs.
  std::optional<int> Wait(int timeout_ms);
  void Signal(int sig);
  std::string Stdout() const;
  std::string Stderr() const;
  // Poll until stderr (stdout) contains `text` or the time is up.
  bool WaitForStderr(const std::string& text, int timeout_ms) const;
  bool WaitForStdout(const std::string& text, int timeout_ms) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  std::string out_path_, err_path_;
};

// Path of a program built into the build tree's bin folder.
std::string BuiltProgram(const std::string& name);

// What a shell command writes on stdout (empty when it cannot be started).
std::string CommandOutput(const std::string& command);

}  // namespace vorla::test
