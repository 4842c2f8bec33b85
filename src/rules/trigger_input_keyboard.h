// The hot-key input: switched on by one system-wide hot key, off by another.
//
// The hot keys are watched by a KeyBDMonitor, a worker thread that the input starts on its first
// evaluation (so whether it starts at all depends on the rule's short-circuit order) and stops
// when it is re-read or destroyed. The monitor writes the input's value; the controller thread
// reads it without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "rules/trigger_input_base.h"
#include "service/thread.h"

namespace vorla {

// The worker thread behind one keyboard input ("KeyboardMonitor", priority 0). Registers the
// start and stop hot keys for itself (identifier = the key's virtual-key code) on its own
// connection to the desktop, then waits for their presses, blocking without cost until a press
// or a stop. A failed registration ends the thread at once, leaving the state false.
// Created, started, stopped and destroyed only by its keyboard input, on the controller thread.
class KeyBDMonitor final : public Thread {
 public:
  KeyBDMonitor(uint32_t start_modifiers, uint32_t start_key, uint32_t stop_modifiers,
               uint32_t stop_key);
  // Asks the thread to stop and wakes its wait at once (through the stop event), then waits up
  // to `seconds` for it to end.
  bool Stop(int32_t seconds) override;
  // Stops the thread (5 s) if it still runs. The owner must not destroy a monitor whose Stop
  // failed (see TriggerInputKeyBoard).
  ~KeyBDMonitor() override;
  uint32_t Run() override;

  // The keyboard input's value: true after a start key press, false after a stop key press.
  bool state() const { return state_.load(); }

 private:
  std::atomic<bool> state_{false};
  const uint32_t start_modifiers_;
  const uint32_t start_key_;
  const uint32_t stop_modifiers_;
  const uint32_t stop_key_;
};

// Body: name, start key, start modifiers, stop key, stop modifiers (32-bit each). Keys are
// virtual-key codes, modifiers the hot-key modifier flags (alt, control, shift, windows key).
class TriggerInputKeyBoard final : public TriggerInputBase {
 public:
  TriggerInputKeyBoard() : TriggerInputBase(kTriggerInputTypeKeyBoard, u"") {}
  // Stops (5 s) and destroys the monitor.
  ~TriggerInputKeyBoard() override;

  bool Write(ByteWriter* out, size_t& size) const override;
  // Stops (5 s) and destroys the monitor first, whether or not the read succeeds; the next
  // evaluation starts a new one with the keys then in place.
  bool Read(ByteReader& in) override;
  // "KEY: Sart 0x%x Stop 0x%x" with start key and stop key.
  std::u16string Describe() const override;
  // Starts the monitor on the first call (logging 0xC0000FA0 once if it cannot be created or
  // started; a monitor whose start failed is kept and never started again, one that could not be
  // created is tried again next time). The value is the monitor's state; FALSE without one.
  bool Evaluate() override;

  // The running monitor, if any (for tests and diagnostics).
  const KeyBDMonitor* monitor() const { return monitor_.get(); }

  uint32_t start_key = 0;
  uint32_t start_modifiers = 0;
  uint32_t stop_key = 0;
  uint32_t stop_modifiers = 0;

 private:
  void DiscardMonitor();

  std::unique_ptr<KeyBDMonitor> monitor_;  // in memory only
};

}  // namespace vorla
