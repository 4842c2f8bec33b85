// The X11 hot-key listener, for tests that point it at a display of their own, and the key
// mapping it uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hotkeys.h"

namespace vorla::platform {

// A listener over a new connection to `display_name` (empty: the DISPLAY variable); nullptr when
// the display cannot be opened. Use it on the calling thread only.
std::unique_ptr<HotKeyListener> CreateX11HotKeyListener(const std::string& display_name);

// The X keysym of a virtual-key code; 0 when the key has no X equivalent.
uint32_t VirtualKeyToKeysym(uint32_t virtual_key);

}  // namespace vorla::platform
