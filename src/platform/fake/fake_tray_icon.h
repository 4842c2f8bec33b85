// A tray driven by the test: installed as the factory of CreateTrayIcon, it records every call of
// the icons it makes and answers them as scripted (no tray, a tray that goes away).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tray_icon.h"

namespace vorla::platform {

class FakeTray {
 public:
  enum class Op { kAdd, kModify, kDelete };
  struct Call {
    Op op;
    TrayImage image;     // kAdd, kModify
    std::u16string tip;  // kAdd, kModify
    bool result;         // kAdd, kModify
  };

  FakeTray();   // installs itself as the factory
  ~FakeTray();  // removes the factory

  // While false (the default is true) no tray runs: Add and Modify fail, and the icon is gone;
  // once it runs again a Modify shows an icon that was added before (and not deleted).
  void SetRunning(bool running);
  // The next `count` adds fail even with a tray running.
  void FailNextAdds(int count);

  std::vector<Call> calls() const;
  void ClearCalls();
  // Whether an icon is shown now, and with which tip.
  bool shown() const;
  std::u16string shown_tip() const;
  int icons_created() const;
  int icons_alive() const;

 private:
  friend class FakeTrayIcon;
  struct Shared {
    mutable std::mutex lock;
    bool running = true;
    int fail_adds = 0;
    bool shown = false;
    std::u16string tip;
    std::vector<Call> calls;
    int created = 0;
    int alive = 0;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace vorla::platform
