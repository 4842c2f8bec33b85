// Test doubles of the displays and the input desktop: a scripted desk of any number of displays.
//
// A FakeDesk holds the displays (name, position, size, depth, pixel content), scripted failures
// and the lost-desktop switch, and counts calls. The Displays and InputDesktop objects made from it
// share it, so a test keeps the desk and changes it while capture runs on another thread: every
// operation of the desk and of the objects made from it is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/input_desktop.h"

namespace vorla::platform {

class FakeDesk : public std::enable_shared_from_this<FakeDesk> {
 public:
  static std::shared_ptr<FakeDesk> Create() { return std::shared_ptr<FakeDesk>(new FakeDesk); }

  // Adds a display filled with black. bits_per_pixel 32, 24, 16 (5-5-5) or 565 (5-6-5); any
  // other value makes an unsupported display reporting that depth. Returns its index.
  int AddDisplay(std::u16string name, int32_t x, int32_t y, int32_t width, int32_t height,
                 int32_t bits_per_pixel = 32, bool attached = true);
  // Fills the display with one colour, or sets one pixel (top-down coordinates).
  void Fill(int index, uint8_t r, uint8_t g, uint8_t b);
  void SetPixel(int index, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b);
  // Raw 16-bit value of one pixel of a 16-bit display.
  void SetPixel16(int index, int32_t x, int32_t y, uint16_t value);
  void SetHorizontalResolution(int index, int32_t value);
  void SetCanCopy(int index, bool can_copy);
  // Open of this display fails (no device context).
  void SetOpenFails(int index, bool fails);
  void SetPrepareFails(int index, bool fails);
  // The next `count` grabs of this display fail.
  void FailNextGrabs(int index, int count);
  // The display is gone: every grab of it fails and it is no longer listed.
  void Remove(int index);
  // The cursor (position on the virtual desktop); nullopt: hidden.
  void SetCursor(std::optional<CursorImage> cursor);
  void SetDesktopLost(bool lost);
  // The display server is gone: every grab fails, nothing is listed, and every source opened so
  // far reports its connection lost (also after the server is "back": those sources stay dead).
  void LoseConnection();
  // A server is back: listing works again, and sources opened from now on grab.
  void RestoreConnection();

  int grabs(int index) const;
  int opens() const;
  int cursor_queries() const;

  std::unique_ptr<Displays> MakeDisplays();
  std::unique_ptr<InputDesktop> MakeInputDesktop();

  // For the sources: a copy of the display's pixels into `out` (resized to fit); false when the
  // grab fails.
  bool GrabInto(int index, std::vector<uint8_t>& out);
  bool CursorInto(CursorImage& out);
  bool DesktopLost() const;
  // How many times LoseConnection was called: a source opened before the last call is dead.
  int connection_generation() const;
  std::vector<DisplayDevice> Devices() const;
  // -1 when no such display.
  int IndexOf(const std::u16string& name) const;
  // Mode of display `index`, and whether open/prepare are to fail.
  DisplayMode ModeOf(int index) const;
  bool OpenFails(int index) const;
  bool PrepareFails(int index) const;
  void CountOpen();

 private:
  FakeDesk() = default;
  struct Entry {
    DisplayDevice device;
    DisplayMode mode;
    std::vector<uint8_t> pixels;  // top-down, width * bytes per pixel per row
    bool open_fails = false;
    bool prepare_fails = false;
    bool removed = false;
    int fail_grabs = 0;
    int grabs = 0;
  };
  void PutPixel(Entry& e, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::optional<CursorImage> cursor_;
  bool desktop_lost_ = false;
  bool connection_lost_ = false;
  int connection_generation_ = 0;
  int opens_ = 0;
  int cursor_queries_ = 0;
};

}  // namespace vorla::platform
