#include "controller/tray_icons.h"

namespace vorla {
namespace {

constexpr int kSize = 32;
constexpr uint32_t kClear = 0x00000000;
constexpr uint32_t kFrame = 0xFF2A2E33;
constexpr uint32_t kScreenOn = 0xFF3C6EA8;
constexpr uint32_t kScreenOff = 0xFF4A4D52;
constexpr uint32_t kHighlight = 0xFF6F9BD0;

platform::TrayImage Draw(uint32_t screen, uint32_t dot, bool ring_only) {
  platform::TrayImage image;
  image.size = kSize;
  image.argb.assign(kSize * kSize, kClear);
  auto put = [&](int x, int y, uint32_t c) { image.argb[static_cast<size_t>(y) * kSize + x] = c; };
  // The monitor: a frame of two pixels around the screen (rows 3-23), a neck and a foot.
  for (int y = 3; y <= 23; ++y)
    for (int x = 1; x <= 30; ++x)
      put(x, y, (y <= 4 || y >= 22 || x <= 2 || x >= 29) ? kFrame : screen);
  for (int x = 3; x <= 28; ++x) put(x, 5, screen == kScreenOn ? kHighlight : screen);
  for (int y = 24; y <= 26; ++y)
    for (int x = 13; x <= 18; ++x) put(x, y, kFrame);
  for (int y = 27; y <= 28; ++y)
    for (int x = 8; x <= 23; ++x) put(x, y, kFrame);
  // The dot: a disc of radius 6 around the screen's middle, or only its rim.
  const int cx2 = 31, cy2 = 27;  // twice the centre (15.5, 13.5)
  for (int y = 6; y <= 21; ++y) {
    for (int x = 3; x <= 28; ++x) {
      const int dx = 2 * x - cx2, dy = 2 * y - cy2;
      const int d2 = dx * dx + dy * dy;  // four times the squared distance
      if (d2 > 4 * 36) continue;
      if (ring_only && d2 < 4 * 16) continue;
      put(x, y, dot);
    }
  }
  if (ring_only) {
    // The offline dot keeps a filled middle of its own colour so that every icon has its state's
    // colour in the centre.
    for (int y = 11; y <= 16; ++y)
      for (int x = 13; x <= 18; ++x) put(x, y, dot);
  }
  return image;
}

}  // namespace

platform::TrayImage LoadTrayIcon(int32_t id) {
  switch (id) {
    case kIconOffline: return Draw(kScreenOff, kIconDotOffline, true);
    case kIconRecording: return Draw(kScreenOn, kIconDotRecording, false);
    case kIconIdle: return Draw(kScreenOn, kIconDotIdle, false);
    default: return {};
  }
}

}  // namespace vorla
