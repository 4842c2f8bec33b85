#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/process.h"

extern char** environ;

namespace vorla::platform {
namespace {

// The spawn attributes and file actions of one start, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    if (ok_ && posix_spawn_file_actions_init(&actions_) != 0) {
      posix_spawnattr_destroy(&attr_);
      ok_ = false;
    }
  }
  ~SpawnSetup() {
    if (!ok_) return;
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard descriptors to /dev/null (or stdout to a fresh file), everything else closed,
  // default signal dispositions and an empty signal mask, so that the child starts clean whatever
  // this process has set up.
  bool Prepare(short extra_flags, const std::string& stdout_path) {
    if (!ok_) return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    bool good = posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
                posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
                posix_spawnattr_setflags(
                    &attr_, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                               extra_flags)) == 0;
    good = good && posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0;
    if (stdout_path.empty()) {
      good = good && posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0;
    } else {
      good = good &&
             posix_spawn_file_actions_addopen(&actions_, 1, stdout_path.c_str(),
                                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600) == 0;
    }
    good = good && posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
    good = good && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
    return good;
  }

  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  bool ok_ = false;
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

pid_t Spawn(const std::vector<std::u16string>& argv, short extra_flags,
            const std::string& stdout_path) {
  if (argv.empty() || argv[0].empty()) return -1;
  std::vector<std::string> args;
  args.reserve(argv.size());
  for (const auto& a : argv) args.push_back(ToUtf8(a));
  std::vector<char*> ptrs;
  for (auto& a : args) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);

  SpawnSetup setup;
  if (!setup.Prepare(extra_flags, stdout_path)) return -1;
  pid_t pid = -1;
  // glibc reports a program that cannot be executed (and a file action that fails) as the
  // result of the call, so a returned pid is a started program.
  if (posix_spawnp(&pid, args[0].c_str(), setup.actions(), setup.attr(), ptrs.data(), environ) != 0)
    return -1;
  return pid;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reaps the child if it has ended; true (with its code) when it has.
bool TryReap(pid_t pid, int& code) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return false;
  code = DecodeStatus(status);
  return true;
}

// Waits until the child ends or timeout_ms of the platform clock have passed. Polls in short
// sleeps of that clock, so that a test clock drives the time limit too.
bool WaitForExit(pid_t pid, uint32_t timeout_ms, int& code) {
  constexpr uint64_t kPollMs = 10;
  Clock& clock = GetClock();
  const uint64_t deadline = clock.TickMs() + timeout_ms;
  for (;;) {
    if (TryReap(pid, code)) return true;
    const uint64_t now = clock.TickMs();
    if (now >= deadline) return false;
    const uint64_t left = deadline - now;
    clock.SleepMs(static_cast<uint32_t>(left < kPollMs ? left : kPollMs));
  }
}

}  // namespace

ProcessRunOutcome RunProcess(const std::vector<std::u16string>& argv, uint32_t timeout_ms,
                             const std::u16string& stdout_path) {
  ProcessRunOutcome outcome;
  const pid_t pid = Spawn(argv, POSIX_SPAWN_SETPGROUP, ToUtf8(stdout_path));
  if (pid <= 0) return outcome;
  outcome.started = true;
  int code = -1;
  if (WaitForExit(pid, timeout_ms, code)) {
    outcome.exited = true;
    outcome.exit_code = code;
    return outcome;
  }
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

bool StartDetachedProcess(const std::vector<std::u16string>& argv) {
  return Spawn(argv, POSIX_SPAWN_SETSID, std::string()) > 0;
}

}  // namespace vorla::platform

namespace vorla::platform {

std::vector<std::u16string> ProgramArguments(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(FromUtf8(argv[i]));
  return args;
}

}  // namespace vorla::platform
