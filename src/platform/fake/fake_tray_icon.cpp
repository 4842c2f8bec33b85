#include "platform/fake/fake_tray_icon.h"

namespace vorla::platform {

class FakeTrayIcon final : public TrayIcon {
 public:
  using Shared = FakeTray::Shared;
  explicit FakeTrayIcon(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
    std::lock_guard<std::mutex> g(shared_->lock);
    ++shared_->created;
    ++shared_->alive;
  }
  ~FakeTrayIcon() override {
    std::lock_guard<std::mutex> g(shared_->lock);
    shared_->shown = false;
    --shared_->alive;
  }

  bool Add(const TrayImage& image, const std::u16string& tip) override {
    std::lock_guard<std::mutex> g(shared_->lock);
    bool ok = shared_->running;
    if (ok && shared_->fail_adds > 0) {
      --shared_->fail_adds;
      ok = false;
    }
    wanted_ = true;
    if (ok) {
      shared_->shown = true;
      shared_->tip = tip;
    }
    shared_->calls.push_back({FakeTray::Op::kAdd, image, tip, ok});
    return ok;
  }
  bool Modify(const TrayImage& image, const std::u16string& tip) override {
    std::lock_guard<std::mutex> g(shared_->lock);
    // As the system's tray icon: an icon once added (and not deleted) is shown again by a change
    // as soon as a tray runs.
    const bool ok = shared_->running && wanted_;
    shared_->shown = ok;
    if (ok) shared_->tip = tip;
    shared_->calls.push_back({FakeTray::Op::kModify, image, tip, ok});
    return ok;
  }
  void Delete() override {
    std::lock_guard<std::mutex> g(shared_->lock);
    wanted_ = false;
    shared_->shown = false;
    shared_->calls.push_back({FakeTray::Op::kDelete, {}, {}, true});
  }
  Waitable* events() override { return nullptr; }
  void ProcessEvents() override {}

 private:
  std::shared_ptr<Shared> shared_;
  bool wanted_ = false;  // added and not deleted; guarded by shared_->lock
};

FakeTray::FakeTray() : shared_(std::make_shared<Shared>()) {
  std::shared_ptr<Shared> shared = shared_;
  SetTrayIconForTesting(
      [shared]() -> std::unique_ptr<TrayIcon> { return std::make_unique<FakeTrayIcon>(shared); });
}

FakeTray::~FakeTray() { SetTrayIconForTesting(nullptr); }

void FakeTray::SetRunning(bool running) {
  std::lock_guard<std::mutex> g(shared_->lock);
  shared_->running = running;
  if (!running) shared_->shown = false;
}

void FakeTray::FailNextAdds(int count) {
  std::lock_guard<std::mutex> g(shared_->lock);
  shared_->fail_adds = count;
}

std::vector<FakeTray::Call> FakeTray::calls() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->calls;
}

void FakeTray::ClearCalls() {
  std::lock_guard<std::mutex> g(shared_->lock);
  shared_->calls.clear();
}

bool FakeTray::shown() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->shown;
}

std::u16string FakeTray::shown_tip() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->tip;
}

int FakeTray::icons_created() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->created;
}

int FakeTray::icons_alive() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->alive;
}

}  // namespace vorla::platform
