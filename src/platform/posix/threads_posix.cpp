#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "common/text.h"
#include "platform/threads.h"

namespace vorla::platform {
namespace {

struct Shared {
  OsThread::Entry entry = nullptr;
  void* arg = nullptr;
  std::atomic<uint32_t> tid{0};
  std::atomic<bool> active{true};
  std::atomic<uint32_t> exit_code{kStillActive};
};

void* Trampoline(void* p) {
  // The thread holds its own reference, so the record outlives whichever side ends last.
  std::shared_ptr<Shared> shared(*static_cast<std::shared_ptr<Shared>*>(p));
  delete static_cast<std::shared_ptr<Shared>*>(p);
  shared->tid.store(CurrentThreadId());
  shared->tid.notify_all();
  const uint32_t code = shared->entry(shared->arg);
  shared->exit_code.store(code);
  shared->active.store(false);
  return nullptr;
}

class PosixThread final : public OsThread {
 public:
  PosixThread(pthread_t t, std::shared_ptr<Shared> s) : thread_(t), shared_(std::move(s)) {}
  ~PosixThread() override {
    // A finished thread is reaped (it is at most returning from its trampoline); one that still
    // runs is left behind, as the owner asked for by giving up the handle.
    if (!shared_->active.load()) {
      pthread_join(thread_, nullptr);
    } else {
      pthread_detach(thread_);
    }
  }
  uint32_t id() const override {
    uint32_t t = shared_->tid.load();
    while (t == 0) {
      shared_->tid.wait(0);
      t = shared_->tid.load();
    }
    return t;
  }
  bool IsActive() const override { return shared_->active.load(); }
  uint32_t ExitCode() const override { return shared_->exit_code.load(); }
  bool SetPriority(int32_t priority) override {
    // Normal-priority threads (0) need no change; others are not supported for ordinary
    // scheduling on Linux without privileges.
    return priority == 0;
  }

 private:
  pthread_t thread_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

std::unique_ptr<OsThread> OsThread::Create(Entry entry, void* arg, uint32_t stack_size) {
  auto shared = std::make_shared<Shared>();
  shared->entry = entry;
  shared->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return nullptr;
  if (stack_size != 0) {
    const size_t size = stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size;
    pthread_attr_setstacksize(&attr, size);
  }
  auto* ref = new std::shared_ptr<Shared>(shared);
  pthread_t t;
  const int rc = pthread_create(&t, &attr, &Trampoline, ref);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete ref;
    return nullptr;
  }
  return std::make_unique<PosixThread>(t, std::move(shared));
}

void SetCurrentThreadName(std::u16string_view name) {
  char buf[16];
  ToUtf8Buffer(name, buf, sizeof(buf));
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace vorla::platform
