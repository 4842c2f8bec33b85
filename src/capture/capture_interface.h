// The capture interface: starts and stops the one process-wide capture thread and talks to it.
//
// Called from the controller's threads, which serialise their calls; the functions are not
// meant to be called concurrently with each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_ctrl.h"
#include "capture/screen_image.h"
#include "common/status_codes.h"

namespace vorla {

struct CaptureRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// Stops a running capture (5 s) and starts a new one. 0; the start's status; 0xFFFFFFFF (-1)
// when the thread did not report within 5 s; 0xC0000FA0 when the old thread would not stop
// (it is kept, and no second thread is started beside it).
Status StartCapture(const CaptureFormat& format, int32_t options, FrameQueue* recording,
                    const std::u16string& blanking_text, const std::u16string& lost_text,
                    FrameQueue* live, bool blank, const std::vector<std::u16string>& screens);
void StopCapture();
void SetCaptureBlank(bool on);
void RequestKeyFrame();
uint32_t GetCaptureFCC();
uint32_t GetCaptureQuality();
CaptureRect GetCaptureFrame();
bool IsCaptureRunning();
// Whether the last capture ended by itself because its display server went away
// (CaptureCtrl::connection_lost); false while it runs and after StopCapture.
bool CaptureConnectionLost();
// The live JPEG copy of each frame, off by default (and at every StartCapture it keeps the last
// setting). The controller switches it on while a live view runs.
void SetCaptureLiveCopy(bool on);

// Test support: the environment of the next StartCapture (nullptr: the system's).
void SetCaptureEnvironmentForTesting(const CaptureEnvironment* environment);

}  // namespace vorla
