// The base of every worker thread: one operating-system thread with a name, a priority, a stop
// event and three status flags, started and stopped by one protocol.
//
// Start and Stop are called by the owning thread. The flags are written by one side and polled by
// the other. Stop only asks and waits: Run must return when stop_requested_ is set or the stop
// event is signalled. The destructor does not stop the thread: owners call Stop first (a derived
// class stops its thread before its own members go away). An exception escaping Run ends the
// process through the crash handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/threads.h"

namespace vorla {

class Thread {
 public:
  Thread(std::u16string name, int32_t priority);

  // Signals the stop and waits up to `seconds` (polling every 10 ms) for Run to return. True when
  // the thread is gone; false when it still runs. Stop(0) only signals.
  virtual bool Stop(int32_t seconds);
  // Starts the thread; true at once when it is already running. False when the system could not
  // create the thread (nothing is logged here).
  virtual bool Start();
  virtual ~Thread();
  // The thread's work; its result becomes the thread's exit code.
  virtual uint32_t Run();

  // True while Run runs and the system still reports the thread as active.
  bool IsRunning() const;

  const std::u16string& name() const { return name_; }
  uint32_t thread_id() const { return thread_id_; }

 protected:
  // The auto-reset stop event, nullptr when the system could not create it.
  platform::Event* stop_event() { return stop_event_.get(); }

  uint32_t stack_size_ = 0;  // 0: the system default
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> running_{false};

 private:
  static uint32_t Entry(void* arg) noexcept;

  std::unique_ptr<platform::Event> stop_event_;
  std::unique_ptr<platform::OsThread> thread_;
  std::u16string name_;
  uint32_t thread_id_ = 0;
  int32_t priority_;
};

}  // namespace vorla
