// A source of session notices driven by the test: installed as the factory of
// RegisterSessionNotifications, it keeps the sink of the current registration so that Notify
// delivers a notice as the system would, from the calling thread.
#pragma once

#include <memory>
#include <mutex>

#include "platform/session_notifications.h"

namespace vorla::platform {

class FakeSessionNotifications {
 public:
  FakeSessionNotifications();   // installs itself as the factory
  ~FakeSessionNotifications();  // removes the factory

  // Delivers `notice` to the registered sink; false when nothing is registered.
  bool Notify(SessionNotice notice);
  int registrations() const;
  bool registered() const;

 private:
  struct Shared {
    mutable std::mutex lock;
    SessionNoticeSink sink;
    int registrations = 0;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace vorla::platform
