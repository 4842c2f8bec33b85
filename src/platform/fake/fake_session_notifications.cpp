#include "platform/fake/fake_session_notifications.h"

namespace vorla::platform {
namespace {

class Registration final : public SessionNotifications {
 public:
  template <class S>
  explicit Registration(std::shared_ptr<S> shared)
      : release_([shared] {
          std::lock_guard<std::mutex> g(shared->lock);
          shared->sink = nullptr;
        }) {}
  ~Registration() override { release_(); }

 private:
  std::function<void()> release_;
};

}  // namespace

FakeSessionNotifications::FakeSessionNotifications() : shared_(std::make_shared<Shared>()) {
  std::shared_ptr<Shared> shared = shared_;
  SetSessionNotificationsForTesting([shared](SessionNoticeSink sink) {
    std::lock_guard<std::mutex> g(shared->lock);
    shared->sink = std::move(sink);
    ++shared->registrations;
    return std::unique_ptr<SessionNotifications>(new Registration(shared));
  });
}

FakeSessionNotifications::~FakeSessionNotifications() {
  SetSessionNotificationsForTesting(nullptr);
}

bool FakeSessionNotifications::Notify(SessionNotice notice) {
  std::lock_guard<std::mutex> g(shared_->lock);
  if (!shared_->sink) return false;
  shared_->sink(notice);
  return true;
}

int FakeSessionNotifications::registrations() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->registrations;
}

bool FakeSessionNotifications::registered() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return static_cast<bool>(shared_->sink);
}

}  // namespace vorla::platform
