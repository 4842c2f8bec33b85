#include "capture/capture_ctrl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/logging.h"
#include "compression/compressor.h"
#include "compression/jpeg_encode.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace vorla {
namespace {

constexpr int32_t kLiveQuality = 70;
constexpr uint64_t kLiveQueueLimit = 3;

int64_t NowMs() { return static_cast<int64_t>(platform::GetClock().TickMs()); }

// Times one stage into `timing`.
class StageTimer {
 public:
  explicit StageTimer(CaptureTiming& timing) : timing_(timing), start_(NowMs()) {}
  ~StageTimer() { timing_.Add(NowMs() - start_); }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  CaptureTiming& timing_;
  int64_t start_;
};

void WriteTiming(const char16_t* line, const CaptureTiming& t) {
  const int64_t count = t.count.load();
  const int64_t average = count == 0 ? 0 : t.total.load() / count;
  const std::u16string inner = FormatString(u"%s ave=%I64dms (max=%I64d) for %I64d runs\n", u"",
                                            average, t.max.load(), count);
  platform::DebugOutput(FormatString(line, inner));
}

}  // namespace

void CaptureTiming::Add(int64_t ms) {
  total.fetch_add(ms);
  count.fetch_add(1);
  int64_t seen = max.load();
  while (ms > seen && !max.compare_exchange_weak(seen, ms)) {
  }
}

CaptureTiming& CaptureTimingGrab() {
  static CaptureTiming t;
  return t;
}
CaptureTiming& CaptureTimingCompression() {
  static CaptureTiming t;
  return t;
}
CaptureTiming& CaptureTimingTotal() {
  static CaptureTiming t;
  return t;
}

CaptureEnvironment SystemCaptureEnvironment() {
  CaptureEnvironment e;
  e.make_displays = [] { return platform::CreateDisplays(); };
  e.make_input_desktop = [] { return platform::CreateInputDesktop(); };
  e.timer = CaptureEnvironment::Timer::kPeriodic;
  return e;
}

CaptureCtrl::CaptureCtrl(const CaptureFormat& format, int32_t options, FrameQueue* recording,
                         FrameQueue* live, std::u16string blanking_text, std::u16string lost_text,
                         std::vector<std::u16string> screens, CaptureEnvironment environment)
    : Thread(u"CaptureThread", 0),
      format_(format),
      recording_(recording),
      live_(live),
      options_(options),
      screens_(std::move(screens)),
      requested_fcc_(format.codec_fcc),
      blanking_text_(std::move(blanking_text)),
      lost_text_(std::move(lost_text)),
      environment_(std::move(environment)) {
  if (format_.frame_rate == 0) format_.frame_rate = 1;
}

CaptureCtrl::~CaptureCtrl() { Stop(5); }

bool CaptureCtrl::Start() {
  if (IsRunning()) return true;
  start_result_.store(-1);
  if (!Thread::Start()) return false;
  platform::Clock& clock = platform::GetClock();
  const uint64_t begin = clock.TickMs();
  while (start_result_.load() == -1 && clock.TickMs() - begin < 5000) clock.SleepMs(20);
  if (start_result_.load() == 0) return true;
  Stop(5);
  return false;
}

uint32_t CaptureCtrl::Run() {
  start_result_.store(static_cast<int32_t>(InitCapture()));
  if (start_result_.load() != 0) return 0;
  std::vector<platform::Waitable*> waits;
  if (stop_event() != nullptr) waits.push_back(stop_event());
  waits.push_back(&timer_event_);
  if (timer_) waits.push_back(timer_.get());
  const size_t first_tick = stop_event() != nullptr ? 1 : 0;
  while (!stop_requested_.load()) {
    const int which = platform::WaitAny(waits, stop_event() != nullptr ? platform::kWaitInfinite
                                                                        : 100);
    if (which == platform::kWaitFailed) {
      // Nothing to wait on: poll for the stop rather than spin.
      platform::GetClock().SleepMs(10);
      continue;
    }
    if (which < 0 || static_cast<size_t>(which) < first_tick) continue;
    OnTick();
    if (std::any_of(displays_.begin(), displays_.end(),
                    [](const auto& d) { return d->ctrl.ConnectionLost(); })) {
      LogStatus(kStatusDesktopLost,
                u"Capture: The connection to the display server is lost. Capture stopped.",
                EVENTLOG_ERROR_TYPE, 2);
      connection_lost_.store(true);
      break;
    }
  }
  ReleaseCapture();
  WriteTiming(u"  ##Capture: Capture & ColorConvert: %s\n", CaptureTimingGrab());
  WriteTiming(u"  ##Capture: Compression Total: %s\n", CaptureTimingCompression());
  WriteTiming(u"  ##Capture: TOTAL: %s\n", CaptureTimingTotal());
  return 0;
}

void CaptureCtrl::SetBlank(bool on) {
  if (on) {
    blank_state_.fetch_or(kBlankOn | kFlushRequest);
  } else {
    blank_state_.fetch_and(~kBlankOn);  // a flush not yet taken still happens
  }
}

void CaptureCtrl::RequestKeyFrame() {
  key_frame_request_.store(true);
  timer_event_.Set();
}

void CaptureCtrl::FrameRect(int32_t rect[4]) const {
  for (int i = 0; i < 4; ++i) rect[i] = frame_rect_[i].load();
}

void CaptureCtrl::PublishFrame() {
  frame_rect_[0].store(format_.x);
  frame_rect_[1].store(format_.y);
  frame_rect_[2].store(static_cast<int32_t>(format_.width));
  frame_rect_[3].store(static_cast<int32_t>(format_.height));
}

Status CaptureCtrl::InitCapture() {
  pending_limit_ = 2 * format_.frame_rate;
  key_frame_request_.store(false);
  pending_.clear();
  blank_state_.fetch_and(~kFlushRequest);
  throttle_ = 0;
  if (environment_.make_input_desktop) input_desktop_ = environment_.make_input_desktop();
  if (environment_.make_displays) platform_displays_ = environment_.make_displays();

  Status status = EnumerateDisplays();
  // No display at all taken leaves no frame to compress: a failed start, not a missing buffer
  // handed to the compressor.
  if (status == kStatusSuccess && displays_.empty()) status = kStatusScreenCaptureInitFailed;
  if (status != kStatusSuccess) {
    if (IsDesktopLost()) {
      LogStatus(kStatusDesktopLost, u"StartCapture Failed.", EVENTLOG_ERROR_TYPE, 3);
      status = kStatusDesktopLost;
    } else {
      LogStatus(status,
                u"Capture: Failed to extract display information (settings we don't know how to "
                u"handle). StartCapture Failed.",
                EVENTLOG_ERROR_TYPE, 3);
    }
    ReleaseCapture();
    return status;
  }

  CompressorParams params;
  params.fcc = requested_fcc_;
  params.width = format_.width;
  params.height = format_.height;
  params.bytes_per_pixel = 3;
  params.frame_rate = format_.frame_rate;
  params.quality = format_.quality;
  if (CMP_Initiate(params) != kStatusSuccess) {
    ReleaseCapture();
    return kStatusCompressorInitFailed;
  }
  format_.codec_fcc = params.fcc;
  format_.quality = params.quality;
  fcc_in_use_.store(params.fcc);
  quality_in_use_.store(params.quality);

  timer_event_.Reset();
  bool timer_ok = timer_event_.valid();
  if (timer_ok && environment_.timer == CaptureEnvironment::Timer::kPeriodic) {
    timer_ = std::make_unique<platform::PeriodicTimer>();
    timer_ok = timer_->valid() && timer_->Start(1000 / format_.frame_rate);
  } else if (environment_.timer == CaptureEnvironment::Timer::kFails) {
    timer_ok = false;
  }
  if (!timer_ok) {
    LogIfFailed(false, kStatusInternalError,
                u"Capture: Failed to create capture timer. StartCapture Failed.", 3,
                EVENTLOG_WARNING_TYPE);
    ReleaseCapture();
    return kStatusCompressorInitFailed;
  }
  if (!CaptureFrame()) {
    ReleaseCapture();
    return kStatusScreenCaptureInitFailed;
  }
  return kStatusSuccess;
}

Status CaptureCtrl::EnumerateDisplays() {
  displays_.clear();
  size_t limit = (options_ & kCaptureOptionManyDisplays) != 0 ? 16 : 2;
  if (!screens_.empty() && screens_.size() < limit) limit = screens_.size();
  std::u16string report;
  std::vector<std::u16string> taken;
  if (platform_displays_) {
    for (const platform::DisplayDevice& device : platform_displays_->EnumerateDevices()) {
      if (!device.attached_to_desktop || taken.size() >= limit) continue;
      report += device.name;
      report += u' ';
      const bool wanted =
          screens_.empty() || std::any_of(screens_.begin(), screens_.end(), [&](const auto& s) {
            return device.name.find(s) != std::u16string::npos;
          });
      if (wanted) taken.push_back(device.name);
    }
  }
  LogOperation(0, u"Capture: Valid displays: " + report, EVENTLOG_AUDIT_SUCCESS, 4);
  Status last = kStatusSuccess;
  for (const std::u16string& name : taken) {
    auto display = std::make_shared<display_object>();
    const Status status = display->ctrl.Init(*platform_displays_, name, requested_fcc_,
                                             blanking_text_, lost_text_);
    if (status != kStatusSuccess) {
      LogStatus(kStatusAuditMsg,
                FormatString(u"Display %s failed init with err 0x%x, and will be dropped.", name,
                             status),
                EVENTLOG_WARNING_TYPE, 2);
      last = status;
    } else {
      displays_.push_back(std::move(display));
    }
  }
  if (!displays_.empty()) return LayoutDisplays();
  return last;
}

Status CaptureCtrl::LayoutDisplays() {
  int32_t cell_w = 0, cell_h = 0;
  for (const auto& d : displays_) {
    cell_w = std::max(cell_w, d->ctrl.aligned_width());
    cell_h = std::max(cell_h, d->ctrl.aligned_height());
  }
  std::vector<display_object*> by_x, by_y;
  for (const auto& d : displays_) by_x.push_back(d.get());
  by_y = by_x;
  std::stable_sort(by_x.begin(), by_x.end(),
                   [](auto* a, auto* b) { return a->ctrl.x() < b->ctrl.x(); });
  std::stable_sort(by_y.begin(), by_y.end(),
                   [](auto* a, auto* b) { return a->ctrl.y() < b->ctrl.y(); });
  int32_t columns = 0, rows = 0;
  for (size_t i = 0; i < by_x.size(); ++i) {
    by_x[i]->column =
        i == 0 ? 0
               : by_x[i - 1]->column + (by_x[i - 1]->ctrl.x() + cell_w / 2 < by_x[i]->ctrl.x());
    columns = std::max(columns, by_x[i]->column + 1);
  }
  for (size_t i = 0; i < by_y.size(); ++i) {
    by_y[i]->row =
        i == 0 ? 0 : by_y[i - 1]->row + (by_y[i - 1]->ctrl.y() + cell_h / 2 < by_y[i]->ctrl.y());
    rows = std::max(rows, by_y[i]->row + 1);
  }
  repeat_ = displays_.size() >= 2 && std::all_of(displays_.begin(), displays_.end(), [](auto& d) {
              return d->ctrl.scaled() != 0;
            });
  // The frame is stored bottom-up.
  for (const auto& d : displays_) d->row = (rows - 1) - d->row;
  format_.x = 0;
  format_.y = 0;
  const uint64_t width = static_cast<uint64_t>(cell_w) * static_cast<uint64_t>(columns);
  const uint64_t height = static_cast<uint64_t>(cell_h) * static_cast<uint64_t>(rows);
  const uint64_t bytes = width * height * 3;
  // A frame is measured in 32 bits: a larger one is refused before anything is allocated.
  if (bytes > UINT32_MAX) return kStatusInternalError;
  format_.width = static_cast<uint32_t>(width);
  format_.height = static_cast<uint32_t>(height);
  frame_.reset(new (std::nothrow) uint8_t[bytes]);
  if (!frame_) return kStatusInternalError;
  frame_size_ = static_cast<uint32_t>(bytes);
  std::memset(frame_.get(), 0, bytes);
  ++frame_version_;
  for (const auto& d : displays_) {
    const int32_t frame_row = (cell_h - d->ctrl.aligned_height()) / 2 + cell_h * d->row;
    const int32_t frame_col = cell_w * d->column + (cell_w - d->ctrl.aligned_width()) / 2;
    d->frame_offset = 3 * (frame_row * static_cast<int32_t>(format_.width) + frame_col);
    d->row_padding = 3 * (static_cast<int32_t>(format_.width) - d->ctrl.aligned_width());
  }
  PublishFrame();
  return kStatusSuccess;
}

void CaptureCtrl::OnTick() {
  const uint64_t queued = recording_ != nullptr ? recording_->Size() : 0;
  const uint64_t limit = format_.max_queued_frames;
  bool take;
  if (queued < (2 * limit) / 3) {
    throttle_ = 0;
    take = true;
  } else {
    if (queued < limit && throttle_ > 0) {
      --throttle_;
    } else {
      ++throttle_;
    }
    take = throttle_ == 0;
  }
  if (!take) return;
  StageTimer timing(CaptureTimingTotal());
  CaptureFrame();
}

bool CaptureCtrl::IsDesktopLost() { return input_desktop_ && input_desktop_->IsLost(); }

bool CaptureCtrl::CaptureFrame() {
  if (!frame_) return false;
  screen_image record;
  bool lost = false, compress = true;
  if (IsDesktopLost()) {
    record.flags = kFrameFlagDesktopLost;
    lost = true;
    compress = (options_ & kCaptureOptionCompressWhileLost) != 0;
  }
  const uint32_t blank_state = blank_state_.fetch_and(~kFlushRequest);
  if (blank_state & kFlushRequest) FlushPendingAsBlack();
  {
    StageTimer timing(CaptureTimingGrab());
    const bool blank = (blank_state & kBlankOn) != 0;
    const bool cursor = displays_.size() == 1;
    bool failed = false;
    for (const auto& d : displays_) {
      // After a display that could not be written, the rest of the frame is black.
      if (!failed && !d->ctrl.Grab(frame_.get() + d->frame_offset, d->row_padding, blank, lost,
                                   cursor, repeat_)) {
        failed = true;
      }
      if (failed) ClearDisplayArea(*d);
      if (failed || d->ctrl.changed()) ++frame_version_;
    }
  }
  if (compress) {
    bool key = key_frame_request_.exchange(false);
    PayloadBuffer data;
    uint32_t flags = 0;
    Status status;
    {
      StageTimer timing(CaptureTimingCompression());
      status = CMP_Compress(frame_.get(), frame_size_, data, flags, key,
                            compressed_version_ == frame_version_);
    }
    compressed_version_ = status == kStatusSuccess ? frame_version_ : 0;
    if (status != kStatusSuccess) {
      LogIfFailed(false, status,
                  FormatString(u"Compression failure: fcc=%x, w=%d, h=%d", requested_fcc_,
                               format_.width, format_.height),
                  3, EVENTLOG_WARNING_TYPE);
    } else {
      record.flags |= flags;
      record.data = data;
      record.data_length = data.size();
      record.x = format_.x;
      record.y = format_.y;
      record.width = static_cast<int32_t>(format_.width);
      record.height = static_cast<int32_t>(format_.height);
      record.capture_time = platform::GetClock().WallMillis();
      record.codec_fcc = requested_fcc_;
      record.quality = format_.quality;
    }
    if (live_copy_.load()) LiveCopy(record);
  }
  pending_.push_back(std::move(record));
  if (pending_.size() > pending_limit_) {
    if (recording_ != nullptr && recording_->Size() < format_.max_queued_frames) {
      recording_->Push(std::move(pending_.front()));
      pending_.pop_front();
      return true;
    }
    LogIfFailed(false, kStatusInternalError,
                u"CaptureThread: Data queue to big. Dropping captured frame.", 2,
                EVENTLOG_WARNING_TYPE);
    pending_.pop_front();
    return false;
  }
  return true;
}

void CaptureCtrl::LiveCopy(const screen_image& record) {
  // A full live queue drops the copy anyway: do not spend a compression on it.
  if (live_ == nullptr || live_->Size() >= kLiveQueueLimit) return;
  PayloadBuffer data;
  if (requested_fcc_ == kFccJpeg && format_.quality == static_cast<uint32_t>(kLiveQuality) &&
      !record.data.empty()) {
    data = record.data;  // the same image at the same quality: the same bytes
  } else if (live_version_ == frame_version_ && !last_live_.empty()) {
    data = last_live_;  // an idle screen: the same image as the last copy
  } else {
    if (requested_fcc_ != kFccJpeg && requested_fcc_ != kFccVp80) {
      // The frame holds blue first for this codec; the JPEG engine wants red first.
      uint8_t* p = frame_.get();
      for (uint32_t i = 0; i + 2 < frame_size_; i += 3) std::swap(p[i], p[i + 2]);
      ++frame_version_;
    }
    last_live_ = PayloadBuffer();
    live_version_ = 0;
    if (!JpegEncode(data, frame_.get(), format_.width, format_.height, JpegPixelKind::kRgb,
                    kLiveQuality)) {
      return;
    }
    last_live_ = data;
    live_version_ = frame_version_;
  }
  screen_image live;
  live.capture_time = record.capture_time;
  live.x = record.x;
  live.y = record.y;
  live.width = record.width;
  live.height = record.height;
  live.codec_fcc = kFccJpeg;
  live.quality = kLiveQuality;
  live.flags = kImageFlagKeyFrame;
  live.data_length = data.size();
  live.data = data;
  live_->Push(std::move(live));
}

void CaptureCtrl::ClearDisplayArea(const display_object& d) {
  if (!frame_) return;
  const size_t row = static_cast<size_t>(d.ctrl.aligned_width()) * 3;
  uint8_t* p = frame_.get() + d.frame_offset;
  for (int32_t r = 0; r < d.ctrl.aligned_height(); ++r, p += row + d.row_padding) {
    std::memset(p, 0, row);
  }
}

void CaptureCtrl::FlushPendingAsBlack() {
  bool oldest = true;
  for (screen_image& frame : pending_) {
    if ((frame.flags & kFrameFlagDesktopLost) == 0 && frame_) {
      std::memset(frame_.get(), 0, frame_size_);
      ++frame_version_;
      bool key = oldest;
      PayloadBuffer data;
      uint32_t flags = 0;
      // Not marked unchanged: the first black frame is to be a key frame, and the VP8 engine's
      // reuse of its colour conversion is all an unchanged mark could save here.
      compressed_version_ =
          CMP_Compress(frame_.get(), frame_size_, data, flags, key) == kStatusSuccess
              ? frame_version_
              : 0;
      frame.data = data;
      frame.data_length = data.size();
      frame.flags |= flags;
    }
    oldest = false;
    if (recording_ != nullptr) recording_->Push(std::move(frame));
  }
  pending_.clear();
}

void CaptureCtrl::ReleaseCapture() {
  if (timer_) timer_->Stop();
  timer_.reset();
  timer_event_.Reset();
  displays_.clear();
  frame_.reset();
  ++frame_version_;
  compressed_version_ = live_version_ = 0;
  last_live_ = PayloadBuffer();
  for (screen_image& frame : pending_) {
    if (recording_ != nullptr) recording_->Push(std::move(frame));
  }
  pending_.clear();
  format_.x = format_.y = 0;
  format_.width = format_.height = 0;
  frame_size_ = 0;
  PublishFrame();
  key_frame_request_.store(false);
  CMP_Release();
  platform_displays_.reset();
  input_desktop_.reset();
}

}  // namespace vorla
