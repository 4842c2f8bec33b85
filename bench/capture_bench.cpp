// The per-frame hot path of capture for one 1920x1080 display: grab, conversion to the 24-bit
// composite frame, conversion to I420. Set VORLA_BENCH_DISPLAY (":N") to grab from a real X
// server (its first monitor); otherwise a fake display stands in (a plain memory copy).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/display_ctrl.h"
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

// Grab + ConvertTo24 (+ RgbToI420 when the argument is 1).
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
  const bool i420 = state.range(0) == 1;
  for (auto _ : state) {
    ctrl.Grab(frame.data(), 0, false, false, false, false);
    if (i420) RgbToI420(frame.data(), y.data(), u.data(), v.data(), w, h);
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_GrabConvert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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
