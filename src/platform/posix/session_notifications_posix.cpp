#include <mutex>

#include "platform/session_notifications.h"

namespace vorla::platform {
namespace {

using Factory = std::function<std::unique_ptr<SessionNotifications>(SessionNoticeSink)>;

std::mutex g_factory_lock;
Factory g_factory;

// Registered, but the system's notices are not read yet: nothing is ever delivered.
class SilentNotifications final : public SessionNotifications {};

}  // namespace

std::unique_ptr<SessionNotifications> RegisterSessionNotifications(SessionNoticeSink sink) {
  Factory factory;
  {
    std::lock_guard<std::mutex> g(g_factory_lock);
    factory = g_factory;
  }
  if (factory) return factory(std::move(sink));
  return std::make_unique<SilentNotifications>();
}

void SetSessionNotificationsForTesting(Factory factory) {
  std::lock_guard<std::mutex> g(g_factory_lock);
  g_factory = std::move(factory);
}

}  // namespace vorla::platform
