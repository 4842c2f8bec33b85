#include "service/thread.h"

#include <chrono>
#include <thread>

#include "platform/crash_capture.h"

namespace vorla {

Thread::Thread(std::u16string name, int32_t priority)
    : stop_event_(std::make_unique<platform::Event>()),
      name_(std::move(name)),
      priority_(priority) {
  if (!stop_event_->valid()) stop_event_.reset();
}

Thread::~Thread() = default;

uint32_t Thread::Run() { return 1; }

bool Thread::Start() {
  if (running_) return true;
  stop_requested_ = false;
  finished_ = false;
  thread_.reset();
  // Marked before the thread exists: a Run that is over before Create returns clears the mark
  // itself and must not find it set again afterwards (the next Start would do nothing).
  running_ = true;
  thread_ = platform::OsThread::Create(&Thread::Entry, this, stack_size_);
  if (!thread_) {
    running_ = false;
    return false;
  }
  thread_id_ = thread_->id();
  thread_->SetPriority(priority_);
  return true;
}

uint32_t Thread::Entry(void* arg) noexcept {
  if (arg == nullptr) return 13;
  auto* self = static_cast<Thread*>(arg);
  platform::PrepareThreadForCrashCapture();
  self->running_ = true;
  self->finished_ = false;
  // A fixed copy of the name, so the crash handler never touches the object.
  char16_t name[260];
  const size_t n = std::min<size_t>(self->name_.size(), 259);
  self->name_.copy(name, n);
  name[n] = u'\0';
  platform::SetCrashThreadName(name, n);
  platform::SetCurrentThreadName({name, n});
  // Entry is noexcept: an exception escaping Run reaches the crash handler with its stack intact.
  const uint32_t result = self->Run();
  self->finished_ = true;
  self->running_ = false;
  return result;
}

bool Thread::Stop(int32_t seconds) {
  if (!running_) return true;
  stop_requested_ = true;
  if (stop_event_) stop_event_->Set();
  auto gone = [this] {
    return !running_ || finished_ || (thread_ && thread_->ExitCode() != platform::kStillActive);
  };
  // A wait for another thread, not a timing rule: real 10 ms polls.
  for (int64_t i = 0; i < static_cast<int64_t>(seconds) * 100; ++i) {
    if (gone()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!running_ || finished_) {
    // Run has returned, but the entry still writes the flags after that; the owner may destroy
    // the object as soon as this returns, so wait (briefly) until the thread has let go of it.
    for (int i = 0; thread_ && thread_->IsActive() && i < 10000; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return true;
  }
  return !thread_ || !thread_->IsActive();
}

bool Thread::IsRunning() const {
  return running_ && !finished_ && thread_ && thread_->ExitCode() == platform::kStillActive;
}

}  // namespace vorla
