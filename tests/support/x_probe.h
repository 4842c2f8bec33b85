// Looks at a test's X server from outside, as a person would: named windows and where they sit,
// the pixels on the screen, a screenshot as a PNG file. No X11 types here (see x_server.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorla::test {

struct XWindowSeen {
  unsigned long id = 0;
  std::string name;            // WM_NAME
  std::string top_level_class; // WM_CLASS class of its outermost ancestor (or itself) that has one
  bool top_level = false;      // a child of the root window
  bool viewable = false;
  bool override_redirect = false;
  int x = 0, y = 0;            // on the root window
  int width = 0, height = 0;
};

// Every window of the tree whose WM_NAME starts with `prefix`; empty when the display cannot be
// opened.
std::vector<XWindowSeen> FindWindowsNamed(const std::string& display, const std::string& prefix);

// The screen's pixels in the rectangle, each 0x00RRGGBB, row by row; empty on failure (depth 24
// or 32 only).
std::vector<uint32_t> ScreenPixels(const std::string& display, int x, int y, int width,
                                   int height);

// Writes pixels (0x00RRGGBB) as an RGB PNG file; false on failure.
bool WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& rgb);

}  // namespace vorla::test
