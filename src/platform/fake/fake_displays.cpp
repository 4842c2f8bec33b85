#include "platform/fake/fake_displays.h"

#include <cstring>

namespace vorla::platform {

int FakeDesk::AddDisplay(std::u16string name, int32_t x, int32_t y, int32_t width, int32_t height,
                         int32_t bits_per_pixel, bool attached) {
  std::lock_guard lock(mutex_);
  Entry e;
  e.device = {std::move(name), attached};
  e.mode.x = x;
  e.mode.y = y;
  e.mode.width = width;
  e.mode.height = height;
  e.mode.horizontal_resolution = width;
  e.mode.bits_per_pixel = bits_per_pixel;
  switch (bits_per_pixel) {
    case 32: e.mode.format = PixelFormat::kBgrx32; break;
    case 24: e.mode.format = PixelFormat::kBgr24; break;
    case 16: e.mode.format = PixelFormat::kRgb555; break;
    case 565:
      e.mode.format = PixelFormat::kRgb565;
      e.mode.bits_per_pixel = 16;
      break;
    default: e.mode.format = PixelFormat::kUnsupported; break;
  }
  const int32_t bpp = BytesPerPixel(e.mode.format);
  e.pixels.assign(static_cast<size_t>(width) * height * bpp, 0);
  entries_.push_back(std::move(e));
  return static_cast<int>(entries_.size()) - 1;
}

void FakeDesk::PutPixel(Entry& e, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b) {
  const int32_t bpp = BytesPerPixel(e.mode.format);
  if (bpp == 0 || x < 0 || y < 0 || x >= e.mode.width || y >= e.mode.height) return;
  uint8_t* p = e.pixels.data() + (static_cast<size_t>(y) * e.mode.width + x) * bpp;
  if (e.mode.format == PixelFormat::kBgrx32) p[3] = 0;
  EncodePixel(e.mode.format, p, r, g, b);
}

void FakeDesk::Fill(int index, uint8_t r, uint8_t g, uint8_t b) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_.at(index);
  for (int32_t y = 0; y < e.mode.height; ++y) {
    for (int32_t x = 0; x < e.mode.width; ++x) PutPixel(e, x, y, r, g, b);
  }
}

void FakeDesk::SetPixel(int index, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b) {
  std::lock_guard lock(mutex_);
  PutPixel(entries_.at(index), x, y, r, g, b);
}

void FakeDesk::SetPixel16(int index, int32_t x, int32_t y, uint16_t value) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_.at(index);
  if (BytesPerPixel(e.mode.format) != 2 || x < 0 || y < 0 || x >= e.mode.width ||
      y >= e.mode.height) {
    return;
  }
  uint8_t* p = e.pixels.data() + (static_cast<size_t>(y) * e.mode.width + x) * 2;
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void FakeDesk::SetHorizontalResolution(int index, int32_t value) {
  std::lock_guard lock(mutex_);
  entries_.at(index).mode.horizontal_resolution = value;
}
void FakeDesk::SetCanCopy(int index, bool can_copy) {
  std::lock_guard lock(mutex_);
  entries_.at(index).mode.can_copy = can_copy;
}
void FakeDesk::SetOpenFails(int index, bool fails) {
  std::lock_guard lock(mutex_);
  entries_.at(index).open_fails = fails;
}
void FakeDesk::SetPrepareFails(int index, bool fails) {
  std::lock_guard lock(mutex_);
  entries_.at(index).prepare_fails = fails;
}
void FakeDesk::FailNextGrabs(int index, int count) {
  std::lock_guard lock(mutex_);
  entries_.at(index).fail_grabs = count;
}
void FakeDesk::Remove(int index) {
  std::lock_guard lock(mutex_);
  entries_.at(index).removed = true;
}
void FakeDesk::SetCursor(std::optional<CursorImage> cursor) {
  std::lock_guard lock(mutex_);
  cursor_ = std::move(cursor);
}
void FakeDesk::SetDesktopLost(bool lost) {
  std::lock_guard lock(mutex_);
  desktop_lost_ = lost;
}
void FakeDesk::LoseConnection() {
  std::lock_guard lock(mutex_);
  connection_lost_ = true;
  ++connection_generation_;
}
void FakeDesk::RestoreConnection() {
  std::lock_guard lock(mutex_);
  connection_lost_ = false;
}
int FakeDesk::connection_generation() const {
  std::lock_guard lock(mutex_);
  return connection_generation_;
}
int FakeDesk::grabs(int index) const {
  std::lock_guard lock(mutex_);
  return entries_.at(index).grabs;
}
int FakeDesk::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}
void FakeDesk::CountOpen() {
  std::lock_guard lock(mutex_);
  ++opens_;
}
int FakeDesk::cursor_queries() const {
  std::lock_guard lock(mutex_);
  return cursor_queries_;
}

bool FakeDesk::GrabInto(int index, std::vector<uint8_t>& out) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_.at(index);
  ++e.grabs;
  if (e.removed || connection_lost_) return false;
  if (e.fail_grabs > 0) {
    --e.fail_grabs;
    return false;
  }
  out.resize(e.pixels.size());
  if (!e.pixels.empty()) std::memcpy(out.data(), e.pixels.data(), e.pixels.size());
  return true;
}

bool FakeDesk::CursorInto(CursorImage& out) {
  std::lock_guard lock(mutex_);
  ++cursor_queries_;
  if (!cursor_) return false;
  out = *cursor_;
  return true;
}

bool FakeDesk::DesktopLost() const {
  std::lock_guard lock(mutex_);
  return desktop_lost_ || connection_lost_;
}

std::vector<DisplayDevice> FakeDesk::Devices() const {
  std::lock_guard lock(mutex_);
  std::vector<DisplayDevice> result;
  if (connection_lost_) return result;
  for (const Entry& e : entries_) {
    if (!e.removed) result.push_back(e.device);
  }
  return result;
}

int FakeDesk::IndexOf(const std::u16string& name) const {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].removed && entries_[i].device.name == name) return static_cast<int>(i);
  }
  return -1;
}

DisplayMode FakeDesk::ModeOf(int index) const {
  std::lock_guard lock(mutex_);
  return entries_.at(index).mode;
}
bool FakeDesk::OpenFails(int index) const {
  std::lock_guard lock(mutex_);
  return entries_.at(index).open_fails;
}
bool FakeDesk::PrepareFails(int index) const {
  std::lock_guard lock(mutex_);
  return entries_.at(index).prepare_fails;
}

namespace {

class FakeSource final : public DisplaySource {
 public:
  FakeSource(std::shared_ptr<FakeDesk> desk, int index)
      : desk_(std::move(desk)),
        index_(index),
        mode_(desk_->ModeOf(index)),
        generation_(desk_->connection_generation()) {}
  const DisplayMode& mode() const override { return mode_; }
  bool PrepareCapture() override { return !desk_->PrepareFails(index_); }
  bool Grab(PixelView& out) override {
    if (!desk_->GrabInto(index_, pixels_) || ConnectionLost()) return false;
    out.pixels = pixels_.data();
    out.stride = mode_.width * BytesPerPixel(mode_.format);
    out.width = mode_.width;
    out.height = mode_.height;
    out.format = mode_.format;
    return true;
  }
  bool GetCursor(CursorImage& out) override { return desk_->CursorInto(out); }
  bool ConnectionLost() const override { return desk_->connection_generation() != generation_; }

 private:
  std::shared_ptr<FakeDesk> desk_;
  int index_;
  DisplayMode mode_;
  int generation_;
  std::vector<uint8_t> pixels_;
};

class FakeDisplays final : public Displays {
 public:
  explicit FakeDisplays(std::shared_ptr<FakeDesk> desk) : desk_(std::move(desk)) {}
  std::vector<DisplayDevice> EnumerateDevices() override { return desk_->Devices(); }
  std::unique_ptr<DisplaySource> Open(const std::u16string& name) override {
    const int index = desk_->IndexOf(name);
    desk_->CountOpen();
    if (index < 0 || desk_->OpenFails(index)) return nullptr;
    return std::make_unique<FakeSource>(desk_, index);
  }

 private:
  std::shared_ptr<FakeDesk> desk_;
};

class FakeInputDesktop final : public InputDesktop {
 public:
  explicit FakeInputDesktop(std::shared_ptr<FakeDesk> desk) : desk_(std::move(desk)) {}
  bool IsLost() override { return desk_->DesktopLost(); }

 private:
  std::shared_ptr<FakeDesk> desk_;
};

}  // namespace

std::unique_ptr<Displays> FakeDesk::MakeDisplays() {
  return std::make_unique<FakeDisplays>(shared_from_this());
}
std::unique_ptr<InputDesktop> FakeDesk::MakeInputDesktop() {
  return std::make_unique<FakeInputDesktop>(shared_from_this());
}

}  // namespace vorla::platform
