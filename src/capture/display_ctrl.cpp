#include "capture/display_ctrl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "capture/overlay_font.h"
#include "capture/pixel_convert.h"
#include "common/logging.h"
#include "compression/compressor.h"

namespace vorla {
namespace {

Status Warn(std::u16string text) {
  LogIfFailed(false, kStatusScreenCaptureInitFailed, std::move(text), 3, EVENTLOG_WARNING_TYPE);
  return kStatusScreenCaptureInitFailed;
}

void GetPixel(platform::PixelFormat format, const uint8_t* p, uint8_t& r, uint8_t& g, uint8_t& b) {
  using platform::PixelFormat;
  switch (format) {
    case PixelFormat::kBgrx32:
    case PixelFormat::kBgr24: b = p[0], g = p[1], r = p[2]; return;
    case PixelFormat::kRgb555:
    case PixelFormat::kRgb565: {
      uint8_t out[3];
      ConvertRowTo24(format, p, out, 1, true);
      r = out[0], g = out[1], b = out[2];
      return;
    }
    case PixelFormat::kUnsupported: r = g = b = 0; return;
  }
}

// Clears `n` bytes unless they are all zero already; true when any was not.
bool ClearChanged(uint8_t* p, size_t n) {
  uint8_t any = 0;
  for (size_t i = 0; i < n; ++i) any |= p[i];
  if (any == 0) return false;
  std::memset(p, 0, n);
  return true;
}

}  // namespace

DisplayCtrl::~DisplayCtrl() { Release(); }

Status DisplayCtrl::Init(platform::Displays& displays, const std::u16string& device_name,
                         uint32_t fcc, const std::u16string& blanking_text,
                         const std::u16string& lost_text) {
  blanking_text_ = blanking_text;
  lost_text_ = lost_text;
  source_ = displays.Open(device_name);
  if (!source_) {
    Release();
    return kStatusScreenCaptureInitFailed;
  }
  const platform::DisplayMode& mode = source_->mode();
  if (!mode.can_copy) {
    Release();
    return Warn(u"Driver can't do GDI ops!");
  }
  width_ = mode.width;
  height_ = mode.height;
  x_ = mode.x;
  y_ = mode.y;
  if (mode.horizontal_resolution != width_) scaled_ = 1;
  format_ = mode.format;
  switch (format_) {
    case platform::PixelFormat::kBgrx32: pixel_format_ = kPixelFormat32; break;
    case platform::PixelFormat::kBgr24: pixel_format_ = kPixelFormat24; break;
    case platform::PixelFormat::kRgb555:
    case platform::PixelFormat::kRgb565: pixel_format_ = kPixelFormat16; break;
    case platform::PixelFormat::kUnsupported: pixel_format_ = 0; break;
  }
  if (pixel_format_ == 0 || width_ <= 0 || height_ <= 0) {
    const int32_t depth = mode.bits_per_pixel;
    Release();
    return Warn(FormatString(u"Unsupported pixel depth: %d", depth));
  }
  bytes_per_pixel_ = platform::BytesPerPixel(format_);
  src_x_ = 0;
  src_y_ = 0;
  aligned_width_ = (width_ + 31) & ~31;
  aligned_height_ = (height_ + 1) & ~1;
  device_name_ = device_name;
  codec_fcc_ = fcc;
  const int32_t bit_depth = bytes_per_pixel_ * 8;
  LogOperation(0,
               FormatString(u"Capture: Init display %s: %dx%d (hres=%d) - align %dx%d, bitdepth=%d",
                            device_name_, width_, height_, mode.horizontal_resolution,
                            aligned_width_, aligned_height_, bit_depth),
               EVENTLOG_AUDIT_SUCCESS, 4);
  // The capture memory: the display's grab buffer and the overlay image of the aligned size.
  const size_t row_bytes = ((static_cast<size_t>(aligned_width_) * bit_depth + 31) / 32) * 4;
  image_size_ = static_cast<uint32_t>(row_bytes * aligned_height_);
  bool made = source_->PrepareCapture();
  if (made) {
    try {
      overlay_.assign(image_size_, 0);
    } catch (const std::bad_alloc&) {
      made = false;
    }
  }
  if (!made) {
    const std::u16string name = device_name_;
    Release();
    return Warn(
        FormatString(u"Capture [%s]: Failed to create capture DIBSection. Capture Failed.", name));
  }
  if (lost_image_.empty()) {
    try {
      lost_image_.resize(image_size_);
    } catch (const std::bad_alloc&) {
      lost_image_.clear();  // then there is simply no lost image
    }
    if (!lost_image_.empty()) {
      DrawOverlayText(lost_text_);
      std::memcpy(lost_image_.data(), overlay_.data(), image_size_);
    }
  }
  return kStatusSuccess;
}

CaptureImage DisplayCtrl::overlay() const {
  if (overlay_.empty()) return {};
  return {overlay_.data(), aligned_width_ * bytes_per_pixel_, aligned_width_, aligned_height_};
}

CaptureImage DisplayCtrl::GrabbedImage() const {
  return {view_.pixels, view_.stride, std::min(view_.width, width_),
          std::min(view_.height, height_)};
}

void DisplayCtrl::DrawOverlayText(const std::u16string& text) {
  if (overlay_.empty()) return;
  std::fill(overlay_.begin(), overlay_.end(), 0);
  const size_t n = std::min(text.size(), kOverlayTextLimit);
  if (n == 0) return;
  const int32_t stride = aligned_width_ * bytes_per_pixel_;
  const int32_t box_w = static_cast<int32_t>(n) * kOverlayCellWidth;
  const int32_t box_h = kOverlayCellHeight;
  const int32_t left = src_x_ + (aligned_width_ - box_w) / 2;
  const int32_t top = src_y_ + (aligned_height_ - box_h) / 2;
  const int32_t dot_left = (kOverlayCellWidth - 5 * kOverlayGlyphScale) / 2;
  const int32_t dot_top = (kOverlayCellHeight - 7 * kOverlayGlyphScale) / 2;
  for (int32_t y = std::max(top, 0); y < std::min(top + box_h, aligned_height_); ++y) {
    for (int32_t x = std::max(left, 0); x < std::min(left + box_w, aligned_width_); ++x) {
      const int32_t cell = (x - left) / kOverlayCellWidth;
      const int32_t cx = (x - left) % kOverlayCellWidth - dot_left;
      const int32_t cy = (y - top) - dot_top;
      const bool ink = cx >= 0 && cy >= 0 &&
                       OverlayGlyphDot(text[static_cast<size_t>(cell)], cx / kOverlayGlyphScale,
                                       cy / kOverlayGlyphScale);
      const uint8_t v = ink ? 0 : 255;
      platform::EncodePixel(
          format_, overlay_.data() + static_cast<size_t>(y) * stride + x * bytes_per_pixel_, v, v,
          v);
    }
  }
}

bool DisplayCtrl::ConvertTo24(const CaptureImage& source, uint8_t* destination, int32_t padding,
                              bool* changed) const {
  if (changed != nullptr) *changed = true;
  if (destination == nullptr) return false;
  // Comparing while writing costs next to nothing (the store brings the old bytes into cache
  // anyway) and lets an idle screen skip the encoder's colour conversion.
  bool any = false;
  const bool red_first = codec_fcc_ == kFccJpeg || codec_fcc_ == kFccVp80;
  const size_t row_out = static_cast<size_t>(aligned_width_) * 3;
  const int32_t w = std::min(source.width, aligned_width_);
  uint8_t* out = destination;
  // Memory order is bottom-up: output row m is image row (aligned height - 1 - m).
  for (int32_t m = 0; m < aligned_height_; ++m) {
    const int32_t t = aligned_height_ - 1 - m;
    if (source.pixels != nullptr && t < source.height && w > 0) {
      any |= ConvertRowTo24(format_, source.pixels + static_cast<size_t>(t) * source.stride, out, w,
                            red_first);
      any |= ClearChanged(out + static_cast<size_t>(w) * 3, row_out - static_cast<size_t>(w) * 3);
    } else {
      any |= ClearChanged(out, row_out);
    }
    out += row_out + padding;
  }
  if (changed != nullptr) *changed = any;
  return true;
}

void DisplayCtrl::DrawCursor(const platform::CursorImage& cursor) {
  if (view_.pixels == nullptr || cursor.width <= 0 || cursor.height <= 0 ||
      cursor.argb.size() < static_cast<size_t>(cursor.width) * cursor.height) {
    return;
  }
  // Top-left corner at the pointer position, relative to this display.
  const int32_t ox = cursor.x - x_;
  const int32_t oy = cursor.y - y_;
  for (int32_t cy = 0; cy < cursor.height; ++cy) {
    const int32_t y = oy + cy;
    if (y < 0 || y >= view_.height) continue;
    for (int32_t cx = 0; cx < cursor.width; ++cx) {
      const int32_t x = ox + cx;
      if (x < 0 || x >= view_.width) continue;
      const uint32_t argb = cursor.argb[static_cast<size_t>(cy) * cursor.width + cx];
      const uint32_t a = argb >> 24;
      if (a == 0 && (argb & 0xFFFFFF) == 0) continue;
      uint8_t* p = view_.pixels + static_cast<size_t>(y) * view_.stride + x * bytes_per_pixel_;
      uint8_t r = 0, g = 0, b = 0;
      GetPixel(format_, p, r, g, b);
      // Premultiplied source over the screen.
      auto over = [a](uint32_t src, uint8_t dst) {
        return static_cast<uint8_t>(std::min<uint32_t>(255, src + dst * (255 - a) / 255));
      };
      platform::EncodePixel(format_, p, over((argb >> 16) & 0xFF, r), over((argb >> 8) & 0xFF, g),
                            over(argb & 0xFF, b));
    }
  }
}

bool DisplayCtrl::Grab(uint8_t* destination, int32_t padding, bool blank, bool lost, bool cursor,
                       bool repeat) {
  changed_ = true;
  bool result = false;
  bool changed = false;
  if (!lost) {
    if (blank) {
      DrawOverlayText(blanking_text_);
      return ConvertTo24(overlay(), destination, padding, &changed_);
    }
    if (!source_) return false;
    const int copies = repeat ? 3 : 1;
    for (int i = 0; i < copies; ++i) {
      if (source_->Grab(view_)) {
        if (cursor && source_->GetCursor(cursor_)) DrawCursor(cursor_);
      } else {
        lost = true;
      }
    }
    if (!lost) return ConvertTo24(GrabbedImage(), destination, padding, &changed_);
    // A failed copy leaves a black image, which stands until the lost image replaces it.
    result = ConvertTo24(CaptureImage{}, destination, padding, &changed);
  }
  if (!lost_image_.empty()) {
    bool replaced = true;
    result = ConvertTo24(
        {lost_image_.data(), aligned_width_ * bytes_per_pixel_, aligned_width_, aligned_height_},
        destination, padding, &replaced);
    changed |= replaced;
  }
  changed_ = changed || !result;
  return result;
}

void DisplayCtrl::Release() {
  source_.reset();
  overlay_.clear();
  overlay_.shrink_to_fit();
  view_ = {};
}

}  // namespace vorla
