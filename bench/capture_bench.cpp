// The per-frame hot path of capture for one 1920x1080 display: grab, conversion to the 24-bit
// composite frame, conversion to I420. Set VORLA_BENCH_DISPLAY (":N") to grab from a real X
// server (its first monitor); otherwise a fake display stands in (a plain memory copy).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/display_ctrl.h"
#include "capture/pixel_convert.h"
#include "compression/compressor.h"
#include "compression/jpeg_encode.h"
#include "compression/rgb_to_i420.h"
#include "platform/fake/fake_displays.h"
#include "platform/posix/displays_x11.h"

namespace vorla {
namespace {

constexpr int kW = 1920, kH = 1080;

std::vector<uint8_t> ScreenLikeRgb() {
  std::vector<uint8_t> f(static_cast<size_t>(kW) * kH * 3);
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
  return f;
}

void BM_RgbToI420(benchmark::State& state) {
  const std::vector<uint8_t> in = ScreenLikeRgb();
  std::vector<uint8_t> y(kW * kH), u(kW * kH / 4), v(kW * kH / 4);
  for (auto _ : state) {
    RgbToI420(in.data(), y.data(), u.data(), v.data(), kW, kH);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_RgbToI420)->Unit(benchmark::kMillisecond);

void BM_RgbToI420Portable(benchmark::State& state) {
  const std::vector<uint8_t> in = ScreenLikeRgb();
  std::vector<uint8_t> y(kW * kH), u(kW * kH / 4), v(kW * kH / 4);
  for (auto _ : state) {
    RgbToI420Portable(in.data(), y.data(), u.data(), v.data(), kW, kH);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_RgbToI420Portable)->Unit(benchmark::kMillisecond);

struct Source {
  std::shared_ptr<platform::FakeDesk> desk;
  std::unique_ptr<platform::Displays> displays;
  std::u16string name;
};

Source MakeSource() {
  Source s;
  if (const char* d = std::getenv("VORLA_BENCH_DISPLAY")) {
    s.displays = platform::CreateX11Displays(d);
    auto devices = s.displays->EnumerateDevices();
    if (!devices.empty()) s.name = devices[0].name;
    return s;
  }
  s.desk = platform::FakeDesk::Create();
  const int index = s.desk->AddDisplay(u"BENCH", 0, 0, kW, kH);
  for (int y = 0; y < kH; y += 3) s.desk->SetPixel(index, y, y, 200, 100, 50);
  s.displays = s.desk->MakeDisplays();
  s.name = u"BENCH";
  return s;
}

// The 32-bit to 24-bit conversion of one 1080p frame by each code path (0 portable, 1 SSSE3,
// 2 AVX2), into the same frame every time as the capture does.
void BM_ConvertBgrx32(benchmark::State& state) {
  std::vector<uint8_t> in(static_cast<size_t>(kW) * kH * 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
  std::vector<uint8_t> out(static_cast<size_t>(kW) * kH * 3);
  const int path = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int y = 0; y < kH; ++y) {
      ConvertBgrx32RowForTesting(path, in.data() + static_cast<size_t>(y) * kW * 4,
                                 out.data() + static_cast<size_t>(y) * kW * 3, kW, true);
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ConvertBgrx32)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Grab + ConvertTo24, then RgbToI420: argument 0 never, 1 always, 2 only when the grab changed
// the frame (as the capture and the VP8 engine do: an idle screen skips the colour conversion).
// 3: as 2 on a screen that changes one pixel per frame (fake display only).
void BM_GrabConvert(benchmark::State& state) {
  Source s = MakeSource();
  DisplayCtrl ctrl;
  if (ctrl.Init(*s.displays, s.name, kFccVp80, u"", u"LOST") != 0) {
    state.SkipWithError("no display");
    return;
  }
  const int w = ctrl.aligned_width(), h = ctrl.aligned_height();
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 3);
  std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(y.size() / 4), v(y.size() / 4);
  const int64_t mode = state.range(0);
  if (mode == 3 && !s.desk) {
    state.SkipWithError("needs the fake display");
    return;
  }
  uint8_t shade = 0;
  int64_t conversions = 0;
  for (auto _ : state) {
    if (mode == 3) s.desk->SetPixel(0, 7, 7, ++shade, 0, 0);
    ctrl.Grab(frame.data(), 0, false, false, false, false);
    if (mode == 1 || (mode >= 2 && ctrl.changed())) {
      RgbToI420(frame.data(), y.data(), u.data(), v.data(), w, h);
      ++conversions;
    }
    benchmark::DoNotOptimize(frame.data());
  }
  state.counters["i420"] = benchmark::Counter(static_cast<double>(conversions),
                                              benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_GrabConvert)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

// The grab alone, through the platform source (for X11: the MIT-SHM request and its reply).
void BM_GrabOnly(benchmark::State& state) {
  Source s = MakeSource();
  std::unique_ptr<platform::DisplaySource> source =
      s.name.empty() ? nullptr : s.displays->Open(s.name);
  if (!source || !source->PrepareCapture()) {
    state.SkipWithError("no display");
    return;
  }
  platform::PixelView view;
  for (auto _ : state) {
    source->Grab(view);
    benchmark::DoNotOptimize(view.pixels);
  }
}
BENCHMARK(BM_GrabOnly)->Unit(benchmark::kMillisecond);

// Grab, the 24-bit rows by one code path (1 SSSE3, as before the AVX2 path; 2 AVX2), then
// RgbToI420: the same work as BM_GrabConvert/1 for a display of an aligned size, to compare the
// paths under the same load.
void BM_GrabConvertByPath(benchmark::State& state) {
  Source s = MakeSource();
  std::unique_ptr<platform::DisplaySource> source =
      s.name.empty() ? nullptr : s.displays->Open(s.name);
  if (!source || !source->PrepareCapture()) {
    state.SkipWithError("no display");
    return;
  }
  const int w = source->mode().width, h = source->mode().height;
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 3);
  std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(y.size() / 4), v(y.size() / 4);
  const int path = static_cast<int>(state.range(0));
  platform::PixelView view;
  for (auto _ : state) {
    if (!source->Grab(view)) {
      state.SkipWithError("grab failed");
      return;
    }
    for (int t = 0; t < h; ++t) {
      ConvertBgrx32RowForTesting(path, view.pixels + static_cast<size_t>(t) * view.stride,
                                 frame.data() + static_cast<size_t>(h - 1 - t) * w * 3, w, true);
    }
    RgbToI420(frame.data(), y.data(), u.data(), v.data(), w, h);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_GrabConvertByPath)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_Vp8Frame(benchmark::State& state) {
  const std::vector<uint8_t> in = ScreenLikeRgb();
  CompressorParams p{kFccVp80, kW, kH, 3, 5, 0};
  if (CMP_Initiate(p) != 0) {
    state.SkipWithError("no encoder");
    return;
  }
  for (auto _ : state) {
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = false;
    CMP_Compress(in.data(), static_cast<uint32_t>(in.size()), data, flags, key);
  }
  CMP_Release();
}
BENCHMARK(BM_Vp8Frame)->Unit(benchmark::kMillisecond);

void BM_JpegLiveCopy(benchmark::State& state) {
  std::vector<uint8_t> in(static_cast<size_t>(kW) * kH * 3, 0);
  for (size_t i = 0; i < in.size(); i += 97) in[i] = 255;
  for (auto _ : state) {
    PayloadBuffer data;
    JpegEncode(data, in.data(), kW, kH, JpegPixelKind::kRgb, 70);
  }
}
BENCHMARK(BM_JpegLiveCopy)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorla
