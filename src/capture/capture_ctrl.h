// The capture thread: selects the displays, lays them out in one composite frame, and on every
// timer tick grabs, compresses and queues a frame.
//
// Frames for recording pass through a hold-back queue of two seconds' worth of frames before they
// reach the recording queue, so that blanking switched on can still black out what was just
// captured; while the live copy is switched on, a JPEG copy of each frame goes to the live queue
// without delay. The displays, the frame buffer, the hold-back queue and the compressor belong to
// the capture thread; the interface's flags (blank, key frame request, live copy) are atomics
// written by the controller and seen at the next tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/display_ctrl.h"
#include "capture/screen_image.h"
#include "common/status_codes.h"
#include "platform/displays.h"
#include "platform/event.h"
#include "platform/input_desktop.h"
#include "service/thread.h"

namespace vorla {

// Option bits of StartCapture.
inline constexpr int32_t kCaptureOptionCompressWhileLost = 0x1;
inline constexpr int32_t kCaptureOptionManyDisplays = 0x2;

// What the capture thread builds its platform objects from. Each factory runs on the capture
// thread (X connections belong to the thread that opened them).
struct CaptureEnvironment {
  std::function<std::unique_ptr<platform::Displays>()> make_displays;
  std::function<std::unique_ptr<platform::InputDesktop>()> make_input_desktop;
  enum class Timer { kPeriodic, kManual, kFails };
  // kManual: no timer runs; ticks come from CaptureCtrl::Tick() (tests). kFails: the timer
  // cannot be created.
  Timer timer = Timer::kPeriodic;
};

// The system's displays and input desktop with a periodic timer.
CaptureEnvironment SystemCaptureEnvironment();

// Whole-millisecond timings of one stage of the capture, process-wide and never reset.
struct CaptureTiming {
  std::atomic<int64_t> total{0};
  std::atomic<int64_t> count{0};
  std::atomic<int64_t> max{0};
  void Add(int64_t ms);
};
CaptureTiming& CaptureTimingGrab();         // "Capture & ColorConvert"
CaptureTiming& CaptureTimingCompression();  // "Compression Total"
CaptureTiming& CaptureTimingTotal();        // "TOTAL"

class CaptureCtrl : public Thread {
 public:
  // The queues are the controller's and must outlive this object; `live` may be null.
  CaptureCtrl(const CaptureFormat& format, int32_t options, FrameQueue* recording,
              FrameQueue* live, std::u16string blanking_text, std::u16string lost_text,
              std::vector<std::u16string> screens, CaptureEnvironment environment);
  // Stops the thread (5 s) before the members go.
  ~CaptureCtrl() override;

  // True at once when already running. Otherwise starts the thread and waits (polling every
  // 20 ms, up to 5 s on the process clock) for InitCapture's result; a failure stops the thread
  // and gives false. start_result() then holds the status, or -1 when none came in time.
  bool Start() override;
  uint32_t Run() override;

  // The interface's flags; any thread.
  void SetBlank(bool on);
  void RequestKeyFrame();  // also takes a frame at once
  void SetLiveCopy(bool on) { live_copy_.store(on); }
  // A timer tick by hand (for CaptureEnvironment::Timer::kManual).
  void Tick() { timer_event_.Set(); }
  int32_t start_result() const { return start_result_.load(); }
  // The thread ended by itself because the connection to a display's server was lost (after a
  // report, with the frames taken so far in the recording queue). Only a new capture, on a new
  // connection, records again; the frame layout of this one may not fit the next server.
  bool connection_lost() const { return connection_lost_.load(); }
  uint32_t fcc_in_use() const { return fcc_in_use_.load(); }
  uint32_t quality_in_use() const { return quality_in_use_.load(); }
  // x, y, width, height of the composite frame; zero while there is none.
  void FrameRect(int32_t rect[4]) const;

  // The steps of the thread, public for tests that drive them on their own thread (without
  // Start); they must all be called from one thread.
  Status InitCapture();
  Status EnumerateDisplays();
  Status LayoutDisplays();
  // Throttle on the recording queue, then CaptureFrame when the tick is to take a frame.
  void OnTick();
  // False when the frame was dropped (the recording queue was full).
  bool CaptureFrame();
  void FlushPendingAsBlack();
  bool IsDesktopLost();
  void ReleaseCapture();

  const std::deque<std::shared_ptr<display_object>>& displays() const { return displays_; }
  size_t pending_count() const { return pending_.size(); }
  const uint8_t* frame_buffer() const { return frame_.get(); }
  uint32_t frame_buffer_size() const { return frame_size_; }
  bool repeat() const { return repeat_; }
  const CaptureFormat& format() const { return format_; }

 private:
  void PublishFrame();
  void LiveCopy(const screen_image& record);
  // Blackens the part of the frame `d` fills.
  void ClearDisplayArea(const display_object& d);

  CaptureFormat format_;
  FrameQueue* recording_;
  FrameQueue* live_;
  int32_t options_;
  std::vector<std::u16string> screens_;
  std::deque<screen_image> pending_;
  uint32_t pending_limit_ = 0;
  // The blank flag and the flush request share one word: switching blanking on raises both in
  // one store and a tick takes both in one exchange, so no tick can see the blank without also
  // seeing its flush (and let a held-back frame from before the blank go out unblanked).
  static constexpr uint32_t kBlankOn = 1;
  static constexpr uint32_t kFlushRequest = 2;
  std::atomic<uint32_t> blank_state_{0};
  std::deque<std::shared_ptr<display_object>> displays_;
  platform::Event timer_event_;
  std::unique_ptr<platform::PeriodicTimer> timer_;
  uint32_t requested_fcc_;
  std::unique_ptr<uint8_t[]> frame_;
  uint32_t frame_size_ = 0;
  std::atomic<int32_t> start_result_{-1};
  std::atomic<bool> connection_lost_{false};
  std::atomic<bool> key_frame_request_{false};
  bool repeat_ = false;
  std::u16string blanking_text_;
  std::u16string lost_text_;

  CaptureEnvironment environment_;
  std::unique_ptr<platform::Displays> platform_displays_;
  std::unique_ptr<platform::InputDesktop> input_desktop_;
  std::atomic<bool> live_copy_{false};
  // The frame buffer is not cleared per frame: each display overwrites its own part (comparing as
  // it goes) and the rest stays black from the layout. frame_version_ counts the changes of the
  // frame's bytes; an equal version at the next compression (or live copy) means an idle screen,
  // whose previous work the compressor (or the live copy) may reuse.
  uint64_t frame_version_ = 1;
  uint64_t compressed_version_ = 0;  // 0: none
  uint64_t live_version_ = 0;
  PayloadBuffer last_live_;
  uint32_t throttle_ = 0;
  std::atomic<uint32_t> fcc_in_use_{0};
  std::atomic<uint32_t> quality_in_use_{0};
  std::atomic<int32_t> frame_rect_[4] = {0, 0, 0, 0};
};

}  // namespace vorla
