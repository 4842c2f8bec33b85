// Operating-system threads and thread identity.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace vorla::platform {

// The calling thread's system-wide identifier. Async-signal-safe.
uint32_t CurrentThreadId();

// Exit code that OsThread::ExitCode reports while the thread still runs.
inline constexpr uint32_t kStillActive = 259;

// One operating-system thread. The handle outlives the thread: it reports whether the thread is
// still active and, afterwards, its exit code. Destroying the handle never stops the thread: a
// thread that is still running is left to finish on its own.
class OsThread {
 public:
  using Entry = uint32_t (*)(void* arg);

  // Starts `entry(arg)` on a new thread with `stack_size` bytes of stack (0: the system default).
  // Returns nullptr when the thread cannot be created.
  static std::unique_ptr<OsThread> Create(Entry entry, void* arg, uint32_t stack_size);

  virtual ~OsThread() = default;
  virtual uint32_t id() const = 0;
  virtual bool IsActive() const = 0;
  // kStillActive while the thread runs, then the entry's result.
  virtual uint32_t ExitCode() const = 0;
  // Scheduling priority relative to normal (0); false when the system refuses it.
  virtual bool SetPriority(int32_t priority) = 0;
};

// Names the calling thread for debuggers and process listings (cut to what the system allows).
void SetCurrentThreadName(std::u16string_view name);

}  // namespace vorla::platform
