// Displays: the monitors of the desktop, their pixels and the mouse cursor, for screen capture.
//
// A Displays object lists the display devices and opens one of them as a DisplaySource, which
// copies the display's pixels into memory it owns and reports the cursor. Everything made from
// one Displays object belongs to the thread that created it (the capture thread): none of it is
// thread-safe. Sources may outlive their Displays object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorla::platform {

// Pixel layouts a source can deliver, as bytes in memory.
enum class PixelFormat : int32_t {
  kUnsupported = 0,
  kBgrx32,  // blue, green, red, unused
  kBgr24,   // blue, green, red
  kRgb555,  // 16-bit little-endian words, bit 15 unused, red in bits 14-10
  kRgb565,  // 16-bit little-endian words, red in bits 15-11, green in 10-5
};

// Bytes per pixel of `format`; 0 for kUnsupported.
inline int32_t BytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kBgrx32: return 4;
    case PixelFormat::kBgr24: return 3;
    case PixelFormat::kRgb555:
    case PixelFormat::kRgb565: return 2;
    case PixelFormat::kUnsupported: break;
  }
  return 0;
}

// Writes colour (r, g, b) as one pixel of `format` at `p` (BytesPerPixel bytes; the unused byte of
// kBgrx32 is left alone). 16-bit formats keep the high bits of each channel.
inline void EncodePixel(PixelFormat format, uint8_t* p, uint8_t r, uint8_t g, uint8_t b) {
  switch (format) {
    case PixelFormat::kBgrx32:
    case PixelFormat::kBgr24: p[0] = b, p[1] = g, p[2] = r; break;
    case PixelFormat::kRgb555:
    case PixelFormat::kRgb565: {
      const uint16_t v = format == PixelFormat::kRgb555
                             ? static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
                             : static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
      p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8);
      break;
    }
    case PixelFormat::kUnsupported: break;
  }
}

struct DisplayDevice {
  std::u16string name;
  bool attached_to_desktop = true;
};

struct DisplayMode {
  int32_t x = 0;  // position on the virtual desktop
  int32_t y = 0;
  int32_t width = 0;  // the mode's size in pixels
  int32_t height = 0;
  // Pixels across as the output device reports them; differs from width when the desktop is
  // scaled onto the display.
  int32_t horizontal_resolution = 0;
  int32_t bits_per_pixel = 0;  // the display's depth; 0 when it could not be determined
  PixelFormat format = PixelFormat::kUnsupported;
  bool can_copy = true;  // whether pixels can be copied off this display at all
};

// The pixels of one grab, width x height, top-down rows `stride` bytes apart. The memory belongs
// to the source and stays valid (and writable, for drawing over it) until the next Grab or the
// source's destruction.
struct PixelView {
  uint8_t* pixels = nullptr;
  int32_t stride = 0;
  int32_t width = 0;
  int32_t height = 0;
  PixelFormat format = PixelFormat::kUnsupported;
};

struct CursorImage {
  int32_t x = 0;  // pointer position on the virtual desktop
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  // Premultiplied ARGB (alpha in bits 31-24), top-down rows of width pixels.
  std::vector<uint32_t> argb;
};

class DisplaySource {
 public:
  virtual ~DisplaySource() = default;
  // The mode read when the source was opened; fixed for the source's life.
  virtual const DisplayMode& mode() const = 0;
  // Makes the memory that grabs write into. Call once before the first Grab; false when it
  // cannot be made (the source is then unusable).
  virtual bool PrepareCapture() = 0;
  // Copies the display's current pixels; false when they cannot be read (the display went
  // away, the connection broke, the desktop is not readable). Does not allocate.
  virtual bool Grab(PixelView& out) = 0;
  // The cursor's image and position; false when it is hidden or cannot be read. Reuses `out`'s
  // memory where it can.
  virtual bool GetCursor(CursorImage& out) = 0;
  // True once the source can never deliver again because its connection to the display server
  // is gone (the server ended); a new source must be opened on a new connection. A monitor that
  // left the screen is not that: its grabs fail while the server stays. Called on the thread that
  // grabs; it may read from the connection.
  virtual bool ConnectionLost() const { return false; }
};

class Displays {
 public:
  virtual ~Displays() = default;
  // The display devices in enumeration order (empty when the desktop cannot be reached).
  virtual std::vector<DisplayDevice> EnumerateDevices() = 0;
  // nullptr when no device has that name or it cannot be opened.
  virtual std::unique_ptr<DisplaySource> Open(const std::u16string& name) = 0;
};

// The system's displays (X11: the RandR monitors of the default screen of $DISPLAY). Never
// nullptr; without an X server it lists no devices.
std::unique_ptr<Displays> CreateDisplays();

}  // namespace vorla::platform
