#include "rules/trigger_input_keyboard.h"

#include <new>

#include "common/format_string.h"
#include "common/logging.h"
#include "common/status_codes.h"
#include "platform/hotkeys.h"
#include "rules/rule_binary.h"

namespace vorla {

namespace {
constexpr int32_t kMonitorStopSeconds = 5;
// Without a stop event the wait must still come back now and then to see the stop request.
constexpr uint32_t kStopPollMs = 250;
}  // namespace

KeyBDMonitor::KeyBDMonitor(uint32_t start_modifiers, uint32_t start_key, uint32_t stop_modifiers,
                           uint32_t stop_key)
    : Thread(u"KeyboardMonitor", 0),
      start_modifiers_(start_modifiers),
      start_key_(start_key),
      stop_modifiers_(stop_modifiers),
      stop_key_(stop_key) {}

bool KeyBDMonitor::Stop(int32_t seconds) {
  // The base sets the stop flag and signals the stop event, which is what the wait in Run
  // listens to besides the hot keys: the thread wakes at once.
  return Thread::Stop(seconds);
}

KeyBDMonitor::~KeyBDMonitor() { Stop(kMonitorStopSeconds); }

uint32_t KeyBDMonitor::Run() {
  // The listener's connection belongs to this thread alone.
  std::unique_ptr<platform::HotKeyListener> keys = platform::CreateHotKeyListener();
  if (!keys) return 0;
  const auto start_id = static_cast<int32_t>(start_key_);
  const auto stop_id = static_cast<int32_t>(stop_key_);
  if (!keys->Register(start_id, start_modifiers_, start_key_)) return 0;
  if (!keys->Register(stop_id, stop_modifiers_, stop_key_)) {
    keys->Unregister(start_id);
    return 0;
  }
  platform::Event* wake = stop_event();
  const uint32_t timeout = wake != nullptr ? platform::kWaitInfinite : kStopPollMs;
  while (!stop_requested_) {
    int32_t id = 0;
    const platform::HotKeyWaitResult r = keys->Wait(wake, timeout, id);
    if (r == platform::HotKeyWaitResult::kFailed) break;  // the desktop connection is gone
    if (r != platform::HotKeyWaitResult::kHotKey) continue;
    // The start key is tested first, so equal start and stop keys only ever switch on.
    if (id == start_id) {
      state_ = true;
    } else if (id == stop_id) {
      state_ = false;
    }
  }
  keys->Unregister(start_id);
  keys->Unregister(stop_id);
  return 0;
}

TriggerInputKeyBoard::~TriggerInputKeyBoard() { DiscardMonitor(); }

void TriggerInputKeyBoard::DiscardMonitor() {
  if (!monitor_) return;
  if (!monitor_->Stop(kMonitorStopSeconds)) {
    // A thread that did not end still uses the object: leave both behind rather than free memory
    // under it.
    (void)monitor_.release();
    return;
  }
  monitor_.reset();
}

bool TriggerInputKeyBoard::Write(ByteWriter* out, size_t& size) const {
  rules_internal::WriteCursor c(out);
  c.Utf16z(name);
  c.U32(start_key);
  c.U32(start_modifiers);
  c.U32(stop_key);
  c.U32(stop_modifiers);
  size = c.size();
  return true;
}

bool TriggerInputKeyBoard::Read(ByteReader& in) {
  DiscardMonitor();
  std::u16string n;
  uint32_t sk = 0, sm = 0, ek = 0, em = 0;
  in.Utf16z(n);
  in.U32(sk);
  in.U32(sm);
  in.U32(ek);
  in.U32(em);
  if (in.failed()) return false;
  name = std::move(n);
  start_key = sk;
  start_modifiers = sm;
  stop_key = ek;
  stop_modifiers = em;
  return true;
}

std::u16string TriggerInputKeyBoard::Describe() const {
  return FormatString(u"KEY: Sart 0x%x Stop 0x%x", start_key, stop_key);
}

bool TriggerInputKeyBoard::Evaluate() {
  if (!monitor_) {
    monitor_.reset(new (std::nothrow)
                       KeyBDMonitor(start_modifiers, start_key, stop_modifiers, stop_key));
    const bool started = monitor_ != nullptr && monitor_->Start();
    LogIfFailed(started, kStatusInternalError,
                u"Failed to create/start keyboard monitor for KEY trigger.", 3,
                EVENTLOG_WARNING_TYPE);
    if (!monitor_) return false;
  }
  return monitor_->state();
}

}  // namespace vorla
