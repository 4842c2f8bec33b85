// The X11 window capability, for tests that point it at a display of their own.
#pragma once

#include <memory>
#include <string>

#include "platform/windows.h"

namespace vorla::platform {

// A window system over its own connection to `display_name` (empty: the DISPLAY variable),
// opened at the first query and again after a lost connection (at most once every 2 s).
// What is read about a listed window is kept until the window reports a change (its
// notifications are selected), so the per-window queries of a pass cost no round trips; windows
// without such an entry are read in one pipelined batch by TopLevelWindows, or in one round trip
// when asked. Any thread may call (one XCB connection under one lock).
std::unique_ptr<WindowSystem> CreateX11WindowSystem(const std::string& display_name);

}  // namespace vorla::platform
