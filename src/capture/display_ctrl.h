// One display of the workstation, captured into its place in the composite frame.
//
// A DisplayCtrl opens its display through the platform's displays capability, grabs its pixels,
// draws the cursor over them and converts them into 24-bit pixels inside the composite frame
// (bottom-up rows, the display's aligned size). Instead of the screen it can deliver a black
// image carrying the blanking text, or the lost image prepared at Init carrying the lost text.
// Only the capture thread uses it; it has no lock. Nothing is allocated per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/status_codes.h"
#include "platform/displays.h"

namespace vorla {

// Pixel formats of the captured image.
inline constexpr int32_t kPixelFormat32 = 1;
inline constexpr int32_t kPixelFormat24 = 2;
inline constexpr int32_t kPixelFormat16 = 4;  // 5-5-5 values (a 5-6-5 display is read as such)

// Overlay texts longer than this are cut.
inline constexpr size_t kOverlayTextLimit = 20;

// Pixels in the display's format, top-down rows `stride` bytes apart, width x height of them;
// the rest of the aligned image is black. No pixels at all: all black.
struct CaptureImage {
  const uint8_t* pixels = nullptr;
  int32_t stride = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class DisplayCtrl {
 public:
  DisplayCtrl() = default;
  virtual ~DisplayCtrl();
  DisplayCtrl(const DisplayCtrl&) = delete;
  DisplayCtrl& operator=(const DisplayCtrl&) = delete;

  // Opens `device_name` from `displays` (which must stay usable while this object grabs) for the
  // codec `fcc` (it decides the channel order). 0, or 0xC0000FD4 after a report (none when the
  // display cannot be opened); on failure everything made so far is released.
  Status Init(platform::Displays& displays, const std::u16string& device_name, uint32_t fcc,
              const std::u16string& blanking_text, const std::u16string& lost_text);
  // Writes the display's aligned image into `destination` (aligned width x 3 bytes per row,
  // `padding` bytes skipped after each row, bottom row first). `blank`: the blanking text on
  // black; `lost`: the lost image; `cursor`: draw the cursor; `repeat`: grab three times.
  // True when the display's pixels were written. changed() then tells whether any byte of the
  // display's part of `destination` differs from what it held before.
  bool Grab(uint8_t* destination, int32_t padding, bool blank, bool lost, bool cursor,
            bool repeat);
  // Paints the overlay image black and writes the first 20 characters of `text` in its middle,
  // black on white.
  void DrawOverlayText(const std::u16string& text);
  // Converts `source` (the grabbed pixels, the overlay or the lost image) as described at Grab.
  // `changed` (optional) is set to whether any byte written differs from the one it replaced;
  // rows and margins that are black already are left alone.
  bool ConvertTo24(const CaptureImage& source, uint8_t* destination, int32_t padding,
                   bool* changed = nullptr) const;
  // Frees the display and the images made for it. Idempotent.
  void Release();
  // The display's connection to its server is gone for good (platform::DisplaySource).
  bool ConnectionLost() const { return source_ && source_->ConnectionLost(); }

  const std::u16string& device_name() const { return device_name_; }
  int32_t pixel_format() const { return pixel_format_; }
  uint32_t image_size() const { return image_size_; }
  uint32_t codec_fcc() const { return codec_fcc_; }
  int32_t scaled() const { return scaled_; }
  int32_t aligned_width() const { return aligned_width_; }
  int32_t aligned_height() const { return aligned_height_; }
  int32_t x() const { return x_; }
  int32_t y() const { return y_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // After Grab: whether the display's part of the destination changed (true when unknown).
  bool changed() const { return changed_; }
  bool has_lost_image() const { return !lost_image_.empty(); }
  // The overlay image as last drawn (for tests).
  CaptureImage overlay() const;

 private:
  CaptureImage GrabbedImage() const;
  void DrawCursor(const platform::CursorImage& cursor);

  std::u16string device_name_;
  std::unique_ptr<platform::DisplaySource> source_;
  platform::PixelFormat format_ = platform::PixelFormat::kUnsupported;
  int32_t pixel_format_ = 0;
  int32_t bytes_per_pixel_ = 0;
  std::vector<uint8_t> overlay_;     // aligned size, the display's format, top-down
  std::vector<uint8_t> lost_image_;  // a copy of the overlay showing the lost text
  uint32_t image_size_ = 0;
  uint32_t codec_fcc_ = 0;
  int32_t scaled_ = 0;
  int32_t src_x_ = 0;
  int32_t src_y_ = 0;
  int32_t aligned_width_ = 0;
  int32_t aligned_height_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::u16string blanking_text_;
  std::u16string lost_text_;
  platform::PixelView view_;
  platform::CursorImage cursor_;
  bool changed_ = true;
};

// One display as the capture controller owns it; the layout fills the first four fields.
struct display_object {
  int32_t frame_offset = 0;
  int32_t row_padding = 0;
  int32_t column = 0;
  int32_t row = 0;
  DisplayCtrl ctrl;
};

}  // namespace vorla
