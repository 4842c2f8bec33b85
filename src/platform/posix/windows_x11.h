// The X11 window capability, for tests that point it at a display of their own.
#pragma once

#include <memory>
#include <string>

#include "platform/windows.h"

namespace vorla::platform {

// A window system over its own connection to `display_name` (empty: the DISPLAY variable),
// opened at the first query and again after a lost connection (at most once every 2 s).
std::unique_ptr<WindowSystem> CreateX11WindowSystem(const std::string& display_name);

}  // namespace vorla::platform
