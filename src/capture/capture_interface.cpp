#include "capture/capture_interface.h"

#include <atomic>
#include <memory>

#include "common/logging.h"
#include "platform/clock.h"

namespace vorla {
namespace {

std::unique_ptr<CaptureCtrl> g_capture;
std::atomic<bool> g_live_copy{false};
const CaptureEnvironment* g_environment = nullptr;

void ReportNotStopped() {
  LogStatus(kStatusInternalError, u"CaptureLib : StopCapture : Capture thread failed to stop!",
            EVENTLOG_WARNING_TYPE, 2);
}

}  // namespace

Status StartCapture(const CaptureFormat& format, int32_t options, FrameQueue* recording,
                    const std::u16string& blanking_text, const std::u16string& lost_text,
                    FrameQueue* live, bool blank, const std::vector<std::u16string>& screens) {
  if (g_capture) {
    if (!g_capture->Stop(5)) {
      // A second thread beside a stuck one would share the compressor: refuse instead.
      ReportNotStopped();
      return kStatusInternalError;
    }
    g_capture.reset();
  }
  g_capture = std::make_unique<CaptureCtrl>(
      format, options, recording, live, blanking_text, lost_text, screens,
      g_environment != nullptr ? *g_environment : SystemCaptureEnvironment());
  g_capture->SetLiveCopy(g_live_copy.load());
  g_capture->SetBlank(blank);
  if (g_capture->Start()) return kStatusSuccess;
  return static_cast<Status>(g_capture->start_result());
}

void StopCapture() {
  if (!g_capture) return;
  if (g_capture->Stop(5)) {
    g_capture.reset();
  } else {
    ReportNotStopped();
  }
}

void SetCaptureBlank(bool on) {
  if (g_capture) g_capture->SetBlank(on);
}

void RequestKeyFrame() {
  if (!g_capture) return;
  g_capture->RequestKeyFrame();
  platform::GetClock().SleepMs(50);
}

uint32_t GetCaptureFCC() { return g_capture ? g_capture->fcc_in_use() : 0; }
uint32_t GetCaptureQuality() { return g_capture ? g_capture->quality_in_use() : 0; }

CaptureRect GetCaptureFrame() {
  CaptureRect r;
  if (!g_capture) return r;
  int32_t rect[4];
  g_capture->FrameRect(rect);
  r.x = rect[0], r.y = rect[1], r.width = rect[2], r.height = rect[3];
  return r;
}

bool IsCaptureRunning() { return g_capture && g_capture->IsRunning(); }

bool CaptureConnectionLost() {
  return g_capture && !g_capture->IsRunning() && g_capture->connection_lost();
}

void SetCaptureLiveCopy(bool on) {
  g_live_copy.store(on);
  if (g_capture) g_capture->SetLiveCopy(on);
}

void SetCaptureEnvironmentForTesting(const CaptureEnvironment* environment) {
  g_environment = environment;
}

}  // namespace vorla
