// The input desktop: whether the desktop the user sees is the one that capture can record.
#pragma once

#include <memory>

namespace vorla::platform {

class InputDesktop {
 public:
  virtual ~InputDesktop() = default;
  // True while the desktop cannot be recorded: the screen saver is on or the session is locked,
  // or the desktop cannot be reached at all. Called on one thread (the capture thread).
  virtual bool IsLost() = 0;
};

// X11: lost while the login manager reports the session of $DISPLAY locked (its LockedHint, kept
// from the bus's signals, so nothing is asked per call), while the MIT-SCREEN-SAVER state of the
// default screen of $DISPLAY is on (under a headless server "xset s activate" does), and when no
// connection to the server can be made or the connection broke. Without a login manager on the
// system bus the screen saver alone decides.
std::unique_ptr<InputDesktop> CreateInputDesktop();

}  // namespace vorla::platform
