// System-wide hot keys for one listening thread.
//
// A HotKeyListener belongs to the thread that created it and is used only by that thread (on X11
// it owns a display connection of its own, and connections are not shared between threads). It
// registers hot keys given as Windows virtual-key codes and hot-key modifier flags (the rule
// files carry those) and waits for their presses. Another thread interrupts a wait only through
// the Event passed to Wait, never by touching the listener.
//
// Mapping on X11: letters, digits, F1-F24, the navigation, editing and numeric-keypad keys and the
// OEM punctuation keys map to their keysyms; alt, control, shift and the windows key to Mod1,
// Control, Shift and Mod4. A grab is taken on the root window for the key with exactly those
// modifiers, and again with Caps Lock and Num Lock on, so that those do not break the hot key.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/event.h"

namespace vorla::platform {

// Modifier flags of the hot-key registration.
inline constexpr uint32_t kHotKeyModAlt = 0x0001;
inline constexpr uint32_t kHotKeyModControl = 0x0002;
inline constexpr uint32_t kHotKeyModShift = 0x0004;
inline constexpr uint32_t kHotKeyModWin = 0x0008;
inline constexpr uint32_t kHotKeyModNoRepeat = 0x4000;  // accepted and ignored

enum class HotKeyWaitResult {
  kHotKey,   // a registered hot key was pressed; its identifier is in `id`
  kWoken,    // the wake event was signalled (and consumed)
  kTimeout,  // nothing within the timeout
  kFailed,   // the connection is gone or unusable; waiting again will fail again
};

class HotKeyListener {
 public:
  virtual ~HotKeyListener() = default;

  // Registers hot key `id` for `virtual_key` with `modifiers`. Several registrations may share one
  // identifier or one key combination (a press then reports the identifier registered first).
  // False when the key or a modifier bit has no equivalent, the combination is taken by another
  // program, or the connection is gone; nothing is registered then.
  virtual bool Register(int32_t id, uint32_t modifiers, uint32_t virtual_key) = 0;
  // Removes every registration with `id`; false when there was none. When it returns, the keys
  // are free for other programs.
  virtual bool Unregister(int32_t id) = 0;
  // Blocks until a hot key is pressed (other events are discarded on the way), `wake` is signalled
  // (may be null) or `timeout_ms` passes (kWaitInfinite: no limit). Costs nothing while it blocks.
  virtual HotKeyWaitResult Wait(Event* wake, uint32_t timeout_ms, int32_t& id) = 0;
};

// A listener with its own connection to the desktop, for the calling thread; nullptr when there
// is no desktop to listen to. A test may install its own factory.
std::unique_ptr<HotKeyListener> CreateHotKeyListener();

using HotKeyListenerFactory = std::function<std::unique_ptr<HotKeyListener>()>;
// Installs `factory` for the whole process (an empty function restores the system's). Install
// before any listener thread starts.
void SetHotKeyListenerFactoryForTesting(HotKeyListenerFactory factory);

}  // namespace vorla::platform
