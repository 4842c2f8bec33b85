// The X11 displays and input desktop, for a named X server (tests use a private one).
// No Xlib types here, so tests may include it beside GoogleTest.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/displays.h"
#include "platform/input_desktop.h"

namespace vorla::platform {

// Displays of `display_name` (":N"; empty: $DISPLAY). The connection is opened here, on the
// calling thread, and shared by the sources opened from it.
std::unique_ptr<Displays> CreateX11Displays(const std::string& display_name);
// The input desktop of `display_name`; the connection is opened on the first IsLost() and again
// after it broke. `locked_hint` (may be empty) tells whether the login session is locked: 1
// locked (the desktop is lost), 0 not, -1 unknown (the screen saver alone decides); it is called
// on every IsLost and must be cheap.
std::unique_ptr<InputDesktop> CreateX11InputDesktop(const std::string& display_name,
                                                    std::function<int()> locked_hint = {});

}  // namespace vorla::platform
