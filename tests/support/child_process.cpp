#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace vorla::test {
namespace {

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::optional<int> WaitPid(pid_t pid, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return DecodeStatus(status);
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

int RunInChild(const std::function<void()>& body, int timeout_ms) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    body();
    _exit(0);
  }
  auto code = WaitPid(pid, timeout_ms);
  if (!code) {
    kill(pid, SIGKILL);
    WaitPid(pid, 5000);
    return -1;
  }
  return *code;
}

ChildProgram::ChildProgram(const std::vector<std::string>& argv,
                           const std::map<std::string, std::optional<std::string>>& env,
                           const std::string& output_dir)
    : out_path_(output_dir + "/stdout-" + std::to_string(reinterpret_cast<uintptr_t>(this))),
      err_path_(output_dir + "/stderr-" + std::to_string(reinterpret_cast<uintptr_t>(this))) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : env) {
    if (v)
      merged[k] = *v;
    else
      merged.erase(k);
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy(argv);
  for (auto& a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with the default signal mask and dispositions, whatever the test runner has.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

ChildProgram::~ChildProgram() {
  if (pid_ > 0 && !exit_code_) {
    kill(pid_, SIGKILL);
    WaitPid(pid_, 5000);
  }
}

std::optional<int> ChildProgram::Wait(int timeout_ms) {
  if (exit_code_ || pid_ <= 0) return exit_code_;
  exit_code_ = WaitPid(pid_, timeout_ms);
  return exit_code_;
}

void ChildProgram::Signal(int sig) {
  if (pid_ > 0 && !exit_code_) kill(pid_, sig);
}

std::string ChildProgram::Stdout() const { return ReadFile(out_path_); }
std::string ChildProgram::Stderr() const { return ReadFile(err_path_); }

namespace {

bool PollFileFor(const std::string& path, const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadFile(path).find(text) != std::string::npos;
}

}  // namespace

bool ChildProgram::WaitForStderr(const std::string& text, int timeout_ms) const {
  return PollFileFor(err_path_, text, timeout_ms);
}

bool ChildProgram::WaitForStdout(const std::string& text, int timeout_ms) const {
  return PollFileFor(out_path_, text, timeout_ms);
}

std::string BuiltProgram(const std::string& name) {
  return std::string(VORLA_TEST_BIN_DIR) + "/" + name;
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

}  // namespace vorla::test
