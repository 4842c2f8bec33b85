#include <mutex>

#include "platform/session_notifications.h"
#include "platform/posix/logind_monitor.h"

namespace vorla::platform {
namespace {

using Factory = std::function<std::unique_ptr<SessionNotifications>(SessionNoticeSink)>;

std::mutex g_factory_lock;
Factory g_factory;

// One sink of the process's login-manager monitor.
class LogindNotifications final : public SessionNotifications {
 public:
  explicit LogindNotifications(SessionNoticeSink sink) : monitor_(LogindMonitor::Acquire()) {
    token_ = monitor_->AddSink(std::move(sink));
  }
  ~LogindNotifications() override { monitor_->RemoveSink(token_); }

 private:
  std::shared_ptr<LogindMonitor> monitor_;
  uint64_t token_ = 0;
};

}  // namespace

std::unique_ptr<SessionNotifications> RegisterSessionNotifications(SessionNoticeSink sink) {
  Factory factory;
  {
    std::lock_guard<std::mutex> g(g_factory_lock);
    factory = g_factory;
  }
  if (factory) return factory(std::move(sink));
  return std::make_unique<LogindNotifications>(std::move(sink));
}

void SetSessionNotificationsForTesting(Factory factory) {
  std::lock_guard<std::mutex> g(g_factory_lock);
  g_factory = std::move(factory);
}

}  // namespace vorla::platform
