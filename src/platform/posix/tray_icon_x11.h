// The X11 tray icon, for tests that point it at a display of their own. No Xlib types here.
#pragma once

#include <memory>
#include <string>

#include "platform/tray_icon.h"

namespace vorla::platform {

// A tray icon on `display_name` (":N"; empty: $DISPLAY), docked into the freedesktop system tray
// of that display's default screen. Use it on the calling thread only.
std::unique_ptr<TrayIcon> CreateX11TrayIcon(const std::string& display_name);

}  // namespace vorla::platform
