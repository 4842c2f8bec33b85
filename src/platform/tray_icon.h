// A display-only icon in the desktop's notification area (the system tray), with a tip text.
//
// A TrayIcon belongs to the thread that created it and is used only by that thread: on X11 it
// owns a display connection of its own. The icon is shown by Add, changed by Modify and removed by
// Delete (and by the destructor). Besides those calls the connection has its own traffic (redraws,
// the tip shown while the pointer rests on the icon, a tray that restarts): the owner puts
// events() into its wait list and calls ProcessEvents when it fires, and also once per pass of its
// loop. Nothing here blocks longer than one round trip to the display server.
//
// What it deliberately does not do: no menu, no clicks, no balloons; and it never reports a
// failure other than through the result of Add and Modify.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace vorla::platform {

// A square picture of `size` x `size` pixels, row by row from the top, each 0xAARRGGBB (not
// premultiplied). Empty pixels: the picture is missing.
struct TrayImage {
  int32_t size = 0;
  std::vector<uint32_t> argb;
  bool valid() const {
    return size > 0 && argb.size() == static_cast<size_t>(size) * static_cast<size_t>(size);
  }
};

class TrayIcon {
 public:
  virtual ~TrayIcon() = default;  // removes the icon when it is shown

  // Shows the icon with `image` and `tip`. False when no tray can take it now (none runs, the
  // display is unreachable, the tray refused); nothing is shown then and the call may be repeated.
  virtual bool Add(const TrayImage& image, const std::u16string& tip) = 0;
  // Changes the picture and the tip of an added icon. False when the icon is not shown at the
  // moment (never added, deleted, or its tray went away); the new picture and tip are kept and
  // shown as soon as a tray takes the icon again.
  virtual bool Modify(const TrayImage& image, const std::u16string& tip) = 0;
  // Removes the icon; nothing happens when it is not shown.
  virtual void Delete() = 0;

  // The object to wait on for the connection's traffic; nullptr while there is none (no
  // connection, or one whose server went away). May change after any call of this interface.
  virtual Waitable* events() = 0;
  // Handles whatever arrived: redraws, the tip, a tray that came back (the icon is offered to it
  // again). Never waits.
  virtual void ProcessEvents() = 0;
};

// The system's tray icon (X11: the freedesktop system tray of $DISPLAY's default screen). The
// connection is opened on the calling thread by the first Add, and again by a later Add after the
// server went away.
std::unique_ptr<TrayIcon> CreateTrayIcon();

// Test support: later CreateTrayIcon calls are served by `factory` (nullptr: the system's again).
void SetTrayIconForTesting(std::function<std::unique_ptr<TrayIcon>()> factory);

}  // namespace vorla::platform
