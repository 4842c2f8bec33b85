// The user's desktop: showing a folder in the file browser.
#pragma once

#include <string>

namespace vorla::platform {

// True when this process runs inside a graphical session (DISPLAY or WAYLAND_DISPLAY is set).
bool DesktopSessionPresent();

// Opens `folder` in the desktop's file browser (xdg-open) without waiting for it. Does nothing
// outside a desktop session; a browser that cannot be started is no error. True when it started.
bool OpenFolderInFileBrowser(const std::u16string& folder);

}  // namespace vorla::platform
