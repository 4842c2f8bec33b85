// The tray icons built into the program: offline (101), recording (102) and idle (103), each 32 by
// 32 pixels. They are drawn here, in code: a small monitor whose screen carries a dot in the
// state's colour (none, red, green).
#pragma once

#include <cstdint>

#include "platform/tray_icon.h"

namespace vorla {

inline constexpr int32_t kIconOffline = 101;
inline constexpr int32_t kIconRecording = 102;
inline constexpr int32_t kIconIdle = 103;

// The colours of the dot in the middle of the screen (0xAARRGGBB); tests read them back.
inline constexpr uint32_t kIconDotRecording = 0xFFE0201C;
inline constexpr uint32_t kIconDotIdle = 0xFF1CA83C;
inline constexpr uint32_t kIconDotOffline = 0xFF8C8C8C;

// The icon resource `id`; an invalid (empty) image for any other number.
platform::TrayImage LoadTrayIcon(int32_t id);

}  // namespace vorla
